// ParseIniSection on arbitrary file texts. The first line of the input names
// the section. Properties: keys are trimmed and never start a comment or a
// section; and the entries written back as a section of their own, each
// value in quotes, read back as the same entries.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quillon/platform/ini.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t end = input.find('\n');
  const std::string_view section = input.substr(0, end);
  const std::string_view text =
      end == std::string_view::npos ? std::string_view() : input.substr(end + 1);

  const quillon::platform::IniEntries entries = quillon::platform::ParseIniSection(text, section);
  std::string again = "[S]\n";
  for (const auto& [key, value] : entries) {
    if (key.find('\n') != std::string::npos || key.find('=') != std::string::npos) std::abort();
    if (!key.empty() && (IsBlank(key.front()) || IsBlank(key.back()))) std::abort();
    if (!key.empty() && (key.front() == ';' || key.front() == '[')) std::abort();
    if (value.find('\n') != std::string::npos) std::abort();
    if (key.empty() && value.empty()) continue;  // "=" alone: nothing to write back
    again += key + "=\"" + value + "\"\n";
  }
  quillon::platform::IniEntries expected;
  for (const auto& entry : entries) {
    if (!entry.first.empty() || !entry.second.empty()) expected.push_back(entry);
  }
  if (quillon::platform::ParseIniSection(again, "s") != expected) std::abort();
  return 0;
}

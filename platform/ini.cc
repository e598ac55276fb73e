#include "quillon/platform/ini.h"

#include <algorithm>

#include "quillon/platform/files.h"

namespace quillon::platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

bool NamesEqual(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

}  // namespace

IniEntries ParseIniSection(std::string_view text, std::string_view section) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  IniEntries entries;
  // kBefore: the wanted section has not begun; kIn: its lines are read;
  // kAfter: it has ended, and a later section of the same name is not read.
  enum { kBefore, kIn, kAfter } state = kBefore;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.rfind(']');
      if (close == std::string_view::npos) continue;
      const bool wanted = NamesEqual(Trim(line.substr(1, close - 1)), section);
      if (state == kIn) state = kAfter;
      if (state == kBefore && wanted) state = kIn;
      continue;
    }
    if (state != kIn) continue;
    const size_t equal = line.find('=');
    std::string_view key = Trim(line.substr(0, equal));
    std::string_view value =
        equal == std::string_view::npos ? std::string_view() : Trim(line.substr(equal + 1));
    entries.emplace_back(std::string(key), std::string(Unquoted(value)));
  }
  return entries;
}

IniEntries ReadIniSection(const std::string& path, std::string_view section) {
  std::string text;
  if (!ReadWholeFile(path, &text)) return {};
  return ParseIniSection(text, section);
}

}  // namespace quillon::platform

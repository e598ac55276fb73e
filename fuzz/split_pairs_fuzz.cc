// SplitPairs on arbitrary text, and SplitPairs(JoinPairs(list)) == list for
// lists whose names and values hold no separators.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "quillon/core/pairs.h"
#include "quillon/platform/codepage.h"

namespace {

using quillon::platform::CodePage;

bool HasSeparatorOrZero(const std::string& s) {
  return s.find_first_of(std::string("=&?\0", 4)) != std::string::npos;
}

std::string Clean(std::string s) {
  std::string out;
  for (char c : s) {
    if (c != '=' && c != '&' && c != '?' && c != '\0') out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const CodePage& cp =
      CodePage::Get(provider.ConsumeBool() ? CodePage::kJapanese : CodePage::kUtf8);

  // Arbitrary text: parallel lists of non-empty names; neither names nor
  // values hold a separator or a zero byte.
  const std::string text = provider.ConsumeRandomLengthString(512);
  std::vector<std::string> names, values;
  quillon::core::SplitPairs(text, &names, &values, cp);
  if (names.size() != values.size()) std::abort();
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty() || HasSeparatorOrZero(names[i]) || HasSeparatorOrZero(values[i])) {
      std::abort();
    }
  }

  // Round trip.
  std::vector<std::string> list_names, list_values;
  while (provider.remaining_bytes() > 0 && list_names.size() < 16) {
    std::string name = Clean(provider.ConsumeRandomLengthString(16));
    if (name.empty()) name = "n";
    list_names.push_back(name);
    list_values.push_back(Clean(provider.ConsumeRandomLengthString(16)));
  }
  std::string joined;
  quillon::core::JoinPairs(list_names, list_values, &joined);
  std::vector<std::string> names2, values2;
  quillon::core::SplitPairs(joined, &names2, &values2, cp);
  if (names2 != list_names || values2 != list_values) std::abort();
  return 0;
}

// The incoming list against a plain model of it: one or two pair texts
// filled in (names decoded or not), then every lookup the accessors make.
// The model is the list as parallel strings with a linear scan over
// upper-cased names, which is what the compact entries and the index must
// be indistinguishable from.
//   byte 0: bit 0 code page 932 (else 65001), bit 1 names kept as received,
//           bit 2 a second text is filled after the first
// then the texts and the probe names, separated by '\n'.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/core/data_store.h"
#include "quillon/core/encoding.h"
#include "quillon/core/pairs.h"
#include "quillon/platform/codepage.h"

namespace {

using quillon::core::NamedValues;
using quillon::platform::CodePage;

struct Model {
  std::vector<std::string> names;
  std::vector<std::string> values;
  std::vector<std::string> distinct;

  void Fill(std::string_view text, bool decode, const CodePage& cp) {
    std::vector<std::string> new_names, new_values;
    quillon::core::SplitPairs(text, &new_names, &new_values, cp);
    for (size_t i = 0; i < new_names.size(); ++i) {
      std::string name = decode ? quillon::core::DecodeValue(new_names[i], cp) : new_names[i];
      name.resize(std::string_view(name).find('\0') == std::string_view::npos ? name.size()
                                                                              : name.find('\0'));
      bool seen = false;
      for (const std::string& d : distinct) seen = seen || d == name;
      if (!seen) distinct.push_back(name);
      names.push_back(std::move(name));
      values.push_back(std::move(new_values[i]));
    }
  }

  std::vector<size_t> Matches(std::string_view probe, const CodePage& cp) const {
    const size_t zero = probe.find('\0');
    const std::string key = cp.ToUpper(probe.substr(0, zero));
    std::vector<size_t> found;
    for (size_t i = 0; i < names.size(); ++i) {
      if (cp.ToUpper(names[i]) == key) found.push_back(i);
    }
    return found;
  }
};

std::string_view Line(std::string_view* rest) {
  const size_t end = rest->find('\n');
  const std::string_view line = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return line;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const CodePage& cp = CodePage::Get((flags & 1) ? CodePage::kJapanese : CodePage::kUtf8);
  const bool decode = (flags & 2) == 0;

  NamedValues store(quillon::core::NotFoundReport::kBare, cp);
  Model model;
  const int fills = (flags & 4) ? 2 : 1;
  for (int fill = 0; fill < fills; ++fill) {
    const std::string_view text = Line(&rest);
    store.FillIncoming(text, decode);
    model.Fill(text, decode, cp);
  }

  Check(store.IncomingNames() == model.names);
  Check(store.IncomingValues() == model.values);
  Check(store.DataNames() == model.distinct);
  Check(store.DataNameCount() == static_cast<int32_t>(model.distinct.size()));
  std::string request_data = "\r\n";
  quillon::core::JoinPairs(model.names, model.values, &request_data);
  Check(store.RequestDataText() == request_data);

  // Every stored name, and the rest of the input as probes.
  std::vector<std::string> probes = model.names;
  while (!rest.empty()) probes.emplace_back(Line(&rest));
  for (const std::string& probe : probes) {
    const std::vector<size_t> expected = model.Matches(probe, cp);
    Check(store.SubIndexCount(probe) == static_cast<int32_t>(expected.size()));
    Check(!store.FindEntry(probe, -1));
    for (size_t sub = 0; sub <= expected.size(); ++sub) {
      const std::optional<size_t> found = store.FindEntry(probe, static_cast<int32_t>(sub));
      Check(sub < expected.size() ? found == expected[sub] : !found);
    }
  }
  return 0;
}

// The client's answer read as it arrives, against the same answer read
// whole: cut into pieces of any size, with values decoded on the way from
// any length on, the incoming list must come out the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quillon/core/data_store.h"
#include "quillon/core/session_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const size_t piece = provider.ConsumeIntegralInRange<size_t>(1, 64);
  const size_t decode_from = provider.ConsumeIntegralInRange<size_t>(1, 32);
  const std::string answer = provider.ConsumeRemainingBytesAsString();

  quillon::core::SessionAnswerReader reader(decode_from);
  reader.Announce(static_cast<int64_t>(answer.size()));
  for (size_t at = 0; at < answer.size(); at += piece) reader.Append(answer.substr(at, piece));
  reader.Finish();

  constexpr std::string_view kMarker = "QServerParams:";
  const std::string text = answer.substr(0, answer.find('\0'));
  const size_t marker = text.find(kMarker);
  if (reader.has_pairs() != (marker != std::string::npos)) std::abort();
  if (!reader.has_pairs()) {
    if (reader.text() != text) std::abort();
    return 0;
  }
  quillon::core::NamedValues whole, read;
  whole.TakeIncomingFrom(text, marker + kMarker.size(), /*decode_names=*/false);
  reader.MoveInto(&read);
  if (read.IncomingNames() != whole.IncomingNames()) std::abort();
  if (read.IncomingValues() != whole.IncomingValues()) std::abort();
  if (read.RequestDataText() != whole.RequestDataText()) std::abort();
  for (size_t i = 0; i < whole.IncomingCount(); ++i) {
    if (read.DecodedAt(i) != whole.DecodedAt(i)) std::abort();
  }
  return 0;
}

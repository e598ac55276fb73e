// Frames of out-of-process calls arrive from another process, possibly one
// run by another user: every body must be refused or parsed, never crash or
// over-allocate, and whatever parses must encode again and parse back to
// the same bytes. The first byte chooses the message whose parser reads the
// rest.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "component/remote_wire.h"

namespace wire = quillon::com::wire;

namespace {

// The bytes after the kind byte of a finished frame.
std::string BodyOf(const wire::Writer& w) { return std::string(w.Body().substr(1)); }

template <class Message>
std::string Encoded(Message& m) {
  wire::Writer w;
  if (!wire::Encode(m, &w)) std::abort();  // parsed means it can be written
  return BodyOf(w);
}

std::string Encoded(wire::InvokeRequest& m) {
  std::vector<quillon::com::VARIANT> args = m.Arguments(false);
  quillon::com::DISPPARAMS params;
  wire::Writer w;
  if (quillon::com::Failed(wire::Encode(m.AsCall(&args, &params), &w, nullptr))) std::abort();
  return BodyOf(w);
}

template <class Message>
void RoundTrip(std::string_view body) {
  Message first;
  if (!wire::Parse(body, &first)) return;
  const std::string once = Encoded(first);
  Message second;
  if (!wire::Parse(once, &second)) std::abort();
  if (Encoded(second) != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 9) {
    case 0:
      RoundTrip<wire::InvokeRequest>(body);
      break;
    case 1:
      RoundTrip<wire::InvokeReply>(body);
      break;
    case 2:
      RoundTrip<wire::GetIds>(body);
      break;
    case 3:
      RoundTrip<wire::IdsReply>(body);
      break;
    case 4:
      RoundTrip<wire::Welcome>(body);
      break;
    case 5:
      RoundTrip<wire::Ready>(body);
      break;
    case 6:
      RoundTrip<wire::Created>(body);
      break;
    case 7:
      RoundTrip<wire::Create>(body);
      break;
    default:
      RoundTrip<wire::Release>(body);
      break;
  }
  return 0;
}

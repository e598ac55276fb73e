// Frames of out-of-process calls arrive from another process, possibly one
// run by another user: every body must be refused or parsed, never crash or
// over-allocate, and whatever parses must encode again and parse back the
// same. The first byte chooses the parser (a call or a call's reply).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "component/remote_wire.h"

namespace wire = quillon::com::wire;

namespace {

std::string Reencode(const wire::InvokeRequest& request) {
  wire::Writer w;
  for (const auto& value : request.values) {
    if (quillon::com::Failed(w.Variant(value))) std::abort();  // parsed means marshallable
  }
  return std::string(w.Body());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    wire::InvokeReply reply;
    wire::ParseInvokeReply(body, &reply);
    return 0;
  }
  wire::InvokeRequest request;
  if (!wire::ParseInvoke(body, &request)) return 0;
  // The same values written by the encoder and read again are unchanged.
  const std::string once = Reencode(request);
  wire::Writer w;
  w.I32(request.dispid);
  w.U32(request.lcid);
  w.U16(request.flags);
  w.U8(request.want_result);
  w.U8(request.want_excepinfo);
  w.U32(static_cast<uint32_t>(request.values.size()));
  w.Bytes(once.data(), once.size());
  w.U32(0);
  wire::InvokeRequest again;
  if (!wire::ParseInvoke(w.Body(), &again)) std::abort();
  if (Reencode(again) != once) std::abort();
  return 0;
}

// A component library standing in for server applications under a
// debugger: one debug class per behaviour, each with a StartDebug method
// reached through IDispatch by name.
#ifndef QUILLON_TESTS_MONITOR_RUN_DEBUG_FIXTURE_H_
#define QUILLON_TESTS_MONITOR_RUN_DEBUG_FIXTURE_H_

#include "quillon/component/types.h"

namespace quillon::debug_fixture {

enum class Behaviour : int {
  // Header "Content-Type: text/plain\r\n"; body: a byte array reading
  // "ENV[<environment text>]BODY[<n>:<bytes>]" for a byte array of n
  // elements, "BODY[EMPTY]" for an empty variant, "BODY[VT<vt>]" otherwise.
  kEcho,
  // Header "Content-Type: text/html\r\nConnection: close\r\n", body the
  // string "<P>日本語 QServerParams:</P>".
  kText,
  // Header "Content-Type: image/gif\r\n", body the bytes "GIF89a\0\x01" in
  // an array whose lower bound is 1.
  kGif,
  // DISP_E_EXCEPTION; the description "テストの例外" arrives through a
  // deferred fill-in.
  kException,
  // 0x80040000 + 10031 with an error object described "Object error text".
  kErrorInfo,
  // 0x80010108 (disconnected) and nothing else.
  kDisconnected,
  // Knows no StartDebug.
  kNoMethod,
  // DISP_E_EXCEPTION described by the environment text it was given, as a
  // page whose exception quotes what the visitor sent.
  kRaise,
};

inline constexpr int kBehaviourCount = 8;

// CLSID of behaviour i: the base with Data1 + i.
inline constexpr com::CLSID kBaseClsid = com::Guid("{7D3A4F10-2C5B-4E8A-9A61-0B2C3D4E5F60}");

inline com::CLSID ClsidOf(Behaviour b) {
  com::CLSID id = kBaseClsid;
  id.Data1 += static_cast<uint32_t>(b);
  return id;
}

}  // namespace quillon::debug_fixture

#endif  // QUILLON_TESTS_MONITOR_RUN_DEBUG_FIXTURE_H_

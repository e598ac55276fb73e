// Uses the installed runtime from outside the tree: headers, library and run
// paths all have to be right for this to build and run.
//
//   consumer            converts a text through the runtime and prints it
//   consumer PROGID     also creates PROGID through the registry named by
//                       QUILLON_REGISTRY and asks it for IDispatch
#include <cstdio>
#include <string>

#include "quillon/component/com_ptr.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"

namespace com = quillon::com;

int main(int argc, char** argv) {
  const std::string text = "Quillon \xE2\x9C\x93";
  if (com::Utf16ToUtf8(com::Utf8ToUtf16(text)) != text) {
    std::fputs("text did not survive the runtime\n", stderr);
    return 1;
  }
  if (argc < 2) {
    std::puts("runtime ok");
    return 0;
  }
  const std::u16string progid = com::Utf8ToUtf16(argv[1]);
  com::CLSID clsid{};
  com::HRESULT hr = com::CLSIDFromProgID(progid.c_str(), &clsid);
  if (com::Failed(hr)) {
    std::fprintf(stderr, "CLSIDFromProgID(%s) failed: 0x%08X\n", argv[1],
                 static_cast<unsigned>(hr));
    return 1;
  }
  com::ComPtr<com::IDispatch> object;
  hr = com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                             object.put_void());
  if (com::Failed(hr) || !object) {
    std::fprintf(stderr, "CoCreateInstance(%s) failed: 0x%08X\n", argv[1],
                 static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("created %s %s\n", argv[1], com::FormatGuid(clsid).c_str());
  return 0;
}

// Saved control properties come from whatever the host hands over: a
// damaged stream is refused, and what is accepted writes back identically.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "quillon/component/object.h"
#include "quillon/component/persistence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon::com;  // NOLINT(google-build-using-namespace)
  auto stream = MakeMemoryStream(std::string(reinterpret_cast<const char*>(data), size));
  PropertyMap properties;
  if (Failed(ReadPropertyStream(stream.get(), &properties))) return 0;
  if (size == 0) return 0;  // nothing saved
  auto copy = MakeMemoryStream();
  if (Failed(WritePropertyStream(copy.get(), properties))) std::abort();
  copy->Seek(0, 0, nullptr);
  PropertyMap again;
  if (Failed(ReadPropertyStream(copy.get(), &again)) || again.size() != properties.size()) {
    std::abort();
  }
  return 0;
}

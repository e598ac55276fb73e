// The real component libraries, registered in a private registry, and
// their objects reached the way a host reaches them: by ProgID and
// IDispatch.
#ifndef QUILLON_TESTS_DESKTOP_COMPONENTS_H_
#define QUILLON_TESTS_DESKTOP_COMPONENTS_H_

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/persistence.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::desktop::testing {

// Registers both component libraries in a registry of the test's own for
// the life of the test program.
class Components : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("quillon-desktop-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    setenv("QUILLON_REGISTRY", (dir_ / "registry").c_str(), 1);
    for (const char* library : {QSERVER_LIBRARY, QCLIENT_LIBRARY}) {
      void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
      ASSERT_NE(handle, nullptr) << dlerror();
      auto do_register =
          reinterpret_cast<com::DllRegisterServerFn>(dlsym(handle, "DllRegisterServer"));
      ASSERT_NE(do_register, nullptr);
      ASSERT_EQ(do_register(), com::S_OK) << library;
    }
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path dir_;
};

// A new object of `progid`, started from an empty property bag (a QServer
// started so reads no request and writes no response).
inline com::ComPtr<com::IDispatch> Create(const char16_t* progid) {
  com::CLSID clsid{};
  EXPECT_EQ(com::CLSIDFromProgID(progid, &clsid), com::S_OK) << com::Utf16ToUtf8(progid);
  com::ComPtr<com::IDispatch> object;
  EXPECT_EQ(com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, com::IID_IDispatch,
                                  object.put_void()),
            com::S_OK);
  if (!object) return object;
  com::ComPtr<com::IPersistPropertyBag> bag;
  EXPECT_EQ(object->QueryInterface(com::IID_IPersistPropertyBag, bag.put_void()), com::S_OK);
  if (bag) {
    EXPECT_EQ(bag->Load(com::MakePropertyBag().get(), nullptr), com::S_OK);
  }
  return object;
}

// A property read through IDispatch, as text ("True"/"False" for booleans).
inline std::u16string Get(com::IDispatch* object, const char16_t* property) {
  com::Variant value;
  EXPECT_EQ(
      com::InvokeByName(object, property, com::DISPATCH_PROPERTYGET, {}, value.get(), nullptr),
      com::S_OK)
      << com::Utf16ToUtf8(property);
  std::u16string text;
  com::VariantToText(*value.get(), &text);
  return text;
}

inline void Put(com::IDispatch* object, const char16_t* property, com::Variant value) {
  EXPECT_EQ(com::InvokeByName(object, property, com::DISPATCH_PROPERTYPUT,
                              std::span(value.get(), 1), nullptr, nullptr),
            com::S_OK)
      << com::Utf16ToUtf8(property);
}

// The outcome of a call through IDispatch::Invoke as a script sees it.
struct Outcome {
  com::HRESULT hr;
  com::SCODE scode;
  std::u16string description;
  std::u16string source;
};

inline Outcome CallMethod(com::IDispatch* object, const char16_t* name) {
  com::EXCEPINFO info{};
  com::Variant result;
  Outcome out{};
  out.hr = com::InvokeByName(object, name, com::DISPATCH_METHOD, {}, result.get(), &info);
  out.scode = info.scode;
  out.description = std::u16string(com::Bstr::View(info.bstrDescription));
  out.source = std::u16string(com::Bstr::View(info.bstrSource));
  com::ClearExcepInfo(&info);
  return out;
}

}  // namespace quillon::desktop::testing

#endif  // QUILLON_TESTS_DESKTOP_COMPONENTS_H_

// Late-bound calls on the engines' objects, as a script makes them: objects
// created through the library's class objects, members called by name.
#ifndef QUILLON_TESTS_ENGINES_LATE_BOUND_H_
#define QUILLON_TESTS_ENGINES_LATE_BOUND_H_

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

extern "C" quillon::com::HRESULT DllGetClassObject(quillon::com::REFCLSID clsid,
                                                   quillon::com::REFIID iid, void** object);

namespace quillon::engines::testing {

using com::ComPtr;
using com::IDispatch;
using com::Variant;

inline ComPtr<IDispatch> Create(const com::CLSID& clsid) {
  ComPtr<com::IClassFactory> factory;
  EXPECT_EQ(DllGetClassObject(clsid, com::IID_IClassFactory, factory.put_void()), com::S_OK);
  ComPtr<IDispatch> object;
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, com::IID_IDispatch, object.put_void()), com::S_OK);
  }
  return object;
}

struct Call {
  com::HRESULT hr = com::S_OK;
  Variant value;
  std::u16string description;
};

inline Call Invoke(IDispatch* object, std::u16string_view name, com::WORD flags,
                   std::vector<Variant> args = {}) {
  std::vector<com::VARIANT> raw;
  for (auto& a : args) raw.push_back(*a.get());
  com::EXCEPINFO info{};
  Call c;
  c.hr = com::InvokeByName(object, name, flags, raw, c.value.get(), &info);
  c.description = std::u16string(com::Bstr::View(info.bstrDescription));
  com::ClearExcepInfo(&info);
  return c;
}

inline Call Get(IDispatch* object, std::u16string_view name, std::vector<Variant> args = {}) {
  return Invoke(object, name, com::DISPATCH_PROPERTYGET, std::move(args));
}
inline Call Put(IDispatch* object, std::u16string_view name, Variant value) {
  return Invoke(object, name, com::DISPATCH_PROPERTYPUT, {std::move(value)});
}
inline Call Method(IDispatch* object, std::u16string_view name, std::vector<Variant> args = {}) {
  return Invoke(object, name, com::DISPATCH_METHOD, std::move(args));
}

inline ComPtr<IDispatch> Object(const Call& c) {
  EXPECT_EQ(c.hr, com::S_OK) << com::Utf16ToUtf8(c.description);
  return c.value.vt() == com::VT_DISPATCH ? ComPtr<IDispatch>(c.value.get()->pdispVal) : nullptr;
}

inline int32_t Int(const Call& c) {
  Variant i;
  EXPECT_EQ(com::VariantChangeType(i.get(), c.value.get(), 0, com::VT_I4), com::S_OK);
  return i.get()->lVal;
}

inline std::u16string Text(const Variant& v) {
  return v.vt() == com::VT_BSTR ? std::u16string(com::Bstr::View(v.get()->bstrVal)) : u"<not text>";
}

// A variant array holding copies of `values`, as a script's Array(...).
inline Variant Array(const std::vector<Variant>& values) {
  com::SAFEARRAY* array =
      com::SafeArrayCreateVector(com::VT_VARIANT, 0, static_cast<com::ULONG>(values.size()));
  auto* slots = static_cast<com::VARIANT*>(array->pvData);
  for (size_t i = 0; i < values.size(); ++i) com::VariantCopy(&slots[i], values[i].get());
  Variant out;
  out.get()->vt = com::VT_ARRAY | com::VT_VARIANT;
  out.get()->parray = array;
  return out;
}

}  // namespace quillon::engines::testing

#endif  // QUILLON_TESTS_ENGINES_LATE_BOUND_H_

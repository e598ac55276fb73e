#include "quillon/component/object.h"

#include <dlfcn.h>

#include <algorithm>
#include <new>

#include "component/runtime_internal.h"

namespace quillon::com {

Module& RuntimeModule() {
  static Module module;
  return module;
}

std::string LibraryPathOf(const void* address_in_library) {
  Dl_info info{};
  if (dladdr(address_in_library, &info) == 0 || info.dli_fname == nullptr) return {};
  char resolved[4096];
  if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
  return info.dli_fname;
}

HRESULT QueryInterfaceFromTable(void* self, std::span<const InterfaceEntry> table, REFIID iid,
                                void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (table.empty()) return E_NOINTERFACE;
  if (iid == IID_IUnknown) {
    IUnknown* unknown = table.front().cast(self);
    unknown->AddRef();
    *object = unknown;
    return S_OK;
  }
  for (const InterfaceEntry& entry : table) {
    if (*entry.iid == iid) {
      IUnknown* p = entry.cast(self);
      p->AddRef();
      *object = p;
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

// --- Connection points -----------------------------------------------------

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
    AddRef();
    *object = static_cast<IConnectionPoint*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  owner_->AddRef();
  *container = owner_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  *cookie = 0;
  ComPtr<IUnknown> connected;
  if (Failed(sink->QueryInterface(iid_, connected.put_void()))) {
    // Script sinks of an event interface answer only IDispatch.
    if (iid_ == IID_IPropertyNotifySink ||
        Failed(sink->QueryInterface(IID_IDispatch, connected.put_void()))) {
      return CONNECT_E_CANNOTCONNECT;
    }
  }
  try {
    sinks_.emplace(next_cookie_, std::move(connected));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  *cookie = next_cookie_++;
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  return sinks_.erase(cookie) == 1 ? S_OK : CONNECT_E_NOCONNECTION;
}

void ConnectionPoint::FireChanged(DISPID dispid) {
  if (!(iid_ == IID_IPropertyNotifySink)) return;
  // A sink may unadvise itself while being told; work on a snapshot.
  std::vector<ComPtr<IUnknown>> snapshot;
  snapshot.reserve(sinks_.size());
  for (const auto& [cookie, sink] : sinks_) snapshot.push_back(sink);
  // Each was obtained by QueryInterface for IPropertyNotifySink.
  for (const auto& sink : snapshot) static_cast<IPropertyNotifySink*>(sink.get())->OnChanged(dispid);
}

// --- Enumeration --------------------------------------------------------------

HRESULT VariantCursor::Next(ULONG count, VARIANT* items, ULONG* fetched) {
  if (items == nullptr && count > 0) return E_POINTER;
  ULONG n = 0;
  while (n < count && position_ < items_->size()) {
    VariantInit(&items[n]);
    HRESULT hr = VariantCopy(&items[n], (*items_)[position_].get());
    if (Failed(hr)) {
      for (ULONG i = 0; i < n; ++i) VariantClear(&items[i]);
      if (fetched != nullptr) *fetched = 0;
      return hr;
    }
    ++n;
    ++position_;
  }
  if (fetched != nullptr) *fetched = n;
  return n == count ? S_OK : S_FALSE;
}

HRESULT VariantCursor::Skip(ULONG count) {
  size_t left = items_->size() - position_;
  position_ += std::min<size_t>(left, count);
  return left >= count ? S_OK : S_FALSE;
}

HRESULT VariantCursor::Reset() {
  position_ = 0;
  return S_OK;
}

HRESULT VariantCursor::Clone(IEnumVARIANT** copy) {
  if (copy == nullptr) return E_POINTER;
  try {
    auto clone = Object<VariantEnumerator>::Create(module_, items_, position_);
    *copy = clone.detach();
    return S_OK;
  } catch (const std::bad_alloc&) {
    *copy = nullptr;
    return E_OUTOFMEMORY;
  }
}

ComPtr<IEnumVARIANT> MakeVariantEnumerator(Module& module, std::vector<Variant> items) {
  auto shared = std::make_shared<const std::vector<Variant>>(std::move(items));
  auto e = Object<VariantEnumerator>::Create(module, std::move(shared));
  return ComPtr<IEnumVARIANT>(e.get());
}

}  // namespace quillon::com

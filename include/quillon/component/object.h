// Building blocks of automation objects: the library's module counts, the
// reference-counted object root, interface tables, class factories, error
// information support, connection points and enumerators. Persistence of
// controls is in persistence.h, the control base in control.h.
//
// A class is written as plain C++ deriving from the interfaces it answers,
// with a static table of them in the documented order, and is instantiated as
// Object<Class>, which supplies IUnknown:
//
//   class Doc : public ObjectBase, public DispatchImpl<IDoc, kDocTable>,
//               public SupportErrorInfoImpl<IID_IDoc> {
//    public:
//     static constexpr InterfaceEntry kInterfaces[] = {
//         Entry<Doc, IDoc>(IID_IDoc), Entry<Doc, IDispatch, IDoc>(IID_IDispatch),
//         Entry<Doc, ISupportErrorInfo>(IID_ISupportErrorInfo)};
//     ...
//   };
//   ComPtr<Object<Doc>> doc = Object<Doc>::Create(module);
#ifndef QUILLON_COMPONENT_OBJECT_H_
#define QUILLON_COMPONENT_OBJECT_H_

#include <atomic>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quillon/component/com_ptr.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::com {

// One per component library: live objects and server locks, counted with
// atomic operations only so that DllCanUnloadNow can answer.
class QUILLON_RUNTIME_API Module {
 public:
  void AddObject() { objects_.fetch_add(1, std::memory_order_relaxed); }
  void RemoveObject() { objects_.fetch_sub(1, std::memory_order_relaxed); }
  void Lock() { locks_.fetch_add(1, std::memory_order_relaxed); }
  void Unlock() { locks_.fetch_sub(1, std::memory_order_relaxed); }
  long objects() const { return objects_.load(std::memory_order_relaxed); }
  long locks() const { return locks_.load(std::memory_order_relaxed); }
  // S_OK when nothing is alive and nothing locked, else S_FALSE.
  HRESULT CanUnloadNow() const { return objects() == 0 && locks() == 0 ? S_OK : S_FALSE; }

 private:
  std::atomic<long> objects_{0};
  std::atomic<long> locks_{0};
};

// The file path of the shared object that contains `address_in_library`.
QUILLON_RUNTIME_API std::string LibraryPathOf(const void* address_in_library);

struct InterfaceEntry {
  const IID* iid;
  IUnknown* (*cast)(void* self);
};

// Entry for interface I of class C, reached through base Via when I is an
// ambiguous base (IDispatch of a dual interface, IPersist of a persistence
// interface).
template <class C, class I, class Via>
IUnknown* CastTo(void* self) {
  return static_cast<I*>(static_cast<Via*>(static_cast<C*>(self)));
}

// (A function template rather than a lambda: its body is instantiated after
// the class is complete, so tables can live inside the class.)
template <class C, class I, class Via = I>
constexpr InterfaceEntry Entry(const IID& iid) {
  return InterfaceEntry{&iid, &CastTo<C, I, Via>};
}

// The first entry also answers IUnknown, the object's identity.
QUILLON_RUNTIME_API HRESULT QueryInterfaceFromTable(void* self,
                                                    std::span<const InterfaceEntry> table,
                                                    REFIID iid, void** object);

// Root of every object: the reference count and the module's object count.
class QUILLON_RUNTIME_API ObjectBase {
 public:
  ObjectBase(const ObjectBase&) = delete;
  ObjectBase& operator=(const ObjectBase&) = delete;

 protected:
  explicit ObjectBase(Module& module) : module_(module) { module_.AddObject(); }
  virtual ~ObjectBase() { module_.RemoveObject(); }

  // Runs once when the last reference goes, before destruction; the object
  // is still whole here (a response object writes its output now).
  virtual void FinalRelease() {}

  ULONG InternalAddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG InternalRelease() { return refs_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  Module& module() const { return module_; }

  template <class T>
  friend class Object;

 private:
  Module& module_;
  std::atomic<ULONG> refs_{0};
};

// The concrete, heap-allocated form of class T.
template <class T>
class Object final : public T {
 public:
  template <class... A>
  explicit Object(A&&... args) : T(std::forward<A>(args)...) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    return QueryInterfaceFromTable(static_cast<T*>(this), T::kInterfaces, iid, object);
  }
  ULONG AddRef() override { return this->InternalAddRef(); }
  ULONG Release() override {
    ULONG n = this->InternalRelease();
    if (n == 0) {
      this->refs_.store(1);  // guard: FinalRelease may hand `this` around
      this->FinalRelease();
      delete this;
    }
    return n;
  }

  // A new object; the result holds the one reference.
  template <class... A>
  static ComPtr<Object> Create(A&&... args) {
    return ComPtr<Object>(new Object(std::forward<A>(args)...));
  }
};

// Creates Object<T>(module) for each CreateInstance; counts as an object of
// the module while alive, so the library stays loaded under it.
template <class T>
class ClassFactory : public ObjectBase, public IClassFactory {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<ClassFactory, IClassFactory>(IID_IClassFactory)};

  explicit ClassFactory(Module& module) : ObjectBase(module) {}

  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    try {
      auto instance = Object<T>::Create(module());
      return instance->QueryInterface(iid, object);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      module().Lock();
    } else {
      module().Unlock();
    }
    return S_OK;
  }
};

template <class T>
HRESULT GetFactory(Module& module, REFIID iid, void** object) {
  try {
    auto factory = Object<ClassFactory<T>>::Create(module);
    return factory->QueryInterface(iid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

// Error information is offered for the class's own interface only.
template <const IID& kIid>
class SupportErrorInfoImpl : public ISupportErrorInfo {
 public:
  HRESULT InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == kIid ? S_OK : S_FALSE;
  }
};

// A connection point of a control for one outgoing interface: property-change
// notification (IPropertyNotifySink), or the class's event interface, which
// also takes sinks that answer only IDispatch. It shares its owner's
// lifetime; AddRef and Release go to the owner.
class QUILLON_RUNTIME_API ConnectionPoint : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* owner, const IID& iid) : owner_(owner), iid_(iid) {}
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;
  virtual ~ConnectionPoint() = default;

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override { return owner_->AddRef(); }
  ULONG Release() override { return owner_->Release(); }
  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT Unadvise(DWORD cookie) override;

  const IID& iid() const { return iid_; }
  // For a property-change point: tells every advised sink that property
  // `dispid` changed.
  void FireChanged(DISPID dispid);

 private:
  IConnectionPointContainer* owner_;
  IID iid_;
  // Each sink as the interface pointer it gave for iid_ (or IDispatch).
  std::map<DWORD, ComPtr<IUnknown>> sinks_;
  DWORD next_cookie_ = 1;
};

// The cursor over a shared snapshot of items behind every IEnumVARIANT of the
// toolkit: enumerators, and collections that enumerate themselves. Clone
// gives a new enumerator at the same position.
class QUILLON_RUNTIME_API VariantCursor : public IEnumVARIANT {
 public:
  VariantCursor(Module& module, std::shared_ptr<const std::vector<Variant>> items,
                size_t position = 0)
      : module_(module), items_(std::move(items)), position_(position) {}
  virtual ~VariantCursor() = default;

  HRESULT Next(ULONG count, VARIANT* items, ULONG* fetched) override;
  HRESULT Skip(ULONG count) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumVARIANT** copy) override;

 protected:
  // New items; the cursor starts again at the first.
  void SetItems(std::shared_ptr<const std::vector<Variant>> items) {
    items_ = std::move(items);
    position_ = 0;
  }

 private:
  Module& module_;
  std::shared_ptr<const std::vector<Variant>> items_;
  size_t position_;
};

// A stand-alone enumerator.
class QUILLON_RUNTIME_API VariantEnumerator : public ObjectBase, public VariantCursor {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<VariantEnumerator, IEnumVARIANT>(IID_IEnumVARIANT)};

  VariantEnumerator(Module& module, std::shared_ptr<const std::vector<Variant>> items,
                    size_t position = 0)
      : ObjectBase(module), VariantCursor(module, std::move(items), position) {}
};

QUILLON_RUNTIME_API ComPtr<IEnumVARIANT> MakeVariantEnumerator(Module& module,
                                                               std::vector<Variant> items);

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_OBJECT_H_

// The base of every embeddable control of the toolkit: the dual (or
// dispatch) interface over its member table, the member table for hosts,
// persistence, class information, error information, and two connection
// points (property changes, and the class's event interface).
//
//   class Doc : public ControlBase<Doc, IDoc, kDocMembers> {
//    public:
//     static constexpr auto kInterfaces = ControlInterfaces<Doc, IDoc>(IID_IDoc);
//     static const ErrorConvention& Convention();
//     Plain& plain();
//     HRESULT get_Title(BSTR* v) override { return Forward<&Plain::Title>(v); }
//     ...
//   };
#ifndef QUILLON_COMPONENT_CONTROL_H_
#define QUILLON_COMPONENT_CONTROL_H_

#include <array>

#include "quillon/component/dispatch.h"
#include "quillon/component/forward.h"
#include "quillon/component/object.h"
#include "quillon/component/persistence.h"

namespace quillon::com {

// What a host learns about a control besides its members.
struct ControlIdentity {
  const CLSID& clsid;
  const IID& events;                // the event interface, the default source
  const CLSID* property_page;       // nullptr: none
};

template <class Self, class I, const InterfaceTable<I>& kTable>
class ControlBase : public ObjectBase,
                    public DispatchImpl<I, kTable>,
                    public DispatchMembersImpl<I, kTable>,
                    public ControlPersistence,
                    public ISupportErrorInfo,
                    public IConnectionPointContainer,
                    public Forwarding<Self> {
 public:
  ControlBase(Module& module, const ControlIdentity& identity)
      : ObjectBase(module),
        ControlPersistence(identity.clsid, identity.events, identity.property_page),
        notify_(this, IID_IPropertyNotifySink),
        events_(this, identity.events) {}

  // Error information is offered for the control's own interface.
  HRESULT InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == *kTable.table.iid ? S_OK : S_FALSE;
  }

  // Property changes and the event interface (which fires nothing of its
  // own, but a host that connects to the advertised default source must
  // succeed).
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
    if (point == nullptr) return E_POINTER;
    *point = nullptr;
    ConnectionPoint* found = iid == notify_.iid()   ? &notify_
                             : iid == events_.iid() ? &events_
                                                    : nullptr;
    if (found == nullptr) return CONNECT_E_NOCONNECTION;
    found->AddRef();
    *point = found;
    return S_OK;
  }

 protected:
  // A property put that forwards and then reports the change.
  template <auto Fn, class A>
  HRESULT ForwardPut(DISPID dispid, A value) {
    HRESULT hr = this->template Forward<Fn>(value);
    if (Succeeded(hr)) PropertyChanged(dispid);
    return hr;
  }

  // A property changed through the interface: the control is dirty and its
  // sinks are told.
  void PropertyChanged(DISPID dispid) {
    SetDirty();
    notify_.FireChanged(dispid);
  }

 private:
  ConnectionPoint notify_;
  ConnectionPoint events_;
};

// The interface table of a server-side control, in the documented order:
// its dual interface, IDispatch, persistence, error information, connection
// points, property pages, storage, class information, property bag, and the
// member table for script hosts.
template <class C, class I>
constexpr std::array<InterfaceEntry, 12> ControlInterfaces(const IID& iid) {
  return {
      Entry<C, I>(iid),
      Entry<C, IDispatch, I>(IID_IDispatch),
      Entry<C, IPersistStreamInit>(IID_IPersistStreamInit),
      Entry<C, IPersist, IPersistStreamInit>(IID_IPersist),
      Entry<C, ISupportErrorInfo>(IID_ISupportErrorInfo),
      Entry<C, IConnectionPointContainer>(IID_IConnectionPointContainer),
      Entry<C, ISpecifyPropertyPages>(IID_ISpecifyPropertyPages),
      Entry<C, IPersistStorage>(IID_IPersistStorage),
      Entry<C, IProvideClassInfo, IProvideClassInfo2>(IID_IProvideClassInfo),
      Entry<C, IProvideClassInfo2>(IID_IProvideClassInfo2),
      Entry<C, IPersistPropertyBag>(IID_IPersistPropertyBag),
      Entry<C, IDispatchMembers>(IID_IDispatchMembers),
  };
}

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_CONTROL_H_

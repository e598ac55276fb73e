// The client control's class. Its members (connection properties, the data
// store, the exchange) arrive with the client subsystem; until then the
// control is creatable, answers its interfaces and persists an empty
// property set.
#ifndef QUILLON_CLIENT_CLIENT_CONTROL_H_
#define QUILLON_CLIENT_CLIENT_CONTROL_H_

#include "quillon/component/dispatch.h"
#include "quillon/component/identities.h"
#include "quillon/component/object.h"

namespace quillon::client {

using com::HRESULT;

// Dispatch-only interface QClientDispatch: no slots of its own.
struct IQClientDispatch : com::IDispatch {
 protected:
  ~IQClientDispatch() = default;
};

extern const com::MemberTable kClientMembers;

class ClientControl : public com::ObjectBase,
                      public com::DispatchImpl<IQClientDispatch, kClientMembers>,
                      public com::DispatchMembersImpl<kClientMembers>,
                      public com::IConnectionPointContainer,
                      public com::ControlPersistence {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ClientControl, IQClientDispatch>(ids::DIID_QClientDispatch),
      com::Entry<ClientControl, com::IDispatch, IQClientDispatch>(com::IID_IDispatch),
      com::Entry<ClientControl, com::IDispatchMembers>(com::IID_IDispatchMembers),
      com::Entry<ClientControl, com::IConnectionPointContainer>(
          com::IID_IConnectionPointContainer),
      com::Entry<ClientControl, com::IPersistStreamInit>(com::IID_IPersistStreamInit),
      com::Entry<ClientControl, com::IPersist, com::IPersistStreamInit>(com::IID_IPersist),
      com::Entry<ClientControl, com::IPersistStorage>(com::IID_IPersistStorage),
      com::Entry<ClientControl, com::IProvideClassInfo, com::IProvideClassInfo2>(
          com::IID_IProvideClassInfo),
      com::Entry<ClientControl, com::IProvideClassInfo2>(com::IID_IProvideClassInfo2),
      com::Entry<ClientControl, com::ISpecifyPropertyPages>(com::IID_ISpecifyPropertyPages),
      com::Entry<ClientControl, com::IPersistPropertyBag>(com::IID_IPersistPropertyBag),
  };

  explicit ClientControl(com::Module& module);

  HRESULT FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) override;
  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override { return {}; }

 private:
  com::PropertyNotifyPoint notify_{this};
};

// The property page needs the desktop UI; it is an identity only.
class ClientPropertyPage : public com::ObjectBase, public com::IUnknown {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ClientPropertyPage, com::IUnknown>(com::IID_IUnknown)};
  explicit ClientPropertyPage(com::Module& module) : ObjectBase(module) {}
};

com::Module& ClientModule();

}  // namespace quillon::client

#endif  // QUILLON_CLIENT_CLIENT_CONTROL_H_

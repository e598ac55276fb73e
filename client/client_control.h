// The client control's class. Its members (connection properties, the data
// store, the exchange) arrive with the client subsystem; until then the
// control is creatable, answers its interfaces and persists an empty
// property set.
#ifndef QUILLON_CLIENT_CLIENT_CONTROL_H_
#define QUILLON_CLIENT_CLIENT_CONTROL_H_

#include "quillon/client/identities.h"
#include "quillon/component/control.h"

namespace quillon::client {

using com::HRESULT;

// Dispatch-only interface QClientDispatch: no slots of its own.
struct IQClientDispatch : com::IDispatch {
 protected:
  ~IQClientDispatch() = default;
};

// Members join this table as the client subsystem implements them.
inline constexpr com::InterfaceTable<IQClientDispatch> kClientMembers{
    u"QClientDispatch", &ids::DIID_QClientDispatch};

// The framework of the original control answers a different set in a
// different order than the server controls: no error-information support
// (its errors travel in EXCEPINFO), the member table right after IDispatch.
class ClientControl : public com::ControlBase<ClientControl, IQClientDispatch, kClientMembers> {
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

  static const com::ErrorConvention& Convention();

  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override { return {}; }
};

// The property page needs the desktop UI; it is an identity only.
class ClientPropertyPage : public com::ObjectBase, public com::IUnknown {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ClientPropertyPage, com::IUnknown>(com::IID_IUnknown)};
  explicit ClientPropertyPage(com::Module& module) : ObjectBase(module) {}
};

com::Module& ClientModule();

// A recordset failure leaves the control as 0x800A0000 | the engine's own
// code, with the text the recordset layer chose and no help context.
HRESULT ClientRecordsetError(int32_t code, std::u16string_view text);

}  // namespace quillon::client

#endif  // QUILLON_CLIENT_CLIENT_CONTROL_H_

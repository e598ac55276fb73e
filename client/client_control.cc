#include "client/client_control.h"

namespace quillon::client {

// Members join this table as the client subsystem implements them.
const com::MemberTable kClientMembers{u"QClientDispatch", &ids::DIID_QClientDispatch, {}};

ClientControl::ClientControl(com::Module& module)
    : ObjectBase(module),
      ControlPersistence(ids::CLSID_QClient, ids::DIID_QClientEvents,
                         &ids::CLSID_QClientPropPage) {}

HRESULT ClientControl::FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) {
  if (point == nullptr) return com::E_POINTER;
  *point = nullptr;
  if (iid != com::IID_IPropertyNotifySink) return com::CONNECT_E_NOCONNECTION;
  notify_.AddRef();
  *point = &notify_;
  return com::S_OK;
}

HRESULT ClientControl::LoadProperties(const com::PropertyMap& /*properties*/,
                                      com::LoadKind /*kind*/) {
  // No persisted property exists yet; saved ones of other versions are
  // ignored, as a control ignores properties it does not know.
  return com::S_OK;
}

void ClientControl::SaveProperties(com::PropertyMap* /*properties*/) {}

}  // namespace quillon::client

#include "client/client_control.h"

namespace quillon::client {

ClientControl::ClientControl(com::Module& module)
    : ControlBase(module, com::ControlIdentity{ids::CLSID_QClient, ids::DIID_QClientEvents,
                                               &ids::CLSID_QClientPropPage}) {}

const com::ErrorConvention& ClientControl::Convention() {
  static const com::ClientConvention convention(ids::kClientAppName);
  return convention;
}

HRESULT ClientControl::LoadProperties(const com::PropertyMap& /*properties*/,
                                      com::LoadKind /*kind*/) {
  // No persisted property exists yet; saved ones of other versions are
  // ignored, as a control ignores properties it does not know.
  return com::S_OK;
}

void ClientControl::SaveProperties(com::PropertyMap* /*properties*/) {}

HRESULT ClientRecordsetError(int32_t code, std::u16string_view text) {
  return com::ReportError(
      static_cast<HRESULT>(0x800A0000u | static_cast<uint32_t>(code)), text, ids::kClientAppName,
      nullptr, 0);
}

}  // namespace quillon::client

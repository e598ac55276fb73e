#include "server/html_objects.h"

#include <new>

namespace quillon::server {

QHtmlDocObject::QHtmlDocObject(com::Module& module)
    : ControlBase(module, com::ControlIdentity{ids::CLSID_QHtmlDoc, ids::DIID__IQHtmlDocEvents,
                                               &ids::CLSID_QHtmlDocPropPage}) {}

HRESULT QHtmlDocObject::LoadProperties(const com::PropertyMap& properties, com::LoadKind) {
  try {
    saved_ = properties;
    return com::S_OK;
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

void QHtmlDocObject::SaveProperties(com::PropertyMap* properties) {
  properties->insert(properties->end(), saved_.begin(), saved_.end());
}

std::vector<std::u16string> QHtmlDocObject::PropertyNames() const {
  return {u"DummyTagName", u"DummyBlockTagName", u"ConvertMasterPage"};
}

}  // namespace quillon::server

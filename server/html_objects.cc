#include "server/html_objects.h"

#include <algorithm>

namespace quillon::server {

QHtmlDocObject::QHtmlDocObject(com::Module& module)
    : ObjectBase(module),
      ControlPersistence(ids::CLSID_QHtmlDoc, ids::DIID__IQHtmlDocEvents,
                         &ids::CLSID_QHtmlDocPropPage),
      notify_(static_cast<com::IConnectionPointContainer*>(this)) {}

HRESULT QHtmlDocObject::FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) {
  if (point == nullptr) return com::E_POINTER;
  *point = nullptr;
  if (!(iid == com::IID_IPropertyNotifySink)) return com::CONNECT_E_NOCONNECTION;
  notify_.AddRef();
  *point = &notify_;
  return com::S_OK;
}

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

HRESULT HtmlTagsObject::Next(com::ULONG count, VARIANT* items, com::ULONG* fetched) {
  if (items == nullptr && count > 0) return com::E_POINTER;
  com::ULONG done = 0;
  while (done < count && position_ < items_->size()) {
    com::VariantInit(&items[done]);
    HRESULT hr = com::VariantCopy(&items[done], (*items_)[position_].get());
    if (com::Failed(hr)) {
      for (com::ULONG i = 0; i < done; ++i) com::VariantClear(&items[i]);
      if (fetched != nullptr) *fetched = 0;
      return hr;
    }
    ++done;
    ++position_;
  }
  if (fetched != nullptr) *fetched = done;
  return done == count ? com::S_OK : com::S_FALSE;
}

HRESULT HtmlTagsObject::Skip(com::ULONG count) {
  const size_t left = items_->size() - position_;
  position_ += std::min<size_t>(count, left);
  return count <= left ? com::S_OK : com::S_FALSE;
}

HRESULT HtmlTagsObject::Reset() {
  position_ = 0;
  return com::S_OK;
}

HRESULT HtmlTagsObject::Clone(com::IEnumVARIANT** copy) {
  if (copy == nullptr) return com::E_POINTER;
  *copy = nullptr;
  try {
    auto clone = com::Object<com::VariantEnumerator>::Create(module(), items_, position_);
    return clone->QueryInterface(com::IID_IEnumVARIANT, reinterpret_cast<void**>(copy));
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

}  // namespace quillon::server

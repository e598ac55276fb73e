#include "server/html_objects.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <optional>
#include <unordered_map>

#include "quillon/component/errors.h"
#include "quillon/component/forward.h"
#include "quillon/desktop/entry.h"
#include "quillon/desktop/loader.h"
#include "quillon/server/qserver.h"
#include "server/module.h"

namespace quillon::server {
namespace {

using com::Variant;

// The automation object of each tag and of each tag's children, per thread
// (objects belong to the thread that made them). Entries are weak: an
// object removes itself when it goes, and it holds its tag, so a tag's
// address cannot be reused while its entry exists.
std::unordered_map<const html::Tag*, HtmlTagObject*>& TagObjects() {
  thread_local std::unordered_map<const html::Tag*, HtmlTagObject*> objects;
  return objects;
}
std::unordered_map<const html::Tag*, HtmlTagsObject*>& CollectionObjects() {
  thread_local std::unordered_map<const html::Tag*, HtmlTagsObject*> objects;
  return objects;
}

// _InternalPointer values: unique per live object, never 0.
int32_t NextHandle() {
  static std::atomic<int32_t> next{0};
  int32_t handle;
  do {
    handle = next.fetch_add(1, std::memory_order_relaxed) + 1;
  } while (handle == 0);
  return handle;
}

// The position a collection key gives among `list`: a string resolves as
// an identifier, a NAME parameter or a tag name; numbers give their value
// (reals truncated toward zero); anything else -1.
int32_t ItemKey(const VARIANT& key, const html::Tags& list) {
  const VARIANT& v = com::Referenced(key);
  switch (v.vt) {
    case com::VT_BSTR:
      return list.FindKey(com::NarrowText(v.bstrVal));
    case com::VT_BYREF | com::VT_BSTR:
      return list.FindKey(com::NarrowText(v.pbstrVal != nullptr ? *v.pbstrVal : nullptr));
    case com::VT_I2:
      return v.iVal;
    case com::VT_UI2:
      return v.uiVal;
    case com::VT_I4:
      return v.lVal;
    case com::VT_UI4:
      return static_cast<int32_t>(v.ulVal);
    case com::VT_BYREF | com::VT_I2:
      return v.piVal != nullptr ? *v.piVal : -1;
    case com::VT_BYREF | com::VT_I4:
      return v.plVal != nullptr ? *v.plVal : -1;
    case com::VT_R4:
      return static_cast<int32_t>(std::trunc(v.fltVal));
    case com::VT_R8:
      return static_cast<int32_t>(std::trunc(v.dblVal));
    case com::VT_BYREF | com::VT_R4:
      return v.pfltVal != nullptr ? static_cast<int32_t>(std::trunc(*v.pfltVal)) : -1;
    case com::VT_BYREF | com::VT_R8:
      return v.pdblVal != nullptr ? static_cast<int32_t>(std::trunc(*v.pdblVal)) : -1;
    default:
      return -1;
  }
}

}  // namespace

// --- HtmlTag ---------------------------------------------------------------------------------

HtmlTagObject::HtmlTagObject(com::Module& module)
    : HtmlTagObject(module, html::Tag::Create()) {}

HtmlTagObject::HtmlTagObject(com::Module& module, html::Ref<html::Tag> tag)
    : ObjectBase(module), tag_(std::move(tag)), handle_(NextHandle()) {
  TagObjects()[tag_.get()] = this;
}

HtmlTagObject::~HtmlTagObject() {
  auto& objects = TagObjects();
  auto it = objects.find(tag_.get());
  if (it != objects.end() && it->second == this) objects.erase(it);
}

const com::ErrorConvention& HtmlTagObject::Convention() {
  static const com::ServerConvention convention(
      com::ErrorSource{ids::kProgIdHtmlTag, &ids::IID_IHtmlTag});
  return convention;
}

com::ComPtr<IDispatch> HtmlTagObject::Wrap(const html::Ref<html::Tag>& tag) {
  if (!tag) return nullptr;
  auto& objects = TagObjects();
  if (auto it = objects.find(tag.get()); it != objects.end()) {
    return com::ComPtr<IDispatch>(static_cast<IHtmlTag*>(it->second));
  }
  auto object = com::Object<HtmlTagObject>::Create(ServerModule(), tag);
  return com::ComPtr<IDispatch>(static_cast<IHtmlTag*>(object.get()));
}

html::Tag* HtmlTagObject::Unwrap(IDispatch* object) {
  if (object == nullptr) return nullptr;
  com::ComPtr<IHtmlTag> self;
  if (com::Failed(object->QueryInterface(IID_IHtmlTagImpl, self.put_void()))) return nullptr;
  return &static_cast<HtmlTagObject*>(self.get())->plain();
}

HRESULT HtmlTagObject::get_Tags(IDispatch** v) {
  if (v == nullptr) return com::E_POINTER;
  return Call([&] { *v = HtmlTagsObject::Wrap(tag_).detach(); });
}

HRESULT HtmlTagObject::InsertBefore(VARIANT Before, BSTR ID, BSTR TagName, IDispatch** v) {
  if (v == nullptr) return com::E_POINTER;
  return Call([&] {
    const int32_t at = ItemKey(Before, tag_->Children());
    html::Out(tag_->InsertBefore(at, com::NarrowText(ID), com::NarrowText(TagName)), v);
  });
}

HRESULT HtmlTagObject::InsertAfter(VARIANT After, BSTR ID, BSTR TagName, IDispatch** v) {
  if (v == nullptr) return com::E_POINTER;
  return Call([&] {
    const int32_t at = ItemKey(After, tag_->Children());
    html::Out(tag_->InsertAfter(at, com::NarrowText(ID), com::NarrowText(TagName)), v);
  });
}

HRESULT HtmlTagObject::Remove(VARIANT Target, int32_t Count) {
  return Call([&] { tag_->Remove(ItemKey(Target, tag_->Children()), Count); });
}

HRESULT HtmlTagObject::get__InternalPointer(int32_t* v) {
  if (v == nullptr) return com::E_POINTER;
  *v = handle_;
  return com::S_OK;
}

// --- HtmlTags --------------------------------------------------------------------------------

HtmlTagsObject::HtmlTagsObject(com::Module& module)
    : HtmlTagsObject(module, html::Tag::Create()) {}

HtmlTagsObject::HtmlTagsObject(com::Module& module, html::Ref<html::Tag> owner)
    : ObjectBase(module), owner_(std::move(owner)) {
  CollectionObjects()[owner_.get()] = this;
}

HtmlTagsObject::~HtmlTagsObject() {
  auto& objects = CollectionObjects();
  auto it = objects.find(owner_.get());
  if (it != objects.end() && it->second == this) objects.erase(it);
}

com::ComPtr<IDispatch> HtmlTagsObject::Wrap(const html::Ref<html::Tag>& owner) {
  auto& objects = CollectionObjects();
  if (auto it = objects.find(owner.get()); it != objects.end()) {
    return com::ComPtr<IDispatch>(static_cast<IHtmlTags*>(it->second));
  }
  auto object = com::Object<HtmlTagsObject>::Create(ServerModule(), owner);
  return com::ComPtr<IDispatch>(static_cast<IHtmlTags*>(object.get()));
}

HRESULT HtmlTagsObject::get__NewEnum(IUnknown** v) {
  if (v == nullptr) return com::E_POINTER;
  list().set_cursor(0);
  com::IEnumVARIANT* self = this;
  self->AddRef();
  *v = self;
  return com::S_OK;
}

HRESULT HtmlTagsObject::get_Item(VARIANT Index, IDispatch** v) {
  if (v == nullptr) return com::E_POINTER;
  *v = nullptr;
  const int32_t at = ItemKey(Index, list());
  // No error text: the caller's key was of no use at all.
  if (at == -1) return com::E_INVALIDARG;
  try {
    *v = HtmlTagObject::Wrap(list().Item(at)).detach();
    return com::S_OK;
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

HRESULT HtmlTagsObject::get_Count(int32_t* v) {
  if (v == nullptr) return com::E_POINTER;
  *v = owner_->ChildCount();
  return com::S_OK;
}

HRESULT HtmlTagsObject::Next(com::ULONG count, VARIANT* items, com::ULONG* fetched) {
  if (items == nullptr && count > 0) return com::E_POINTER;
  html::Tags& tags = list();
  com::ULONG done = 0;
  try {
    while (done < count && tags.cursor() < tags.Count()) {
      com::VariantInit(&items[done]);
      items[done].vt = com::VT_DISPATCH;
      items[done].pdispVal = HtmlTagObject::Wrap(tags.Item(tags.cursor())).detach();
      tags.set_cursor(tags.cursor() + 1);
      ++done;
    }
  } catch (const std::bad_alloc&) {
    for (com::ULONG i = 0; i < done; ++i) com::VariantClear(&items[i]);
    if (fetched != nullptr) *fetched = 0;
    return com::E_OUTOFMEMORY;
  }
  if (fetched != nullptr) *fetched = done;
  return done == count ? com::S_OK : com::S_FALSE;
}

HRESULT HtmlTagsObject::Skip(com::ULONG count) {
  html::Tags& tags = list();
  const int64_t target = static_cast<int64_t>(tags.cursor()) + count;
  tags.set_cursor(static_cast<int32_t>(std::min<int64_t>(target, tags.Count())));
  return target < tags.Count() ? com::S_OK : com::S_FALSE;
}

HRESULT HtmlTagsObject::Reset() {
  list().set_cursor(0);
  return com::S_OK;
}

HRESULT HtmlTagsObject::Clone(com::IEnumVARIANT** copy) {
  if (copy != nullptr) *copy = nullptr;
  return com::E_NOTIMPL;
}

// --- QHtmlDoc --------------------------------------------------------------------------------

QHtmlDocObject::QHtmlDocObject(com::Module& module)
    : ControlBase(module, com::ControlIdentity{ids::CLSID_QHtmlDoc, ids::DIID__IQHtmlDocEvents,
                                               &ids::CLSID_QHtmlDocPropPage}) {}

QHtmlDocObject::~QHtmlDocObject() = default;

const com::ErrorConvention& QHtmlDocObject::Convention() {
  static const com::ServerConvention convention(
      com::ErrorSource{ids::kProgIdQHtmlDoc, &ids::IID_IQHtmlDoc});
  return convention;
}

void QHtmlDocObject::FinalRelease() {
  doc_.DetachOutput();
  server_object_.reset();
}

HRESULT QHtmlDocObject::get_Item(VARIANT Index, IDispatch** v) {
  if (v == nullptr) return com::E_POINTER;
  return Call([&] {
    const VARIANT& key = com::Referenced(Index);
    html::Ref<html::Tag> tag;
    if (key.vt == com::VT_BSTR) {
      tag = doc_.Item(com::NarrowText(key.bstrVal));
    } else if (key.vt == (com::VT_BYREF | com::VT_BSTR) && key.pbstrVal != nullptr) {
      tag = doc_.Item(com::NarrowText(*key.pbstrVal));
    } else if (key.vt == com::VT_I2 || key.vt == com::VT_I4) {
      tag = doc_.Item(key.vt == com::VT_I2 ? int32_t{key.iVal} : key.lVal);
    } else if (key.vt == (com::VT_BYREF | com::VT_I2) && key.piVal != nullptr) {
      tag = doc_.Item(int32_t{*key.piVal});
    } else if (key.vt == (com::VT_BYREF | com::VT_I4) && key.plVal != nullptr) {
      tag = doc_.Item(*key.plVal);
    } else {
      throw Error(kMsgBadIndex).WithDetail(u" (neither text nor a whole number)");
    }
    html::Out(tag, v);
  });
}

HRESULT QHtmlDocObject::AboutBox() {
  return Call([] { desktop::RunAboutBox(kQuillonAboutServerModules); });
}

HRESULT QHtmlDocObject::WriteTo(IDispatch* QServer) {
  return Call([&] {
    // The response is recognised by the handle behind its _InternalPointer;
    // anything else is no output of this library.
    server::QServer* server = nullptr;
    if (QServer != nullptr) {
      Variant handle;
      if (com::Succeeded(com::InvokeByName(QServer, u"_InternalPointer",
                                           com::DISPATCH_PROPERTYGET, {}, handle.get(), nullptr)) &&
          handle.vt() == com::VT_I4) {
        server = server::QServer::FromHandle(handle.get()->lVal);
      }
    }
    if (server == nullptr) throw Error(kMsgBadOutputObject);
    auto output = std::make_unique<server::ResponseOutput>(*server);
    doc_.WriteTo(output.get());
    output_ = std::move(output);
    server_object_ = com::ComPtr<IDispatch>(QServer);
  });
}

HRESULT QHtmlDocObject::TagToTextPos(VARIANT_BOOL UseMasterPage, IDispatch* Tag,
                                     int32_t* TextBegin, int32_t* TextEnd) {
  if (TextBegin == nullptr || TextEnd == nullptr) return com::E_POINTER;
  return Call([&] {
    int32_t begin = 0;
    int32_t end = 0;
    doc_.TagToTextPos(UseMasterPage != com::VARIANT_FALSE, HtmlTagObject::Unwrap(Tag), &begin,
                      &end);
    *TextBegin = begin;
    *TextEnd = end;
  });
}

HRESULT QHtmlDocObject::LoadProperties(const com::PropertyMap& properties, com::LoadKind) {
  return Call([&] {
    for (const auto& [name, value] : properties) {
      Variant coerced;
      if (name == u"DummyTagName" || name == u"DummyBlockTagName") {
        if (com::Failed(com::VariantChangeType(coerced.get(), value.get(), 0, com::VT_BSTR))) {
          continue;
        }
        const std::string text = com::NarrowText(coerced.get()->bstrVal);
        if (name == u"DummyTagName") {
          doc_.SetDummyTagName(text);
        } else {
          doc_.SetDummyBlockTagName(text);
        }
      } else if (name == u"ConvertMasterPage") {
        if (com::Succeeded(com::VariantChangeType(coerced.get(), value.get(), 0, com::VT_BOOL))) {
          doc_.SetConvertMasterPage(coerced.get()->boolVal != com::VARIANT_FALSE);
        }
      }
    }
  });
}

void QHtmlDocObject::SaveProperties(com::PropertyMap* properties) {
  const platform::CodePage& cp = platform::ProcessCodePage();
  properties->emplace_back(u"DummyTagName", Variant::String(cp.ToUtf16(doc_.DummyTagName())));
  properties->emplace_back(u"DummyBlockTagName",
                           Variant::String(cp.ToUtf16(doc_.DummyBlockTagName())));
  properties->emplace_back(u"ConvertMasterPage", Variant::Bool(doc_.ConvertMasterPage()));
}

std::vector<std::u16string> QHtmlDocObject::PropertyNames() const {
  return {u"DummyTagName", u"DummyBlockTagName", u"ConvertMasterPage"};
}

}  // namespace quillon::server

namespace quillon::html {

void Out(const Ref<Tag>& tag, com::IDispatch** out) {
  *out = server::HtmlTagObject::Wrap(tag).detach();
}

Tag* In(com::IDispatch* object, com::forward_internal::Tag<Tag*>) {
  return server::HtmlTagObject::Unwrap(object);
}

TagArg In(com::IDispatch* object, com::forward_internal::Tag<TagArg>) {
  return server::HtmlTagObject::Unwrap(object);
}

}  // namespace quillon::html

#include "server/qserver_object.h"

#include <new>
#include <optional>
#include <string_view>

#include "quillon/component/bstr.h"
#include "quillon/component/errors.h"
#include "quillon/component/variant.h"
#include "quillon/platform/codepage.h"

namespace quillon::server {
namespace {

using com::DATE;
using com::Variant;

const com::ErrorConvention& Convention() {
  static const com::ServerConvention convention(
      com::ErrorSource{ids::kProgIdQServer, &ids::IID_IQServer});
  return convention;
}

// Every member runs through here: numbered failures, exhausted memory and
// nothing else leave as the class's convention says.
template <class F>
HRESULT Call(F&& body) {
  return com::Guarded(Convention(), std::forward<F>(body));
}

// Automation text to code-page bytes. The peers' texts are zero-terminated,
// so a string ends at its first NUL unit.
std::string Narrow(BSTR text) {
  std::u16string_view view = com::Bstr::View(text);
  view = view.substr(0, view.find(u'\0'));
  return platform::ProcessCodePage().FromUtf16(view);
}

BSTR Wide(std::string_view bytes) {
  const std::u16string text = platform::ProcessCodePage().ToUtf16(bytes);
  BSTR result = com::SysAllocStringLen(text.data(), static_cast<com::UINT>(text.size()));
  if (result == nullptr) throw std::bad_alloc();
  return result;
}

const VARIANT& Referenced(const VARIANT& v) {
  if (v.vt == (com::VT_BYREF | com::VT_VARIANT) && v.pvarVal != nullptr) return *v.pvarVal;
  return v;
}

std::optional<DATE> DateIn(const VARIANT& value) {
  const VARIANT& v = Referenced(value);
  if (v.vt == com::VT_DATE) return v.date;
  if (v.vt == (com::VT_BYREF | com::VT_DATE) && v.pdate != nullptr) return *v.pdate;
  return std::nullopt;
}

// The 16-bit or the 32-bit integer 0, directly or by reference.
bool IsIntegerZero(const VARIANT& value) {
  const VARIANT& v = Referenced(value);
  switch (v.vt) {
    case com::VT_I2:
      return v.iVal == 0;
    case com::VT_I4:
      return v.lVal == 0;
    case com::VT_BYREF | com::VT_I2:
      return v.piVal != nullptr && *v.piVal == 0;
    case com::VT_BYREF | com::VT_I4:
      return v.plVal != nullptr && *v.plVal == 0;
    default:
      return false;
  }
}

std::string BytesOrThrow(const VARIANT& value) {
  std::string bytes;
  if (!Variant::GetBytes(value, &bytes)) throw Error(kMsgBadBinaryData);
  return bytes;
}

// Text of a saved property; other kinds are coerced as a host would.
std::optional<std::string> SavedText(const com::PropertyMap& properties, std::u16string_view name) {
  for (const auto& [saved, value] : properties) {
    if (saved != name) continue;
    if (value.vt() == com::VT_BSTR) return Narrow(value.get()->bstrVal);
    VARIANT text{};
    if (com::Failed(com::VariantChangeType(&text, value.get(), 0, com::VT_BSTR))) return std::nullopt;
    Variant owner;
    owner.Adopt(&text);
    return Narrow(owner.get()->bstrVal);
  }
  return std::nullopt;
}

constexpr char16_t kContentTypeProperty[] = u"ContentType";
constexpr char16_t kResultProperty[] = u"Result";

}  // namespace

QServerObject::QServerObject(com::Module& module)
    : ObjectBase(module),
      ControlPersistence(ids::CLSID_QServer, ids::DIID__IQServerEvents,
                         &ids::CLSID_QServerPropPage),
      notify_(static_cast<com::IConnectionPointContainer*>(this)) {}

void QServerObject::FinalRelease() { server_.Finish(); }

// --- Properties --------------------------------------------------------------------

HRESULT QServerObject::get_ContentType(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.ContentType()); });
}

HRESULT QServerObject::put_ContentType(BSTR value) {
  HRESULT hr = Call([&] { server_.SetContentType(Narrow(value)); });
  if (com::Succeeded(hr)) {
    SetDirty();
    notify_.FireChanged(ids::qserver::kContentType);
  }
  return hr;
}

HRESULT QServerObject::get_Result(BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.Result()); });
}

HRESULT QServerObject::put_Result(BSTR value) {
  HRESULT hr = Call([&] { server_.SetResult(Narrow(value)); });
  if (com::Succeeded(hr)) {
    SetDirty();
    notify_.FireChanged(ids::qserver::kResult);
  }
  return hr;
}

HRESULT QServerObject::get_OffLineDebug(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = server_.OffLineDebug() ? com::VARIANT_TRUE : com::VARIANT_FALSE;
  return com::S_OK;
}

HRESULT QServerObject::get__InternalPointer(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = server_.InternalPointer();
  return com::S_OK;
}

// --- Response -------------------------------------------------------------------------

HRESULT QServerObject::WriteString(BSTR StrData) {
  return Call([&] { server_.WriteString(Narrow(StrData)); });
}

HRESULT QServerObject::WriteCRLF() {
  return Call([&] { server_.WriteCRLF(); });
}

HRESULT QServerObject::WriteBinary(VARIANT BinaryData) {
  return Call([&] { server_.WriteBinary(BytesOrThrow(BinaryData)); });
}

HRESULT QServerObject::WriteFromFile(BSTR FileName) {
  return Call([&] { server_.WriteFromFile(Narrow(FileName)); });
}

HRESULT QServerObject::AddHeader(BSTR Header) {
  return Call([&] { server_.AddHeader(Narrow(Header)); });
}

HRESULT QServerObject::SetCookie(BSTR CookieName, BSTR CookieValue, VARIANT Expires) {
  return Call([&] { server_.SetCookie(Narrow(CookieName), Narrow(CookieValue), DateIn(Expires)); });
}

HRESULT QServerObject::SetExpires(VARIANT Expires) {
  return Call([&] {
    if (std::optional<DATE> date = DateIn(Expires)) {
      server_.SetExpires(*date);
    } else if (IsIntegerZero(Expires)) {
      server_.SetExpiresNow();
    } else {
      server_.SetExpires(0.0);  // the zero date
    }
  });
}

HRESULT QServerObject::get_SessionVariable(BSTR VarName, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.SessionVariable(Narrow(VarName))); });
}

HRESULT QServerObject::put_SessionVariable(BSTR VarName, BSTR value) {
  return Call([&] { server_.SetSessionVariable(Narrow(VarName), Narrow(value)); });
}

HRESULT QServerObject::URLEncode(BSTR StrData, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.URLEncode(Narrow(StrData))); });
}

HRESULT QServerObject::URLDecode(BSTR StrData, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.URLDecode(Narrow(StrData))); });
}

// --- Named values ------------------------------------------------------------------------

HRESULT QServerObject::GetDataNameCount(int32_t* count) {
  if (count == nullptr) return com::E_POINTER;
  return Call([&] { *count = server_.GetDataNameCount(); });
}

HRESULT QServerObject::GetDataName(int32_t Index, BSTR* name) {
  if (name == nullptr) return com::E_POINTER;
  return Call([&] { *name = Wide(server_.GetDataName(Index)); });
}

HRESULT QServerObject::GetSubIndexCount(BSTR DataName, int32_t* count) {
  if (count == nullptr) return com::E_POINTER;
  return Call([&] { *count = server_.GetSubIndexCount(Narrow(DataName)); });
}

HRESULT QServerObject::GetStringData(BSTR DataName, int32_t SubIndex, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.GetStringData(Narrow(DataName), SubIndex)); });
}

HRESULT QServerObject::GetBinaryData(BSTR DataName, int32_t SubIndex, VARIANT* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] {
    Variant bytes = Variant::Bytes(server_.GetBinaryData(Narrow(DataName), SubIndex));
    *value = bytes.Detach();
  });
}

HRESULT QServerObject::GetFileData(BSTR DataName, int32_t SubIndex, BSTR FileName) {
  return Call([&] { server_.GetFileData(Narrow(DataName), SubIndex, Narrow(FileName)); });
}

HRESULT QServerObject::SetStringData(BSTR DataName, BSTR Value) {
  return Call([&] { server_.SetStringData(Narrow(DataName), Narrow(Value)); });
}

HRESULT QServerObject::SetBinaryData(BSTR DataName, VARIANT Value) {
  return Call([&] { server_.SetBinaryData(Narrow(DataName), BytesOrThrow(Value)); });
}

HRESULT QServerObject::SetFileData(BSTR DataName, BSTR FileName) {
  return Call([&] { server_.SetFileData(Narrow(DataName), Narrow(FileName)); });
}

HRESULT QServerObject::ResetContents() {
  return Call([&] { server_.ResetContents(); });
}

// Recordsets need the recordset subsystem; not on the dispatch surface yet.
HRESULT QServerObject::GetRecordsetData(BSTR, int32_t, int16_t, BSTR, BSTR) {
  return com::E_NOTIMPL;
}
HRESULT QServerObject::SetRecordsetData(BSTR, int16_t, BSTR, BSTR) { return com::E_NOTIMPL; }
HRESULT QServerObject::GetDataIntoRecordset(BSTR, int32_t, int16_t, IDispatch*, BSTR) {
  return com::E_NOTIMPL;
}
HRESULT QServerObject::SetDataFromRecordset(BSTR, int16_t, IDispatch*, BSTR) {
  return com::E_NOTIMPL;
}

// The about box is a desktop dialog; there is no desktop here.
HRESULT QServerObject::AboutBox() { return com::E_NOTIMPL; }

// --- Request ------------------------------------------------------------------------------------

HRESULT QServerObject::GetServerVariable(BSTR VarName, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.GetServerVariable(Narrow(VarName))); });
}

HRESULT QServerObject::GetULFileName(BSTR DataName, int32_t SubIndex, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.GetULFileName(Narrow(DataName), SubIndex)); });
}

HRESULT QServerObject::GetULContentType(BSTR DataName, int32_t SubIndex, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.GetULContentType(Narrow(DataName), SubIndex)); });
}

HRESULT QServerObject::CreateTempCopy(BSTR FileFrom, BSTR* path) {
  if (path == nullptr) return com::E_POINTER;
  return Call([&] { *path = Wide(server_.CreateTempCopy(Narrow(FileFrom))); });
}

HRESULT QServerObject::GetCookie(BSTR CookieName, BSTR* value) {
  if (value == nullptr) return com::E_POINTER;
  return Call([&] { *value = Wide(server_.GetCookie(Narrow(CookieName))); });
}

// --- Debug capture ------------------------------------------------------------------------------

HRESULT QServerObject::SaveRequestData(BSTR FileName) {
  return Call([&] { server_.SaveRequestData(Narrow(FileName)); });
}

HRESULT QServerObject::DebugInit(BSTR EnvParam, VARIANT CgiParam) {
  return Call([&] {
    // The array holds the body and one terminating zero; an empty array
    // has no room even for that and counts as no body.
    std::string bytes;
    std::optional<std::string_view> body;
    if (Variant::GetBytes(CgiParam, &bytes) && !bytes.empty()) {
      body = std::string_view(bytes).substr(0, bytes.size() - 1);
    }
    server_.DebugInit(Narrow(EnvParam), body);
  });
}

HRESULT QServerObject::DebugExit(BSTR* Header, VARIANT* Body) {
  if (Header == nullptr || Body == nullptr) return com::E_POINTER;
  return Call([&] {
    const QServer::DebugResponse response = server_.DebugExit();
    com::Bstr header = com::Bstr::Adopt(Wide(response.header));
    Variant body = response.binary
                       ? Variant::Bytes(response.body)
                       : Variant::String(platform::ProcessCodePage().ToUtf16(response.body));
    // Only now, with both results made, are the caller's variables replaced.
    com::SysFreeString(*Header);
    *Header = header.detach();
    com::VariantClear(Body);
    *Body = body.Detach();
  });
}

// --- Control plumbing ---------------------------------------------------------------------------

HRESULT QServerObject::FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) {
  if (point == nullptr) return com::E_POINTER;
  *point = nullptr;
  if (!(iid == com::IID_IPropertyNotifySink)) return com::CONNECT_E_NOCONNECTION;
  notify_.AddRef();
  *point = &notify_;
  return com::S_OK;
}

HRESULT QServerObject::LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) {
  return Call([&] {
    std::optional<std::string> content_type = SavedText(properties, kContentTypeProperty);
    std::optional<std::string> result = SavedText(properties, kResultProperty);
    // Loading assigns the texts as saved; the encoded result is left alone.
    server_.LoadSavedProperties(content_type ? *std::move(content_type) : server_.ContentType(),
                                result ? *std::move(result) : server_.Result());
    switch (kind) {
      case com::LoadKind::kStream:
        server_.ReadRequest();
        break;
      case com::LoadKind::kPropertyBag:
        server_.StartOffLineDebug();
        break;
      case com::LoadKind::kNew:
        break;
    }
  });
}

void QServerObject::SaveProperties(com::PropertyMap* properties) {
  const platform::CodePage& cp = platform::ProcessCodePage();
  properties->emplace_back(kContentTypeProperty, Variant::String(cp.ToUtf16(server_.ContentType())));
  properties->emplace_back(kResultProperty, Variant::String(cp.ToUtf16(server_.Result())));
}

std::vector<std::u16string> QServerObject::PropertyNames() const {
  return {kContentTypeProperty, kResultProperty};
}

}  // namespace quillon::server

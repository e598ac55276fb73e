#include "server/qserver_object.h"

#include <new>
#include <optional>
#include <string_view>

#include "quillon/component/bstr.h"
#include "quillon/component/errors.h"
#include "quillon/component/variant.h"
#include "quillon/desktop/entry.h"
#include "quillon/platform/codepage.h"
#include "quillon/desktop/loader.h"

namespace quillon::server {
namespace {

using com::DATE;
using com::Variant;

// The 16-bit or the 32-bit integer 0, directly or by reference.
bool IsIntegerZero(const VARIANT& value) {
  const VARIANT& v = com::Referenced(value);
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

// Text of a saved property; other kinds are coerced as a host would.
std::optional<std::string> SavedText(const com::PropertyMap& properties, std::u16string_view name) {
  for (const auto& [saved, value] : properties) {
    if (saved != name) continue;
    if (value.vt() == com::VT_BSTR) return com::NarrowText(value.get()->bstrVal);
    VARIANT text{};
    if (com::Failed(com::VariantChangeType(&text, value.get(), 0, com::VT_BSTR))) return std::nullopt;
    Variant owner;
    owner.Adopt(&text);
    return com::NarrowText(owner.get()->bstrVal);
  }
  return std::nullopt;
}

constexpr char16_t kContentTypeProperty[] = u"ContentType";
constexpr char16_t kResultProperty[] = u"Result";

}  // namespace

QServerObject::QServerObject(com::Module& module)
    : ControlBase(module, com::ControlIdentity{ids::CLSID_QServer, ids::DIID__IQServerEvents,
                                               &ids::CLSID_QServerPropPage}) {}

const com::ErrorConvention& QServerObject::Convention() {
  static const com::ServerConvention convention(
      com::ErrorSource{ids::kProgIdQServer, &ids::IID_IQServer});
  return convention;
}

void QServerObject::FinalRelease() { server_.Finish(); }

HRESULT QServerObject::SetExpires(VARIANT Expires) {
  return Call([&] {
    if (std::optional<DATE> date = com::DateOf(Expires)) {
      server_.SetExpires(*date);
    } else if (IsIntegerZero(Expires)) {
      server_.SetExpiresNow();
    } else {
      server_.SetExpires(0.0);  // the zero date
    }
  });
}

HRESULT QServerObject::AboutBox() {
  return Call([] { desktop::RunAboutBox(kQuillonAboutServerModules); });
}

// --- Debug capture ------------------------------------------------------------------------------

void DebugInitFromVariants(QServer& server, BSTR environment, const VARIANT& body) {
  // The array holds the body and one terminating zero; an empty array has
  // no room even for that and counts as no body.
  std::string bytes;
  std::optional<std::string_view> request_body;
  if (Variant::GetBytes(body, &bytes) && !bytes.empty()) {
    request_body = std::string_view(bytes).substr(0, bytes.size() - 1);
  }
  server.DebugInit(com::NarrowText(environment), request_body);
}

void DebugExitToVariants(const QServer& server, BSTR* header, VARIANT* body) {
  const QServer::DebugResponse response = server.DebugExit();
  com::Bstr text = com::Bstr::Adopt(com::WideText(response.header));
  Variant answer = response.binary
                       ? Variant::Bytes(response.body)
                       : Variant::String(platform::ProcessCodePage().ToUtf16(response.body));
  // Only now, with both results made, are the caller's variables replaced.
  com::SysFreeString(*header);
  *header = text.detach();
  com::VariantClear(body);
  *body = answer.Detach();
}

HRESULT QServerObject::DebugInit(BSTR EnvParam, VARIANT CgiParam) {
  return Call([&] { DebugInitFromVariants(server_, EnvParam, CgiParam); });
}

HRESULT QServerObject::DebugExit(BSTR* Header, VARIANT* Body) {
  if (Header == nullptr || Body == nullptr) return com::E_POINTER;
  return Call([&] { DebugExitToVariants(server_, Header, Body); });
}

// --- Persistence ----------------------------------------------------------------------------------

HRESULT QServerObject::LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) {
  return Call([&] {
    std::optional<std::string> content_type = SavedText(properties, kContentTypeProperty);
    std::optional<std::string> result = SavedText(properties, kResultProperty);
    server_.LoadSavedProperties(content_type ? *std::move(content_type) : server_.ContentType(),
                                server_.Result());
    // A saved Result must reach the client as any Result does, so it goes
    // through SetResult, which also encodes it for the session text.
    if (result) server_.SetResult(*std::move(result));
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

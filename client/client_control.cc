#include "client/client_control.h"

#include <optional>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/errors.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/core/product.h"
#include "quillon/desktop/entry.h"
#include "quillon/platform/codepage.h"
#include "quillon/desktop/loader.h"

namespace quillon::client {
namespace {

using com::Variant;

// The version the control saves; UseSSL is stored from version 3.0 on.
constexpr int32_t kPersistVersion = 0x00030004;
constexpr int32_t kUseSslSince = 0x00030000;
// The control's extent, 28 x 28 pixels in HIMETRIC, as its framework saves
// it among the standard properties.
constexpr int32_t kExtentHimetric = 741;

constexpr char16_t kVersion[] = u"_Version";
constexpr char16_t kExtentX[] = u"_ExtentX";
constexpr char16_t kExtentY[] = u"_ExtentY";
constexpr char16_t kStockProps[] = u"_StockProps";

const Variant* Find(const com::PropertyMap& properties, std::u16string_view name) {
  for (const auto& [saved, value] : properties) {
    if (saved == name) return &value;
  }
  return nullptr;
}

// The saved value coerced to `vt`, as a host's property exchange would;
// nullopt when it is missing or does not coerce.
std::optional<Variant> Coerced(const com::PropertyMap& properties, std::u16string_view name,
                               com::VARTYPE vt) {
  const Variant* value = Find(properties, name);
  if (value == nullptr) return std::nullopt;
  Variant out;
  if (com::Failed(com::VariantChangeType(out.get(), value->get(), 0, vt))) return std::nullopt;
  return out;
}

std::string TextOr(const com::PropertyMap& p, std::u16string_view name, std::string fallback) {
  std::optional<Variant> v = Coerced(p, name, com::VT_BSTR);
  return v ? com::NarrowText(v->get()->bstrVal) : std::move(fallback);
}

int16_t ShortOr(const com::PropertyMap& p, std::u16string_view name, int16_t fallback) {
  std::optional<Variant> v = Coerced(p, name, com::VT_I2);
  return v ? v->get()->iVal : fallback;
}

bool BoolOr(const com::PropertyMap& p, std::u16string_view name, bool fallback) {
  std::optional<Variant> v = Coerced(p, name, com::VT_BOOL);
  return v ? v->get()->boolVal != com::VARIANT_FALSE : fallback;
}

Variant Text(std::string_view bytes) {
  return Variant::String(platform::ProcessCodePage().ToUtf16(bytes));
}

}  // namespace

ClientControl::ClientControl(com::Module& module)
    : ControlBase(module, com::ControlIdentity{ids::CLSID_QClient, ids::DIID_QClientEvents,
                                               &ids::CLSID_QClientPropPage}) {
  client_.SetOfflineExchange(&MonitorExchange);
}

HRESULT ClientControl::AboutBox() {
  return Call([] { desktop::RunAboutBox(kQuillonAboutClientControl); });
}

const com::ErrorConvention& ClientControl::Convention() {
  static const com::ClientConvention convention(ids::kClientAppName);
  return convention;
}

HRESULT ClientControl::LoadProperties(const com::PropertyMap& properties,
                                      com::LoadKind /*kind*/) {
  return Call([&] {
    // Stored values are assigned directly: UseSSL's effect on PortNo does
    // not run while loading. A property set without a version is taken as
    // the current one, as the control's framework does.
    std::optional<Variant> version = Coerced(properties, kVersion, com::VT_I4);
    const int32_t stored = version ? version->get()->lVal : kPersistVersion;
    Client loaded;
    loaded.SetAgentName(TextOr(properties, u"AgentName", Client::kDefaultAgentName));
    loaded.SetServerName(TextOr(properties, u"ServerName", ""));
    loaded.SetPortNo(ShortOr(properties, u"PortNo", Client::kDefaultPortNo));
    loaded.SetAppName(TextOr(properties, u"AppName", ""));
    loaded.SetProxyServer(TextOr(properties, u"ProxyServer", ""));
    loaded.SetProxyPort(ShortOr(properties, u"ProxyPort", Client::kDefaultProxyPort));
    loaded.SetOffLineDebug(BoolOr(properties, u"OffLineDebug", false));
    loaded.LoadUseSSL(stored >= kUseSslSince && BoolOr(properties, u"UseSSL", false));
    client_.SetAgentName(loaded.AgentName());
    client_.SetServerName(loaded.ServerName());
    client_.SetPortNo(loaded.PortNo());
    client_.SetAppName(loaded.AppName());
    client_.SetProxyServer(loaded.ProxyServer());
    client_.SetProxyPort(loaded.ProxyPort());
    client_.SetOffLineDebug(loaded.OffLineDebug());
    client_.LoadUseSSL(loaded.UseSSL());
  });
}

void ClientControl::SaveProperties(com::PropertyMap* properties) {
  properties->emplace_back(kVersion, Variant::I4(kPersistVersion));
  properties->emplace_back(kExtentX, Variant::I4(kExtentHimetric));
  properties->emplace_back(kExtentY, Variant::I4(kExtentHimetric));
  properties->emplace_back(kStockProps, Variant::I4(0));
  properties->emplace_back(u"AgentName", Text(client_.AgentName()));
  properties->emplace_back(u"ServerName", Text(client_.ServerName()));
  properties->emplace_back(u"PortNo", Variant::I2(client_.PortNo()));
  properties->emplace_back(u"AppName", Text(client_.AppName()));
  properties->emplace_back(u"ProxyServer", Text(client_.ProxyServer()));
  properties->emplace_back(u"ProxyPort", Variant::I2(client_.ProxyPort()));
  properties->emplace_back(u"OffLineDebug", Variant::Bool(client_.OffLineDebug()));
  properties->emplace_back(u"UseSSL", Variant::Bool(client_.UseSSL()));
}

std::vector<std::u16string> ClientControl::PropertyNames() const {
  return {kVersion,  kExtentX,     kExtentY,   kStockProps,   u"AgentName",
          u"ServerName", u"PortNo", u"AppName", u"ProxyServer", u"ProxyPort",
          u"OffLineDebug", u"UseSSL"};
}

namespace {

// A failed call on the monitor: passed on with the monitor's own code and
// error information, as the monitor reported it.
[[noreturn]] void ForwardFailure(com::HRESULT hr, com::EXCEPINFO* info) {
  com::HRESULT code = hr;
  std::u16string description;
  std::u16string source;
  uint32_t help_context = 0;
  if (hr == com::DISP_E_EXCEPTION) {
    if (info->pfnDeferredFillIn != nullptr) info->pfnDeferredFillIn(info);
    // A bare error number is an application-defined error, as hosts read it.
    code = info->scode != 0   ? info->scode
           : info->wCode != 0 ? com::MakeHresult(0x800A0000u | info->wCode)
                              : hr;
    description = com::Bstr::View(info->bstrDescription);
    source = com::Bstr::View(info->bstrSource);
    help_context = info->dwHelpContext;
  } else {
    com::ComPtr<com::IErrorInfo> error;
    if (com::GetErrorInfo(0, error.put()) == com::S_OK && error) {
      com::Bstr text;
      if (com::Succeeded(error->GetDescription(text.put()))) description = text.view();
      com::Bstr from;
      if (com::Succeeded(error->GetSource(from.put()))) source = from.view();
      error->GetHelpContext(&help_context);
    }
  }
  com::ClearExcepInfo(info);
  throw ForwardedError(code, std::move(description), std::move(source), help_context);
}

}  // namespace

std::string MonitorExchange(const std::string& request_text) {
  const platform::CodePage& cp = platform::ProcessCodePage();
  com::CLSID clsid{};
  com::ComPtr<com::IDispatch> monitor;
  // A monitor that cannot be created is not reported here: the exchange
  // then has no answer, and the missing result says the rest (10032).
  if (com::Failed(com::CLSIDFromProgID(ids::kProgIdQMonitor, &clsid)) ||
      com::Failed(com::CoCreateInstance(clsid, nullptr,
                                        com::CLSCTX_INPROC_SERVER | com::CLSCTX_LOCAL_SERVER,
                                        com::IID_IDispatch, monitor.put_void()))) {
    return {};
  }
  // Whatever the monitor reports from here on is the caller's to see.
  Variant request = Variant::String(cp.ToUtf16(request_text));
  Variant ignored;
  com::EXCEPINFO info{};
  if (const com::HRESULT hr = com::InvokeByName(monitor.get(), u"EditRequestData",
                                                com::DISPATCH_METHOD, {request.get(), 1},
                                                ignored.get(), &info);
      com::Failed(hr)) {
    ForwardFailure(hr, &info);
  }
  VARIANT args[3];
  Variant header = Variant::String(u"");
  Variant body = Variant::String(u"QServerResult=");
  Variant kind = Variant::String(u".RES");
  args[0] = *header.get();
  args[1] = *body.get();
  args[2] = *kind.get();
  Variant answer;
  if (const com::HRESULT hr = com::InvokeByName(monitor.get(), u"EditResponseData",
                                                com::DISPATCH_METHOD, args, answer.get(), &info);
      com::Failed(hr)) {
    ForwardFailure(hr, &info);
  }
  if (answer.vt() != com::VT_BSTR) return {};
  return com::NarrowText(answer.get()->bstrVal);
}

com::Module& ClientModule() {
  static com::Module module;
  return module;
}

}  // namespace quillon::client

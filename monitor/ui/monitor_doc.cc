#include "monitor/ui/monitor_doc.h"

#include <unistd.h>

#include <new>
#include <utility>

#include "monitor/ui/monitor.h"
#include "quillon/component/variant.h"

namespace quillon::monitor {

ResponseBody BodyFromVariant(const VARIANT& body) {
  const VARIANT& v = com::Referenced(body);
  if (v.vt == com::VT_BSTR) return ResponseBody::String(com::NarrowText(v.bstrVal));
  if (v.vt == (com::VT_BYREF | com::VT_BSTR) && v.pbstrVal != nullptr) {
    return ResponseBody::String(com::NarrowText(*v.pbstrVal));
  }
  std::string bytes;
  if (com::Variant::GetBytes(v, &bytes)) return ResponseBody::Bytes(std::move(bytes));
  return ResponseBody::Empty();
}

std::string MonitorDocument::EditRequestData(const std::string& request_text) {
  return monitor::EditRequestData(request_text);
}

std::string MonitorDocument::EditResponseData(std::string header_text, VARIANT body,
                                              std::string kind) {
  return monitor::EditResponseData(std::move(header_text), BodyFromVariant(body), std::move(kind));
}

void MonitorDocument::SetCurDir(const std::string& path) {
  // Failing here would be an error of the monitor's own, which it has none
  // of: the dialogs simply start in the old directory.
  (void)::chdir(path.c_str());
}

const com::ErrorConvention& MonitorDocObject::Convention() {
  static const com::ServerConvention kConvention(
      com::ErrorSource{ids::kProgIdQMonitor, &IID_IQMonitorDoc});
  return kConvention;
}

com::Module& MonitorModule() {
  static com::Module module;
  return module;
}

HRESULT CreateMonitorDoc(com::IDispatch** object) {
  if (object == nullptr) return com::E_POINTER;
  *object = nullptr;
  try {
    auto doc = com::Object<MonitorDocObject>::Create(MonitorModule());
    return doc->QueryInterface(com::IID_IDispatch, reinterpret_cast<void**>(object));
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
}

HRESULT GetMonitorDocFactory(com::REFIID iid, void** object) {
  return com::GetFactory<MonitorDocObject>(MonitorModule(), iid, object);
}

}  // namespace quillon::monitor

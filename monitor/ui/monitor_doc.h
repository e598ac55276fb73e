// The monitor's automation class QMonitorDoc ("Quillon.QMonitor"): a
// dispatch interface over the two editing entry points of monitor.h and
// the process's current directory. It raises no errors of its own; only
// exhausted memory fails a call.
#ifndef QUILLON_MONITOR_UI_MONITOR_DOC_H_
#define QUILLON_MONITOR_UI_MONITOR_DOC_H_

#include <string>

#include "monitor/ui/capture.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/forward.h"
#include "quillon/component/object.h"
#include "quillon/core/product.h"

namespace quillon::monitor {

using com::BSTR;
using com::HRESULT;
using com::VARIANT;

// The interface has no published identifier of its own: hosts reach it as
// IDispatch. This one lets C++ callers in the program ask for the slots.
inline constexpr com::IID IID_IQMonitorDoc = com::Guid("{08339585-0DE3-4A44-9273-54A0550B1CDE}");

// Dispatch-only; the C++ slots follow the member table's order.
struct IQMonitorDoc : com::IDispatch {
  virtual HRESULT EditRequestData(BSTR RequestText, BSTR* result) = 0;
  virtual HRESULT EditResponseData(BSTR HeaderText, VARIANT Body, BSTR Kind, BSTR* result) = 0;
  virtual HRESULT SetCurDir(BSTR Path) = 0;

 protected:
  ~IQMonitorDoc() = default;
};

inline constexpr auto kMonitorDocMemberList = com::Members<IQMonitorDoc>(
    com::Function<&IQMonitorDoc::EditRequestData>(1, u"EditRequestData(RequestText)"),
    com::Function<&IQMonitorDoc::EditResponseData>(2, u"EditResponseData(HeaderText, Body, Kind)"),
    com::Method<&IQMonitorDoc::SetCurDir>(3, u"SetCurDir(Path)"));

inline constexpr com::InterfaceTable<IQMonitorDoc> kMonitorDocMembers{
    u"IQMonitorDoc", &IID_IQMonitorDoc, kMonitorDocMemberList};

// A response body variant as the editors hold it: a string (directly or by
// reference) as its code-page bytes, a one-dimensional byte array as its
// bytes, anything else as an empty body.
ResponseBody BodyFromVariant(const VARIANT& body);

// The plain object behind the class.
class MonitorDocument {
 public:
  std::string EditRequestData(const std::string& request_text);
  std::string EditResponseData(std::string header_text, VARIANT body, std::string kind);
  // Changes the process's current directory; a path that cannot be entered
  // leaves it where it was (no error: the file dialogs just start elsewhere).
  void SetCurDir(const std::string& path);
};

class MonitorDocObject : public com::ObjectBase,
                         public com::DispatchImpl<IQMonitorDoc, kMonitorDocMembers>,
                         public com::DispatchMembersImpl<IQMonitorDoc, kMonitorDocMembers>,
                         public com::Forwarding<MonitorDocObject> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<MonitorDocObject, IQMonitorDoc>(IID_IQMonitorDoc),
      com::Entry<MonitorDocObject, com::IDispatch, IQMonitorDoc>(com::IID_IDispatch),
      com::Entry<MonitorDocObject, com::IDispatchMembers>(com::IID_IDispatchMembers),
  };

  explicit MonitorDocObject(com::Module& module) : ObjectBase(module) {}

  static const com::ErrorConvention& Convention();
  MonitorDocument& plain() { return document_; }

  HRESULT EditRequestData(BSTR RequestText, BSTR* result) override {
    return Forward<&MonitorDocument::EditRequestData>(RequestText, result);
  }
  HRESULT EditResponseData(BSTR HeaderText, VARIANT Body, BSTR Kind, BSTR* result) override {
    return Forward<&MonitorDocument::EditResponseData>(HeaderText, Body, Kind, result);
  }
  HRESULT SetCurDir(BSTR Path) override { return Forward<&MonitorDocument::SetCurDir>(Path); }

 private:
  MonitorDocument document_;
};

// The monitor program's object count (its local server stays up while an
// object lives).
com::Module& MonitorModule();

// A new QMonitorDoc; *object holds its one reference. E_POINTER for a null
// pointer, E_OUTOFMEMORY when it cannot be made.
HRESULT CreateMonitorDoc(com::IDispatch** object);

// The class factory for CLSID_QMonitorDoc, for the program to serve.
HRESULT GetMonitorDocFactory(com::REFIID iid, void** object);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_UI_MONITOR_DOC_H_

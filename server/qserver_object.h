// The automation class QServer (CLSID_QServer, "QServer.QServer.3"): the
// dual interface IQServer and the persistence, error-information and
// connection-point interfaces of a control, over the plain QServer.
//
// How a host starts it decides what it does: loading saved properties from
// a stream (or a storage) is a live CGI run and reads the request; loading
// them from a property bag is an offline-debug run and reads nothing;
// InitNew, or no load at all, reads nothing either. The response is written
// when the last reference goes, unless the run is an offline-debug one.
#ifndef QUILLON_SERVER_QSERVER_OBJECT_H_
#define QUILLON_SERVER_QSERVER_OBJECT_H_

#include <string>
#include <vector>

#include "quillon/component/dispatch.h"
#include "quillon/component/identities.h"
#include "quillon/component/object.h"
#include "quillon/server/iqserver.h"
#include "quillon/server/qserver.h"

namespace quillon::server {

// The members that work on this platform, in dispatch-identifier order.
// Not listed (their slots answer E_NOTIMPL): the recordset operations
// GetRecordsetData (13), SetRecordsetData (17), GetDataIntoRecordset (30)
// and SetDataFromRecordset (31), which need the recordset subsystem, and
// AboutBox (-552), which needs a desktop.
inline constexpr com::MemberInfo kQServerMemberList[] = {
    com::Get<&IQServer::get_ContentType>(ids::qserver::kContentType, u"ContentType"),
    com::Put<&IQServer::put_ContentType>(ids::qserver::kContentType, u"ContentType"),
    com::Get<&IQServer::get_Result>(ids::qserver::kResult, u"Result"),
    com::Put<&IQServer::put_Result>(ids::qserver::kResult, u"Result"),
    com::Get<&IQServer::get_OffLineDebug>(ids::qserver::kOffLineDebug, u"OffLineDebug"),
    com::Get<&IQServer::get__InternalPointer>(ids::qserver::kInternalPointer,
                                              u"_InternalPointer", {.hidden = true}),
    com::Method<&IQServer::WriteString>(ids::qserver::kWriteString, u"WriteString"),
    com::Method<&IQServer::WriteCRLF>(ids::qserver::kWriteCRLF, u"WriteCRLF"),
    com::Method<&IQServer::WriteBinary>(ids::qserver::kWriteBinary, u"WriteBinary"),
    com::Method<&IQServer::WriteFromFile>(ids::qserver::kWriteFromFile, u"WriteFromFile"),
    com::Function<&IQServer::GetDataNameCount>(ids::qserver::kGetDataNameCount,
                                               u"GetDataNameCount"),
    com::Function<&IQServer::GetDataName>(ids::qserver::kGetDataName, u"GetDataName"),
    com::Function<&IQServer::GetSubIndexCount>(ids::qserver::kGetSubIndexCount,
                                               u"GetSubIndexCount"),
    com::Function<&IQServer::GetStringData>(ids::qserver::kGetStringData, u"GetStringData"),
    com::Function<&IQServer::GetBinaryData>(ids::qserver::kGetBinaryData, u"GetBinaryData"),
    com::Method<&IQServer::GetFileData>(ids::qserver::kGetFileData, u"GetFileData"),
    com::Method<&IQServer::SetStringData>(ids::qserver::kSetStringData, u"SetStringData"),
    com::Method<&IQServer::SetBinaryData>(ids::qserver::kSetBinaryData, u"SetBinaryData"),
    com::Method<&IQServer::SetFileData>(ids::qserver::kSetFileData, u"SetFileData"),
    com::Method<&IQServer::ResetContents>(ids::qserver::kResetContents, u"ResetContents"),
    com::Function<&IQServer::GetServerVariable>(ids::qserver::kGetServerVariable,
                                                u"GetServerVariable"),
    com::Function<&IQServer::GetULFileName>(ids::qserver::kGetULFileName, u"GetULFileName"),
    com::Function<&IQServer::GetULContentType>(ids::qserver::kGetULContentType,
                                               u"GetULContentType"),
    com::Function<&IQServer::CreateTempCopy>(ids::qserver::kCreateTempCopy, u"CreateTempCopy"),
    com::Method<&IQServer::SaveRequestData>(ids::qserver::kSaveRequestData, u"SaveRequestData"),
    com::Method<&IQServer::DebugInit>(ids::qserver::kDebugInit, u"DebugInit", {.hidden = true}),
    com::Method<&IQServer::DebugExit>(ids::qserver::kDebugExit, u"DebugExit", {.hidden = true}),
    com::Function<&IQServer::URLEncode>(ids::qserver::kURLEncode, u"URLEncode"),
    com::Function<&IQServer::URLDecode>(ids::qserver::kURLDecode, u"URLDecode"),
    com::Function<&IQServer::GetCookie>(ids::qserver::kGetCookie, u"GetCookie"),
    // The expiry may be left out: no expiry part.
    com::Method<&IQServer::SetCookie>(ids::qserver::kSetCookie, u"SetCookie", {.required = 2}),
    com::Method<&IQServer::SetExpires>(ids::qserver::kSetExpires, u"SetExpires"),
    com::Method<&IQServer::AddHeader>(ids::qserver::kAddHeader, u"AddHeader"),
    com::Get<&IQServer::get_SessionVariable>(ids::qserver::kSessionVariable, u"SessionVariable"),
    com::Put<&IQServer::put_SessionVariable>(ids::qserver::kSessionVariable, u"SessionVariable"),
};

inline constexpr com::MemberTable kQServerMembers{u"IQServer", &ids::IID_IQServer,
                                                  kQServerMemberList};

class QServerObject : public com::ObjectBase,
                      public com::DispatchImpl<IQServer, kQServerMembers>,
                      public com::DispatchMembersImpl<kQServerMembers>,
                      public com::ControlPersistence,
                      public com::SupportErrorInfoImpl<ids::IID_IQServer>,
                      public com::IConnectionPointContainer {
 public:
  // The interface table in the documented order; the visual embedding
  // interfaces of the original control have no meaning here and are left
  // out.
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<QServerObject, IQServer>(ids::IID_IQServer),
      com::Entry<QServerObject, com::IDispatch, IQServer>(com::IID_IDispatch),
      com::Entry<QServerObject, com::IPersistStreamInit>(com::IID_IPersistStreamInit),
      com::Entry<QServerObject, com::IPersist, com::IPersistStreamInit>(com::IID_IPersist),
      com::Entry<QServerObject, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<QServerObject, com::IConnectionPointContainer>(
          com::IID_IConnectionPointContainer),
      com::Entry<QServerObject, com::ISpecifyPropertyPages>(com::IID_ISpecifyPropertyPages),
      com::Entry<QServerObject, com::IPersistStorage>(com::IID_IPersistStorage),
      com::Entry<QServerObject, com::IProvideClassInfo, com::IProvideClassInfo2>(
          com::IID_IProvideClassInfo),
      com::Entry<QServerObject, com::IProvideClassInfo2>(com::IID_IProvideClassInfo2),
      com::Entry<QServerObject, com::IPersistPropertyBag>(com::IID_IPersistPropertyBag),
      // Script hosts read the member table to pass by-reference parameters
      // (DebugExit's Header and Body).
      com::Entry<QServerObject, com::IDispatchMembers>(com::IID_IDispatchMembers),
  };

  explicit QServerObject(com::Module& module);

  // The plain object behind the interface.
  QServer& server() { return server_; }

  // IQServer
  HRESULT get_ContentType(BSTR* value) override;
  HRESULT put_ContentType(BSTR value) override;
  HRESULT get_Result(BSTR* value) override;
  HRESULT put_Result(BSTR value) override;
  HRESULT get_OffLineDebug(VARIANT_BOOL* value) override;
  HRESULT get__InternalPointer(int32_t* value) override;
  HRESULT WriteString(BSTR StrData) override;
  HRESULT WriteCRLF() override;
  HRESULT WriteBinary(VARIANT BinaryData) override;
  HRESULT WriteFromFile(BSTR FileName) override;
  HRESULT GetDataNameCount(int32_t* count) override;
  HRESULT GetDataName(int32_t Index, BSTR* name) override;
  HRESULT GetSubIndexCount(BSTR DataName, int32_t* count) override;
  HRESULT GetStringData(BSTR DataName, int32_t SubIndex, BSTR* value) override;
  HRESULT GetRecordsetData(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                           BSTR DatabaseName, BSTR RecordsetName) override;
  HRESULT GetBinaryData(BSTR DataName, int32_t SubIndex, VARIANT* value) override;
  HRESULT GetFileData(BSTR DataName, int32_t SubIndex, BSTR FileName) override;
  HRESULT SetStringData(BSTR DataName, BSTR Value) override;
  HRESULT SetRecordsetData(BSTR DataName, int16_t DatabaseType, BSTR DatabaseName,
                           BSTR RecordsetName) override;
  HRESULT SetBinaryData(BSTR DataName, VARIANT Value) override;
  HRESULT SetFileData(BSTR DataName, BSTR FileName) override;
  HRESULT ResetContents() override;
  HRESULT GetServerVariable(BSTR VarName, BSTR* value) override;
  HRESULT GetULFileName(BSTR DataName, int32_t SubIndex, BSTR* value) override;
  HRESULT GetULContentType(BSTR DataName, int32_t SubIndex, BSTR* value) override;
  HRESULT CreateTempCopy(BSTR FileFrom, BSTR* path) override;
  HRESULT SaveRequestData(BSTR FileName) override;
  HRESULT DebugInit(BSTR EnvParam, VARIANT CgiParam) override;
  HRESULT DebugExit(BSTR* Header, VARIANT* Body) override;
  HRESULT URLEncode(BSTR StrData, BSTR* value) override;
  HRESULT URLDecode(BSTR StrData, BSTR* value) override;
  HRESULT GetDataIntoRecordset(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                               IDispatch* Database, BSTR RecordsetName) override;
  HRESULT SetDataFromRecordset(BSTR DataName, int16_t DatabaseType, IDispatch* Database,
                               BSTR RecordsetName) override;
  HRESULT GetCookie(BSTR CookieName, BSTR* value) override;
  HRESULT SetCookie(BSTR CookieName, BSTR CookieValue, VARIANT Expires) override;
  HRESULT SetExpires(VARIANT Expires) override;
  HRESULT AddHeader(BSTR Header) override;
  HRESULT get_SessionVariable(BSTR VarName, BSTR* value) override;
  HRESULT put_SessionVariable(BSTR VarName, BSTR value) override;
  HRESULT AboutBox() override;

  // IConnectionPointContainer: property-change notification only.
  HRESULT FindConnectionPoint(com::REFIID iid, com::IConnectionPoint** point) override;

  // ControlPersistence
  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override;
  void FinalRelease() override;

 private:
  QServer server_;
  com::PropertyNotifyPoint notify_;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_QSERVER_OBJECT_H_

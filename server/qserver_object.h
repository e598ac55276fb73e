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

#include "quillon/component/control.h"
#include "quillon/server/identities.h"
#include "quillon/server/iqserver.h"
#include "quillon/server/qserver.h"

namespace quillon::server {

// The members in dispatch-identifier order.
inline constexpr auto kQServerMemberList = com::Members<IQServer>(
    com::Get<&IQServer::get_ContentType>(1, u"ContentType"),
    com::Put<&IQServer::put_ContentType>(1, u"ContentType"),
    com::Get<&IQServer::get_Result>(2, u"Result"),
    com::Put<&IQServer::put_Result>(2, u"Result"),
    com::Get<&IQServer::get_OffLineDebug>(3, u"OffLineDebug"),
    com::Get<&IQServer::get__InternalPointer>(4, u"_InternalPointer", {.hidden = true}),
    com::Method<&IQServer::WriteString>(5, u"WriteString(StrData)"),
    com::Method<&IQServer::WriteCRLF>(6, u"WriteCRLF"),
    com::Method<&IQServer::WriteBinary>(7, u"WriteBinary(BinaryData)"),
    com::Method<&IQServer::WriteFromFile>(8, u"WriteFromFile(FileName)"),
    com::Function<&IQServer::GetDataNameCount>(9, u"GetDataNameCount"),
    com::Function<&IQServer::GetDataName>(10, u"GetDataName(Index)"),
    com::Function<&IQServer::GetSubIndexCount>(11, u"GetSubIndexCount(DataName)"),
    com::Function<&IQServer::GetStringData>(12, u"GetStringData(DataName, SubIndex)"),
    com::Method<&IQServer::GetRecordsetData>(
        13, u"GetRecordsetData(DataName, SubIndex, DatabaseType, DatabaseName, RecordsetName)"),
    com::Function<&IQServer::GetBinaryData>(14, u"GetBinaryData(DataName, SubIndex)"),
    com::Method<&IQServer::GetFileData>(15, u"GetFileData(DataName, SubIndex, FileName)"),
    com::Method<&IQServer::SetStringData>(16, u"SetStringData(DataName, Value)"),
    com::Method<&IQServer::SetRecordsetData>(
        17, u"SetRecordsetData(DataName, DatabaseType, DatabaseName, RecordsetName)"),
    com::Method<&IQServer::SetBinaryData>(18, u"SetBinaryData(DataName, Value)"),
    com::Method<&IQServer::SetFileData>(19, u"SetFileData(DataName, FileName)"),
    com::Method<&IQServer::ResetContents>(20, u"ResetContents"),
    com::Function<&IQServer::GetServerVariable>(21, u"GetServerVariable(VarName)"),
    com::Function<&IQServer::GetULFileName>(22, u"GetULFileName(DataName, SubIndex)"),
    com::Function<&IQServer::GetULContentType>(23, u"GetULContentType(DataName, SubIndex)"),
    com::Function<&IQServer::CreateTempCopy>(24, u"CreateTempCopy(FileFrom)"),
    com::Method<&IQServer::SaveRequestData>(25, u"SaveRequestData(FileName)"),
    com::Method<&IQServer::DebugInit>(26, u"DebugInit(EnvParam, CgiParam)", {.hidden = true}),
    com::Method<&IQServer::DebugExit>(27, u"DebugExit(Header, Body)", {.hidden = true}),
    com::Function<&IQServer::URLEncode>(28, u"URLEncode(StrData)"),
    com::Function<&IQServer::URLDecode>(29, u"URLDecode(StrData)"),
    com::Method<&IQServer::GetDataIntoRecordset>(
        30, u"GetDataIntoRecordset(DataName, SubIndex, DatabaseType, Database, RecordsetName)"),
    com::Method<&IQServer::SetDataFromRecordset>(
        31, u"SetDataFromRecordset(DataName, DatabaseType, Database, RecordsetName)"),
    com::Function<&IQServer::GetCookie>(32, u"GetCookie(CookieName)"),
    // The expiry may be left out: no expiry part.
    com::Method<&IQServer::SetCookie>(33, u"SetCookie(CookieName, CookieValue, Expires)",
                                      {.required = 2}),
    com::Method<&IQServer::SetExpires>(34, u"SetExpires(Expires)"),
    com::Method<&IQServer::AddHeader>(35, u"AddHeader(Header)"),
    com::Get<&IQServer::get_SessionVariable>(36, u"SessionVariable(VarName)"),
    com::Put<&IQServer::put_SessionVariable>(36, u"SessionVariable(VarName)"),
    com::Method<&IQServer::AboutBox>(com::DISPID_ABOUTBOX, u"AboutBox"));

inline constexpr com::InterfaceTable<IQServer> kQServerMembers{u"IQServer", &ids::IID_IQServer,
                                                               kQServerMemberList};

// A DISPID of IQServer by member name, from the table above.
consteval com::DISPID QServerDispid(std::u16string_view name) {
  return com::DispidOf(kQServerMemberList, name);
}

// The debug hand-over in automation values, shared by the class and the
// debug object of pages: the environment text and the body array (its last
// element a terminating zero) in; the header text and the body out.
void DebugInitFromVariants(QServer& server, com::BSTR environment, const com::VARIANT& body);
// Throws std::bad_alloc; *header and *body change only on success.
void DebugExitToVariants(const QServer& server, com::BSTR* header, com::VARIANT* body);

class QServerObject : public com::ControlBase<QServerObject, IQServer, kQServerMembers> {
 public:
  // The visual embedding interfaces of the original control have no
  // meaning here and are left out.
  static constexpr auto kInterfaces =
      com::ControlInterfaces<QServerObject, IQServer>(ids::IID_IQServer);

  explicit QServerObject(com::Module& module);

  static const com::ErrorConvention& Convention();
  // The plain object behind the interface.
  QServer& plain() { return server_; }
  QServer& server() { return server_; }

  // IQServer
  HRESULT get_ContentType(BSTR* v) override { return Forward<&QServer::ContentType>(v); }
  HRESULT put_ContentType(BSTR v) override {
    return ForwardPut<&QServer::SetContentType>(QServerDispid(u"ContentType"), v);
  }
  HRESULT get_Result(BSTR* v) override { return Forward<&QServer::Result>(v); }
  HRESULT put_Result(BSTR v) override {
    return ForwardPut<&QServer::SetResult>(QServerDispid(u"Result"), v);
  }
  HRESULT get_OffLineDebug(VARIANT_BOOL* v) override { return Forward<&QServer::OffLineDebug>(v); }
  HRESULT get__InternalPointer(int32_t* v) override {
    return Forward<&QServer::InternalPointer>(v);
  }
  HRESULT WriteString(BSTR StrData) override { return Forward<&QServer::WriteString>(StrData); }
  HRESULT WriteCRLF() override { return Forward<&QServer::WriteCRLF>(); }
  HRESULT WriteBinary(VARIANT BinaryData) override {
    return Forward<&QServer::WriteBinary>(BinaryData);
  }
  HRESULT WriteFromFile(BSTR FileName) override {
    return Forward<&QServer::WriteFromFile>(FileName);
  }
  HRESULT GetDataNameCount(int32_t* v) override { return Forward<&QServer::GetDataNameCount>(v); }
  HRESULT GetDataName(int32_t Index, BSTR* v) override {
    return Forward<&QServer::GetDataName>(Index, v);
  }
  HRESULT GetSubIndexCount(BSTR DataName, int32_t* v) override {
    return Forward<&QServer::GetSubIndexCount>(DataName, v);
  }
  HRESULT GetStringData(BSTR DataName, int32_t SubIndex, BSTR* v) override {
    return Forward<&QServer::GetStringData>(DataName, SubIndex, v);
  }
  HRESULT GetRecordsetData(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                           BSTR DatabaseName, BSTR RecordsetName) override {
    return Forward<&QServer::GetRecordsetData>(DataName, SubIndex, DatabaseType, DatabaseName,
                                               RecordsetName);
  }
  HRESULT GetBinaryData(BSTR DataName, int32_t SubIndex, VARIANT* v) override {
    return Forward<&QServer::GetBinaryData>(DataName, SubIndex, v);
  }
  HRESULT GetFileData(BSTR DataName, int32_t SubIndex, BSTR FileName) override {
    return Forward<&QServer::GetFileData>(DataName, SubIndex, FileName);
  }
  HRESULT SetStringData(BSTR DataName, BSTR Value) override {
    return Forward<&QServer::SetStringData>(DataName, Value);
  }
  HRESULT SetRecordsetData(BSTR DataName, int16_t DatabaseType, BSTR DatabaseName,
                           BSTR RecordsetName) override {
    return Forward<&QServer::SetRecordsetData>(DataName, DatabaseType, DatabaseName,
                                               RecordsetName);
  }
  HRESULT SetBinaryData(BSTR DataName, VARIANT Value) override {
    return Forward<&QServer::SetBinaryData>(DataName, Value);
  }
  HRESULT SetFileData(BSTR DataName, BSTR FileName) override {
    return Forward<&QServer::SetFileData>(DataName, FileName);
  }
  HRESULT ResetContents() override { return Forward<&QServer::ResetContents>(); }
  HRESULT GetServerVariable(BSTR VarName, BSTR* v) override {
    return Forward<&QServer::GetServerVariable>(VarName, v);
  }
  HRESULT GetULFileName(BSTR DataName, int32_t SubIndex, BSTR* v) override {
    return Forward<&QServer::GetULFileName>(DataName, SubIndex, v);
  }
  HRESULT GetULContentType(BSTR DataName, int32_t SubIndex, BSTR* v) override {
    return Forward<&QServer::GetULContentType>(DataName, SubIndex, v);
  }
  HRESULT CreateTempCopy(BSTR FileFrom, BSTR* v) override {
    return Forward<&QServer::CreateTempCopy>(FileFrom, v);
  }
  HRESULT SaveRequestData(BSTR FileName) override {
    return Forward<&QServer::SaveRequestData>(FileName);
  }
  HRESULT DebugInit(BSTR EnvParam, VARIANT CgiParam) override;
  HRESULT DebugExit(BSTR* Header, VARIANT* Body) override;
  HRESULT URLEncode(BSTR StrData, BSTR* v) override {
    return Forward<&QServer::URLEncode>(StrData, v);
  }
  HRESULT URLDecode(BSTR StrData, BSTR* v) override {
    return Forward<&QServer::URLDecode>(StrData, v);
  }
  HRESULT GetDataIntoRecordset(BSTR DataName, int32_t SubIndex, int16_t DatabaseType,
                               IDispatch* Database, BSTR RecordsetName) override {
    return Forward<&QServer::GetDataIntoRecordset>(DataName, SubIndex, DatabaseType, Database,
                                                   RecordsetName);
  }
  HRESULT SetDataFromRecordset(BSTR DataName, int16_t DatabaseType, IDispatch* Database,
                               BSTR RecordsetName) override {
    return Forward<&QServer::SetDataFromRecordset>(DataName, DatabaseType, Database,
                                                   RecordsetName);
  }
  HRESULT GetCookie(BSTR CookieName, BSTR* v) override {
    return Forward<&QServer::GetCookie>(CookieName, v);
  }
  HRESULT SetCookie(BSTR CookieName, BSTR CookieValue, VARIANT Expires) override {
    return Forward<&QServer::SetCookie>(CookieName, CookieValue, Expires);
  }
  HRESULT SetExpires(VARIANT Expires) override;
  HRESULT AddHeader(BSTR Header) override { return Forward<&QServer::AddHeader>(Header); }
  HRESULT get_SessionVariable(BSTR VarName, BSTR* v) override {
    return Forward<&QServer::SessionVariable>(VarName, v);
  }
  HRESULT put_SessionVariable(BSTR VarName, BSTR value) override {
    return Forward<&QServer::SetSessionVariable>(VarName, value);
  }
  HRESULT AboutBox() override;

  // ControlPersistence
  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override;
  void FinalRelease() override;

 private:
  QServer server_;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_QSERVER_OBJECT_H_

// The client control's class QClientCtrl ("QClient.QClientCtrl.2"): the
// dispatch interface QClientDispatch over the plain Client, its
// persistence and its error convention (automation exceptions
// 0x800A0000 + message number).
#ifndef QUILLON_CLIENT_CLIENT_CONTROL_H_
#define QUILLON_CLIENT_CLIENT_CONTROL_H_

#include <string>
#include <vector>

#include "quillon/client/client.h"
#include "quillon/client/identities.h"
#include "quillon/component/control.h"
#include "quillon/recordset/type_constants.h"

namespace quillon::client {

using com::BSTR;
using com::IDispatch;
using com::HRESULT;
using com::VARIANT;
using com::VARIANT_BOOL;

// QClientDispatch is a dispatch-only interface; its C++ slots follow the
// member table's order for callers that hold the object itself.
struct IQClientDispatch : com::IDispatch {
  virtual HRESULT get_AgentName(BSTR* v) = 0;
  virtual HRESULT put_AgentName(BSTR v) = 0;
  virtual HRESULT get_ServerName(BSTR* v) = 0;
  virtual HRESULT put_ServerName(BSTR v) = 0;
  virtual HRESULT get_PortNo(int16_t* v) = 0;
  virtual HRESULT put_PortNo(int16_t v) = 0;
  virtual HRESULT get_AppName(BSTR* v) = 0;
  virtual HRESULT put_AppName(BSTR v) = 0;
  virtual HRESULT get_ProxyServer(BSTR* v) = 0;
  virtual HRESULT put_ProxyServer(BSTR v) = 0;
  virtual HRESULT get_ProxyPort(int16_t* v) = 0;
  virtual HRESULT put_ProxyPort(int16_t v) = 0;
  virtual HRESULT get_OffLineDebug(VARIANT_BOOL* v) = 0;
  virtual HRESULT put_OffLineDebug(VARIANT_BOOL v) = 0;
  virtual HRESULT ResetContents() = 0;
  virtual HRESULT SetStringData(BSTR DataName, BSTR Value) = 0;
  virtual HRESULT SetRecordsetData(BSTR DataName, recordset::DatabaseType DatabaseType, BSTR DatabaseName,
                                   BSTR RecordsetName) = 0;
  virtual HRESULT SetBinaryData(BSTR DataName, VARIANT Value) = 0;
  virtual HRESULT SetFileData(BSTR DataName, BSTR FileName) = 0;
  virtual HRESULT GetStringData(BSTR DataName, int32_t SubIndex, BSTR* v) = 0;
  virtual HRESULT GetRecordsetData(BSTR DataName, int32_t SubIndex, recordset::DatabaseType DatabaseType,
                                   BSTR DatabaseName, BSTR RecordsetName) = 0;
  virtual HRESULT GetBinaryData(BSTR DataName, int32_t SubIndex, VARIANT* v) = 0;
  virtual HRESULT GetFileData(BSTR DataName, int32_t SubIndex, BSTR FileName) = 0;
  virtual HRESULT GetDataNameCount(int32_t* v) = 0;
  virtual HRESULT GetDataName(int32_t Index, BSTR* v) = 0;
  virtual HRESULT GetSubIndexCount(BSTR Key, int32_t* v) = 0;
  virtual HRESULT ProcessSession(BSTR* v) = 0;
  virtual HRESULT Download(BSTR ServerFileName, BSTR LocalFileName, VARIANT* v) = 0;
  virtual HRESULT GetDataIntoRecordset(BSTR DataName, int32_t SubIndex, recordset::DatabaseType DatabaseType,
                                       IDispatch* Database, BSTR RecordsetName) = 0;
  virtual HRESULT SetDataFromRecordset(BSTR DataName, recordset::DatabaseType DatabaseType, IDispatch* Database,
                                       BSTR RecordsetName) = 0;
  virtual HRESULT get_UseSSL(VARIANT_BOOL* v) = 0;
  virtual HRESULT put_UseSSL(VARIANT_BOOL v) = 0;
  virtual HRESULT AboutBox() = 0;

 protected:
  ~IQClientDispatch() = default;
};

inline constexpr auto kClientMemberList = com::Members<IQClientDispatch>(
    com::Get<&IQClientDispatch::get_AgentName>(1, u"AgentName"),
    com::Put<&IQClientDispatch::put_AgentName>(1, u"AgentName"),
    com::Get<&IQClientDispatch::get_ServerName>(2, u"ServerName"),
    com::Put<&IQClientDispatch::put_ServerName>(2, u"ServerName"),
    com::Get<&IQClientDispatch::get_PortNo>(3, u"PortNo"),
    com::Put<&IQClientDispatch::put_PortNo>(3, u"PortNo"),
    com::Get<&IQClientDispatch::get_AppName>(4, u"AppName"),
    com::Put<&IQClientDispatch::put_AppName>(4, u"AppName"),
    com::Get<&IQClientDispatch::get_ProxyServer>(5, u"ProxyServer"),
    com::Put<&IQClientDispatch::put_ProxyServer>(5, u"ProxyServer"),
    com::Get<&IQClientDispatch::get_ProxyPort>(6, u"ProxyPort"),
    com::Put<&IQClientDispatch::put_ProxyPort>(6, u"ProxyPort"),
    com::Get<&IQClientDispatch::get_OffLineDebug>(7, u"OffLineDebug"),
    com::Put<&IQClientDispatch::put_OffLineDebug>(7, u"OffLineDebug"),
    com::Method<&IQClientDispatch::ResetContents>(8, u"ResetContents"),
    com::Method<&IQClientDispatch::SetStringData>(9, u"SetStringData(DataName, Value)"),
    com::Method<&IQClientDispatch::SetRecordsetData>(
        10, u"SetRecordsetData(DataName, DatabaseType, DatabaseName, RecordsetName)"),
    com::Method<&IQClientDispatch::SetBinaryData>(11, u"SetBinaryData(DataName, Value)"),
    com::Method<&IQClientDispatch::SetFileData>(12, u"SetFileData(DataName, FileName)"),
    com::Function<&IQClientDispatch::GetStringData>(13, u"GetStringData(DataName, SubIndex)"),
    com::Method<&IQClientDispatch::GetRecordsetData>(
        14, u"GetRecordsetData(DataName, SubIndex, DatabaseType, DatabaseName, RecordsetName)"),
    com::Function<&IQClientDispatch::GetBinaryData>(15, u"GetBinaryData(DataName, SubIndex)"),
    com::Method<&IQClientDispatch::GetFileData>(16,
                                                u"GetFileData(DataName, SubIndex, FileName)"),
    com::Function<&IQClientDispatch::GetDataNameCount>(17, u"GetDataNameCount"),
    com::Function<&IQClientDispatch::GetDataName>(18, u"GetDataName(Index)"),
    com::Function<&IQClientDispatch::GetSubIndexCount>(19, u"GetSubIndexCount(Key)"),
    com::Function<&IQClientDispatch::ProcessSession>(20, u"ProcessSession"),
    com::Function<&IQClientDispatch::Download>(21, u"Download(ServerFileName, LocalFileName)"),
    com::Method<&IQClientDispatch::GetDataIntoRecordset>(
        22, u"GetDataIntoRecordset(DataName, SubIndex, DatabaseType, Database, RecordsetName)"),
    com::Method<&IQClientDispatch::SetDataFromRecordset>(
        23, u"SetDataFromRecordset(DataName, DatabaseType, Database, RecordsetName)"),
    com::Get<&IQClientDispatch::get_UseSSL>(24, u"UseSSL"),
    com::Put<&IQClientDispatch::put_UseSSL>(24, u"UseSSL"),
    com::Method<&IQClientDispatch::AboutBox>(com::DISPID_ABOUTBOX, u"AboutBox"));

inline constexpr com::InterfaceTable<IQClientDispatch> kClientMembers{
    u"QClientDispatch", &ids::DIID_QClientDispatch, kClientMemberList};

consteval com::DISPID ClientDispid(std::u16string_view name) {
  return com::DispidOf(kClientMemberList, name);
}

// The framework of the original control answers a different set in a
// different order than the server controls: no error-information support
// (its errors travel in EXCEPINFO), the member table right after IDispatch.
class ClientControl : public com::ControlBase<ClientControl, IQClientDispatch, kClientMembers> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<ClientControl, IQClientDispatch>(ids::DIID_QClientDispatch),
      com::Entry<ClientControl, com::IDispatch, IQClientDispatch>(com::IID_IDispatch),
      com::Entry<ClientControl, com::IDispatchMembers>(com::IID_IDispatchMembers),
      com::Entry<ClientControl, com::IConnectionPointContainer>(
          com::IID_IConnectionPointContainer),
      com::Entry<ClientControl, com::IPersistStreamInit>(com::IID_IPersistStreamInit),
      com::Entry<ClientControl, com::IPersist, com::IPersistStreamInit>(com::IID_IPersist),
      com::Entry<ClientControl, com::IPersistStorage>(com::IID_IPersistStorage),
      com::Entry<ClientControl, com::IProvideClassInfo, com::IProvideClassInfo2>(
          com::IID_IProvideClassInfo),
      com::Entry<ClientControl, com::IProvideClassInfo2>(com::IID_IProvideClassInfo2),
      com::Entry<ClientControl, com::ISpecifyPropertyPages>(com::IID_ISpecifyPropertyPages),
      com::Entry<ClientControl, com::IPersistPropertyBag>(com::IID_IPersistPropertyBag),
  };

  explicit ClientControl(com::Module& module);

  static const com::ErrorConvention& Convention();
  Client& plain() { return client_; }

  HRESULT get_AgentName(BSTR* v) override { return Forward<&Client::AgentName>(v); }
  HRESULT put_AgentName(BSTR v) override {
    return ForwardPut<&Client::SetAgentName>(ClientDispid(u"AgentName"), v);
  }
  HRESULT get_ServerName(BSTR* v) override { return Forward<&Client::ServerName>(v); }
  HRESULT put_ServerName(BSTR v) override {
    return ForwardPut<&Client::SetServerName>(ClientDispid(u"ServerName"), v);
  }
  HRESULT get_PortNo(int16_t* v) override { return Forward<&Client::PortNo>(v); }
  HRESULT put_PortNo(int16_t v) override {
    return ForwardPut<&Client::SetPortNo>(ClientDispid(u"PortNo"), v);
  }
  HRESULT get_AppName(BSTR* v) override { return Forward<&Client::AppName>(v); }
  HRESULT put_AppName(BSTR v) override {
    return ForwardPut<&Client::SetAppName>(ClientDispid(u"AppName"), v);
  }
  HRESULT get_ProxyServer(BSTR* v) override { return Forward<&Client::ProxyServer>(v); }
  HRESULT put_ProxyServer(BSTR v) override {
    return ForwardPut<&Client::SetProxyServer>(ClientDispid(u"ProxyServer"), v);
  }
  HRESULT get_ProxyPort(int16_t* v) override { return Forward<&Client::ProxyPort>(v); }
  HRESULT put_ProxyPort(int16_t v) override {
    return ForwardPut<&Client::SetProxyPort>(ClientDispid(u"ProxyPort"), v);
  }
  HRESULT get_OffLineDebug(VARIANT_BOOL* v) override { return Forward<&Client::OffLineDebug>(v); }
  HRESULT put_OffLineDebug(VARIANT_BOOL v) override {
    return ForwardPut<&Client::SetOffLineDebug>(ClientDispid(u"OffLineDebug"), v);
  }
  HRESULT ResetContents() override { return Forward<&Client::ResetContents>(); }
  HRESULT SetStringData(BSTR DataName, BSTR Value) override {
    return Forward<&Client::SetStringData>(DataName, Value);
  }
  HRESULT SetBinaryData(BSTR DataName, VARIANT Value) override {
    return Forward<&Client::SetBinaryData>(DataName, Value);
  }
  HRESULT SetFileData(BSTR DataName, BSTR FileName) override {
    return Forward<&Client::SetFileData>(DataName, FileName);
  }
  HRESULT GetStringData(BSTR DataName, int32_t SubIndex, BSTR* v) override {
    return Forward<&Client::GetStringData>(DataName, SubIndex, v);
  }
  HRESULT GetBinaryData(BSTR DataName, int32_t SubIndex, VARIANT* v) override {
    return Forward<&Client::GetBinaryData>(DataName, SubIndex, v);
  }
  HRESULT GetFileData(BSTR DataName, int32_t SubIndex, BSTR FileName) override {
    return Forward<&Client::GetFileData>(DataName, SubIndex, FileName);
  }
  HRESULT GetDataNameCount(int32_t* v) override { return Forward<&Client::GetDataNameCount>(v); }
  HRESULT GetDataName(int32_t Index, BSTR* v) override {
    return Forward<&Client::GetDataName>(Index, v);
  }
  HRESULT GetSubIndexCount(BSTR Key, int32_t* v) override {
    return Forward<&Client::GetSubIndexCount>(Key, v);
  }
  HRESULT ProcessSession(BSTR* v) override { return Forward<&Client::ProcessSession>(v); }
  HRESULT Download(BSTR ServerFileName, BSTR LocalFileName, VARIANT* v) override {
    return Forward<&Client::Download>(ServerFileName, LocalFileName, v);
  }
  HRESULT SetRecordsetData(BSTR DataName, recordset::DatabaseType DatabaseType, BSTR DatabaseName,
                           BSTR RecordsetName) override {
    return Forward<&Client::SetRecordsetData>(DataName, DatabaseType, DatabaseName,
                                              RecordsetName);
  }
  HRESULT GetRecordsetData(BSTR DataName, int32_t SubIndex, recordset::DatabaseType DatabaseType,
                           BSTR DatabaseName, BSTR RecordsetName) override {
    return Forward<&Client::GetRecordsetData>(DataName, SubIndex, DatabaseType, DatabaseName,
                                              RecordsetName);
  }
  HRESULT GetDataIntoRecordset(BSTR DataName, int32_t SubIndex, recordset::DatabaseType DatabaseType,
                               IDispatch* Database, BSTR RecordsetName) override {
    return Forward<&Client::GetDataIntoRecordset>(DataName, SubIndex, DatabaseType, Database,
                                                  RecordsetName);
  }
  HRESULT SetDataFromRecordset(BSTR DataName, recordset::DatabaseType DatabaseType, IDispatch* Database,
                               BSTR RecordsetName) override {
    return Forward<&Client::SetDataFromRecordset>(DataName, DatabaseType, Database,
                                                  RecordsetName);
  }
  HRESULT get_UseSSL(VARIANT_BOOL* v) override { return Forward<&Client::UseSSL>(v); }
  // Also moves PortNo (443 or 80); only UseSSL's change is announced.
  HRESULT put_UseSSL(VARIANT_BOOL v) override {
    return ForwardPut<&Client::SetUseSSL>(ClientDispid(u"UseSSL"), v);
  }
  // The control's icon and version; a host without a display gets an
  // automation exception instead of losing its process.
  HRESULT AboutBox() override;

  HRESULT LoadProperties(const com::PropertyMap& properties, com::LoadKind kind) override;
  void SaveProperties(com::PropertyMap* properties) override;

 protected:
  std::vector<std::u16string> PropertyNames() const override;

 private:
  Client client_;
};

// The client library's module: its object and lock counts.
com::Module& ClientModule();

// The offline exchange through the monitor's automation object
// ("Quillon.QMonitor"): the request text is shown to the developer, and the
// response parameter text the developer accepted comes back; "" when no
// monitor can be created.
std::string MonitorExchange(const std::string& request_text);

}  // namespace quillon::client

#endif  // QUILLON_CLIENT_CLIENT_CONTROL_H_

// The client control's plain object: eight connection properties, the
// named data store, and the exchange with a server page over HTTP.
//
// Texts are bytes in the process code page, as everywhere inside the
// toolkit. Failures are quillon::Error with the client's message numbers
// (10031-10035 for the exchange); std::bad_alloc for exhausted memory.
#ifndef QUILLON_CLIENT_CLIENT_H_
#define QUILLON_CLIENT_CLIENT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "quillon/component/interfaces.h"
#include "quillon/core/data_store.h"
#include "quillon/platform/http.h"

namespace quillon::client {

class Client {
 public:
  // Defaults of a new control.
  static constexpr char kDefaultAgentName[] = "Quillon.QClient (Win32 I)";
  static constexpr int16_t kDefaultPortNo = 80;
  static constexpr int16_t kDefaultProxyPort = 8080;

  Client();

  // --- Properties ------------------------------------------------------------
  const std::string& AgentName() const { return agent_name_; }
  void SetAgentName(std::string value) { agent_name_ = std::move(value); }
  const std::string& ServerName() const { return server_name_; }
  void SetServerName(std::string value) { server_name_ = std::move(value); }
  int16_t PortNo() const { return port_no_; }
  void SetPortNo(int16_t value) { port_no_ = value; }
  const std::string& AppName() const { return app_name_; }
  void SetAppName(std::string value) { app_name_ = std::move(value); }
  const std::string& ProxyServer() const { return proxy_server_; }
  void SetProxyServer(std::string value) { proxy_server_ = std::move(value); }
  int16_t ProxyPort() const { return proxy_port_; }
  void SetProxyPort(int16_t value) { proxy_port_ = value; }
  bool OffLineDebug() const { return offline_debug_; }
  void SetOffLineDebug(bool value) { offline_debug_ = value; }
  bool UseSSL() const { return use_ssl_; }
  // Also sets PortNo: 443 with TLS, 80 without. A port chosen before is
  // overwritten; one set afterwards stays.
  void SetUseSSL(bool value);
  // Loading saved properties assigns the field alone, without the side
  // effect on PortNo.
  void LoadUseSSL(bool value) { use_ssl_ = value; }

  // --- Named values --------------------------------------------------------------
  void ResetContents() { store_.ResetContents(); }
  void SetStringData(std::string_view name, std::string_view value);
  // Also appends name + "_file_name_" (empty) and name + "_file_type_" (the
  // content type detected from the data) so that the server page can
  // answer GetULFileName / GetULContentType.
  void SetBinaryData(std::string_view name, std::string_view bytes);
  // 10002 when the file cannot be read. Companions: the file name exactly
  // as given, and the content type its extension names.
  void SetFileData(std::string_view name, const std::string& path);
  std::string GetStringData(std::string_view name, int32_t sub_index) const;
  std::string GetBinaryData(std::string_view name, int32_t sub_index) const;
  void GetFileData(std::string_view name, int32_t sub_index, const std::string& path) const;
  // Whole recordsets as one value, as on the server: the database is named
  // (a file for DAO, a connection string for ADO) or an object the script
  // opened. Failures throw recordset::RecordsetException.
  void SetRecordsetData(std::string_view name, int32_t database_type,
                        std::string_view database_name, std::string_view recordset_name);
  void SetDataFromRecordset(std::string_view name, int32_t database_type,
                            com::IDispatch* database, std::string_view recordset_name);
  void GetRecordsetData(std::string_view name, int32_t sub_index, int32_t database_type,
                        std::string_view database_name, std::string_view recordset_name);
  void GetDataIntoRecordset(std::string_view name, int32_t sub_index, int32_t database_type,
                            com::IDispatch* database, std::string_view recordset_name);
  int32_t GetDataNameCount() const { return store_.DataNameCount(); }
  std::string GetDataName(int32_t index) const { return std::string(store_.DataName(index)); }
  int32_t GetSubIndexCount(std::string_view name) const { return store_.SubIndexCount(name); }
  core::NamedValues& store() { return store_; }
  const core::NamedValues& store() const { return store_; }

  // --- Exchange ----------------------------------------------------------------------
  // Posts the outgoing list to AppName and returns the answer's
  // "QServerResult". With OffLineDebug the offline exchange runs instead.
  std::string ProcessSession();
  // GETs `server_file` over plain HTTP. With a local file name the body is
  // stored there and the result is nullopt; with "" the body is returned.
  // No local file is created when the server answers 400 or above.
  std::optional<std::string> Download(std::string_view server_file,
                                      const std::string& local_file);

  // The offline exchange: given the request-data text of the outgoing
  // list, returns the response parameter text the developer accepted
  // ("" when no monitor could be reached). A failure the monitor reports
  // is thrown as quillon::ForwardedError and reaches ProcessSession's
  // caller unchanged.
  using OfflineExchange = std::function<std::string(const std::string& request_text)>;
  void SetOfflineExchange(OfflineExchange exchange) { offline_ = std::move(exchange); }

  // Desktop hosts show a wait cursor while an exchange runs: the hook is
  // called with true before and false after (also on failure). Process-wide.
  static void SetBusyHook(std::function<void(bool busy)> hook);

  // TLS checks the server certificate's issuer, dates and host name. A
  // site that depends on the old rule (dates and host name forgiven) sets
  // the environment variable QUILLON_LENIENT_TLS to "1", or the registry
  // value LenientTLS under the key Software\Quillon\QClient to "1"
  // (qreg set 'Software\Quillon\QClient' LenientTLS 1). The environment
  // decides when it says "1" or "0"; anything else there is ignored.
  static constexpr char kLenientTlsVariable[] = "QUILLON_LENIENT_TLS";
  static constexpr char kSettingsKey[] = "Software\\Quillon\\QClient";
  static constexpr char kLenientTlsValue[] = "LenientTLS";
  // The setting as it stands now (read at every exchange).
  static bool LenientTls();

  // Time-outs of every exchange (seconds): connecting, and a transfer that
  // stalls (less than one byte per second for that long).
  static constexpr long kConnectTimeoutSeconds = 60;
  static constexpr long kStallTimeoutSeconds = 300;

 private:
  std::string ResultFromIncoming() const;
  platform::HttpEndpoint Endpoint() const;

  std::string agent_name_ = kDefaultAgentName;
  std::string server_name_;
  int16_t port_no_ = kDefaultPortNo;
  std::string app_name_;
  std::string proxy_server_;
  int16_t proxy_port_ = kDefaultProxyPort;
  bool offline_debug_ = false;
  bool use_ssl_ = false;
  core::NamedValues store_;
  OfflineExchange offline_;
};

}  // namespace quillon::client

#endif  // QUILLON_CLIENT_CLIENT_H_

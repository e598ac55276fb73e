#include "quillon/client/client.h"

#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "quillon/component/errors.h"
#include "quillon/component/registry.h"
#include "quillon/core/session_answer.h"
#include "quillon/platform/files.h"
#include "quillon/platform/http.h"
#include "quillon/platform/mime.h"
#include "quillon/recordset/recordset.h"

namespace quillon::client {
namespace {

constexpr char kResultName[] = "QServerResult";
constexpr char kFileNameSuffix[] = "_file_name_";
constexpr char kFileTypeSuffix[] = "_file_type_";

std::mutex& HookLock() {
  static std::mutex lock;
  return lock;
}
std::function<void(bool)>& BusyHook() {
  static std::function<void(bool)> hook;
  return hook;
}

void TellBusy(bool busy) {
  std::function<void(bool)> hook;
  {
    std::lock_guard<std::mutex> guard(HookLock());
    hook = BusyHook();
  }
  if (hook) hook(busy);
}

// The wait cursor of a desktop host, shown for the whole exchange.
class Busy {
 public:
  Busy() { TellBusy(true); }
  ~Busy() { TellBusy(false); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
};

std::u16string Decimal(long value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// What the exchange's failures become: the transport's error with its
// number, our own numbered errors and exhausted memory as they are, and
// anything else as the unexpected failure.
template <class F>
auto Exchange(F&& body) {
  try {
    return body();
  } catch (const platform::HttpError& e) {
    throw Error(kMsgConnectFailed, Decimal(e.code()))
        .WithDetail(u" (" + com::Utf8ToUtf16(e.what()) + u")");
  } catch (const Error&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    throw Error(kMsgUnexpected);
  }
}

}  // namespace

Client::Client() : store_(core::NotFoundReport::kBare) {}

void Client::SetBusyHook(std::function<void(bool busy)> hook) {
  std::lock_guard<std::mutex> guard(HookLock());
  BusyHook() = std::move(hook);
}

void Client::SetUseSSL(bool value) {
  use_ssl_ = value;
  port_no_ = value ? 443 : 80;
}

void Client::SetStringData(std::string_view name, std::string_view value) {
  store_.AppendString(name, value);
}

void Client::SetBinaryData(std::string_view name, std::string_view bytes) {
  const std::string type = platform::MimeTypeOfData(bytes);
  const std::string base(name);
  store_.AppendBytes(name, bytes);
  SetStringData(base + kFileNameSuffix, "");
  SetStringData(base + kFileTypeSuffix, type);
}

void Client::SetFileData(std::string_view name, const std::string& path) {
  store_.AppendFile(name, path);
  const std::string base(name);
  SetStringData(base + kFileNameSuffix, path);
  SetStringData(base + kFileTypeSuffix, platform::MimeTypeOfFileName(path));
}

void Client::SetRecordsetData(std::string_view name, int32_t database_type,
                              std::string_view database_name, std::string_view recordset_name) {
  // Exported first, so a failure appends nothing.
  const std::string text = recordset::ExportRecordset(database_type, database_name, recordset_name);
  store_.AppendString(name, text);
}

void Client::SetDataFromRecordset(std::string_view name, int32_t database_type,
                                  com::IDispatch* database, std::string_view recordset_name) {
  const std::string text = recordset::ExportRecordset(database_type, database, recordset_name);
  store_.AppendString(name, text);
}

void Client::GetRecordsetData(std::string_view name, int32_t sub_index, int32_t database_type,
                              std::string_view database_name, std::string_view recordset_name) {
  recordset::ImportRecordset(database_type, database_name, recordset_name,
                             store_.GetString(name, sub_index));
}

void Client::GetDataIntoRecordset(std::string_view name, int32_t sub_index,
                                  int32_t database_type, com::IDispatch* database,
                                  std::string_view recordset_name) {
  recordset::ImportRecordset(database_type, database, recordset_name,
                             store_.GetString(name, sub_index));
}

std::string Client::GetStringData(std::string_view name, int32_t sub_index) const {
  return store_.GetString(name, sub_index);
}

std::string Client::GetBinaryData(std::string_view name, int32_t sub_index) const {
  return store_.GetBytes(name, sub_index);
}

void Client::GetFileData(std::string_view name, int32_t sub_index,
                         const std::string& path) const {
  store_.GetFile(name, sub_index, path);
}

platform::HttpEndpoint Client::Endpoint() const {
  platform::HttpEndpoint endpoint;
  endpoint.agent = agent_name_;
  endpoint.host = server_name_;
  // The ports are signed 16-bit properties; a script reaches ports above
  // 32767 with their negative values, so both are read as unsigned. (Put
  // into the proxy text as signed, a high proxy port could never work.)
  endpoint.port = static_cast<uint16_t>(port_no_);
  if (!proxy_server_.empty()) {
    endpoint.proxy = proxy_server_ + ":" + std::to_string(static_cast<uint16_t>(proxy_port_));
  }
  endpoint.lenient_tls = LenientTls();
  endpoint.connect_timeout_s = kConnectTimeoutSeconds;
  endpoint.stall_timeout_s = kStallTimeoutSeconds;
  return endpoint;
}

bool Client::LenientTls() {
  if (const std::optional<std::string> value = platform::GetEnv(kLenientTlsVariable)) {
    if (*value == "1") return true;
    if (*value == "0") return false;
  }
  std::shared_ptr<const com::registry::Tree> tree;
  if (com::Failed(com::registry::LoadShared(com::registry::DefaultPath(), &tree)) || !tree) {
    return false;
  }
  return tree->GetValue(kSettingsKey, kLenientTlsValue) == "1";
}

std::string Client::ResultFromIncoming() const {
  try {
    return store_.GetString(kResultName, 0);
  } catch (const Error&) {
    // Usually a page that set no result.
    throw Error(kMsgNoClientData);
  }
}

std::string Client::ProcessSession() {
  if (offline_debug_) {
    const std::string answer = offline_ ? offline_(store_.OutgoingRequestDataText()) : "";
    store_.ClearIncoming();
    store_.FillIncoming(answer, /*decode_names=*/false);
    return ResultFromIncoming();
  }
  Busy busy;
  return Exchange([&] {
    platform::HttpEndpoint endpoint = Endpoint();
    endpoint.tls = use_ssl_;
    // Large values are encoded while they are sent, never as a whole body.
    core::RequestBodyReader reader(store_);
    platform::HttpBodySource body;
    body.size = reader.size();
    body.read = [&reader](char* buffer, size_t room) { return reader.Read(buffer, room); };
    // The answer is read as it arrives, large values decoded on the way.
    core::SessionAnswerReader answer;
    platform::HttpAnswerSink sink;
    sink.announced = [&answer](int64_t length) { answer.Announce(length); };
    sink.piece = [&answer](std::string_view piece) { answer.Append(piece); };
    const platform::HttpResponse response = platform::HttpPost(endpoint, app_name_, body, sink);
    if (response.status > 399) throw Error(kMsgServerError, Decimal(response.status));
    answer.Finish();
    // The answer was read whole: only now does the old incoming list go.
    store_.ClearIncoming();
    if (!answer.has_pairs()) {
      // The caller sees what the page sent instead (an error page, a
      // script error).
      throw Error(kMsgNoClientData, u"\n\n" + store_.code_page().ToUtf16(answer.text()));
    }
    answer.MoveInto(&store_);
    return ResultFromIncoming();
  });
}

std::optional<std::string> Client::Download(std::string_view server_file,
                                            const std::string& local_file) {
  Busy busy;
  return Exchange([&]() -> std::optional<std::string> {
    const platform::HttpEndpoint endpoint = Endpoint();
    std::string body;
    std::ofstream file;
    const bool to_file = !local_file.empty();
    // The file is made only once the status is known to be good, so that a
    // 404 leaves no empty file behind.
    auto on_status = [&](long status) {
      if (status > 399) return false;
      if (to_file) {
        file.open(local_file, std::ios::binary | std::ios::trunc);
        if (!file) throw Error(kMsgReadFailed).WithFile(store_.code_page().ToUtf16(local_file));
      }
      return true;
    };
    auto sink = [&](std::string_view piece) {
      if (to_file) {
        file.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        if (!file) throw Error(kMsgReadFailed).WithFile(store_.code_page().ToUtf16(local_file));
      } else {
        body.append(piece);
      }
    };
    const long status = platform::HttpGet(endpoint, server_file, on_status, sink);
    if (status > 399) throw Error(kMsgServerError, Decimal(status));
    if (!to_file) return body;
    file.close();
    if (!file) throw Error(kMsgReadFailed).WithFile(store_.code_page().ToUtf16(local_file));
    return std::nullopt;
  });
}

}  // namespace quillon::client

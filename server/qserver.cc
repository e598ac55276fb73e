// The QServer object: state of one request and the operations over it.
// The automation class (qserver_object.cc) is a thin adapter over this.
#include "quillon/server/qserver.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"
#include "quillon/platform/files.h"
#include "quillon/recordset/recordset.h"
#include "quillon/serving/header_field.h"
#include "quillon/serving/loop.h"
#include "server/handles.h"
#include "server/request.h"
#include "server/response.h"
#include "server/session_signing.h"
#include "server/temp_files.h"
#include "server/values.h"

namespace quillon::server {
namespace {

constexpr std::string_view kDefaultContentType = "text/html";
constexpr std::string_view kFileNameSuffix = "_file_name_";
constexpr std::string_view kFileTypeSuffix = "_file_type_";

// The answer of a start that failed: the request could not be read (it
// did not fit in memory), so nothing of what the page does afterwards can
// be a proper response. Whatever the page prints next becomes the body.
constexpr std::string_view kFailedStartHead = serving::kFailedRequestHead;

// The answer of a start that refused a body over the configured limit.
constexpr std::string_view kTooLargeHead =
    "Status: 413 Request Entity Too Large\r\n"
    "Content-Type: text/plain\r\n"
    "Connection: close\r\n\r\n";

// A limit of the live start from the process environment: a plain decimal
// count, or nullopt when unset or anything else (no limit, as before the
// settings existed). Read per start: the process environment is fixed for
// a CGI process and for a FastCGI application alike.
std::optional<int64_t> EnvironmentLimit(const char* name) {
  const std::optional<std::string> text = platform::GetEnv(name);
  if (!text || text->empty()) return std::nullopt;
  int64_t value = 0;
  const char* end = text->data() + text->size();
  const auto [at, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || at != end || value < 0) return std::nullopt;
  return value;
}

std::optional<size_t> CountLimit(const char* name) {
  const std::optional<int64_t> limit = EnvironmentLimit(name);
  if (!limit) return std::nullopt;
  return static_cast<size_t>(*limit);
}

// Signals held off while the response is written and the temporary files
// are deleted. A web server whose client went away mid-response closes the
// program's pipe and sends it SIGTERM (lighttpd does both); either must not
// end the process before it has removed its files. With SIGPIPE held a
// write fails with EPIPE instead, which ends the response, and the SIGPIPE
// raised meanwhile is taken back (unless one was pending before). A
// SIGTERM stays pending and takes effect when the hold ends, after the
// files are gone.
class SignalsHeld {
 public:
  explicit SignalsHeld(bool with_term) {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t held = pipe_;
    if (with_term) sigaddset(&held, SIGTERM);
    held_ = pthread_sigmask(SIG_BLOCK, &held, &old_) == 0;
    sigset_t pending;
    was_pending_ = held_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~SignalsHeld() {
    if (!held_) return;
    sigset_t pending;
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      const timespec now{};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool held_ = false;
  bool was_pending_ = false;
};

// Decoded text up to its first zero byte: how cookie values are read.
std::string DecodeText(std::string_view encoded, const platform::CodePage& cp) {
  std::string bytes = core::DecodeValue(encoded, cp);
  const size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  return bytes;
}

// An exception that escapes a page's main ends the program through
// std::terminate, which unwinds nothing: no object's release would answer
// the request or delete its temporary files. The handler does both for
// every live object (the answer is the failure's 500), then hands over to
// the handler that was in place before.
std::terminate_handler g_previous_terminate = nullptr;

[[noreturn]] void EndLiveServersAndTerminate() {
  serving::FailCurrentRequest();
  for (QServer* server : LiveServersAtTermination()) server->Finish();
  if (g_previous_terminate != nullptr) g_previous_terminate();
  std::abort();
}

void InstallTerminateHandler() {
  static std::once_flag once;
  std::call_once(once, [] { g_previous_terminate = std::set_terminate(&EndLiveServersAndTerminate); });
}

}  // namespace

// --- State -----------------------------------------------------------------------

class QServer::Impl {
 public:
  explicit Impl(std::shared_ptr<CgiIo> cgi_io)
      : io(cgi_io ? std::move(cgi_io) : CgiIo::Current()), cp(platform::ProcessCodePage()), values(cp) {}

  std::string ServerVariable(std::string_view name) const {
    const std::string key = cp.ToUpper(name);
    // The page is never handed a secret of the toolkit's own.
    if (IsSecretSetting(key)) return std::string();
    if (std::optional<std::string> value = io->GetEnv(key)) return *std::move(value);
    // A name given twice takes its last value: the forwarded variables that
    // a visitor partly writes (PATH_INFO, QUERY_STRING) come before the
    // ones the web server sets (REMOTE_ADDR, REQUEST_METHOD ...).
    for (auto it = debug_environment.rbegin(); it != debug_environment.rend(); ++it) {
      if (cp.ToUpper(it->first) == key) return it->second;
    }
    return std::string();
  }

  // Whether the request came over TLS, as web servers tell a CGI program:
  // HTTPS set to anything but "off" (lighttpd and Apache say "on"), or
  // REQUEST_SCHEME "https".
  bool OverHttps() const {
    const std::string https = cp.ToUpper(ServerVariable("HTTPS"));
    return (!https.empty() && https != "OFF") ||
           cp.ToUpper(ServerVariable("REQUEST_SCHEME")) == "HTTPS";
  }

  // QUERY_STRING and CONTENT_LENGTH come from the process alone.
  std::string QueryString() const {
    std::optional<std::string> query = io->GetEnv("QUERY_STRING");
    return query ? *std::move(query) : debug_query_string;
  }

  static void ReadRequestOnce(Impl& s);

  // The body may be released once nothing refers into it.
  void Parse(RequestBody* body, std::optional<size_t> max_pairs = std::nullopt,
             std::optional<size_t> max_parts = std::nullopt) {
    const std::string type = ServerVariable("CONTENT_TYPE");
    const std::string query = QueryString();
    ParseRequest(RequestText{type, query, max_pairs, max_parts}, body, &values,
                 kRawPartThreshold, /*release_body=*/true);
  }

  // Writes `bytes` to `path` for the page. A path that CreateTempCopy
  // handed out without creating it is created now, exclusively: a file or
  // link that someone planted there meanwhile fails the write (10003).
  void WriteFileFor(const std::string& path, const std::function<bool(bool)>& write) {
    auto reserved = reserved_paths.find(path);
    if (reserved == reserved_paths.end()) {
      if (!write(false)) throw Error(kMsgFileWrite).WithFile(cp.ToUtf16(path));
      return;
    }
    if (!write(true)) throw Error(kMsgFileWrite).WithFile(cp.ToUtf16(path));
    reserved_paths.erase(reserved);
  }

  std::string UploadInfo(std::string_view name, int32_t sub_index, bool file_name) const {
    const size_t position = values.store().FindEntryOrThrow(name, sub_index);
    const core::UploadInfo& info = values.store().uploads();
    if (position < info.size()) {
      return std::string(file_name ? info.file_name(position) : info.content_type(position));
    }
    // Not a multipart form: the companion entry a client control sends.
    std::string companion(name);
    companion.append(file_name ? kFileNameSuffix : kFileTypeSuffix);
    if (!values.store().FindEntry(companion, sub_index)) {
      throw Error(kMsgMultipartOnly).WithParameter(cp.ToUtf16(name));
    }
    return values.GetString(companion, sub_index);
  }

  std::shared_ptr<CgiIo> io;
  const platform::CodePage& cp;
  std::string content_type{kDefaultContentType};
  std::string result;
  // EncodeText(result), made when the session text needs it: a page may
  // set a large Result many times and answer once.
  std::string encoded_result;
  bool encoded_result_stale = false;
  bool off_line_debug = false;
  bool started = false;
  // The live start failed and answered 500: nothing else is written.
  bool start_failed = false;
  bool finished = false;
  int32_t handle = 0;
  ServerValues values;
  std::vector<std::pair<std::string, std::string>> debug_environment;
  std::string debug_query_string;
  Response response;
  std::vector<std::string> temp_files;
  // Handed out by CreateTempCopy("") and not yet created by this object.
  std::unordered_set<std::string> reserved_paths;
};

// --- Life ---------------------------------------------------------------------------

QServer::QServer(std::shared_ptr<CgiIo> io) : impl_(std::make_unique<Impl>(std::move(io))) {
  InstallTerminateHandler();
  impl_->handle = RegisterServerHandle(this);
}

QServer::~QServer() {
  Finish();
  UnregisterServerHandle(impl_->handle);
}

std::unique_ptr<QServer> QServer::StartCgi(std::shared_ptr<CgiIo> io) {
  auto server = std::make_unique<QServer>(std::move(io));
  server->ReadRequest();
  return server;
}

void QServer::LoadSavedProperties(std::string content_type, std::string result) {
  impl_->content_type = std::move(content_type);
  impl_->result = std::move(result);
}

void QServer::ReadRequest() {
  Impl& s = *impl_;
  if (s.started) return;
  s.started = true;
  try {
    Impl::ReadRequestOnce(s);
  } catch (const RequestTooLarge&) {
    s.start_failed = true;
    SignalsHeld held(/*with_term=*/false);
    if (s.io->WriteOutput(kTooLargeHead)) s.io->FlushOutput();
    throw;
  } catch (...) {
    // The page's own error follows; it must not come after a 200 with the
    // session text. Answer 500 now, once, and nothing at the end.
    s.start_failed = true;
    SignalsHeld held(/*with_term=*/false);
    if (s.io->WriteOutput(kFailedStartHead)) s.io->FlushOutput();
    throw;
  }
}

void QServer::Impl::ReadRequestOnce(Impl& s) {
  const std::optional<std::string> length_text = s.io->GetEnv("CONTENT_LENGTH");
  const int64_t length = length_text ? ParseContentLength(*length_text) : 0;
  if (const std::optional<int64_t> limit = EnvironmentLimit("QUILLON_MAX_REQUEST_BYTES"); limit && length > *limit) {
    throw RequestTooLarge("the request body of " + std::to_string(length) +
                          " bytes is larger than QUILLON_MAX_REQUEST_BYTES (" +
                          std::to_string(*limit) + ")");
  }
  // A negative length counts as no body.
  std::optional<RequestBody> body;
  if (length > 0) body = ReadBody(*s.io, length);

  // The session cookies are collected first and committed last, so that a
  // failure anywhere leaves every list as it was.
  // With a session key, a cookie whose tag is missing or wrong is dropped
  // as if the visitor had not sent it.
  const SessionKeys keys = SessionKeysFromEnvironment();
  // A page that is to sign fails now, with the reason, rather than at its
  // end, where a failure can no longer be reported.
  if (keys.signing()) RequireSigning();
  const int64_t now = std::time(nullptr);
  std::vector<Response::RequestVariable> session;
  for (auto& [name, value] : ScanCookiePairs(s.ServerVariable("HTTP_COOKIE"), s.cp)) {
    if (!name.starts_with(kSessionCookiePrefix)) continue;
    std::string_view encoded = value;
    int64_t issued = 0;
    if (keys.signing()) {
      const std::optional<VerifiedCookie> verified = VerifySessionCookie(keys, name, value, now);
      if (!verified) continue;
      encoded = verified->encoded;
      issued = verified->issued;
    }
    session.push_back(Response::RequestVariable{name.substr(kSessionCookiePrefix.size()),
                                                DecodeText(encoded, s.cp), issued});
  }
  s.response.ReserveSessionVariables(session.size());
  s.Parse(body ? &*body : nullptr, CountLimit("QUILLON_MAX_REQUEST_PAIRS"),
          CountLimit("QUILLON_MAX_REQUEST_PARTS"));
  s.response.AddSessionVariables(std::move(session));
}

void QServer::StartOffLineDebug() {
  if (impl_->started) return;
  impl_->started = true;
  impl_->off_line_debug = true;
}

bool QServer::OffLineDebug() const { return impl_->off_line_debug; }

void QServer::Finish() {
  Impl& s = *impl_;
  if (s.finished) return;
  s.finished = true;
  SignalsHeld held(/*with_term=*/true);
  if (!s.off_line_debug && !s.start_failed && s.io->failed()) {
    // The script is ending by an uncaught failure: what it collected is no
    // answer, and a 200 with it would report the failure as success. The
    // first object of the request answers 500, later ones nothing.
    if (s.io->ClaimFailureAnswer() && s.io->WriteOutput(kFailedStartHead)) s.io->FlushOutput();
  } else if (!s.off_line_debug && !s.start_failed) {
    try {
      // Always the current key: a cookie read under the old one goes back
      // under the new one.
      s.response.SetSessionSigning(
          {SessionKeysFromEnvironment().current, std::time(nullptr), s.OverHttps()});
      // A false result (the reader has gone) simply ends the response.
      s.response.Write(*s.io, s.content_type, s.values.store().SessionText(EncodedResult()));
    } catch (...) {
      // Nothing can be reported from the end of the object; what was
      // written stays written.
    }
  }
  // Whatever happened to the response, the files go.
  for (const std::string& path : s.temp_files) platform::RemoveFile(path);
  s.temp_files.clear();
}

// --- Properties -----------------------------------------------------------------------

const std::string& QServer::ContentType() const { return impl_->content_type; }
void QServer::SetContentType(std::string content_type) {
  CheckHeaderText(content_type);
  impl_->content_type = std::move(content_type);
}
const std::string& QServer::Result() const { return impl_->result; }
void QServer::SetResult(std::string_view result) {
  // Into the room the last Result had: setting a large Result again does
  // not allocate again.
  impl_->result.assign(result);
  impl_->encoded_result_stale = true;
}
const std::string& QServer::EncodedResult() const {
  Impl& s = *impl_;
  if (s.encoded_result_stale) {
    s.encoded_result.clear();
    core::AppendEncodedValue(std::string_view(s.result).substr(0, s.result.find('\0')),
                             &s.encoded_result);
    s.encoded_result_stale = false;
  }
  return s.encoded_result;
}

int32_t QServer::InternalPointer() const { return impl_->handle; }
QServer* QServer::FromHandle(int32_t handle) { return LookupServerHandle(handle); }

// --- Named values -------------------------------------------------------------------------

void QServer::SetStringData(std::string_view name, std::string_view value) {
  impl_->values.store().AppendString(name, value);
}
void QServer::SetBinaryData(std::string_view name, std::string_view bytes) {
  impl_->values.store().AppendBytes(name, bytes);
}
void QServer::SetFileData(std::string_view name, const std::string& path) {
  impl_->values.store().AppendFile(name, path);
}
void QServer::ResetContents() { impl_->values.store().ResetContents(); }
int32_t QServer::GetDataNameCount() const { return impl_->values.store().DataNameCount(); }
std::string QServer::GetDataName(int32_t index) const {
  return std::string(impl_->values.store().DataName(index));
}
int32_t QServer::GetSubIndexCount(std::string_view name) const {
  return impl_->values.store().SubIndexCount(name);
}
void QServer::SetRecordsetData(std::string_view name, int16_t database_type,
                               std::string_view database_name, std::string_view recordset_name) {
  // Exported first, so a failure appends nothing.
  const std::string text = recordset::ExportRecordset(database_type, database_name, recordset_name);
  impl_->values.store().AppendString(name, text);
}

void QServer::SetDataFromRecordset(std::string_view name, int16_t database_type,
                                   com::IDispatch* database, std::string_view recordset_name) {
  const std::string text = recordset::ExportRecordset(database_type, database, recordset_name);
  impl_->values.store().AppendString(name, text);
}

void QServer::GetRecordsetData(std::string_view name, int32_t sub_index, int16_t database_type,
                               std::string_view database_name, std::string_view recordset_name) {
  const std::string text = impl_->values.GetString(name, sub_index);
  recordset::ImportRecordset(database_type, database_name, recordset_name, text);
}

void QServer::GetDataIntoRecordset(std::string_view name, int32_t sub_index,
                                   int16_t database_type, com::IDispatch* database,
                                   std::string_view recordset_name) {
  const std::string text = impl_->values.GetString(name, sub_index);
  recordset::ImportRecordset(database_type, database, recordset_name, text);
}

std::optional<std::string> QServer::FormValue(std::string_view name) const {
  if (GetSubIndexCount(name) == 0) return std::nullopt;
  return GetStringData(name, 0);
}

std::vector<std::string> QServer::FormValues(std::string_view name) const {
  const int32_t count = GetSubIndexCount(name);
  std::vector<std::string> values;
  values.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) values.push_back(GetStringData(name, i));
  return values;
}

std::string QServer::GetStringData(std::string_view name, int32_t sub_index) const {
  return impl_->values.GetString(name, sub_index);
}
std::string QServer::GetBinaryData(std::string_view name, int32_t sub_index) const {
  return impl_->values.GetBytes(name, sub_index);
}
void QServer::GetFileData(std::string_view name, int32_t sub_index,
                          const std::string& path) const {
  const size_t position = impl_->values.store().FindEntryOrThrow(name, sub_index);
  impl_->WriteFileFor(path, [&](bool create_new) {
    return impl_->values.WriteValueTo(position, path, create_new);
  });
}

// --- Request -------------------------------------------------------------------------------

std::string QServer::GetServerVariable(std::string_view name) const {
  return impl_->ServerVariable(name);
}

std::string QServer::GetULFileName(std::string_view name, int32_t sub_index) const {
  return impl_->UploadInfo(name, sub_index, true);
}

std::string QServer::GetULContentType(std::string_view name, int32_t sub_index) const {
  return impl_->UploadInfo(name, sub_index, false);
}

std::string QServer::CreateTempCopy(const std::string& from) {
  // Room first: a copy that exists must make it into the list, or it
  // would outlive the object.
  impl_->temp_files.reserve(impl_->temp_files.size() + 1);
  std::string path = server::CreateTempCopy(from);
  // No file exists yet for an empty `from`: the first write to the name
  // creates it exclusively.
  if (from.empty()) impl_->reserved_paths.insert(path);
  impl_->temp_files.push_back(path);
  return path;
}

std::string QServer::GetCookie(std::string_view name) const {
  const Impl& s = *impl_;
  const std::string wanted = s.cp.ToUpper(name);
  const std::string key = " " + wanted + "=";
  // A cookie set in this response is seen before the browser's copy.
  for (const std::string& line : s.response.header_lines()) {
    const std::string upper = s.cp.ToUpper(line);
    if (s.cp.Find(upper, "SET-COOKIE:") == std::string::npos ||
        s.cp.Find(upper, key) == std::string::npos) {
      continue;
    }
    const size_t equals = s.cp.Find(line, "=");
    if (equals == std::string::npos) break;
    const size_t end = s.cp.Find(line, ";", equals + 1);
    if (end == std::string::npos) continue;
    return DecodeText(std::string_view(line).substr(equals + 1, end - equals - 1), s.cp);
  }
  for (const auto& [cookie, value] : ScanCookiePairs(s.ServerVariable("HTTP_COOKIE"), s.cp)) {
    if (s.cp.ToUpper(cookie) == wanted) return DecodeText(value, s.cp);
  }
  return std::string();
}

// --- Response -------------------------------------------------------------------------------

void QServer::WriteString(std::string_view text) { impl_->response.AppendText(text); }
void QServer::AppendBodyText(std::string_view text) { impl_->response.AppendText(text); }
void QServer::WriteCRLF() { impl_->response.NewLine(); }
std::string* QServer::TextBodyForAppend(bool* no_text_yet) {
  return impl_->response.TextBodyForAppend(no_text_yet);
}
void QServer::TextBodyAppended(bool touched) { impl_->response.TextBodyAppended(touched); }
void QServer::WriteBinary(std::string bytes) { impl_->response.SetBinaryBody(std::move(bytes)); }

void QServer::WriteFromFile(const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, &bytes)) {
    throw Error(kMsgFileRead).WithFile(impl_->cp.ToUtf16(path));
  }
  impl_->response.SetBinaryBody(std::move(bytes));
}

void QServer::AddHeader(std::string_view header) { impl_->response.AddHeader(header); }

void QServer::AddHeaderField(std::string_view name, std::string_view value) {
  if (const auto problem = serving::HeaderFieldProblem(name, value)) {
    throw InvalidHeaderText(std::string(*problem));
  }
  std::string line(name);
  line.append(": ");
  line.append(value);
  impl_->response.AddHeader(line);
}

void QServer::Redirect(std::string_view location, int status) {
  const std::optional<std::string_view> status_text = serving::RedirectStatusText(status);
  if (!status_text) {
    throw std::invalid_argument("a redirect's status is 301, 302, 303, 307 or 308, not " +
                                std::to_string(status));
  }
  if (const auto problem = serving::HeaderFieldProblem("Location", location)) {
    throw InvalidHeaderText(std::string(*problem));
  }
  impl_->response.AddHeader("Status: " + std::string(*status_text));
  impl_->response.AddHeader("Location: " + std::string(location));
}

void QServer::SetCookie(std::string_view name, std::string_view value,
                        std::optional<com::DATE> expires) {
  impl_->response.SetCookie(name, value, expires);
}

void QServer::SetExpires(com::DATE date) { impl_->response.SetExpires(date); }
void QServer::SetExpiresNow() { impl_->response.SetExpires(CurrentLocalDate()); }

std::string QServer::SessionVariable(std::string_view name) const {
  return impl_->response.SessionVariable(name, impl_->cp);
}
void QServer::SetSessionVariable(std::string_view name, std::string_view value) {
  impl_->response.SetSessionVariable(name, value);
}

std::string QServer::URLEncode(std::string_view text) const { return core::EncodeText(text); }
std::string QServer::URLDecode(std::string_view text) const { return DecodeText(text, impl_->cp); }

// --- Debug capture ---------------------------------------------------------------------------

void QServer::DebugInit(std::string_view environment, std::optional<std::string_view> body) {
  Impl& s = *impl_;
  if (!s.off_line_debug) return;
  std::vector<std::pair<std::string, std::string>> variables = ScanDebugEnvironment(environment);
  std::string query = s.debug_query_string;
  for (const auto& [name, value] : variables) {
    if (name == "QUERY_STRING") query = value;
  }
  std::optional<RequestBody> buffer;
  if (body) buffer = CopyBody(*body);

  // The parse must see the captured CONTENT_TYPE and query string; they
  // are taken back if it fails, so that a failure changes nothing.
  const size_t old_count = s.debug_environment.size();
  s.debug_environment.reserve(old_count + variables.size());
  for (auto& variable : variables) s.debug_environment.push_back(std::move(variable));
  std::swap(s.debug_query_string, query);
  try {
    s.Parse(buffer ? &*buffer : nullptr);
  } catch (...) {
    s.debug_environment.resize(old_count);
    std::swap(s.debug_query_string, query);
    throw;
  }
}

QServer::DebugResponse QServer::DebugExit() const {
  const Impl& s = *impl_;
  DebugResponse out;
  out.header = s.response.HeaderText(s.content_type, false);
  if (s.response.binary_body()) {
    out.binary = true;
    out.body = *s.response.binary_body();
  } else if (!s.response.has_text_body()) {
    out.body = s.values.store().SessionText(EncodedResult());
  } else {
    out.body = s.response.TextBody();
  }
  return out;
}

void QServer::SaveRequestData(const std::string& path) const {
  const std::string text = impl_->values.RequestDataText();
  impl_->WriteFileFor(path, [&](bool create_new) {
    return create_new ? platform::WriteNewFile(path, text) : platform::WriteWholeFile(path, text);
  });
}

}  // namespace quillon::server

// Out-of-process automation: the calling side's proxies, the serving side's
// loop, publications of live objects and programs started for a class.
#include "quillon/component/remote.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "component/remote_wire.h"
#include "component/runtime_internal.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"

extern char** environ;

namespace quillon::com {
namespace {

using wire::Reader;
using wire::Writer;

constexpr size_t kMaxProgIdChars = 80;
constexpr UINT kNoArgError = UINT_MAX;

// --- Sockets -----------------------------------------------------------------------

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// MSG_NOSIGNAL: a peer that died turns into EPIPE here, not a SIGPIPE that
// would kill the caller.
bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool RecvAll(int fd, char* buf, size_t size) {
  while (size > 0) {
    ssize_t n = ::recv(fd, buf, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // EOF, ECONNRESET ...: the peer is gone
    buf += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// How long a side that expects a message soon (a caller its reply, a
// server the next call) looks for it before it sleeps. On a virtual
// machine, waking a process that sleeps on another CPU costs tens of
// microseconds each way, which made a round trip cost 65 us instead of 6;
// a short look first keeps back-to-back calls off that path. One CPU has
// nothing to gain: the peer cannot run while we look.
bool ShouldSpin() {
  static const bool spin = ::sysconf(_SC_NPROCESSORS_ONLN) > 1;
  return spin;
}

std::chrono::steady_clock::time_point SpinDeadline() {
  return std::chrono::steady_clock::now() + std::chrono::microseconds(100);
}

// Returns once `fd` is readable or the look is over.
void SpinUntilReadable(int fd) {
  if (!ShouldSpin()) return;
  const auto deadline = SpinDeadline();
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 0) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return;
  }
}

// One frame: *kind and the bytes after it. False when the peer is gone or
// sent a length we refuse.
bool RecvFrame(int fd, uint8_t* kind, std::string* body) {
  // The length and the kind byte in one read: every frame has a kind.
  unsigned char head[5];
  if (!RecvAll(fd, reinterpret_cast<char*>(head), 5)) return false;
  const uint32_t n = uint32_t{head[0]} | (uint32_t{head[1]} << 8) | (uint32_t{head[2]} << 16) |
                     (uint32_t{head[3]} << 24);
  if (n == 0 || n > wire::kMaxFrameBytes) return false;
  *kind = head[4];
  body->resize(n - 1);
  return body->empty() || RecvAll(fd, body->data(), body->size());
}

uid_t PeerUid(int fd, bool* ok) {
  ucred cred{};
  socklen_t len = sizeof cred;
  *ok = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
  return cred.uid;
}

// Names or numeric uids, comma-separated. False for a name without a user.
bool ParseUsers(std::string_view list, std::set<uid_t>* uids) {
  bool all_known = true;
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.empty()) continue;
    std::string name(item);
    if (name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
      uids->insert(static_cast<uid_t>(std::stoul(name)));
      continue;
    }
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
      uids->insert(found->pw_uid);
    } else {
      all_known = false;
    }
  }
  return all_known;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool ValidProgId(std::u16string_view progid, std::string* out) {
  if (progid.empty() || progid.size() > kMaxProgIdChars) return false;
  out->clear();
  for (char16_t c : progid) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
    if (!ok) return false;
    out->push_back(static_cast<char>(c));
  }
  return *out != "." && *out != "..";
}

// sockaddr for a path, or for an abstract name when `abstract` (the leading
// NUL is added here). False when it does not fit.
bool MakeAddress(const std::string& name, bool abstract, sockaddr_un* addr, socklen_t* len) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (name.size() + offset + 1 > sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path + offset, name.data(), name.size());
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size() +
                                (abstract ? 0 : 1));
  return true;
}

std::string AbstractName(const std::string& progid) { return "quillon/" + progid; }

// --- Calling side ----------------------------------------------------------------------

// One connection to a serving process, shared by the class factory and the
// object proxy made over it. When the last holder goes, the server is told.
class ClientConnection {
 public:
  explicit ClientConnection(Fd fd) : fd_(std::move(fd)) {}
  ~ClientConnection() {
    if (!dead_) {
      Writer w;
      w.U8(wire::kRelease);
      SendAll(fd_.get(), w.Finish());
    }
  }

  // Sends `frame` and waits for the reply of kind `expected`.
  HRESULT Call(std::string& frame, uint8_t expected, std::string* reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dead_) return RPC_E_DISCONNECTED;
    uint8_t kind = 0;
    if (!SendAll(fd_.get(), frame)) {
      dead_ = true;
      ::shutdown(fd_.get(), SHUT_RDWR);
      return RPC_E_DISCONNECTED;
    }
    SpinUntilReadable(fd_.get());
    if (!RecvFrame(fd_.get(), &kind, reply) || kind != expected) {
      // A peer that vanished or speaks out of turn is no peer any more.
      dead_ = true;
      ::shutdown(fd_.get(), SHUT_RDWR);
      return RPC_E_DISCONNECTED;
    }
    return S_OK;
  }
  void MarkDead() {
    std::lock_guard<std::mutex> lock(mutex_);
    dead_ = true;
    ::shutdown(fd_.get(), SHUT_RDWR);
  }

 private:
  std::mutex mutex_;
  Fd fd_;
  bool dead_ = false;
};

// Waits for a started program on a thread of its own, so that it is reaped
// as soon as it ends (released, crashed or killed), whether or not its
// proxy is still held.
void ReapWhenDone(pid_t pid) {
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// Reference counting of the proxies (they belong to no component library).
class ProxyBase {
 protected:
  virtual ~ProxyBase() = default;
  ULONG Ref() { return refs_.fetch_add(1) + 1; }
  ULONG Unref() {
    ULONG n = refs_.fetch_sub(1) - 1;
    if (n == 0) delete this;
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// Writes a returned value into a by-reference argument's storage, freeing
// what was there. `value` is left EMPTY (ownership moved).
void WriteBack(const VARIANT& arg, VARIANT* value) {
  const auto base = static_cast<VARTYPE>(arg.vt & ~VT_BYREF);
  if (base == VT_VARIANT) {
    VariantClear(arg.pvarVal);
    *arg.pvarVal = *value;
    VariantInit(value);
    return;
  }
  if (value->vt != base) {
    VariantClear(value);
    return;
  }
  switch (base) {
    case VT_BSTR:
      SysFreeString(*arg.pbstrVal);
      *arg.pbstrVal = value->bstrVal;
      break;
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_VARIANT:
      if (*arg.pparray != nullptr) SafeArrayDestroy(*arg.pparray);
      *arg.pparray = value->parray;
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (*arg.ppunkVal != nullptr) (*arg.ppunkVal)->Release();
      *arg.ppunkVal = nullptr;
      break;
    default:  // a plain number: its bytes start the value storage
      std::memcpy(arg.byref, &value->ullVal, static_cast<size_t>(wire::ScalarBytes(base)));
      break;
  }
  value->vt = VT_EMPTY;
}

BSTR MakeBstr(const std::u16string& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

class RemoteDispatch final : public ProxyBase, public IDispatch {
 public:
  explicit RemoteDispatch(std::shared_ptr<ClientConnection> connection)
      : connection_(std::move(connection)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return Ref(); }
  ULONG Release() override { return Unref(); }
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return E_NOTIMPL;
  }

  HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* dispids) override {
    if (names == nullptr || dispids == nullptr) return E_POINTER;
    try {
      Writer w;
      w.U8(wire::kGetIds);
      w.U32(count);
      for (UINT i = 0; i < count; ++i) {
        if (names[i] == nullptr) return E_POINTER;
        w.String(names[i], std::char_traits<char16_t>::length(names[i]));
      }
      std::string reply;
      if (HRESULT hr = connection_->Call(w.Finish(), wire::kIdsReply, &reply); Failed(hr)) {
        return hr;
      }
      Reader r(reply);
      int32_t hr = 0;
      uint32_t n = 0;
      if (!r.I32(&hr) || !r.U32(&n) || n != count || r.left() != size_t{n} * 4) {
        connection_->MarkDead();
        return RPC_E_DISCONNECTED;
      }
      for (UINT i = 0; i < count; ++i) r.I32(&dispids[i]);
      return hr;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT Invoke(DISPID dispid, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepinfo, UINT* arg_error) override {
    DISPPARAMS empty{nullptr, nullptr, 0, 0};
    if (params == nullptr) params = &empty;
    if ((params->cArgs > 0 && params->rgvarg == nullptr) || params->cNamedArgs > params->cArgs ||
        (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr)) {
      return E_INVALIDARG;
    }
    try {
      Writer w;
      w.U8(wire::kInvoke);
      w.I32(dispid);
      w.U32(lcid);
      w.U16(flags);
      w.U8(result != nullptr ? 1 : 0);
      w.U8(excepinfo != nullptr ? 1 : 0);
      w.U32(params->cArgs);
      for (UINT i = 0; i < params->cArgs; ++i) {
        if (HRESULT hr = w.Variant(params->rgvarg[i]); Failed(hr)) {
          if (arg_error != nullptr) *arg_error = i;
          return hr;
        }
      }
      w.U32(params->cNamedArgs);
      for (UINT i = 0; i < params->cNamedArgs; ++i) w.I32(params->rgdispidNamedArgs[i]);
      std::string body;
      if (HRESULT hr = connection_->Call(w.Finish(), wire::kInvokeReply, &body); Failed(hr)) {
        return hr;
      }
      wire::InvokeReply reply;
      if (!wire::ParseInvokeReply(body, &reply)) {
        connection_->MarkDead();
        return RPC_E_DISCONNECTED;
      }
      Deliver(&reply, params, result, excepinfo, arg_error);
      return reply.hr;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  static void Deliver(wire::InvokeReply* reply, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepinfo, UINT* arg_error) {
    for (auto& [index, value] : reply->outs) {
      if (index < params->cArgs && (params->rgvarg[index].vt & VT_BYREF) != 0) {
        WriteBack(params->rgvarg[index], &value);
      }
    }
    if (result != nullptr) {
      VariantClear(result);
      *result = reply->result;
      VariantInit(&reply->result);
    }
    if (excepinfo != nullptr && reply->has_excepinfo) {
      *excepinfo = EXCEPINFO{};
      excepinfo->wCode = reply->w_code;
      excepinfo->bstrSource = MakeBstr(reply->source);
      excepinfo->bstrDescription = MakeBstr(reply->description);
      excepinfo->bstrHelpFile = MakeBstr(reply->help_file);
      excepinfo->dwHelpContext = reply->help_context;
      excepinfo->scode = reply->scode;
    }
    if (arg_error != nullptr && reply->has_arg_error) *arg_error = reply->arg_error;
    ComPtr<IErrorInfo> info;
    if (reply->has_error_info) {
      ComPtr<ICreateErrorInfo> create;
      if (Succeeded(CreateErrorInfo(create.put()))) {
        create->SetGUID(reply->error_guid);
        create->SetSource(reply->error_source.c_str());
        create->SetDescription(reply->error_description.c_str());
        create->SetHelpFile(reply->error_help_file.c_str());
        create->SetHelpContext(reply->error_help_context);
        create.As(IID_IErrorInfo, &info);
      }
    }
    SetErrorInfo(0, info.get());
  }

  std::shared_ptr<ClientConnection> connection_;
};

// A started program's class object. Single-use: the one connection carries
// the one object it creates.
// What the runtime's class-object proxies share: they answer IClassFactory
// alone, and locking means nothing (the serving side lives on its own).
class FactoryProxy : public ProxyBase, public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return Ref(); }
  ULONG Release() override { return Unref(); }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

class RemoteClassFactory final : public FactoryProxy {
 public:
  explicit RemoteClassFactory(std::shared_ptr<ClientConnection> connection)
      : connection_(std::move(connection)) {}

  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!(iid == IID_IUnknown || iid == IID_IDispatch)) return E_NOINTERFACE;
    std::shared_ptr<ClientConnection> connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection = std::move(connection_);
    }
    if (!connection) return CLASS_E_CLASSNOTAVAILABLE;  // used already
    try {
      Writer w;
      w.U8(wire::kCreate);
      std::string reply;
      if (HRESULT hr = connection->Call(w.Finish(), wire::kCreated, &reply); Failed(hr)) {
        return hr;
      }
      Reader r(reply);
      int32_t hr = 0;
      if (!r.I32(&hr) || !r.AtEnd()) return RPC_E_DISCONNECTED;
      if (Failed(hr)) return hr;
      *object = static_cast<IDispatch*>(new RemoteDispatch(std::move(connection)));
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<ClientConnection> connection_;
};

// --- Serving side -----------------------------------------------------------------------

void ErrorFields(IErrorInfo* info, Writer* w) {
  GUID guid{};
  BSTR source = nullptr;
  BSTR description = nullptr;
  BSTR help_file = nullptr;
  DWORD context = 0;
  info->GetGUID(&guid);
  info->GetSource(&source);
  info->GetDescription(&description);
  info->GetHelpFile(&help_file);
  info->GetHelpContext(&context);
  w->Guid(guid);
  w->Bstr(source);
  w->Bstr(description);
  w->Bstr(help_file);
  w->U32(context);
  SysFreeString(source);
  SysFreeString(description);
  SysFreeString(help_file);
}

// Calls the object for one decoded request and builds the reply frame.
std::string ServeInvoke(IDispatch* object, wire::InvokeRequest& request) {
  const size_t count = request.values.size();
  std::vector<VARIANT> args(count);
  for (size_t i = 0; i < count; ++i) {
    VariantInit(&args[i]);
    const VARTYPE byref = request.byref_vt[i];
    if (byref == 0) {
      // Direct arguments belong to the call (a callee may coerce them in
      // place); by-reference ones point into the request's storage.
      args[i] = request.values[i];
      VariantInit(&request.values[i]);
    } else {
      args[i].vt = byref;
      args[i].byref = (byref & ~VT_BYREF) == VT_VARIANT
                          ? static_cast<void*>(&request.values[i])
                          : static_cast<void*>(&request.values[i].llVal);
    }
  }
  DISPPARAMS params{args.data(), request.named.data(), static_cast<UINT>(count),
                    static_cast<UINT>(request.named.size())};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excepinfo{};
  UINT arg_error = kNoArgError;
  SetErrorInfo(0, nullptr);
  HRESULT hr = object->Invoke(request.dispid, GUID_NULL, request.lcid, request.flags, &params,
                              request.want_result ? &result : nullptr,
                              request.want_excepinfo ? &excepinfo : nullptr, &arg_error);
  if (excepinfo.pfnDeferredFillIn != nullptr) excepinfo.pfnDeferredFillIn(&excepinfo);
  ComPtr<IErrorInfo> info;
  GetErrorInfo(0, info.put());
  for (size_t i = 0; i < count; ++i) {
    if (request.byref_vt[i] == 0) VariantClear(&args[i]);
  }

  Writer result_bytes;
  if (Failed(result_bytes.Variant(result))) {
    // An object reference cannot cross; the caller is told so.
    hr = DISP_E_TYPEMISMATCH;
    result_bytes = Writer();
    result_bytes.U16(VT_EMPTY);
  }
  VariantClear(&result);

  Writer w;
  w.U8(wire::kInvokeReply);
  w.I32(hr);
  w.Bytes(result_bytes.Body().data(), result_bytes.Body().size());
  const bool send_excepinfo = request.want_excepinfo && hr == DISP_E_EXCEPTION;
  w.U8(send_excepinfo ? 1 : 0);
  if (send_excepinfo) {
    w.U16(excepinfo.wCode);
    w.Bstr(excepinfo.bstrSource);
    w.Bstr(excepinfo.bstrDescription);
    w.Bstr(excepinfo.bstrHelpFile);
    w.U32(excepinfo.dwHelpContext);
    w.I32(excepinfo.scode);
  }
  SysFreeString(excepinfo.bstrSource);
  SysFreeString(excepinfo.bstrDescription);
  SysFreeString(excepinfo.bstrHelpFile);
  w.U8(arg_error != kNoArgError ? 1 : 0);
  if (arg_error != kNoArgError) w.U32(arg_error);

  std::vector<std::pair<UINT, Writer>> outs;
  for (size_t i = 0; i < count; ++i) {
    if (request.byref_vt[i] == 0) continue;
    Writer out;
    if (Succeeded(out.Variant(request.values[i]))) outs.emplace_back(i, std::move(out));
  }
  w.U32(static_cast<uint32_t>(outs.size()));
  for (auto& [index, out] : outs) {
    w.U32(index);
    w.Bytes(out.Body().data(), out.Body().size());
  }
  w.U8(info ? 1 : 0);
  if (info) ErrorFields(info.get(), &w);
  return std::move(w.Finish());
}

// One connected client of a serving process: a started program's client,
// or one of a publication's clients.
class ServerSession {
 public:
  explicit ServerSession(IDispatch* object) : object_(object) {}
  void SetFactory(IClassFactory* factory) { factory_ = ComPtr<IClassFactory>(factory); }
  void Drop() {
    object_.reset();
    factory_.reset();
  }

  // Serves one message; false to hang up (the client is done or sent
  // something malformed).
  bool Handle(int fd) {
    uint8_t kind = 0;
    std::string body;
    if (!RecvFrame(fd, &kind, &body)) return false;
    try {
      std::string reply;
      switch (kind) {
        case wire::kCreate: {
          if (!body.empty()) return false;
          HRESULT hr = CLASS_E_CLASSNOTAVAILABLE;
          if (factory_ && !object_) {
            hr = factory_->CreateInstance(nullptr, IID_IDispatch, object_.put_void());
            factory_.reset();  // single use
          }
          Writer w;
          w.U8(wire::kCreated);
          w.I32(hr);
          reply = std::move(w.Finish());
          break;
        }
        case wire::kGetIds:
          if (!GetIds(body, &reply)) return false;
          break;
        case wire::kInvoke: {
          wire::InvokeRequest request;
          if (!wire::ParseInvoke(body, &request)) return false;
          if (!object_) {
            Writer w;
            w.U8(wire::kInvokeReply);
            w.I32(CO_E_OBJNOTCONNECTED);
            w.U16(VT_EMPTY);
            w.U8(0);
            w.U8(0);
            w.U32(0);
            w.U8(0);
            reply = std::move(w.Finish());
          } else {
            ComPtr<IDispatch> keep = object_;  // a call may withdraw the object
            reply = ServeInvoke(keep.get(), request);
          }
          break;
        }
        default:  // kRelease and anything unknown
          return false;
      }
      return SendAll(fd, reply);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

 private:
  bool GetIds(std::string_view body, std::string* reply) {
    Reader r(body);
    uint32_t n = 0;
    if (!r.U32(&n) || n > r.left() / 4) return false;
    std::vector<std::u16string> names(n);
    for (auto& name : names) {
      if (!r.String(&name)) return false;
    }
    if (!r.AtEnd()) return false;
    std::vector<LPOLESTR> pointers;
    for (auto& name : names) pointers.push_back(name.data());
    std::vector<DISPID> ids(n, DISPID_UNKNOWN);
    HRESULT hr = object_ ? object_->GetIDsOfNames(GUID_NULL, pointers.data(), n, 0, ids.data())
                         : CO_E_OBJNOTCONNECTED;
    Writer w;
    w.U8(wire::kIdsReply);
    w.I32(hr);
    w.U32(n);
    for (DISPID id : ids) w.I32(id);
    *reply = std::move(w.Finish());
    return true;
  }

  ComPtr<IDispatch> object_;
  ComPtr<IClassFactory> factory_;
};

bool SendHr(int fd, uint8_t kind, HRESULT hr) {
  Writer w;
  w.U8(kind);
  w.I32(hr);
  return SendAll(fd, w.Finish());
}

}  // namespace

// --- Calling side: entry points -----------------------------------------------------

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word.push_back(c);
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

HRESULT StartLocalServer(const std::string& command_line, REFCLSID clsid, IClassFactory** factory) {
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  try {
    std::vector<std::string> args = SplitCommandLine(command_line);
    if (args.empty()) return CO_E_SERVER_EXEC_FAILURE;
    args.emplace_back("-Embedding");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    constexpr int kChildFd = 3;
    std::string fd_setting = std::string(kEmbeddingFdVariable) + "=" + std::to_string(kChildFd);
    std::vector<char*> envp;
    const std::string prefix = std::string(kEmbeddingFdVariable) + "=";
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) envp.push_back(*e);
    }
    envp.push_back(fd_setting.data());
    envp.push_back(nullptr);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      return CO_E_SERVER_EXEC_FAILURE;
    }
    Fd ours(pair[0]);
    // Above the descriptors the child rearranges, so dup2 always copies it.
    Fd theirs(::fcntl(pair[1], F_DUPFD_CLOEXEC, 10));
    ::close(pair[1]);
    Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!theirs || !null) return CO_E_SERVER_EXEC_FAILURE;

    const pid_t pid = ::fork();
    if (pid < 0) return CO_E_SERVER_EXEC_FAILURE;
    if (pid == 0) {
      // Only async-signal-safe calls from here on.
      if (::dup2(null.get(), 0) < 0 || ::dup2(null.get(), 1) < 0 ||
          ::dup2(theirs.get(), kChildFd) < 0) {
        ::_exit(127);
      }
      ::close_range(kChildFd + 1, ~0U, 0);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    theirs.reset();
    null.reset();
    uint8_t kind = 0;
    std::string body;
    GUID ready{};
    if (!RecvFrame(ours.get(), &kind, &body) || kind != wire::kReady ||
        !Reader(body).Guid(&ready) || body.size() != 16 || !(ready == clsid)) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      return CO_E_SERVER_EXEC_FAILURE;
    }
    ReapWhenDone(pid);
    auto connection = std::make_shared<ClientConnection>(std::move(ours));
    *factory = new RemoteClassFactory(std::move(connection));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT RuntimeDirectory(std::string* dir) {
  std::string path = Env("QUILLON_RUNTIME_DIR");
  if (path.empty()) {
    const std::string xdg = Env("XDG_RUNTIME_DIR");
    path = !xdg.empty() ? xdg + "/quillon" : "/tmp/quillon-" + std::to_string(::geteuid());
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return E_ACCESSDENIED;
  struct stat st {};
  // lstat: a symbolic link planted in /tmp must not lead us elsewhere.
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0) {
    return E_ACCESSDENIED;
  }
  *dir = std::move(path);
  return S_OK;
}

namespace {

// Connects to `name` (a path, or an abstract name). -1 with errno set.
int ConnectTo(const std::string& name, bool abstract) {
  sockaddr_un addr;
  socklen_t len = 0;
  if (!MakeAddress(name, abstract, &addr, &len)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    if (errno == EINTR) continue;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool TrustedServer(int fd) {
  bool ok = false;
  const uid_t uid = PeerUid(fd, &ok);
  if (!ok) return false;
  if (uid == ::geteuid() || uid == 0) return true;
  std::set<uid_t> trusted;
  ParseUsers(Env("QUILLON_TRUST_USERS"), &trusted);
  return trusted.count(uid) != 0;
}

}  // namespace

namespace {

// Connects to the publication of `name` and checks who serves it.
// CO_E_CLASSSTRING when nobody listens, E_ACCESSDENIED for an untrusted
// server.
HRESULT OpenEndpoint(const std::string& name, Fd* fd) {
  std::string dir;
  if (Succeeded(RuntimeDirectory(&dir))) fd->reset(ConnectTo(dir + "/" + name + ".sock", false));
  if (!*fd) fd->reset(ConnectTo(AbstractName(name), true));
  if (!*fd) return CO_E_CLASSSTRING;
  if (!TrustedServer(fd->get())) {
    fd->reset();
    return E_ACCESSDENIED;
  }
  return S_OK;
}

// The class identities handed out for published ProgIDs.
struct PublishedClasses {
  std::mutex mutex;
  std::vector<std::pair<CLSID, std::u16string>> entries;
};

PublishedClasses& Published() {
  static auto* classes = new PublishedClasses;  // outlives static destructors
  return *classes;
}

// A name-based identity: two FNV-1a hashes of the ProgID, marked as a
// vendor-specific (version 8) UUID so it cannot collide with a random one.
CLSID ClassIdOfName(const std::string& name) {
  auto fnv = [&](uint64_t hash) {
    for (unsigned char c : name) hash = (hash ^ c) * 0x100000001B3ull;
    return hash;
  };
  const uint64_t a = fnv(0xCBF29CE484222325ull);
  const uint64_t b = fnv(a ^ 0x7175696C6C6F6E00ull);
  CLSID id{};
  id.Data1 = static_cast<uint32_t>(a >> 32);
  id.Data2 = static_cast<uint16_t>(a >> 16);
  id.Data3 = static_cast<uint16_t>((a & 0x0FFF) | 0x8000);
  for (int i = 0; i < 8; ++i) id.Data4[i] = static_cast<uint8_t>(b >> (8 * i));
  id.Data4[0] = static_cast<uint8_t>((id.Data4[0] & 0x3F) | 0x80);
  return id;
}

// The class object of a published ProgID: every instance is a new
// connection to the publication.
class PublishedFactory final : public FactoryProxy {
 public:
  explicit PublishedFactory(std::u16string progid) : progid_(std::move(progid)) {}
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ComPtr<IDispatch> dispatch;
    if (HRESULT hr = ConnectToPublishedObject(progid_, dispatch.put()); Failed(hr)) return hr;
    return dispatch->QueryInterface(iid, object);
  }

 private:
  std::u16string progid_;
};

}  // namespace

HRESULT PublishedClassId(const std::string& progid, CLSID* clsid) {
  try {
    std::string name;
    const std::u16string text = Utf8ToUtf16(progid);
    if (!ValidProgId(text, &name)) return CO_E_CLASSSTRING;
    Fd probe;
    if (HRESULT hr = OpenEndpoint(name, &probe); hr == CO_E_CLASSSTRING) return hr;
    const CLSID id = ClassIdOfName(name);
    PublishedClasses& classes = Published();
    std::lock_guard<std::mutex> lock(classes.mutex);
    bool known = false;
    for (const auto& entry : classes.entries) known = known || entry.first == id;
    if (!known) classes.entries.emplace_back(id, text);
    *clsid = id;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT GetPublishedClassObject(REFCLSID clsid, REFIID iid, void** object) {
  std::u16string progid;
  {
    PublishedClasses& classes = Published();
    std::lock_guard<std::mutex> lock(classes.mutex);
    for (const auto& entry : classes.entries) {
      if (entry.first == clsid) progid = entry.second;
    }
  }
  if (progid.empty()) return REGDB_E_CLASSNOTREG;
  try {
    ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Adopt(new PublishedFactory(progid));
    return factory->QueryInterface(iid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ConnectToPublishedObject(std::u16string_view progid, IDispatch** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  try {
    std::string name;
    if (!ValidProgId(progid, &name)) return E_INVALIDARG;
    Fd fd;
    if (HRESULT hr = OpenEndpoint(name, &fd); Failed(hr)) return hr;
    uint8_t kind = 0;
    std::string body;
    int32_t hr = 0;
    if (!RecvFrame(fd.get(), &kind, &body) || kind != wire::kWelcome) return RPC_E_DISCONNECTED;
    Reader r(body);
    if (!r.I32(&hr) || !r.AtEnd()) return RPC_E_DISCONNECTED;
    if (Failed(hr)) return hr;
    auto connection = std::make_shared<ClientConnection>(std::move(fd));
    *object = new RemoteDispatch(std::move(connection));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

namespace {

// Whether `progid` names a registered class with an in-process library.
// Such a class is created in the process whatever is published (creation
// for any context prefers the in-process server), and asking for
// publications first would cost every page's CreateObject a directory
// check and two failed connects.
bool IsInProcessClass(std::u16string_view progid, CLSID* clsid) {
  try {
    bool in_process = false;
    return Succeeded(RegisteredClassId(Utf16ToUtf8(progid), clsid, &in_process)) && in_process;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

HRESULT CreateObjectByProgId(std::u16string_view progid, IDispatch** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (CLSID inproc{}; IsInProcessClass(progid, &inproc)) {
    return CoCreateInstance(inproc, nullptr, CLSCTX_ALL, IID_IDispatch,
                            reinterpret_cast<void**>(object));
  }
  HRESULT hr = ConnectToPublishedObject(progid, object);
  if (hr != CO_E_CLASSSTRING && hr != E_INVALIDARG) return hr;
  try {
    const std::u16string text(progid);
    CLSID clsid{};
    if (HRESULT found = CLSIDFromString(text.c_str(), &clsid); Failed(found)) return found;
    return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch,
                            reinterpret_cast<void**>(object));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

// --- Serving side: started programs ----------------------------------------------------

bool IsEmbeddingStart(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr || (argv[i][0] != '-' && argv[i][0] != '/')) continue;
    if (::strcasecmp(argv[i] + 1, "Embedding") == 0 ||
        ::strcasecmp(argv[i] + 1, "Automation") == 0) {
      return true;
    }
  }
  return false;
}

struct EmbeddingServer::State {
  Fd fd;
  ServerSession session{nullptr};
  bool busy = false;
  bool finished = false;
};

EmbeddingServer::EmbeddingServer(int fd) : state_(std::make_unique<State>()) {
  state_->fd.reset(fd);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

EmbeddingServer::~EmbeddingServer() = default;

HRESULT EmbeddingServer::FromEnvironment(std::unique_ptr<EmbeddingServer>* server) {
  const std::string text = Env(kEmbeddingFdVariable);
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return E_UNEXPECTED;
  }
  const int fd = std::stoi(text);
  int type = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
    return E_UNEXPECTED;
  }
  // Programs this one starts must not inherit the setting.
  ::unsetenv(kEmbeddingFdVariable);
  *server = std::make_unique<EmbeddingServer>(fd);
  return S_OK;
}

HRESULT EmbeddingServer::ServeClassObject(REFCLSID clsid, IClassFactory* factory) {
  if (factory == nullptr) return E_POINTER;
  state_->session.SetFactory(factory);
  Writer w;
  w.U8(wire::kReady);
  w.Guid(clsid);
  if (!SendAll(state_->fd.get(), w.Finish())) {
    state_->finished = true;
    state_->session.Drop();
    return RPC_E_DISCONNECTED;
  }
  return S_OK;
}

int EmbeddingServer::fd() const { return state_->fd.get(); }
bool EmbeddingServer::finished() const { return state_->finished; }

HRESULT EmbeddingServer::ProcessPending() {
  State& s = *state_;
  if (s.finished) return S_FALSE;
  if (s.busy) return RPC_E_SERVERCALL_RETRYLATER;
  s.busy = true;
  const bool keep = s.session.Handle(s.fd.get());
  s.busy = false;
  if (keep) return S_OK;
  s.finished = true;
  s.session.Drop();
  s.fd.reset();
  return S_FALSE;
}

void EmbeddingServer::Serve() {
  while (ProcessPending() == S_OK) {
  }
}

HRESULT RunLocalServer(REFCLSID clsid, IClassFactory* factory) {
  std::unique_ptr<EmbeddingServer> server;
  if (HRESULT hr = EmbeddingServer::FromEnvironment(&server); Failed(hr)) return hr;
  if (HRESULT hr = server->ServeClassObject(clsid, factory); Failed(hr)) return hr;
  server->Serve();
  return S_OK;
}

HRESULT RegisterLocalServer(const std::string& program_path, REFCLSID clsid,
                            const std::string& progid, const std::string& display_name) {
  ClassDescription description;
  description.clsid = clsid;
  description.display_name = display_name;
  description.progid = progid;
  description.programmable = true;
  description.local_server = true;
  return RegisterComponentLibrary(program_path, nullptr, std::span(&description, 1));
}

// --- Serving side: published objects ----------------------------------------------------

struct Publication::State {
  std::string path;
  Fd listener;
  Fd abstract_listener;
  Fd epoll;
  Fd wake;
  ComPtr<IDispatch> object;
  std::set<uid_t> allowed;
  std::map<int, std::unique_ptr<ServerSession>> clients;
  std::atomic<bool> withdrawn{false};
  int stall_limit_ms = 10000;
  bool busy = false;
  std::thread thread;

  ~State() { CloseAll(); }

  void Accept(int listen_fd) {
    Fd client(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) return;
    bool ok = false;
    const uid_t uid = PeerUid(client.get(), &ok);
    if (!ok || (uid != ::geteuid() && allowed.count(uid) == 0)) {
      SendHr(client.get(), wire::kWelcome, E_ACCESSDENIED);
      return;  // closed unheard
    }
    if (!SendHr(client.get(), wire::kWelcome, S_OK)) return;
    // One loop serves every client: a client that stops in the middle of a
    // frame, or stops reading its answer, is dropped instead of stopping
    // the loop. (Between frames a client may stay silent as long as it
    // likes.)
    const timeval limit{stall_limit_ms / 1000, (stall_limit_ms % 1000) * 1000};
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = client.get();
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, client.get(), &ev) != 0) return;
    const int fd = client.release();
    clients.emplace(fd, std::make_unique<ServerSession>(object.get()));
  }

  void Serve(int fd) {
    auto it = clients.find(fd);
    if (it == clients.end()) return;
    if (!it->second->Handle(fd)) {
      ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
      clients.erase(fd);
      ::close(fd);
    }
  }

  void CloseAll() {
    for (auto& [fd, session] : clients) ::close(fd);
    clients.clear();
    listener.reset();
    abstract_listener.reset();
    if (!path.empty()) ::unlink(path.c_str());
    path.clear();
    object.reset();
  }
};

Publication::Publication(std::unique_ptr<State> state) : state_(std::move(state)) {}

Publication::~Publication() {
  Withdraw();
  if (state_->thread.joinable()) state_->thread.join();
  state_->CloseAll();
}

int Publication::fd() const { return state_->epoll.get(); }
const std::string& Publication::path() const { return state_->path; }

void Publication::ProcessPending(int timeout_ms) {
  State& s = *state_;
  if (s.busy || s.withdrawn) return;
  s.busy = true;
  epoll_event events[8];
  int n = 0;
  if (timeout_ms != 0 && ShouldSpin()) {
    // The next call of a caller in a loop is usually a few microseconds
    // away (see SpinUntilReadable).
    const auto deadline = SpinDeadline();
    while ((n = ::epoll_wait(s.epoll.get(), events, 8, 0)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
    }
  }
  if (n == 0) n = ::epoll_wait(s.epoll.get(), events, 8, timeout_ms);
  bool served = false;
  for (int i = 0; i < n && !s.withdrawn; ++i) {
    const int fd = events[i].data.fd;
    if (fd == s.listener.get() || fd == s.abstract_listener.get()) {
      s.Accept(fd);
    } else if (fd != s.wake.get() && !served) {
      // One call per round: the others are still readable next time.
      s.Serve(fd);
      served = true;
    }
  }
  s.busy = false;
}

void Publication::Serve() {
  while (!state_->withdrawn) ProcessPending(-1);
}

void Publication::Withdraw() {
  state_->withdrawn = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(state_->wake.get(), &one, sizeof one);
}

HRESULT PublishObject(std::u16string_view progid, IDispatch* object, const PublishOptions& options,
                      std::unique_ptr<Publication>* publication) {
  if (object == nullptr || publication == nullptr) return E_POINTER;
  try {
    std::string name;
    if (!ValidProgId(progid, &name)) return E_INVALIDARG;
    auto state = std::make_unique<Publication::State>();
    std::string users = Env("QUILLON_ALLOW_USERS");
    for (const std::string& user : options.allow_users) users += "," + user;
    if (!ParseUsers(users, &state->allowed)) return E_INVALIDARG;
    state->allowed.erase(::geteuid());

    std::string dir;
    if (HRESULT hr = RuntimeDirectory(&dir); Failed(hr)) return hr;
    const std::string path = dir + "/" + name + ".sock";
    sockaddr_un addr;
    socklen_t len = 0;
    if (!MakeAddress(path, false, &addr, &len)) return E_FAIL;
    if (Fd live(ConnectTo(path, false)); live) return CO_E_ALREADY_PUBLISHED;
    ::unlink(path.c_str());  // a socket left by a publisher that died
    state->listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!state->listener ||
        ::bind(state->listener.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(state->listener.get(), 16) != 0) {
      return E_FAIL;
    }
    state->path = path;
    if (!state->allowed.empty()) {
      if (!MakeAddress(AbstractName(name), true, &addr, &len)) return E_FAIL;
      state->abstract_listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!state->abstract_listener) return E_FAIL;
      if (::bind(state->abstract_listener.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        return errno == EADDRINUSE ? CO_E_ALREADY_PUBLISHED : E_FAIL;
      }
      if (::listen(state->abstract_listener.get(), 16) != 0) return E_FAIL;
    }
    state->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    state->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!state->epoll || !state->wake) return E_FAIL;
    for (int fd : {state->listener.get(), state->abstract_listener.get(), state->wake.get()}) {
      if (fd < 0) continue;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = fd;
      if (::epoll_ctl(state->epoll.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return E_FAIL;
    }
    state->object = ComPtr<IDispatch>(object);
    state->stall_limit_ms = options.stalled_client_ms > 0 ? options.stalled_client_ms : 10000;
    auto result = std::make_unique<Publication>(std::move(state));
    if (options.serve_on_thread) {
      Publication* p = result.get();
      result->state_->thread = std::thread([p] { p->Serve(); });
    }
    *publication = std::move(result);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace quillon::com

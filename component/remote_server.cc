// The serving side of out-of-process automation: one client's messages
// served against the real object, a started program's connection to its
// client, and publications of live objects with their serving loop.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "component/remote_endpoints.h"
#include "component/remote_transport.h"
#include "component/remote_wire.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

using transport::Clock;
using transport::Deadline;
using transport::UniqueFd;

constexpr UINT kNoArgError = UINT_MAX;

// The deadline `stall` from now, or none.
Deadline After(std::optional<std::chrono::milliseconds> stall) {
  if (!stall) return std::nullopt;
  return Clock::now() + *stall;
}

std::u16string Take(BSTR* text) {
  std::u16string out(*text == nullptr ? std::u16string_view()
                                      : std::u16string_view(*text, SysStringLen(*text)));
  SysFreeString(*text);
  *text = nullptr;
  return out;
}

void TakeErrorInfo(IErrorInfo* info, wire::InvokeReply* reply) {
  BSTR source = nullptr;
  BSTR description = nullptr;
  BSTR help_file = nullptr;
  reply->has_error_info = true;
  info->GetGUID(&reply->error_guid);
  info->GetSource(&source);
  info->GetDescription(&description);
  info->GetHelpFile(&help_file);
  info->GetHelpContext(&reply->error_help_context);
  reply->error_source = Take(&source);
  reply->error_description = Take(&description);
  reply->error_help_file = Take(&help_file);
}

// Calls the object for one decoded request and encodes the reply into `w`.
void ServeInvoke(IDispatch* object, wire::InvokeRequest& request, wire::Writer* w) {
  // Direct arguments belong to the call (a callee may coerce them in
  // place); by-reference ones point into the request's storage.
  std::vector<VARIANT> args = request.Arguments(true);
  DISPPARAMS params{args.data(), request.named.data(), static_cast<UINT>(args.size()),
                    static_cast<UINT>(request.named.size())};
  wire::InvokeReply reply;
  EXCEPINFO excepinfo{};
  UINT arg_error = kNoArgError;
  SetErrorInfo(0, nullptr);
  reply.hr = object->Invoke(request.dispid, GUID_NULL, request.lcid, request.flags, &params,
                            request.want_result ? &reply.result : nullptr,
                            request.want_excepinfo ? &excepinfo : nullptr, &arg_error);
  if (excepinfo.pfnDeferredFillIn != nullptr) excepinfo.pfnDeferredFillIn(&excepinfo);
  ComPtr<IErrorInfo> info;
  GetErrorInfo(0, info.put());
  for (size_t i = 0; i < args.size(); ++i) {
    if (request.byref_vt[i] == 0) VariantClear(&args[i]);
  }

  if (Failed(wire::MeasureVariant(reply.result, nullptr))) {
    // An object reference cannot cross; the caller is told so.
    VariantClear(&reply.result);
    reply.hr = DISP_E_TYPEMISMATCH;
  }
  reply.has_excepinfo = request.want_excepinfo && reply.hr == DISP_E_EXCEPTION;
  reply.w_code = excepinfo.wCode;
  reply.source = Take(&excepinfo.bstrSource);
  reply.description = Take(&excepinfo.bstrDescription);
  reply.help_file = Take(&excepinfo.bstrHelpFile);
  reply.help_context = excepinfo.dwHelpContext;
  reply.scode = excepinfo.scode;
  reply.has_arg_error = arg_error != kNoArgError;
  reply.arg_error = reply.has_arg_error ? arg_error : 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (request.byref_vt[i] == 0 || Failed(wire::MeasureVariant(request.values[i], nullptr))) {
      continue;
    }
    reply.outs.emplace_back(static_cast<UINT>(i), request.values[i]);
    VariantInit(&request.values[i]);
  }
  if (info) TakeErrorInfo(info.get(), &reply);
  if (wire::Encode(reply, w)) return;
  // Too large for one message: the caller is told so, and gets no part.
  wire::InvokeReply too_large;
  too_large.hr = E_OUTOFMEMORY;
  *w = wire::Writer();
  wire::Encode(too_large, w);
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

  // Serves one message; false to hang up (the client is done, sent
  // something malformed, or took longer than `stall` for its message or
  // for taking its answer).
  bool Handle(int fd, std::optional<std::chrono::milliseconds> stall) {
    uint8_t kind = 0;
    std::string body;
    if (!transport::RecvFrame(fd, &kind, &body, After(stall))) return false;
    try {
      wire::Writer w;
      switch (kind) {
        case wire::kCreate: {
          wire::Create create;
          if (!wire::Parse(body, &create)) return false;
          wire::Created created{CLASS_E_CLASSNOTAVAILABLE};
          if (factory_ && !object_) {
            created.hr = factory_->CreateInstance(nullptr, IID_IDispatch, object_.put_void());
            factory_.reset();  // single use
          }
          wire::Encode(created, &w);
          break;
        }
        case wire::kGetIds: {
          wire::GetIds ask;
          if (!wire::Parse(body, &ask)) return false;
          wire::Encode(GetIds(&ask), &w);
          break;
        }
        case wire::kInvoke: {
          wire::InvokeRequest request;
          if (!wire::Parse(body, &request)) return false;
          if (!object_) {
            wire::InvokeReply reply;
            reply.hr = CO_E_OBJNOTCONNECTED;
            wire::Encode(reply, &w);
          } else {
            ComPtr<IDispatch> keep = object_;  // a call may withdraw the object
            ServeInvoke(keep.get(), request, &w);
          }
          break;
        }
        default:  // kRelease and anything unknown
          return false;
      }
      return transport::SendAll(fd, w.frame(), After(stall));
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

 private:
  wire::IdsReply GetIds(wire::GetIds* ask) {
    std::vector<LPOLESTR> pointers;
    for (auto& name : ask->names) pointers.push_back(name.data());
    wire::IdsReply reply;
    reply.ids.assign(ask->names.size(), DISPID_UNKNOWN);
    reply.hr = object_
                   ? object_->GetIDsOfNames(GUID_NULL, pointers.data(),
                                            static_cast<UINT>(pointers.size()), 0, reply.ids.data())
                   : CO_E_OBJNOTCONNECTED;
    return reply;
  }

  ComPtr<IDispatch> object_;
  ComPtr<IClassFactory> factory_;
};

}  // namespace

// --- Started programs --------------------------------------------------------------------

struct EmbeddingServer::State {
  UniqueFd fd;
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
  const std::string text = transport::Env(kEmbeddingFdVariable);
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
  if (!transport::SendMessage(state_->fd.get(), wire::Ready{clsid})) {
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
  // The one client started this process for itself: it holds up nobody
  // else, so its messages take as long as they take.
  const bool keep = s.session.Handle(s.fd.get(), std::nullopt);
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

// --- Published objects ---------------------------------------------------------------------

struct Publication::State {
  std::string path;
  UniqueFd listener;
  UniqueFd abstract_listener;
  UniqueFd epoll;
  UniqueFd wake;
  ComPtr<IDispatch> object;
  std::set<uid_t> allowed;
  std::map<int, std::unique_ptr<ServerSession>> clients;
  std::atomic<bool> withdrawn{false};
  std::chrono::milliseconds stall_limit{10000};
  bool busy = false;
  std::thread thread;

  ~State() { CloseAll(); }

  void Accept(int listen_fd) {
    UniqueFd client(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) return;
    uid_t uid = 0;
    const bool known = transport::PeerUid(client.get(), &uid);
    const auto deadline = After(stall_limit);
    if (!known || (uid != ::geteuid() && allowed.count(uid) == 0)) {
      transport::SendMessage(client.get(), wire::Welcome{E_ACCESSDENIED}, deadline);
      return;  // closed unheard
    }
    if (!transport::SendMessage(client.get(), wire::Welcome{S_OK}, deadline)) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = client.get();
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, client.get(), &ev) != 0) return;
    const int fd = client.release();
    clients.emplace(fd, std::make_unique<ServerSession>(object.get()));
  }

  // One loop serves every client: a client whose message dribbles in, or
  // who stops reading its answer, is dropped after the stall limit instead
  // of stopping the loop. (Between messages a client may stay silent as
  // long as it likes.)
  void Serve(int fd) {
    auto it = clients.find(fd);
    if (it == clients.end()) return;
    if (!it->second->Handle(fd, stall_limit)) {
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
  if (timeout_ms != 0 && transport::ShouldSpin()) {
    // The next call of a caller in a loop is usually a few microseconds
    // away (see SpinUntilReadable).
    const auto deadline = transport::SpinDeadline();
    while ((n = ::epoll_wait(s.epoll.get(), events, 8, 0)) == 0 && Clock::now() < deadline) {
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

namespace {

// A listening socket bound to `name`; CO_E_ALREADY_PUBLISHED when someone
// holds the name already.
HRESULT Listen(const std::string& name, bool abstract, UniqueFd* out) {
  sockaddr_un addr;
  socklen_t len = 0;
  if (!transport::MakeAddress(name, abstract, &addr, &len)) return E_FAIL;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return E_FAIL;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    return errno == EADDRINUSE ? CO_E_ALREADY_PUBLISHED : E_FAIL;
  }
  if (::listen(fd.get(), 16) != 0) return E_FAIL;
  *out = std::move(fd);
  return S_OK;
}

}  // namespace

HRESULT PublishObject(std::u16string_view progid, IDispatch* object, const PublishOptions& options,
                      std::unique_ptr<Publication>* publication) {
  if (object == nullptr || publication == nullptr) return E_POINTER;
  try {
    std::string name;
    if (!endpoints::ValidProgId(progid, &name)) return E_INVALIDARG;
    auto state = std::make_unique<Publication::State>();
    std::string users = transport::Env("QUILLON_ALLOW_USERS");
    for (const std::string& user : options.allow_users) users += "," + user;
    if (!transport::ParseUsers(users, &state->allowed)) return E_INVALIDARG;
    state->allowed.erase(::geteuid());

    std::string dir;
    if (HRESULT hr = RuntimeDirectory(&dir); Failed(hr)) return hr;
    const std::string path = endpoints::SocketPath(dir, name);
    if (HRESULT hr = endpoints::ClaimSocketPath(path); Failed(hr)) return hr;
    if (HRESULT hr = Listen(path, false, &state->listener); Failed(hr)) return hr;
    state->path = path;
    if (!state->allowed.empty()) {
      if (HRESULT hr = Listen(endpoints::AbstractName(name), true, &state->abstract_listener);
          Failed(hr)) {
        return hr;
      }
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
    state->stall_limit = std::chrono::milliseconds(
        options.stalled_client_ms > 0 ? options.stalled_client_ms : 10000);
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

// The calling side of out-of-process automation: the proxies that stand for
// an object in another process, the class objects of published ProgIDs,
// and the creation entry points that look for publications first.
#include "component/remote_proxy.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>

#include "component/remote_endpoints.h"
#include "component/remote_transport.h"
#include "component/remote_wire.h"
#include "component/runtime_internal.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

using transport::UniqueFd;

// One connection to a serving process, shared by the class factory and the
// object proxy made over it. When the last holder goes, the server is told.
class ClientConnection {
 public:
  explicit ClientConnection(UniqueFd fd) : fd_(std::move(fd)) {}
  ~ClientConnection() {
    if (!dead_) transport::SendMessage(fd_.get(), wire::Release{});
  }

  // Sends `frame` and waits for the reply of kind `expected`.
  HRESULT Call(const std::string& frame, uint8_t expected, std::string* reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dead_) return RPC_E_DISCONNECTED;
    uint8_t kind = 0;
    if (!transport::SendAll(fd_.get(), frame)) return HangUpLocked();
    transport::SpinUntilReadable(fd_.get());
    // A peer that vanished or speaks out of turn is no peer any more.
    if (!transport::RecvFrame(fd_.get(), &kind, reply) || kind != expected) return HangUpLocked();
    return S_OK;
  }

  // After a reply that does not parse.
  HRESULT HangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    return HangUpLocked();
  }

 private:
  HRESULT HangUpLocked() {
    dead_ = true;
    ::shutdown(fd_.get(), SHUT_RDWR);
    return RPC_E_DISCONNECTED;
  }

  std::mutex mutex_;
  UniqueFd fd_;
  bool dead_ = false;
};

// Reference counting of the proxies (they belong to no component library).
class ProxyBase {
 protected:
  virtual ~ProxyBase() = default;
  ULONG Ref() { return refs_.fetch_add(1) + 1; }
  ULONG Unref() {
    const ULONG n = refs_.fetch_sub(1) - 1;
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
      wire::GetIds ask;
      for (UINT i = 0; i < count; ++i) {
        if (names[i] == nullptr) return E_POINTER;
        ask.names.emplace_back(names[i]);
      }
      wire::Writer w;
      if (!wire::Encode(ask, &w)) return E_OUTOFMEMORY;
      std::string body;
      if (HRESULT hr = connection_->Call(w.frame(), wire::kIdsReply, &body); Failed(hr)) {
        return hr;
      }
      wire::IdsReply reply;
      if (!wire::Parse(body, &reply) || reply.ids.size() != count) return connection_->HangUp();
      std::copy(reply.ids.begin(), reply.ids.end(), dispids);
      return reply.hr;
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
      wire::Writer w;
      const wire::InvokeCall call{dispid, lcid, flags, result != nullptr, excepinfo != nullptr,
                                  params};
      if (HRESULT hr = wire::Encode(call, &w, arg_error); Failed(hr)) return hr;
      std::string body;
      if (HRESULT hr = connection_->Call(w.frame(), wire::kInvokeReply, &body); Failed(hr)) {
        return hr;
      }
      wire::InvokeReply reply;
      if (!wire::Parse(body, &reply)) return connection_->HangUp();
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

// A started program's class object. Single-use: the one connection carries
// the one object it creates.
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
      wire::Writer w;
      if (!wire::Encode(wire::Create{}, &w)) return E_UNEXPECTED;
      std::string body;
      if (HRESULT hr = connection->Call(w.frame(), wire::kCreated, &body); Failed(hr)) return hr;
      wire::Created created;
      if (!wire::Parse(body, &created)) return connection->HangUp();
      if (Failed(created.hr)) return created.hr;
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

// Connects to the publication of `name` and takes its welcome.
// CO_E_CLASSSTRING when no trusted server listens (*untrusted tells whether
// an untrusted one does), the publication's refusal, or RPC_E_DISCONNECTED.
HRESULT Connect(const std::string& name, const endpoints::Trust& trust, IDispatch** object,
                bool* untrusted) {
  UniqueFd fd;
  const endpoints::Found found = endpoints::OpenEndpoint(name, trust, &fd);
  *untrusted = found == endpoints::Found::kUntrusted;
  if (found != endpoints::Found::kConnected) return CO_E_CLASSSTRING;
  uint8_t kind = 0;
  std::string body;
  wire::Welcome welcome;
  if (!transport::RecvFrame(fd.get(), &kind, &body) || kind != wire::kWelcome ||
      !wire::Parse(body, &welcome)) {
    return RPC_E_DISCONNECTED;
  }
  if (Failed(welcome.hr)) return welcome.hr;
  auto connection = std::make_shared<ClientConnection>(std::move(fd));
  *object = new RemoteDispatch(std::move(connection));
  return S_OK;
}

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

// The registry's class for "{clsid}" or a registered ProgID; publications
// are not asked again (the caller has, under its own trust).
HRESULT RegistryClassId(std::u16string_view progid, CLSID* clsid) {
  const std::string text = Utf16ToUtf8(progid);
  if (!text.empty() && text.front() == '{') return ParseGuid(text, clsid) ? S_OK : CO_E_CLASSSTRING;
  if (text.empty() || text.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
  return RegisteredClassId(text, clsid, nullptr);
}

}  // namespace

IClassFactory* NewRemoteClassFactory(UniqueFd connection) {
  return new RemoteClassFactory(std::make_shared<ClientConnection>(std::move(connection)));
}

HRESULT PublishedClassId(const std::string& progid, CLSID* clsid) {
  try {
    std::string name;
    const std::u16string text = Utf8ToUtf16(progid);
    if (!endpoints::ValidProgId(text, &name)) return CO_E_CLASSSTRING;
    UniqueFd probe;
    if (endpoints::OpenEndpoint(name, endpoints::Trust(ConnectOptions{}), &probe) !=
        endpoints::Found::kConnected) {
      return CO_E_CLASSSTRING;
    }
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
  return ConnectToPublishedObject(progid, ConnectOptions{}, object);
}

HRESULT ConnectToPublishedObject(std::u16string_view progid, const ConnectOptions& options,
                                 IDispatch** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  try {
    std::string name;
    if (!endpoints::ValidProgId(progid, &name)) return E_INVALIDARG;
    bool untrusted = false;
    const HRESULT hr = Connect(name, endpoints::Trust(options), object, &untrusted);
    return hr == CO_E_CLASSSTRING && untrusted ? E_ACCESSDENIED : hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CreateObjectByProgId(std::u16string_view progid, IDispatch** object) {
  return CreateObjectByProgId(progid, ConnectOptions{}, object);
}

HRESULT CreateObjectByProgId(std::u16string_view progid, const ConnectOptions& options,
                             IDispatch** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (CLSID inproc{}; IsInProcessClass(progid, &inproc)) {
    return CoCreateInstance(inproc, nullptr, CLSCTX_ALL, IID_IDispatch,
                            reinterpret_cast<void**>(object));
  }
  try {
    bool untrusted = false;
    if (std::string name; endpoints::ValidProgId(progid, &name)) {
      const HRESULT hr = Connect(name, endpoints::Trust(options), object, &untrusted);
      if (hr != CO_E_CLASSSTRING) return hr;
    }
    // Nothing (trusted) is published: the registry's class, if any.
    CLSID clsid{};
    if (HRESULT found = RegistryClassId(progid, &clsid); Failed(found)) {
      return untrusted && found == CO_E_CLASSSTRING ? E_ACCESSDENIED : found;
    }
    return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch,
                            reinterpret_cast<void**>(object));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace quillon::com

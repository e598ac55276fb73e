// Out-of-process automation: calls through a real socket to a published
// object, programs started for a class, dead peers, refused callers and
// malformed frames.
#include "quillon/component/remote.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "component/remote_wire.h"
#include "quillon/component/errors.h"
#include "quillon/component/variant.h"
#include "tests/component/remote_test_object.h"
#include "tests/component/remote_values.h"
#include "tests/support/bounded_wait.h"

namespace quillon::com {
namespace {

using testing::EchoFirst;
using testing::EveryKind;
using testing::kRemoteTestClsid;
using testing::PidOf;
using testing::Same;
using testing::ScriptedObject;
using testing::VariantArray;
using namespace std::chrono_literals;

// A client of its own on the publication at `path`, past the welcome
// (its descriptor), for frames no proxy would send; -1 when that fails.
int ConnectPastWelcome(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  char welcome[9];
  if (fd >= 0) quillon::testing::LimitSocketWaits(fd);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      recv(fd, welcome, sizeof welcome, MSG_WAITALL) != ssize_t(sizeof welcome)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// The server's rule for by-reference outs: what it writes for a value.
Variant Next(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR: {
      std::u16string text(v.bstrVal, SysStringLen(v.bstrVal));
      text.append(u"!\0", 2);
      return Variant::String(text);
    }
    case VT_ARRAY | VT_UI1: {
      std::string bytes;
      Variant::GetBytes(v, &bytes);
      bytes.push_back('\x07');
      return Variant::Bytes(bytes, v.parray->rgsabound[0].lLbound + 1);
    }
    case VT_ARRAY | VT_VARIANT:
      return VariantArray(5, {Variant::I4(1)});
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return Variant(v);
    case VT_R4: {
      float f = v.fltVal + 1;
      Variant r(v);
      r.get()->fltVal = f;
      return r;
    }
    case VT_R8:
    case VT_DATE: {
      Variant r(v);
      r.get()->dblVal += 1;
      return r;
    }
    default: {
      Variant r(v);
      r.get()->ullVal += 1;  // little-endian: the low bytes of every integer
      if (v.vt == VT_BOOL) r.get()->boolVal = v.boolVal ? VARIANT_FALSE : VARIANT_TRUE;
      return r;
    }
  }
}

// Stores `value` where the by-reference `ref` points, as a callee does.
void Assign(const VARIANT& ref, const VARIANT& value) {
  const auto base = static_cast<VARTYPE>(ref.vt & ~VT_BYREF);
  if (base == VT_VARIANT) {
    VariantClear(ref.pvarVal);
    VariantCopy(ref.pvarVal, &value);
  } else if (base == VT_BSTR) {
    SysFreeString(*ref.pbstrVal);
    *ref.pbstrVal = SysAllocStringLen(value.bstrVal, SysStringLen(value.bstrVal));
  } else if ((base & VT_ARRAY) != 0) {
    SafeArrayDestroy(*ref.pparray);
    SafeArrayCopy(value.parray, ref.pparray);
  } else if (base != VT_DISPATCH && base != VT_UNKNOWN) {
    std::memcpy(ref.byref, &value.llVal, static_cast<size_t>(wire::ScalarBytes(base)));
  }
}

// What the tests' published object saw of its last call.
struct Seen {
  WORD flags = 0;
  UINT args = 0;
  std::vector<DISPID> named;
};

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/quillon-remote-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    setenv("QUILLON_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    setenv("QUILLON_REGISTRY", (dir_ + "/registry").c_str(), 1);
    unsetenv("QUILLON_ALLOW_USERS");
    progid_ = u"Test" + Utf8ToUtf16(std::to_string(getpid())) + u".QuillonDebug";

    object_ = ScriptedObject::Create();
    echo_ = object_->Add(u"Echo", &EchoFirst);
    out_ = object_->Add(u"Out", [](WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) {
      for (UINT i = 0; i < p->cArgs; ++i) {
        Variant now;
        VariantCopyInd(now.get(), &p->rgvarg[i]);
        const bool whole = p->rgvarg[i].vt == (VT_BYREF | VT_VARIANT);
        Assign(p->rgvarg[i], whole ? *Variant::Utf8("changed").get() : *Next(*now.get()).get());
      }
      return S_OK;
    });
    record_ =
        object_->Add(u"Record", [this](WORD flags, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) {
          seen_.flags = flags;
          seen_.args = p->cArgs;
          seen_.named.assign(p->rgdispidNamedArgs, p->rgdispidNamedArgs + p->cNamedArgs);
          return S_OK;
        });
    excep_ = object_->Add(u"Excep", [](WORD, DISPPARAMS*, VARIANT*, EXCEPINFO* e, UINT*) {
      e->wCode = 0;
      e->scode = MakeHresult(0x800A2711);
      e->bstrSource = SysAllocString(u"QClient");
      e->bstrDescription = SysAllocString(u"Connect failed");
      e->bstrHelpFile = SysAllocString(u"help.chm");
      e->dwHelpContext = 0x6271A;
      return DISP_E_EXCEPTION;
    });
    info_ = object_->Add(u"Info", [](WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
      return ReportError(MakeHresult(0x80042711), u"No parameter", u"Quillon.QServer.1",
                         &IID_IDispatch, 7);
    });
    arg_error_ = object_->Add(u"ArgError", [](WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT* a) {
      *a = 1;
      return DISP_E_TYPEMISMATCH;
    });
    PublishOptions options;
    options.serve_on_thread = true;
    ASSERT_EQ(PublishObject(progid_, object_.get(), options, &publication_), S_OK);
    ASSERT_EQ(ConnectToPublishedObject(progid_, proxy_.put()), S_OK);
  }

  void TearDown() override {
    proxy_.reset();
    publication_.reset();
    std::filesystem::remove_all(dir_);
  }

  HRESULT Call(DISPID id, std::vector<VARIANT> args, VARIANT* result = nullptr,
               EXCEPINFO* excepinfo = nullptr, UINT* arg_error = nullptr, WORD flags = 1,
               std::vector<DISPID> named = {}) {
    DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()),
                      static_cast<UINT>(named.size())};
    return proxy_->Invoke(id, IID_IDispatch, 0, flags, &params, result, excepinfo, arg_error);
  }

  std::string dir_;
  std::u16string progid_;
  ComPtr<ScriptedObject> object_;
  DISPID echo_ = 0, out_ = 0, record_ = 0, excep_ = 0, info_ = 0, arg_error_ = 0;
  Seen seen_;
  std::unique_ptr<Publication> publication_;
  ComPtr<IDispatch> proxy_;
};

TEST_F(RemoteTest, EveryKindRoundTripsByValue) {
  const long strings = LiveStringCount();
  const long arrays = LiveArrayCount();
  for (const Variant& value : EveryKind()) {
    SCOPED_TRACE(value.vt());
    Variant result;
    ASSERT_EQ(Call(echo_, {*value.get()}, result.get()), S_OK);
    EXPECT_TRUE(Same(*result.get(), *value.get()));
  }
  EXPECT_EQ(LiveStringCount(), strings);
  EXPECT_EQ(LiveArrayCount(), arrays);
}

TEST_F(RemoteTest, ByReferenceArgumentsComeBackIntoTheCallersStorage) {
  const long strings = LiveStringCount();
  const long arrays = LiveArrayCount();
  for (const Variant& value : EveryKind()) {
    if (value.vt() == VT_EMPTY || value.vt() == VT_NULL) continue;
    SCOPED_TRACE(value.vt());
    // Typed reference: the storage is the value's own union member.
    Variant storage(value);
    VARIANT ref;
    ref.vt = VT_BYREF | storage.vt();
    ref.byref = &storage.get()->llVal;
    // A reference to a whole variant, beside it.
    Variant whole(value);
    VARIANT whole_ref;
    whole_ref.vt = VT_BYREF | VT_VARIANT;
    whole_ref.pvarVal = whole.get();
    ASSERT_EQ(Call(out_, {ref, whole_ref}), S_OK);
    EXPECT_TRUE(Same(*storage.get(), *Next(*value.get()).get()));
    EXPECT_TRUE(Same(*whole.get(), *Variant::Utf8("changed").get()));
  }
  EXPECT_EQ(LiveStringCount(), strings);  // replaced values freed on both sides
  EXPECT_EQ(LiveArrayCount(), arrays);
}

TEST_F(RemoteTest, NamesFlagsAndNamedArgumentsCross) {
  std::u16string a = u"Record", b = u"Missing";
  LPOLESTR names[] = {a.data(), b.data()};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(proxy_->GetIDsOfNames(IID_IDispatch, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], record_);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);

  Variant value = Variant::I4(5);
  ASSERT_EQ(Call(record_, {*value.get()}, nullptr, nullptr, nullptr, DISPATCH_PROPERTYPUT,
                 {DISPID_PROPERTYPUT}),
            S_OK);
  EXPECT_EQ(seen_.flags, DISPATCH_PROPERTYPUT);
  EXPECT_EQ(seen_.args, 1u);
  EXPECT_EQ(seen_.named, std::vector<DISPID>{DISPID_PROPERTYPUT});
  EXPECT_EQ(Call(1000, {}), DISP_E_MEMBERNOTFOUND);
}

TEST_F(RemoteTest, BothErrorConventionsReachTheCaller) {
  EXCEPINFO e{};
  EXPECT_EQ(Call(excep_, {}, nullptr, &e), DISP_E_EXCEPTION);
  EXPECT_EQ(e.scode, MakeHresult(0x800A2711));
  EXPECT_EQ(e.wCode, 0);
  EXPECT_EQ(std::u16string(e.bstrSource), u"QClient");
  EXPECT_EQ(std::u16string(e.bstrDescription), u"Connect failed");
  EXPECT_EQ(std::u16string(e.bstrHelpFile), u"help.chm");
  EXPECT_EQ(e.dwHelpContext, 0x6271Au);
  SysFreeString(e.bstrSource);
  SysFreeString(e.bstrDescription);
  SysFreeString(e.bstrHelpFile);

  EXPECT_EQ(Call(info_, {}), MakeHresult(0x80042711));
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  BSTR text = nullptr;
  info->GetDescription(&text);
  EXPECT_EQ(std::u16string(text), u"No parameter");
  SysFreeString(text);
  info->GetSource(&text);
  EXPECT_EQ(std::u16string(text), u"Quillon.QServer.1");
  SysFreeString(text);
  GUID guid{};
  info->GetGUID(&guid);
  EXPECT_EQ(guid, IID_IDispatch);
  DWORD context = 0;
  info->GetHelpContext(&context);
  EXPECT_EQ(context, 7u);

  // A later successful call leaves no stale error behind.
  EXPECT_EQ(Call(info_, {}), MakeHresult(0x80042711));
  EXPECT_EQ(Call(echo_, {*Variant::I4(1).get()}), S_OK);
  EXPECT_EQ(GetErrorInfo(0, info.put()), S_FALSE);

  UINT bad = 99;
  EXPECT_EQ(Call(arg_error_, {}, nullptr, nullptr, &bad), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad, 1u);
}

TEST_F(RemoteTest, InterfacePointersDoNotCross) {
  Variant object = Variant::Dispatch(object_.get());
  UINT bad = 99;
  EXPECT_EQ(Call(echo_, {*Variant::I4(1).get(), *object.get()}, nullptr, nullptr, &bad),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad, 1u);
  // A method returning an object: refused on the way back.
  DISPID give = object_->Add(u"Give", [this](WORD, DISPPARAMS*, VARIANT* r, EXCEPINFO*, UINT*) {
    *r = Variant::Dispatch(object_.get()).Detach();
    return S_OK;
  });
  Variant result;
  EXPECT_EQ(Call(give, {}, result.get()), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(result.vt(), VT_EMPTY);
}

TEST_F(RemoteTest, SecondClientGetsTheSameObjectAndAFreshLookupWorks) {
  ComPtr<IDispatch> second;
  ASSERT_EQ(CreateObjectByProgId(progid_, second.put()), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const int before = object_->calls();
  EXPECT_EQ(second->Invoke(record_, IID_IDispatch, 0, 1, &none, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(Call(record_, {}), S_OK);
  EXPECT_EQ(object_->calls(), before + 2);
  // A second publication under a live name is refused.
  std::unique_ptr<Publication> again;
  EXPECT_EQ(PublishObject(progid_, object_.get(), {}, &again), CO_E_ALREADY_PUBLISHED);
  // Withdrawn: nobody listens any more, and the name is free again.
  publication_.reset();
  EXPECT_EQ(Call(record_, {}), RPC_E_DISCONNECTED);
  EXPECT_EQ(ConnectToPublishedObject(progid_, second.put()), CO_E_CLASSSTRING);
  EXPECT_EQ(CreateObjectByProgId(u"Not.Published", second.put()), CO_E_CLASSSTRING);
  EXPECT_EQ(PublishObject(u"bad/name", object_.get(), {}, &again), E_INVALIDARG);
}

// Callers that go through the registry's functions (CLSIDFromProgID, then
// CoCreateInstance) reach an unregistered published ProgID as well.
TEST_F(RemoteTest, ClassFunctionsReachThePublication) {
  CLSID clsid{}, again{};
  ASSERT_EQ(CLSIDFromProgID(progid_.c_str(), &clsid), S_OK);
  ASSERT_EQ(CLSIDFromProgID(progid_.c_str(), &again), S_OK);
  EXPECT_EQ(clsid, again);
  EXPECT_EQ(clsid.Data3 & 0xF000, 0x8000);  // a name-based identity, not a random one
  ComPtr<IDispatch> object;
  EXPECT_EQ(
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()),
      REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, object.put_void()), S_OK);
  const int before = object_->calls();
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(object->Invoke(record_, IID_IDispatch, 0, 1, &none, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(object_->calls(), before + 1);
  object.reset();
  publication_.reset();
  EXPECT_EQ(CLSIDFromProgID(progid_.c_str(), &again), CO_E_CLASSSTRING);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, object.put_void()),
            CO_E_CLASSSTRING);
}

// Raw bytes to the endpoint: a malformed frame makes the server hang up on
// that client and go on serving the others.
TEST_F(RemoteTest, MalformedFramesAreRefused) {
  const std::string frames[] = {
      std::string("\xff\xff\xff\x7f\x16", 5),                 // too long
      std::string("\0\0\0\0\x16", 5),                         // empty
      std::string("\x01\0\0\0\x63", 5),                       // unknown kind
      std::string("\x03\0\0\0\x16\x01\x00", 7),               // truncated Invoke
      std::string("\x06\0\0\0\x15\xff\xff\xff\x7f\x00", 10),  // name count beyond data
  };
  for (const std::string& frame : frames) {
    const int fd = ConnectPastWelcome(publication_->path());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0) << "server did not hang up";
    close(fd);
  }
  EXPECT_EQ(Call(echo_, {*Variant::I4(1).get()}), S_OK);
}

// A client that stops in the middle of a frame, or sends it one byte now
// and then (each in time for any per-read time-out), is dropped once the
// frame has taken longer than the stall limit; the others are served again
// afterwards.
TEST_F(RemoteTest, StalledClientIsDroppedAndOthersAreServed) {
  publication_.reset();
  PublishOptions options;
  options.serve_on_thread = true;
  options.stalled_client_ms = 200;
  ASSERT_EQ(PublishObject(progid_, object_.get(), options, &publication_), S_OK);
  ASSERT_EQ(ConnectToPublishedObject(progid_, proxy_.put()), S_OK);
  for (const auto gap : {std::chrono::milliseconds(0), std::chrono::milliseconds(50)}) {
    SCOPED_TRACE(gap.count());
    const int fd = ConnectPastWelcome(publication_->path());
    ASSERT_GE(fd, 0);
    // 1,000 bytes promised: dribbled, they would take 50 s.
    ASSERT_EQ(send(fd, "\xe9\x03\0\0\x16", 5, MSG_NOSIGNAL), 5);
    std::atomic<bool> stop{false};
    std::thread dribble([&] {
      for (int i = 0; gap.count() > 0 && i < 1000 && !stop; ++i) {
        std::this_thread::sleep_for(gap);
        if (send(fd, "x", 1, MSG_NOSIGNAL) != 1) return;
      }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(echo_, {*Variant::I4(1).get()}), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    pollfd hung_up{fd, POLLIN, 0};
    ASSERT_EQ(poll(&hung_up, 1, 3000), 1) << "the stalled client is still served";
    // A close with the dribbled bytes still unread is a reset, not an end
    // of stream: either way the server let go of the client.
    char byte;
    const ssize_t got = recv(fd, &byte, 1, 0);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET))
        << "the stalled client was not dropped: " << got << " " << std::strerror(errno);
    stop = true;
    dribble.join();
    close(fd);
  }
}

TEST(RemoteCommandLine, SplitsQuotedWords) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"", {}},
      {"/usr/bin/qmonitor", {"/usr/bin/qmonitor"}},
      {"\"/opt/my tools/qmonitor\" -x  y", {"/opt/my tools/qmonitor", "-x", "y"}},
      {"a \"\" b", {"a", "", "b"}},
      {"\ta\t", {"a"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
  const char* argv[] = {"prog", "/embedding"};
  EXPECT_TRUE(IsEmbeddingStart(2, argv));
  const char* plain[] = {"prog", "Embedding"};
  EXPECT_FALSE(IsEmbeddingStart(2, plain));
}

// --- Started programs -----------------------------------------------------------

class LocalServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/quillon-local-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    setenv("QUILLON_REGISTRY", (dir_ + "/registry").c_str(), 1);
    setenv("QUILLON_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    ASSERT_EQ(RegisterLocalServer(REMOTE_TEST_SERVER, kRemoteTestClsid, "Quillon.RemoteTest.1",
                                  "Remote test"),
              S_OK);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static Variant CallByName(IDispatch* object, std::u16string name) {
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), S_OK);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    Variant result;
    EXPECT_EQ(object->Invoke(id, IID_IDispatch, 0, 1, &none, result.get(), nullptr, nullptr), S_OK);
    return result;
  }
  static int32_t Pid(IDispatch* object) { return CallByName(object, u"Pid").get()->lVal; }

  static bool GoneWithin(pid_t pid, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (kill(pid, 0) != 0 && errno == ESRCH) return true;  // exited and reaped
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  std::string dir_;
};

TEST_F(LocalServerTest, EachCreationStartsItsOwnProcessWhichEndsOnRelease) {
  ComPtr<IDispatch> first, second;
  ASSERT_EQ(CoCreateInstance(kRemoteTestClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                             first.put_void()),
            S_OK);
  // CLSCTX_ALL reaches it too, the class having no library; and so does the
  // ProgID lookup.
  ASSERT_EQ(CreateObjectByProgId(u"Quillon.RemoteTest.1", second.put()), S_OK);
  const pid_t a = Pid(first.get());
  const pid_t b = Pid(second.get());
  EXPECT_NE(a, b);
  EXPECT_NE(a, getpid());
  // Standard streams on /dev/null, and nothing of ours leaked into the
  // program (an inherited socket end would keep a dead peer looking alive).
  std::u16string inherited;
  VariantToText(*CallByName(second.get(), u"Inherited").get(), &inherited);
  EXPECT_EQ(Utf16ToUtf8(inherited), "/dev/null|/dev/null|");
  first.reset();
  EXPECT_TRUE(GoneWithin(a, 3s)) << "server still running or a zombie";
  EXPECT_EQ(kill(b, 0), 0);
  second.reset();
  EXPECT_TRUE(GoneWithin(b, 3s));
  ComPtr<IDispatch> none;
  EXPECT_EQ(CoCreateInstance(kRemoteTestClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                             none.put_void()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(LocalServerTest, ProgramThatExitsEarlyFailsTheCreation) {
  const CLSID other = Guid("{5B0E8D21-7C44-4F0B-9A53-2D6E1F7A0C92}");
  ASSERT_EQ(RegisterLocalServer(REMOTE_TEST_SERVER, other, "Quillon.RemoteTest.2", "x"), S_OK);
  // The registered program serves another class than asked for: refused.
  ComPtr<IDispatch> object;
  EXPECT_EQ(CoCreateInstance(other, nullptr, CLSCTX_ALL, IID_IDispatch, object.put_void()),
            CO_E_SERVER_EXEC_FAILURE);
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(
      StartLocalServer("\"" REMOTE_TEST_SERVER "\" fail-early", kRemoteTestClsid, factory.put()),
      CO_E_SERVER_EXEC_FAILURE);
  EXPECT_EQ(StartLocalServer("/nonexistent/program", kRemoteTestClsid, factory.put()),
            CO_E_SERVER_EXEC_FAILURE);
}

TEST_F(LocalServerTest, KilledServerFailsTheWaitingCallAtOnce) {
  ComPtr<IDispatch> object;
  ASSERT_EQ(
      CoCreateInstance(kRemoteTestClsid, nullptr, CLSCTX_ALL, IID_IDispatch, object.put_void()),
      S_OK);
  const pid_t pid = Pid(object.get());
  std::chrono::steady_clock::time_point killed;
  std::thread killer([&] {
    std::this_thread::sleep_for(300ms);
    killed = std::chrono::steady_clock::now();
    kill(pid, SIGKILL);
  });
  std::u16string name = u"Hang";
  LPOLESTR names[] = {name.data()};
  DISPID id = 0;
  ASSERT_EQ(object->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(object->Invoke(id, IID_IDispatch, 0, 1, &none, nullptr, nullptr, nullptr),
            RPC_E_DISCONNECTED);
  const auto failed = std::chrono::steady_clock::now();
  killer.join();
  EXPECT_LT(failed - killed, 1s);
  // Later calls fail the same way without waiting.
  EXPECT_EQ(object->Invoke(id, IID_IDispatch, 0, 1, &none, nullptr, nullptr, nullptr),
            RPC_E_DISCONNECTED);
  object.reset();
  EXPECT_TRUE(GoneWithin(pid, 3s));

  // Killed between calls: the next call's write meets a closed socket,
  // which must be a failure and not a SIGPIPE killing the caller.
  ASSERT_EQ(
      CoCreateInstance(kRemoteTestClsid, nullptr, CLSCTX_ALL, IID_IDispatch, object.put_void()),
      S_OK);
  const pid_t idle = Pid(object.get());
  kill(idle, SIGKILL);
  EXPECT_TRUE(GoneWithin(idle, 3s)) << "a dead server is reaped while its proxy lives";
  EXPECT_EQ(object->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), RPC_E_DISCONNECTED);
}

// The serving loop driven from outside, as an event loop does it: one
// message per ProcessPending, a nested entry during a call refused without
// reading, the client's hang-up ending it.
TEST(EmbeddingServerTest, ServesOneMessageAtATimeAndRefusesNesting) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  quillon::testing::LimitSocketWaits(pair[0]);
  EmbeddingServer server(pair[1]);
  HRESULT nested = S_OK;
  auto object = ScriptedObject::Create();
  object->Add(u"Nest", [&](WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    nested = server.ProcessPending();
    return S_OK;
  });
  auto* factory = new testing::LambdaFactory([&] { return ComPtr<IDispatch>(object.get()); });
  ASSERT_EQ(server.ServeClassObject(kRemoteTestClsid, factory), S_OK);
  factory->Release();
  auto receive = [&](size_t n) {
    std::string bytes(n, '\0');
    EXPECT_EQ(recv(pair[0], bytes.data(), n, MSG_WAITALL), ssize_t(n));
    return bytes;
  };
  EXPECT_EQ(receive(21).substr(0, 5), std::string("\x11\0\0\0\x02", 5));  // ready + CLSID

  ASSERT_EQ(send(pair[0], testing::kCreateFrame.data(), testing::kCreateFrame.size(), 0), 5);
  EXPECT_EQ(server.ProcessPending(), S_OK);
  EXPECT_EQ(receive(9), std::string("\x05\0\0\0\x03\0\0\0\0", 9));  // created, S_OK

  const std::string& invoke = testing::kCallFirstMemberFrame;
  ASSERT_EQ(send(pair[0], invoke.data(), invoke.size(), 0), 25);
  EXPECT_EQ(server.ProcessPending(), S_OK);
  EXPECT_EQ(nested, RPC_E_SERVERCALL_RETRYLATER);
  EXPECT_EQ(object->calls(), 1);
  EXPECT_EQ(receive(4 + 1 + 4 + 2 + 1 + 1 + 4 + 1).substr(5, 4), std::string(4, '\0'));

  close(pair[0]);
  EXPECT_EQ(server.ProcessPending(), S_FALSE);
  EXPECT_TRUE(server.finished());
  EXPECT_EQ(server.ProcessPending(), S_FALSE);
}

// A client that dies without releasing: its server sees the hang-up and
// ends too (as a zombie at worst, when nobody adopts it here).
TEST_F(LocalServerTest, ServerEndsWhenItsClientDies) {
  FILE* client = popen(REMOTE_TEST_SERVER " create-and-vanish", "r");
  ASSERT_NE(client, nullptr);
  int server = 0;
  ASSERT_EQ(fscanf(client, "%d", &server), 1);
  EXPECT_EQ(pclose(client), 0);
  auto ended = [&] {
    std::string stat;
    FILE* f = fopen(("/proc/" + std::to_string(server) + "/stat").c_str(), "r");
    if (f == nullptr) return true;
    char buf[512] = {};
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    stat.assign(buf, n);
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
  };
  const auto end = std::chrono::steady_clock::now() + 3s;
  while (!ended() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(ended()) << "server " << server << " outlived its client";
}

// --- Other users ------------------------------------------------------------------

// Runs the helper's "call" mode as `nobody`; its exit status.
int CallAsNobody(const std::u16string& progid) {
  passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return -1;
  const std::string name = Utf16ToUtf8(progid);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
      _exit(50);
    }
    execl(REMOTE_TEST_SERVER, REMOTE_TEST_SERVER, "call", name.c_str(),
          static_cast<char*>(nullptr));
    _exit(51);
  }
  int status = 0;
  if (!quillon::testing::WaitChild(pid, &status)) return -3;  // it hung
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

TEST_F(RemoteTest, StrangersAreRefusedUnlessNamed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  if (getpwnam("nobody") == nullptr) GTEST_SKIP() << "no user nobody";
  // The owner-only directory keeps a stranger out entirely.
  EXPECT_EQ(CallAsNobody(progid_), 11);

  const int before = object_->calls();
  publication_.reset();
  PublishOptions options;
  options.serve_on_thread = true;
  options.allow_users = {"54321"};  // someone else
  ASSERT_EQ(PublishObject(progid_, object_.get(), options, &publication_), S_OK);
  EXPECT_EQ(CallAsNobody(progid_), 10);
  EXPECT_EQ(object_->calls(), before) << "a refused caller reached the object";

  publication_.reset();
  options.allow_users = {"nobody"};
  ASSERT_EQ(PublishObject(progid_, object_.get(), options, &publication_), S_OK);
  EXPECT_EQ(CallAsNobody(progid_), 0);
  EXPECT_EQ(object_->calls(), before + 1);

  // Named through the environment instead.
  publication_.reset();
  setenv("QUILLON_ALLOW_USERS", "root, nobody", 1);
  PublishOptions from_environment;
  from_environment.serve_on_thread = true;
  ASSERT_EQ(PublishObject(progid_, object_.get(), from_environment, &publication_), S_OK);
  EXPECT_EQ(CallAsNobody(progid_), 0);
  unsetenv("QUILLON_ALLOW_USERS");
}

// The helper's "publish" mode as a process of its own, as `user` (nullptr:
// ours) with `runtime_dir` as its runtime directory.
class Publisher {
 public:
  Publisher(const std::string& progid, const char* allowed, const passwd* user,
            const std::string& runtime_dir) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> env = {"QUILLON_RUNTIME_DIR=" + runtime_dir};
    for (const char* keep :
         {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "LD_LIBRARY_PATH", "QUILLON_REGISTRY"}) {
      if (const char* value = getenv(keep)) env.push_back(std::string(keep) + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {REMOTE_TEST_SERVER, "publish", progid};
    if (allowed != nullptr) args.emplace_back(allowed);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const uid_t uid = user != nullptr ? user->pw_uid : 0;
    const gid_t gid = user != nullptr ? user->pw_gid : 0;
    pid_ = fork();
    if (pid_ == 0) {
      if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0) _exit(50);
      if (user != nullptr && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
        _exit(50);
      }
      execve(argv[0], argv.data(), envp.data());
      _exit(51);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Publisher() {
    Kill();
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
  }
  // Whether it said "ready" within ten seconds.
  bool Ready() {
    std::string said;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (said.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      char buf[64];
      const ssize_t n = read(stdout_, buf, sizeof buf);
      if (n <= 0) return false;
      said.append(buf, static_cast<size_t>(n));
    }
    return said == "ready\n";
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

// A page program killed under the debugger leaves its socket file: callers
// find nobody there, and the next publication of the name replaces it.
// Anything but a socket of ours under the name is left alone.
TEST_F(RemoteTest, EndpointOfAPublisherThatDiedCountsAsNothingAndIsReplaced) {
  proxy_.reset();
  publication_.reset();
  const std::string name = Utf16ToUtf8(progid_);
  Publisher publisher(name, nullptr, nullptr, dir_ + "/run");
  ASSERT_TRUE(publisher.Ready());
  ComPtr<IDispatch> object;
  ASSERT_EQ(ConnectToPublishedObject(progid_, object.put()), S_OK);
  EXPECT_EQ(PidOf(object.get()), publisher.pid());
  object.reset();
  publisher.Kill();
  const std::string path = dir_ + "/run/" + name + ".sock";
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0) << "the killed publisher left nothing behind";
  ASSERT_TRUE(S_ISSOCK(st.st_mode));

  EXPECT_EQ(ConnectToPublishedObject(progid_, object.put()), CO_E_CLASSSTRING);
  EXPECT_EQ(CreateObjectByProgId(progid_, object.put()), CO_E_CLASSSTRING);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(progid_.c_str(), &clsid), CO_E_CLASSSTRING);

  PublishOptions options;
  options.serve_on_thread = true;
  ASSERT_EQ(PublishObject(progid_, object_.get(), options, &publication_), S_OK);
  ASSERT_EQ(ConnectToPublishedObject(progid_, proxy_.put()), S_OK);
  const int before = object_->calls();
  EXPECT_EQ(Call(record_, {}), S_OK);
  EXPECT_EQ(object_->calls(), before + 1);

  proxy_.reset();
  publication_.reset();
  for (const bool directory : {false, true}) {
    SCOPED_TRACE(directory);
    if (directory) {
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else {
      FILE* planted = fopen(path.c_str(), "w");
      ASSERT_NE(planted, nullptr);
      fputs("mine", planted);
      fclose(planted);
    }
    std::unique_ptr<Publication> refused;
    EXPECT_EQ(PublishObject(progid_, object_.get(), {}, &refused), E_ACCESSDENIED);
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << "what stood there was removed";
    EXPECT_EQ(S_ISDIR(st.st_mode), directory);
    std::filesystem::remove(path);
  }
}

// A caller whose user others share (the web server's) trusts only the users
// it names: its own user's publication is nothing to it.
TEST_F(RemoteTest, CallerThatDistrustsItsOwnUserSeesNothingPublished) {
  const std::string self = std::to_string(geteuid());
  ConnectOptions distrust;
  distrust.trust_own_user = false;
  ComPtr<IDispatch> object;
  EXPECT_EQ(ConnectToPublishedObject(progid_, distrust, object.put()), E_ACCESSDENIED);
  EXPECT_EQ(CreateObjectByProgId(progid_, distrust, object.put()), E_ACCESSDENIED);
  EXPECT_EQ(object.get(), nullptr);
  const int before = object_->calls();

  ConnectOptions named = distrust;
  named.trust_users = {"no-such-user-here", self};
  ASSERT_EQ(CreateObjectByProgId(progid_, named, object.put()), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(object->Invoke(record_, IID_IDispatch, 0, 1, &none, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(object_->calls(), before + 1);
  object.reset();

  setenv("QUILLON_TRUST_USERS", (" " + self + " ").c_str(), 1);
  EXPECT_EQ(ConnectToPublishedObject(progid_, distrust, object.put()), S_OK);
  unsetenv("QUILLON_TRUST_USERS");
}

// Another user takes the abstract name of a registered program class
// first: the squatter counts as nothing published, and creation starts the
// registered program.
TEST_F(LocalServerTest, SquatterOfAnotherUserDoesNotStopCreation) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  const std::string theirs = dir_ + "/theirs";
  ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
  ASSERT_EQ(chown(theirs.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // so that nobody reaches its directory
  const std::string squatted_name = "Squat" + std::to_string(getpid()) + ".QuillonDebug";
  Publisher registered(std::string("Quillon.RemoteTest.1"), "root", nobody, theirs);
  Publisher unregistered(squatted_name, "root", nobody, theirs);
  if (!registered.Ready() || !unregistered.Ready()) {
    GTEST_SKIP() << "the helper cannot run as nobody here";
  }

  ComPtr<IDispatch> object;
  EXPECT_EQ(ConnectToPublishedObject(u"Quillon.RemoteTest.1", object.put()), E_ACCESSDENIED);
  ASSERT_EQ(CreateObjectByProgId(u"Quillon.RemoteTest.1", object.put()), S_OK);
  const int32_t pid = PidOf(object.get());
  EXPECT_NE(pid, registered.pid()) << "the squatter received the call";
  EXPECT_NE(pid, getpid());
  EXPECT_GT(pid, 0);
  object.reset();

  // An unregistered name it holds is no class at all.
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(Utf8ToUtf16(squatted_name).c_str(), &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CreateObjectByProgId(Utf8ToUtf16(squatted_name), object.put()), E_ACCESSDENIED);
}

TEST(RemoteDirectory, UnsafeDirectoriesAreRefused) {
  char dir_template[] = "/tmp/quillon-dir-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string base = dir_template;
  std::string dir;
  setenv("QUILLON_RUNTIME_DIR", (base + "/ok").c_str(), 1);
  EXPECT_EQ(RuntimeDirectory(&dir), S_OK);
  EXPECT_EQ(dir, base + "/ok");
  // Too open, a symbolic link, a file.
  mkdir((base + "/open").c_str(), 0755);
  chmod((base + "/open").c_str(), 0755);
  symlink((base + "/ok").c_str(), (base + "/link").c_str());
  fclose(fopen((base + "/file").c_str(), "w"));
  for (const char* name : {"/open", "/link", "/file"}) {
    setenv("QUILLON_RUNTIME_DIR", (base + name).c_str(), 1);
    EXPECT_EQ(RuntimeDirectory(&dir), E_ACCESSDENIED) << name;
  }
  unsetenv("QUILLON_RUNTIME_DIR");
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace quillon::com

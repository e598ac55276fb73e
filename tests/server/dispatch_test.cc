// The QServer automation class as hosts see it: creation through the class
// factory, its interface table, calls through IDispatch::Invoke with their
// error codes and texts, the two starts by persistence, by-reference
// results, property-change notification, and the library's other classes.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/client/identities.h"
#include "quillon/server/identities.h"
#include "quillon/component/object.h"
#include "quillon/component/persistence.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/server/iqserver.h"
#include "server/qserver_object.h"
#include "tests/support/message_language.h"

namespace quillon::server {
namespace {

using namespace std::string_literals;
using com::Bstr;
using com::ComPtr;
using com::DISPID;
using com::EXCEPINFO;
using com::Variant;
namespace fs = std::filesystem;

constexpr char16_t kMessage10004[] = u"指定されたインデックスの値は無効です。";
constexpr char16_t kMessage10005[] = u"指定されたＣＧＩパラメータは存在しません。 パラメータ名＝";
constexpr char16_t kMessage10001[] =
    u"バイナリ・データの形式が無効です。 Byte型の配列のみ使用可能です。";

ComPtr<IQServer> CreateServer() {
  ComPtr<com::IClassFactory> factory;
  EXPECT_EQ(DllGetClassObject(ids::CLSID_QServer, com::IID_IClassFactory, factory.put_void()),
            com::S_OK);
  ComPtr<IQServer> server;
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, ids::IID_IQServer, server.put_void()), com::S_OK);
  }
  return server;
}

// Starts `server` like a host that keeps no properties: InitNew, so that
// it neither reads a request nor writes to the test's standard output...
// except that the response is written at release; tests that release a
// live object capture standard output.
void StartOffLine(IQServer* server) {
  ComPtr<com::IPersistPropertyBag> bag;
  ASSERT_EQ(server->QueryInterface(com::IID_IPersistPropertyBag, bag.put_void()), com::S_OK);
  ASSERT_EQ(bag->Load(com::MakePropertyBag().get(), nullptr), com::S_OK);
}

// A call through Invoke: arguments in declaration order.
struct CallResult {
  com::HRESULT hr;
  Variant value;
  com::SCODE scode = 0;
  std::u16string description;
  std::u16string source;
  int number = 0;  // the message number Invoke handed on
};

CallResult Invoke(com::IDispatch* object, DISPID dispid, com::WORD flags,
                  std::vector<Variant> args = {}) {
  std::vector<com::VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
  DISPID put_id = com::DISPID_PROPERTYPUT;
  com::DISPPARAMS params{reversed.data(), nullptr, static_cast<com::UINT>(reversed.size()), 0};
  if (flags == com::DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put_id;
    params.cNamedArgs = 1;
  }
  CallResult r;
  EXCEPINFO info{};
  com::VARIANT value{};
  com::UINT arg_error = 0;
  r.hr = object->Invoke(dispid, com::GUID_NULL, 0, flags, &params, &value, &info, &arg_error);
  r.value.Adopt(&value);
  r.scode = info.scode;
  r.description = std::u16string(Bstr::View(info.bstrDescription));
  r.source = std::u16string(Bstr::View(info.bstrSource));
  r.number = info.wReserved;
  com::ClearExcepInfo(&info);
  return r;
}

std::u16string Text(const Variant& v) {
  return v.vt() == com::VT_BSTR ? std::u16string(Bstr::View(v.get()->bstrVal)) : u"<not text>";
}

// Standard output of the code in between, as bytes.
class CaptureStdout {
 public:
  CaptureStdout() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    path_ = fs::temp_directory_path() / ("qserver_stdout_" + std::to_string(::getpid()));
    const int fd = ::open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
  }
  std::string Finish() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    fs::remove(path_);
    return content.str();
  }

 private:
  int saved_;
  fs::path path_;
};

// Environment variables and standard input of a CGI request, put back
// afterwards.
class CgiRequest {
 public:
  CgiRequest(std::vector<std::pair<const char*, std::string>> env, const std::string& body) {
    for (const auto& [name, value] : env) {
      const char* old = std::getenv(name);
      saved_env_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      setenv(name, value.c_str(), 1);
    }
    path_ = fs::temp_directory_path() / ("qserver_stdin_" + std::to_string(::getpid()));
    std::ofstream(path_, std::ios::binary) << body;
    saved_stdin_ = ::dup(STDIN_FILENO);
    const int fd = ::open(path_.c_str(), O_RDONLY);
    ::dup2(fd, STDIN_FILENO);
    ::close(fd);
  }
  ~CgiRequest() {
    ::dup2(saved_stdin_, STDIN_FILENO);
    ::close(saved_stdin_);
    fs::remove(path_);
    for (const auto& [name, old] : saved_env_) {
      if (old) {
        setenv(name, old->c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_env_;
  fs::path path_;
  int saved_stdin_;
};

// --- Creation and identity ----------------------------------------------------------------

// The property pages are objects of the desktop library, which the server
// library loads from beside itself; this program links the server's code,
// so it names the library.
class DesktopLibrary {
 public:
  DesktopLibrary() { setenv("QUILLON_DESKTOP_LIB", DESKTOP_LIBRARY, 1); }
  ~DesktopLibrary() { unsetenv("QUILLON_DESKTOP_LIB"); }
};

TEST(Factory, CreatesEveryClassOfTheLibrary) {
  DesktopLibrary desktop;
  for (const com::CLSID* clsid : {&ids::CLSID_QServer, &ids::CLSID_QHtmlDoc, &ids::CLSID_HtmlTag,
                                  &ids::CLSID_HtmlTags, &ids::CLSID_QServerPropPage,
                                  &ids::CLSID_QHtmlDocPropPage}) {
    ComPtr<com::IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(*clsid, com::IID_IClassFactory, factory.put_void()), com::S_OK)
        << com::FormatGuid(*clsid);
    ComPtr<com::IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(nullptr, com::IID_IUnknown, object.put_void()), com::S_OK);
    ComPtr<com::IUnknown> aggregate;
    EXPECT_EQ(factory->CreateInstance(object.get(), com::IID_IUnknown, aggregate.put_void()),
              com::CLASS_E_NOAGGREGATION);
    // A QServer that was never started still answers when it goes.
    CaptureStdout capture;
    object.reset();
    EXPECT_EQ(capture.Finish().empty(), *clsid != ids::CLSID_QServer);
  }
  ComPtr<com::IClassFactory> none;
  EXPECT_EQ(DllGetClassObject(ids::CLSID_QClient, com::IID_IClassFactory, none.put_void()),
            com::CLASS_E_CLASSNOTAVAILABLE);
}

TEST(Factory, LibraryMayUnloadOnlyWhenNothingLives) {
  ASSERT_EQ(DllCanUnloadNow(), com::S_OK);
  {
    ComPtr<IQServer> server = CreateServer();
    StartOffLine(server.get());
    EXPECT_EQ(DllCanUnloadNow(), com::S_FALSE);
  }
  EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
}

void ExpectInterfaces(const com::CLSID& clsid, const std::vector<const com::IID*>& answered,
                      const std::vector<const com::IID*>& refused) {
  ComPtr<com::IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(clsid, com::IID_IClassFactory, factory.put_void()), com::S_OK);
  ComPtr<com::IUnknown> identity;
  ASSERT_EQ(factory->CreateInstance(nullptr, com::IID_IUnknown, identity.put_void()), com::S_OK);
  for (const com::IID* iid : answered) {
    ComPtr<com::IUnknown> itf;
    EXPECT_EQ(identity->QueryInterface(*iid, itf.put_void()), com::S_OK) << com::FormatGuid(*iid);
    ComPtr<com::IUnknown> back;
    if (itf) {
      ASSERT_EQ(itf->QueryInterface(com::IID_IUnknown, back.put_void()), com::S_OK);
      EXPECT_EQ(back.get(), identity.get()) << "one identity per object";
    }
  }
  for (const com::IID* iid : refused) {
    ComPtr<com::IUnknown> itf;
    EXPECT_EQ(identity->QueryInterface(*iid, itf.put_void()), com::E_NOINTERFACE)
        << com::FormatGuid(*iid);
  }
  // A live QServer would write a response when released.
  ComPtr<com::IPersistPropertyBag> bag;
  if (com::Succeeded(identity->QueryInterface(com::IID_IPersistPropertyBag, bag.put_void()))) {
    bag->Load(com::MakePropertyBag().get(), nullptr);
  }
}

TEST(Interfaces, QServerAndQHtmlDocAnswerTheControlSet) {
  const std::vector<const com::IID*> control = {
      &com::IID_IDispatch,          &com::IID_IPersistStreamInit,  &com::IID_IPersist,
      &com::IID_ISupportErrorInfo,  &com::IID_IConnectionPointContainer,
      &com::IID_ISpecifyPropertyPages, &com::IID_IPersistStorage, &com::IID_IProvideClassInfo,
      &com::IID_IProvideClassInfo2, &com::IID_IPersistPropertyBag};
  auto with = [&](const com::IID* own) {
    std::vector<const com::IID*> all = {own};
    all.insert(all.end(), control.begin(), control.end());
    return all;
  };
  ExpectInterfaces(ids::CLSID_QServer, with(&ids::IID_IQServer),
                   {&ids::IID_IQHtmlDoc, &com::IID_IEnumVARIANT});
  ExpectInterfaces(ids::CLSID_QHtmlDoc, with(&ids::IID_IQHtmlDoc),
                   {&ids::IID_IQServer, &com::IID_IEnumVARIANT});
}

TEST(Interfaces, TagsTagAndPropertyPages) {
  DesktopLibrary desktop;
  ExpectInterfaces(ids::CLSID_HtmlTag,
                   {&ids::IID_IHtmlTag, &com::IID_IDispatch, &com::IID_ISupportErrorInfo},
                   {&com::IID_IEnumVARIANT, &com::IID_IPersistStreamInit});
  ExpectInterfaces(ids::CLSID_HtmlTags,
                   {&ids::IID_IHtmlTags, &com::IID_IDispatch, &com::IID_ISupportErrorInfo,
                    &com::IID_IEnumVARIANT},
                   {&ids::IID_IHtmlTag});
  for (const com::CLSID* page : {&ids::CLSID_QServerPropPage, &ids::CLSID_QHtmlDocPropPage}) {
    ExpectInterfaces(*page, {&com::IID_IUnknown, &com::IID_IPropertyPage},
                     {&com::IID_IDispatch});
  }
}

TEST(Interfaces, EmptyCollectionEnumeratesNothing) {
  ComPtr<com::IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(ids::CLSID_HtmlTags, com::IID_IClassFactory, factory.put_void()),
            com::S_OK);
  ComPtr<com::IEnumVARIANT> items;
  ASSERT_EQ(factory->CreateInstance(nullptr, com::IID_IEnumVARIANT, items.put_void()), com::S_OK);
  com::VARIANT item{};
  com::ULONG fetched = 7;
  EXPECT_EQ(items->Next(1, &item, &fetched), com::S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(items->Skip(1), com::S_FALSE);
  ComPtr<com::IEnumVARIANT> clone;
  EXPECT_EQ(items->Clone(clone.put()), com::E_NOTIMPL) << "the collection is its one enumerator";
  EXPECT_FALSE(clone);
}

// --- Calls and their errors ------------------------------------------------------------------

TEST(Invoke, TableErrorCarriesNumberTextAndSource) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  CallResult r = Invoke(server.get(), QServerDispid(u"GetDataName"), com::DISPATCH_METHOD,
                        {Variant::I4(5)});
  EXPECT_EQ(r.hr, com::DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<uint32_t>(r.scode), 0x80042714u);
  EXPECT_EQ(r.description, kMessage10004);
  EXPECT_EQ(r.source, u"QServer.QServer.3");
  EXPECT_EQ(r.number, 10004);
}

TEST(Invoke, MissingValueIsAComposedMessage) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  CallResult r = Invoke(server.get(), QServerDispid(u"GetStringData"), com::DISPATCH_METHOD,
                        {Variant::String(u"名前"), Variant::I4(0)});
  EXPECT_EQ(static_cast<uint32_t>(r.scode), 0x80020009u);
  EXPECT_EQ(r.description, std::u16string(kMessage10005) + u"名前");
  EXPECT_EQ(r.source, u"QServer.QServer.3");
  EXPECT_EQ(r.number, 10005) << "the code cannot tell it; the number travels beside it";
}

// Under QUILLON_MESSAGES=en the same failures name what the call was given;
// their codes are those of the Japanese run.
TEST(Invoke, EnglishDescriptionsKeepTheCodes) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  ComPtr<com::IClassFactory> factory;
  ASSERT_EQ(DllGetClassObject(ids::CLSID_QHtmlDoc, com::IID_IClassFactory, factory.put_void()),
            com::S_OK);
  ComPtr<com::IDispatch> doc;
  ASSERT_EQ(factory->CreateInstance(nullptr, com::IID_IDispatch, doc.put_void()), com::S_OK);
  const struct Case {
    com::IDispatch* object;
    DISPID dispid;
    com::WORD flags;
    std::vector<Variant> args;
    uint32_t scode;
    int number;
    std::u16string english;
  } cases[] = {
      {server.get(), QServerDispid(u"GetDataName"), com::DISPATCH_METHOD, {Variant::I4(5)},
       0x80042714u, 10004, u"The index is not valid. Index: 5 (0 names)"},
      {server.get(), QServerDispid(u"GetStringData"), com::DISPATCH_METHOD,
       {Variant::String(u"名前"), Variant::I4(0)}, 0x80020009u, 10005,
       u"The CGI parameter does not exist. Parameter name: 名前"},
      {server.get(), QServerDispid(u"WriteFromFile"), com::DISPATCH_METHOD,
       {Variant::String(u"/nonexistent/quillon/page.bin")}, 0x80042712u, 10002,
       u"The file does not exist or cannot be read. File: /nonexistent/quillon/page.bin"},
      {server.get(), QServerDispid(u"SaveRequestData"), com::DISPATCH_METHOD,
       {Variant::String(u"/nonexistent/quillon/request.txt")}, 0x80042713u, 10003,
       u"The file cannot be written. File: /nonexistent/quillon/request.txt"},
      // QHtmlDoc.Item with a key that is neither text nor a whole number.
      {doc.get(), 13, com::DISPATCH_PROPERTYGET, {Variant::R8(1.5)}, 0x80042714u, 10004,
       u"The index is not valid. (neither text nor a whole number)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(com::Utf16ToUtf8(c.english));
    for (const char* setting : {static_cast<const char*>(nullptr), "en"}) {
      quillon::testing::ScopedMessages messages(setting);
      CallResult r = Invoke(c.object, c.dispid, c.flags, c.args);
      EXPECT_EQ(r.hr, com::DISP_E_EXCEPTION);
      EXPECT_EQ(static_cast<uint32_t>(r.scode), c.scode);
      EXPECT_EQ(r.number, c.number);
      if (setting != nullptr) {
        EXPECT_EQ(r.description, c.english);
      } else {
        EXPECT_EQ(r.description, MessageText16(c.number) + (c.number == 10005 ? u"名前" : u""));
      }
    }
  }
}

TEST(Invoke, EarlyBoundCallsRecordErrorInformation) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  Bstr name;
  EXPECT_EQ(static_cast<uint32_t>(server->GetDataName(-1, name.put())), 0x80042714u);
  ComPtr<com::IErrorInfo> info;
  ASSERT_EQ(com::GetErrorInfo(0, info.put()), com::S_OK);
  Bstr description;
  info->GetDescription(description.put());
  EXPECT_EQ(description.view(), kMessage10004);
  com::GUID iid{};
  info->GetGUID(&iid);
  EXPECT_TRUE(iid == ids::IID_IQServer);
  ComPtr<com::ISupportErrorInfo> support;
  ASSERT_EQ(server->QueryInterface(com::IID_ISupportErrorInfo, support.put_void()), com::S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(ids::IID_IQServer), com::S_OK);
}

TEST(Invoke, NonArrayBinaryFailsAndAppendsNothing) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  CallResult r = Invoke(server.get(), QServerDispid(u"SetBinaryData"), com::DISPATCH_METHOD,
                        {Variant::String(u"b"), Variant::String(u"not bytes")});
  EXPECT_EQ(static_cast<uint32_t>(r.scode), 0x80042711u);
  EXPECT_EQ(r.description, kMessage10001);
  r = Invoke(server.get(), QServerDispid(u"WriteBinary"), com::DISPATCH_METHOD, {Variant::I4(1)});
  EXPECT_EQ(static_cast<uint32_t>(r.scode), 0x80042711u);

  // By reference, as a script passes a variable.
  Variant bytes = Variant::Bytes("\0\xFF"s);
  ASSERT_EQ(Invoke(server.get(), QServerDispid(u"SetBinaryData"), com::DISPATCH_METHOD,
                   {Variant::String(u"b"), Variant::RefTo(bytes.get())})
                .hr,
            com::S_OK);
  Bstr header;
  com::VARIANT body{};
  ASSERT_EQ(server->DebugExit(header.put(), &body), com::S_OK);
  Variant owned;
  owned.Adopt(&body);
  EXPECT_EQ(Text(owned), u"QServerParams:b=%00%FF&QServerResult=");
}

TEST(Invoke, ValuesRoundTripAsBytesAndText) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  Variant env = Variant::String(u"QUERY_STRING=t=%E5%90%8D+1&b=%00%01\r\n");
  ASSERT_EQ(Invoke(server.get(), QServerDispid(u"DebugInit"), com::DISPATCH_METHOD,
                   {env, Variant()})
                .hr,
            com::S_OK);
  CallResult text = Invoke(server.get(), QServerDispid(u"GetStringData"), com::DISPATCH_METHOD,
                           {Variant::String(u"T"), Variant::I4(0)});
  EXPECT_EQ(Text(text.value), u"名 1");
  CallResult bytes = Invoke(server.get(), QServerDispid(u"GetBinaryData"), com::DISPATCH_METHOD,
                            {Variant::String(u"b"), Variant::I4(0)});
  std::string got;
  ASSERT_TRUE(Variant::GetBytes(*bytes.value.get(), &got));
  EXPECT_EQ(got, "\0\x01"s);
  int32_t lower = -1;
  com::SafeArrayGetLBound(bytes.value.get()->parray, 1, &lower);
  EXPECT_EQ(lower, 0);
}

// Without the desktop library the about box is an automation error in the
// server objects' convention, and the object goes on working.
TEST(Invoke, AboutBoxWithoutTheDesktopLibraryIsAnError) {
  setenv("QUILLON_DESKTOP_LIB", "/nonexistent/libquillon-desktop.so", 1);
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  CallResult r = Invoke(server.get(), -552, com::DISPATCH_METHOD);
  unsetenv("QUILLON_DESKTOP_LIB");
  EXPECT_EQ(r.hr, com::DISP_E_EXCEPTION);
  EXPECT_EQ(r.scode, com::DISP_E_EXCEPTION);
  EXPECT_EQ(r.source, u"QServer.QServer.3");
  EXPECT_TRUE(r.description.starts_with(u"予期せぬエラーが発生しました。\nデスクトップ部品を読み込めません（"
                                        u"/nonexistent/libquillon-desktop.so）。"))
      << com::Utf16ToUtf8(r.description);
  CallResult after = Invoke(server.get(), QServerDispid(u"URLEncode"), com::DISPATCH_METHOD,
                            {Variant::String(u"a b")});
  EXPECT_EQ(after.hr, com::S_OK);
  EXPECT_EQ(Text(after.value), u"a+b");
}

TEST(Invoke, RecordsetFailuresCarryTheirOwnText) {
  // No engine registered anywhere: the binding's "no engine" failure.
  const std::string registry = ::testing::TempDir() + "/no-engines-registry";
  setenv("QUILLON_REGISTRY", registry.c_str(), 1);
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  CallResult r = Invoke(server.get(), 17, com::DISPATCH_METHOD,
                        {Variant::String(u"rows"), Variant::I2(3), Variant::String(u"x.db"),
                         Variant::String(u"t")});
  unsetenv("QUILLON_REGISTRY");
  EXPECT_EQ(r.hr, com::DISP_E_EXCEPTION);
  EXPECT_EQ(r.scode, com::DISP_E_EXCEPTION) << "a composed text, as 0x80020009";
  EXPECT_EQ(r.description, MessageText16(20001));
  EXPECT_EQ(r.source, u"QServer.QServer.3");
  EXPECT_EQ(r.number, 20001) << "the table's text, so the table's number";
}

TEST(Invoke, InjectedHeaderLinesAreAnInvalidArgument) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  const std::u16string refused[] = {u"X-A: 1\r\n\r\n<html>", u"X-A: 1\r\nnot a header",
                                    u"X-A: 1\r\n"};
  for (const std::u16string& header : refused) {
    CallResult r = Invoke(server.get(), QServerDispid(u"AddHeader"), com::DISPATCH_METHOD,
                          {Variant::String(header)});
    EXPECT_EQ(r.scode, com::E_INVALIDARG);
    EXPECT_FALSE(r.description.empty()) << "says why";
  }
  CallResult two = Invoke(server.get(), QServerDispid(u"AddHeader"), com::DISPATCH_METHOD,
                          {Variant::String(u"X-A: 1\r\nX-B: 2")});
  EXPECT_EQ(two.hr, com::S_OK) << "two proper header lines in one call";
}

TEST(Invoke, NamesResolveCaseInsensitively) {
  ComPtr<IQServer> server = CreateServer();
  DISPID id = 0;
  const char16_t* name = u"GetDataIntoRecordsets";
  EXPECT_EQ(server->GetIDsOfNames(com::GUID_NULL, const_cast<char16_t**>(&name), 1, 0, &id),
            com::DISP_E_UNKNOWNNAME);
  name = u"getdataintorecordset";
  EXPECT_EQ(server->GetIDsOfNames(com::GUID_NULL, const_cast<char16_t**>(&name), 1, 0, &id),
            com::S_OK);
  EXPECT_EQ(id, 30);
  name = u"sessionvariable";
  EXPECT_EQ(server->GetIDsOfNames(com::GUID_NULL, const_cast<char16_t**>(&name), 1, 0, &id),
            com::S_OK);
  EXPECT_EQ(id, QServerDispid(u"SessionVariable"));
}

TEST(Invoke, ByReferenceResultsOfDebugExit) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  ASSERT_EQ(server->SetStringData(Bstr(u"x").get(), Bstr(u"y").get()), com::S_OK);
  Bstr header;
  Variant body = Variant::I4(3);
  com::VARIANT header_ref{};
  header_ref.vt = com::VT_BYREF | com::VT_BSTR;
  header_ref.pbstrVal = header.put();
  *header_ref.pbstrVal = com::SysAllocString(u"old");
  ASSERT_EQ(Invoke(server.get(), QServerDispid(u"DebugExit"), com::DISPATCH_METHOD,
                   {Variant(header_ref), Variant::RefTo(body.get())})
                .hr,
            com::S_OK);
  EXPECT_EQ(header.view(), u"Content-Type: text/html\r\nConnection: close\r\n");
  EXPECT_EQ(Text(body), u"QServerParams:x=y&QServerResult=");
}

TEST(Invoke, ExpiryFromEachKindOfVariant) {
  const char* old_tz = std::getenv("TZ");
  const std::optional<std::string> saved = old_tz ? std::optional<std::string>(old_tz) : std::nullopt;
  setenv("TZ", "UTC0", 1);
  tzset();
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  com::DATE date = 0;
  com::PartsToDate(com::DateParts{2009, 1, 1, 9, 0, 0}, &date);
  Variant dated = Variant::Date(date);
  for (Variant v : {Variant::Date(date), Variant::RefTo(dated.get()), Variant::String(u"tomorrow"),
                    Variant::I4(5)}) {
    ASSERT_EQ(server->SetExpires(*v.get()), com::S_OK);
  }
  ASSERT_EQ(Invoke(server.get(), QServerDispid(u"SetCookie"), com::DISPATCH_METHOD,
                   {Variant::String(u"a"), Variant::String(u"1 2")})
                .hr,
            com::S_OK);
  ASSERT_EQ(server->SetCookie(Bstr(u"b").get(), Bstr(u"").get(), *dated.get()), com::S_OK);
  Bstr header;
  com::VARIANT body{};
  ASSERT_EQ(server->DebugExit(header.put(), &body), com::S_OK);
  com::VariantClear(&body);
  EXPECT_EQ(header.view(),
            u"Content-Type: text/html\r\n"
            u"Expires: Thu, 01 Jan 2009 09:00:00 GMT\r\n"
            u"Expires: Thu, 01 Jan 2009 09:00:00 GMT\r\n"
            u"Expires: Sat, 30 Dec 1899 00:00:00 GMT\r\n"
            u"Expires: Sat, 30 Dec 1899 00:00:00 GMT\r\n"
            u"Set-Cookie: a=1+2;  path=/\r\n"
            u"Set-Cookie: b=; expires=Thu, 01-Jan-2009 09:00:00 GMT;  path=/\r\n"
            u"Connection: close\r\n");
  // The integer 0, 16 or 32 bits, means now: a current year appears.
  ASSERT_EQ(server->SetExpires(*Variant::I2(0).get()), com::S_OK);
  ASSERT_EQ(server->DebugExit(header.put(), &body), com::S_OK);
  com::VariantClear(&body);
  EXPECT_EQ(header.utf8().find("1899", header.utf8().rfind("Expires")), std::string::npos);
  if (saved) {
    setenv("TZ", saved->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// --- Starts ------------------------------------------------------------------------------------

TEST(Starts, StreamLoadReadsTheRequestAndReleaseWritesTheResponse) {
  CgiRequest request({{"QUERY_STRING", "a=1"},
                      {"CONTENT_LENGTH", "20"},
                      {"CONTENT_TYPE", ""},
                      {"HTTP_COOKIE", "__QuillonSV_s=v"}},
                     "b=%41");
  CaptureStdout capture;
  {
    ComPtr<IQServer> server = CreateServer();
    ComPtr<com::IPersistStreamInit> persist;
    ASSERT_EQ(server->QueryInterface(com::IID_IPersistStreamInit, persist.put_void()), com::S_OK);
    ComPtr<com::IStream> saved = com::MakeMemoryStream();
    ASSERT_EQ(com::WritePropertyStream(saved.get(), {{u"ContentType", Variant::String(u"text/plain")},
                                                     {u"Result", Variant::String(u"saved")}}),
              com::S_OK);
    saved->Seek(0, 0, nullptr);
    ASSERT_EQ(persist->Load(saved.get()), com::S_OK);
    EXPECT_EQ(persist->Load(saved.get()), com::E_UNEXPECTED) << "one start per object";
    Bstr value;
    ASSERT_EQ(server->GetStringData(Bstr(u"b").get(), 0, value.put()), com::S_OK);
    EXPECT_EQ(value.view(), u"A");
    ASSERT_EQ(server->get_Result(value.put()), com::S_OK);
    EXPECT_EQ(value.view(), u"saved");
    VARIANT_BOOL offline = com::VARIANT_TRUE;
    server->get_OffLineDebug(&offline);
    EXPECT_EQ(offline, com::VARIANT_FALSE);
  }
  EXPECT_EQ(capture.Finish(),
            "Content-Type: text/plain\r\n"
            "Set-Cookie: __QuillonSV_s=v;  path=/\r\n"
            "Connection: close\r\n\r\n"
            "QServerParams:QServerResult=saved")
      << "a Result loaded from the host's saved properties reaches the client";
}

TEST(Starts, PropertyBagLoadIsOfflineAndWritesNothing) {
  CaptureStdout capture;
  {
    ComPtr<IQServer> server = CreateServer();
    ComPtr<com::IPersistPropertyBag> bag;
    ASSERT_EQ(server->QueryInterface(com::IID_IPersistPropertyBag, bag.put_void()), com::S_OK);
    ASSERT_EQ(bag->Load(com::MakePropertyBag({{u"ContentType", Variant::String(u"a/b")}}).get(),
                        nullptr),
              com::S_OK);
    CallResult offline = Invoke(server.get(), QServerDispid(u"OffLineDebug"),
                                com::DISPATCH_PROPERTYGET);
    ASSERT_EQ(offline.value.vt(), com::VT_BOOL);
    EXPECT_EQ(offline.value.get()->boolVal, com::VARIANT_TRUE);
    Variant body = Variant::Bytes("b=2\0"s);
    ASSERT_EQ(server->DebugInit(Bstr(u"QUERY_STRING=a=1\r\n").get(), *body.get()), com::S_OK);
    int32_t count = 0;
    server->GetDataNameCount(&count);
    EXPECT_EQ(count, 2);
    Bstr type;
    server->get_ContentType(type.put());
    EXPECT_EQ(type.view(), u"a/b");
    server->WriteString(Bstr(u"never written").get());
  }
  EXPECT_EQ(capture.Finish(), "");
}

TEST(Starts, ReleaseWithoutLoadStillAnswers) {
  CaptureStdout capture;
  {
    ComPtr<IQServer> server = CreateServer();
    server->WriteString(Bstr(u"hi").get());
  }
  EXPECT_EQ(capture.Finish(), "Content-Type: text/html\r\nConnection: close\r\n\r\nhi\r\n");
}

// --- Property-change notification -----------------------------------------------------------------

class Sink : public com::IPropertyNotifySink {
 public:
  com::HRESULT QueryInterface(com::REFIID iid, void** object) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IPropertyNotifySink) {
      *object = static_cast<com::IPropertyNotifySink*>(this);
      AddRef();
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return ++refs; }
  com::ULONG Release() override { return --refs; }
  com::HRESULT OnChanged(DISPID dispid) override {
    changed.push_back(dispid);
    return com::S_OK;
  }
  com::HRESULT OnRequestEdit(DISPID) override { return com::S_OK; }

  com::ULONG refs = 0;
  std::vector<DISPID> changed;
};

TEST(Notification, ContentTypeAndResultTellTheirListeners) {
  Sink sink;
  {
    ComPtr<IQServer> server = CreateServer();
    StartOffLine(server.get());
    ComPtr<com::IConnectionPointContainer> container;
    ASSERT_EQ(server->QueryInterface(com::IID_IConnectionPointContainer, container.put_void()),
              com::S_OK);
    ComPtr<com::IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(com::IID_IPropertyNotifySink, point.put()),
              com::S_OK);
    ComPtr<com::IConnectionPoint> none;
    EXPECT_EQ(container->FindConnectionPoint(com::IID_IDispatch, none.put()),
              com::CONNECT_E_NOCONNECTION);
    com::DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&sink, &cookie), com::S_OK);
    server->put_ContentType(Bstr(u"text/plain").get());
    Invoke(server.get(), QServerDispid(u"Result"), com::DISPATCH_PROPERTYPUT,
           {Variant::String(u"OK")});
    server->WriteString(Bstr(u"x").get());
    EXPECT_EQ(sink.changed, (std::vector<DISPID>{1, 2}));
    ASSERT_EQ(point->Unadvise(cookie), com::S_OK);
    server->put_Result(Bstr(u"again").get());
    EXPECT_EQ(sink.changed.size(), 2u);
  }
  EXPECT_EQ(sink.refs, 0u);
}

// A script's event sink: it answers IDispatch and nothing else.
struct ScriptSink : com::IDispatch {
  com::HRESULT QueryInterface(com::REFIID iid, void** object) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IDispatch) {
      *object = static_cast<com::IDispatch*>(this);
      AddRef();
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return ++refs; }
  com::ULONG Release() override { return --refs; }
  com::HRESULT GetTypeInfoCount(com::UINT*) override { return com::E_NOTIMPL; }
  com::HRESULT GetTypeInfo(com::UINT, com::LCID, com::ITypeInfo**) override {
    return com::E_NOTIMPL;
  }
  com::HRESULT GetIDsOfNames(com::REFIID, com::LPOLESTR*, com::UINT, com::LCID,
                             DISPID*) override {
    return com::E_NOTIMPL;
  }
  com::HRESULT Invoke(DISPID, com::REFIID, com::LCID, com::WORD, com::DISPPARAMS*, VARIANT*,
                      com::EXCEPINFO*, com::UINT*) override {
    return com::E_NOTIMPL;
  }
  com::ULONG refs = 0;
};

TEST(Notification, TheAdvertisedEventInterfaceCanBeConnected) {
  ScriptSink script;
  Sink notify_only;
  {
    ComPtr<IQServer> server = CreateServer();
    ComPtr<com::IProvideClassInfo2> info;
    ASSERT_EQ(server->QueryInterface(com::IID_IProvideClassInfo2, info.put_void()), com::S_OK);
    com::GUID source{};
    ASSERT_EQ(info->GetGUID(com::GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), com::S_OK);
    ComPtr<com::IConnectionPointContainer> container;
    ASSERT_EQ(server->QueryInterface(com::IID_IConnectionPointContainer, container.put_void()),
              com::S_OK);
    ComPtr<com::IConnectionPoint> point;
    ASSERT_EQ(container->FindConnectionPoint(source, point.put()), com::S_OK);
    com::IID connected{};
    ASSERT_EQ(point->GetConnectionInterface(&connected), com::S_OK);
    EXPECT_EQ(connected, ids::DIID__IQServerEvents);
    com::DWORD cookie = 0;
    ASSERT_EQ(point->Advise(&script, &cookie), com::S_OK);
    EXPECT_NE(cookie, 0u);
    com::DWORD refused = 7;
    EXPECT_EQ(point->Advise(&notify_only, &refused), com::CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(point->Unadvise(cookie), com::S_OK);
    EXPECT_EQ(point->Unadvise(cookie), com::CONNECT_E_NOCONNECTION);
  }
  EXPECT_EQ(script.refs, 0u);
}

// --- Session variables and handles through the interface --------------------------------------------

TEST(Invoke, SessionVariableIsAnIndexedProperty) {
  ComPtr<IQServer> server = CreateServer();
  StartOffLine(server.get());
  ASSERT_EQ(Invoke(server.get(), QServerDispid(u"SessionVariable"), com::DISPATCH_PROPERTYPUT,
                   {Variant::String(u"User"), Variant::String(u"太郎")})
                .hr,
            com::S_OK);
  CallResult r = Invoke(server.get(), QServerDispid(u"SessionVariable"), com::DISPATCH_PROPERTYGET,
                        {Variant::String(u"USER")});
  EXPECT_EQ(Text(r.value), u"太郎");
  int32_t handle = 0;
  ASSERT_EQ(server->get__InternalPointer(&handle), com::S_OK);
  ASSERT_NE(QServer::FromHandle(handle), nullptr);
  EXPECT_EQ(QServer::FromHandle(handle)->SessionVariable("user"), "\xE5\xA4\xAA\xE9\x83\x8E");
}

TEST(Leaks, StringsAndArraysAreBalanced) {
  const long strings = com::LiveStringCount();
  const long arrays = com::LiveArrayCount();
  {
    ComPtr<IQServer> server = CreateServer();
    StartOffLine(server.get());
    Variant bytes = Variant::Bytes("abc"s);
    Invoke(server.get(), QServerDispid(u"SetBinaryData"), com::DISPATCH_METHOD,
           {Variant::String(u"b"), bytes});
    Invoke(server.get(), QServerDispid(u"GetDataName"), com::DISPATCH_METHOD, {Variant::I4(9)});
    Variant header = Variant::String(u"");
    Variant body;
    Invoke(server.get(), QServerDispid(u"DebugExit"), com::DISPATCH_METHOD,
           {Variant::RefTo(header.get()), Variant::RefTo(body.get())});
  }
  com::SetErrorInfo(0, nullptr);
  EXPECT_EQ(com::LiveStringCount(), strings);
  EXPECT_EQ(com::LiveArrayCount(), arrays);
}

}  // namespace
}  // namespace quillon::server

// QMonitorDoc through its dispatch interface: the member table, argument
// conversions, the editors behind it and the unattended (scripted) mode.
#include "monitor/ui/monitor_doc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "monitor/ui/monitor.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/variant.h"
#include "tests/monitor/ui/ui_support.h"

namespace quillon::monitor {
namespace {

using namespace std::string_literals;
using com::ComPtr;
using com::Variant;
using testing::Click;
using testing::EnterValue;
using testing::ReadFile;
using testing::WriteFile;

std::string Dump(const com::MemberTable& table) {
  std::ostringstream out;
  out << com::Utf16ToUtf8(table.interface_name) << "\n";
  for (const com::MemberInfo& m : table.members) {
    out << m.dispid << " " << (m.kind == com::DISPATCH_METHOD ? "method" : "property") << " "
        << com::Utf16ToUtf8(m.name) << "(";
    for (size_t i = 0; i < m.param_count; ++i) {
      out << (i > 0 ? ", " : "") << com::Utf16ToUtf8(m.ParamName(i)) << " vt" << m.param_types[i];
    }
    out << ") vt" << m.result << "; required " << int{m.required} << (m.hidden ? "; hidden" : "")
        << "\n";
  }
  return out.str();
}

TEST(MonitorDocMembers, TableIsTheDocumentedOne) {
  // vt8 = string, vt12 = variant, vt0 = no result.
  EXPECT_EQ(Dump(kMonitorDocMembers.table),
            "IQMonitorDoc\n"
            "1 method EditRequestData(RequestText vt8) vt8; required 1\n"
            "2 method EditResponseData(HeaderText vt8, Body vt12, Kind vt8) vt8; required 3\n"
            "3 method SetCurDir(Path vt8) vt0; required 1\n");
}

ComPtr<com::IDispatch> NewDoc() {
  ComPtr<com::IDispatch> doc;
  EXPECT_EQ(CreateMonitorDoc(doc.put()), com::S_OK);
  return doc;
}

TEST(MonitorDocObject, NamesResolveToTheirDispids) {
  ComPtr<com::IDispatch> doc = NewDoc();
  ASSERT_TRUE(doc);
  struct Case {
    const char16_t* name;
    com::DISPID dispid;
  } cases[] = {{u"EditRequestData", 1}, {u"editresponsedata", 2}, {u"SetCurDir", 3}};
  for (const Case& c : cases) {
    com::LPOLESTR names[] = {const_cast<com::LPOLESTR>(c.name)};
    com::DISPID id = 0;
    EXPECT_EQ(doc->GetIDsOfNames(com::GUID_NULL, names, 1, 0, &id), com::S_OK);
    EXPECT_EQ(id, c.dispid);
  }
  EXPECT_EQ(CreateMonitorDoc(nullptr), com::E_POINTER);
  ComPtr<com::IUnknown> none;
  EXPECT_NE(doc->QueryInterface(com::IID_IClassFactory, none.put_void()), com::S_OK);
}

TEST(MonitorDocObject, BodyVariantsBecomeStringsBytesOrNothing) {
  Variant text = Variant::String(u"a=1\u3042");
  Variant bytes = Variant::Bytes("\0\x01\xff"s);
  Variant by_ref = Variant::RefTo(text.get());
  Variant number = Variant::I4(5);
  Variant empty;
  struct Case {
    const char* label;
    const VARIANT* body;
    ResponseBody expected;
  } cases[] = {
      {"string", text.get(), ResponseBody::String(ToCodePage(QString::fromUtf16(u"a=1\u3042")))},
      {"bytes", bytes.get(), ResponseBody::Bytes("\0\x01\xff"s)},
      {"variant by reference", by_ref.get(),
       ResponseBody::String(ToCodePage(QString::fromUtf16(u"a=1\u3042")))},
      {"number", number.get(), ResponseBody::Empty()},
      {"empty", empty.get(), ResponseBody::Empty()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(BodyFromVariant(*c.body), c.expected);
  }
}

// Runs a method by name with arguments in declaration order.
com::HRESULT Call(com::IDispatch* doc, std::u16string_view name, std::vector<Variant>& args,
                  Variant* result) {
  result->Clear();
  std::vector<VARIANT> raw;
  for (Variant& a : args) raw.push_back(*a.get());
  return com::InvokeByName(doc, name, com::DISPATCH_METHOD, raw, result->get(), nullptr);
}

std::string Text(const Variant& v) {
  EXPECT_EQ(v.vt(), com::VT_BSTR);
  return v.vt() == com::VT_BSTR ? com::NarrowText(v.get()->bstrVal) : std::string();
}

using MonitorDocEditorTest = testing::EditorTest;

TEST_F(MonitorDocEditorTest, MethodsOpenTheEditorsAndAnswerTheirRules) {
  ComPtr<com::IDispatch> doc = NewDoc();
  script_
      .Then("RequestEditor",
            [](QDialog* d) {
              Click(d, "editParameters");
              Click(d, "close");
            })
      .Then("ParameterListEditor",
            [](QDialog* d) {
              Click(d, "add");
              Click(d, "ok");
            })
      .Then("ValueEditor", EnterValue("b", "x y"));
  std::vector<Variant> request{Variant::String(u"E=1\r\na=1")};
  Variant result;
  ASSERT_EQ(Call(doc.get(), u"EditRequestData", request, &result), com::S_OK);
  EXPECT_EQ(Text(result), "E=1\r\na=1&b=x+y");

  struct Case {
    const char* label;
    Variant body;
    std::u16string kind;
    std::string expected;
  } cases[] = {
      {"session string", Variant::String(u"a=1&QServerResult=ok"), u".RES", "a=1&QServerResult=ok"},
      {"byte array", Variant::Bytes("a=1"), u".RES", ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.label);
    script_.Then("ResponseEditor", [](QDialog* d) { Click(d, "close"); });
    std::vector<Variant> args{Variant::String(u"Content-Type: text/html\r\n"), c.body,
                              Variant::String(c.kind)};
    Variant answer;
    ASSERT_EQ(Call(doc.get(), u"EditResponseData", args, &answer), com::S_OK);
    EXPECT_EQ(Text(answer), c.expected);
  }
}

TEST(MonitorDocObject, SetCurDirMovesTheProcessAndIgnoresBadPaths) {
  char old_dir[PATH_MAX];
  ASSERT_NE(::getcwd(old_dir, sizeof old_dir), nullptr);
  const std::filesystem::path target =
      std::filesystem::canonical(std::filesystem::temp_directory_path());
  ComPtr<com::IDispatch> doc = NewDoc();

  std::vector<Variant> args{Variant::Utf8(target.string())};
  Variant none;
  EXPECT_EQ(Call(doc.get(), u"SetCurDir", args, &none), com::S_OK);
  EXPECT_EQ(std::filesystem::current_path(), target);

  std::vector<Variant> bad{Variant::String(u"/no/such/directory")};
  EXPECT_EQ(Call(doc.get(), u"SetCurDir", bad, &none), com::S_OK);  // no error of its own
  EXPECT_EQ(std::filesystem::current_path(), target);
  ASSERT_EQ(::chdir(old_dir), 0);
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

using ScriptedMonitorTest = testing::EditorTest;

TEST_F(ScriptedMonitorTest, AnswersFromTheScriptAndLogsEveryCallWithoutDialogs) {
  WriteFile(Path("answer.txt"), "a=1&QServerResult=ok");
  ScopedEnv script(kScriptVariable, Path("answer.txt"));
  ScopedEnv log(kLogVariable, Path("calls.log"));
  // No dialog steps: any dialog that opened would fail the test.
  ComPtr<com::IDispatch> doc = NewDoc();

  std::vector<Variant> request{Variant::String(u"\r\nn=1+2")};
  Variant result;
  ASSERT_EQ(Call(doc.get(), u"EditRequestData", request, &result), com::S_OK);
  EXPECT_EQ(Text(result), "\r\nn=1+2");

  std::vector<Variant> response{Variant::String(u""), Variant::String(u"QServerResult="),
                                Variant::String(u".RES")};
  ASSERT_EQ(Call(doc.get(), u"EditResponseData", response, &result), com::S_OK);
  EXPECT_EQ(Text(result), "a=1&QServerResult=ok");

  // Other kinds keep their rule: the scripted body is no session answer.
  EXPECT_EQ(EditResponseData("H: 1\r\n", ResponseBody::Bytes("\0x"s), "gif"), "");

  EXPECT_EQ(ReadFile(Path("calls.log")),
            "EditRequestData RequestText=%0D%0An%3D1%2B2\n"
            "EditResponseData HeaderText=&Body=QServerResult%3D&BodyType=string&Kind=%2ERES\n"
            "EditResponseData HeaderText=H%3A+1%0D%0A&Body=%00x&BodyType=bytes&Kind=gif\n");
}

TEST(UnattendedNotice, NamesEveryHookThatIsSet) {
  ::unsetenv(kScriptVariable);
  ::unsetenv(kLogVariable);
  EXPECT_EQ(UnattendedNotice(), "");
  {
    ScopedEnv empty(kScriptVariable, "");
    EXPECT_EQ(UnattendedNotice(), "") << "an empty value silences nothing";
  }
  {
    ScopedEnv script(kScriptVariable, "/tmp/answer.txt");
    EXPECT_EQ(UnattendedNotice(),
              "qmonitor: QUILLON_MONITOR_SCRIPT is set (/tmp/answer.txt): the editors show no "
              "dialog and answer from that file.\n");
    ScopedEnv log(kLogVariable, "/tmp/calls.log");
    EXPECT_EQ(UnattendedNotice(),
              "qmonitor: QUILLON_MONITOR_SCRIPT is set (/tmp/answer.txt): the editors show no "
              "dialog and answer from that file.\n"
              "qmonitor: QUILLON_MONITOR_LOG is set (/tmp/calls.log): what unattended editors "
              "receive is logged there.\n");
  }
}

TEST_F(ScriptedMonitorTest, UnreadableScriptKeepsTheGivenBody) {
  ScopedEnv script(kScriptVariable, Path("missing.txt"));
  EXPECT_EQ(EditResponseData("", ResponseBody::String("QServerResult=1"), ".RES"),
            "QServerResult=1");
  EXPECT_FALSE(std::filesystem::exists(Path("calls.log")));  // no log asked for
}

}  // namespace
}  // namespace quillon::monitor

// Start-up decisions, class registration and the project lookup.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "monitor/run/startup.h"
#include "quillon/component/registry.h"
#include "test_support.h"

namespace quillon::monitor {
namespace {

using testing::TestDir;
using testing::WriteFile;

EnvLookup FakeEnv(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

TEST(StartMode, ArgumentsAndEnvironmentChooseTheMode) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> request_method;
    std::optional<std::string> descriptor;  // QUILLON_EMBEDDING_FD
    StartMode mode;
    bool register_class;
    bool look_up_project;
  };
  const auto kNone = std::nullopt;
  const Case cases[] = {
      {{}, kNone, kNone, StartMode::kDesktop, true, true},
      {{"-Embedding"}, kNone, kNone, StartMode::kAutomationServer, false, false},
      {{"/Automation"}, kNone, kNone, StartMode::kAutomationServer, false, false},
      {{"-embedding"}, kNone, "3", StartMode::kAutomationServer, false, false},
      {{"x", "/Init"}, kNone, kNone, StartMode::kRegisterAndExit, true, false},
      {{}, "POST", kNone, StartMode::kForwardingCgi, true, true},
      {{}, "", kNone, StartMode::kForwardingCgi, true, true},
      // Run by a web server, the arguments are the visitor's words (a query
      // string without "=" becomes arguments): without the platform's
      // descriptor no switch counts.
      {{"-Embedding"}, "GET", kNone, StartMode::kForwardingCgi, true, true},
      {{"/Init", "/Embedding"}, "GET", kNone, StartMode::kForwardingCgi, true, true},
      {{"/init"}, "GET", "", StartMode::kForwardingCgi, true, true},
      {{"--help"}, "GET", kNone, StartMode::kForwardingCgi, true, true},
      {{"--frobnicate"}, "GET", kNone, StartMode::kForwardingCgi, true, true},
      // Started by the platform (a CGI page's client control in offline
      // debugging), the switches count again; the platform's start wins.
      {{"/Init", "/Embedding"}, "GET", "3", StartMode::kAutomationServer, false, false},
      {{"/init"}, "GET", "3", StartMode::kRegisterAndExit, true, false},
      {{"/Embeddingx"}, "GET", "3", StartMode::kForwardingCgi, true, true},
      // A developer's start: known arguments, Qt's own, or a refusal.
      {{"--help"}, kNone, kNone, StartMode::kHelp, false, false},
      {{"-platform", "offscreen", "/?"}, kNone, kNone, StartMode::kHelp, false, false},
      {{"-h"}, kNone, kNone, StartMode::kHelp, false, false},
      {{"-platform", "offscreen", "-reverse", "--style=fusion"}, kNone, kNone,
       StartMode::kDesktop, true, true},
      {{"Embedding"}, kNone, kNone, StartMode::kBadArguments, false, false},
      {{"/Initial"}, kNone, kNone, StartMode::kBadArguments, false, false},
      {{"-platform"}, kNone, kNone, StartMode::kBadArguments, false, false},
      {{"-reverse=1"}, kNone, kNone, StartMode::kBadArguments, false, false},
      {{"--inspect"}, kNone, kNone, StartMode::kBadArguments, false, false},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> vars;
    if (c.request_method) vars["REQUEST_METHOD"] = *c.request_method;
    if (c.descriptor) vars["QUILLON_EMBEDDING_FD"] = *c.descriptor;
    const StartOptions options = DecideStart(c.args, FakeEnv(vars));
    const std::string where = ::testing::PrintToString(c.args) + " " +
                              c.request_method.value_or("-") + " " + c.descriptor.value_or("-");
    EXPECT_EQ(options.mode, c.mode) << where;
    EXPECT_EQ(options.register_class, c.register_class) << where;
    EXPECT_EQ(options.look_up_project, c.look_up_project) << where;
    EXPECT_EQ(options.problem.empty(), c.mode != StartMode::kBadArguments) << where;
  }
}

TEST(StartMode, DesktopArgumentsSayWhatTheyWant) {
  const StartOptions inspect =
      DecideStart({"--inspect", "QServer.QServer", "-style", "fusion"}, FakeEnv({}));
  EXPECT_EQ(inspect.mode, StartMode::kDesktop);
  EXPECT_EQ(inspect.inspect, "QServer.QServer");
  EXPECT_EQ(DecideStart({}, FakeEnv({})).inspect, std::nullopt);

  const struct {
    std::vector<std::string> args;
    const char* problem;
  } refusals[] = {
      {{"--frobnicate"}, "unknown argument '--frobnicate'"},
      {{"-reverse", "page.htm"}, "unknown argument 'page.htm'"},
      {{"--inspect"}, "--inspect needs the ProgID of a control"},
      {{"-platform"}, "-platform needs a value"},
  };
  for (const auto& r : refusals) {
    const StartOptions options = DecideStart(r.args, FakeEnv({}));
    EXPECT_EQ(options.mode, StartMode::kBadArguments);
    EXPECT_NE(options.problem.find(r.problem), std::string::npos) << options.problem;
  }
  const std::string usage = UsageText();
  EXPECT_TRUE(usage.starts_with("Usage: qmonitor")) << usage;
  for (const char* mentioned : {"--inspect ProgID", "/Init", "--help", "-platform", "Quillon.ini",
                                "TrustUsers"}) {
    EXPECT_NE(usage.find(mentioned), std::string::npos) << mentioned;
  }
}

TEST(MonitorRegistration, WritesTheLocalServerClass) {
  ASSERT_EQ(RegisterMonitorClass("/opt/quillon/bin/qmonitor"), com::S_OK);
  com::registry::Tree tree;
  ASSERT_EQ(com::registry::Load(testing::RegistryPath(), &tree), com::S_OK);
  const std::string key = "CLSID\\{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}";
  EXPECT_EQ(tree.GetValue("Quillon.QMonitor\\CLSID"), "{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}");
  EXPECT_EQ(tree.GetValue(key), "QMonitor Document");
  EXPECT_EQ(tree.GetValue(key + "\\ProgID"), "Quillon.QMonitor");
  EXPECT_EQ(tree.GetValue(key + "\\LocalServer32"), "/opt/quillon/bin/qmonitor");
  EXPECT_FALSE(tree.KeyExists(key + "\\InprocServer32"));
}

TEST(MonitorRegistration, AnUnwritableRegistryIsReportedNotThrown) {
  const std::string blocker = TestDir() + "/not-a-directory";
  WriteFile(blocker, "x");
  const std::string saved = testing::RegistryPath();
  ::setenv("QUILLON_REGISTRY", (blocker + "/registry").c_str(), 1);
  const com::HRESULT hr = RegisterMonitorClass("/opt/quillon/bin/qmonitor");
  ::setenv("QUILLON_REGISTRY", saved.c_str(), 1);
  EXPECT_TRUE(com::Failed(hr));
}

TEST(CommandLine, JoinsAsThePlatformWritesIt) {
  const struct {
    std::vector<std::string> argv;
    std::string line;
  } cases[] = {
      {{}, ""},
      {{"/srv/cgi-bin/app.cgi"}, "/srv/cgi-bin/app.cgi"},
      {{"/srv/cgi bin/app.cgi"}, "\"/srv/cgi bin/app.cgi\" "},
      {{"/srv/app", "a", "b c"}, "/srv/app a \"b c\""},
      {{"/srv/my app", "a"}, "\"/srv/my app\" a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinCommandLine(c.argv), c.line) << ::testing::PrintToString(c.argv);
  }
}

TEST(CommandLine, PreparedForComparison) {
  const struct {
    std::string line;
    std::string prepared;
  } cases[] = {
      {"/srv/cgi-bin/app.cgi", "/SRV/CGI-BIN/APP.CGI"},
      {"\"/srv/my app/App.cgi\" ", "/SRV/MY APP/APP.CGI"},
      // The last two bytes go whatever they are.
      {"\"/srv/a\" x", "/SRV/A\""},
      {"\"", ""},
      {"\"\" ", ""},
      // Multibyte characters are not case-mapped (65001 in these tests).
      {"/srv/\xc3\xa9t\xc3\xa9", "/SRV/\xc3\xa9T\xc3\xa9"},
  };
  for (const auto& c : cases) EXPECT_EQ(PrepareCommandLine(c.line), c.prepared) << c.line;
}

TEST(CommandLine, ProcessArgumentsComeFromTheKernel) {
  const std::vector<std::string> args = ProcessArguments();
  ASSERT_FALSE(args.empty());
  EXPECT_NE(args[0].find("monitor_run_test"), std::string::npos);
}

TEST(ProjectIni, PathFromEnvironment) {
  const struct {
    std::map<std::string, std::string> env;
    std::string path;
  } cases[] = {
      {{}, "/etc/xdg/quillon/Quillon.ini"},
      {{{"QUILLON_INI", "/tmp/q.ini"}, {"XDG_CONFIG_DIRS", "/etc/a"}}, "/tmp/q.ini"},
      {{{"QUILLON_INI", ""}, {"XDG_CONFIG_DIRS", "/etc/a:/etc/b"}}, "/etc/a/quillon/Quillon.ini"},
      {{{"XDG_CONFIG_DIRS", "::/etc/b"}}, "/etc/b/quillon/Quillon.ini"},
      {{{"XDG_CONFIG_DIRS", ""}}, "/etc/xdg/quillon/Quillon.ini"},
  };
  for (const auto& c : cases) EXPECT_EQ(ProjectIniPath(FakeEnv(c.env)), c.path);
}

TEST(ProjectLookup, FindsTheProjectOfTheCommandLine) {
  const std::string ini = TestDir() + "/lookup.ini";
  const struct {
    const char* name;
    std::optional<std::string> file;  // nullopt: no file at all
    std::string command_line;         // as the platform writes it
    std::string project;
  } cases[] = {
      {"no file", std::nullopt, "/srv/app.cgi", ""},
      {"NumProjects missing", "[Debug]\nProject1=App\nApp=/srv/app.cgi\n", "/srv/app.cgi", ""},
      {"quoted path with blank, other case",
       "[Debug]\nNumProjects=1\nProject1=MyApp\nMyApp=/SRV/My App/app.CGI\n",
       "\"/srv/my app/APP.cgi\" ", "MyApp"},
      {"first match wins",
       "[Debug]\nNumProjects=3\nProject1=Other\nOther=/srv/other\nProject2=First\n"
       "First=/srv/app.cgi\nProject3=Second\nSecond=/srv/APP.cgi\n",
       "/srv/app.cgi", "First"},
      {"index order, not file order",
       "[Debug]\nNumProjects=2\nProject2=Late\nLate=/srv/app.cgi\nProject1=Early\n"
       "Early=/srv/app.cgi\n",
       "/srv/app.cgi", "Early"},
      {"beyond NumProjects", "[Debug]\nNumProjects=1\nProject2=App\nApp=/srv/app.cgi\n",
       "/srv/app.cgi", ""},
      {"no equal line", "[Debug]\nNumProjects=1\nProject1=App\nApp=/srv/app.cgi\n",
       "/srv/app.cgi x", ""},
      {"names and section in any case, quoted value",
       "[debug]\nnumprojects=1\nPROJECT1=App\napp=\"/srv/app.cgi\"\n", "/srv/app.cgi", "App"},
      {"other section ignored",
       "[Other]\nNumProjects=1\nProject1=App\nApp=/srv/app.cgi\n[Debug]\nNumProjects=0\n",
       "/srv/app.cgi", ""},
      {"absurd count does not hang",
       "[Debug]\nNumProjects=2000000000\nProject1999999999=App\nApp=/srv/app.cgi\n",
       "/srv/app.cgi", "App"},
      {"negative count", "[Debug]\nNumProjects=-1\nProject1=App\nApp=/srv/app.cgi\n",
       "/srv/app.cgi", ""},
      // Lines a configuration library misreads, which the profile rules match.
      {"indented keys", "[Debug]\n  NumProjects=1\n  Project1=Echo\n  Echo=/srv/echo.cgi\n",
       "/srv/echo.cgi", "Echo"},
      {"a line over 199 bytes",
       "[Debug]\nNumProjects=1\nProject1=Long\nLong=/srv/" + std::string(250, 'd') + "/x.cgi\n",
       "/srv/" + std::string(250, 'd') + "/x.cgi", "Long"},
      {"' ;' inside a path", "[Debug]\nNumProjects=1\nProject1=Semi\nSemi=/srv/a ;b/x.cgi\n",
       "\"/srv/a ;b/x.cgi\" ", "Semi"},
      {"':' separates nothing", "[Debug]\nNumProjects=1\nProject1=C\nC: /srv/colon\n",
       "/srv/colon", ""},
      {"':' inside a value", "[Debug]\nNumProjects=1\nProject1=C\nC=/srv/colon:x\n",
       "/srv/colon:x", "C"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(ini);
    if (c.file) WriteFile(ini, *c.file);
    EXPECT_EQ(FindProject(PrepareCommandLine(c.command_line), ini), c.project) << c.name;
  }
}

}  // namespace
}  // namespace quillon::monitor

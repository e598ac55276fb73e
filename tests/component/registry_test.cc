// The class registry: store format and transactions, registration scripts of
// both component libraries, and creation through the registry.
#include "quillon/component/registry.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fixture_component.h"
#include "quillon/component/com_ptr.h"
#include "client/registration.h"
#include "quillon/client/identities.h"
#include "quillon/server/identities.h"
#include "server/registration.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"
#include "tests/support/bounded_wait.h"

namespace quillon::com {
namespace {

namespace fs = std::filesystem;

// The two libraries' registrations are their own; these tests check the
// registry's side of them.
using client::RegisterQClientLibrary;
using client::UnregisterQClientLibrary;
using server::RegisterQServerLibrary;
using server::UnregisterQServerLibrary;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Every test gets its own registry file in a fresh directory.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillon-registry-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "registry").string();
    ::setenv("QUILLON_REGISTRY", path_.c_str(), 1);
  }
  void TearDown() override {
    registry::SetBeforeCommitHookForTesting(nullptr);
    ::unsetenv("QUILLON_REGISTRY");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  registry::Tree LoadStore() {
    registry::Tree tree;
    std::string error;
    EXPECT_EQ(registry::Load(path_, &tree, &error), S_OK) << error;
    return tree;
  }

  HRESULT Set(const std::string& key, const std::string& name, const std::string& value) {
    return registry::Transact(path_, [&](registry::Tree& t) { return t.SetValue(key, name, value); });
  }

  fs::path dir_;
  std::string path_;
};

// --- Store ---------------------------------------------------------------------

TEST_F(RegistryTest, RoundTripKeepsFirstCaseAndMatchesAnyCase) {
  registry::Tree tree;
  ASSERT_EQ(tree.SetValue("CLSID\\{ABC}\\InprocServer32", "", "/lib/a.so"), S_OK);
  ASSERT_EQ(tree.SetValue("clsid\\{abc}\\INPROCSERVER32", "ThreadingModel", "Free"), S_OK);
  ASSERT_EQ(tree.SetValue("Clsid\\{Abc}\\inprocserver32", "threadingmodel", "Apartment"), S_OK);
  ASSERT_EQ(tree.CreateKey("CLSID\\{ABC}\\Programmable"), S_OK);
  ASSERT_EQ(tree.SetValue("App.Name", "", "x"), S_OK);

  EXPECT_EQ(tree.GetValue("cLsId\\{aBc}\\InProcServer32"), "/lib/a.so");
  EXPECT_EQ(tree.GetValue("CLSID\\{ABC}\\InprocServer32", "THREADINGMODEL"), "Apartment");
  EXPECT_EQ(tree.GetValue("CLSID\\{ABC}\\Programmable"), std::nullopt);
  EXPECT_TRUE(tree.KeyExists("clsid\\{abc}\\programmable"));
  EXPECT_FALSE(tree.KeyExists("CLSID\\{ABD}"));

  const std::string expected =
      "; Quillon registry 1\n"
      "\n[App.Name]\n@=\"x\"\n"
      "\n[CLSID]\n"
      "\n[CLSID\\{ABC}]\n"
      "\n[CLSID\\{ABC}\\InprocServer32]\n@=\"/lib/a.so\"\n\"ThreadingModel\"=\"Apartment\"\n"
      "\n[CLSID\\{ABC}\\Programmable]\n";
  EXPECT_EQ(tree.Export(), expected);

  registry::Tree parsed;
  ASSERT_EQ(parsed.Parse(expected), S_OK);
  EXPECT_EQ(parsed.Export(), expected);
  EXPECT_EQ(parsed.SubkeyNames("CLSID\\{ABC}"),
            (std::vector<std::string>{"InprocServer32", "Programmable"}));
}

TEST_F(RegistryTest, EditingOperations) {
  registry::Tree tree;
  ASSERT_EQ(tree.SetValue("A\\B\\C", "v", "1"), S_OK);
  ASSERT_EQ(tree.SetValue("A\\B", "", "2"), S_OK);
  EXPECT_FALSE(tree.DeleteKeyIfEmpty("A\\B"));  // has a value and a subkey
  EXPECT_FALSE(tree.DeleteKeyIfEmpty("A\\B\\C"));  // has a value
  EXPECT_TRUE(tree.DeleteValue("a\\b\\c", "V"));
  EXPECT_FALSE(tree.DeleteValue("A\\B\\C", "v"));
  EXPECT_TRUE(tree.DeleteKeyIfEmpty("A\\B\\C"));
  EXPECT_TRUE(tree.KeyExists("A\\B"));
  EXPECT_TRUE(tree.DeleteTree("a"));
  EXPECT_FALSE(tree.DeleteTree("A"));
  EXPECT_TRUE(tree.empty());

  for (const char* bad : {"", "\\A", "A\\", "A\\\\B", "A\x01", "A\xFF"}) {
    EXPECT_EQ(tree.SetValue(bad, "", "x"), E_INVALIDARG) << bad;
    EXPECT_FALSE(tree.KeyExists(bad));
  }
  EXPECT_EQ(tree.CreateKey(std::string(registry::kMaxKeyNameBytes + 1, 'k')), E_INVALIDARG);
  EXPECT_EQ(tree.CreateKey(std::string(registry::kMaxKeyNameBytes, 'k')), S_OK);
  EXPECT_EQ(tree.SetValue("K", std::string(registry::kMaxValueNameBytes + 1, 'n'), ""),
            E_INVALIDARG);
}

struct EscapeCase {
  const char* label;
  std::string value;
  std::string quoted;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.label; }

class RegistryEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(RegistryEscapeTest, ValueAndNameSurviveExactly) {
  const EscapeCase& c = GetParam();
  registry::Tree tree;
  ASSERT_EQ(tree.SetValue("K", "", c.value), S_OK);
  ASSERT_EQ(tree.SetValue("K", c.value.empty() ? "n" : c.value, c.value), S_OK);
  const std::string name_quoted = c.value.empty() ? "\"n\"" : c.quoted;
  const std::string text = tree.Export();
  EXPECT_EQ(text, "; Quillon registry 1\n\n[K]\n@=" + c.quoted + "\n" + name_quoted + "=" +
                      c.quoted + "\n");
  registry::Tree parsed;
  ASSERT_EQ(parsed.Parse(text), S_OK);
  EXPECT_EQ(parsed.GetValue("K"), c.value);
  EXPECT_EQ(parsed.GetValue("K", c.value.empty() ? "n" : c.value), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, RegistryEscapeTest,
    ::testing::Values(
        EscapeCase{"empty", "", R"("")"},
        EscapeCase{"quote_backslash", "C:\\a \"b\"", R"("C:\\a \"b\"")"},
        EscapeCase{"line_ends_tab", "a\nb\r\tc", R"("a\nb\r\tc")"},
        EscapeCase{"controls", std::string("\x00\x01\x1F\x7F", 4), R"("\x00\x01\x1F\x7F")"},
        EscapeCase{"japanese_raw", "プロパティー(&P),0,2", "\"プロパティー(&P),0,2\""},
        EscapeCase{"invalid_utf8", "\xFF\xC0\x80\x80\xE3\x81", R"("\xFF\xC0\x80\x80\xE3\x81")"},
        EscapeCase{"surrogate_and_too_big", "\xED\xA0\x80\xF4\x90\x80\x80",
                   R"("\xED\xA0\x80\xF4\x90\x80\x80")"},
        EscapeCase{"brackets_equals_semicolon", "[a]=b;c@", R"("[a]=b;c@")"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(RegistryTest, ReaderAcceptsCommentsBlankLinesCrLfAndRepeatedKeys) {
  const std::string text =
      "; comment\r\n"
      "\r\n"
      "[A\\B]  \r\n"
      "@=\"one\"\t\r\n"
      "  \r\n"
      "[a\\b]\n"
      "\"x\"=\"raw\ttab\"\n"
      "[A]\n"
      "@=\"two\"\n"
      "[A\\B]\n"
      "@=\"three\"";  // no final line end
  registry::Tree tree;
  std::string error;
  ASSERT_EQ(tree.Parse(text, &error), S_OK) << error;
  EXPECT_EQ(tree.GetValue("A\\B"), "three");
  EXPECT_EQ(tree.GetValue("A\\B", "X"), "raw\ttab");
  EXPECT_EQ(tree.GetValue("A"), "two");
}

struct DamagedCase {
  const char* label;
  std::string text;
  std::string error;  // expected reason, with its line
};

void PrintTo(const DamagedCase& c, std::ostream* os) { *os << c.label; }

class RegistryDamagedTest : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(RegistryDamagedTest, ReportsLineAndKeepsTree) {
  const DamagedCase& c = GetParam();
  registry::Tree tree;
  ASSERT_EQ(tree.SetValue("Keep", "", "me"), S_OK);
  std::string error;
  EXPECT_EQ(tree.Parse(c.text, &error), REGDB_E_READREGDB);
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(tree.GetValue("Keep"), "me");
  EXPECT_EQ(tree.SubkeyNames("").size(), 0u);  // "" is no key path
}

INSTANTIATE_TEST_SUITE_P(
    Damaged, RegistryDamagedTest,
    ::testing::Values(
        DamagedCase{"value_outside_key", "@=\"x\"\n", "line 1: value outside a key"},
        DamagedCase{"garbage", "[A]\nhello\n", "line 2: unexpected text"},
        DamagedCase{"unterminated", "[A]\n@=\"abc\n", "line 2: unterminated string"},
        DamagedCase{"dangling_backslash", "[A]\n@=\"abc\\", "line 2: unterminated string"},
        DamagedCase{"unknown_escape", "[A]\n@=\"a\\qb\"\n", "line 2: unknown escape"},
        DamagedCase{"short_hex", "[A]\n@=\"\\x4\"\n", "line 2: bad \\x escape"},
        DamagedCase{"hex_at_end", "[A]\n@=\"\\x", "line 2: bad \\x escape"},
        DamagedCase{"raw_control", "[A]\n@=\"a\x01\"\n", "line 2: control character in string"},
        DamagedCase{"missing_equals", "[A]\n\"n\" \"v\"\n", "line 2: expected '='"},
        DamagedCase{"unquoted_value", "[A]\n@=value\n", "line 2: expected '\"'"},
        DamagedCase{"text_after_value", "[A]\n@=\"v\" x\n", "line 2: text after value"},
        DamagedCase{"empty_value_name", "[A]\n\"\"=\"v\"\n",
                    "line 2: empty value name (the default value is written @)"},
        DamagedCase{"open_bracket_only", "\n\n[\n", "line 3: malformed key line"},
        DamagedCase{"unclosed_key", "[A\n", "line 1: malformed key line"},
        DamagedCase{"empty_key", "[]\n", "line 1: malformed key path"},
        DamagedCase{"empty_component", "[A\\\\B]\n", "line 1: malformed key path"},
        DamagedCase{"invalid_utf8_key", "[A\xC3]\n", "line 1: malformed key path"},
        DamagedCase{"long_key_name", "[" + std::string(256, 'k') + "]\n",
                    "line 1: malformed key path"},
        DamagedCase{"too_deep", "[" + [] {
                      std::string p = "k";
                      for (int i = 0; i < 600; ++i) p += "\\k";
                      return p;
                    }() + "]\n",
                    "line 1: malformed key path"},
        DamagedCase{"long_value_name",
                    "[A]\n\"" + std::string(registry::kMaxValueNameBytes + 1, 'n') + "\"=\"\"\n",
                    "line 2: value name too long"}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(RegistryTest, DamagedFileIsReportedAndNeverOverwritten) {
  const std::string damaged = "[CLSID]\n@=\"unterminated\n";
  WriteFile(path_, damaged);
  registry::Tree tree;
  std::string error;
  EXPECT_EQ(registry::Load(path_, &tree, &error), REGDB_E_READREGDB);
  EXPECT_EQ(error, path_ + ": line 2: unterminated string");
  EXPECT_EQ(registry::Transact(path_, [](registry::Tree& t) { return t.SetValue("A", "", "x"); },
                               &error),
            REGDB_E_READREGDB);
  EXPECT_EQ(ReadFile(path_), damaged);

  EXPECT_EQ(RegisterQServerLibrary("/opt/lib/libqserver.so"), SELFREG_E_TYPELIB);
  EXPECT_EQ(LastRegistrationError(), path_ + ": line 2: unterminated string");
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"QServer.QServer", &clsid), REGDB_E_READREGDB);
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(ids::CLSID_QServer, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
            REGDB_E_READREGDB);
  EXPECT_EQ(object, nullptr);

  // A directory where the file should be is no store either.
  fs::create_directory(dir_ / "dir");
  EXPECT_EQ(registry::Load((dir_ / "dir").string(), &tree, &error), REGDB_E_READREGDB);
}

TEST_F(RegistryTest, MissingFileIsEmptyAndFirstWriteCreatesDirectories) {
  EXPECT_TRUE(LoadStore().empty());
  const fs::path nested = dir_ / "a" / "b" / "registry";
  // A transaction that changes nothing writes nothing.
  EXPECT_EQ(registry::Transact(nested.string(), [](registry::Tree&) { return S_OK; }), S_OK);
  EXPECT_FALSE(fs::exists(nested));
  EXPECT_EQ(registry::Transact(nested.string(),
                               [](registry::Tree& t) { return t.SetValue("K", "", "v"); }),
            S_OK);
  EXPECT_EQ(ReadFile(nested), "; Quillon registry 1\n\n[K]\n@=\"v\"\n");
  EXPECT_EQ(fs::status(nested).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
}

// The shared tree is kept between readers but never outlives a change: many
// writes within one clock tick, a removed store, a store copied over.
TEST_F(RegistryTest, SharedLoadSeesEveryChange) {
  auto value_of = [&](const char* key) -> std::optional<std::string> {
    std::shared_ptr<const registry::Tree> tree;
    std::string error;
    EXPECT_EQ(registry::LoadShared(path_, &tree, &error), S_OK) << error;
    return tree->GetValue(key);
  };
  EXPECT_EQ(value_of("K"), std::nullopt);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(Set("K", "", std::to_string(i)), S_OK);
    EXPECT_EQ(value_of("K"), std::to_string(i));
  }
  std::shared_ptr<const registry::Tree> first, second;
  ASSERT_EQ(registry::LoadShared(path_, &first), S_OK);
  ASSERT_EQ(registry::LoadShared(path_, &second), S_OK);
  EXPECT_EQ(first.get(), second.get());  // unchanged: not read again

  fs::remove(path_);
  EXPECT_EQ(value_of("K"), std::nullopt);
  // Written in place, same size, by something that bypasses the rename.
  ASSERT_EQ(Set("K", "", "a"), S_OK);
  EXPECT_EQ(value_of("K"), "a");
  std::string text = ReadFile(path_);
  text.replace(text.find("\"a\""), 3, "\"b\"");
  {
    std::ofstream out(path_, std::ios::binary | std::ios::in);
    out << text;
  }
  EXPECT_EQ(value_of("K"), "b");
  EXPECT_EQ(first->GetValue("K"), "49");  // a reader's tree stays as it was
}

TEST_F(RegistryTest, FailedChangeWritesNothing) {
  ASSERT_EQ(Set("A", "", "1"), S_OK);
  const std::string before = ReadFile(path_);
  EXPECT_EQ(registry::Transact(path_,
                               [](registry::Tree& t) {
                                 t.SetValue("B", "", "2");
                                 return E_ABORT;
                               }),
            E_ABORT);
  EXPECT_EQ(ReadFile(path_), before);
}

TEST_F(RegistryTest, UnwritableLocationFails) {
  WriteFile(dir_ / "plain", "x");
  const std::string bad = (dir_ / "plain" / "registry").string();
  std::string error;
  EXPECT_EQ(registry::Transact(bad, [](registry::Tree& t) { return t.SetValue("A", "", "1"); },
                               &error),
            REGDB_E_WRITEREGDB);
  EXPECT_NE(error.find("cannot create directory"), std::string::npos) << error;
  ::setenv("QUILLON_REGISTRY", bad.c_str(), 1);
  EXPECT_EQ(RegisterQClientLibrary("/opt/lib/libqclient.so"), SELFREG_E_TYPELIB);
  EXPECT_NE(LastRegistrationError().find("cannot create directory"), std::string::npos);
}

TEST_F(RegistryTest, ConcurrentProcessesLoseNothing) {
  constexpr int kWriters = 2;
  constexpr int kKeysEach = 200;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string key = "W" + std::to_string(w) + "\\K" + std::to_string(i);
        ok = ok && registry::Transact(path_, [&](registry::Tree& t) {
                     return t.SetValue(key, "", std::to_string(i));
                   }) == S_OK;
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_TRUE(quillon::testing::WaitChild(pid, &status)) << "writer " << pid << " hung";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  registry::Tree tree = LoadStore();
  for (int w = 0; w < kWriters; ++w) {
    const std::string parent = "W" + std::to_string(w);
    EXPECT_EQ(tree.SubkeyNames(parent).size(), static_cast<size_t>(kKeysEach));
    for (int i = 0; i < kKeysEach; ++i) {
      EXPECT_EQ(tree.GetValue(parent + "\\K" + std::to_string(i)), std::to_string(i));
    }
  }
}

TEST_F(RegistryTest, ConcurrentThreadsLoseNothing) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if (Set("T" + std::to_string(t) + "\\K" + std::to_string(i), "", "v") != S_OK) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  registry::Tree tree = LoadStore();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(tree.SubkeyNames("T" + std::to_string(t)).size(), 25u);
}

TEST_F(RegistryTest, ProcessKilledBeforeCommitLeavesStoreIntact) {
  ASSERT_EQ(Set("Before", "", "kept"), S_OK);
  const std::string before = ReadFile(path_);

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    registry::SetBeforeCommitHookForTesting([](const std::string&) -> HRESULT {
      ::kill(::getpid(), SIGKILL);
      return S_OK;
    });
    Set("After", "", "lost");
    ::_exit(0);  // not reached
  }
  int status = 0;
  ASSERT_TRUE(quillon::testing::WaitChild(pid, &status)) << "the killed writer hung";
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  EXPECT_EQ(ReadFile(path_), before);
  auto orphans = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("registry.tmp-", 0) == 0) names.push_back(name);
    }
    return names;
  };
  // The dead writer's complete temporary file is left beside the store...
  const auto left = orphans();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(ReadFile(dir_ / left[0]).find("\"lost\""), std::string::npos);
  WriteFile(dir_ / "registry.backup", "not ours");
  // ...its lock died with it, and the next writer clears the leftovers.
  EXPECT_EQ(Set("After", "", "written"), S_OK);
  EXPECT_EQ(LoadStore().GetValue("After"), "written");
  EXPECT_EQ(LoadStore().GetValue("Before"), "kept");
  EXPECT_TRUE(orphans().empty());
  EXPECT_EQ(ReadFile(dir_ / "registry.backup"), "not ours");
}

TEST_F(RegistryTest, FailureBeforeCommitRemovesTemporaryFile) {
  ASSERT_EQ(Set("Before", "", "kept"), S_OK);
  const std::string before = ReadFile(path_);
  std::string seen;
  registry::SetBeforeCommitHookForTesting([&](const std::string& temp) -> HRESULT {
    seen = temp;
    EXPECT_NE(ReadFile(temp).find("[After]"), std::string::npos);
    return E_FAIL;
  });
  EXPECT_EQ(Set("After", "", "x"), E_FAIL);
  EXPECT_EQ(ReadFile(path_), before);
  EXPECT_FALSE(seen.empty());
  EXPECT_FALSE(fs::exists(seen));
}

// --- Registration scripts -----------------------------------------------------------

constexpr char kServerPath[] = "/opt/quillon/lib/libqserver.so";
constexpr char kClientPath[] = "/opt/quillon/lib/libqclient.so";

const char kQServerExport[] = R"(; Quillon registry 1

[CLSID]

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}]
@="QServer Control"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\Control]

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\InprocServer32]
@="/opt/quillon/lib/libqserver.so"
"ThreadingModel"="Apartment"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\Insertable]

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\MiscStatus]
@="0"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\MiscStatus\1]
@="132497"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\ProgID]
@="QServer.QServer.3"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\Programmable]

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\ToolboxBitmap32]
@="/opt/quillon/lib/libqserver.so,106"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\Verb]

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\Verb\1]
@="プロパティー(&P),0,2"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\Version]
@="3.4"

[CLSID\{92B7D145-934B-11D2-A69F-00A0C93ED440}\VersionIndependentProgID]
@="QServer.QServer"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}]
@="QHtmlDoc Control"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\Control]

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\InprocServer32]
@="/opt/quillon/lib/libqserver.so"
"ThreadingModel"="Apartment"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\Insertable]

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\MiscStatus]
@="0"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\MiscStatus\1]
@="132497"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\ProgID]
@="QServer.QHtmlDoc.3"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\Programmable]

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\ToolboxBitmap32]
@="/opt/quillon/lib/libqserver.so,102"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\Verb]

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\Verb\1]
@="プロパティー(&P),0,2"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\Version]
@="3.3"

[CLSID\{92B7D14D-934B-11D2-A69F-00A0C93ED440}\VersionIndependentProgID]
@="QServer.QHtmlDoc"

[CLSID\{96785CE1-2A86-11D5-A019-00D0B76B6A71}]
@="QHtmlDoc Property Page"

[CLSID\{96785CE1-2A86-11D5-A019-00D0B76B6A71}\InprocServer32]
@="/opt/quillon/lib/libqserver.so"
"ThreadingModel"="Apartment"

[CLSID\{96785CE1-2A86-11D5-A019-00D0B76B6A71}\Programmable]

[CLSID\{C5539671-2A79-11D5-A019-00D0B76B6A71}]
@="QServerPropPage Class"

[CLSID\{C5539671-2A79-11D5-A019-00D0B76B6A71}\InprocServer32]
@="/opt/quillon/lib/libqserver.so"
"ThreadingModel"="Apartment"

[CLSID\{C5539671-2A79-11D5-A019-00D0B76B6A71}\Programmable]

[CLSID\{C88698F2-9435-11D2-A6A0-00A0C93ED440}]
@="HtmlTag Object"

[CLSID\{C88698F2-9435-11D2-A6A0-00A0C93ED440}\InprocServer32]
@="/opt/quillon/lib/libqserver.so"
"ThreadingModel"="Apartment"

[CLSID\{C88698F2-9435-11D2-A6A0-00A0C93ED440}\ProgID]
@="QServer.HtmlTag.3"

[CLSID\{C88698F2-9435-11D2-A6A0-00A0C93ED440}\Programmable]

[CLSID\{C88698F2-9435-11D2-A6A0-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"

[CLSID\{C88698F2-9435-11D2-A6A0-00A0C93ED440}\VersionIndependentProgID]
@="QServer.HtmlTag"

[CLSID\{C88698F4-9435-11D2-A6A0-00A0C93ED440}]
@="HtmlTags Collection"

[CLSID\{C88698F4-9435-11D2-A6A0-00A0C93ED440}\InprocServer32]
@="/opt/quillon/lib/libqserver.so"
"ThreadingModel"="Apartment"

[CLSID\{C88698F4-9435-11D2-A6A0-00A0C93ED440}\ProgID]
@="QServer.HtmlTags.3"

[CLSID\{C88698F4-9435-11D2-A6A0-00A0C93ED440}\Programmable]

[CLSID\{C88698F4-9435-11D2-A6A0-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"

[CLSID\{C88698F4-9435-11D2-A6A0-00A0C93ED440}\VersionIndependentProgID]
@="QServer.HtmlTags"

[Interface]

[Interface\{92B7D143-934B-11D2-A69F-00A0C93ED440}]
@="IQServer"

[Interface\{92B7D143-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[Interface\{92B7D144-934B-11D2-A69F-00A0C93ED440}]
@="_IQServerEvents"

[Interface\{92B7D144-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[Interface\{92B7D14B-934B-11D2-A69F-00A0C93ED440}]
@="IQHtmlDoc"

[Interface\{92B7D14B-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[Interface\{92B7D14C-934B-11D2-A69F-00A0C93ED440}]
@="_IQHtmlDocEvents"

[Interface\{92B7D14C-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[Interface\{C88698F1-9435-11D2-A6A0-00A0C93ED440}]
@="IHtmlTag"

[Interface\{C88698F1-9435-11D2-A6A0-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[Interface\{C88698F3-9435-11D2-A6A0-00A0C93ED440}]
@="IHtmlTags"

[Interface\{C88698F3-9435-11D2-A6A0-00A0C93ED440}\TypeLib]
@="{92B7D141-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[QServer.HtmlTag]
@="HtmlTag Object"

[QServer.HtmlTag\CLSID]
@="{C88698F2-9435-11D2-A6A0-00A0C93ED440}"

[QServer.HtmlTag\CurVer]
@="QServer.HtmlTag.3"

[QServer.HtmlTag.3]
@="HtmlTag Object"

[QServer.HtmlTag.3\CLSID]
@="{C88698F2-9435-11D2-A6A0-00A0C93ED440}"

[QServer.HtmlTags]
@="HtmlTags Collection"

[QServer.HtmlTags\CLSID]
@="{C88698F4-9435-11D2-A6A0-00A0C93ED440}"

[QServer.HtmlTags\CurVer]
@="QServer.HtmlTags.3"

[QServer.HtmlTags.3]
@="HtmlTags Collection"

[QServer.HtmlTags.3\CLSID]
@="{C88698F4-9435-11D2-A6A0-00A0C93ED440}"

[QServer.QHtmlDoc]
@="QHtmlDoc Control"

[QServer.QHtmlDoc\CLSID]
@="{92B7D14D-934B-11D2-A69F-00A0C93ED440}"

[QServer.QHtmlDoc\CurVer]
@="QServer.QHtmlDoc.3"

[QServer.QHtmlDoc.3]
@="QHtmlDoc Control"

[QServer.QHtmlDoc.3\CLSID]
@="{92B7D14D-934B-11D2-A69F-00A0C93ED440}"

[QServer.QHtmlDocPropPage]
@="QHtmlDoc Property Page"

[QServer.QHtmlDocPropPage\CLSID]
@="{96785CE1-2A86-11D5-A019-00D0B76B6A71}"

[QServer.QHtmlDocPropPage\CurVer]
@="QServer.QHtmlDocPropPage.3"

[QServer.QHtmlDocPropPage.3]
@="QHtmlDoc Property Page"

[QServer.QHtmlDocPropPage.3\CLSID]
@="{96785CE1-2A86-11D5-A019-00D0B76B6A71}"

[QServer.QServer]
@="QServer Control"

[QServer.QServer\CLSID]
@="{92B7D145-934B-11D2-A69F-00A0C93ED440}"

[QServer.QServer\CurVer]
@="QServer.QServer.3"

[QServer.QServer.3]
@="QServer Control"

[QServer.QServer.3\CLSID]
@="{92B7D145-934B-11D2-A69F-00A0C93ED440}"

[QServer.QServerPropPage]
@="QServerPropPage Class"

[QServer.QServerPropPage\CLSID]
@="{C5539671-2A79-11D5-A019-00D0B76B6A71}"

[QServer.QServerPropPage\CurVer]
@="QServer.QServerPropPage.3"

[QServer.QServerPropPage.3]
@="QServerPropPage Class"

[QServer.QServerPropPage.3\CLSID]
@="{C5539671-2A79-11D5-A019-00D0B76B6A71}"

[TypeLib]

[TypeLib\{92B7D141-934B-11D2-A69F-00A0C93ED440}]

[TypeLib\{92B7D141-934B-11D2-A69F-00A0C93ED440}\3.4]
@="QServer 3.4 Type Library"

[TypeLib\{92B7D141-934B-11D2-A69F-00A0C93ED440}\3.4\409]

[TypeLib\{92B7D141-934B-11D2-A69F-00A0C93ED440}\3.4\409\win32]
@="/opt/quillon/lib/libqserver.so"

[TypeLib\{92B7D141-934B-11D2-A69F-00A0C93ED440}\3.4\FLAGS]
@="0"

[TypeLib\{92B7D141-934B-11D2-A69F-00A0C93ED440}\3.4\HELPDIR]
@="/opt/quillon/lib"
)";

const char kQClientExport[] = R"(; Quillon registry 1

[CLSID]

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}]
@="QClient Control"

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\Control]

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\InprocServer32]
@="/opt/quillon/lib/libqclient.so"
"ThreadingModel"="Apartment"

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\MiscStatus]
@="0"

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\MiscStatus\1]
@="132497"

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\ProgID]
@="QClient.QClientCtrl.2"

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\ToolboxBitmap32]
@="/opt/quillon/lib/libqclient.so,1"

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D140-934B-11D2-A69F-00A0C93ED440}"

[CLSID\{92B7D149-934B-11D2-A69F-00A0C93ED440}\Version]
@="3.4"

[CLSID\{92B7D14A-934B-11D2-A69F-00A0C93ED440}]
@="QClient Property Page"

[CLSID\{92B7D14A-934B-11D2-A69F-00A0C93ED440}\InprocServer32]
@="/opt/quillon/lib/libqclient.so"
"ThreadingModel"="Apartment"

[Interface]

[Interface\{92B7D147-934B-11D2-A69F-00A0C93ED440}]
@="QClientDispatch"

[Interface\{92B7D147-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D140-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[Interface\{92B7D148-934B-11D2-A69F-00A0C93ED440}]
@="QClientEvents"

[Interface\{92B7D148-934B-11D2-A69F-00A0C93ED440}\TypeLib]
@="{92B7D140-934B-11D2-A69F-00A0C93ED440}"
"Version"="3.4"

[QClient.QClientCtrl.2]
@="QClient Control"

[QClient.QClientCtrl.2\CLSID]
@="{92B7D149-934B-11D2-A69F-00A0C93ED440}"

[Quillon.QClientPropPage.1]
@="QClient Property Page"

[Quillon.QClientPropPage.1\CLSID]
@="{92B7D14A-934B-11D2-A69F-00A0C93ED440}"

[TypeLib]

[TypeLib\{92B7D140-934B-11D2-A69F-00A0C93ED440}]

[TypeLib\{92B7D140-934B-11D2-A69F-00A0C93ED440}\3.4]
@="QClient 3.4 Type Library"

[TypeLib\{92B7D140-934B-11D2-A69F-00A0C93ED440}\3.4\409]

[TypeLib\{92B7D140-934B-11D2-A69F-00A0C93ED440}\3.4\409\win32]
@="/opt/quillon/lib/libqclient.so"

[TypeLib\{92B7D140-934B-11D2-A69F-00A0C93ED440}\3.4\FLAGS]
@="0"

[TypeLib\{92B7D140-934B-11D2-A69F-00A0C93ED440}\3.4\HELPDIR]
@="/opt/quillon/lib"
)";

// Damage a real store byte by byte and by truncation: the reader either
// refuses the text or reads something that writes and reads back the same.
TEST(RegistryDamageTest, DamagedStoresNeverCrashAndReparseStably) {
  const std::string good = kQServerExport;
  auto check = [](const std::string& text) {
    registry::Tree tree;
    if (tree.Parse(text) != S_OK) return;
    const std::string exported = tree.Export();
    registry::Tree again;
    ASSERT_EQ(again.Parse(exported), S_OK);
    EXPECT_EQ(again.Export(), exported);
  };
  for (size_t i = 0; i < good.size(); i += 53) {
    for (char replacement : {'"', '\\', '\n', '[', ']', '\0', '\xFF', '='}) {
      std::string damaged = good;
      damaged[i] = replacement;
      check(damaged);
    }
    check(good.substr(0, i));
  }
}

TEST_F(RegistryTest, QServerLibraryRegistrationWritesExactKeys) {
  ASSERT_EQ(RegisterQServerLibrary(kServerPath), S_OK);
  EXPECT_EQ(ReadFile(path_), kQServerExport);
  // Registering again changes nothing.
  ASSERT_EQ(RegisterQServerLibrary(kServerPath), S_OK);
  EXPECT_EQ(ReadFile(path_), kQServerExport);
}

TEST_F(RegistryTest, QClientLibraryRegistrationWritesExactKeys) {
  ASSERT_EQ(RegisterQClientLibrary(kClientPath), S_OK);
  EXPECT_EQ(ReadFile(path_), kQClientExport);
}

TEST_F(RegistryTest, RelativeLibraryPathIsRegisteredAbsolute) {
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  const HRESULT hr = RegisterQClientLibrary("./lib/../libqclient.so");
  fs::current_path(cwd);
  ASSERT_EQ(hr, S_OK);
  const std::string expected = (dir_ / "libqclient.so").string();
  EXPECT_EQ(LoadStore().GetValue("CLSID\\{92B7D149-934B-11D2-A69F-00A0C93ED440}\\InprocServer32"),
            expected);
  EXPECT_EQ(RegisterQClientLibrary(""), SELFREG_E_TYPELIB);
}

TEST_F(RegistryTest, UnregisterRemovesExactlyWhatWasWritten) {
  // Keys of others, some inside the containers the libraries write to.
  const char kForeign[] =
      "; Quillon registry 1\n"
      "\n[CLSID]\n"
      "\n[CLSID\\{11111111-2222-3333-4444-555555555555}]\n@=\"Other\"\n"
      "\n[CLSID\\{92B7D145-934B-11D2-A69F-00A0C93ED440}]\n"
      "\n[CLSID\\{92B7D145-934B-11D2-A69F-00A0C93ED440}\\Implemented Categories]\n"
      "@=\"added by someone else\"\n"
      "\n[Other.App]\n@=\"Other\"\n"
      "\n[TypeLib]\n"
      "\n[TypeLib\\{92B7D141-934B-11D2-A69F-00A0C93ED440}]\n"
      "\n[TypeLib\\{92B7D141-934B-11D2-A69F-00A0C93ED440}\\3.3]\n@=\"older version\"\n";
  WriteFile(path_, kForeign);

  ASSERT_EQ(RegisterQClientLibrary(kClientPath), S_OK);
  const std::string with_client = ReadFile(path_);
  ASSERT_EQ(RegisterQServerLibrary(kServerPath), S_OK);
  EXPECT_EQ(LoadStore().GetValue("CLSID\\{92B7D145-934B-11D2-A69F-00A0C93ED440}"),
            "QServer Control");

  ASSERT_EQ(UnregisterQServerLibrary(), S_OK);
  EXPECT_EQ(ReadFile(path_), with_client);
  ASSERT_EQ(UnregisterQClientLibrary(), S_OK);
  EXPECT_EQ(ReadFile(path_), kForeign);
  // Nothing left to remove is no failure.
  EXPECT_EQ(UnregisterQClientLibrary(), S_OK);
  EXPECT_EQ(ReadFile(path_), kForeign);
}

TEST_F(RegistryTest, UnregisterOnEmptyStoreLeavesNothingBehind) {
  ASSERT_EQ(RegisterQServerLibrary(kServerPath), S_OK);
  ASSERT_EQ(RegisterQClientLibrary(kClientPath), S_OK);
  ASSERT_EQ(UnregisterQClientLibrary(), S_OK);
  ASSERT_EQ(UnregisterQServerLibrary(), S_OK);
  EXPECT_EQ(ReadFile(path_), "; Quillon registry 1\n");

  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(u"QServer.QServer", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"QServer.QServer.3", &clsid), CO_E_CLASSSTRING);
}

TEST_F(RegistryTest, LocalServerClassRegistersItsProgram) {
  ClassDescription monitor;
  monitor.clsid = ids::CLSID_QMonitorDoc;
  monitor.display_name = "QMonitor Document";
  monitor.progid = "Quillon.QMonitor";
  monitor.local_server = true;
  ASSERT_EQ(RegisterComponentLibrary("/usr/bin/qmonitor", nullptr, {&monitor, 1}), S_OK);
  EXPECT_EQ(ReadFile(path_),
            "; Quillon registry 1\n"
            "\n[CLSID]\n"
            "\n[CLSID\\{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}]\n@=\"QMonitor Document\"\n"
            "\n[CLSID\\{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}\\LocalServer32]\n"
            "@=\"/usr/bin/qmonitor\"\n"
            "\n[CLSID\\{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}\\ProgID]\n@=\"Quillon.QMonitor\"\n"
            "\n[Quillon.QMonitor]\n@=\"QMonitor Document\"\n"
            "\n[Quillon.QMonitor\\CLSID]\n@=\"{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}\"\n");
  // Not creatable in-process; as a program, only when the program exists.
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(ids::CLSID_QMonitorDoc, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(ids::CLSID_QMonitorDoc, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
            CO_E_SERVER_EXEC_FAILURE);
  ASSERT_EQ(UnregisterComponentLibrary(nullptr, {&monitor, 1}), S_OK);
  EXPECT_EQ(ReadFile(path_), "; Quillon registry 1\n");
}

// --- Creation -----------------------------------------------------------------------

TEST_F(RegistryTest, ClsidFromProgIdFollowsVersionsAndCurVer) {
  ASSERT_EQ(RegisterQServerLibrary(kServerPath), S_OK);
  struct {
    const char16_t* progid;
    CLSID expected;
  } cases[] = {
      {u"QServer.QServer.3", ids::CLSID_QServer},
      {u"QServer.QServer", ids::CLSID_QServer},
      {u"qserver.qhtmldoc", ids::CLSID_QHtmlDoc},
      {u"QServer.HtmlTags.3", ids::CLSID_HtmlTags},
      {u"QServer.QServerPropPage", ids::CLSID_QServerPropPage},
  };
  for (const auto& c : cases) {
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(c.progid, &clsid), S_OK) << Utf16ToUtf8(c.progid);
    EXPECT_EQ(clsid, c.expected) << Utf16ToUtf8(c.progid);
  }

  // Without a CLSID of its own, the version-independent ProgID is followed
  // through CurVer, one level deep.
  ASSERT_EQ(registry::Transact(path_,
                               [](registry::Tree& t) {
                                 t.DeleteTree("QServer.QServer\\CLSID");
                                 t.SetValue("Loop.A\\CurVer", "", "Loop.B");
                                 t.SetValue("Loop.B\\CurVer", "", "Loop.A");
                                 t.SetValue("Dangling\\CurVer", "", "Nowhere.1");
                                 t.SetValue("Broken.1\\CLSID", "", "not a guid");
                                 return S_OK;
                               }),
            S_OK);
  CLSID clsid = GUID_NULL;
  EXPECT_EQ(CLSIDFromProgID(u"QServer.QServer", &clsid), S_OK);
  EXPECT_EQ(clsid, ids::CLSID_QServer);
  for (const char16_t* bad :
       {u"Loop.A", u"Dangling", u"Broken.1", u"No.Such.Class", u"", u"CLSID\\x", u"QServer"}) {
    EXPECT_EQ(CLSIDFromProgID(bad, &clsid), CO_E_CLASSSTRING) << Utf16ToUtf8(bad);
  }
  EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
}

TEST_F(RegistryTest, ClsidFromStringAndProgIdFromClsid) {
  ASSERT_EQ(RegisterQServerLibrary(kServerPath), S_OK);
  CLSID clsid = GUID_NULL;
  EXPECT_EQ(CLSIDFromString(u"{c88698f2-9435-11d2-a6a0-00a0c93ed440}", &clsid), S_OK);
  EXPECT_EQ(clsid, ids::CLSID_HtmlTag);
  EXPECT_EQ(CLSIDFromString(u"QServer.HtmlTag", &clsid), S_OK);
  EXPECT_EQ(clsid, ids::CLSID_HtmlTag);
  EXPECT_EQ(CLSIDFromString(u"{C88698F2-9435-11D2-A6A0}", &clsid), CO_E_CLASSSTRING);

  LPOLESTR progid = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(ids::CLSID_QHtmlDoc, &progid), S_OK);
  EXPECT_EQ(std::u16string(progid), u"QServer.QHtmlDoc.3");
  CoTaskMemFree(progid);
  // Property pages carry no ProgID values under their class keys.
  EXPECT_EQ(ProgIDFromCLSID(ids::CLSID_QServerPropPage, &progid), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(progid, nullptr);
  EXPECT_EQ(ProgIDFromCLSID(ids::CLSID_QClient, &progid), REGDB_E_CLASSNOTREG);
}

class CreationTest : public RegistryTest {
 protected:
  static bool Loaded(const char* path) {
    void* handle = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    ::dlclose(handle);
    return true;
  }

  // Registers the fixture through its own DllRegisterServer.
  void RegisterFixture() {
    void* handle = ::dlopen(QUILLON_FIXTURE_COMPONENT, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    auto reg = reinterpret_cast<DllRegisterServerFn>(::dlsym(handle, "DllRegisterServer"));
    ASSERT_NE(reg, nullptr);
    EXPECT_EQ(reg(), S_OK);
    ::dlclose(handle);
  }

  void SetInproc(const CLSID& clsid, const std::string& path) {
    ASSERT_EQ(Set("CLSID\\" + FormatGuid(clsid) + "\\InprocServer32", "", path), S_OK);
  }
};

TEST_F(CreationTest, CreatesObjectFromRegisteredLibrary) {
  RegisterFixture();
  EXPECT_EQ(LoadStore().GetValue("CLSID\\" + FormatGuid(fixture::CLSID_Fixture) +
                                 "\\InprocServer32"),
            fs::path(QUILLON_FIXTURE_COMPONENT).lexically_normal().string());

  CLSID clsid = GUID_NULL;
  ASSERT_EQ(CLSIDFromProgID(u"Quillon.Fixture", &clsid), S_OK);
  EXPECT_EQ(clsid, fixture::CLSID_Fixture);

  ComPtr<fixture::IFixture> object;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, fixture::IID_IFixture,
                             object.put_void()),
            S_OK);
  int32_t value = 0;
  ASSERT_EQ(object->Answer(&value), S_OK);
  EXPECT_EQ(value, 42);

  // A second object comes from the same loaded library.
  ComPtr<fixture::IFixture> second;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, fixture::IID_IFixture,
                             second.put_void()),
            S_OK);
  int32_t live = 0;
  ASSERT_EQ(second->LiveObjects(&live), S_OK);
  EXPECT_EQ(live, 2);

  void* unknown = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, &unknown), E_NOINTERFACE);
  EXPECT_EQ(unknown, nullptr);
  EXPECT_EQ(CoCreateInstance(clsid, object.get(), CLSCTX_ALL, IID_IUnknown, &unknown),
            CLASS_E_NOAGGREGATION);
}

TEST_F(CreationTest, FreeUnusedLibrariesUnloadsOnlyIdleLibraries) {
  RegisterFixture();
  {
    ComPtr<fixture::IFixture> object;
    ASSERT_EQ(CoCreateInstance(fixture::CLSID_Fixture, nullptr, CLSCTX_ALL,
                               fixture::IID_IFixture, object.put_void()),
              S_OK);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(Loaded(QUILLON_FIXTURE_COMPONENT));
    int32_t value = 0;
    EXPECT_EQ(object->Answer(&value), S_OK);
  }
  CoFreeUnusedLibraries();
  EXPECT_FALSE(Loaded(QUILLON_FIXTURE_COMPONENT));

  // Creating again loads it again.
  ComPtr<fixture::IFixture> object;
  ASSERT_EQ(CoCreateInstance(fixture::CLSID_Fixture, nullptr, CLSCTX_ALL, fixture::IID_IFixture,
                             object.put_void()),
            S_OK);
  EXPECT_TRUE(Loaded(QUILLON_FIXTURE_COMPONENT));
  object.reset();
  CoFreeUnusedLibraries();
}

TEST_F(CreationTest, ThreadsLoadingTheSameLibraryAtOnceAllSucceed) {
  RegisterFixture();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  std::vector<ComPtr<fixture::IFixture>> objects(8);
  for (size_t i = 0; i < objects.size(); ++i) {
    threads.emplace_back([&, i] {
      if (CoCreateInstance(fixture::CLSID_Fixture, nullptr, CLSCTX_ALL, fixture::IID_IFixture,
                           objects[i].put_void()) != S_OK) {
        ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(failures.load(), 0);
  int32_t live = 0;
  ASSERT_EQ(objects[0]->LiveObjects(&live), S_OK);
  EXPECT_EQ(live, 8);
  objects.clear();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(Loaded(QUILLON_FIXTURE_COMPONENT));
}

TEST_F(CreationTest, FailuresNameTheirCause) {
  const CLSID kMissing = Guid("{0DDC0DE0-0000-4000-8000-000000000001}");
  const CLSID kNoEntry = Guid("{0DDC0DE0-0000-4000-8000-000000000002}");
  const CLSID kLocalOnly = Guid("{0DDC0DE0-0000-4000-8000-000000000003}");
  const CLSID kUnserved = Guid("{0DDC0DE0-0000-4000-8000-000000000004}");
  const CLSID kUnknown = Guid("{0DDC0DE0-0000-4000-8000-000000000005}");
  SetInproc(kMissing, (dir_ / "no-such-library.so").string());
  SetInproc(kNoEntry, QUILLON_FIXTURE_NO_ENTRY);
  ASSERT_EQ(Set("CLSID\\" + FormatGuid(kLocalOnly) + "\\LocalServer32", "", "/usr/bin/true"), S_OK);
  SetInproc(kUnserved, QUILLON_FIXTURE_COMPONENT);  // the library does not serve it

  struct {
    const char* label;
    CLSID clsid;
    DWORD context;
    HRESULT expected;
  } cases[] = {
      {"library missing", kMissing, CLSCTX_ALL, CO_E_DLLNOTFOUND},
      {"no entry point", kNoEntry, CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
      {"local server only, in-process asked for", kLocalOnly, CLSCTX_INPROC_SERVER,
       REGDB_E_CLASSNOTREG},
      // The program runs but exits without offering its class object.
      {"local server that exits at once", kLocalOnly, CLSCTX_ALL, CO_E_SERVER_EXEC_FAILURE},
      {"not registered", kUnknown, CLSCTX_ALL, REGDB_E_CLASSNOTREG},
      {"library does not serve it", kUnserved, CLSCTX_ALL, CLASS_E_CLASSNOTAVAILABLE},
      {"in-process not asked for", kUnserved, CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
  };
  for (const auto& c : cases) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(c.clsid, nullptr, c.context, IID_IUnknown, &object), c.expected)
        << c.label;
    EXPECT_EQ(object, nullptr) << c.label;
  }
  // A library without the entry point is not kept loaded.
  EXPECT_FALSE(Loaded(QUILLON_FIXTURE_NO_ENTRY));
  EXPECT_EQ(CoGetClassObject(kUnknown, CLSCTX_ALL, nullptr, IID_IClassFactory, nullptr),
            E_POINTER);
  CoFreeUnusedLibraries();
}

}  // namespace
}  // namespace quillon::com

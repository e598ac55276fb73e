// The qmonitor program as a user or a web server starts it: its usage,
// a wrong start, the notice of the test hooks, and arguments that a web
// server made of a query string.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
  bool exited() const { return WIFEXITED(status); }
  int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// Runs qmonitor with `args` and exactly `env` (plus the sanitizers'
// settings); killed when it has not ended within 30 seconds.
Outcome RunMonitor(const std::vector<std::string>& args, std::vector<std::string> env) {
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "LD_LIBRARY_PATH"}) {
    if (const char* value = std::getenv(keep)) env.push_back(std::string(keep) + "=" + value);
  }
  std::vector<std::string> argv_text = {QUILLON_QMONITOR};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  int out[2], err[2];
  Outcome run;
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (::poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) {
    ADD_FAILURE() << "qmonitor did not end within 30 s";
    ::kill(pid, SIGKILL);
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  ::waitpid(pid, &run.status, 0);
  return run;
}

// A scratch directory for the registry and runtime files a start may write.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qmonitor_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::vector<std::string> Env(std::vector<std::string> more = {}) const {
    more.push_back("QUILLON_REGISTRY=" + dir_ + "/registry");
    more.push_back("QUILLON_RUNTIME_DIR=" + dir_ + "/run");
    more.push_back("QUILLON_INI=" + dir_ + "/Quillon.ini");
    more.push_back("HOME=" + dir_);
    return more;
  }
  std::string dir_;
};

TEST_F(ProgramTest, HelpPrintsTheUsageWithOrWithoutADisplay) {
  for (const std::vector<std::string>& env :
       {Env(), Env({"QT_QPA_PLATFORM=offscreen"}), Env({"DISPLAY=:97"})}) {
    for (const char* help : {"--help", "-h"}) {
      const Outcome run = RunMonitor({help}, env);
      SCOPED_TRACE(help + (" " + env.front()));
      EXPECT_EQ(run.code(), 0) << run.err;
      EXPECT_TRUE(run.out.starts_with("Usage: qmonitor")) << run.out;
      EXPECT_EQ(run.err, "");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/registry")) << "help wrote the registry";
}

TEST_F(ProgramTest, WrongStartSaysWhatWasExpected) {
  const struct {
    std::vector<std::string> args;
    const char* problem;
  } cases[] = {
      {{"--frobnicate"}, "qmonitor: unknown argument '--frobnicate'\n\nUsage: qmonitor"},
      {{"--inspect"}, "qmonitor: --inspect needs the ProgID of a control"},
      {{"-platform"}, "qmonitor: -platform needs a value\n\nUsage: qmonitor"},
  };
  for (const auto& c : cases) {
    const Outcome run = RunMonitor(c.args, Env());
    EXPECT_EQ(run.code(), 2) << c.args[0];
    EXPECT_TRUE(run.err.starts_with(c.problem)) << run.err;
    EXPECT_EQ(run.out, "") << c.args[0];
  }
}

TEST_F(ProgramTest, TestHooksAreAnnouncedAtTheStart) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int code;
  } cases[] = {
      // No client started it: it says so and ends, after the notice.
      {"automation start", {"-Embedding"}, {"QUILLON_MONITOR_SCRIPT=/srv/answer.txt"}, 1},
      // No display: it says so and ends, after the notice.
      {"desktop start", {}, {"QUILLON_MONITOR_SCRIPT=/srv/answer.txt"}, 1},
  };
  for (const auto& c : cases) {
    const Outcome run = RunMonitor(c.args, Env(c.env));
    EXPECT_EQ(run.code(), c.code) << c.name << ": " << run.err;
    EXPECT_TRUE(
        run.err.starts_with("qmonitor: QUILLON_MONITOR_SCRIPT is set (/srv/answer.txt): "
                            "the editors show no dialog"))
        << c.name << ": " << run.err;
  }
  const Outcome quiet = RunMonitor({"-Embedding"}, Env());
  EXPECT_EQ(quiet.err.find("QUILLON_MONITOR"), std::string::npos) << quiet.err;
}

// Some web servers turn a query string without "=" into arguments: run as
// a CGI program, the monitor forwards whatever they say.
TEST_F(ProgramTest, QueryWordsAsArgumentsDoNotSwitchTheCgiMode) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-Embedding"}, {"/Init"}, {"--help"}, {"x"}}) {
    const Outcome run = RunMonitor(args, Env({"REQUEST_METHOD=GET", "QUERY_STRING=" + args[0]}));
    EXPECT_EQ(run.code(), 0) << args[0] << ": " << run.err;
    EXPECT_TRUE(run.out.starts_with("Content-type: text/html\r\n\r\n<HTML>")) << run.out;
  }
}

}  // namespace

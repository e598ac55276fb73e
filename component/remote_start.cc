// Programs started for a class (LocalServer32): the command line, the
// process with its one socket to the caller, and the program's side of the
// start.
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <thread>

#include "component/remote_proxy.h"
#include "component/remote_transport.h"
#include "component/remote_wire.h"
#include "quillon/component/registration.h"
#include "quillon/component/remote.h"

extern char** environ;

namespace quillon::com {
namespace {

using transport::UniqueFd;

// Waits for a started program on a thread of its own, so that it is reaped
// as soon as it ends (released, crashed or killed), whether or not its
// proxy is still held.
void ReapWhenDone(pid_t pid) {
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// Whether the program announced the class it was started for.
bool AwaitReady(int fd, REFCLSID clsid) {
  uint8_t kind = 0;
  std::string body;
  wire::Ready ready;
  return transport::RecvFrame(fd, &kind, &body) && kind == wire::kReady &&
         wire::Parse(body, &ready) && ready.clsid == clsid;
}

}  // namespace

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
    UniqueFd ours(pair[0]);
    // Above the descriptors the child rearranges, so dup2 always copies it.
    UniqueFd theirs(::fcntl(pair[1], F_DUPFD_CLOEXEC, 10));
    ::close(pair[1]);
    UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
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
    if (!AwaitReady(ours.get(), clsid)) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      return CO_E_SERVER_EXEC_FAILURE;
    }
    ReapWhenDone(pid);
    *factory = NewRemoteClassFactory(std::move(ours));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

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

}  // namespace quillon::com

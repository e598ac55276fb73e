// How the monitor starts: the mode its command line and environment select,
// the registration of its automation class, and the project lookup that
// names the server application a debug run calls.
//
// Nothing here shows a window or needs Qt; the program's main acts on the
// results.
#ifndef QUILLON_MONITOR_RUN_STARTUP_H_
#define QUILLON_MONITOR_RUN_STARTUP_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/remote.h"
#include "quillon/component/types.h"

namespace quillon::monitor {

// Looks an environment variable up: its value, or nullopt when it is not set
// (set but empty is a value). Injectable so that tests need no real
// environment.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment (getenv).
EnvLookup ProcessEnvironment();

enum class StartMode {
  // Started by the component platform for a client: serve the class object,
  // no window until a client creates the object.
  kAutomationServer,
  // "/Init": write the class registration and exit.
  kRegisterAndExit,
  // REQUEST_METHOD is set: forward one CGI request and exit.
  kForwardingCgi,
  // A developer's start: main window and event loop (or the property pages
  // of StartOptions::inspect).
  kDesktop,
  // "--help": the usage on standard output, exit 0.
  kHelp,
  // Arguments the monitor does not know: StartOptions::problem and the
  // usage on standard error, exit 2.
  kBadArguments,
};

struct StartOptions {
  StartMode mode = StartMode::kDesktop;
  // Whether the start writes the class registration first (a failure to
  // write it never stops the start).
  bool register_class = true;
  // Whether the project lookup runs (forwarding CGI and desktop).
  bool look_up_project = true;
  // "--inspect ProgID": the control whose property pages the desktop start
  // shows instead of the main window.
  std::optional<std::string> inspect;
  // What was wrong with the arguments (kBadArguments).
  std::string problem;
};

// Decides the start from the arguments (argv without the program name) and
// the environment, in this order:
//
// 1. REQUEST_METHOD set (even to an empty value) and no embedding
//    descriptor ($QUILLON_EMBEDDING_FD, which only the component platform's
//    start provides) selects the forwarding CGI mode, whatever the
//    arguments say: a web server may turn a query string without "=" into
//    arguments ("?-Embedding"), so there they are the visitor's words.
// 2. An argument "/Embedding", "-Embedding", "/Automation" or "-Automation"
//    selects the automation server, whatever else is present. The switch
//    word compares without regard to ASCII letter case, as the component
//    platform's own switch parser does; the platform starts local servers
//    with "-Embedding".
// 3. Else an argument "/Init" (whole argument, ASCII letter case ignored)
//    selects register-and-exit.
// 4. Else REQUEST_METHOD set (with a descriptor) selects the forwarding CGI
//    mode.
// 5. Else the arguments of a desktop start: none, "--inspect ProgID",
//    "--help" (also "-h", "-?", "/?": kHelp), and Qt's own options
//    (-platform NAME, -style NAME, -reverse ... see UsageText). Anything
//    else is kBadArguments. Help and bad arguments write nothing.
StartOptions DecideStart(const std::vector<std::string>& args, const EnvLookup& env);

// What "--help" prints (and a wrong start prints after its problem).
std::string UsageText();

// --- Registration -------------------------------------------------------------

// The type name under which the monitor's class is registered.
inline constexpr char kMonitorTypeName[] = "QMonitor Document";

// The running program's own path (/proc/self/exe), "" when it cannot be read.
std::string ProgramPath();

// Writes the monitor's class into the class registry: ProgID
// "Quillon.QMonitor" (\CLSID), CLSID\{D1E6C3F1-...} with the type name,
// ProgID and LocalServer32 = `program_path`. Returns the registration's
// result (S_OK, or SELFREG_E_TYPELIB / SELFREG_E_CLASS when the registry
// cannot be written; LastRegistrationError says why). Callers go on
// starting whatever it returns.
com::HRESULT RegisterMonitorClass(const std::string& program_path);

// --- Project lookup ---------------------------------------------------------------

// The command line the way the original platform hands it to a program: the
// program path, enclosed in double quotes and followed by one blank when it
// contains a blank or tab, then the arguments separated by one blank (an
// argument with a blank or tab in double quotes). `argv` includes the
// program path as its first element; empty gives "".
std::string JoinCommandLine(const std::vector<std::string>& argv);

// The process's own arguments from /proc/self/cmdline, program path first;
// empty when the file cannot be read.
std::vector<std::string> ProcessArguments();

// The command line prepared for comparison: upper-cased by the process code
// page's rule (single-byte a-z only, multibyte characters untouched); when
// it begins with a double quote, without that first character and without
// its last two (the closing quote and the blank behind it). A quoted line
// shorter than three bytes becomes "".
std::string PrepareCommandLine(std::string_view command_line);

// Where "Quillon.ini" is read from: $QUILLON_INI when set and not empty;
// else the first non-empty entry of $XDG_CONFIG_DIRS + "/quillon/Quillon.ini"
// (the common configuration directory of the XDG base directory rules);
// else "/etc/xdg/quillon/Quillon.ini".
std::string ProjectIniPath(const EnvLookup& env);

// The keys of one section of an initialisation file, read as
// quillon/platform/ini.h says (the platform's profile rules): section and
// key names compare without regard to ASCII letter case, the first
// occurrence of a key wins, values are trimmed and lose one pair of
// enclosing double or single quotes. A missing or unreadable file reads as
// empty.
class IniSection {
 public:
  static IniSection Read(const std::string& path, std::string_view section);

  // The value, or `fallback` when the key is absent.
  std::string GetString(std::string_view key, std::string_view fallback = {}) const;
  // The leading decimal number of the value (optional sign), `fallback` when
  // the key is absent, 0 when the value does not start with a number.
  long GetInt(std::string_view key, long fallback) const;
  // Every key of the section in file order, names as written.
  const std::vector<std::pair<std::string, std::string>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

// Finds the project whose forwarding program runs under `command_line`
// (already prepared): for i = 1 ... NumProjects of section "Debug", key
// "Project<i>" names a project, and the key named by that project holds its
// command line, which is upper-cased and compared byte for byte. Returns the
// first matching project name, or "" when none matches (missing file,
// missing NumProjects, no equal line).
std::string FindProject(std::string_view prepared_command_line, const std::string& ini_path);

// The whole lookup for this process: ProcessArguments, JoinCommandLine,
// PrepareCommandLine, ProjectIniPath and FindProject.
std::string LookUpProjectName(const EnvLookup& env);

// --- Whom the forwarding mode trusts ------------------------------------------------

// The forwarding mode runs as the web server's user, which every other
// program the web server runs shares: any of them could publish a debug
// object first and receive the forwarded requests with their cookies. So it
// trusts no endpoint of its own user, only the users named in
// $QUILLON_TRUST_USERS and in key "TrustUsers" of section "Debug" of
// "Quillon.ini" (comma-separated names or numeric uids), and root unless
// root is its own user.
com::ConnectOptions ForwardingTrust(const EnvLookup& env);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_RUN_STARTUP_H_

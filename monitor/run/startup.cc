#include "monitor/run/startup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "quillon/component/registration.h"
#include "quillon/component/remote.h"
#include "quillon/component/runtime.h"
#include "quillon/core/product.h"
#include "quillon/platform/codepage.h"
#include "quillon/platform/ini.h"

namespace quillon::monitor {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool IsAutomationSwitch(std::string_view arg) {
  if (arg.empty() || (arg[0] != '/' && arg[0] != '-')) return false;
  arg.remove_prefix(1);
  return EqualsIgnoringAsciiCase(arg, "Embedding") || EqualsIgnoringAsciiCase(arg, "Automation");
}

bool HasBlank(std::string_view text) { return text.find_first_of(" \t") != std::string_view::npos; }

std::string Quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

}  // namespace

EnvLookup ProcessEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

namespace {

// Qt's own options, which QApplication takes out of the arguments: those
// followed by a value, and flags.
constexpr std::string_view kQtValueOptions[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "name",          "title",   "icon",
};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

// The option word of "-word", "--word" or "-word=value"; empty for an
// argument that is no option.
std::string_view OptionWord(std::string_view arg, bool* has_value) {
  *has_value = false;
  if (arg.size() < 2 || arg[0] != '-') return {};
  arg.remove_prefix(arg[1] == '-' ? 2 : 1);
  if (const size_t equals = arg.find('='); equals != std::string_view::npos) {
    *has_value = true;
    arg = arg.substr(0, equals);
  }
  return arg;
}

template <size_t N>
bool OneOf(std::string_view word, const std::string_view (&words)[N]) {
  for (std::string_view w : words) {
    if (w == word) return true;
  }
  return false;
}

StartOptions Refused(std::string problem) {
  StartOptions options;
  options.mode = StartMode::kBadArguments;
  options.register_class = false;
  options.look_up_project = false;
  options.problem = std::move(problem);
  return options;
}

StartOptions DesktopArguments(const std::vector<std::string>& args) {
  StartOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?") {
      StartOptions help;
      help.mode = StartMode::kHelp;
      help.register_class = false;
      help.look_up_project = false;
      return help;
    }
    if (arg == "--inspect") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return Refused("--inspect needs the ProgID of a control, e.g. --inspect QServer.QServer");
      }
      options.inspect = args[++i];
      continue;
    }
    bool has_value = false;
    const std::string_view word = OptionWord(arg, &has_value);
    if (OneOf(word, kQtFlags) && !has_value) continue;
    if (OneOf(word, kQtValueOptions)) {
      if (!has_value && ++i >= args.size()) return Refused(arg + " needs a value");
      continue;
    }
    return Refused("unknown argument '" + arg + "'");
  }
  return options;
}

}  // namespace

StartOptions DecideStart(const std::vector<std::string>& args, const EnvLookup& env) {
  const bool cgi = env("REQUEST_METHOD").has_value();
  const std::optional<std::string> descriptor = env(com::kEmbeddingFdVariable);
  StartOptions options;
  if (cgi && (!descriptor || descriptor->empty())) {
    options.mode = StartMode::kForwardingCgi;
    return options;
  }
  for (const std::string& arg : args) {
    if (IsAutomationSwitch(arg)) {
      options.mode = StartMode::kAutomationServer;
      options.register_class = false;
      options.look_up_project = false;
      return options;
    }
  }
  for (const std::string& arg : args) {
    if (EqualsIgnoringAsciiCase(arg, "/Init")) {
      options.mode = StartMode::kRegisterAndExit;
      options.look_up_project = false;
      return options;
    }
  }
  if (cgi) {
    options.mode = StartMode::kForwardingCgi;
    return options;
  }
  return DesktopArguments(args);
}

std::string UsageText() {
  return "Usage: qmonitor [--inspect ProgID] [Qt options]\n"
         "       qmonitor /Init\n"
         "       qmonitor --help\n"
         "\n"
         "The debugging monitor of Quillon.\n"
         "\n"
         "  (no argument)     the monitor's window: menu \"操作\" opens the request and\n"
         "                    response editors and a debug run of the project\n"
         "  --inspect ProgID  the property pages of a control (QServer.QServer ...)\n"
         "  /Init             registers the monitor (\"Quillon.QMonitor\") and exits\n"
         "  -Embedding        how the component platform starts it for a client\n"
         "                    (the client control's offline exchange); not by hand\n"
         "  --help            this text\n"
         "\n"
         "Qt options: -platform NAME, -style NAME, -stylesheet FILE, -display NAME,\n"
         "-geometry WxH+X+Y, -reverse ... (a display or QT_QPA_PLATFORM is needed for\n"
         "the window).\n"
         "\n"
         "Started by a web server (REQUEST_METHOD set), the monitor forwards the\n"
         "request to the debug object of the project that Quillon.ini names for its\n"
         "command line, and ignores its arguments (they may come from the visitor).\n"
         "Quillon.ini: $QUILLON_INI, else <XDG config dir>/quillon/Quillon.ini, else\n"
         "/etc/xdg/quillon/Quillon.ini; section [Debug]: NumProjects, Project<n>,\n"
         "<project>=<command line>, TrustUsers=<users whose debug objects it calls>.\n";
}

std::string ProgramPath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

com::HRESULT RegisterMonitorClass(const std::string& program_path) {
  com::ClassDescription monitor;
  monitor.clsid = ids::CLSID_QMonitorDoc;
  monitor.display_name = kMonitorTypeName;
  monitor.progid = com::Utf16ToUtf8(ids::kProgIdQMonitor);
  monitor.local_server = true;
  monitor.threading_model.clear();
  const com::ClassDescription classes[] = {monitor};
  return com::RegisterComponentLibrary(program_path, nullptr, classes);
}

std::string JoinCommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (size_t i = 0; i < argv.size(); ++i) {
    const bool quote = HasBlank(argv[i]);
    if (i > 0 && !line.ends_with(' ')) line += ' ';
    line += quote ? Quoted(argv[i]) : argv[i];
    // The platform's shell writes a quoted program path with a blank behind
    // it even when no argument follows; the lookup relies on that blank.
    if (i == 0 && quote) line += ' ';
  }
  return line;
}

std::vector<std::string> ProcessArguments() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  if (!file) return {};
  const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    args.emplace_back(raw, start, end - start);
    start = end + 1;
  }
  return args;
}

std::string PrepareCommandLine(std::string_view command_line) {
  std::string line = platform::ProcessCodePage().ToUpper(command_line);
  if (!line.empty() && line.front() == '"') {
    if (line.size() < 3) return {};
    line = line.substr(1, line.size() - 3);
  }
  return line;
}

std::string ProjectIniPath(const EnvLookup& env) {
  if (auto path = env("QUILLON_INI"); path && !path->empty()) return *path;
  if (auto dirs = env("XDG_CONFIG_DIRS"); dirs) {
    size_t start = 0;
    while (start <= dirs->size()) {
      size_t end = dirs->find(':', start);
      if (end == std::string::npos) end = dirs->size();
      if (end > start) return dirs->substr(start, end - start) + "/quillon/Quillon.ini";
      start = end + 1;
    }
  }
  return "/etc/xdg/quillon/Quillon.ini";
}

IniSection IniSection::Read(const std::string& path, std::string_view section) {
  IniSection result;
  result.entries_ = platform::ReadIniSection(path, section);
  return result;
}

std::string IniSection::GetString(std::string_view key, std::string_view fallback) const {
  for (const auto& [name, value] : entries_) {
    if (EqualsIgnoringAsciiCase(name, key)) return value;
  }
  return std::string(fallback);
}

long IniSection::GetInt(std::string_view key, long fallback) const {
  for (const auto& [name, value] : entries_) {
    if (!EqualsIgnoringAsciiCase(name, key)) continue;
    errno = 0;
    const long number = std::strtol(value.c_str(), nullptr, 10);
    return errno == ERANGE ? 0 : number;
  }
  return fallback;
}

namespace {

// The index of a key spelled "Project" + i as "%d" writes it (no sign, no
// leading zero), or 0 for any other key.
long ProjectKeyIndex(std::string_view key) {
  constexpr std::string_view kPrefix = "Project";
  if (key.size() <= kPrefix.size() || !EqualsIgnoringAsciiCase(key.substr(0, kPrefix.size()), kPrefix)) {
    return 0;
  }
  const std::string_view digits = key.substr(kPrefix.size());
  if (digits.size() > 18 || digits[0] == '0') return 0;
  long index = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    index = index * 10 + (c - '0');
  }
  return index;
}

}  // namespace

std::string FindProject(std::string_view prepared_command_line, const std::string& ini_path) {
  const IniSection debug = IniSection::Read(ini_path, "Debug");
  const platform::CodePage& code_page = platform::ProcessCodePage();
  const long count = debug.GetInt("NumProjects", 0);
  // Walking i = 1 ... NumProjects key by key would let one absurd count hang
  // the start; only the keys that exist can name a project (a missing
  // "Project<i>" names "", which is no project), so visit those in index
  // order. The first key of a name wins, as GetString reads it.
  std::vector<std::pair<long, std::string>> projects;
  for (const auto& [name, value] : debug.entries()) {
    const long index = ProjectKeyIndex(name);
    if (index < 1 || index > count) continue;
    bool seen = false;
    for (const auto& p : projects) seen = seen || p.first == index;
    if (!seen) projects.emplace_back(index, value);
  }
  std::sort(projects.begin(), projects.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [index, project] : projects) {
    const std::string line = code_page.ToUpper(debug.GetString(project));
    if (!project.empty() && line == prepared_command_line) return project;
  }
  return {};
}

std::string LookUpProjectName(const EnvLookup& env) {
  const std::string prepared = PrepareCommandLine(JoinCommandLine(ProcessArguments()));
  return FindProject(prepared, ProjectIniPath(env));
}

com::ConnectOptions ForwardingTrust(const EnvLookup& env) {
  com::ConnectOptions options;
  options.trust_own_user = false;
  // The runtime reads the process's variable itself; an injected
  // environment (tests) is passed on here.
  for (std::string list :
       {env("QUILLON_TRUST_USERS").value_or(""),
        IniSection::Read(ProjectIniPath(env), "Debug").GetString("TrustUsers")}) {
    if (!list.empty()) options.trust_users.push_back(std::move(list));
  }
  return options;
}

}  // namespace quillon::monitor

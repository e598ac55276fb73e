#include "monitor/run/startup.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "quillon/component/registration.h"
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

StartOptions DecideStart(const std::vector<std::string>& args, const EnvLookup& env) {
  StartOptions options;
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
  options.mode = env("REQUEST_METHOD") ? StartMode::kForwardingCgi : StartMode::kDesktop;
  return options;
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

}  // namespace quillon::monitor

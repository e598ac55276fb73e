// Whether a Qt platform can start here. Qt ends the process when its
// platform plugin cannot start (no display, a display that refuses the
// connection, a missing plugin), so a host that asks for a dialog without
// a desktop must be told before Qt is touched.
#include <dlfcn.h>

#include <QApplication>
#include <QLibraryInfo>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/runtime.h"
#include "quillon/desktop/desktop.h"

namespace quillon::desktop {
namespace {

constexpr char16_t kCannotShow[] = u"ダイアログを表示できません。";

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::u16string Widen(std::string_view text) { return com::Utf8ToUtf16(text); }

// Whether a directory Qt takes platform plugins from holds one whose file
// name starts with `prefix`: Qt's own plugin directory, those of
// QT_PLUGIN_PATH (each with its "platforms" folder) and
// QT_QPA_PLATFORM_PLUGIN_PATH (the folder itself).
bool HasPlatformPlugin(const std::string& prefix) {
  std::vector<std::filesystem::path> folders{
      std::filesystem::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) /
      "platforms"};
  const std::string extra = Variable("QT_PLUGIN_PATH");
  for (size_t start = 0; start <= extra.size();) {
    size_t end = extra.find(':', start);
    if (end == std::string::npos) end = extra.size();
    if (end > start) {
      folders.push_back(std::filesystem::path(extra.substr(start, end - start)) / "platforms");
    }
    start = end + 1;
  }
  if (const std::string direct = Variable("QT_QPA_PLATFORM_PLUGIN_PATH"); !direct.empty()) {
    folders.emplace_back(direct);
  }
  for (const auto& folder : folders) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      if (entry.path().filename().string().starts_with(prefix)) return true;
    }
  }
  return false;
}

// Connects to the X display the way the xcb plugin will, through the
// plugin's own library, so that an unreachable display or a refused
// authorisation shows here rather than as Qt's fatal error.
std::optional<std::u16string> XDisplayProblem(const std::string& display) {
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) {
    return std::u16string(kCannotShow) + u"X11 のライブラリ libxcb.so.1 がありません。";
  }
  auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
  auto has_error = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
  std::optional<std::u16string> problem;
  if (connect == nullptr || has_error == nullptr || disconnect == nullptr) {
    problem = std::u16string(kCannotShow) + u"libxcb.so.1 が不完全です。";
  } else {
    int screen = 0;
    void* connection = connect(display.c_str(), &screen);
    // xcb_connect never returns null: a failed connection is an error object
    // that must still be disconnected.
    if (has_error(connection) != 0) {
      problem = std::u16string(kCannotShow) + u"ディスプレイ " + Widen(display) +
                u" に接続できません（DISPLAY）。";
    }
    disconnect(connection);
  }
  dlclose(xcb);
  return problem;
}

std::optional<std::u16string> PlatformProblem(const std::string& platform) {
  if (platform == "xcb") {
    const std::string display = Variable("DISPLAY");
    if (display.empty()) {
      return std::u16string(kCannotShow) +
             u"QT_QPA_PLATFORM=xcb ですが DISPLAY が設定されていません。";
    }
    if (!HasPlatformPlugin("libqxcb")) {
      return std::u16string(kCannotShow) + u"Qt のプラットフォーム xcb がありません。";
    }
    return XDisplayProblem(display);
  }
  if (platform.starts_with("wayland")) {
    if (Variable("WAYLAND_DISPLAY").empty()) {
      return std::u16string(kCannotShow) + u"QT_QPA_PLATFORM=" + Widen(platform) +
             u" ですが WAYLAND_DISPLAY が設定されていません。";
    }
    if (!HasPlatformPlugin("libqwayland")) {
      return std::u16string(kCannotShow) + u"Qt のプラットフォーム wayland がありません。";
    }
    return std::nullopt;
  }
  if (!HasPlatformPlugin("libq" + platform + ".")) {
    return std::u16string(kCannotShow) + u"Qt のプラットフォーム " + Widen(platform) +
           u" がありません（QT_QPA_PLATFORM）。";
  }
  return std::nullopt;
}

// The platform Qt will start: the first of QT_QPA_PLATFORM's candidates
// (without its options), else xcb with DISPLAY, else wayland with
// WAYLAND_DISPLAY; empty when there is nothing to start.
std::string ChosenPlatform() {
  std::string platform = Variable("QT_QPA_PLATFORM");
  if (!platform.empty()) {
    platform = platform.substr(0, platform.find(';'));
    return platform.substr(0, platform.find(':'));
  }
  if (!Variable("DISPLAY").empty()) return "xcb";
  if (!Variable("WAYLAND_DISPLAY").empty()) return "wayland";
  return {};
}

}  // namespace

std::optional<std::u16string> DisplayProblem() {
  if (QCoreApplication::instance() != nullptr) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) return std::nullopt;
    return std::u16string(kCannotShow) +
           u"ホストのアプリケーションはウィジェットを扱えません（QApplication ではありません）。";
  }
  const std::string platform = ChosenPlatform();
  if (platform.empty()) {
    return std::u16string(kCannotShow) +
           u"ディスプレイがありません（DISPLAY、WAYLAND_DISPLAY、QT_QPA_PLATFORM のどれも設定されて"
           u"いません）。";
  }
  return PlatformProblem(platform);
}

QApplication* EnsureApplication() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
  // Qt keeps references to argc and argv for the application's life. The
  // platform chosen from the display variables is named explicitly (Qt
  // would not pick Wayland on its own everywhere); QT_QPA_PLATFORM, with
  // its options, is left for Qt to read.
  static std::string platform = ChosenPlatform();
  static char program[] = "quillon";
  static char option[] = "-platform";
  static char* argv[] = {program, option, platform.data(), nullptr};
  static int argc = Variable("QT_QPA_PLATFORM").empty() ? 3 : 1;
  // Kept for the life of the process: hosts may show dialogs again, and Qt
  // does not support a second application object.
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

}  // namespace quillon::desktop

// The monitor's two editing entry points, shared by its three callers (the
// automation object, the main window's menu and the interactive debug
// run), and its main window.
#ifndef QUILLON_MONITOR_UI_MONITOR_H_
#define QUILLON_MONITOR_UI_MONITOR_H_

#include <QMainWindow>
#include <functional>
#include <string>
#include <string_view>

#include "monitor/ui/capture.h"

namespace quillon::monitor {

// Opens the request editor on `request_text` (the form of a ".REQ" file,
// split as the file reader splits it) and, once it is closed, answers
// EnvironmentLine + "\r\n" + ParameterText as edited.
std::string EditRequestData(std::string_view request_text, QWidget* parent = nullptr);

// Opens the response editor and, once it is closed, answers the body text
// when `kind` is exactly ".RES" and the body (as edited) is a string; ""
// otherwise.
std::string EditResponseData(std::string header_text, ResponseBody body, std::string kind,
                             QWidget* parent = nullptr);

// Unattended runs (end-to-end tests of the client's offline exchange).
// When the environment variable QUILLON_MONITOR_SCRIPT names a file, the
// two functions above show no dialog:
//   - EditRequestData answers the request text unchanged (split and joined
//     again, as the editor would have left it);
//   - EditResponseData takes the script file's whole content (up to its
//     first zero byte) as the edited string body, then answers by the rule
//     above; an unreadable script leaves the body as it was given.
// When QUILLON_MONITOR_LOG also names a file, each call appends one line
// to it, every field value-encoded so that any bytes fit on one line:
//   EditRequestData RequestText=<encoded>
//   EditResponseData
//   HeaderText=<encoded>&Body=<encoded>&BodyType=<empty|string|bytes>&Kind=<encoded>
inline constexpr char kScriptVariable[] = "QUILLON_MONITOR_SCRIPT";
inline constexpr char kLogVariable[] = "QUILLON_MONITOR_LOG";

// What the program says on standard error at its start when either
// variable is set (not empty): one line for each, naming its value, so
// that a variable left set cannot silently turn the editors off. "" when
// neither is set.
std::string UnattendedNotice();

// The main window "QMonitor": a frame whose only menu "操作" holds the
// editors and the debug run; it shows no content of its own. The menu's
// actions are named editRequest, editResponse and debugRun.
class MainWindow : public QMainWindow {
 public:
  using DebugRun = std::function<void(QWidget* parent)>;

  explicit MainWindow(QWidget* parent = nullptr);

  // What "サーバ・アプリケーションのデバッグ" runs (the debug run lives with
  // the program's start-up); without one the command does nothing.
  void SetDebugRun(DebugRun run) { debug_run_ = std::move(run); }

 private:
  DebugRun debug_run_;
};

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_UI_MONITOR_H_

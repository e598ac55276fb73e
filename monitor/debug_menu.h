// The main window's "サーバ・アプリケーションのデバッグ": the interactive
// debug run of monitor/run with the editors of monitor/ui as its dialogs
// and a message box for its failures.
#ifndef QUILLON_MONITOR_DEBUG_MENU_H_
#define QUILLON_MONITOR_DEBUG_MENU_H_

#include <QWidget>
#include <string>

#include "monitor/run/interactive.h"

namespace quillon::monitor {

InteractiveDebugResult RunDebugFromMenu(const std::string& project, QWidget* parent);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_DEBUG_MENU_H_

#include "monitor/ui/monitor.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "monitor/ui/editors.h"
#include "monitor/ui/services.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/files.h"

namespace quillon::monitor {
namespace {

const char* ScriptPath() {
  const char* path = std::getenv(kScriptVariable);
  return path != nullptr && path[0] != '\0' ? path : nullptr;
}

void Log(const std::string& line) {
  const char* path = std::getenv(kLogVariable);
  if (path == nullptr || path[0] == '\0') return;
  std::ofstream(path, std::ios::binary | std::ios::app) << line << '\n';
}

const char* BodyTypeName(ResponseBody::Type type) {
  switch (type) {
    case ResponseBody::Type::kString:
      return "string";
    case ResponseBody::Type::kBytes:
      return "bytes";
    case ResponseBody::Type::kEmpty:
      break;
  }
  return "empty";
}

}  // namespace

std::string UnattendedNotice() {
  std::string notice;
  if (const char* script = ScriptPath()) {
    notice += std::string("qmonitor: ") + kScriptVariable + " is set (" + script +
              "): the editors show no dialog and answer from that file.\n";
  }
  if (const char* log = std::getenv(kLogVariable); log != nullptr && log[0] != '\0') {
    notice += std::string("qmonitor: ") + kLogVariable + " is set (" + log +
              "): what unattended editors receive is logged there.\n";
  }
  return notice;
}

std::string EditRequestData(std::string_view request_text, QWidget* parent) {
  RequestCapture capture = SplitRequestText(request_text);
  if (ScriptPath() != nullptr) {
    Log("EditRequestData RequestText=" + core::EncodeValue(request_text));
  } else {
    RequestEditor editor(&capture, parent);
    RunModal(&editor);
  }
  return RequestFileBytes(capture);
}

std::string EditResponseData(std::string header_text, ResponseBody body, std::string kind,
                             QWidget* parent) {
  ResponseCapture capture{std::move(header_text), std::move(body), std::move(kind), {}};
  if (const char* script = ScriptPath()) {
    Log("EditResponseData HeaderText=" + core::EncodeValue(capture.HeaderText) + "&Body=" +
        core::EncodeValue(capture.Body.data) + "&BodyType=" + BodyTypeName(capture.Body.type) +
        "&Kind=" + core::EncodeValue(capture.Kind));
    std::string answer;
    if (platform::ReadWholeFile(script, &answer)) {
      capture.Body = ResponseBody::String(std::string(TextOfFile(answer)));
    }
  } else {
    ResponseEditor editor(&capture, parent);
    RunModal(&editor);
  }
  return ResponseResult(capture);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("QMonitor"));
  setWindowTitle(QStringLiteral("QMonitor"));
  QMenu* menu = menuBar()->addMenu(QStringLiteral("操作"));
  menu->setObjectName(QStringLiteral("operations"));
  QAction* request = menu->addAction(QStringLiteral("要求データの編集"));
  request->setObjectName(QStringLiteral("editRequest"));
  QAction* response = menu->addAction(QStringLiteral("返送データの編集"));
  response->setObjectName(QStringLiteral("editResponse"));
  QAction* debug = menu->addAction(QStringLiteral("サーバ・アプリケーションのデバッグ"));
  debug->setObjectName(QStringLiteral("debugRun"));
  // The menu's editors start empty and their answers go nowhere: what the
  // developer keeps is what they save to files.
  connect(request, &QAction::triggered, this, [this] { EditRequestData({}, this); });
  connect(response, &QAction::triggered, this,
          [this] { EditResponseData({}, ResponseBody::Empty(), std::string(kSessionKind), this); });
  connect(debug, &QAction::triggered, this, [this] {
    if (debug_run_) debug_run_(this);
  });
  resize(480, 320);
}

}  // namespace quillon::monitor

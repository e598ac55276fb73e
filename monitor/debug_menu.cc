#include "monitor/debug_menu.h"

#include <QMessageBox>
#include <string>

#include "monitor/ui/capture.h"
#include "monitor/ui/monitor.h"
#include "monitor/ui/monitor_doc.h"
#include "monitor/ui/services.h"
#include "quillon/platform/codepage.h"

namespace quillon::monitor {

InteractiveDebugResult RunDebugFromMenu(const std::string& project, QWidget* parent) {
  InteractiveDebugCallbacks callbacks;
  callbacks.edit_request = [parent] {
    const RequestCapture edited = SplitRequestText(EditRequestData("", parent));
    return EditedRequest{edited.EnvironmentLine, edited.ParameterText};
  };
  callbacks.show_message = [parent](const std::u16string& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("QMonitor"),
                    QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("DebugMessage"));
    RunModal(&box);
  };
  callbacks.edit_response = [parent](const DebugResponse& response) {
    const platform::CodePage& cp = platform::ProcessCodePage();
    EditResponseData(cp.FromUtf16(response.header), BodyFromVariant(*response.body.get()),
                     cp.FromUtf16(response.kind), parent);
  };
  return RunInteractiveDebug(project, callbacks);
}

}  // namespace quillon::monitor

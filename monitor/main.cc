// qmonitor: the debugging monitor. One program, four starts (see
// monitor/run/startup.h): a local server for the client control's offline
// exchange, a register-and-exit, the forwarding CGI program a web server
// runs in place of a page, and the developer's desktop window.
#include <signal.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "monitor/debug_menu.h"
#include "monitor/run/forward_cgi.h"
#include "monitor/run/startup.h"
#include "monitor/ui/monitor.h"
#include "monitor/ui/monitor_doc.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/remote.h"
#include "quillon/core/product.h"
#include "quillon/desktop/desktop.h"

namespace {

using namespace quillon;

// Without a display Qt aborts the process; a developer who started the
// monitor from a text console gets a line instead.
bool HaveDisplay() {
  if (const std::optional<std::u16string> problem = desktop::DisplayProblem()) {
    std::fprintf(stderr, "qmonitor: %s\n", com::Utf16ToUtf8(*problem).c_str());
    return false;
  }
  return true;
}

// Serves the one client that started this process: its QMonitorDoc calls
// arrive on the event loop, so the editors' modal dialogs run as usual and
// the caller waits until the developer closes them.
int RunAutomationServer(int argc, char** argv) {
  std::unique_ptr<com::EmbeddingServer> server;
  if (com::Failed(com::EmbeddingServer::FromEnvironment(&server))) {
    std::fputs("qmonitor: -Embedding without a client (started by hand?)\n", stderr);
    return 1;
  }
  if (!HaveDisplay()) return 1;
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  com::ComPtr<com::IClassFactory> factory;
  if (com::Failed(monitor::GetMonitorDocFactory(com::IID_IClassFactory, factory.put_void())) ||
      com::Failed(server->ServeClassObject(ids::CLSID_QMonitorDoc, factory.get()))) {
    return 1;
  }
  QSocketNotifier notifier(server->fd(), QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    // Off while a call runs: a client that hangs up during a long dialog
    // would keep the socket readable and spin the dialog's nested loop.
    notifier.setEnabled(false);
    server->ProcessPending();
    if (server->finished()) {
      app.quit();
    } else {
      notifier.setEnabled(true);
    }
  });
  return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
  const monitor::EnvLookup env = monitor::ProcessEnvironment();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const monitor::StartOptions start = monitor::DecideStart(args, env);
  switch (start.mode) {
    case monitor::StartMode::kHelp:
      std::fputs(monitor::UsageText().c_str(), stdout);
      return 0;
    case monitor::StartMode::kBadArguments:
      std::fprintf(stderr, "qmonitor: %s\n\n%s", start.problem.c_str(),
                   monitor::UsageText().c_str());
      return 2;
    case monitor::StartMode::kAutomationServer:
    case monitor::StartMode::kDesktop:
      // The starts whose editors the test hooks silence.
      std::fputs(monitor::UnattendedNotice().c_str(), stderr);
      break;
    case monitor::StartMode::kRegisterAndExit:
    case monitor::StartMode::kForwardingCgi:
      break;
  }
  // The runtime needs no initialisation of its own, so message 100 (the
  // platform failed to start) has no occasion here.
  if (start.mode == monitor::StartMode::kAutomationServer) return RunAutomationServer(argc, argv);
  if (start.register_class) {
    // A registry the web server's user cannot write must not stop a
    // forwarding run; the developer's desktop start writes it.
    (void)monitor::RegisterMonitorClass(monitor::ProgramPath());
  }
  if (start.mode == monitor::StartMode::kRegisterAndExit) return 0;
  const std::string project = start.look_up_project ? monitor::LookUpProjectName(env) : "";
  if (start.mode == monitor::StartMode::kForwardingCgi) {
    // A web server that gives up on the request closes the pipe; the
    // answer is then lost, not the process.
    ::signal(SIGPIPE, SIG_IGN);
    monitor::RunForwardingCgi(project, monitor::ProcessCgiStreams());
    return 0;
  }
  if (!HaveDisplay()) return 1;
  QApplication app(argc, argv);
  if (start.inspect) {
    QString error;
    if (com::Failed(desktop::Inspect(com::Utf8ToUtf16(*start.inspect), &error))) {
      std::fprintf(stderr, "qmonitor: %s\n", error.toStdString().c_str());
      return 1;
    }
    return 0;
  }
  monitor::MainWindow window;
  window.SetDebugRun([project](QWidget* parent) { monitor::RunDebugFromMenu(project, parent); });
  window.show();
  return app.exec();
}

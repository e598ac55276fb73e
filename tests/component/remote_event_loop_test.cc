// A started program's serving loop driven by a Qt event loop, the way the
// monitor runs it: a socket notifier disabled while each message is served,
// a call that runs a nested event loop (a modal dialog) while its client
// hangs up, and the end of the program when the client is gone.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <string>

#include "quillon/component/remote.h"
#include "tests/component/remote_test_object.h"
#include "tests/support/bounded_wait.h"

namespace quillon::com {
namespace {

TEST(EmbeddingServerEventLoop, NotifierServesCallsAndANestedLoopStaysQuiet) {
  int argc = 1;
  char name[] = "remote_event_loop_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  quillon::testing::LimitSocketWaits(pair[0]);
  EmbeddingServer server(pair[1]);
  bool in_call = false;
  int activations = 0;
  int activations_in_call = 0;
  auto object = testing::ScriptedObject::Create();
  object->Add(u"Modal", [&](WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    in_call = true;
    // The client gives up while the "dialog" is open.
    QTimer::singleShot(10, [&] { close(pair[0]); });
    QEventLoop dialog;
    QTimer::singleShot(200, &dialog, &QEventLoop::quit);
    dialog.exec();
    in_call = false;
    return S_OK;
  });
  auto* factory = new testing::LambdaFactory([&] { return ComPtr<IDispatch>(object.get()); });
  ASSERT_EQ(server.ServeClassObject(testing::kRemoteTestClsid, factory), S_OK);
  factory->Release();
  char ready[21];
  ASSERT_EQ(recv(pair[0], ready, sizeof ready, MSG_WAITALL), 21);

  QSocketNotifier notifier(server.fd(), QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    ++activations;
    if (in_call) ++activations_in_call;
    notifier.setEnabled(false);
    server.ProcessPending();
    if (server.finished()) {
      app.quit();
    } else {
      notifier.setEnabled(true);
    }
  });
  // Create, then call Modal (DISPID 1) without a result.
  const std::string frames = testing::kCreateFrame + testing::kCallFirstMemberFrame;
  ASSERT_EQ(send(pair[0], frames.data(), frames.size(), 0), ssize_t(frames.size()));
  QTimer::singleShot(5000, &app, &QCoreApplication::quit);  // a hang fails, not blocks
  app.exec();

  EXPECT_TRUE(server.finished());
  EXPECT_EQ(object->calls(), 1);
  EXPECT_EQ(activations_in_call, 0) << "the nested loop was woken by the hung-up socket";
  EXPECT_EQ(activations, 2);  // create; the call, whose answer finds the client gone
}

}  // namespace
}  // namespace quillon::com

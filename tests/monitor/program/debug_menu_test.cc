// The main window's debug run, driven as a developer drives it: the request
// is typed into the editors, a published debug object answers it, and the
// answer opens in the response editor; a project without a running program
// ends in a message box.
#include "monitor/debug_menu.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QMessageBox>
#include <filesystem>
#include <memory>
#include <thread>

#include "quillon/component/remote.h"
#include "quillon/server/debug.h"
#include "tests/monitor/ui/ui_support.h"

namespace quillon::monitor {
namespace {

using testing::Child;
using testing::Click;
using testing::EnterValue;
using testing::ReadFile;

class DebugMenuTest : public testing::EditorTest {
 protected:
  void SetUp() override {
    EditorTest::SetUp();
    std::filesystem::create_directories(dir_ / "rt");
    std::filesystem::permissions(dir_ / "rt", std::filesystem::perms::owner_all);
    ::setenv("QUILLON_RUNTIME_DIR", (dir_ / "rt").c_str(), 1);
  }
  void TearDown() override {
    if (publication_) publication_->Withdraw();
    if (serving_.joinable()) serving_.join();
    publication_.reset();
    ::unsetenv("QUILLON_RUNTIME_DIR");
    EditorTest::TearDown();
  }

  // The page program: publishes its debug object and serves it on a thread
  // of its own, as the developer's process under a debugger would.
  void PublishPage(const char* project, std::function<void(server::QServer&)> page) {
    ASSERT_EQ(server::PublishDebugObject(project, server::PageDebugHandler(std::move(page)), {},
                                         &publication_),
              com::S_OK);
    serving_ = std::thread([this] { publication_->Serve(); });
  }

  std::unique_ptr<com::Publication> publication_;
  std::thread serving_;
};

TEST_F(DebugMenuTest, TheEditedRequestReachesThePageAndItsAnswerOpens) {
  PublishPage("MenuTest", [](server::QServer& s) {
    s.WriteString("<p>Hello, " + s.GetStringData("a", 0) + "</p>");
  });
  script_
      .Then("RequestEditor",
            [](QDialog* d) {
              Click(d, "editParameters");
              Click(d, "close");
            })
      .Then("ParameterListEditor",
            [](QDialog* d) {
              Click(d, "add");
              Click(d, "ok");
            })
      .Then("ValueEditor", EnterValue("a", "Taro Y"))
      .Then("ResponseEditor", [](QDialog* d) {
        // A text page: kind ".HTML", so the browser preview is offered and
        // the session-answer editing is not.
        EXPECT_TRUE(Child(d, "showInBrowser")->isEnabled());
        EXPECT_FALSE(Child(d, "editParameters")->isEnabled());
        Click(d, "showInBrowser");
        Click(d, "close");
      });
  EXPECT_EQ(RunDebugFromMenu("MenuTest", nullptr), InteractiveDebugResult::kAnswered);
  ASSERT_EQ(services_.opened.size(), 1u);
  EXPECT_EQ(ReadFile(services_.opened[0]), "<p>Hello, Taro Y</p>\r\n");
}

TEST_F(DebugMenuTest, FailuresEndInAMessageBox) {
  PublishPage("Raises", [](server::QServer&) { throw std::runtime_error("no such row"); });
  struct Case {
    const char* project;
    InteractiveDebugResult result;
    QString text;
  };
  const Case cases[] = {
      {"Raises", InteractiveDebugResult::kObjectError, QStringLiteral("Raises.QuillonDebug : no such row")},
      {"NotRunning", InteractiveDebugResult::kCreateFailed, QStringLiteral("Invalid class string")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.project);
    QString shown;
    script_.Then("RequestEditor", [](QDialog* d) { Click(d, "close"); })
        .Then("DebugMessage", [&shown](QDialog* d) {
          shown = static_cast<QMessageBox*>(d)->text();
          d->accept();
        });
    EXPECT_EQ(RunDebugFromMenu(c.project, nullptr), c.result);
    EXPECT_TRUE(shown.contains(c.text)) << shown.toStdString();
  }
}

}  // namespace
}  // namespace quillon::monitor

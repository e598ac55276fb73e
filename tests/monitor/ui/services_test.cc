// The Qt desktop services the editors use when no test replaces them: the
// file dialogs' filter, default extension and overwrite question, and the
// error message box, answered through the modal hook.
#include "monitor/ui/services.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QFileDialog>
#include <QMessageBox>
#include <filesystem>
#include <string>

#include "tests/monitor/ui/modal_guard.h"
#include "tests/monitor/ui/ui_support.h"

namespace quillon::monitor {
namespace {

using testing::WriteFile;

class QtServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A directory of its own: ctest runs the tests of this suite side by
    // side, and a shared one would be emptied under a test by the next
    // one's set-up.
    std::string pattern =
        (std::filesystem::temp_directory_path() / "monitor_services_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    EXPECT_TRUE(script_.done());
    std::filesystem::remove_all(dir_);
  }
  QString Path(const char* name) const { return QString::fromStdString((dir_ / name).string()); }

  // Puts `path` into the dialog's name field as a person types it. The
  // field also selects matching entries of the directory list, and what
  // the list holds depends on how far the dialog's file-system model has
  // gathered the directory in its own thread; with that selection cleared
  // the dialog reads the typed name alone, whatever the model knows yet.
  static void TypeName(QFileDialog* dialog, const QString& path) {
    dialog->selectFile(path);
    for (QAbstractItemView* view : dialog->findChildren<QAbstractItemView*>()) {
      if (view->selectionModel() != nullptr) view->selectionModel()->clear();
    }
  }

  std::filesystem::path dir_;
  testing::DialogScript script_;
};

TEST_F(QtServicesTest, OpenDialogFiltersByKindAndWantsAnExistingFile) {
  WriteFile(dir_ / "in.REQ", "x");
  script_.Then("FileDialog", [&](QDialog* d) {
    auto* dialog = qobject_cast<QFileDialog*>(d);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("*.REQ")});
    EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("REQ"));
    TypeName(dialog, Path("in.REQ"));
    d->accept();  // public in QDialog, virtual: the file dialog checks its input
  });
  EXPECT_EQ(Services().OpenFile(nullptr, ".REQ"), (dir_ / "in.REQ").string());

  script_.Then("FileDialog", [](QDialog* d) { d->reject(); });
  EXPECT_EQ(Services().OpenFile(nullptr, "gif"), std::nullopt);
}

TEST_F(QtServicesTest, SaveDialogStartsAtTheDefaultNameAndAddsTheExtension) {
  script_.Then("FileDialog", [&](QDialog* d) {
    auto* dialog = qobject_cast<QFileDialog*>(d);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(dialog->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("*gif")});
    ASSERT_FALSE(dialog->selectedFiles().isEmpty());
    EXPECT_TRUE(dialog->selectedFiles().front().endsWith(QStringLiteral("/picture.gif")));
    dialog->setDirectory(QString::fromStdString(dir_.string()));
    TypeName(dialog, QStringLiteral("renamed"));
    d->accept();  // public in QDialog, virtual: the file dialog checks its input
  });
  EXPECT_EQ(Services().SaveFile(nullptr, "picture.gif", "gif"), (dir_ / "renamed.gif").string());
}

TEST_F(QtServicesTest, ErrorsAppearInAMessageBox) {
  script_.Then("FileError", [](QDialog* d) {
    auto* box = qobject_cast<QMessageBox*>(d);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("/x/a.REQ\nそのようなファイルはありません"));
    box->accept();
  });
  Services().ShowError(nullptr,
                       ToCodePage(QStringLiteral("/x/a.REQ\nそのようなファイルはありません")));
}

// The guard that main() installs: a box no script can answer, and a
// scripted dialog its step left open, each fail the test within seconds.
void OpenAFileThatDoesNotExist() {
  testing::DialogScript script;
  script.Then("FileDialog", [](QDialog* d) {
    auto* dialog = qobject_cast<QFileDialog*>(d);
    dialog->selectFile(QStringLiteral("/nonexistent/quillon/missing.REQ"));
    d->accept();  // the dialog's own "file not found" box opens here
    d->reject();
  });
  EXPECT_EQ(Services().OpenFile(nullptr, ".REQ"), std::nullopt);
}

void LeaveAScriptedDialogOpen() {
  testing::DialogScript script;
  script.Then("FileError", [](QDialog*) {});
  Services().ShowError(nullptr, "left open");
}

TEST(ModalGuard, AModalBoxNoScriptAnswersFailsTheTestNamingItsText) {
  EXPECT_NONFATAL_FAILURE(OpenAFileThatDoesNotExist(), "missing.REQ");
}

TEST(ModalGuard, AScriptedDialogLeftOpenIsClosedWithinItsBound) {
  const auto saved = testing::ModalGuard::bound;
  testing::ModalGuard::bound = std::chrono::milliseconds(100);
  EXPECT_NONFATAL_FAILURE(LeaveAScriptedDialogOpen(), "left open");
  testing::ModalGuard::bound = saved;
}

TEST(QtServices, TempDirectoryEndsWithASeparator) {
  const std::string dir = Services().TempDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(std::filesystem::is_directory(dir));
}

}  // namespace
}  // namespace quillon::monitor

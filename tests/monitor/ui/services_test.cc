// The Qt desktop services the editors use when no test replaces them: the
// file dialogs' filter, default extension and overwrite question, and the
// error message box, answered through the modal hook.
#include "monitor/ui/services.h"

#include <gtest/gtest.h>

#include <QFileDialog>
#include <QMessageBox>
#include <filesystem>

#include "tests/monitor/ui/ui_support.h"

namespace quillon::monitor {
namespace {

using testing::WriteFile;

class QtServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / "monitor_ui_qt_services";
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    EXPECT_TRUE(script_.done());
    std::filesystem::remove_all(dir_);
  }
  QString Path(const char* name) const { return QString::fromStdString((dir_ / name).string()); }

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
    dialog->selectFile(Path("in.REQ"));
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
    dialog->selectFile(QStringLiteral("renamed"));
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

TEST(QtServices, TempDirectoryEndsWithASeparator) {
  const std::string dir = Services().TempDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(std::filesystem::is_directory(dir));
}

}  // namespace
}  // namespace quillon::monitor

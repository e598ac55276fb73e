// Test doubles for the monitor's editors: desktop services that answer from
// a script and record what they were asked, and a modal-dialog script that
// plays one step per dialog the editors open.
#ifndef QUILLON_TESTS_MONITOR_UI_UI_SUPPORT_H_
#define QUILLON_TESTS_MONITOR_UI_UI_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "monitor/ui/services.h"
#include "monitor/ui/text.h"

namespace quillon::monitor::testing {

class ScriptedServices : public DesktopServices {
 public:
  struct FileRequest {
    bool save;
    std::string default_name;
    std::string kind;
  };

  std::deque<std::optional<std::string>> paths;  // answers of Open/SaveFile
  std::vector<FileRequest> file_requests;
  std::vector<std::string> errors;
  std::vector<std::string> opened;
  std::string temp_dir;

  std::optional<std::string> OpenFile(QWidget*, const std::string& kind) override {
    file_requests.push_back({false, "", kind});
    return Next();
  }
  std::optional<std::string> SaveFile(QWidget*, const std::string& default_name,
                                      const std::string& kind) override {
    file_requests.push_back({true, default_name, kind});
    return Next();
  }
  void ShowError(QWidget*, const std::string& text) override { errors.push_back(text); }
  bool OpenWithDefaultHandler(const std::string& path) override {
    opened.push_back(path);
    return true;
  }
  std::string TempDirectory() override { return temp_dir; }

 private:
  std::optional<std::string> Next() {
    if (paths.empty()) {
      ADD_FAILURE() << "a file dialog nobody expected";
      return std::nullopt;
    }
    std::optional<std::string> path = std::move(paths.front());
    paths.pop_front();
    return path;
  }
};

// One step per modal dialog, in the order the dialogs open. A dialog that
// opens with no step left is rejected (the test fails, but does not hang).
class DialogScript {
 public:
  using Step = std::function<void(QDialog*)>;

  DialogScript() {
    SetModalHook([this](QDialog* dialog) { Play(dialog); });
  }
  ~DialogScript() { SetModalHook(nullptr); }
  DialogScript(const DialogScript&) = delete;
  DialogScript& operator=(const DialogScript&) = delete;

  // Expects the next dialog to be `object_name` and runs `step` on it.
  DialogScript& Then(std::string object_name, Step step) {
    steps_.emplace_back(std::move(object_name), std::move(step));
    return *this;
  }
  bool done() const { return steps_.empty(); }
  const std::vector<std::string>& seen() const { return seen_; }

 private:
  void Play(QDialog* dialog) {
    const std::string name = dialog->objectName().toStdString();
    seen_.push_back(name);
    if (steps_.empty()) {
      ADD_FAILURE() << "unexpected dialog " << name;
      dialog->reject();
      return;
    }
    auto [expected, step] = std::move(steps_.front());
    steps_.pop_front();
    if (name != expected) {
      ADD_FAILURE() << "expected dialog " << expected << ", got " << name;
      dialog->reject();
      return;
    }
    step(dialog);
  }

  std::deque<std::pair<std::string, Step>> steps_;
  std::vector<std::string> seen_;
};

template <class T = QAbstractButton>
T* Child(QWidget* parent, const char* name) {
  T* child = parent->findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(child, nullptr) << "no child " << name << " in " << parent->objectName().toStdString();
  return child;
}

inline void Click(QWidget* parent, const char* button) {
  if (auto* b = Child(parent, button)) QTest::mouseClick(b, Qt::LeftButton);
}

// Fills the value editor and presses OK.
inline DialogScript::Step EnterValue(std::string name, std::string value) {
  return [name = std::move(name), value = std::move(value)](QDialog* d) {
    Child<QLineEdit>(d, "name")->setText(FromCodePage(name));
    Child<QPlainTextEdit>(d, "value")->setPlainText(FromCodePage(value));
    Click(d, "ok");
  };
}

inline DialogScript::Step Press(const char* button) {
  return [button](QDialog* d) { Click(d, button); };
}

// The names the list editor shows.
inline std::vector<std::string> ListedNames(QDialog* d) {
  std::vector<std::string> names;
  auto* list = Child<QListWidget>(d, "names");
  for (int i = 0; i < list->count(); ++i) names.push_back(ToCodePage(list->item(i)->text()));
  return names;
}

inline int SelectedRow(QDialog* d) {
  auto* list = Child<QListWidget>(d, "names");
  const QList<QListWidgetItem*> items = list->selectedItems();
  return items.isEmpty() ? -1 : list->row(items.front());
}

inline void SelectRow(QDialog* d, int row) {
  Child<QListWidget>(d, "names")->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh directory per test, and the scripted services installed.
class EditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A fresh directory of its own: ctest runs tests side by side, and a
    // short name leaves room for socket paths beneath it.
    std::string pattern = (std::filesystem::temp_directory_path() / "monitor_ui_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    services_.temp_dir = dir_.string() + "/";
    SetDesktopServices(&services_);
  }
  void TearDown() override {
    SetDesktopServices(nullptr);
    EXPECT_TRUE(script_.done()) << "dialogs that never opened";
    EXPECT_TRUE(services_.paths.empty()) << "file dialogs that never opened";
    std::filesystem::remove_all(dir_);
  }
  std::string Path(const char* name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
  ScriptedServices services_;
  DialogScript script_;
};

}  // namespace quillon::monitor::testing

#endif  // QUILLON_TESTS_MONITOR_UI_UI_SUPPORT_H_

#include "monitor/ui/services.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include "monitor/ui/text.h"

namespace quillon::monitor {
namespace {

QString FilterOf(const std::string& kind) { return QStringLiteral("*") + FromCodePage(kind); }

// QFileDialog wants the default suffix without its dot.
QString SuffixOf(const std::string& kind) {
  QString suffix = FromCodePage(kind);
  if (suffix.startsWith(u'.')) suffix.remove(0, 1);
  return suffix;
}

class QtDesktopServices final : public DesktopServices {
 public:
  std::optional<std::string> OpenFile(QWidget* parent, const std::string& kind) override {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(FilterOf(kind));
    dialog.setDefaultSuffix(SuffixOf(kind));
    dialog.setDirectory(QDir::currentPath());
    return Run(&dialog);
  }

  std::optional<std::string> SaveFile(QWidget* parent, const std::string& default_name,
                                      const std::string& kind) override {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(FilterOf(kind));
    dialog.setDefaultSuffix(SuffixOf(kind));
    dialog.setDirectory(QDir::currentPath());
    // The dialog asks before it replaces an existing file (its default).
    if (!default_name.empty()) dialog.selectFile(QFile::decodeName(default_name.c_str()));
    return Run(&dialog);
  }

  void ShowError(QWidget* parent, const std::string& text) override {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("QMonitor"), FromCodePage(text),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("FileError"));
    RunModal(&box);
  }

  bool OpenWithDefaultHandler(const std::string& path) override {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(path.c_str())));
  }

  std::string TempDirectory() override {
    std::string dir = QFile::encodeName(QDir::tempPath()).toStdString();
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
  }

 private:
  static std::optional<std::string> Run(QFileDialog* dialog) {
    dialog->setObjectName(QStringLiteral("FileDialog"));
    if (RunModal(dialog) != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog->selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return QFile::encodeName(files.front()).toStdString();
  }
};

DesktopServices* installed = nullptr;
ModalHook modal_hook;

}  // namespace

DesktopServices& Services() {
  static QtDesktopServices desktop;
  return installed != nullptr ? *installed : desktop;
}

void SetDesktopServices(DesktopServices* services) { installed = services; }

void SetModalHook(ModalHook hook) { modal_hook = std::move(hook); }

int RunModal(QDialog* dialog) {
  dialog->setProperty(kRunModalProperty, true);
  if (modal_hook) {
    // A zero timer fires inside the loop exec() starts, once the dialog is
    // shown, so the hook sees a live dialog whatever the platform plugin.
    QPointer<QDialog> target(dialog);
    QTimer::singleShot(0, dialog, [target] {
      if (target && modal_hook) modal_hook(target);
    });
  }
  return dialog->exec();
}

}  // namespace quillon::monitor

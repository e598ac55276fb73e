// A guard against dialogs that would wait for a person: every Qt test
// program of the monitor installs it on its application.
//
// - A modal dialog that did not come through RunModal (a box Qt raises on
//   its own, such as a file dialog's "file not found" warning) is one no
//   test script can answer: the guard fails the running test at once,
//   naming its title and text, and closes it.
// - A dialog run through RunModal that is still open some seconds after it
//   appeared (`bound`) fails the test the same way and is rejected, so that a step
//   that forgot to close its dialog costs seconds, not the ctest timeout.
#ifndef QUILLON_TESTS_MONITOR_UI_MODAL_GUARD_H_
#define QUILLON_TESTS_MONITOR_UI_MODAL_GUARD_H_

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <string>

#include "monitor/ui/services.h"

namespace quillon::monitor::testing {

class ModalGuard : public QObject {
 public:
  // How long a dialog run through RunModal may stay open; a test of the
  // guard itself shortens it.
  static inline std::chrono::milliseconds bound{10'000};

  ModalGuard() { qApp->installEventFilter(this); }
  ~ModalGuard() override { qApp->removeEventFilter(this); }
  ModalGuard(const ModalGuard&) = delete;
  ModalGuard& operator=(const ModalGuard&) = delete;

  // What a person would read on `dialog`: its title and its texts.
  static std::string Describe(QDialog* dialog) {
    QString text;
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
      text = box->text();
      if (!box->informativeText().isEmpty()) text += u'\n' + box->informativeText();
    } else {
      for (QLabel* label : dialog->findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        if (!text.isEmpty()) text += u" | ";
        text += label->text();
      }
    }
    return (dialog->metaObject()->className() + QStringLiteral(" \"") + dialog->windowTitle() +
            QStringLiteral("\" (") + dialog->objectName() + QStringLiteral("): ") + text)
        .toStdString();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (dialog == nullptr || !dialog->isWindow()) return false;
    QPointer<QDialog> target(dialog);
    if (!dialog->property(kRunModalProperty).toBool()) {
      if (!dialog->isModal()) return false;
      ADD_FAILURE() << "a modal dialog no test script can answer opened: " << Describe(dialog);
      // Closed from its own event loop, once exec() has started it.
      QTimer::singleShot(0, dialog, [target] {
        if (target) target->done(QDialog::Rejected);
      });
      return false;
    }
    QTimer::singleShot(bound, dialog, [target] {
      if (!target || !target->isVisible()) return;
      ADD_FAILURE() << "a dialog was still open " << bound.count()
                    << " ms after it appeared; the test closed it: " << Describe(target);
      target->done(QDialog::Rejected);
    });
    return false;
  }
};

}  // namespace quillon::monitor::testing

#endif  // QUILLON_TESTS_MONITOR_UI_MODAL_GUARD_H_

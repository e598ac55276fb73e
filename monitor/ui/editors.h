// The monitor's modal editors over the captures of capture.h. Each dialog
// edits the capture it is given in place: every button acts at once, and
// closing keeps what was done. Files and messages go through Services();
// dialogs run through RunModal(), so tests can drive them (services.h).
//
// Object names, for tests and screenshots:
//   "RequestEditor":  editEnvironment, editParameters, loadNew, loadAppend, save, close
//   "ResponseEditor": showHeader, editParameters, loadNew, loadAppend, save,
//                     showInBrowser, close
//   "HeaderView":     headerText, close
//   "ParameterListEditor": names (the list box), add, edit, remove, moveUp,
//                     moveDown, ok, cancel
//   "ValueEditor":    name, value, ok, cancel
#ifndef QUILLON_MONITOR_UI_EDITORS_H_
#define QUILLON_MONITOR_UI_EDITORS_H_

#include <QDialog>
#include <optional>
#include <string>

#include "monitor/ui/capture.h"

class QLineEdit;
class QListWidget;
class QPlainTextEdit;

namespace quillon::monitor {

struct NamedValue {
  std::string name;
  std::string value;  // decoded bytes
};

// "値の編集": a one-line name and a multi-line value (a line break typed
// there is part of the value).
//
// A field the developer did not touch gives back the bytes it was opened
// with, not the widget's text: bytes the code page cannot show (a zero
// byte, a damaged multibyte character) would not survive the round trip
// through the widget, and confirming an unchanged value must not alter it.
class ValueEditor : public QDialog {
 public:
  ValueEditor(const NamedValue& initial, QWidget* parent = nullptr);
  NamedValue value() const;

 private:
  NamedValue initial_;
  QString shown_name_;
  QString shown_value_;
  QLineEdit* name_;
  QPlainTextEdit* value_;
};

// Runs the value editor; nothing when it was cancelled.
std::optional<NamedValue> EditValue(QWidget* parent, const NamedValue& initial);

// Which list a parameter list editor edits; it decides the title.
enum class ListKind { kParameters, kEnvironment };

// "CGIパラメータの編集" / "サーバー環境変数の編集": the names of a
// parameter text in a list box, with add, edit (also a double click),
// delete and move; OK rebuilds the text.
class ParameterListEditor : public QDialog {
 public:
  ParameterListEditor(ListKind kind, const std::string& text, QWidget* parent = nullptr);
  // The text as the list now stands.
  std::string text() const { return list_.Text(); }
  const ParameterList& list() const { return list_; }

 private:
  int Selected() const;
  void Select(int index);
  void Add();
  void EditSelected();
  void RemoveSelected();
  void Move(bool up);

  ParameterList list_;
  QListWidget* names_;
};

// Runs the list editor on *text; on OK *text becomes the edited text and
// the result is true, on cancel *text is untouched.
bool EditParameterText(QWidget* parent, ListKind kind, std::string* text);

// "HTTPヘッダの表示": the header text, read-only.
class HeaderView : public QDialog {
 public:
  HeaderView(const std::string& header_text, QWidget* parent = nullptr);
};

// "セッション要求データの編集".
class RequestEditor : public QDialog {
 public:
  RequestEditor(RequestCapture* capture, QWidget* parent = nullptr);

 private:
  void EditList(ListKind kind);
  void Load(bool append);
  void Save();

  RequestCapture* capture_;
};

// "セッション返送データの編集". Which buttons are enabled follows the
// capture's Kind (parameter editing and "load (new)" only for a session
// answer, the browser only for anything else).
class ResponseEditor : public QDialog {
 public:
  ResponseEditor(ResponseCapture* capture, QWidget* parent = nullptr);

 private:
  void EditParameters();
  void Load(bool append);
  void Save();
  void ShowInBrowser();

  ResponseCapture* capture_;
};

// Reports a failed capture file operation (errno `error`) on `path`.
void ShowFileError(QWidget* parent, const std::string& path, int error);

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_UI_EDITORS_H_

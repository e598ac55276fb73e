#include "monitor/ui/editors.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>

#include "monitor/ui/services.h"
#include "monitor/ui/text.h"
#include "quillon/platform/files.h"

namespace quillon::monitor {
namespace {

QPushButton* AddButton(QWidget* parent, const char* object_name, const QString& label) {
  auto* button = new QPushButton(label, parent);
  button->setObjectName(QString::fromLatin1(object_name));
  button->setAutoDefault(false);
  return button;
}

// Reads a capture file; reports the failure itself and gives nothing.
std::optional<std::string> ReadCaptureFile(QWidget* parent, const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, &bytes)) {
    ShowFileError(parent, path, errno);
    return std::nullopt;
  }
  return bytes;
}

bool WriteCaptureFile(QWidget* parent, const std::string& path, std::string_view bytes) {
  if (!platform::WriteWholeFile(path, bytes)) {
    ShowFileError(parent, path, errno);
    return false;
  }
  return true;
}

}  // namespace

void ShowFileError(QWidget* parent, const std::string& path, int error) {
  Services().ShowError(parent, path + "\n" + std::strerror(error));
}

// --- Value editor -------------------------------------------------------------

ValueEditor::ValueEditor(const NamedValue& initial, QWidget* parent)
    : QDialog(parent), initial_(initial) {
  setObjectName(QStringLiteral("ValueEditor"));
  setWindowTitle(QStringLiteral("値の編集"));
  name_ = new QLineEdit(FromCodePage(initial.name), this);
  name_->setObjectName(QStringLiteral("name"));
  value_ = new QPlainTextEdit(FromCodePage(initial.value), this);
  // What the widgets made of the bytes, to tell an untouched field.
  shown_name_ = name_->text();
  shown_value_ = value_->toPlainText();
  value_->setObjectName(QStringLiteral("value"));
  value_->setTabChangesFocus(true);

  QPushButton* ok = AddButton(this, "ok", QStringLiteral("OK"));
  QPushButton* cancel = AddButton(this, "cancel", QStringLiteral("ｷｬﾝｾﾙ"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel(QStringLiteral("名前:"), this), 0, 0);
  fields->addWidget(name_, 0, 1);
  fields->addWidget(new QLabel(QStringLiteral("値:"), this), 1, 0, Qt::AlignTop);
  fields->addWidget(value_, 1, 1);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  buttons->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(fields, 1);
  layout->addLayout(buttons);
  resize(420, 200);
}

NamedValue ValueEditor::value() const {
  const QString name = name_->text();
  const QString value = value_->toPlainText();
  return NamedValue{name == shown_name_ ? initial_.name : ToCodePage(name),
                    value == shown_value_ ? initial_.value : ToCodePage(value)};
}

std::optional<NamedValue> EditValue(QWidget* parent, const NamedValue& initial) {
  ValueEditor editor(initial, parent);
  if (RunModal(&editor) != QDialog::Accepted) return std::nullopt;
  return editor.value();
}

// --- Parameter list editor ----------------------------------------------------

ParameterListEditor::ParameterListEditor(ListKind kind, const std::string& text, QWidget* parent)
    : QDialog(parent), list_(text) {
  setObjectName(QStringLiteral("ParameterListEditor"));
  setWindowTitle(kind == ListKind::kEnvironment ? QStringLiteral("サーバー環境変数の編集")
                                                : QStringLiteral("CGIパラメータの編集"));
  names_ = new QListWidget(this);
  names_->setObjectName(QStringLiteral("names"));
  names_->setSelectionMode(QAbstractItemView::SingleSelection);
  for (const std::string& name : list_.names()) names_->addItem(FromCodePage(name));

  QPushButton* add = AddButton(this, "add", QStringLiteral("追加"));
  QPushButton* edit = AddButton(this, "edit", QStringLiteral("編集"));
  QPushButton* remove = AddButton(this, "remove", QStringLiteral("削除"));
  QPushButton* up = AddButton(this, "moveUp", QStringLiteral("上に移動"));
  QPushButton* down = AddButton(this, "moveDown", QStringLiteral("下に移動"));
  QPushButton* ok = AddButton(this, "ok", QStringLiteral("OK"));
  QPushButton* cancel = AddButton(this, "cancel", QStringLiteral("ｷｬﾝｾﾙ"));
  connect(add, &QPushButton::clicked, this, [this] { Add(); });
  connect(edit, &QPushButton::clicked, this, [this] { EditSelected(); });
  connect(names_, &QListWidget::itemDoubleClicked, this, [this] { EditSelected(); });
  connect(remove, &QPushButton::clicked, this, [this] { RemoveSelected(); });
  connect(up, &QPushButton::clicked, this, [this] { Move(true); });
  connect(down, &QPushButton::clicked, this, [this] { Move(false); });
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {add, edit, remove, up, down}) buttons->addWidget(b);
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(names_, 1);
  layout->addLayout(buttons);
  resize(420, 300);
}

int ParameterListEditor::Selected() const {
  const QList<QListWidgetItem*> items = names_->selectedItems();
  return items.isEmpty() ? -1 : names_->row(items.front());
}

void ParameterListEditor::Select(int index) {
  names_->clearSelection();
  if (index < 0 || index >= names_->count()) return;
  names_->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
}

void ParameterListEditor::Add() {
  std::optional<NamedValue> entered = EditValue(this, NamedValue{});
  if (!entered) return;
  const int index = list_.Add(entered->name, entered->value);
  if (index < 0) return;
  names_->addItem(FromCodePage(list_.names()[static_cast<size_t>(index)]));
  Select(index);
}

void ParameterListEditor::EditSelected() {
  const int index = Selected();
  if (index < 0) return;
  const size_t at = static_cast<size_t>(index);
  std::optional<NamedValue> entered =
      EditValue(this, NamedValue{list_.names()[at], list_.DecodedValue(at)});
  if (!entered || !list_.Edit(index, entered->name, entered->value)) return;
  names_->item(index)->setText(FromCodePage(list_.names()[at]));
  Select(index);
}

void ParameterListEditor::RemoveSelected() {
  const int index = Selected();
  if (index < 0) return;
  const int next = list_.Remove(index);
  delete names_->takeItem(index);
  Select(next);
}

void ParameterListEditor::Move(bool up) {
  const int index = Selected();
  if (index < 0) return;
  const int moved = up ? list_.MoveUp(index) : list_.MoveDown(index);
  if (moved != index) {
    QListWidgetItem* item = names_->takeItem(index);
    names_->insertItem(moved, item);
  }
  Select(moved);
}

bool EditParameterText(QWidget* parent, ListKind kind, std::string* text) {
  ParameterListEditor editor(kind, *text, parent);
  if (RunModal(&editor) != QDialog::Accepted) return false;
  *text = editor.text();
  return true;
}

// --- Header view --------------------------------------------------------------

HeaderView::HeaderView(const std::string& header_text, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("HeaderView"));
  setWindowTitle(QStringLiteral("HTTPヘッダの表示"));
  auto* text = new QPlainTextEdit(this);
  text->setObjectName(QStringLiteral("headerText"));
  text->setReadOnly(true);
  text->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Header lines end in CR LF; the box wants plain line breaks.
  QString shown = FromCodePage(header_text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text->setPlainText(shown);
  QPushButton* close = AddButton(this, "close", QStringLiteral("閉じる"));
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text, 1);
  layout->addLayout(row);
  resize(480, 260);
}

// --- Request editor -----------------------------------------------------------

RequestEditor::RequestEditor(RequestCapture* capture, QWidget* parent)
    : QDialog(parent), capture_(capture) {
  setObjectName(QStringLiteral("RequestEditor"));
  setWindowTitle(QStringLiteral("セッション要求データの編集"));
  QPushButton* env = AddButton(this, "editEnvironment", QStringLiteral("サーバー環境変数の編集"));
  QPushButton* params = AddButton(this, "editParameters", QStringLiteral("CGIパラメータの編集"));
  QPushButton* load = AddButton(this, "loadNew", QStringLiteral("ファイルからの読み込み（新規）"));
  QPushButton* append =
      AddButton(this, "loadAppend", QStringLiteral("ファイルからの読み込み（追加）"));
  QPushButton* save = AddButton(this, "save", QStringLiteral("ファイルへの保存"));
  QPushButton* close = AddButton(this, "close", QStringLiteral("閉じる"));
  connect(env, &QPushButton::clicked, this, [this] { EditList(ListKind::kEnvironment); });
  connect(params, &QPushButton::clicked, this, [this] { EditList(ListKind::kParameters); });
  connect(load, &QPushButton::clicked, this, [this] { Load(false); });
  connect(append, &QPushButton::clicked, this, [this] { Load(true); });
  connect(save, &QPushButton::clicked, this, [this] { Save(); });
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  for (QPushButton* b : {env, params, load, append, save}) layout->addWidget(b);
  layout->addSpacing(12);
  layout->addWidget(close);
}

void RequestEditor::EditList(ListKind kind) {
  std::string* text =
      kind == ListKind::kEnvironment ? &capture_->EnvironmentLine : &capture_->ParameterText;
  EditParameterText(this, kind, text);
}

void RequestEditor::Load(bool append) {
  std::optional<std::string> path = Services().OpenFile(this, ".REQ");
  if (!path) return;
  capture_->FileTitle = FileTitleOf(*path);
  std::optional<std::string> bytes = ReadCaptureFile(this, *path);
  if (!bytes) return;
  if (append) {
    AppendRequestText(TextOfFile(*bytes), capture_);
  } else {
    LoadRequestText(TextOfFile(*bytes), capture_);
  }
}

void RequestEditor::Save() {
  std::optional<std::string> path = Services().SaveFile(this, capture_->FileTitle, ".REQ");
  if (!path) return;
  WriteCaptureFile(this, *path, RequestFileBytes(*capture_));
}

// --- Response editor ----------------------------------------------------------

ResponseEditor::ResponseEditor(ResponseCapture* capture, QWidget* parent)
    : QDialog(parent), capture_(capture) {
  setObjectName(QStringLiteral("ResponseEditor"));
  setWindowTitle(QStringLiteral("セッション返送データの編集"));
  const bool session = capture_->Kind == kSessionKind;
  QPushButton* header = AddButton(this, "showHeader", QStringLiteral("ＨＴＴＰヘッダの表示"));
  QPushButton* params = AddButton(this, "editParameters", QStringLiteral("CGIパラメータの編集"));
  QPushButton* load = AddButton(this, "loadNew", QStringLiteral("ファイルからの読み込み（新規）"));
  QPushButton* append =
      AddButton(this, "loadAppend", QStringLiteral("ファイルからの読み込み（追加）"));
  QPushButton* save = AddButton(this, "save", QStringLiteral("ファイルへの保存"));
  QPushButton* browser = AddButton(this, "showInBrowser", QStringLiteral("ブラウザで表示"));
  QPushButton* close = AddButton(this, "close", QStringLiteral("閉じる"));
  params->setEnabled(session);
  load->setEnabled(session);
  browser->setEnabled(!session);
  connect(header, &QPushButton::clicked, this, [this] {
    HeaderView view(capture_->HeaderText, this);
    RunModal(&view);
  });
  connect(params, &QPushButton::clicked, this, [this] { EditParameters(); });
  connect(load, &QPushButton::clicked, this, [this] { Load(false); });
  connect(append, &QPushButton::clicked, this, [this] { Load(true); });
  connect(save, &QPushButton::clicked, this, [this] { Save(); });
  connect(browser, &QPushButton::clicked, this, [this] { ShowInBrowser(); });
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  for (QPushButton* b : {header, params, load, append, save, browser}) layout->addWidget(b);
  layout->addSpacing(12);
  layout->addWidget(close);
}

void ResponseEditor::EditParameters() {
  std::string text = ParameterTextOfBody(capture_->Body);
  std::optional<std::string> edited;
  if (EditParameterText(this, ListKind::kParameters, &text)) edited = std::move(text);
  capture_->Body = BodyAfterParameterEdit(capture_->Body, edited);
}

void ResponseEditor::Load(bool append) {
  std::optional<std::string> path = Services().OpenFile(this, capture_->Kind);
  if (!path) return;
  capture_->DefaultFileName = FileTitleOf(*path);
  std::optional<std::string> bytes = ReadCaptureFile(this, *path);
  if (!bytes) return;
  const std::string_view text = TextOfFile(*bytes);
  capture_->Body =
      ResponseBody::String(append ? AppendResponseText(capture_->Body, text) : std::string(text));
}

void ResponseEditor::Save() {
  std::optional<std::string> path =
      Services().SaveFile(this, capture_->DefaultFileName, capture_->Kind);
  if (!path) return;
  WriteCaptureFile(this, *path, ResponseFileBytes(capture_->Body));
}

void ResponseEditor::ShowInBrowser() {
  const std::string path = Services().TempDirectory() + "temp.htm";
  // The name is fixed and the directory usually shared: whatever stands
  // there (a link someone planted towards another file included) is
  // removed, not written through, and the new file is created exclusively.
  platform::RemoveFile(path);
  if (!platform::WriteNewFile(path, ResponseFileBytes(capture_->Body))) {
    ShowFileError(this, path, errno);
    return;
  }
  Services().OpenWithDefaultHandler(path);
}

}  // namespace quillon::monitor

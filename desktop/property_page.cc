// The property pages and their frame. Pages reach the objects through
// IDispatch only (member names, property get and put), so they edit an
// object of another library, or of another process, as well as one of
// their own.
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <array>
#include <cstdint>
#include <limits>

#include "quillon/client/identities.h"
#include "quillon/component/bstr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/variant.h"
#include "quillon/desktop/desktop.h"
#include "quillon/server/identities.h"

namespace quillon::desktop {
namespace {

using com::HRESULT;
using com::Variant;

constexpr std::array kQServerFields{
    PageField{FieldKind::kText, u"Content-Type:", u"ContentType"},
    PageField{FieldKind::kText, u"Result Value:", u"Result"},
};
constexpr std::array kQServerOrder{0, 1};

constexpr std::array kQHtmlDocFields{
    PageField{FieldKind::kText, u"テキストブロック用ダミータグ名", u"DummyTagName"},
    PageField{FieldKind::kText, u"ダミーブロック用ダミータグ名", u"DummyBlockTagName"},
    PageField{FieldKind::kCheck, u"旧バージョンのマスターページを変換", u"ConvertMasterPage"},
};
constexpr std::array kQHtmlDocOrder{0, 1, 2};

constexpr std::array kQClientFields{
    PageField{FieldKind::kText, u"User-Agent:", u"AgentName"},
    PageField{FieldKind::kText, u"Server Name:", u"ServerName"},
    PageField{FieldKind::kShort, u"Server Port:", u"PortNo"},
    PageField{FieldKind::kText, u"App Name:", u"AppName"},
    PageField{FieldKind::kText, u"Proxy Server:", u"ProxyServer"},
    PageField{FieldKind::kShort, u"Proxy Port", u"ProxyPort"},
    PageField{FieldKind::kCheck, u"OffLine Debug", u"OffLineDebug"},
    PageField{FieldKind::kCheck, u"Use SSL", u"UseSSL"},
};
// Setting UseSSL moves PortNo to 443 or 80; written first, it leaves the
// port the page shows.
constexpr std::array kQClientOrder{7, 0, 1, 2, 3, 4, 5, 6};

const std::array kPages{
    PageDescription{&ids::CLSID_QServerPropPage, u"QServer", kQServerFields, kQServerOrder},
    PageDescription{&ids::CLSID_QHtmlDocPropPage, u"QHtmlDoc", kQHtmlDocFields, kQHtmlDocOrder},
    PageDescription{&ids::CLSID_QClientPropPage, u"全般", kQClientFields, kQClientOrder},
};

QString FromUtf16(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string ToUtf16(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

// What a failed call tells the user: the object's own description, or the
// property and the code.
QString CallError(const char16_t* what, const char16_t* property, HRESULT hr,
                  const com::EXCEPINFO& info) {
  std::u16string_view description = com::Bstr::View(info.bstrDescription);
  if (!description.empty()) return FromUtf16(description);
  return QStringLiteral("%1 %2 (0x%3)")
      .arg(FromUtf16(property), FromUtf16(what))
      .arg(static_cast<uint32_t>(hr), 8, 16, QLatin1Char('0'));
}

HRESULT ReadProperty(com::IDispatch* object, const PageField& field, Variant* value,
                     QString* error) {
  com::EXCEPINFO info{};
  Variant raw;
  HRESULT hr =
      com::InvokeByName(object, field.property, com::DISPATCH_PROPERTYGET, {}, raw.get(), &info);
  if (com::Succeeded(hr)) {
    const com::VARTYPE vt = field.kind == FieldKind::kText    ? com::VT_BSTR
                            : field.kind == FieldKind::kShort ? com::VT_I2
                                                              : com::VT_BOOL;
    hr = com::VariantChangeType(value->get(), raw.get(), 0, vt);
  }
  if (com::Failed(hr)) *error = CallError(u"を読めません", field.property, hr, info);
  com::ClearExcepInfo(&info);
  return hr;
}

}  // namespace

const PageDescription* FindPage(const com::CLSID& clsid) {
  for (const PageDescription& page : kPages) {
    if (*page.clsid == clsid) return &page;
  }
  return nullptr;
}

PropertyPage::PropertyPage(const PageDescription& description, QWidget* parent)
    : QWidget(parent), description_(description) {
  auto* form = new QFormLayout(this);
  for (const PageField& field : description_.fields) {
    const QString label = FromUtf16(field.label);
    QWidget* editor = nullptr;
    if (field.kind == FieldKind::kCheck) {
      auto* box = new QCheckBox(label, this);
      // clicked, unlike toggled, comes from the user only.
      connect(box, &QCheckBox::clicked, this, &PropertyPage::MarkDirty);
      form->addRow(box);
      editor = box;
    } else {
      auto* line = new QLineEdit(this);
      // Room for the default user agent and a host name.
      line->setMinimumWidth(field.kind == FieldKind::kShort ? 100 : 240);
      if (field.kind == FieldKind::kShort) {
        line->setValidator(new QIntValidator(std::numeric_limits<int16_t>::min(),
                                             std::numeric_limits<int16_t>::max(), line));
      }
      connect(line, &QLineEdit::textEdited, this, &PropertyPage::MarkDirty);
      form->addRow(label, line);
      editor = line;
    }
    editor->setObjectName(FromUtf16(field.property));
    editors_.push_back(editor);
  }
}

PropertyPage::~PropertyPage() = default;

QString PropertyPage::Caption() const { return FromUtf16(description_.caption); }

QWidget* PropertyPage::EditorFor(std::u16string_view property) const {
  for (size_t i = 0; i < editors_.size(); ++i) {
    if (description_.fields[i].property == property) return editors_[i];
  }
  return nullptr;
}

void PropertyPage::MarkDirty() {
  if (dirty_) return;
  dirty_ = true;
  Q_EMIT DirtyChanged(true);
}

HRESULT PropertyPage::SetObjects(std::vector<com::ComPtr<com::IDispatch>> objects, QString* error) {
  if (objects.empty() || !objects.front()) {
    *error = QStringLiteral("編集するオブジェクトがありません。");
    return com::E_INVALIDARG;
  }
  // Every value is read before any editor changes.
  std::vector<Variant> values(description_.fields.size());
  for (size_t i = 0; i < values.size(); ++i) {
    HRESULT hr = ReadProperty(objects.front().get(), description_.fields[i], &values[i], error);
    if (com::Failed(hr)) return hr;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const com::VARIANT& v = *values[i].get();
    switch (description_.fields[i].kind) {
      case FieldKind::kText:
        static_cast<QLineEdit*>(editors_[i])->setText(FromUtf16(com::Bstr::View(v.bstrVal)));
        break;
      case FieldKind::kShort:
        static_cast<QLineEdit*>(editors_[i])->setText(QString::number(v.iVal));
        break;
      case FieldKind::kCheck:
        static_cast<QCheckBox*>(editors_[i])->setChecked(v.boolVal != com::VARIANT_FALSE);
        break;
    }
  }
  objects_ = std::move(objects);
  const bool was_dirty = dirty_;
  dirty_ = false;
  if (was_dirty) Q_EMIT DirtyChanged(false);
  return com::S_OK;
}

HRESULT PropertyPage::Apply(QString* error) {
  // The values first, so that a bad number writes nothing anywhere.
  std::vector<Variant> values(description_.fields.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const PageField& field = description_.fields[i];
    switch (field.kind) {
      case FieldKind::kText:
        values[i] = Variant::String(ToUtf16(static_cast<QLineEdit*>(editors_[i])->text()));
        break;
      case FieldKind::kShort: {
        bool ok = false;
        const int number = static_cast<QLineEdit*>(editors_[i])->text().trimmed().toInt(&ok);
        if (!ok || number < std::numeric_limits<int16_t>::min() ||
            number > std::numeric_limits<int16_t>::max()) {
          *error = QStringLiteral("「%1」には -32768 から 32767 までの整数を入力してください。")
                       .arg(FromUtf16(field.label));
          return com::E_INVALIDARG;
        }
        values[i] = Variant::I2(static_cast<int16_t>(number));
        break;
      }
      case FieldKind::kCheck:
        values[i] = Variant::Bool(static_cast<QCheckBox*>(editors_[i])->isChecked());
        break;
    }
  }
  for (const com::ComPtr<com::IDispatch>& object : objects_) {
    for (int index : description_.write_order) {
      const PageField& field = description_.fields[static_cast<size_t>(index)];
      Variant value = values[static_cast<size_t>(index)];
      com::EXCEPINFO info{};
      HRESULT hr = com::InvokeByName(object.get(), field.property, com::DISPATCH_PROPERTYPUT,
                                     std::span(value.get(), 1), nullptr, &info);
      if (com::Failed(hr)) {
        *error = CallError(u"に書き込めません", field.property, hr, info);
        com::ClearExcepInfo(&info);
        return hr;
      }
    }
  }
  dirty_ = false;
  Q_EMIT DirtyChanged(false);
  return com::S_OK;
}

PropertyFrame::PropertyFrame(QWidget* parent)
    : QDialog(parent),
      tabs_(new QTabWidget(this)),
      error_(new QLabel(this)),
      buttons_(new QDialogButtonBox(
          QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this)) {
  setWindowTitle(QStringLiteral("プロパティ"));
  error_->setObjectName(QStringLiteral("error"));
  error_->setStyleSheet(QStringLiteral("color: #b00000"));
  error_->setWordWrap(true);
  error_->hide();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(error_);
  layout->addWidget(buttons_);
  buttons_->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
  buttons_->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("キャンセル"));
  buttons_->button(QDialogButtonBox::Apply)->setText(QStringLiteral("適用(&A)"));
  buttons_->button(QDialogButtonBox::Apply)->setEnabled(false);
  connect(buttons_->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
          &PropertyFrame::ApplyAll);
  connect(buttons_, &QDialogButtonBox::accepted, this, [this] {
    if (ApplyAll()) accept();
  });
  connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void PropertyFrame::AddPage(PropertyPage* page) {
  tabs_->addTab(page, page->Caption());
  connect(page, &PropertyPage::DirtyChanged, this, &PropertyFrame::UpdateApply);
  UpdateApply();
}

int PropertyFrame::PageCount() const { return tabs_->count(); }

PropertyPage* PropertyFrame::Page(int index) const {
  return static_cast<PropertyPage*>(tabs_->widget(index));
}

QString PropertyFrame::ErrorText() const { return error_->text(); }

bool PropertyFrame::ApplyAll() {
  for (int i = 0; i < PageCount(); ++i) {
    PropertyPage* page = Page(i);
    if (!page->IsDirty()) continue;
    QString error;
    if (com::Failed(page->Apply(&error))) {
      tabs_->setCurrentIndex(i);
      error_->setText(error);
      error_->show();
      return false;
    }
  }
  error_->clear();
  error_->hide();
  return true;
}

void PropertyFrame::UpdateApply() {
  bool dirty = false;
  for (int i = 0; i < PageCount(); ++i) dirty = dirty || Page(i)->IsDirty();
  buttons_->button(QDialogButtonBox::Apply)->setEnabled(dirty);
}

std::unique_ptr<PropertyFrame> MakePropertyFrame(std::span<const com::CLSID> pages,
                                                 std::span<com::IDispatch* const> objects,
                                                 HRESULT* code, QString* error, QWidget* parent) {
  if (pages.empty() || objects.empty()) {
    *code = com::E_INVALIDARG;
    *error = QStringLiteral("プロパティページか編集するオブジェクトがありません。");
    return nullptr;
  }
  std::vector<com::ComPtr<com::IDispatch>> held;
  for (com::IDispatch* object : objects) {
    if (object == nullptr) {
      *code = com::E_POINTER;
      *error = QStringLiteral("編集するオブジェクトがありません。");
      return nullptr;
    }
    held.emplace_back(object);
  }
  auto frame = std::make_unique<PropertyFrame>(parent);
  for (const com::CLSID& clsid : pages) {
    const PageDescription* description = FindPage(clsid);
    if (description == nullptr) {
      *code = com::CLASS_E_CLASSNOTAVAILABLE;
      *error = QStringLiteral("プロパティページ %1 はありません。")
                   .arg(QString::fromStdString(com::FormatGuid(clsid)));
      return nullptr;
    }
    auto* page = new PropertyPage(*description, frame.get());
    *code = page->SetObjects(held, error);
    frame->AddPage(page);
    if (com::Failed(*code)) return nullptr;
  }
  *code = com::S_OK;
  return frame;
}

}  // namespace quillon::desktop

// The C entry points the component libraries load, and the inspector.
#include "quillon/desktop/entry.h"

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <exception>
#include <string>

#include "quillon/component/com_ptr.h"
#include "quillon/component/persistence.h"
#include "quillon/component/runtime.h"
#include "quillon/desktop/desktop.h"

namespace quillon::desktop {
namespace {

using com::HRESULT;

// The platform's "called on the wrong thread" status.
constexpr HRESULT kWrongThread = com::MakeHresult(0x8001010E);

void CopyError(std::u16string_view text, char16_t* error, size_t error_size) {
  if (error == nullptr || error_size == 0) return;
  const size_t n = std::min(text.size(), error_size - 1);
  std::copy_n(text.data(), n, error);
  error[n] = u'\0';
}

void CopyError(const QString& text, char16_t* error, size_t error_size) {
  CopyError(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                static_cast<size_t>(text.size())),
            error, error_size);
}

// Runs `show` once a platform is known to start; nothing escapes to the C
// caller.
template <class F>
int32_t WithDesktop(char16_t* error, size_t error_size, F&& show) noexcept {
  try {
    if (std::optional<std::u16string> problem = DisplayProblem()) {
      CopyError(*problem, error, error_size);
      return com::E_FAIL;
    }
    // Widgets live on the application's thread only; Qt ends the process
    // when a dialog is made on another.
    if (QThread::currentThread() != EnsureApplication()->thread()) {
      CopyError(u"ダイアログを表示できません。アプリケーションのスレッド以外からは表示できません。",
                error, error_size);
      return kWrongThread;
    }
    QString text;
    const HRESULT hr = show(&text);
    if (com::Failed(hr)) CopyError(text, error, error_size);
    return hr;
  } catch (const std::bad_alloc&) {
    CopyError(u"メモリが不足しています。", error, error_size);
    return com::E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    CopyError(QString::fromUtf8(e.what()), error, error_size);
    return com::E_UNEXPECTED;
  } catch (...) {
    return com::E_UNEXPECTED;
  }
}

QString WithCode(const QString& message, HRESULT hr) {
  return QStringLiteral("%1 (0x%2)")
      .arg(message)
      .arg(static_cast<uint32_t>(hr), 8, 16, QLatin1Char('0'));
}

}  // namespace

std::unique_ptr<PropertyFrame> MakeInspector(std::u16string_view progid, HRESULT* code,
                                             QString* error, QWidget* parent) {
  const QString name = QString::fromUtf16(progid.data(), static_cast<qsizetype>(progid.size()));
  const std::u16string text(progid);
  com::CLSID clsid{};
  *code = com::CLSIDFromProgID(text.c_str(), &clsid);
  if (com::Failed(*code)) {
    *error = WithCode(QStringLiteral("%1 は登録されていません。").arg(name), *code);
    return nullptr;
  }
  com::ComPtr<com::IDispatch> object;
  *code =
      com::CoCreateInstance(clsid, nullptr, com::CLSCTX_ALL, com::IID_IDispatch, object.put_void());
  if (com::Failed(*code)) {
    *error = WithCode(QStringLiteral("%1 を作成できません。").arg(name), *code);
    return nullptr;
  }
  // Started as a design-time container starts a control it has saved
  // properties for: from a property bag. A QServer started any other way
  // would write a CGI response into the inspecting program's output when
  // it goes.
  com::ComPtr<com::IPersistPropertyBag> bag;
  if (com::Succeeded(object->QueryInterface(com::IID_IPersistPropertyBag, bag.put_void()))) {
    *code = bag->Load(com::MakePropertyBag().get(), nullptr);
    if (com::Failed(*code)) {
      *error = WithCode(QStringLiteral("%1 を初期化できません。").arg(name), *code);
      return nullptr;
    }
  }
  com::ComPtr<com::ISpecifyPropertyPages> specify;
  *code = object->QueryInterface(com::IID_ISpecifyPropertyPages, specify.put_void());
  if (com::Failed(*code)) {
    *error = QStringLiteral("%1 にはプロパティページがありません。").arg(name);
    return nullptr;
  }
  com::CAUUID pages{};
  *code = specify->GetPages(&pages);
  if (com::Failed(*code)) {
    *error = QStringLiteral("%1 のプロパティページを取得できません。").arg(name);
    return nullptr;
  }
  std::vector<com::CLSID> list(pages.pElems, pages.pElems + pages.cElems);
  com::CoTaskMemFree(pages.pElems);
  com::IDispatch* objects[] = {object.get()};
  auto frame = MakePropertyFrame(list, objects, code, error, parent);
  if (frame) frame->setWindowTitle(QStringLiteral("%1 のプロパティ").arg(name));
  return frame;
}

HRESULT Inspect(std::u16string_view progid, QString* error) {
  HRESULT code = com::S_OK;
  std::unique_ptr<PropertyFrame> frame =
      MakeInspector(progid, &code, error, QApplication::activeWindow());
  if (!frame) return code;
  frame->exec();
  return com::S_OK;
}

}  // namespace quillon::desktop

namespace desktop = quillon::desktop;
namespace com = quillon::com;

extern "C" {

int32_t QuillonDesktopAboutBox(int32_t which, char16_t* error, size_t error_size) {
  return desktop::WithDesktop(error, error_size, [which](QString* text) -> com::HRESULT {
    std::unique_ptr<QDialog> box = desktop::MakeAboutBox(which, QApplication::activeWindow());
    if (!box) {
      *text = QStringLiteral("バージョン情報 %1 はありません。").arg(which);
      return com::E_INVALIDARG;
    }
    box->exec();
    return com::S_OK;
  });
}

int32_t QuillonDesktopShowPropertyPages(const com::CLSID* pages, uint32_t page_count,
                                        com::IDispatch* const* objects, uint32_t object_count,
                                        char16_t* error, size_t error_size) {
  if ((pages == nullptr && page_count != 0) || (objects == nullptr && object_count != 0)) {
    desktop::CopyError(u"プロパティページの引数が無効です。", error, error_size);
    return com::E_POINTER;
  }
  return desktop::WithDesktop(error, error_size, [&](QString* text) {
    com::HRESULT code = com::S_OK;
    auto frame =
        desktop::MakePropertyFrame(std::span(pages, page_count), std::span(objects, object_count),
                                   &code, text, QApplication::activeWindow());
    if (!frame) return code;
    frame->exec();
    return com::S_OK;
  });
}

int32_t QuillonDesktopInspect(const char16_t* progid, char16_t* error, size_t error_size) {
  if (progid == nullptr) {
    desktop::CopyError(u"ProgID がありません。", error, error_size);
    return com::E_POINTER;
  }
  return desktop::WithDesktop(error, error_size,
                              [progid](QString* text) { return desktop::Inspect(progid, text); });
}

}  // extern "C"

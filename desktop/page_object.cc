// The property page classes (QServerPropPage, QHtmlDocPropPage,
// QClientPropPage) as objects: IPropertyPage over the page widget, served
// to the component libraries, which load this library only when a page is
// created, through the class objects of DllGetClassObject.
#include <QApplication>
#include <QPointer>
#include <QThread>
#include <QWindow>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "quillon/component/com_ptr.h"
#include "quillon/component/registration.h"
#include "quillon/component/runtime.h"
#include "quillon/desktop/desktop.h"
#include "quillon/desktop/entry.h"

namespace quillon::desktop {
namespace {

using com::HRESULT;

// Records error information with `text` and answers `code`.
HRESULT Fail(HRESULT code, const QString& text) {
  com::ComPtr<com::ICreateErrorInfo> create;
  if (com::Succeeded(com::CreateErrorInfo(create.put()))) {
    const std::u16string description(reinterpret_cast<const char16_t*>(text.utf16()),
                                     static_cast<size_t>(text.size()));
    create->SetDescription(description.c_str());
    com::ComPtr<com::IErrorInfo> info;
    if (com::Succeeded(create->QueryInterface(com::IID_IErrorInfo, info.put_void()))) {
      com::SetErrorInfo(0, info.get());
    }
  }
  return code;
}

// Widgets need a display and the application's thread.
HRESULT CheckDesktop() {
  if (std::optional<std::u16string> problem = DisplayProblem()) {
    return Fail(com::E_FAIL, QString::fromUtf16(problem->data(),
                                                static_cast<qsizetype>(problem->size())));
  }
  if (QThread::currentThread() != EnsureApplication()->thread()) {
    return Fail(com::MakeHresult(0x8001010E),
                QStringLiteral("プロパティページはアプリケーションのスレッドでのみ表示できます。"));
  }
  return com::S_OK;
}

com::LPOLESTR TaskText(const QString& text) {
  const size_t bytes = (static_cast<size_t>(text.size()) + 1) * sizeof(char16_t);
  auto* copy = static_cast<com::LPOLESTR>(com::CoTaskMemAlloc(bytes));
  if (copy != nullptr) std::memcpy(copy, text.utf16(), bytes);
  return copy;
}

class PageObject final : public com::IPropertyPage {
 public:
  explicit PageObject(const PageDescription& description) : description_(description) {}

  HRESULT QueryInterface(com::REFIID iid, void** object) override {
    if (object == nullptr) return com::E_POINTER;
    if (iid == com::IID_IUnknown || iid == com::IID_IPropertyPage) {
      AddRef();
      *object = static_cast<com::IPropertyPage*>(this);
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  com::ULONG Release() override {
    const com::ULONG n = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }

  HRESULT SetPageSite(com::IPropertyPageSite* site) override {
    site_ = com::ComPtr<com::IPropertyPageSite>(site);
    return com::S_OK;
  }

  // The page's window: a child of `parent` when given (a native window of
  // the frame), else a window of its own.
  HRESULT Activate(com::HWND parent, const com::RECT* rect, com::BOOL /*modal*/) override {
    if (page_) return com::E_UNEXPECTED;
    if (HRESULT hr = CheckDesktop(); com::Failed(hr)) return hr;
    auto* page = new PropertyPage(description_);  // owned here until Deactivate
    if (parent != 0) {
      page->setAttribute(Qt::WA_NativeWindow);
      page->winId();
      if (QWindow* host = QWindow::fromWinId(static_cast<WId>(parent))) {
        page->windowHandle()->setParent(host);
      }
    }
    if (rect != nullptr) {
      page->setGeometry(rect->left, rect->top, rect->right - rect->left,
                        rect->bottom - rect->top);
    }
    QObject::connect(page, &PropertyPage::DirtyChanged, page, [this](bool dirty) {
      if (site_) {
        site_->OnStatusChange(dirty ? com::PROPPAGESTATUS_DIRTY | com::PROPPAGESTATUS_VALIDATE
                                    : com::PROPPAGESTATUS_CLEAN);
      }
    });
    if (!objects_.empty()) {
      QString error;
      if (HRESULT hr = page->SetObjects(objects_, &error); com::Failed(hr)) {
        delete page;
        return Fail(hr, error);
      }
    }
    page_ = page;
    return com::S_OK;
  }

  HRESULT Deactivate() override {
    delete page_.data();
    page_ = nullptr;
    return com::S_OK;
  }

  HRESULT GetPageInfo(com::PROPPAGEINFO* info) override {
    if (info == nullptr) return com::E_POINTER;
    std::memset(info, 0, sizeof *info);
    info->cb = sizeof *info;
    const QString caption = QString::fromUtf16(description_.caption);
    info->pszTitle = TaskText(caption);
    if (info->pszTitle == nullptr) return com::E_OUTOFMEMORY;
    // The size the page wants; measured only where widgets can be made.
    if (page_) {
      info->size = {page_->sizeHint().width(), page_->sizeHint().height()};
    } else if (!DisplayProblem() && QThread::currentThread() == EnsureApplication()->thread()) {
      PropertyPage measure(description_);
      info->size = {measure.sizeHint().width(), measure.sizeHint().height()};
    }
    return com::S_OK;
  }

  // The objects to edit, each reached through IDispatch; no objects (a
  // frame closing) lets them go.
  HRESULT SetObjects(com::ULONG count, com::IUnknown** objects) override {
    if (count == 0) {
      objects_.clear();
      return com::S_OK;
    }
    if (objects == nullptr) return com::E_POINTER;
    std::vector<com::ComPtr<com::IDispatch>> list;
    for (com::ULONG i = 0; i < count; ++i) {
      com::ComPtr<com::IDispatch> object;
      if (objects[i] == nullptr ||
          com::Failed(objects[i]->QueryInterface(com::IID_IDispatch, object.put_void()))) {
        return com::E_NOINTERFACE;
      }
      list.push_back(std::move(object));
    }
    if (page_) {
      QString error;
      if (HRESULT hr = page_->SetObjects(list, &error); com::Failed(hr)) return Fail(hr, error);
    }
    objects_ = std::move(list);
    return com::S_OK;
  }

  HRESULT Show(com::UINT command) override {
    if (!page_) return com::E_UNEXPECTED;
    page_->setVisible(command != com::SW_HIDE);
    return com::S_OK;
  }

  HRESULT Move(const com::RECT* rect) override {
    if (rect == nullptr) return com::E_POINTER;
    if (!page_) return com::E_UNEXPECTED;
    page_->setGeometry(rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top);
    return com::S_OK;
  }

  HRESULT IsPageDirty() override { return page_ && page_->IsDirty() ? com::S_OK : com::S_FALSE; }

  HRESULT Apply() override {
    if (!page_ || !page_->IsDirty()) return com::S_OK;
    QString error;
    if (HRESULT hr = page_->Apply(&error); com::Failed(hr)) return Fail(hr, error);
    return com::S_OK;
  }

  HRESULT Help(com::LPCOLESTR) override { return com::E_NOTIMPL; }
  HRESULT TranslateAccelerator(com::MSG*) override { return com::S_FALSE; }

 private:
  ~PageObject() { Deactivate(); }

  std::atomic<com::ULONG> refs_{1};
  const PageDescription& description_;
  com::ComPtr<com::IPropertyPageSite> site_;
  std::vector<com::ComPtr<com::IDispatch>> objects_;
  QPointer<PropertyPage> page_;
};

// One per page class, for the life of the process (this library is never
// unloaded).
class PageFactory final : public com::IClassFactory {
 public:
  explicit PageFactory(const PageDescription& description) : description_(description) {}

  HRESULT QueryInterface(com::REFIID iid, void** object) override {
    if (object == nullptr) return com::E_POINTER;
    if (iid == com::IID_IUnknown || iid == com::IID_IClassFactory) {
      *object = static_cast<com::IClassFactory*>(this);
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return 2; }
  com::ULONG Release() override { return 1; }

  HRESULT CreateInstance(com::IUnknown* outer, com::REFIID iid, void** object) override {
    if (object == nullptr) return com::E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return com::CLASS_E_NOAGGREGATION;
    PageObject* page = new (std::nothrow) PageObject(description_);
    if (page == nullptr) return com::E_OUTOFMEMORY;
    const HRESULT hr = page->QueryInterface(iid, object);
    page->Release();
    return hr;
  }
  HRESULT LockServer(com::BOOL) override { return com::S_OK; }

 private:
  const PageDescription& description_;
};

}  // namespace
}  // namespace quillon::desktop

extern "C" {

QUILLON_DESKTOP_ENTRY quillon::com::HRESULT DllGetClassObject(quillon::com::REFCLSID clsid,
                                                              quillon::com::REFIID iid,
                                                              void** object) {
  namespace com = quillon::com;
  namespace desktop = quillon::desktop;
  if (object == nullptr) return com::E_POINTER;
  *object = nullptr;
  const desktop::PageDescription* description = desktop::FindPage(clsid);
  if (description == nullptr) return com::CLASS_E_CLASSNOTAVAILABLE;
  // One factory per page class; they are never freed.
  static std::mutex mutex;
  static auto* factories = new std::map<const desktop::PageDescription*, desktop::PageFactory*>;
  desktop::PageFactory* factory = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    desktop::PageFactory*& slot = (*factories)[description];
    if (slot == nullptr) slot = new desktop::PageFactory(*description);
    factory = slot;
  }
  return factory->QueryInterface(iid, object);
}

// A GUI toolkit cannot be unloaded safely: never.
QUILLON_DESKTOP_ENTRY quillon::com::HRESULT DllCanUnloadNow() { return quillon::com::S_FALSE; }

}  // extern "C"

// The per-thread error object and the two conventions by which a failure
// becomes a result code with error information.
#include "quillon/component/errors.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "component/runtime_internal.h"
#include "quillon/component/bstr.h"
#include "quillon/component/object.h"
#include "quillon/component/runtime.h"

namespace quillon {

Error& Error::With(std::u16string_view label, std::u16string_view value) & {
  // A bare message whose English text ends in this very label takes the
  // value straight after it, as the composed form of the same message
  // would.
  const std::string_view text = MessageText(number_, MessageLanguage::kEnglish);
  const bool ends_in_label =
      text.ends_with(": ") && text.size() >= label.size() + 2 &&
      std::equal(label.begin(), label.end(), text.end() - 2 - label.size(),
                 [](char16_t l, char t) { return l == static_cast<unsigned char>(t); });
  if (!composed_ && context_.empty() && ends_in_label) {
    context_ += value;
    return *this;
  }
  context_ += u' ';
  context_ += label;
  context_ += u": ";
  context_ += value;
  return *this;
}

Error& Error::WithFile(std::u16string_view path) & { return With(u"File", path); }

Error& Error::WithIndex(int64_t index) & {
  return With(u"Index", com::Utf8ToUtf16(std::to_string(index)));
}

Error& Error::WithIdentifier(std::u16string_view identifier) & {
  return With(u"Identifier", identifier);
}

Error& Error::WithParameter(std::u16string_view name) & {
  return With(u"Parameter name", name);
}

Error& Error::WithDetail(std::u16string_view text) & {
  context_ += text;
  return *this;
}

Error& Error::AppendedAs(std::u16string_view label) & {
  appended_label_ = label;
  return *this;
}

std::u16string Error::Description() const { return Description(CurrentMessageLanguage()); }

std::u16string Error::Description(MessageLanguage language) const {
  std::u16string text = MessageOrUnknown(number_, language);
  if (composed_) {
    if (language == MessageLanguage::kEnglish && !appended_label_.empty()) {
      text += u' ';
      text += appended_label_;
      text += u": ";
    }
    text += appended_;
  }
  if (language == MessageLanguage::kEnglish) text += context_;
  return text;
}

const char* Error::what() const noexcept {
  if (what_.empty()) {
    try {
      what_ = std::to_string(number_) + ": " + com::Utf16ToUtf8(Description());
    } catch (...) {
      return "quillon::Error";
    }
  }
  return what_.c_str();
}

namespace com {
namespace {

class ErrorInfo : public ObjectBase,
                  public IErrorInfo,
                  public ICreateErrorInfo,
                  public IErrorMessageNumber {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<ErrorInfo, IErrorInfo>(IID_IErrorInfo),
      Entry<ErrorInfo, ICreateErrorInfo>(IID_ICreateErrorInfo),
      Entry<ErrorInfo, IErrorMessageNumber>(IID_IErrorMessageNumber)};

  ErrorInfo() : ObjectBase(RuntimeModule()) {}

  HRESULT GetGUID(GUID* guid) override { return Out(guid, guid_); }
  HRESULT GetSource(BSTR* s) override { return OutText(s, source_); }
  HRESULT GetDescription(BSTR* s) override { return OutText(s, description_); }
  HRESULT GetHelpFile(BSTR* s) override { return OutText(s, help_file_); }
  HRESULT GetHelpContext(DWORD* c) override { return Out(c, help_context_); }

  HRESULT SetGUID(REFGUID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT SetSource(LPCOLESTR s) override { return Set(&source_, s); }
  HRESULT SetDescription(LPCOLESTR s) override { return Set(&description_, s); }
  HRESULT SetHelpFile(LPCOLESTR s) override { return Set(&help_file_, s); }
  HRESULT SetHelpContext(DWORD c) override {
    help_context_ = c;
    return S_OK;
  }

  HRESULT GetMessageNumber(int32_t* number) override { return Out(number, number_); }
  HRESULT SetMessageNumber(int32_t number) override {
    number_ = number;
    return S_OK;
  }

  // Texts with embedded NULs or known lengths.
  void SetAll(std::u16string_view description, std::u16string_view source, const IID* iid,
              DWORD help_context, int32_t number) {
    description_ = description;
    source_ = source;
    guid_ = iid != nullptr ? *iid : GUID_NULL;
    help_context_ = help_context;
    number_ = number;
  }

 private:
  template <class T>
  static HRESULT Out(T* out, const T& value) {
    if (out == nullptr) return E_POINTER;
    *out = value;
    return S_OK;
  }
  static HRESULT OutText(BSTR* out, const std::u16string& text) {
    if (out == nullptr) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out == nullptr && !text.empty() ? E_OUTOFMEMORY : S_OK;
  }
  static HRESULT Set(std::u16string* field, LPCOLESTR text) {
    try {
      field->assign(text == nullptr ? u"" : text);
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  GUID guid_ = GUID_NULL;
  std::u16string source_;
  std::u16string description_;
  std::u16string help_file_;
  DWORD help_context_ = 0;
  int32_t number_ = 0;
};

// The thread's error object, one reference held. A plain pointer: every
// late-bound call asks whether one is left over, and a thread_local with a
// destructor costs each access a check that it was set up.
thread_local IErrorInfo* t_error_info = nullptr;

// Gives the thread's error object back when the thread ends; set up by the
// first error the thread keeps.
struct ErrorInfoOwner {
  ~ErrorInfoOwner() {
    if (IErrorInfo* info = std::exchange(t_error_info, nullptr)) info->Release();
  }
};
thread_local ErrorInfoOwner t_error_owner;

// Keeps `info` (a reference the caller gives up, or null) as the thread's
// error object.
void KeepErrorInfo(IErrorInfo* info) {
  static_cast<void>(&t_error_owner);
  if (IErrorInfo* old = std::exchange(t_error_info, info)) old->Release();
}

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** info) {
  if (info == nullptr) return E_POINTER;
  try {
    auto object = Object<ErrorInfo>::Create();
    *info = static_cast<ICreateErrorInfo*>(object.detach());
    return S_OK;
  } catch (const std::bad_alloc&) {
    *info = nullptr;
    return E_OUTOFMEMORY;
  }
}

HRESULT SetErrorInfo(DWORD /*reserved*/, IErrorInfo* info) {
  if (info != nullptr) info->AddRef();
  KeepErrorInfo(info);
  return S_OK;
}

bool HasErrorInfo() { return t_error_info != nullptr; }

HRESULT GetErrorInfo(DWORD /*reserved*/, IErrorInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = std::exchange(t_error_info, nullptr);
  return *info == nullptr ? S_FALSE : S_OK;
}

int32_t MessageNumberOf(IErrorInfo* info) {
  if (info == nullptr) return 0;
  ComPtr<IErrorMessageNumber> carrier;
  if (Failed(info->QueryInterface(IID_IErrorMessageNumber, carrier.put_void()))) return 0;
  int32_t number = 0;
  return Succeeded(carrier->GetMessageNumber(&number)) ? number : 0;
}

HRESULT ReportError(HRESULT code, std::u16string_view description, std::u16string_view source,
                    const IID* iid, DWORD help_context, int32_t number) {
  try {
    auto object = Object<ErrorInfo>::Create();
    object->SetAll(description, source, iid, help_context, number);
    KeepErrorInfo(static_cast<IErrorInfo*>(object.detach()));
  } catch (const std::bad_alloc&) {
    KeepErrorInfo(nullptr);
    return E_OUTOFMEMORY;
  }
  return code;
}

HRESULT ServerError(const ErrorSource& source, const Error& error) {
  HRESULT code = error.composed() ? DISP_E_EXCEPTION
                                  : MakeHresult(0x80040000u + static_cast<uint32_t>(error.number()));
  return ReportError(code, error.Description(), source.progid, source.iid, 0, error.number());
}

HRESULT ClientError(std::u16string_view app_name, const Error& error) {
  HRESULT code = MakeHresult(0x800A0000u + static_cast<uint32_t>(error.number()));
  DWORD help = error.composed() ? 0 : 0x60000u + static_cast<DWORD>(error.number());
  return ReportError(code, error.Description(), app_name, nullptr, help, error.number());
}

}  // namespace com
}  // namespace quillon

// The per-thread error object and the two conventions by which a failure
// becomes a result code with error information.
#include "quillon/component/errors.h"

#include <string>

#include "component/runtime_internal.h"
#include "quillon/component/bstr.h"
#include "quillon/component/object.h"
#include "quillon/component/runtime.h"

namespace quillon {

std::u16string Error::Description() const {
  std::u16string text = MessageOrUnknown(number_);
  if (composed_) text += appended_;
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

class ErrorInfo : public ObjectBase, public IErrorInfo, public ICreateErrorInfo {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<ErrorInfo, IErrorInfo>(IID_IErrorInfo),
      Entry<ErrorInfo, ICreateErrorInfo>(IID_ICreateErrorInfo)};

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

  // Texts with embedded NULs or known lengths.
  void SetAll(std::u16string_view description, std::u16string_view source, const IID* iid,
              DWORD help_context) {
    description_ = description;
    source_ = source;
    guid_ = iid != nullptr ? *iid : GUID_NULL;
    help_context_ = help_context;
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
};

thread_local ComPtr<IErrorInfo> t_error_info;

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
  t_error_info = ComPtr<IErrorInfo>(info);
  return S_OK;
}

bool HasErrorInfo() { return static_cast<bool>(t_error_info); }

HRESULT GetErrorInfo(DWORD /*reserved*/, IErrorInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = t_error_info.detach();
  return *info == nullptr ? S_FALSE : S_OK;
}

HRESULT ReportError(HRESULT code, std::u16string_view description, std::u16string_view source,
                    const IID* iid, DWORD help_context) {
  try {
    auto object = Object<ErrorInfo>::Create();
    object->SetAll(description, source, iid, help_context);
    t_error_info = ComPtr<IErrorInfo>(static_cast<IErrorInfo*>(object.get()));
  } catch (const std::bad_alloc&) {
    t_error_info.reset();
    return E_OUTOFMEMORY;
  }
  return code;
}

HRESULT ServerError(const ErrorSource& source, const Error& error) {
  HRESULT code = error.composed() ? DISP_E_EXCEPTION
                                  : MakeHresult(0x80040000u + static_cast<uint32_t>(error.number()));
  return ReportError(code, error.Description(), source.progid, source.iid, 0);
}

HRESULT ClientError(std::u16string_view app_name, const Error& error) {
  HRESULT code = MakeHresult(0x800A0000u + static_cast<uint32_t>(error.number()));
  DWORD help = error.composed() ? 0 : 0x60000u + static_cast<DWORD>(error.number());
  return ReportError(code, error.Description(), app_name, nullptr, help);
}

}  // namespace com
}  // namespace quillon

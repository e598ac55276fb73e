// Bstr: sole owner of one automation string.
#ifndef QUILLON_COMPONENT_BSTR_H_
#define QUILLON_COMPONENT_BSTR_H_

#include <string>
#include <string_view>
#include <utility>

#include "quillon/component/runtime.h"
#include "quillon/component/types.h"

namespace quillon::com {

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text)
      : s_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  // UTF-8 text; for code-page bytes use the platform layer's conversion.
  static Bstr FromUtf8(std::string_view text) { return Bstr(Utf8ToUtf16(text)); }
  static Bstr Adopt(BSTR s) {
    Bstr b;
    b.s_ = s;
    return b;
  }
  Bstr(const Bstr& other) : Bstr(other.view()) {}
  Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  Bstr& operator=(Bstr other) noexcept {
    std::swap(s_, other.s_);
    return *this;
  }
  ~Bstr() { SysFreeString(s_); }

  BSTR get() const { return s_; }
  BSTR detach() { return std::exchange(s_, nullptr); }
  BSTR* put() {
    SysFreeString(std::exchange(s_, nullptr));
    return &s_;
  }
  UINT size() const { return SysStringLen(s_); }
  std::u16string_view view() const { return View(s_); }
  std::string utf8() const { return Utf16ToUtf8(view()); }

  // The text of any BSTR, null meaning empty, embedded NULs kept.
  static std::u16string_view View(BSTR s) {
    return s == nullptr ? std::u16string_view() : std::u16string_view(s, SysStringLen(s));
  }

 private:
  BSTR s_ = nullptr;
};

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_BSTR_H_

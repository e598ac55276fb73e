// Automation byte arrays as the two texts of the toolkit: the value
// encoding (form kValueForm) and the hex byte text (any other form).
#ifndef QUILLON_COMPONENT_BYTE_TEXT_H_
#define QUILLON_COMPONENT_BYTE_TEXT_H_

#include <string>
#include <string_view>

#include "quillon/component/variant.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/codepage.h"

namespace quillon::com {

// A one-dimensional byte array (VT_ARRAY|VT_UI1, or a by-reference variant
// pointing at one: the same rule as SetBinaryData) as text: all its bytes
// through EncodeValue when `form` is kValueForm, else through EncodeHex.
// Any other variant, and a byte array of another dimension count, gives the
// empty string.
inline std::string BytesToText(const VARIANT& value, int form) {
  std::string bytes;
  if (!Variant::GetBytes(value, &bytes)) return std::string();
  return form == core::kValueForm ? core::EncodeValue(bytes) : core::EncodeHex(bytes);
}

// The empty text (a zero at its first byte included) gives an EMPTY
// variant; otherwise a new one-dimensional byte array, lower bound 0,
// holding the DecodeValue result (form kValueForm) or the DecodeHex result.
inline Variant TextToBytes(std::string_view text, int form,
                           const platform::CodePage& cp = platform::ProcessCodePage()) {
  text = text.substr(0, text.find('\0'));
  if (text.empty()) return Variant();
  return Variant::Bytes(form == core::kValueForm ? core::DecodeValue(text, cp)
                                                 : core::DecodeHex(text));
}

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_BYTE_TEXT_H_

// Code-page bytes to and from the text Qt widgets show.
#ifndef QUILLON_MONITOR_UI_TEXT_H_
#define QUILLON_MONITOR_UI_TEXT_H_

#include <QString>
#include <string>
#include <string_view>

#include "quillon/platform/codepage.h"

namespace quillon::monitor {

inline QString FromCodePage(std::string_view bytes) {
  const std::u16string units = platform::ProcessCodePage().ToUtf16(bytes);
  return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
}

inline std::string ToCodePage(const QString& text) {
  return platform::ProcessCodePage().FromUtf16(std::u16string_view(
      reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())));
}

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_UI_TEXT_H_

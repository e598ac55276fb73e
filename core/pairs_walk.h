// The pair-list walk of SplitPairs (see quillon/core/pairs.h for the
// grammar) with the runs handed out as views into the text, so that a
// caller can tell where each name and value came from. SplitPairs is this
// walk with every run copied; the server's multipart intake uses the
// positions to put body bytes where the walk met a stand-in.
#ifndef QUILLON_CORE_PAIRS_WALK_H_
#define QUILLON_CORE_PAIRS_WALK_H_

#include <cstring>
#include <string_view>

#include "quillon/platform/codepage.h"

namespace quillon::core {

// Calls emit(name, value) for every pair of `text` (which ends at its first
// zero byte) in order. Both views lie inside `text`; an empty value is an
// empty view. emit may throw; the walk then stops.
template <class Emit>
void WalkPairs(std::string_view text, const platform::CodePage& cp, Emit&& emit) {
  if (text.empty()) return;  // data() may be null
  const void* zero = std::memchr(text.data(), 0, text.size());
  if (zero != nullptr) text = text.substr(0, static_cast<const char*>(zero) - text.data());
  const size_t end = text.size();
  constexpr std::string_view kSeparators = "=&?";
  auto is_separator = [](char c) { return c == '=' || c == '&' || c == '?'; };

  // The run from `pos` to the next separator (or the end); `pos` moves past
  // that separator. Separators are single bytes, so every position kept
  // here lies on a character boundary.
  auto take_run = [&](size_t* pos) {
    const size_t sep = cp.FindAnyOf(text, kSeparators, *pos);
    std::string_view run =
        text.substr(*pos, sep == std::string_view::npos ? std::string_view::npos : sep - *pos);
    *pos = sep == std::string_view::npos ? end : sep + 1;
    return run;
  };

  size_t pos = 0;
  while (true) {
    while (pos < end && is_separator(text[pos])) ++pos;
    if (pos >= end) return;
    const std::string_view name = take_run(&pos);
    std::string_view value = text.substr(pos, 0);
    // Only the character right after the separator that ended the name
    // decides whether a value follows.
    if (pos < end && text[pos] != '&' && text[pos] != '?') {
      while (pos < end && (text[pos] == '=' || text[pos] == '&')) ++pos;
      value = take_run(&pos);
    }
    emit(name, value);
    if (pos >= end) return;
  }
}

}  // namespace quillon::core

#endif  // QUILLON_CORE_PAIRS_WALK_H_

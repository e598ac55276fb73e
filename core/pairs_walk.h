// The pair-list walk of SplitPairs (see quillon/core/pairs.h for the
// grammar) with the runs handed out as views into the text, so that a
// caller can tell where each name and value came from. SplitPairs is this
// walk with every run copied; the server's multipart intake uses the
// positions to put body bytes where the walk met a stand-in.
#ifndef QUILLON_CORE_PAIRS_WALK_H_
#define QUILLON_CORE_PAIRS_WALK_H_

#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// An upper bound of the pairs WalkPairs finds in `text`: the runs of
// non-separators ('=', '&', '?'), since every pair starts with one (no
// separator byte is ever part of a multibyte character). The whole text
// counts, zero bytes and all. Used to size the entry list of a large
// answer with one allocation.
inline size_t CountPairRuns(std::string_view text) {
  auto separator = [](char c) { return c == '=' || c == '&' || c == '?'; };
  const size_t n = text.size();
  size_t runs = 0;
  size_t i = 0;
  // Whether the byte before position i is a separator (the start counts as
  // one): a run starts at every other byte that follows one.
  bool after_separator = true;
#if defined(__SSE2__)
  // Sixteen bytes at a time: a lane is a start when its byte is no
  // separator and the lane before it (the previous block's last lane for
  // the first) is. Starts are summed per lane and folded every 255 blocks,
  // before a lane can overflow.
  const __m128i equals = _mm_set1_epi8('='), amp = _mm_set1_epi8('&'), ask = _mm_set1_epi8('?');
  const __m128i one = _mm_set1_epi8(1);
  __m128i carry = _mm_insert_epi16(_mm_setzero_si128(), 0xFF, 0);
  while (n - i >= 16) {
    __m128i sums = _mm_setzero_si128();
    for (int k = 0; k < 255 && n - i >= 16; ++k, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
      const __m128i sep = _mm_or_si128(_mm_cmpeq_epi8(v, equals),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, ask)));
      const __m128i before = _mm_or_si128(_mm_slli_si128(sep, 1), carry);
      sums = _mm_add_epi8(sums, _mm_and_si128(_mm_andnot_si128(sep, before), one));
      carry = _mm_and_si128(_mm_srli_si128(sep, 15), _mm_cvtsi32_si128(0xFF));
    }
    const __m128i total = _mm_sad_epu8(sums, _mm_setzero_si128());
    runs += static_cast<size_t>(_mm_cvtsi128_si32(total)) +
            static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
  }
  if (i > 0) after_separator = separator(text[i - 1]);
#endif
  for (; i < n; ++i) {
    const bool sep = separator(text[i]);
    runs += static_cast<size_t>(!sep && after_separator);
    after_separator = sep;
  }
  return runs;
}

}  // namespace quillon::core

#endif  // QUILLON_CORE_PAIRS_WALK_H_

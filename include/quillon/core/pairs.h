// Pair lists: the name=value&name=value texts in which named values travel
// (query strings, URL-encoded bodies, the client's request body, the tail of
// the session text, request-data files).
#ifndef QUILLON_CORE_PAIRS_H_
#define QUILLON_CORE_PAIRS_H_

#include <string>
#include <string_view>
#include <vector>

#include "quillon/platform/codepage.h"

namespace quillon::core {

// Appends the pairs found in `text` to *names and *values (kept parallel;
// existing elements are untouched). Names and values are returned exactly
// as they appear: nothing is decoded, letter case is kept.
//
// The text ends at its first zero byte (or the end of the view). The
// separators are '=', '&' and '?'; scanning is multibyte-aware in `cp`, so
// a byte that belongs to a multibyte character is never a separator. The
// grammar is the peers' own, not RFC 3986's:
//   1. skip every separator;
//   2. at the end: stop. Otherwise the name runs up to the next separator
//      (or the end) and the position moves past that separator;
//   3. only the character after that separator is looked at: the end, '&'
//      or '?' give the name an empty value; anything else ('=' included):
//      skip every '=' and '&', the value runs up to the next separator (or
//      the end) and the position moves past it;
//   4. stop at the end, else go on at 1.
// So "a=&b=2" gives (a,""),(b,2); "a&b=1" gives (a,b),(1,""); "a==1" gives
// (a,1); "&&&" and "" give nothing. Any input yields some list; nothing is
// rejected.
//
// On bad_alloc *names and *values may have grown by whole pairs only: they
// always stay the same length.
void SplitPairs(std::string_view text, std::vector<std::string>* names,
                std::vector<std::string>* values,
                const platform::CodePage& cp = platform::ProcessCodePage());

// Appends name1 "=" value1 "&" name2 "=" value2 ... to *text, with "&" only
// between items. Names are written as stored, values as given (callers pass
// encoded values). Pairs are taken up to the length of the shorter vector
// (the lists of this toolkit are always the same length).
void JoinPairs(const std::vector<std::string>& names, const std::vector<std::string>& values,
               std::string* text);

}  // namespace quillon::core

#endif  // QUILLON_CORE_PAIRS_H_

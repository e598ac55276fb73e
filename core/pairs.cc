// Pair lists in the peers' own grammar (see pairs.h): it differs from
// RFC 3986 query parsing in how a missing value is detected, and those
// differences are what the other side relies on.
#include "quillon/core/pairs.h"

#include <algorithm>
#include <cstring>

namespace quillon::core {
namespace {

constexpr std::string_view kSeparators = "=&?";

bool IsSeparator(char c) { return c == '=' || c == '&' || c == '?'; }

// Room for one more element in each vector, growing geometrically, so that
// the two push_backs that follow cannot throw and the vectors stay the same
// length whatever happens.
void MakeRoomForOne(std::vector<std::string>* v) {
  if (v->size() == v->capacity()) v->reserve(v->empty() ? 8 : 2 * v->size());
}

}  // namespace

void SplitPairs(std::string_view text, std::vector<std::string>* names,
                std::vector<std::string>* values, const platform::CodePage& cp) {
  if (text.empty()) return;  // data() may be null
  const void* zero = std::memchr(text.data(), 0, text.size());
  if (zero != nullptr) text = text.substr(0, static_cast<const char*>(zero) - text.data());
  const size_t end = text.size();

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
    while (pos < end && IsSeparator(text[pos])) ++pos;
    if (pos >= end) return;
    std::string name(take_run(&pos));
    std::string value;
    // Only the character right after the separator that ended the name
    // decides whether a value follows.
    if (pos < end && text[pos] != '&' && text[pos] != '?') {
      while (pos < end && (text[pos] == '=' || text[pos] == '&')) ++pos;
      value = take_run(&pos);
    }
    MakeRoomForOne(names);
    MakeRoomForOne(values);
    names->push_back(std::move(name));
    values->push_back(std::move(value));
    if (pos >= end) return;
  }
}

void JoinPairs(const std::vector<std::string>& names, const std::vector<std::string>& values,
               std::string* text) {
  const size_t count = std::min(names.size(), values.size());
  size_t size = text->size();
  for (size_t i = 0; i < count; ++i) size += names[i].size() + values[i].size() + 2;
  text->reserve(size);
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) text->push_back('&');
    text->append(names[i]);
    text->push_back('=');
    text->append(values[i]);
  }
}

}  // namespace quillon::core

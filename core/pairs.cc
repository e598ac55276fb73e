// Pair lists in the peers' own grammar (see pairs.h): it differs from
// RFC 3986 query parsing in how a missing value is detected, and those
// differences are what the other side relies on.
#include "quillon/core/pairs.h"

#include <algorithm>
#include <cstring>

#include "core/pairs_walk.h"

namespace quillon::core {
namespace {

// Room for one more element in each vector, growing geometrically, so that
// the two push_backs that follow cannot throw and the vectors stay the same
// length whatever happens.
void MakeRoomForOne(std::vector<std::string>* v) {
  if (v->size() == v->capacity()) v->reserve(v->empty() ? 8 : 2 * v->size());
}

}  // namespace

void SplitPairs(std::string_view text, std::vector<std::string>* names,
                std::vector<std::string>* values, const platform::CodePage& cp) {
  WalkPairs(text, cp, [&](std::string_view name_run, std::string_view value_run) {
    std::string name(name_run);
    std::string value(value_run);
    MakeRoomForOne(names);
    MakeRoomForOne(values);
    names->push_back(std::move(name));
    values->push_back(std::move(value));
  });
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

// Appending to the store's parallel lists without ever leaving them of
// different lengths: reserve every list first (the only step that can
// throw), then move the new elements in (which cannot).
#ifndef QUILLON_CORE_LIST_APPEND_H_
#define QUILLON_CORE_LIST_APPEND_H_

#include <algorithm>
#include <iterator>
#include <vector>

namespace quillon::core {

// Capacity for `extra` more elements, with geometric growth.
template <class T>
void ReserveMore(std::vector<T>* v, size_t extra) {
  const size_t wanted = v->size() + extra;
  if (wanted > v->capacity()) v->reserve(std::max(wanted, 2 * v->capacity()));
}

// Moves all of `from` to the end of `to`; cannot throw after ReserveMore.
template <class T>
void MoveAppend(std::vector<T>* to, std::vector<T>* from) {
  to->insert(to->end(), std::make_move_iterator(from->begin()),
             std::make_move_iterator(from->end()));
}

}  // namespace quillon::core

#endif  // QUILLON_CORE_LIST_APPEND_H_

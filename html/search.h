// Searches below a tag and the document's find state.
#ifndef QUILLON_HTML_SEARCH_H_
#define QUILLON_HTML_SEARCH_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/html/document.h"
#include "quillon/html/tag.h"

namespace quillon::html {

class Search {
 public:
  enum Kind { kId, kTagName, kParameter };
  // Views only: a key lives for one call, and the find state keeps its own
  // copy of what it needs for FindNext.
  struct Key {
    Kind kind;
    std::string_view first;   // identifier, tag name or parameter name, as given
    std::string_view second;  // parameter value
  };

  // A script-level search below `scope`, recorded in the document's find
  // state.
  static Ref<Tag> Run(Tag* scope, const Key& key);
  // FindNext of `doc`.
  static Ref<Tag> Next(Document* doc);

  // Pre-order walk of everything below `tag`, without recursion.
  template <class F>
  static void ForEachBelow(Tag* tag, F&& visit) {
    if (!tag->children_) return;
    std::vector<std::pair<Tags*, size_t>> stack;
    stack.emplace_back(tag->children_.get(), 0);
    while (!stack.empty()) {
      auto& [list, i] = stack.back();
      if (i >= list->entries_.size()) {
        stack.pop_back();
        continue;
      }
      Tag* t = list->entries_[i++].tag.get();
      visit(t);
      if (t->children_ && !t->children_->entries_.empty()) {
        stack.emplace_back(t->children_.get(), 0);
      }
    }
  }

 private:
  // The first match below `scope` in pre-order; with a `start`, the first
  // match after it.
  static Tag* Below(Tag* scope, const Key& key, const Tag* start, bool start_checked);
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_SEARCH_H_

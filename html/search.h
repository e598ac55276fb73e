// Searches below a tag and the document's find state.
#ifndef QUILLON_HTML_SEARCH_H_
#define QUILLON_HTML_SEARCH_H_

#include <string>
#include <string_view>

#include "html/node.h"
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
  // A tag left `doc`'s tree: the find state's links must be checked again.
  static void NoteDetach(Document* doc) { ++doc->detach_epoch_; }

  // The tag after `t` in pre-order, not leaving `scope`; null at the end
  // (and for a `t` that is no longer below `scope`).
  static Tag* NextInScope(const Tag* t, const Tag* scope) {
    if (Node::KidCount(t) > 0) return Node::Kid(t, 0);
    while (t != scope) {
      const Tag* parent = Node::parent(t);
      if (!parent) return nullptr;
      const uint32_t next = static_cast<uint32_t>(Node::index(t)) + 1;
      if (next < Node::KidCount(parent)) return Node::Kid(parent, next);
      t = parent;
    }
    return nullptr;
  }

  // Pre-order walk of everything below `tag`, without recursion. `visit`
  // must not change the tree's shape.
  template <class F>
  static void ForEachBelow(Tag* tag, F&& visit) {
    for (Tag* t = Node::At(tag, 0); t; t = NextInScope(t, tag)) visit(t);
  }

 private:
  // The first match below `scope` in pre-order; with a `start`, the first
  // match after it.
  static Tag* Below(Tag* scope, const Key& key, const Tag* start, bool start_checked);
  static Tag* Below(Tag* scope, const Document* doc, const Key& key, const Tag* start,
                    bool start_checked);
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_SEARCH_H_

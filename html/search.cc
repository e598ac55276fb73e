#include "html/search.h"

#include "html/internal.h"

namespace quillon::html {

namespace {

// The key in the form the comparison wants: identifiers and values are
// compared ignoring case, names after upper-casing.
struct Matcher {
  Matcher(const platform::CodePage& code_page, const Search::Key& key)
      : cp(code_page), kind(key.kind), first(key.first), second(key.second) {
    if (kind != Search::kId) {
      upper = Upper(cp, key.first);
      first = upper;
    }
  }
  bool operator()(const Tag* tag, const std::string& id) const {
    switch (kind) {
      case Search::kId:
        return EqualsIgnoreCase(cp, id, first);
      case Search::kTagName:
        return tag->TagName() == first;
      case Search::kParameter:
        return EqualsIgnoreCase(cp, tag->GetParam(first), second);
    }
    return false;
  }
  const platform::CodePage& cp;
  Search::Kind kind;
  std::string_view first;
  std::string_view second;
  std::string upper;  // names are compared upper-cased
};

}  // namespace

namespace {

// The tag after `t` in pre-order, not leaving `scope`; null at the end.
Tag* NextInScope(const Tag* t, const Tag* scope) {
  if (Tags* children = t->children_if_any(); children && children->Count() > 0) {
    return children->At(0);
  }
  while (t != scope) {
    Tags* owner = t->owner_collection();
    if (!owner) return nullptr;
    if (t->Index() + 1 < owner->Count()) return owner->At(t->Index() + 1);
    t = owner->owner();
    if (!t) return nullptr;
  }
  return nullptr;
}

}  // namespace

bool StrictlyBelow(const Tag* t, const Tag* scope) {
  for (t = t->parent(); t; t = t->parent()) {
    if (t == scope) return true;
  }
  return false;
}

Tag* Search::Below(Tag* scope, const Key& key, const Tag* start, bool start_checked) {
  // Continuing from the start tag visits exactly the tags that a walk from
  // the top would visit after passing it, without walking past everything
  // before it again: stepping through all matches with FindNext stays
  // linear. A start outside the scope is never passed, so nothing follows.
  Matcher match(CodePageOf(scope->document()), key);
  Tag* t;
  if (start == nullptr) {
    Tags* children = scope->children_if_any();
    t = children && children->Count() > 0 ? children->At(0) : nullptr;
  } else {
    if (!start_checked && !StrictlyBelow(start, scope)) return nullptr;
    t = NextInScope(start, scope);
  }
  for (; t; t = NextInScope(t, scope)) {
    if (match(t, t->RawId())) return t;
  }
  return nullptr;
}

Ref<Tag> Search::Run(Tag* scope, const Key& key) {
  Document* doc = scope->document();
  Tag* hit = Below(scope, key, nullptr, false);
  if (doc) {
    Document::FindState& f = doc->find_;
    // Assigned, not moved in: a page searching row after row reuses the
    // same strings instead of allocating a key per search.
    f.id_key.assign(key.kind == kId ? key.first : std::string_view());
    f.tag_key.assign(key.kind == kTagName ? key.first : std::string_view());
    f.param_name_key.assign(key.kind == kParameter ? key.first : std::string_view());
    f.param_value_key.assign(key.kind == kParameter ? key.second : std::string_view());
    f.scope = scope;
    f.last = hit;
    // Checking that the scope is in the document walks up the tree; most
    // searches are never followed by FindNext, so that one does it.
    f.trusted = false;
    f.epoch = doc->detach_epoch_;
  }
  return Ref<Tag>(hit);
}

Ref<Tag> Search::Next(Document* doc) {
  Document::FindState& f = doc->find_;
  // The links are plain: a released tag has cleared itself from them, and a
  // removed one that is still held elsewhere is no longer in the document.
  // Checking walks up the tree, so it is done only when something was
  // removed since the links were last known good, or when SetFindPosition
  // brought in a tag from anywhere.
  const bool trusted = f.trusted && f.epoch == doc->detach_epoch_;
  if (!trusted) {
    if (f.scope && !doc->Contains(f.scope)) f.scope = nullptr;
    if (f.last && !doc->Contains(f.last)) f.last = nullptr;
  }
  Tag* scope = f.scope ? f.scope : doc->root();
  Key key;
  if (!f.id_key.empty()) {
    key = Key{kId, f.id_key, ""};
  } else if (!f.tag_key.empty()) {
    key = Key{kTagName, f.tag_key, ""};
  } else {
    key = Key{kParameter, f.param_name_key, f.param_value_key};
  }
  Tag* hit = Below(scope, key, f.last, trusted);
  f.last = hit;
  f.trusted = true;
  f.epoch = doc->detach_epoch_;
  return Ref<Tag>(hit);
}

}  // namespace quillon::html

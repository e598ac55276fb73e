#include "html/search.h"

#include "html/internal.h"

namespace quillon::html {

namespace {

// The key in the form the comparison wants: identifiers and values are
// compared ignoring case; names are upper-cased and looked up once, so a
// tag is tested by comparing numbers. A name never interned matches no tag
// (and reads as a missing parameter, "").
struct Matcher {
  Matcher(const platform::CodePage& code_page, const Arena& arena, const Search::Key& key)
      : cp(code_page), kind(key.kind), first(key.first), second(key.second) {
    if (kind != Search::kId) name = arena.FindName(Upper(cp, key.first));
    ascii = !HasHighByte(first) && !HasHighByte(second);
  }
  static bool HasHighByte(std::string_view s) {
    for (char c : s) {
      if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
  }
  static char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
  // Folding only ASCII letters is exact when the key has no multibyte
  // character: a byte of one in the tag's text then already differs.
  bool Same(std::string_view text, std::string_view k) const {
    if (text.size() != k.size()) return false;
    if (!ascii) return EqualsIgnoreCase(cp, text, k);
    for (size_t i = 0; i < k.size(); ++i) {
      if (AsciiUpper(text[i]) != AsciiUpper(k[i])) return false;
    }
    return true;
  }
  bool operator()(const Tag* tag) const {
    switch (kind) {
      case Search::kId:
        return Same(Node::Id(tag), first);
      case Search::kTagName:
        return Node::name(tag) == name;
      case Search::kParameter:
        return Same(Node::GetParam(tag, name), second);
    }
    return false;
  }
  const platform::CodePage& cp;
  Search::Kind kind;
  std::string_view first;
  std::string_view second;
  NameId name = kNoName;
  bool ascii;
};

bool StrictlyBelow(const Tag* t, const Tag* scope) {
  for (t = Node::parent(t); t; t = Node::parent(t)) {
    if (t == scope) return true;
  }
  return false;
}

}  // namespace

Tag* Search::Below(Tag* scope, const Key& key, const Tag* start, bool start_checked) {
  // Continuing from the start tag visits exactly the tags that a walk from
  // the top would visit after passing it, without walking past everything
  // before it again: stepping through all matches with FindNext stays
  // linear. A start outside the scope is never passed, so nothing follows.
  Matcher match(CodePageOf(scope->document()), *Node::arena(scope), key);
  Tag* t;
  if (start == nullptr) {
    t = Node::At(scope, 0);
  } else {
    if (!start_checked && !StrictlyBelow(start, scope)) return nullptr;
    t = NextInScope(start, scope);
  }
  for (; t; t = NextInScope(t, scope)) {
    if (match(t)) return t;
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
    f.foreign_start = false;
    // Checking that the scope is in the document walks up the tree; most
    // searches are never followed by FindNext, so that one does it.
    f.trusted = false;
    f.epoch = doc->detach_epoch_;
  }
  return Ref<Tag>(hit);
}

Ref<Tag> Search::Next(Document* doc) {
  Document::FindState& f = doc->find_;
  // A start that never was this document's is never passed: nothing
  // follows it, and the next call starts over.
  if (f.foreign_start) {
    f.foreign_start = false;
    f.last = nullptr;
    return nullptr;
  }
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
  Tag* scope = f.scope ? f.scope : doc->root_;
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

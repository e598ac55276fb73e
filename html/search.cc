#include "html/search.h"

#include <cstdint>
#include <cstring>

#include "html/internal.h"

namespace quillon::html {

namespace {

bool HasHighByte(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

// Equality ignoring case. Most searches spell a name as the page does,
// so equal bytes are tried first; only a tag that differs from the key in
// case alone pays for folding, which looks once at whether the key has a
// multibyte character: folding only ASCII letters is exact when it has
// none (a byte of one in the tag's text then already differs).
struct SameText {
  SameText(const platform::CodePage& code_page, std::string_view k) : cp(code_page), key(k) {}
  bool operator()(std::string_view text) const {
    if (text.size() != key.size()) return false;
    if (SameBytes(text.data(), key.data(), key.size())) return true;
    return Folded(text);
  }
  // Identifiers are short, and the search of a row for a cell's is a
  // handful of tags: a call to memcmp per candidate cost more than the
  // walk. Overlapping loads that stay inside both texts.
  static bool SameBytes(const char* a, const char* b, size_t n) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) return SameEnds<uint64_t>(a, b, n);
    if (n >= 4) return SameEnds<uint32_t>(a, b, n);
    for (size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  // The first and the last sizeof(Word) bytes, which cover all n of them.
  template <class Word>
  static bool SameEnds(const char* a, const char* b, size_t n) {
    Word x0, y0, x1, y1;
    std::memcpy(&x0, a, sizeof(Word));
    std::memcpy(&y0, b, sizeof(Word));
    std::memcpy(&x1, a + n - sizeof(Word), sizeof(Word));
    std::memcpy(&y1, b + n - sizeof(Word), sizeof(Word));
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
  }
  bool Folded(std::string_view text) const {
    if (ascii < 0) ascii = HasHighByte(key) ? 0 : 1;
    if (ascii == 0) return EqualsIgnoreCase(cp, text, key);
    for (size_t i = 0; i < key.size(); ++i) {
      if (text[i] != key[i] && AsciiUpper(text[i]) != AsciiUpper(key[i])) return false;
    }
    return true;
  }
  const platform::CodePage& cp;
  std::string_view key;
  mutable int8_t ascii = -1;  // not looked at yet
};

// Whether the find state's copy of a value still spells `key`.
bool SameKey(const std::string& kept, std::string_view key) {
  return kept.size() == key.size() && SameText::SameBytes(kept.data(), key.data(), key.size());
}

// The find state's identifier or name (see FindState::first_size).
template <class FindState>
std::string_view FirstKey(const FindState& f) {
  return {f.first.data(), f.first_size};
}

// Keeps `key` as the find state's identifier or name: over the bytes of
// the last one where it fits (the search a page makes for each cell it
// fills is a few tags walked, and a call to copy the key cost as much).
template <class FindState>
void KeepFirst(FindState& f, std::string_view key) {
  if (key.size() <= f.first.size()) {
    CopyBytes(f.first.data(), key.data(), key.size());
  } else {
    f.first.assign(key);
  }
  f.first_size = static_cast<uint32_t>(key.size());
}

bool StrictlyBelow(const Tag* t, const Tag* scope) {
  for (t = Node::parent(t); t; t = Node::parent(t)) {
    if (t == scope) return true;
  }
  return false;
}

// The first tag from `t` on (pre-order, inside `scope`) that `match` takes.
template <class Match>
Tag* Walk(Tag* t, const Tag* scope, const Match& match) {
  for (; t; t = Search::NextInScope(t, scope)) {
    if (match(t)) return t;
  }
  return nullptr;
}

}  // namespace

Tag* Search::Below(Tag* scope, const Key& key, const Tag* start, bool start_checked) {
  return Below(scope, Node::arena(scope)->document(), key, start, start_checked);
}

Tag* Search::Below(Tag* scope, const Document* doc, const Key& key, const Tag* start,
                   bool start_checked) {
  // Continuing from the start tag visits exactly the tags that a walk from
  // the top would visit after passing it, without walking past everything
  // before it again: stepping through all matches with FindNext stays
  // linear. A start outside the scope is never passed, so nothing follows.
  Tag* t;
  if (start == nullptr) {
    t = Node::At(scope, 0);
  } else {
    if (!start_checked && !StrictlyBelow(start, scope)) return nullptr;
    t = NextInScope(start, scope);
  }
  if (t == nullptr) return nullptr;
  const platform::CodePage& cp = doc ? doc->code_page() : platform::ProcessCodePage();
  // Names are upper-cased and looked up once, so a tag is tested by
  // comparing numbers. A name never interned matches no tag (and reads as
  // a missing parameter, "").
  switch (key.kind) {
    case kId: {
      const SameText same(cp, key.first);
      return Walk(t, scope, [&](const Tag* x) { return same(Node::Id(x)); });
    }
    case kTagName: {
      const NameId name = Node::arena(scope)->FindName(Upper(cp, key.first));
      if (name == kNoName) return nullptr;
      return Walk(t, scope, [name](const Tag* x) { return Node::name(x) == name; });
    }
    case kParameter: {
      const NameId name = Node::arena(scope)->FindName(Upper(cp, key.first));
      const SameText same(cp, key.second);
      return Walk(t, scope, [&](const Tag* x) { return same(Node::GetParam(x, name)); });
    }
  }
  return nullptr;
}

Ref<Tag> Search::Run(Tag* scope, const Key& key) {
  Document* doc = Node::arena(scope)->document();
  Tag* hit = Below(scope, doc, key, nullptr, false);
  if (doc) {
    Document::FindState& f = doc->find_;
    // The value is kept only when it changed, the identifier or name over
    // the last one's bytes: a page searching row after row for a few
    // identifiers makes no call to keep them.
    f.kind = key.kind;
    KeepFirst(f, key.first);
    if (!SameKey(f.second, key.second)) f.second.assign(key.second);
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
  // An empty identifier or tag name leaves no key: every tag then passes
  // as one whose missing parameter "" equals the empty value.
  Key key{kParameter, "", ""};
  if (f.kind == kParameter) {
    key = Key{kParameter, FirstKey(f), f.second};
  } else if (f.first_size != 0) {
    key = Key{static_cast<Kind>(f.kind), FirstKey(f), ""};
  }
  Tag* hit = Below(scope, key, f.last, trusted);
  f.last = hit;
  f.trusted = true;
  f.epoch = doc->detach_epoch_;
  return Ref<Tag>(hit);
}

}  // namespace quillon::html

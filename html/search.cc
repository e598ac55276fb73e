#include "html/search.h"

#include "html/internal.h"

namespace quillon::html {

namespace {

// The key in the form the comparison wants: identifiers and values are
// compared ignoring case, names after upper-casing.
struct Matcher {
  Matcher(const platform::CodePage& code_page, const Search::Key& key)
      : cp(code_page), kind(key.kind) {
    switch (kind) {
      case Search::kId:
        first = key.first;
        break;
      case Search::kTagName:
      case Search::kParameter:
        first = Upper(cp, key.first);
        second = key.second;
        break;
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
  std::string first;
  std::string second;
};

}  // namespace

Tag* Search::Below(Tag* scope, const Key& key, const Tag* start, bool* passed) {
  if (!scope->children_) return nullptr;
  Matcher match(CodePageOf(scope->document()), key);
  std::vector<std::pair<Tags*, size_t>> stack;
  stack.emplace_back(scope->children_.get(), 0);
  while (!stack.empty()) {
    auto& [list, i] = stack.back();
    if (i >= list->entries_.size()) {
      stack.pop_back();
      continue;
    }
    const Tags::Entry& e = list->entries_[i++];
    Tag* t = e.tag.get();
    if (match(t, t->RawId()) && (start == nullptr || *passed)) return t;
    if (t == start) *passed = true;
    if (t->children_ && !t->children_->entries_.empty()) {
      stack.emplace_back(t->children_.get(), 0);
    }
  }
  return nullptr;
}

Ref<Tag> Search::Run(Tag* scope, Key key) {
  Document* doc = scope->document();
  bool passed = false;
  Tag* hit = Below(scope, key, nullptr, &passed);
  if (doc) {
    Document::FindState& f = doc->find_;
    f.id_key.clear();
    f.tag_key.clear();
    f.param_name_key.clear();
    f.param_value_key.clear();
    switch (key.kind) {
      case kId:
        f.id_key = std::move(key.first);
        break;
      case kTagName:
        f.tag_key = std::move(key.first);
        break;
      case kParameter:
        f.param_name_key = std::move(key.first);
        f.param_value_key = std::move(key.second);
        break;
    }
    f.scope = scope;
    f.last = hit;
  }
  return Ref<Tag>(hit);
}

Ref<Tag> Search::Next(Document* doc) {
  Document::FindState& f = doc->find_;
  f.passed = false;
  // The links are plain: a released tag has cleared itself from them, and a
  // removed one that is still held elsewhere is no longer in the document.
  Tag* scope = f.scope && doc->Contains(f.scope) ? f.scope : doc->root();
  if (f.scope != scope) f.scope = nullptr;
  const Tag* start = f.last && doc->Contains(f.last) ? f.last : nullptr;
  Key key;
  if (!f.id_key.empty()) {
    key = Key{kId, f.id_key, ""};
  } else if (!f.tag_key.empty()) {
    key = Key{kTagName, f.tag_key, ""};
  } else {
    key = Key{kParameter, f.param_name_key, f.param_value_key};
  }
  Tag* hit = Below(scope, key, start, &f.passed);
  f.last = hit;
  return Ref<Tag>(hit);
}

}  // namespace quillon::html

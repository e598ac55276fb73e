// Tags, their collections and the tree operations on them.
#include "quillon/html/tag.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "html/internal.h"
#include "html/node.h"
#include "html/search.h"
#include "quillon/component/errors.h"
#include "quillon/html/document.h"

namespace quillon::html {

static_assert(sizeof(Tag) == Arena::kTagBytes, "a tag is one fixed-size piece of its arena");

namespace {

// A stack that lives on the call stack until it outgrows it: a copy or a
// release works through it without asking the heap, however many times a
// page repeats one.
template <class T, size_t kInline>
class WorkStack {
 public:
  void push(const T& v) {
    if (size_ < kInline) {
      inline_[size_++] = v;
    } else {
      spill_.push_back(v);
      ++size_;
    }
  }
  T pop() {
    --size_;
    if (size_ >= kInline) {
      T v = spill_.back();
      spill_.pop_back();
      return v;
    }
    return inline_[size_];
  }
  bool empty() const { return size_ == 0; }

 private:
  T inline_[kInline];
  std::vector<T> spill_;
  size_t size_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// References and release. Releasing a tree must not recurse once per level:
// a dying tag is queued through its parent link, which a dying tag no longer
// needs, and its children are taken over by the same loop. A chain of any
// depth unwinds with constant stack and without allocating.

void IntrusiveAddRef(Tag* tag) {
  ++tag->refs_;
  tag->arena_->Hold();
}

void IntrusiveRelease(Tag* tag) {
  tag->arena_->Unhold();
  if (--tag->refs_ == 0) Node::Free(tag);
}

Tag* Node::MakeOwn(Arena* arena, NameId name) {
  void* memory = ::operator new(sizeof(Tag));
  Tag* t = new (memory) Tag(arena);
  t->name_ = name;
  t->flags_ |= Tag::kOwnMemory;
  arena->AdoptLive();
  return t;
}

void Node::Free(Tag* t) {
  t->parent_ = nullptr;
  Tag* head = t;
  while (head != nullptr) {
    Tag* next = head;
    head = next->parent_;
    Arena* a = next->arena_;
    if (KidList* k = next->kids_) {
      Tag** items = k->items();
      for (uint32_t i = 0; i < k->count; ++i) {
        Tag* child = items[i];
        // A child that someone else still holds sees itself as removed.
        child->parent_ = nullptr;
        if (--child->refs_ == 0) {
          child->parent_ = head;
          head = child;
        }
      }
      a->Release(k, KidList::Bytes(k->cap));
    }
    DropAttrs(next);
    if (Document* doc = a->document()) doc->Forget(next);
    a->ForgetCursor(next);
    const bool own = (next->flags_ & Tag::kOwnMemory) != 0;
    next->~Tag();
    // The arena may go with its last tag: nothing below touches it.
    if (own) {
      ::operator delete(next);
      a->DropLive();
    } else {
      a->ReleaseTag(next);
    }
  }
}

// ---------------------------------------------------------------------------
// Children lists

void Node::Reserve(Tag* t, uint32_t extra) {
  KidList* k = t->kids_;
  const uint32_t count = k ? k->count : 0;
  const uint64_t needed = uint64_t{count} + extra;
  if (k && needed <= k->cap) return;
  if (needed > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
  uint64_t cap = k ? std::max<uint64_t>(needed, uint64_t{k->cap} * 2) : needed;
  cap = std::min<uint64_t>(cap, std::numeric_limits<int32_t>::max());
  auto* grown = static_cast<KidList*>(t->arena_->Allocate(KidList::Bytes(static_cast<uint32_t>(cap))));
  grown->count = count;
  grown->cap = static_cast<uint32_t>(cap);
  if (k) {
    std::memcpy(grown->items(), k->items(), sizeof(Tag*) * count);
    t->arena_->Release(k, KidList::Bytes(k->cap));
  }
  t->kids_ = grown;
}

void Node::InsertKids(Tag* t, uint32_t at, Tag* const* in, uint32_t n) {
  if (n == 0) return;
  Reserve(t, n);
  KidList* k = t->kids_;
  Tag** items = k->items();
  std::memmove(items + at + n, items + at, sizeof(Tag*) * (k->count - at));
  for (uint32_t i = 0; i < n; ++i) {
    Tag* c = in[i];
    c->parent_ = t;
    ++c->refs_;
    items[at + i] = c;
  }
  k->count += n;
  Renumber(t, at);
}

void Node::TakeKids(Tag* t, uint32_t first, uint32_t last, Tag** out) {
  KidList* k = t->kids_;
  Tag** items = k->items();
  for (uint32_t i = first; i < last; ++i) {
    items[i]->parent_ = nullptr;
    out[i - first] = items[i];
  }
  std::memmove(items + first, items + last, sizeof(Tag*) * (k->count - last));
  k->count -= last - first;
  Renumber(t, first);
}

void Node::SetKids(Tag* t, Tag* const* in, uint32_t n) {
  auto* k = static_cast<KidList*>(t->arena_->Allocate(KidList::Bytes(n)));
  k->count = n;
  k->cap = n;
  Tag** items = k->items();
  for (uint32_t i = 0; i < n; ++i) {
    Tag* c = in[i];
    c->parent_ = t;
    c->index_ = static_cast<int32_t>(i);
    ++c->refs_;
    items[i] = c;
  }
  t->kids_ = k;
}

// ---------------------------------------------------------------------------
// Identifier and parameters

AttrList* Node::NewAttrs(Arena* arena, uint32_t cap) {
  auto* a = static_cast<AttrList*>(arena->Allocate(AttrList::Bytes(cap)));
  a->count = 0;
  a->cap = cap;
  a->id = "";
  a->id_size = 0;
  a->id_edited = 0;
  a->sharers = 0;
  return a;
}

void Node::FreeAttrs(Arena* arena, AttrList* a) {
  if (a->sharers > 0) {
    --a->sharers;
    return;
  }
  const Param* p = a->items();
  for (uint32_t i = 0; i < a->count; ++i) {
    if (p[i].edited()) arena->Unstore(p[i].value, p[i].size);
  }
  if (a->id_edited) arena->Unstore(a->id, a->id_size);
  arena->Release(a, AttrList::Bytes(a->cap));
}

namespace {

// A copy of `s` (identifier and parameters) for a tag of `into`, with room
// for `extra` more parameters; names are translated from `from`'s.
AttrList* CopyAttrs(const AttrList* s, Arena* into, const Arena* from, uint32_t extra = 0) {
  const uint64_t cap = uint64_t{s->count} + extra;
  if (cap > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
  AttrList* a = Node::NewAttrs(into, static_cast<uint32_t>(cap));
  const Param* sp = s->items();
  Param* dp = a->items();
  if (into == from) {
    std::memcpy(dp, sp, sizeof(Param) * s->count);
  } else {
    for (uint32_t i = 0; i < s->count; ++i) {
      dp[i] = sp[i];
      dp[i].bits = (sp[i].bits & ~kNameMask) | into->Translate(*from, sp[i].name());
    }
  }
  // Edited texts belong to one list each: the copy gets its own. Until it
  // has, its entries are counted as not edited, so that a failure frees
  // only what the copy owns.
  for (uint32_t i = 0; i < s->count; ++i) dp[i].bits &= ~Param::kEdited;
  a->count = s->count;
  try {
    for (uint32_t i = 0; i < s->count; ++i) {
      if (!sp[i].edited()) continue;
      dp[i].value = into->Store(sp[i].view());
      dp[i].bits |= Param::kEdited;
    }
    a->id = s->id;
    a->id_size = s->id_size;
    if (s->id_edited) {
      a->id = into->Store(s->id_view());
      a->id_edited = 1;
    }
  } catch (...) {
    Node::FreeAttrs(into, a);
    throw;
  }
  return a;
}

// A list of `t` with room for `extra` more parameters, its own.
AttrList* RoomForParams(Tag* t, uint32_t extra) {
  AttrList* a = Node::OwnAttrs(t);
  Arena* arena = Node::arena(t);
  const uint32_t count = a ? a->count : 0;
  const uint64_t needed = uint64_t{count} + extra;
  if (a && needed <= a->cap) return a;
  if (needed > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
  const uint64_t cap = a ? std::max<uint64_t>(needed, uint64_t{a->cap} * 2) : std::max<uint64_t>(needed, 1);
  AttrList* grown = Node::NewAttrs(arena, static_cast<uint32_t>(cap));
  if (a) {
    grown->count = a->count;
    grown->id = a->id;
    grown->id_size = a->id_size;
    grown->id_edited = a->id_edited;
    std::memcpy(grown->items(), a->items(), sizeof(Param) * a->count);
    arena->Release(a, AttrList::Bytes(a->cap));
  }
  Node::set_attrs(t, grown);
  return grown;
}

uint32_t SizeOf(std::string_view text) {
  if (text.size() > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  return static_cast<uint32_t>(text.size());
}

// An owned copy of `value` under `name`.
Param Owned(Arena* arena, NameId name, std::string_view value) {
  const uint32_t size = SizeOf(value);
  Param p;
  p.value = arena->Store(value);
  p.size = size;
  p.bits = name | (size ? Param::kEdited : 0) |
           (std::memchr(value.data(), '"', value.size()) ? Param::kQuote : 0);
  return p;
}

}  // namespace

void Node::Expand(Tag* t) {
  if (!compact(t)) return;
  const Param p = CompactParam(t);
  AttrList* a = NewAttrs(t->arena_, 1);
  a->items()[0] = p;
  a->count = 1;
  t->flags_ &= ~(Tag::kCompactText | Tag::kTextEdited | Tag::kTextQuote);
  t->attrs_ = a;
}

void Node::DropAttrs(Tag* t) {
  if (compact(t)) {
    if (t->flags_ & Tag::kTextEdited) t->arena_->Unstore(t->text_, text_size(t));
    t->flags_ &= ~(Tag::kCompactText | Tag::kTextEdited | Tag::kTextQuote);
  } else if (t->attrs_) {
    FreeAttrs(t->arena_, t->attrs_);
  }
  t->attrs_ = nullptr;
}

AttrList* Node::OwnAttrs(Tag* t) {
  Expand(t);
  AttrList* a = t->attrs_;
  if (a == nullptr || a->sharers == 0) return a;
  AttrList* own = CopyAttrs(a, t->arena_, t->arena_);
  --a->sharers;
  t->attrs_ = own;
  return own;
}

void Node::SetParam(Tag* t, NameId name, std::string_view value) {
  Arena* arena = t->arena_;
  if (name == names::kValue && SetCompactValue(t, value)) return;
  if (!compact(t) && !t->attrs_ && name == names::kValue && value.size() <= kMaxCompactText) {
    // A first VALUE and nothing else: kept in the tag.
    SetCompact(t, Owned(arena, name, value));
    if (StartsWithMarkupDirective(value)) t->flags_ |= Tag::kNoIndent;
    return;
  }
  Expand(t);
  if (const AttrList* shared = t->attrs_) {
    const Param* p = shared->items();
    for (uint32_t i = 0; i < shared->count; ++i) {
      if (p[i].name() != name) continue;
      Param fresh = Owned(arena, name, value);
      AttrList* a;
      try {
        a = OwnAttrs(t);
      } catch (...) {
        arena->Unstore(fresh.value, fresh.size);
        throw;
      }
      Param& old = a->items()[i];
      if (old.edited()) arena->Unstore(old.value, old.size);
      old = fresh;
      return;
    }
  }
  Param fresh = Owned(arena, name, value);
  AttrList* a;
  try {
    a = RoomForParams(t, 1);
  } catch (...) {
    arena->Unstore(fresh.value, fresh.size);
    throw;
  }
  a->items()[a->count++] = fresh;
  if (StartsWithMarkupDirective(value)) t->flags_ |= Tag::kNoIndent;
}

void Node::RemoveParam(Tag* t, NameId name) {
  if (FindParam(t, name) < 0) return;
  if (compact(t)) return DropAttrs(t);
  AttrList* a = OwnAttrs(t);
  Param* p = a->items();
  for (uint32_t i = 0; i < a->count; ++i) {
    if (p[i].name() != name) continue;
    if (p[i].edited()) t->arena_->Unstore(p[i].value, p[i].size);
    std::memmove(p + i, p + i + 1, sizeof(Param) * (a->count - i - 1));
    --a->count;
    return;
  }
}

void Node::ClearParams(Tag* t) {
  if (ParamCount(t) == 0) return;
  if (compact(t)) return DropAttrs(t);
  AttrList* a = OwnAttrs(t);
  const Param* p = a->items();
  for (uint32_t i = 0; i < a->count; ++i) {
    if (p[i].edited()) t->arena_->Unstore(p[i].value, p[i].size);
  }
  a->count = 0;
}

void Node::SetId(Tag* t, std::string_view id) {
  if (Id(t) == id) return;
  const uint32_t size = SizeOf(id);
  const char* stored = t->arena_->Store(id);
  AttrList* a;
  try {
    a = RoomForParams(t, 0);
  } catch (...) {
    t->arena_->Unstore(stored, size);
    throw;
  }
  if (a->id_edited) t->arena_->Unstore(a->id, a->id_size);
  a->id = stored;
  a->id_size = size;
  a->id_edited = size != 0;
}

// ---------------------------------------------------------------------------
// Names and layout

void Node::Init(Tag* t, const Tag* parent, NameId name) {
  uint8_t f = t->flags_ & ~kLayout;
  if (parent == nullptr) {
    f |= kBreakBeforeEnd;
  } else {
    if (parent->flags_ & kBreakBeforeEnd) f |= kBreakBefore | kBreakBeforeEnd;
    if (info(parent).flags & NameInfo::kKeepsLayout) f |= kNoIndent;
  }
  t->flags_ = f;
  t->name_ = name;
  ApplyName(t);
}

void Node::ApplyName(Tag* t) {
  const uint8_t n = info(t).flags;
  uint8_t f = t->flags_;
  f = (n & NameInfo::kEmptyElement) ? (f & ~kHasEndTag) : (f | kHasEndTag);
  // Inline elements stay on their line.
  if (n & NameInfo::kInlineEnd) f &= ~kBreakBeforeEnd;
  if (n & NameInfo::kInlineStart) f &= ~kBreakBefore;
  t->flags_ = f;
}

bool Node::IsTextBlockByName(const Tag* t) {
  const Document* doc = t->arena_->document();
  if (doc == nullptr) return t->name_ == names::kTextBlock;
  return info(t).text == doc->DummyTagName();
}

// ---------------------------------------------------------------------------
// Copies

namespace {

// `s` for a copy in `into`: the same list while the copy stays in the
// same arena and unchanged.
AttrList* ShareAttrs(AttrList* s, Arena* into, const Arena* from) {
  if (into == from && s->sharers < AttrList::kMaxSharers) {
    ++s->sharers;
    return s;
  }
  return CopyAttrs(s, into, from);
}

}  // namespace

// `t` (with no attributes yet) gets those of `s`: the same list or the
// same compact text (its own copy of edited bytes).
void Node::CopyAttrsOf(Tag* t, const Tag* s) {
  if (compact(s)) {
    Param p = CompactParam(s);
    if (p.edited()) p.value = t->arena_->Store(p.view());
    SetCompact(t, p);
  } else if (AttrList* a = s->attrs_) {
    t->attrs_ = ShareAttrs(a, t->arena_, s->arena_);
  }
}

namespace {

// Appends the parameters of `s` to `t`'s list.
void AppendParams(Tag* t, const Tag* s) {
  const uint32_t n = Node::ParamCount(s);
  if (n == 0) return;
  Arena* into = Node::arena(t);
  const Arena* from = Node::arena(s);
  AttrList* a = RoomForParams(t, n);
  for (uint32_t i = 0; i < n; ++i) {
    Param p = Node::ParamAt(s, i);
    p.bits = (p.bits & ~kNameMask) | into->Translate(*from, p.name());
    if (p.edited()) p.value = into->Store(p.view());
    a->items()[a->count++] = p;
  }
}

}  // namespace

void Node::CopyContent(Tag* target, const Tag* source) {
  Arena* into = target->arena_;
  const Arena* from = source->arena_;
  into->KeepSourcesOf(*from);
  AppendParams(target, source);
  CopyKids(target, source);
}

void Node::CopyKids(Tag* target, const Tag* source) {
  Arena* into = target->arena_;
  const Arena* from = source->arena_;
  // Depth-first with an explicit stack: the subtree may be nested deeper
  // than the call stack could follow. Each child copy is made whole (name,
  // attributes, place) when its parent is done; its own children follow.
  struct Work {
    Tag* copy;
    const Tag* source;
  };
  WorkStack<Work, 64> work;
  work.push({target, source});
  while (!work.empty()) {
    auto [t, s] = work.pop();
    if (const KidList* sk = s->kids_; sk && sk->count > 0) {
      KidList* k = t->kids_;
      if (k == nullptr) {
        // A fresh copy: its list at the exact size.
        k = static_cast<KidList*>(into->Allocate(KidList::Bytes(sk->count)));
        k->count = 0;
        k->cap = sk->count;
        t->kids_ = k;
      } else {
        Reserve(t, sk->count);
        k = t->kids_;
      }
      for (uint32_t i = 0; i < sk->count; ++i) {
        const Tag* from_kid = sk->items()[i];
        Tag* copy = Make(into, into->Translate(*from, from_kid->name_));
        copy->flags_ = from_kid->flags_ & kLayout;
        try {
          CopyAttrsOf(copy, from_kid);
        } catch (...) {
          Free(copy);
          throw;
        }
        copy->parent_ = t;
        copy->refs_ = 1;
        copy->index_ = static_cast<int32_t>(k->count);
        k->items()[k->count++] = copy;
        work.push({copy, from_kid});
      }
    }
    t->flags_ = (t->flags_ & ~kLayout) | (s->flags_ & kLayout);
  }
}

Tag* Node::Copy(const Tag* source, Arena* into) {
  const Arena* from = source->arena_;
  Tag* copy = Make(into, into->Translate(*from, source->name_));
  try {
    into->KeepSourcesOf(*from);
    CopyAttrsOf(copy, source);
    CopyKids(copy, source);
  } catch (...) {
    Free(copy);
    throw;
  }
  return copy;
}

// ---------------------------------------------------------------------------
// Tags

Tag* Tags::self() { return static_cast<Tag*>(this); }
const Tag* Tags::self() const { return static_cast<const Tag*>(this); }

Ref<Tag> Tags::Owner() const { return Ref<Tag>(const_cast<Tag*>(self())); }

Document* Tags::document() const { return self()->document(); }

int32_t Tags::Count() const { return static_cast<int32_t>(Node::KidCount(self())); }

Ref<Tag> Tags::Item(int32_t index) const { return Ref<Tag>(Node::At(self(), index)); }

std::string Tags::Name(int32_t index) const {
  const Tag* t = Node::At(self(), index);
  return t ? std::string(Node::Id(t)) : std::string();
}

void Tags::SetName(int32_t index, std::string_view name) {
  if (Tag* t = Node::At(self(), index)) Node::SetId(t, name);
}

int32_t Tags::IndexOf(const Tag* tag) const {
  if (tag != nullptr && Node::parent(tag) == self()) return Node::index(tag);
  return -1;
}

int32_t Tags::FindKey(std::string_view key) const {
  const Tag* owner = self();
  const uint32_t n = Node::KidCount(owner);
  for (uint32_t i = 0; i < n; ++i) {
    if (Node::Id(Node::Kid(owner, i)) == key) return static_cast<int32_t>(i);
  }
  const platform::CodePage& cp = CodePageOf(document());
  for (uint32_t i = 0; i < n; ++i) {
    if (EqualsIgnoreCase(cp, Node::GetParam(Node::Kid(owner, i), names::kName), key)) {
      return static_cast<int32_t>(i);
    }
  }
  const NameId name = Node::arena(owner)->FindName(Upper(cp, key));
  if (name == kNoName) return -1;
  for (uint32_t i = 0; i < n; ++i) {
    if (Node::name(Node::Kid(owner, i)) == name) return static_cast<int32_t>(i);
  }
  return -1;
}

Ref<Tag> Tags::Add(std::string_view id, std::string_view name) {
  return InsertAt(Count(), id, name);
}

Ref<Tag> Tags::InsertAt(int32_t index, std::string_view id, std::string_view name) {
  if (index < 0 || index > Count()) return nullptr;
  Tag* owner = self();
  Arena* arena = Node::arena(owner);
  const NameId upper = arena->Intern(Upper(CodePageOf(document()), name));
  Ref<Tag> tag(Node::Make(arena, upper));
  Node::Init(tag.get(), owner, upper);
  Node::SetId(tag.get(), id);
  Tag* raw = tag.get();
  Node::InsertKids(owner, static_cast<uint32_t>(index), &raw, 1);
  return tag;
}

namespace {

void NoteDetach(const Tag* owner) {
  if (Document* doc = owner->document()) Search::NoteDetach(doc);
}

}  // namespace

void Tags::RemoveAt(int32_t index) {
  Tag* owner = self();
  if (index < 0 || index >= Count()) return;
  NoteDetach(owner);
  Tag* gone;
  Node::TakeKids(owner, static_cast<uint32_t>(index), static_cast<uint32_t>(index) + 1, &gone);
  // Released last, after the list is consistent again.
  Node::Drop(gone);
}

void Tags::RemoveAll() {
  Tag* owner = self();
  const uint32_t n = Node::KidCount(owner);
  if (n == 0) return;
  NoteDetach(owner);
  // Released one by one from the end, each after the list lost it, so
  // that a tag freed along the way never sees a half-emptied list.
  KidList* k = Node::kids(owner);
  while (k->count > 0) {
    Tag* gone = k->items()[k->count - 1];
    gone->parent_ = nullptr;
    --k->count;
    Node::Drop(gone);
  }
}

int32_t Tags::cursor() const { return Node::arena(self())->Cursor(self()); }

void Tags::set_cursor(int32_t cursor) { Node::arena(self())->SetCursor(self(), cursor); }

ChildIterator Tags::begin() const { return ChildIterator(self(), Item(0)); }

ChildIterator& ChildIterator::operator++() {
  if (!current_) return *this;
  const Tag* c = current_.get();
  // A tag the loop removed keeps its old position, where its follower
  // now stands.
  const int64_t next = Node::parent(c) == owner_ ? int64_t{Node::index(c)} + 1 : Node::index(c);
  current_ = Ref<Tag>(Node::At(owner_, next));
  return *this;
}

DescendantRange::iterator DescendantRange::begin() const {
  if (!scope_) return iterator();
  return iterator(scope_, Ref<Tag>(Node::At(scope_.get(), 0)));
}

DescendantRange::iterator& DescendantRange::iterator::operator++() {
  if (!current_) return *this;
  current_ = Ref<Tag>(Search::NextInScope(current_.get(), scope_.get()));
  return *this;
}

// ---------------------------------------------------------------------------
// Tag: links, names, parameters

Ref<Tag> Tag::Create() {
  Arena* arena = Arena::Create(nullptr);
  Tag* t;
  try {
    t = Node::Make(arena, names::kEmpty);
  } catch (...) {
    arena->Disown();
    throw;
  }
  t->flags_ = kBreakBefore | kBreakBeforeEnd;
  return Ref<Tag>(t);
}

Document* Tag::document() const { return arena_->document(); }

Ref<Tag> Tag::Parent() const { return Ref<Tag>(parent_); }

int32_t Tag::ChildCount() const { return static_cast<int32_t>(Node::KidCount(this)); }

Ref<Tag> Tag::NextSibling() const {
  return parent_ ? Ref<Tag>(Node::At(parent_, int64_t{index_} + 1)) : nullptr;
}

Ref<Tag> Tag::PreviousSibling() const {
  return parent_ ? Ref<Tag>(Node::At(parent_, int64_t{index_} - 1)) : nullptr;
}

const std::string& Tag::TagName() const { return Node::info(this).text; }

void Tag::SetTagName(std::string_view name) {
  name_ = arena_->Intern(Upper(CodePageOf(document()), name));
  Node::ApplyName(this);
}

std::string Tag::ID() const { return parent_ ? std::string(Node::Id(this)) : std::string(); }

void Tag::SetID(std::string_view id) {
  if (parent_) Node::SetId(this, id);
}

Ref<Tag> Tag::NextTag() const {
  if (!parent_ || int64_t{index_} + 1 >= Node::KidCount(parent_)) {
    throw Error(kMsgNoTagAtPosition);
  }
  return Ref<Tag>(Node::Kid(parent_, static_cast<uint32_t>(index_ + 1)));
}

Ref<Tag> Tag::PreviousTag() const {
  if (!parent_ || index_ < 1) throw Error(kMsgNoTagAtPosition);
  return Ref<Tag>(Node::Kid(parent_, static_cast<uint32_t>(index_ - 1)));
}

int32_t Tag::ParamCount() const { return static_cast<int32_t>(Node::ParamCount(this)); }

namespace {
const std::string kEmpty;
}  // namespace

const std::string& Tag::ParamName(int32_t index) const {
  if (index < 0 || index >= ParamCount()) return kEmpty;
  return arena_->Info(Node::ParamAt(this, static_cast<uint32_t>(index)).name()).text;
}

std::string Tag::ParamValue(int32_t index) const {
  if (index < 0 || index >= ParamCount()) return std::string();
  return std::string(Node::ParamAt(this, static_cast<uint32_t>(index)).view());
}

std::string Tag::GetParam(std::string_view name) const {
  const NameId id = arena_->FindName(name);
  return id == kNoName ? std::string() : std::string(Node::GetParam(this, id));
}

void Tag::SetParam(std::string_view name, std::string_view value) {
  Node::SetParam(this, arena_->Intern(name), value);
}

void Tag::RemoveParam(std::string_view name) {
  const NameId id = arena_->FindName(name);
  if (id != kNoName) Node::RemoveParam(this, id);
}

std::string Tag::Parameter(std::string_view name) const {
  return GetParam(Upper(CodePageOf(document()), name));
}

void Tag::SetParameter(std::string_view name, std::string_view value) {
  std::string upper = Upper(CodePageOf(document()), name);
  if (value.empty() && upper != "VALUE") {
    RemoveParam(upper);
  } else {
    SetParam(upper, value);
  }
}

void Tag::ResetParameters() { Node::ClearParams(this); }

// ---------------------------------------------------------------------------
// Text and value

bool Tag::IsTextBlock() const { return Node::IsTextBlock(this); }

namespace {

// The first direct child that is a text block, or null.
Tag* FirstTextBlock(const Tag* t) {
  const uint32_t n = Node::KidCount(t);
  for (uint32_t i = 0; i < n; ++i) {
    Tag* c = Node::Kid(t, i);
    if (Node::IsTextBlock(c)) return c;
  }
  return nullptr;
}

}  // namespace

std::string Tag::Text() const {
  if (IsTextBlock()) return std::string(Node::GetParam(this, names::kValue));
  if (const Tag* block = FirstTextBlock(this)) {
    return std::string(Node::GetParam(block, names::kValue));
  }
  return std::string();
}

namespace {

// SetText on a tag without a text block: one is added. Kept apart so that
// the usual call (a cell whose text block is there) stays small.
[[gnu::noinline]] void AddTextBlock(Tag* tag, std::string_view text) {
  const Document* doc = tag->document();
  Ref<Tag> block = tag->Children().Add("", doc ? doc->DummyTagName() : "TEXTBLOCK");
  Node::SetParam(block.get(), names::kValue, text);
}

}  // namespace

void Tag::SetText(std::string_view text) {
  if (IsTextBlock()) return Node::SetParam(this, names::kValue, text);
  if (Tag* block = FirstTextBlock(this)) {
    if (!Node::SetCompactValue(block, text)) Node::SetParam(block, names::kValue, text);
    return;
  }
  AddTextBlock(this, text);
}

namespace {

bool ValueIsOwnParameter(const Tag* tag) {
  const NameId n = Node::name(tag);
  return Node::IsTextBlock(tag) || n == names::kInput || n == names::kOption ||
         n == names::kParam;
}

}  // namespace

std::string Tag::Value() const {
  return ValueIsOwnParameter(this) ? std::string(Node::GetParam(this, names::kValue)) : Text();
}

void Tag::SetValue(std::string_view value) {
  if (ValueIsOwnParameter(this)) {
    Node::SetParam(this, names::kValue, value);
  } else {
    SetText(value);
  }
}

// ---------------------------------------------------------------------------
// Adding and removing

Ref<Tag> Tag::Add(std::string_view id, std::string_view name) { return Children().Add(id, name); }

namespace {

// The position of `key` among `tag`'s children; 10004 naming it when none
// answers to it.
int32_t PositionOfKey(Tag& tag, std::string_view key) {
  const int32_t position = tag.Children().FindKey(key);
  if (position == -1) {
    throw Error(kMsgBadIndex).WithIdentifier(CodePageOf(tag.document()).ToUtf16(key));
  }
  return position;
}

}  // namespace

Ref<Tag> Tag::InsertBefore(int32_t before, std::string_view id, std::string_view name) {
  if (before == -1) throw Error(kMsgBadIndex).WithIndex(before);
  return Children().InsertAt(before, id, name);
}

Ref<Tag> Tag::InsertAfter(int32_t after, std::string_view id, std::string_view name) {
  if (after == -1) throw Error(kMsgBadIndex).WithIndex(after);
  // Resolved positions outside the list, -2 + 1 included, give nothing.
  if (after == std::numeric_limits<int32_t>::max()) return nullptr;
  return Children().InsertAt(after + 1, id, name);
}

Ref<Tag> Tag::InsertBefore(std::string_view key, std::string_view id, std::string_view name) {
  return InsertBefore(PositionOfKey(*this, key), id, name);
}

Ref<Tag> Tag::InsertAfter(std::string_view key, std::string_view id, std::string_view name) {
  return InsertAfter(PositionOfKey(*this, key), id, name);
}

void Tag::Remove(int32_t target, int32_t count) {
  if (target == -1) throw Error(kMsgBadIndex).WithIndex(target);
  if (count <= 0 || !kids_) return;
  // Positions outside the list are skipped one by one, as removing each
  // position in turn would; only those inside go.
  const int64_t n = kids_->count;
  const int64_t first64 = std::max<int64_t>(target, 0);
  const int64_t last64 = std::min<int64_t>(static_cast<int64_t>(target) + count, n);
  if (first64 >= last64) return;
  NoteDetach(this);
  const auto first = static_cast<uint32_t>(first64);
  const auto last = static_cast<uint32_t>(last64);
  std::vector<Tag*> gone(last - first);
  Node::TakeKids(this, first, last, gone.data());
  // The last goes first, as the documented order says; the list is
  // consistent before any tag is released.
  for (size_t i = gone.size(); i-- > 0;) Node::Drop(gone[i]);
}

void Tag::Remove(std::string_view key, int32_t count) {
  Remove(PositionOfKey(*this, key), count);
}

void Tag::RemoveFromParent() {
  if (parent_) parent_->Children().RemoveAt(index_);  // may release this tag
}

void Tag::RemoveAll() { Children().RemoveAll(); }

// ---------------------------------------------------------------------------
// Copies

namespace {

// A subtree laid out once for many copies in its own arena: its tags in
// pre-order, each with the position of its parent, and the bytes one copy
// takes (tags and their children lists, each a whole size class). A copy
// is then one piece of the arena, the tags copied whole and their links
// set: no allocation per tag. The copies share the tags' attribute lists
// (copy on write) and texts (unedited slices only).
class Stamp {
 public:
  // False when `source` is not for stamping (another arena, an edited
  // compact text, attribute lists shared to their limit, a subtree too
  // big for one piece); Node::Copy then.
  bool Take(const Tag* source, const Arena* into, uint32_t copies) {
    if (Node::arena(source) != into) return false;
    constexpr size_t kMaxBytes = 256 * 1024;
    std::vector<std::pair<const Tag*, uint32_t>> stack{{source, kTop}};
    while (!stack.empty()) {
      auto [t, parent] = stack.back();
      stack.pop_back();
      if (Node::compact(t) && (Node::flags(t) & Node::kTextEdited)) return false;
      if (const AttrList* a = Node::attrs(t); a && a->sharers + uint64_t{copies} > AttrList::kMaxSharers) {
        return false;
      }
      const uint32_t kids = Node::KidCount(t);
      entries_.push_back(Entry{t, parent, kids});
      bytes_ += Arena::kTagBytes;
      if (kids > 0) {
        bytes_ += Arena::ClassSize(Arena::ClassOf(KidList::Bytes(kids)));
        if (std::find(list_sizes_.begin(), list_sizes_.end(), KidList::Bytes(kids)) == list_sizes_.end()) {
          list_sizes_.push_back(KidList::Bytes(kids));
        }
      }
      if (bytes_ > kMaxBytes) return false;
      const uint32_t self = static_cast<uint32_t>(entries_.size() - 1);
      for (uint32_t i = kids; i-- > 0;) stack.emplace_back(Node::Kid(t, i), self);
    }
    made_.resize(entries_.size());
    return true;
  }

  // One copy, held by nobody, with the source's identifier.
  Tag* Press(Arena* into) {
    // One piece when the arena has no freed pieces of these sizes to use
    // again; piece by piece otherwise, so that a document edited over and
    // over reuses what it freed.
    bool reuse = into->HasFree(Arena::kTagBytes);
    for (size_t size : list_sizes_) reuse = reuse || into->HasFree(size);
    if (reuse) first_ = nullptr;
    if (!reuse && first_ != nullptr) return Repeat(into);
    char* run = nullptr;
    if (!reuse) {
      run = static_cast<char*>(into->AllocateRun(bytes_, static_cast<uint32_t>(entries_.size())));
      first_ = run;
    } else {
      // Every piece taken first: a failure leaves nothing half made.
      pieces_.clear();
      try {
        for (const Entry& e : entries_) {
          pieces_.push_back(into->AllocateTag());
          if (e.kids > 0) pieces_.push_back(into->Allocate(KidList::Bytes(e.kids)));
        }
      } catch (...) {
        for (size_t i = 0, p = 0; p < pieces_.size(); ++i) {
          into->ReleaseTag(pieces_[p++]);
          if (p < pieces_.size() && entries_[i].kids > 0) into->Release(pieces_[p++], KidList::Bytes(entries_[i].kids));
        }
        throw;
      }
    }
    size_t piece = 0;
    auto next = [&](size_t size) -> char* {
      if (!reuse) {
        char* p = run;
        run += size;
        return p;
      }
      return static_cast<char*>(pieces_[piece++]);
    };
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      Tag* t = reinterpret_cast<Tag*>(next(Arena::kTagBytes));
      std::memcpy(static_cast<void*>(t), e.source, Arena::kTagBytes);
      Node::set_flags(t, Node::flags(t) & ~Node::kOwnMemory);
      if (AttrList* a = Node::attrs(t)) ++a->sharers;
      if (e.kids > 0) {
        auto* k = reinterpret_cast<KidList*>(next(Arena::ClassSize(Arena::ClassOf(KidList::Bytes(e.kids)))));
        k->count = 0;
        k->cap = e.kids;
        Node::set_kids(t, k);
      } else {
        Node::set_kids(t, nullptr);
      }
      if (e.parent == kTop) {
        Node::refs(t) = 0;
        Node::set_parent(t, nullptr, 0);
      } else {
        Tag* parent = made_[e.parent];
        KidList* siblings = Node::kids(parent);
        Node::refs(t) = 1;
        Node::set_parent(t, parent, siblings->count);
        siblings->items()[siblings->count++] = t;
      }
      made_[i] = t;
    }
    return made_[0];
  }

 private:
  // A copy in one piece after the first: that one's bytes, with the links
  // inside it moved to the new piece. One copy of memory and a few links
  // cost less than setting up each tag again, and a table of a thousand
  // rows makes a thousand copies.
  Tag* Repeat(Arena* into) {
    char* run =
        static_cast<char*>(into->AllocateRun(bytes_, static_cast<uint32_t>(entries_.size())));
    std::memcpy(run, first_, bytes_);
    const uintptr_t delta = reinterpret_cast<uintptr_t>(run) - reinterpret_cast<uintptr_t>(first_);
    auto moved = [delta]<class T>(T* p) {
      return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(p) + delta);
    };
    for (size_t i = 0; i < made_.size(); ++i) {
      Tag* t = moved(made_[i]);
      if (i != 0) {
        Node::set_parent(t, moved(Node::parent(t)), static_cast<uint32_t>(Node::index(t)));
      }
      if (KidList* k = Node::kids(t)) {
        k = moved(k);
        Node::set_kids(t, k);
        Tag** items = k->items();
        for (uint32_t j = 0; j < k->count; ++j) items[j] = moved(items[j]);
      }
      if (AttrList* a = Node::attrs(t)) ++a->sharers;
    }
    return reinterpret_cast<Tag*>(run);
  }

  static constexpr uint32_t kTop = 0xFFFFFFFFu;
  struct Entry {
    const Tag* source;
    uint32_t parent;  // its position here, kTop for the copy's top
    uint32_t kids;
  };
  std::vector<Entry> entries_;
  std::vector<size_t> list_sizes_;  // the children lists' sizes, each once
  std::vector<Tag*> made_;
  std::vector<void*> pieces_;
  size_t bytes_ = 0;
  // The first copy made in one piece, while made_ holds its tags.
  const char* first_ = nullptr;
};

// `count` copies of `source` made for `into`'s children, all made before
// any is placed. On failure those made are released.
class Copies {
 public:
  Copies(const Tag* source, Tag* into, int32_t count) {
    if (count <= 0) return;
    Arena* arena = Node::arena(into);
    copies_.reserve(static_cast<size_t>(count));
    Stamp stamp;
    const bool stamped = count > 1 && stamp.Take(source, arena, static_cast<uint32_t>(count));
    try {
      for (int32_t i = 0; i < count; ++i) {
        copies_.push_back(stamped ? stamp.Press(arena) : Node::Copy(source, arena));
      }
    } catch (...) {
      Release();
      throw;
    }
  }
  ~Copies() { Release(); }
  // Takes the copies in at `at` with the identifier `id`.
  void InsertInto(Tag* into, uint32_t at, std::string_view id) {
    if (copies_.empty()) return;
    Node::Reserve(into, static_cast<uint32_t>(copies_.size()));
    for (Tag* c : copies_) Node::SetId(c, id);
    Node::InsertKids(into, at, copies_.data(), static_cast<uint32_t>(copies_.size()));
    copies_.clear();
  }

 private:
  void Release() {
    for (Tag* c : copies_) Node::Free(c);
    copies_.clear();
  }
  std::vector<Tag*> copies_;
};

}  // namespace

void Tag::CopyBefore(TagArg target, int32_t count) {
  Tag* before = target.get();
  if (before == nullptr || before->parent_ == nullptr) throw Error(kMsgBadCopyTarget);
  Ref<Tag> hold(before);
  Tag* into = before->parent_;
  Copies copies(this, into, count);
  const std::string id = ID();
  copies.InsertInto(into, static_cast<uint32_t>(before->index_), id);
}

void Tag::CopyAfter(TagArg target, int32_t count) {
  Tag* after = target.get();
  if (after == nullptr || after->parent_ == nullptr) throw Error(kMsgBadCopyTarget);
  Ref<Tag> hold(after);
  Tag* into = after->parent_;
  Copies copies(this, into, count);
  const std::string id = ID();
  copies.InsertInto(into, static_cast<uint32_t>(after->index_) + 1, id);
}

void Tag::AddCopy(TagArg target, int32_t count) {
  Tag* under = target.get();
  if (under == nullptr) throw Error(kMsgBadCopyTarget);
  Ref<Tag> hold(under);
  Copies copies(this, under, count);
  const std::string id = ID();
  copies.InsertInto(under, Node::KidCount(under), id);
}

void Tag::Replace(TagArg replacement) {
  Tag* by = replacement.get();
  if (by == nullptr) throw Error(kMsgBadCopyTarget);
  if (by == this) return;
  // A snapshot first: `by` may hang below this tag, whose children are
  // about to go, or above it, where copying would meet its own output.
  Ref<Tag> snapshot(Node::Copy(by, arena_));
  const std::string id = by->ID();
  Node::ClearParams(this);
  RemoveAll();
  name_ = snapshot->name_;
  Node::ApplyName(this);
  SetID(id);
  // The snapshot's parameters are taken over, its children move whole.
  AppendParams(this, snapshot.get());
  if (snapshot->kids_) {
    if (kids_) arena_->Release(kids_, KidList::Bytes(kids_->cap));
    kids_ = std::exchange(snapshot->kids_, nullptr);
    for (uint32_t i = 0; i < kids_->count; ++i) kids_->items()[i]->parent_ = this;
  }
  flags_ = (flags_ & ~Node::kLayout) | (snapshot->flags_ & Node::kLayout);
}

Ref<Tag> Tag::DeepCopy() const { return Ref<Tag>(Node::Copy(this, arena_)); }

// ---------------------------------------------------------------------------
// Searches and forms

Ref<Tag> Tag::FindByID(std::string_view id) {
  return Search::Run(this, Search::Key{Search::kId, id, {}});
}

Ref<Tag> Tag::FindByTagName(std::string_view name) {
  return Search::Run(this, Search::Key{Search::kTagName, name, {}});
}

Ref<Tag> Tag::FindByParameter(std::string_view name, std::string_view value) {
  return Search::Run(this, Search::Key{Search::kParameter, name, value});
}

Ref<Tag> Tag::Get(std::string_view id) {
  Ref<Tag> found = FindByID(id);
  if (!found) {
    throw Error(kMsgBadIndex, CodePageOf(document()).ToUtf16(id)).AppendedAs(u"Identifier");
  }
  return found;
}

void Tag::SelectRadio(std::string_view radio_name, std::string_view value) {
  Search::ForEachBelow(this, [&](Tag* c) {
    if (Node::name(c) != names::kInput || Node::GetParam(c, names::kName) != radio_name) return;
    if (Node::GetParam(c, names::kValue) == value) {
      Node::SetParam(c, names::kChecked, "CHECKED");
    } else {
      Node::RemoveParam(c, names::kChecked);
    }
  });
}

void Tag::SelectOption(std::string_view value) {
  Search::ForEachBelow(this, [&](Tag* c) {
    if (Node::name(c) != names::kOption) return;
    if (Node::GetParam(c, names::kValue) == value) {
      Node::SetParam(c, names::kSelected, "SELECTED");
    } else {
      Node::RemoveParam(c, names::kSelected);
    }
  });
}

void Tag::Write() {
  if (Document* doc = document()) doc->WriteTag(this, 0, Form::kPage);
}

}  // namespace quillon::html

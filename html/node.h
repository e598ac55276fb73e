// The engine's raw access to tags: what the public door keeps behind
// counted handles. A Tag* here is valid while the caller holds the tag (or
// its tree) some other way; nothing in this header keeps one alive.
//
// Layout of a tag (48 bytes, in its arena): reference count, position,
// parent, arena, children list, attribute list (identifier and
// parameters), interned name and layout flags. A tag's children and
// attributes live in the same arena as the tag; a tree never spans arenas.
#ifndef QUILLON_HTML_NODE_H_
#define QUILLON_HTML_NODE_H_

#include <cstring>
#include <new>
#include <string_view>

#include "html/arena.h"
#include "html/names.h"
#include "quillon/html/tag.h"

namespace quillon::html {

struct Node {
  // --- Making and releasing ---
  // A new tag in `arena`, held by nobody yet (no references).
  static Tag* Make(Arena* arena, NameId name) {
    Tag* t = new (arena->AllocateTag()) Tag(arena);
    t->name_ = name;
    return t;
  }
  // A tag in memory of its own (a document's root), counted by `arena`.
  static Tag* MakeOwn(Arena* arena, NameId name);
  // Frees `t`, whose last reference went, and everything below it that
  // nobody else holds; those still held become tags without a place.
  static void Free(Tag* t);
  // Gives back the memory of a tag made by MakeOwn, and nothing else: its
  // lists go with its arena.
  static void DestroyOwn(Tag* t) {
    t->~Tag();
    ::operator delete(t);
  }
  // The holding collection lets `t` go.
  static void Drop(Tag* t) {
    if (--t->refs_ == 0) Free(t);
  }

  // --- Fields ---
  static uint32_t& refs(Tag* t) { return t->refs_; }
  static Arena* arena(const Tag* t) { return t->arena_; }
  static void set_arena(Tag* t, Arena* a) { t->arena_ = a; }
  static Tag* parent(const Tag* t) { return t->parent_; }
  static void set_parent(Tag* t, Tag* parent, uint32_t index) {
    t->parent_ = parent;
    t->index_ = static_cast<int32_t>(index);
  }
  static int32_t index(const Tag* t) { return t->index_; }
  static NameId name(const Tag* t) { return t->name_; }
  static void set_name(Tag* t, NameId name) { t->name_ = name; }
  static const NameInfo& info(const Tag* t) { return t->arena_->Info(t->name_); }
  static uint8_t flags(const Tag* t) { return t->flags_; }
  static void set_flags(Tag* t, uint8_t f) { t->flags_ = f; }
  static bool own_memory(const Tag* t) { return (t->flags_ & Tag::kOwnMemory) != 0; }
  static constexpr uint8_t kHasEndTag = Tag::kHasEndTag;
  static constexpr uint8_t kNoIndent = Tag::kNoIndent;
  static constexpr uint8_t kBreakBefore = Tag::kBreakBefore;
  static constexpr uint8_t kBreakBeforeEnd = Tag::kBreakBeforeEnd;
  static constexpr uint8_t kLayout = kHasEndTag | kNoIndent | kBreakBefore | kBreakBeforeEnd;
  static constexpr uint8_t kOwnMemory = Tag::kOwnMemory;
  static constexpr uint8_t kTextEdited = Tag::kTextEdited;

  // --- Children ---
  static KidList* kids(const Tag* t) { return t->kids_; }
  static void set_kids(Tag* t, KidList* k) { t->kids_ = k; }
  static uint32_t KidCount(const Tag* t) { return t->kids_ ? t->kids_->count : 0; }
  static Tag* Kid(const Tag* t, uint32_t i) { return t->kids_->items()[i]; }
  static Tag* At(const Tag* t, int64_t i) {
    return i >= 0 && i < KidCount(t) ? Kid(t, static_cast<uint32_t>(i)) : nullptr;
  }
  // Room for `extra` more children.
  static void Reserve(Tag* t, uint32_t extra);
  // Takes the new tags `in[0..n)` (held by nobody) in at position `at`.
  static void InsertKids(Tag* t, uint32_t at, Tag* const* in, uint32_t n);
  // Takes the children at [first, last) out of the list, clearing their
  // place; the collection's references move to `out` (in list order). The
  // caller drops them.
  static void TakeKids(Tag* t, uint32_t first, uint32_t last, Tag** out);
  static void Renumber(Tag* t, uint32_t from) {
    Tag* const* items = t->kids_->items();
    for (uint32_t i = from; i < t->kids_->count; ++i) items[i]->index_ = static_cast<int32_t>(i);
  }
  // Sets a list built aside (the parser's) as `t`'s children: exactly
  // `n` tags, all without a place yet.
  static void SetKids(Tag* t, Tag* const* in, uint32_t n);

  // --- Identifier and parameters ---
  // A tag whose only attribute is VALUE (no identifier) may keep that
  // value in itself (a compact text): no list for the text block of every
  // line of a template. The accessors below see both forms alike; only
  // attrs() and the list functions need the list form (Expand).
  static constexpr uint32_t kMaxCompactText = (1u << 24) - 1;
  static bool compact(const Tag* t) { return (t->flags_ & Tag::kCompactText) != 0; }
  static uint32_t text_size(const Tag* t) {
    return t->text_size_[0] | (uint32_t{t->text_size_[1]} << 8) | (uint32_t{t->text_size_[2]} << 16);
  }
  static Param CompactParam(const Tag* t) {
    Param p;
    p.value = t->text_;
    p.size = text_size(t);
    p.bits = names::kValue | ((t->flags_ & Tag::kTextEdited) ? Param::kEdited : 0) |
             ((t->flags_ & Tag::kTextQuote) ? Param::kQuote : 0);
    return p;
  }
  // Makes `t`, which has no attributes, a compact text holding `p` (a
  // VALUE whose bytes, edited or not, `t` now owns); false when it is too
  // long for that (nothing changed).
  static bool SetCompact(Tag* t, const Param& p) {
    if (p.size > kMaxCompactText) return false;
    t->text_ = p.value;
    t->text_size_[0] = static_cast<uint8_t>(p.size);
    t->text_size_[1] = static_cast<uint8_t>(p.size >> 8);
    t->text_size_[2] = static_cast<uint8_t>(p.size >> 16);
    uint8_t f = (t->flags_ & ~(Tag::kTextEdited | Tag::kTextQuote)) | Tag::kCompactText;
    if (p.edited()) f |= Tag::kTextEdited;
    if (p.has_quote()) f |= Tag::kTextQuote;
    t->flags_ = f;
    return true;
  }
  // A compact text's new VALUE, as SetParam sets it; false (nothing done)
  // when `t` is not one or `value` is too long for one. Inline: filling a
  // table's cells is mostly this.
  static bool SetCompactValue(Tag* t, std::string_view value) {
    if (!compact(t) || value.size() > kMaxCompactText) return false;
    Arena* arena = t->arena_;
    // Whether the text holds a quote is looked at only if it is ever
    // written as a parameter.
    Param fresh;
    fresh.value = arena->Store(value);
    fresh.size = static_cast<uint32_t>(value.size());
    fresh.bits = names::kValue | Param::kQuote | (value.empty() ? 0 : Param::kEdited);
    if (t->flags_ & Tag::kTextEdited) arena->Unstore(t->text_, text_size(t));
    SetCompact(t, fresh);
    return true;
  }
  // The list form of a compact text (its value moved into the list).
  static void Expand(Tag* t);

  static AttrList* attrs(const Tag* t) { return compact(t) ? nullptr : t->attrs_; }
  static uint32_t ParamCount(const Tag* t) {
    return compact(t) ? 1 : t->attrs_ ? t->attrs_->count : 0;
  }
  static Param ParamAt(const Tag* t, uint32_t i) {
    return compact(t) ? CompactParam(t) : t->attrs_->items()[i];
  }
  static std::string_view Id(const Tag* t) {
    return !compact(t) && t->attrs_ ? t->attrs_->id_view() : std::string_view();
  }
  // The position of parameter `name`, or -1.
  static int64_t FindParam(const Tag* t, NameId name) {
    if (compact(t)) return name == names::kValue ? 0 : -1;
    if (!t->attrs_) return -1;
    const Param* p = t->attrs_->items();
    for (uint32_t i = 0, n = t->attrs_->count; i < n; ++i) {
      if (p[i].name() == name) return i;
    }
    return -1;
  }
  static std::string_view GetParam(const Tag* t, NameId name) {
    if (compact(t)) {
      return name == names::kValue ? std::string_view(t->text_, text_size(t)) : std::string_view();
    }
    const int64_t i = FindParam(t, name);
    return i < 0 ? std::string_view() : t->attrs_->items()[i].view();
  }
  // Sets the value (a copy the arena owns), in place or appended; a new
  // parameter whose value starts like a directive turns NoIndent on.
  static void SetParam(Tag* t, NameId name, std::string_view value);
  static void RemoveParam(Tag* t, NameId name);
  static void ClearParams(Tag* t);
  // Every attribute (identifier included) given back; none left.
  static void DropAttrs(Tag* t);
  // An owned copy of `id`, or none for "".
  static void SetId(Tag* t, std::string_view id);
  // `t` lets go of its attributes without giving their memory back (it
  // goes with the arena, which is about to start over).
  static void AbandonAttrs(Tag* t) {
    t->flags_ &= ~(Tag::kCompactText | Tag::kTextEdited | Tag::kTextQuote);
    t->attrs_ = nullptr;
  }
  // The parser's attribute list, already built in the arena (`t` has none).
  static void set_attrs(Tag* t, AttrList* a) { t->attrs_ = a; }
  static AttrList* NewAttrs(Arena* arena, uint32_t cap);
  // Lets one tag go of `a` (freed when no other tag shares it).
  static void FreeAttrs(Arena* arena, AttrList* a);
  // `t`'s list made its own (a copy when shared, the list form of a
  // compact text) for a change; null when it has none.
  static AttrList* OwnAttrs(Tag* t);

  // --- Names and layout ---
  // The layout a tag made inside a tree starts with (below `parent`, or
  // as a top tag without one), then the flags its name decides.
  static void Init(Tag* t, const Tag* parent, NameId name);
  static void ApplyName(Tag* t);
  static bool IsTextBlock(const Tag* t) {
    const Arena* a = t->arena_;
    if (a->text_block_known()) return t->name_ == a->text_block();
    return IsTextBlockByName(t);
  }
  static bool IsTextBlockByName(const Tag* t);

  // --- Copies ---
  // A copy of `source` and its subtree in `into`, held by nobody, with
  // the source's identifier.
  static Tag* Copy(const Tag* source, Arena* into);
  // Appends the parameters, copies of the children and the flags of
  // `source` to `target` (no merging).
  static void CopyContent(Tag* target, const Tag* source);
  // The copies of the children and the flags only.
  static void CopyKids(Tag* target, const Tag* source);
  // `target` (with no attributes yet) gets those of `source`.
  static void CopyAttrsOf(Tag* target, const Tag* source);
};

inline bool StartsWithMarkupDirective(std::string_view v) {
  return v.size() >= 2 && v[0] == '<' && (v[1] == '!' || v[1] == '?' || v[1] == '%');
}

}  // namespace quillon::html

#endif  // QUILLON_HTML_NODE_H_

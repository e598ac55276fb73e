// The tag tree of a page template: HtmlTag nodes and the HtmlTags
// collections that hold them, as plain C++ classes. The automation classes
// HtmlTag and HtmlTags wrap these; both doors reach the same behaviour.
//
// Texts are bytes in the code page of the tag's document (the process code
// page for a tag without a document). Tag and parameter names are stored
// upper-case; identifiers, parameter values and texts keep their bytes.
//
// Handles: every tag a call hands out is a Ref<Tag>, a counted reference
// that keeps the tag alive, also after it left its tree or its document is
// gone. The collection that holds a tag owns one reference; removing the tag
// from it clears the tag's place (Parent() is then null, Index() is -1,
// NextTag() and PreviousTag() fail with 10013) but leaves its own children
// with it. A Tags& or Tag& (from Children(), a range or Get's target) is
// valid while its tag is: keep a Ref to the tag while using one. Releasing
// a tree of any depth takes constant stack.
//
// Searches that may find nothing (Find*, Item, NextSibling) return a null
// Ref and are [[nodiscard]]; Get(id) returns a tag or throws, so a chain of
// calls never dereferences null.
//
// Errors: numbered failures throw quillon::Error (10004, 10012, 10013);
// exhausted memory throws std::bad_alloc.
//
// Threading: none; a tree is used by one thread at a time.
#ifndef QUILLON_HTML_TAG_H_
#define QUILLON_HTML_TAG_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <ranges>
#include <string>
#include <string_view>

#include "quillon/component/types.h"
#include "quillon/html/ref.h"

namespace quillon::html {

class Arena;
class Document;
class Tag;
struct AttrList;
struct KidList;

QUILLON_EXPORT void IntrusiveAddRef(Tag* tag);
QUILLON_EXPORT void IntrusiveRelease(Tag* tag);

// A tag handed to an operation (a copy's target, a replacement): a Ref, a
// Tag& or Tag* the caller holds, or nullptr. It holds nothing itself.
class TagArg {
 public:
  TagArg(std::nullptr_t) {}                    // NOLINT(google-explicit-constructor)
  TagArg(Tag* tag) : tag_(tag) {}              // NOLINT(google-explicit-constructor)
  TagArg(Tag& tag) : tag_(&tag) {}             // NOLINT(google-explicit-constructor)
  TagArg(const Ref<Tag>& tag) : tag_(tag.get()) {}  // NOLINT(google-explicit-constructor)
  Tag* get() const { return tag_; }

 private:
  Tag* tag_ = nullptr;
};

// What the walks over tags share: the tag a walk stands on (held), read
// as a Tag&, and the end reached when there is none.
template <class Walk>
class TagCursor {
 public:
  using value_type = Tag;
  using reference = Tag&;
  using difference_type = std::ptrdiff_t;
  using iterator_concept = std::forward_iterator_tag;
  using iterator_category = std::forward_iterator_tag;

  Tag& operator*() const { return *current_; }
  Tag* operator->() const { return current_.get(); }
  Walk operator++(int) {
    Walk before = static_cast<Walk&>(*this);
    ++static_cast<Walk&>(*this);
    return before;
  }
  friend bool operator==(const Walk& a, const Walk& b) { return a.current_ == b.current_; }
  friend bool operator==(const Walk& a, std::default_sentinel_t) { return !a.current_; }

 protected:
  TagCursor() = default;
  explicit TagCursor(Ref<Tag> current) : current_(std::move(current)) {}
  Ref<Tag> current_;
};

// Walks a tag's children in order. It holds the tag it stands on, so the
// body of a loop may remove that tag: the walk goes on with the child that
// took its place. Children inserted after the current one are visited.
class QUILLON_EXPORT ChildIterator : public TagCursor<ChildIterator> {
 public:
  ChildIterator() = default;
  ChildIterator& operator++();
  using TagCursor::operator++;

 private:
  friend class Tags;
  ChildIterator(const Tag* owner, Ref<Tag> first) : TagCursor(std::move(first)), owner_(owner) {}
  const Tag* owner_ = nullptr;
};

// Every tag below one tag, in document order (pre-order: a tag before its
// descendants), the tag itself not included. A view: it composes with
// std::views. The walk holds the tag it stands on and the tag it started
// from; a tag removed while the walk stands on it ends the walk there.
class QUILLON_EXPORT DescendantRange : public std::ranges::view_base {
 public:
  class QUILLON_EXPORT iterator : public TagCursor<iterator> {
   public:
    iterator() = default;
    iterator& operator++();
    using TagCursor::operator++;

   private:
    friend class DescendantRange;
    iterator(Ref<Tag> scope, Ref<Tag> first) : TagCursor(std::move(first)), scope_(std::move(scope)) {}
    Ref<Tag> scope_;
  };

  DescendantRange() = default;
  explicit DescendantRange(Ref<Tag> scope) : scope_(std::move(scope)) {}
  iterator begin() const;
  std::default_sentinel_t end() const { return {}; }

 private:
  Ref<Tag> scope_;
};

// The children of one tag: an ordered list whose entries carry the tags'
// identifiers (empty for none). Every tag is the collection of its own
// children (Tag::Children()); the collection lives as long as its tag.
class QUILLON_EXPORT Tags {
 public:
  Tags(const Tags&) = delete;
  Tags& operator=(const Tags&) = delete;

  // The tag whose children these are.
  Ref<Tag> Owner() const;
  // The document of the owner; null for a tree without one (or whose
  // document is gone).
  Document* document() const;

  int32_t Count() const;
  // The tag at `index`, or null when out of range.
  [[nodiscard]] Ref<Tag> Item(int32_t index) const;
  // The identifier of the entry at `index`; "" when out of range.
  std::string Name(int32_t index) const;
  void SetName(int32_t index, std::string_view name);
  // The index of `tag` in this list, or -1.
  int32_t IndexOf(const Tag* tag) const;

  // Resolves a string key: the first entry whose identifier equals `key`
  // exactly, else the first child whose NAME parameter equals it ignoring
  // case, else the first child named `key` upper-cased; -1 for none.
  int32_t FindKey(std::string_view key) const;

  // Appends a new tag (its flags set up as a child of the owner).
  Ref<Tag> Add(std::string_view id, std::string_view name);
  // Inserts a new tag at `index`; null (and no change) when `index` lies
  // outside 0..Count().
  Ref<Tag> InsertAt(int32_t index, std::string_view id, std::string_view name);
  void RemoveAt(int32_t index);
  void RemoveAll();

  // The enumeration cursor that every enumeration of this list shares.
  int32_t cursor() const;
  void set_cursor(int32_t cursor);

  // for (Tag& child : tag->Children()) ...
  ChildIterator begin() const;
  std::default_sentinel_t end() const { return {}; }

 private:
  friend class Tag;
  Tags() = default;
  ~Tags() = default;
  Tag* self();
  const Tag* self() const;
};

class QUILLON_EXPORT Tag : private Tags {
 public:
  // A stand-alone tag: empty name, no document, no collection, flags
  // HasEndTag and NoIndent off, BreakBefore and BreakBeforeEnd on.
  static Ref<Tag> Create();

  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;

  // --- Links ---
  Document* document() const;
  // The owner tag of the holding collection; null for the root, a
  // stand-alone or a removed tag.
  [[nodiscard]] Ref<Tag> Parent() const;
  // The children (also a range of Tag&).
  Tags& Children() { return *this; }
  const Tags& Children() const { return *this; }
  int32_t ChildCount() const;
  // Everything below this tag in document order, as a view.
  DescendantRange Descendants() const { return DescendantRange(Ref<Tag>(const_cast<Tag*>(this))); }
  // The neighbours in the holding collection; null at either end and for a
  // tag held by none (NextTag/PreviousTag throw instead).
  [[nodiscard]] Ref<Tag> NextSibling() const;
  [[nodiscard]] Ref<Tag> PreviousSibling() const;

  // --- Name, identifier, position ---
  const std::string& TagName() const;
  // Upper-cases `name` and applies it, recomputing the flags it decides.
  void SetTagName(std::string_view name);
  // The 0-based position in the holding collection; -1 when held by none.
  int32_t Index() const { return parent_ ? index_ : -1; }
  // The identifier under which the collection holds the tag; "" for none.
  std::string ID() const;
  // Changes the identifier; does nothing for a tag held by no collection.
  void SetID(std::string_view id);
  Ref<Tag> NextTag() const;      // throws 10013 at the end or when unheld
  Ref<Tag> PreviousTag() const;  // throws 10013 at the start or when unheld

  // --- Parameters ---
  int32_t ParamCount() const;
  // The name / value at `index`; "" when out of range.
  const std::string& ParamName(int32_t index) const;
  std::string ParamValue(int32_t index) const;
  // Exact-name access: "" when missing; SetParam replaces in place or
  // appends (turning NoIndent on for a new value that starts "<!", "<?" or
  // "<%"); RemoveParam removes the first one of that name.
  std::string GetParam(std::string_view name) const;
  void SetParam(std::string_view name, std::string_view value);
  void RemoveParam(std::string_view name);
  // The script-level access: the name is upper-cased; setting "" removes
  // the parameter, except VALUE, which is kept with an empty value.
  std::string Parameter(std::string_view name) const;
  void SetParameter(std::string_view name, std::string_view value);
  void ResetParameters();

  // --- Text ---
  // A text block's own VALUE, else the VALUE of the first direct child that
  // is a text block; SetText appends such a child when there is none.
  std::string Text() const;
  void SetText(std::string_view text);
  // For text blocks and INPUT, OPTION and PARAM tags the own VALUE
  // parameter; Text otherwise.
  std::string Value() const;
  void SetValue(std::string_view value);
  // True when the tag is named like its document's text blocks.
  bool IsTextBlock() const;

  // --- Layout flags ---
  bool HasEndTag() const { return (flags_ & kHasEndTag) != 0; }
  bool NoIndent() const { return (flags_ & kNoIndent) != 0; }
  bool BreakBefore() const { return (flags_ & kBreakBefore) != 0; }
  bool BreakBeforeEnd() const { return (flags_ & kBreakBeforeEnd) != 0; }
  void set_has_end_tag(bool on) { SetFlag(kHasEndTag, on); }
  void set_no_indent(bool on) { SetFlag(kNoIndent, on); }
  void set_break_before(bool on) { SetFlag(kBreakBefore, on); }
  void set_break_before_end(bool on) { SetFlag(kBreakBeforeEnd, on); }

  // --- Editing ---
  Ref<Tag> Add(std::string_view id, std::string_view name);
  // `before` is a position among the children (as a collection key
  // resolves it): -1 fails with 10004; any other position outside
  // 0..ChildCount() gives null and changes nothing.
  Ref<Tag> InsertBefore(int32_t before, std::string_view id, std::string_view name);
  // The same at `after` + 1: -1 fails with 10004, a position outside
  // gives null.
  Ref<Tag> InsertAfter(int32_t after, std::string_view id, std::string_view name);
  // Same, resolving `key` with Tags::FindKey (not found: 10004).
  Ref<Tag> InsertBefore(std::string_view key, std::string_view id, std::string_view name);
  Ref<Tag> InsertAfter(std::string_view key, std::string_view id, std::string_view name);
  // Removes the children at positions target .. target + count - 1, the
  // last first; positions outside the list are skipped. A target of -1
  // (unresolved) fails with 10004.
  void Remove(int32_t target, int32_t count);
  void Remove(std::string_view key, int32_t count);
  void RemoveFromParent();
  void RemoveAll();

  // Deep copies of this tag: `count` copies are made before any is placed,
  // so a target inside this tag never ends up inside a later copy.
  // CopyBefore/CopyAfter need a target held by a collection, AddCopy any
  // tag; a null target (or an unheld one for the first two) throws 10012.
  void CopyBefore(TagArg before, int32_t count);
  void CopyAfter(TagArg after, int32_t count);
  void AddCopy(TagArg under, int32_t count);
  // Takes over the name, identifier, parameters, children and flags of
  // `by`, keeping this tag's place and identity. A null `by` throws 10012;
  // replacing a tag by itself changes nothing.
  void Replace(TagArg by);
  // A new tag with this tag's identifier, name, parameters, flags and a
  // copy of its subtree, held by no collection.
  Ref<Tag> DeepCopy() const;

  // --- Searching below this tag (pre-order; the tag itself not tested) ---
  // These record the search in the document's find state (FindNext).
  [[nodiscard]] Ref<Tag> FindByID(std::string_view id);
  [[nodiscard]] Ref<Tag> FindByTagName(std::string_view name);
  [[nodiscard]] Ref<Tag> FindByParameter(std::string_view name, std::string_view value);
  // FindByID that cannot come back empty: throws Error 10004 with the
  // identifier appended to the message when no tag below has it.
  Ref<Tag> Get(std::string_view id);

  // --- Forms ---
  void SelectRadio(std::string_view radio_name, std::string_view value);
  void SelectOption(std::string_view value);

  // --- Grid sheets ---
  // Makes this tag a TABLE holding the shown rows and cells of `grid`, read
  // through late-bound calls by dispatch identifier (see html/tabula.cc for
  // the calls made). `form_type` is accepted and has no effect. A grid call
  // that fails throws a ForeignError with the grid's code and description;
  // the rows built until then stay. A null grid throws
  // std::invalid_argument and changes nothing.
  void LoadTabula(com::IDispatch* grid, bool visible_area_only, bool form_type);

  // Writes the tag in the page form at level 0 to the document's current
  // destination; nothing for a tag without a document.
  void Write();

 private:
  friend class Tags;
  friend class ChildIterator;
  friend class DescendantRange;
  friend struct Node;  // the engine's raw access (html/node.h)
  friend void IntrusiveAddRef(Tag* tag);
  friend void IntrusiveRelease(Tag* tag);

  enum Flag : uint8_t {
    kHasEndTag = 1,
    kNoIndent = 2,
    kBreakBefore = 4,
    kBreakBeforeEnd = 8,
    kOwnMemory = 16,  // made outside the arena (a document's root)
    kCompactText = 32,  // the one parameter, VALUE, kept in the tag itself
    kTextEdited = 64,   // ... its bytes owned by the arena
    kTextQuote = 128,   // ... they may hold a double quote
  };

  explicit Tag(Arena* arena) : arena_(arena) {}
  ~Tag() = default;
  void SetFlag(uint8_t flag, bool on) { flags_ = on ? (flags_ | flag) : (flags_ & ~flag); }

  // One reference per holder: the holding collection and each Ref.
  uint32_t refs_ = 0;
  int32_t index_ = 0;
  Tag* parent_ = nullptr;
  Arena* arena_;
  KidList* kids_ = nullptr;
  // The identifier and parameters; for a compact text (a text block's
  // usual form) the VALUE parameter's bytes instead.
  union {
    AttrList* attrs_ = nullptr;
    const char* text_;
  };
  uint32_t name_ = 0;
  uint8_t flags_ = kBreakBefore | kBreakBeforeEnd;
  uint8_t text_size_[3] = {};  // a compact text's size
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_TAG_H_

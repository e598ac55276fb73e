// The tag tree of a page template: HtmlTag nodes and the HtmlTags
// collections that hold them, as plain C++ classes. The automation classes
// HtmlTag and HtmlTags wrap these; both doors reach the same behaviour.
//
// Texts are bytes in the code page of the tag's document (the process code
// page for a tag without a document). Tag and parameter names are stored
// upper-case; identifiers, parameter values and texts keep their bytes.
//
// Ownership: a tag lives while a Ref<Tag> to it exists. The collection that
// holds a tag owns one reference; removing the tag from it clears the tag's
// collection link (Parent() is then null, Index() is -1, NextTag() and
// PreviousTag() fail with 10013) but leaves its own children with it. A
// collection lives as long as its owner tag: keep a Ref to the owner while
// using a Tags&. Releasing a tree of any depth takes constant stack.
//
// Errors: numbered failures throw quillon::Error (10004, 10012, 10013);
// exhausted memory throws std::bad_alloc.
//
// Threading: none; a tree is used by one thread at a time.
#ifndef QUILLON_HTML_TAG_H_
#define QUILLON_HTML_TAG_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/component/types.h"
#include "quillon/html/ref.h"

namespace quillon::html {

class Document;
class DocumentLink;
class Tag;
class Tags;

QUILLON_EXPORT void IntrusiveAddRef(Tag* tag);
QUILLON_EXPORT void IntrusiveRelease(Tag* tag);
QUILLON_EXPORT void IntrusiveAddRef(DocumentLink* link);
QUILLON_EXPORT void IntrusiveRelease(DocumentLink* link);

// The children of one tag: an ordered list whose entries carry the tags'
// identifiers (empty for none).
class QUILLON_EXPORT Tags {
 public:
  Tags(const Tags&) = delete;
  Tags& operator=(const Tags&) = delete;
  ~Tags();

  // The tag whose children these are.
  Tag* owner() const { return owner_; }
  // The document of the owner; null for a tree without one (or whose
  // document is gone).
  Document* document() const;

  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  // The tag at `index`, or null when out of range.
  Ref<Tag> Item(int32_t index) const;
  Tag* At(int32_t index) const;  // no new reference; null when out of range
  // The identifier of the entry at `index`; "" when out of range.
  const std::string& Name(int32_t index) const;
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
  int32_t cursor() const { return cursor_; }
  void set_cursor(int32_t cursor) { cursor_ = cursor; }

 private:
  friend class Tag;
  friend class Document;
  friend class Parser;
  friend class Writer;
  friend class Search;
  friend void IntrusiveRelease(Tag* tag);
  // The identifier is kept by the tag itself (only while a collection
  // holds it does it show), so an entry is just the reference.
  struct Entry {
    Ref<Tag> tag;
  };

  Tags(Tag* owner, std::pmr::memory_resource* pool) : owner_(owner), entries_(pool) {}
  // Takes a new, unattached tag in at `index` (0..Count()).
  void Attach(Ref<Tag> tag, std::string_view name, int32_t index);
  Ref<Tag> Insert(int32_t index, std::string_view id, std::string_view name, bool name_is_upper);
  void Renumber(size_t from);
  void NoteDetach() const;

  Tag* owner_;
  std::pmr::vector<Entry> entries_;  // in the document's pool
  int32_t cursor_ = 0;
};

class QUILLON_EXPORT Tag {
 public:
  // A stand-alone tag: empty name, no document, no collection, flags
  // HasEndTag and NoIndent off, BreakBefore and BreakBeforeEnd on.
  static Ref<Tag> Create();

  Tag(const Tag&) = delete;
  Tag& operator=(const Tag&) = delete;
  ~Tag();

  // --- Links ---
  Document* document() const;
  // The collection that holds the tag; null for a root, a stand-alone or a
  // removed tag.
  Tags* owner_collection() const { return owner_; }
  // The owner tag of the collection; null for the root, a stand-alone or a
  // removed tag.
  Ref<Tag> Parent() const;
  Tag* parent() const { return owner_ ? owner_->owner_ : nullptr; }
  // The children, created on first need.
  Tags& Children();
  Tags* children_if_any() const { return children_.get(); }
  int32_t ChildCount() const { return children_ ? children_->Count() : 0; }

  // --- Name, identifier, position ---
  const std::string& TagName() const { return name_; }
  // Upper-cases `name` and applies it, recomputing the flags it decides.
  void SetTagName(std::string_view name);
  // The 0-based position in the holding collection; -1 when held by none.
  int32_t Index() const { return owner_ ? index_ : -1; }
  // The identifier under which the collection holds the tag; "" for none.
  const std::string& ID() const;
  // Changes the identifier; does nothing for a tag held by no collection.
  void SetID(std::string_view id);
  Ref<Tag> NextTag() const;      // throws 10013 at the end or when unheld
  Ref<Tag> PreviousTag() const;  // throws 10013 at the start or when unheld

  // --- Parameters ---
  int32_t ParamCount() const { return static_cast<int32_t>(params_.size()); }
  // The name / value at `index`; "" when out of range.
  const std::string& ParamName(int32_t index) const;
  const std::string& ParamValue(int32_t index) const;
  // Exact-name access: "" when missing; SetParam replaces in place or
  // appends (turning NoIndent on for a new value that starts "<!", "<?" or
  // "<%"); RemoveParam removes the first one of that name.
  const std::string& GetParam(std::string_view name) const;
  void SetParam(std::string_view name, std::string_view value);
  void RemoveParam(std::string_view name);
  // The script-level access: the name is upper-cased; setting "" removes
  // the parameter, except VALUE, which is kept with an empty value.
  std::string Parameter(std::string_view name) const;
  void SetParameter(std::string_view name, std::string_view value);
  void ResetParameters() { params_.clear(); }

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
  bool HasEndTag() const { return has_end_tag_; }
  bool NoIndent() const { return no_indent_; }
  bool BreakBefore() const { return break_before_; }
  bool BreakBeforeEnd() const { return break_before_end_; }
  void set_has_end_tag(bool on) { has_end_tag_ = on; }
  void set_no_indent(bool on) { no_indent_ = on; }
  void set_break_before(bool on) { break_before_ = on; }
  void set_break_before_end(bool on) { break_before_end_ = on; }

  // --- Editing ---
  Ref<Tag> Add(std::string_view id, std::string_view name);
  // `before` is a position among the children (as a collection key
  // resolves it): -1 fails with 10004; any other position outside
  // 0..ChildCount() gives null and changes nothing.
  Ref<Tag> InsertBefore(int32_t before, std::string_view id, std::string_view name);
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
  void CopyBefore(Tag* before, int32_t count);
  void CopyAfter(Tag* after, int32_t count);
  void AddCopy(Tag* under, int32_t count);
  // Takes over the name, identifier, parameters, children and flags of
  // `by`, keeping this tag's place and identity. A null `by` throws 10012;
  // replacing a tag by itself changes nothing.
  void Replace(Tag* by);
  // A new tag with this tag's identifier, name, parameters, flags and a
  // copy of its subtree, held by no collection.
  Ref<Tag> DeepCopy() const;

  // --- Searching below this tag (pre-order; the tag itself not tested) ---
  // These record the search in the document's find state (FindNext).
  Ref<Tag> FindByID(std::string_view id);
  Ref<Tag> FindByTagName(std::string_view name);
  Ref<Tag> FindByParameter(std::string_view name, std::string_view value);

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
  friend class Document;
  friend class Parser;
  friend class Writer;
  friend class Search;
  friend void IntrusiveAddRef(Tag* tag);
  friend void IntrusiveRelease(Tag* tag);
  struct Param {
    std::string name;
    std::string value;
  };

  // The children live inside their owner: one block less to find and give
  // back for every tag that has any. The slot stays empty until needed.
  class ChildSlot {
   public:
    ChildSlot() = default;
    ChildSlot(const ChildSlot&) = delete;
    ChildSlot& operator=(const ChildSlot&) = delete;
    ~ChildSlot() {
      if (on_) ptr()->~Tags();
    }
    explicit operator bool() const { return on_; }
    Tags* get() const { return on_ ? ptr() : nullptr; }
    Tags* operator->() const { return ptr(); }
    Tags& operator*() const { return *ptr(); }
    void emplace(Tag* owner, std::pmr::memory_resource* pool) {
      new (storage_) Tags(owner, pool);
      on_ = true;
    }

   private:
    Tags* ptr() const {
      return std::launder(reinterpret_cast<Tags*>(const_cast<unsigned char*>(storage_)));
    }
    alignas(Tags) unsigned char storage_[sizeof(Tags)];
    bool on_ = false;
  };

  explicit Tag(std::pmr::memory_resource* pool) : params_(pool) {}
  // A new tag in the memory of `link`'s document (the shared pool without
  // one). A tag's document link never changes, so it also says where the
  // tag's memory goes back to.
  static Ref<Tag> New(DocumentLink* link);
  // Sets up a tag created inside a tree (see the .cc for the flag rules).
  void Init(DocumentLink* link, Tags* owner, std::string_view name, int32_t index,
            bool name_is_upper = false);
  void ApplyTagName();
  // Pairs (copy, source) still to be filled, for a copy's explicit stack.
  using CopyWork = std::vector<std::pair<Tag*, const Tag*>>;
  // Appends source's parameters, subtree copies and flags (no merging).
  // `work` is scratch space, empty on entry and on return; one passed in
  // for many copies is allocated once.
  static void CopyContent(Tag* target, const Tag* source, CopyWork* work);
  static Ref<Tag> CopyOf(const Tag* source, DocumentLink* link, CopyWork* work);
  std::vector<Ref<Tag>> MakeCopies(const Tags* into, int32_t count) const;
  void InsertCopies(Tags* into, int32_t at, std::vector<Ref<Tag>> copies);
  Ref<Tag> Resolve(int32_t pos, std::string_view id, std::string_view name);
  const std::string& RawId() const { return id_; }
  void SetRawId(std::string_view id);
  Param* FindParam(std::string_view name);
  const Param* FindParam(std::string_view name) const;

  uint32_t refs_ = 0;
  int32_t index_ = 0;
  Ref<DocumentLink> link_;
  Tags* owner_ = nullptr;
  std::string name_;
  std::pmr::vector<Param> params_;  // in the document's pool
  ChildSlot children_;
  std::string id_;
  bool has_end_tag_ = false;
  bool no_indent_ = false;
  bool break_before_ = true;
  bool break_before_end_ = true;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_TAG_H_

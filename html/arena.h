// Where the tags of one tree live: an arena of blocks taken from the system
// (through a process-wide cache of blocks, so a serving loop that builds a
// page per request stops asking the system after the first ones), carved
// into size classes whose freed pieces wait on free lists for reuse. The
// whole arena goes back in one piece when its document is gone and nobody
// holds any of its tags.
//
// Besides tags, the arena holds their children lists, parameter lists and
// edited strings, the sources whose bytes unedited names, values and texts
// are slices of, and the names the process table had no room for.
//
// Under AddressSanitizer a freed piece is poisoned and waits in a
// quarantine before it is reused, and blocks go straight back to the
// system: a stale tag is a sanitizer report, not a silent alias of a new
// one.
//
// Threading: none; an arena belongs to the thread of its tree. The block
// cache it draws from is shared and locked.
#ifndef QUILLON_HTML_ARENA_H_
#define QUILLON_HTML_ARENA_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "html/names.h"
#include "quillon/html/ref.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_HTML_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_HTML_ASAN 1
#endif
#endif

#ifdef QUILLON_HTML_ASAN
#include <sanitizer/asan_interface.h>
#define QUILLON_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QUILLON_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QUILLON_POISON(p, n) ((void)(p), (void)(n))
#define QUILLON_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace quillon::html {

class Document;
class Tag;

// The document's lifetime as its arenas see it: cleared when the document
// goes, so a tag never follows a dangling link.
class DocumentLink {
 public:
  explicit DocumentLink(Document* doc) : doc_(doc) {}
  Document* document() const { return doc_; }
  void Clear() { doc_ = nullptr; }

 private:
  friend void IntrusiveAddRef(DocumentLink* link) { ++link->refs_; }
  friend void IntrusiveRelease(DocumentLink* link) {
    if (--link->refs_ == 0) delete link;
  }
  uint32_t refs_ = 0;
  Document* doc_;
};

// A tag's children: a count, a capacity and the tags, in one piece.
struct KidList {
  uint32_t count;
  uint32_t cap;
  Tag** items() { return reinterpret_cast<Tag**>(this + 1); }
  Tag* const* items() const { return reinterpret_cast<Tag* const*>(this + 1); }
  static size_t Bytes(uint32_t cap) { return sizeof(KidList) + sizeof(Tag*) * cap; }
};
static_assert(sizeof(KidList) == 8);

// A text the tree keeps: bytes somewhere (a source, or the arena when
// edited) and how many. Edited texts are owned by the arena of their tag.
struct Param {
  static constexpr uint32_t kEdited = 1u << 30;  // value owned by the arena
  static constexpr uint32_t kQuote = 1u << 29;   // value holds a double quote
  const char* value;
  uint32_t size;
  uint32_t bits;  // name | flags
  NameId name() const { return bits & kNameMask; }
  std::string_view view() const { return {value, size}; }
  bool edited() const { return (bits & kEdited) != 0; }
  bool has_quote() const { return (bits & kQuote) != 0; }
};
static_assert(sizeof(Param) == 16);

// A tag's identifier and parameters, in one piece. Copies of a tag share
// its list (`sharers` counts the others) until one of them changes it.
struct AttrList {
  static constexpr uint16_t kMaxSharers = 0xFFFF;
  uint32_t count;
  uint32_t cap;
  const char* id;
  uint32_t id_size;
  uint16_t id_edited;  // the identifier's bytes are owned by the list
  uint16_t sharers;
  Param* items() { return reinterpret_cast<Param*>(this + 1); }
  const Param* items() const { return reinterpret_cast<const Param*>(this + 1); }
  std::string_view id_view() const { return {id, id_size}; }
  static size_t Bytes(uint32_t cap) { return sizeof(AttrList) + sizeof(Param) * cap; }
};
static_assert(sizeof(AttrList) == 24);

using Source = std::shared_ptr<const std::string>;

// The first and the last sizeof(Word) bytes of `n` (at least that many),
// which cover all of them.
template <class Word>
inline void CopyEnds(char* d, const char* s, size_t n) {
  Word head, tail;
  std::memcpy(&head, s, sizeof(Word));
  std::memcpy(&tail, s + n - sizeof(Word), sizeof(Word));
  std::memcpy(d, &head, sizeof(Word));
  std::memcpy(d + n - sizeof(Word), &tail, sizeof(Word));
}

// Copies `n` bytes. Most pieces of a page are a few bytes (a cell's text,
// a name, a parameter's opening): copied inline, by overlapping words that
// stay inside the piece, instead of through a call or a byte at a time.
inline void CopyBytes(char* d, const char* s, size_t n) {
  if (n > 16) {
    std::memcpy(d, s, n);
  } else if (n >= 8) {
    CopyEnds<uint64_t>(d, s, n);
  } else if (n >= 4) {
    CopyEnds<uint32_t>(d, s, n);
  } else if (n > 0) {
    d[0] = s[0];
    d[n / 2] = s[n / 2];
    d[n - 1] = s[n - 1];
  }
}

// Faults in, with one call, the whole pages inside [begin, end), which are
// about to be written. On a virtual machine a page's first fault is what
// costs most, and one call for a stretch takes about half the time of a
// fault per page. A kernel without the call leaves them to fault one by one.
void FaultInPages(const char* begin, const char* end);

class Arena {
 public:
  // Small pieces come in size classes up to this; larger ones are taken
  // from the system one by one.
  static constexpr size_t kMaxSmall = 4096;
  static constexpr int kClasses = 32;
  // The size of a tag (checked where Tag is complete).
  static constexpr size_t kTagBytes = 48;

  // A document's arena (`link` non-null: owned by it until Disown), or the
  // arena of one stand-alone tag, which goes with the last of its tags.
  static Arena* Create(DocumentLink* link);
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  DocumentLink* link() const { return link_.get(); }
  Document* document() const { return link_ ? link_->document() : nullptr; }

  // --- Pieces ---
  static constexpr int ClassOf(size_t bytes) {
    if (bytes <= 256) return bytes == 0 ? 0 : static_cast<int>((bytes + 15) / 16 - 1);
    const int p = static_cast<int>(std::bit_width(bytes - 1));  // 2^(p-1) < bytes <= 2^p
    const size_t half = size_t{1} << (p - 1);
    const size_t step = half / 4;
    const int sub = static_cast<int>((bytes - half + step - 1) / step);  // 1..4
    return 16 + (p - 9) * 4 + sub - 1;
  }
  static constexpr size_t ClassSize(int cls) {
    if (cls < 16) return static_cast<size_t>(cls + 1) * 16;
    const int j = cls - 16;
    const size_t half = size_t{1} << (j / 4 + 8);
    return half + static_cast<size_t>(j % 4 + 1) * (half / 4);
  }

  void* Allocate(size_t bytes) {
    if (bytes <= kMaxSmall) {
      const int cls = ClassOf(bytes);
      const size_t size = ClassSize(cls);
      if (void* p = free_[cls]) {
        QUILLON_UNPOISON(p, size);
        free_[cls] = *static_cast<void**>(p);
        return p;
      }
      if (static_cast<size_t>(end_ - cur_) >= size) {
        void* p = cur_;
        cur_ += size;
        QUILLON_UNPOISON(p, size);
        return p;
      }
    }
    return AllocateSlow(bytes);
  }
  void Release(void* p, size_t bytes);
  // A copy of `text` the arena owns; "" for empty text (nothing owned).
  const char* Store(std::string_view text) {
    const size_t n = text.size();
    if (n == 0) return "";
    char* p = static_cast<char*>(Allocate(n));
    CopyBytes(p, text.data(), n);
    return p;
  }
  void Unstore(const char* p, size_t size) {
    if (size != 0) Release(const_cast<char*>(p), size);
  }

  // --- Tags ---
  // Memory for one tag, counted as live. The tag is constructed by the
  // caller.
  void* AllocateTag() {
    void* p = Allocate(kTagBytes);
    ++live_;
    return p;
  }
  // Gives back a tag's memory (already destroyed). May delete the arena,
  // when it is the last live tag of an arena nobody owns.
  void ReleaseTag(void* p) {
    Release(p, kTagBytes);
    DropLive();
  }
  // Whether freed pieces of `bytes`' class wait for reuse.
  bool HasFree(size_t bytes) const { return bytes <= kMaxSmall && free_[ClassOf(bytes)] != nullptr; }
  // `bytes` in one piece, for `tags` tags and lists laid out by the caller
  // (each piece a whole size class, so that each can be released on its
  // own); the tags are counted as live.
  void* AllocateRun(size_t bytes, uint32_t tags) {
    void* p = Carve(bytes);
    live_ += tags;
    return p;
  }
  // A tag made outside the arena (a document's root) counted as one of its
  // own for as long as it uses the arena.
  void AdoptLive() { ++live_; }
  void DropLive() {
    if (--live_ == 0 && !owned_) delete this;
  }

  // References that programs and scripts hold on this arena's tags
  // (references of parents to children not included).
  uint64_t held() const { return held_; }
  void Hold() { ++held_; }
  void Unhold() { --held_; }
  void MoveHeld(Arena* to, uint64_t n) {
    held_ -= n;
    to->held_ += n;
  }

  // The document lets go: the arena lives on while any tag of it does.
  void Disown();
  // The document lets go of an arena none of whose tags is held: it goes
  // at once, with every tag in it.
  void Destroy() { delete this; }
  // Everything given back at once (no tag of it may be alive but the
  // ones the caller counts in `keep_live`, which must not use the arena's
  // memory, and which hold every reference held() counts); the sources and
  // local names go too.
  void Reset(uint32_t keep_live);
  // About `bytes` are about to be carved (a parse): blocks from now on are
  // at least that large, up to the largest.
  void ExpectBytes(size_t bytes);

  // --- The text-block name ---
  // What its document names text blocks, kept here so that a tag tells it
  // is one by comparing a number. Not known for the arena of tags that
  // their document left behind (they compare names then).
  bool text_block_known() const { return text_block_known_; }
  NameId text_block() const { return text_block_; }
  void SetTextBlock(NameId id) {
    text_block_ = id;
    text_block_known_ = true;
  }
  void ForgetTextBlock() { text_block_known_ = false; }

  // --- Sources and names ---
  void Keep(Source source);
  // Makes the slices of `other`'s tags valid here too.
  void KeepSourcesOf(const Arena& other);
  const std::vector<Source>& sources() const { return sources_; }

  // Interning in this arena's context: the process table first.
  NameId Intern(std::string_view upper) {
    NameId id = Names::Intern(upper);
    return id != kNoName ? id : local_names_.Intern(upper);
  }
  NameId FindName(std::string_view upper) const {
    NameId id = Names::Find(upper);
    return id != kNoName ? id : local_names_.Find(upper);
  }
  const NameInfo& Info(NameId id) const {
    return (id & kLocalName) ? local_names_.Info(id) : Names::Info(id);
  }
  // `id` of `from` as a number of this arena.
  NameId Translate(const Arena& from, NameId id) {
    if (!(id & kLocalName) || &from == this) return id;
    return Intern(from.local_names_.Info(id).text);
  }

  // The enumeration cursors of collections (kept aside: few lists are
  // ever enumerated through the automation door).
  int32_t Cursor(const Tag* owner) const {
    if (cursors_.empty()) return 0;
    auto it = cursors_.find(owner);
    return it == cursors_.end() ? 0 : it->second;
  }
  void SetCursor(const Tag* owner, int32_t cursor) {
    if (cursor == 0) {
      cursors_.erase(owner);
    } else {
      cursors_[owner] = cursor;
    }
  }
  void ForgetCursor(const Tag* owner) {
    if (!cursors_.empty()) cursors_.erase(owner);
  }

  // Bytes taken from the system for this arena (blocks and large pieces).
  size_t footprint() const { return footprint_; }
  uint32_t live() const { return live_; }

 private:
  struct Block {
    Block* next;
    size_t size;  // bytes after the header
  };
  struct Large {
    Large* prev;
    Large* next;
    size_t size;
    size_t pad;
  };

  explicit Arena(DocumentLink* link);
  ~Arena();
  void* AllocateSlow(size_t bytes);
  void* Carve(size_t bytes);
  void* NewBlock(size_t bytes);
  // Moves end_ on inside the current block, to hold at least `bytes`.
  void Extend(size_t bytes);
  void* AllocateLarge(size_t bytes);
  void ReleaseLarge(void* p);
  void FreeAll();
  void ToFreeList(void* p, int cls);

  Ref<DocumentLink> link_;
  bool owned_;
  uint32_t live_ = 0;
  uint64_t held_ = 0;
  char* cur_ = nullptr;
  // Where carving stops before Carve looks again: the block's end, or in a
  // large block the end of the part faulted in so far.
  char* end_ = nullptr;
  char* block_end_ = nullptr;
  // end_ moves on by faulting this much of the block in at a time (0: the
  // block is in memory already, or small).
  size_t populate_step_ = 0;
  Block* blocks_ = nullptr;
  size_t next_block_;
  Large* large_ = nullptr;
  size_t footprint_ = 0;
  void* free_[kClasses] = {};
#ifdef QUILLON_HTML_ASAN
  std::deque<std::pair<void*, int>> quarantine_;
  size_t quarantined_ = 0;
#endif
  std::vector<Source> sources_;
  LocalNames local_names_;
  std::unordered_map<const Tag*, int32_t> cursors_;
  NameId text_block_ = names::kTextBlock;
  bool text_block_known_ = true;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_ARENA_H_

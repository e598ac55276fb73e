// Tag and parameter names, interned: a tree stores a small number per name
// and compares numbers, and the writer takes each name's start and end tag
// text ready-made.
//
// One table serves the whole process: names are the same in every document
// of every thread (they are stored upper-cased, so the same bytes always mean
// the same name). The table is bounded: once it holds kMaxGlobalNames names,
// a name it does not know yet is interned by the arena of the tree that
// needs it (NameTable::Local), so a process that parses pages made of ever
// new names does not grow without end. Local numbers carry kLocalName and
// mean something only inside their arena.
//
// Threading: Intern and Find lock; Info never does (entries never move and
// are published before their number is handed out).
#ifndef QUILLON_HTML_NAMES_H_
#define QUILLON_HTML_NAMES_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon::html {

using NameId = uint32_t;

// Set on numbers that an arena's own table gave out.
inline constexpr NameId kLocalName = 0x10000000u;
// Names carry no more bits than this (the rest of a word is left to flags).
inline constexpr NameId kNameMask = 0x1FFFFFFFu;
inline constexpr NameId kNoName = 0xFFFFFFFFu;  // Find: not interned anywhere

struct NameInfo {
  enum Flags : uint8_t {
    kEmptyElement = 1,   // no content, no end tag
    kNestable = 2,       // may nest directly in an element of its own name
    kInlineStart = 4,    // a new tag of this name starts on the same line
    kInlineEnd = 8,      // its end tag stays on the same line
    kKeepsLayout = 16,   // children are never re-indented (TEXTAREA, PRE)
    kPrivate = 32,       // starts with "!": a parameter never written
  };
  std::string text;    // the name, upper-case
  std::string open;    // "<" + text
  std::string close;   // "</" + text + ">"
  std::string attr;    // " " + text + "=\"", a parameter of this name with its value
  std::string bare;    // " " + text, one whose value is its name
  uint8_t flags = 0;
};

// The names the engine itself asks about, numbered in this order from 0.
namespace names {
enum : NameId {
  kEmpty,  // ""
  kHtml, kHead, kBody, kTitle, kRoot, kTextBlock, kDummyBlock,
  kValue, kName, kChecked, kSelected, kQlid, kId, kSlash, kConvertMasterPage,
  kInput, kOption, kParam, kTable, kTr, kTh, kTd, kDl, kDd, kDt,
  kTextarea, kPre, kFont, kStrong, kI, kB, kEm, kU, kBr, kA,
  kMeta, kImage, kImg, kHr, kLi, kLh, kCol, kArea, kFrame, kBase, kLink, kXml,
  kCount
};
}  // namespace names

// The process-wide table.
class Names {
 public:
  static constexpr NameId kMaxGlobalNames = 1u << 16;

  // The number of `upper` (already upper-cased), interning it; kNoName when
  // the table is full and does not know it.
  static NameId Intern(std::string_view upper);
  // The number of `upper`, or kNoName when it was never interned.
  static NameId Find(std::string_view upper);
  // A global number's entry.
  static const NameInfo& Info(NameId id) {
    NameInfo* chunk = chunks_[id >> kChunkBits].load(std::memory_order_acquire);
    if (chunk == nullptr) chunk = FirstUse(id);
    return chunk[id & (kChunkSize - 1)];
  }
  // Names interned so far (tests).
  static size_t Count();
  // Fills in the flags and the ready-made texts of an entry.
  static void Describe(NameInfo* info);

  static constexpr size_t kChunkBits = 10;
  static constexpr size_t kChunkSize = size_t{1} << kChunkBits;

 private:
  friend struct NameTable;
  // Entries live in fixed chunks that never move, so a reader needs no
  // lock: a number reaches another thread only through the locked index
  // (or through a tree built after it), which orders the entry's writing
  // before it.
  static std::atomic<NameInfo*> chunks_[kMaxGlobalNames >> kChunkBits];
  // The table made on first need (the engine's own names are numbered
  // before anyone asks).
  static NameInfo* FirstUse(NameId id);
};

// An arena's own names, for when the process table is full.
class LocalNames {
 public:
  NameId Intern(std::string_view upper);
  NameId Find(std::string_view upper) const;
  const NameInfo& Info(NameId id) const { return *entries_[id & ~kLocalName]; }
  bool empty() const { return entries_.empty(); }

 private:
  std::vector<std::unique_ptr<NameInfo>> entries_;
  std::unordered_map<std::string_view, NameId> index_;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_NAMES_H_

#include "html/names.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <mutex>

namespace quillon::html {

namespace {

constexpr std::string_view kKnown[] = {
    "",         "HTML",  "HEAD",    "BODY",   "TITLE", "ROOT",  "TEXTBLOCK", "DUMMYBLOCK",
    "VALUE",    "NAME",  "CHECKED", "SELECTED", "QLID", "ID",   "/",  "CONVERTMASTERPAGE",
    "INPUT",    "OPTION", "PARAM",  "TABLE",  "TR",    "TH",    "TD",  "DL",  "DD",  "DT",
    "TEXTAREA", "PRE",   "FONT",    "STRONG", "I",     "B",     "EM",  "U",   "BR",  "A",
    "META",     "IMAGE", "IMG",     "HR",     "LI",    "LH",    "COL", "AREA", "FRAME",
    "BASE",     "LINK",  "?XML",
};
static_assert(std::size(kKnown) == names::kCount);

constexpr size_t kChunkBits = Names::kChunkBits;
constexpr size_t kChunkSize = Names::kChunkSize;

}  // namespace

// The index is an open-addressing table of numbers (plus one; 0 is free)
// at most half full, which readers probe without a lock: a slot is
// written once, after its entry, and never changes again. It starts small
// and is rebuilt twice as large as it fills: every probe of a large one
// lands on a page of its own, and a process that parses one template
// would fault in dozens of pages for a few dozen names. A reader may still
// probe the table it loaded before a rebuild, so an old one is never
// freed (together less than the last; each new one links the one before,
// so that they stay reachable); a name added since is missing there, which
// reads as not interned yet, and Intern then looks again under the lock.
struct NameTable {
  static constexpr size_t kMaxSlots = size_t{Names::kMaxGlobalNames} * 2;
  static constexpr size_t kFirstSlots = 256;
  struct Index {
    size_t mask;
    uint32_t* slots;
    const Index* previous;
  };
  std::mutex mutex;  // for writers
  std::atomic<Index*> index{NewIndex(kFirstSlots, nullptr)};
  std::atomic<NameInfo*>* chunks = Names::chunks_;
  std::atomic<size_t> count{0};

  static Index* NewIndex(size_t size, const Index* previous) {
    auto* ix = new Index{size - 1, nullptr, previous};
    ix->slots = static_cast<uint32_t*>(std::calloc(size, sizeof(uint32_t)));
    if (ix->slots == nullptr) {
      delete ix;
      throw std::bad_alloc();
    }
    return ix;
  }
  static size_t Hash(std::string_view name) {
    uint64_t h = 0xcbf29ce484222325ull ^ name.size();
    for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
  // The number of `name` in `ix`, or kNoName; `*free_slot` gets the slot
  // where it would go.
  static NameId Lookup(const Index* ix, std::string_view name, size_t* free_slot) {
    for (size_t i = Hash(name) & ix->mask;; i = (i + 1) & ix->mask) {
      const uint32_t v = std::atomic_ref<uint32_t>(ix->slots[i]).load(std::memory_order_acquire);
      if (v == 0) {
        if (free_slot) *free_slot = i;
        return kNoName;
      }
      if (Names::Info(v - 1).text == name) return v - 1;
    }
  }
  NameId Lookup(std::string_view name) const {
    return Lookup(index.load(std::memory_order_acquire), name, nullptr);
  }

  NameTable() {
    for (std::string_view name : kKnown) Add(name);
  }
  // Under the lock (or in the constructor).
  NameId Add(std::string_view upper) {
    const size_t id = count.load(std::memory_order_relaxed);
    NameInfo* chunk = chunks[id >> kChunkBits].load(std::memory_order_relaxed);
    if (chunk == nullptr) {
      // Entries are made as names come: a chunk's untouched pages cost
      // nothing.
      chunk = static_cast<NameInfo*>(::operator new(sizeof(NameInfo) * kChunkSize));
      chunks[id >> kChunkBits].store(chunk, std::memory_order_release);
    }
    NameInfo& info = *new (&chunk[id & (kChunkSize - 1)]) NameInfo;
    info.text.assign(upper);
    Names::Describe(&info);
    Index* ix = index.load(std::memory_order_relaxed);
    if ((id + 1) * 2 > ix->mask + 1 && ix->mask + 1 < kMaxSlots) {
      ix = Rebuild(ix, id);
    }
    count.store(id + 1, std::memory_order_release);
    size_t slot = 0;
    Lookup(ix, upper, &slot);
    std::atomic_ref<uint32_t>(ix->slots[slot])
        .store(static_cast<uint32_t>(id) + 1, std::memory_order_release);
    return static_cast<NameId>(id);
  }
  // A table twice as large holding the first `n` names, published.
  Index* Rebuild(const Index* old, size_t n) {
    Index* ix = NewIndex((old->mask + 1) * 2, old);
    for (size_t id = 0; id < n; ++id) {
      size_t slot = 0;
      Lookup(ix, Names::Info(static_cast<NameId>(id)).text, &slot);
      ix->slots[slot] = static_cast<uint32_t>(id) + 1;
    }
    index.store(ix, std::memory_order_release);
    return ix;
  }
};

namespace {

NameTable& TheTable() {
  // Never destroyed: trees that a host keeps until exit still name their
  // tags after static destruction.
  static NameTable* table = new NameTable;
  return *table;
}

bool Is(std::string_view name, std::initializer_list<std::string_view> list) {
  for (std::string_view n : list) {
    if (n == name) return true;
  }
  return false;
}

}  // namespace

void Names::Describe(NameInfo* info) {
  const std::string& n = info->text;
  uint8_t flags = 0;
  if (Is(n, {"META", "INPUT", "OPTION", "IMAGE", "IMG", "HR", "BR", "LI", "LH", "DT", "DD",
             "COL", "AREA", "FRAME", "BASE", "LINK", "PARAM", "?XML"})) {
    flags |= NameInfo::kEmptyElement;
  }
  if (Is(n, {"TABLE", "TR", "TH", "TD", "DL", "DD", "DT"})) flags |= NameInfo::kNestable;
  // Inline elements stay on their line.
  if (Is(n, {"TEXTAREA", "FONT", "STRONG", "I", "B", "EM", "U", "BR", "A"})) {
    flags |= NameInfo::kInlineEnd;
    if (n != "TEXTAREA" && n != "A") flags |= NameInfo::kInlineStart;
  }
  if (n == "TEXTAREA" || n == "PRE") flags |= NameInfo::kKeepsLayout;
  if (!n.empty() && n[0] == '!') flags |= NameInfo::kPrivate;
  info->flags = flags;
  info->open = "<" + n;
  info->close = "</" + n + ">";
  info->attr = " " + n + "=\"";
  info->bare = " " + n;
}

NameId Names::Intern(std::string_view upper) {
  NameTable& t = TheTable();
  const NameId known = t.Lookup(upper);
  if (known != kNoName) return known;
  std::lock_guard<std::mutex> lock(t.mutex);
  const NameId again = t.Lookup(upper);  // another thread may have added it
  if (again != kNoName) return again;
  if (t.count.load(std::memory_order_relaxed) >= kMaxGlobalNames) return kNoName;
  return t.Add(upper);
}

NameId Names::Find(std::string_view upper) { return TheTable().Lookup(upper); }

std::atomic<NameInfo*> Names::chunks_[kMaxGlobalNames >> kChunkBits];

NameInfo* Names::FirstUse(NameId id) {
  TheTable();
  return chunks_[id >> kChunkBits].load(std::memory_order_acquire);
}

size_t Names::Count() { return TheTable().count.load(std::memory_order_acquire); }

NameId LocalNames::Intern(std::string_view upper) {
  auto it = index_.find(upper);
  if (it != index_.end()) return it->second;
  auto info = std::make_unique<NameInfo>();
  info->text.assign(upper);
  Names::Describe(info.get());
  const NameId id = kLocalName | static_cast<NameId>(entries_.size());
  index_.emplace(info->text, id);
  entries_.push_back(std::move(info));
  return id;
}

NameId LocalNames::Find(std::string_view upper) const {
  auto it = index_.find(upper);
  return it == index_.end() ? kNoName : it->second;
}

}  // namespace quillon::html

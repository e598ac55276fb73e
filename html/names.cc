#include "html/names.h"

#include <atomic>
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

struct NameTable {
  std::mutex mutex;
  std::unordered_map<std::string_view, NameId> index;
  std::atomic<NameInfo*>* chunks = Names::chunks_;
  std::atomic<size_t> count{0};

  NameTable() {
    for (std::string_view name : kKnown) Add(name);
  }
  // Under the lock (or in the constructor).
  NameId Add(std::string_view upper) {
    const size_t id = count.load(std::memory_order_relaxed);
    NameInfo* chunk = chunks[id >> kChunkBits].load(std::memory_order_relaxed);
    if (chunk == nullptr) {
      chunk = new NameInfo[kChunkSize];
      chunks[id >> kChunkBits].store(chunk, std::memory_order_release);
    }
    NameInfo& info = chunk[id & (kChunkSize - 1)];
    info.text.assign(upper);
    Names::Describe(&info);
    index.emplace(info.text, static_cast<NameId>(id));
    count.store(id + 1, std::memory_order_release);
    return static_cast<NameId>(id);
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
}

NameId Names::Intern(std::string_view upper) {
  NameTable& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.index.find(upper);
  if (it != t.index.end()) return it->second;
  if (t.count.load(std::memory_order_relaxed) >= kMaxGlobalNames) return kNoName;
  return t.Add(upper);
}

NameId Names::Find(std::string_view upper) {
  NameTable& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.index.find(upper);
  return it == t.index.end() ? kNoName : it->second;
}

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

#include "quillon/core/data_store.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/list_append.h"
#include "core/pairs_walk.h"
#include "quillon/component/errors.h"
#include "quillon/component/variant.h"
#include "quillon/core/encoding.h"
#include "quillon/core/pairs.h"
#include "quillon/platform/files.h"

namespace quillon::core {
namespace {

constexpr std::string_view kSessionMarker = "QServerParams:";
constexpr std::string_view kResultName = "QServerResult=";
constexpr std::string_view kLineEnd = "\r\n";

std::u16string Decimal(int64_t n) { return com::Utf8ToUtf16(std::to_string(n)); }

// " (2 names)": how many there were, for an English failure's detail.
std::u16string Counted(size_t count, std::u16string_view one, std::u16string_view many) {
  return u" (" + Decimal(static_cast<int64_t>(count)) + std::u16string(count == 1 ? one : many) +
         u")";
}

}  // namespace

std::string_view UploadInfo::file_name(size_t i) const {
  return std::string_view(arena_).substr(slots_[i].file_at, slots_[i].file_size);
}

std::string_view UploadInfo::content_type(size_t i) const {
  return std::string_view(arena_).substr(slots_[i].type_at, slots_[i].type_size);
}

void UploadInfo::Append(std::string_view file_name, std::string_view content_type) {
  if (arena_.size() + file_name.size() + content_type.size() >= UINT32_MAX) throw std::bad_alloc();
  ReserveMore(&slots_, 1);
  const size_t old = arena_.size();
  arena_.append(file_name);
  try {
    arena_.append(content_type);
  } catch (...) {
    arena_.resize(old);
    throw;
  }
  slots_.push_back(Slot{static_cast<uint32_t>(old), static_cast<uint32_t>(file_name.size()),
                        static_cast<uint32_t>(old + file_name.size()),
                        static_cast<uint32_t>(content_type.size())});
}

void UploadInfo::AppendBlank(size_t count) {
  ReserveMore(&slots_, count);
  slots_.insert(slots_.end(), count, Slot{0, 0, 0, 0});
}

void UploadInfo::AppendAll(const UploadInfo& other) {
  if (arena_.size() + other.arena_.size() >= UINT32_MAX) throw std::bad_alloc();
  ReserveMore(&slots_, other.slots_.size());
  const auto base = static_cast<uint32_t>(arena_.size());
  arena_.append(other.arena_);
  for (Slot slot : other.slots_) {
    slot.file_at += base;
    slot.type_at += base;
    slots_.push_back(slot);
  }
}

void UploadInfo::clear() {
  arena_.clear();
  slots_.clear();
}

NamedValues::NamedValues(NotFoundReport not_found, const platform::CodePage& cp)
    : cp_(&cp), not_found_(not_found) {}

void NamedValues::AppendOutgoing(std::string name, std::string value, size_t kept_encoded_size) {
  // Every reservation happens before any list changes, so a failure leaves
  // the lists as they were and they always stay the same length.
  ReserveMore(&out_names_, 1);
  ReserveMore(&out_values_, 1);
  ReserveMore(&out_kept_, 1);
  out_names_.push_back(std::move(name));
  out_values_.push_back(std::move(value));
  out_kept_.push_back(kept_encoded_size);
}

void NamedValues::AppendString(std::string_view name, std::string_view text) {
  AppendOutgoing(std::string(name), EncodeText(text), 0);
}

void NamedValues::AppendBytes(std::string_view name, std::string_view bytes) {
  if (bytes.size() >= kBytesKeptFrom) return AppendBytesOwned(name, std::string(bytes));
  AppendOutgoing(std::string(name), EncodeValue(bytes), 0);
}

void NamedValues::AppendBytesOwned(std::string_view name, std::string bytes) {
  if (bytes.size() < kBytesKeptFrom) return AppendBytes(name, bytes);
  // An empty encoded value is never kept, so 0 stays free to mean "held
  // encoded".
  const size_t encoded = EncodedLength(bytes);
  AppendOutgoing(std::string(name), std::move(bytes), encoded);
}

void NamedValues::AppendFile(std::string_view name, const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, &bytes)) {
    throw Error(kMsgFileRead).WithFile(cp_->ToUtf16(path));
  }
  AppendBytesOwned(name, std::move(bytes));
}

void NamedValues::ResetContents() {
  out_names_.clear();
  out_values_.clear();
  out_kept_.clear();
}

std::vector<std::string> NamedValues::outgoing_values() const {
  std::vector<std::string> values;
  values.reserve(out_values_.size());
  for (size_t i = 0; i < out_values_.size(); ++i) {
    std::string value;
    AppendOutgoingValue(i, &value);
    values.push_back(std::move(value));
  }
  return values;
}

size_t NamedValues::OutgoingEncodedSize(size_t i) const {
  return out_kept_[i] != 0 ? out_kept_[i] : out_values_[i].size();
}

void NamedValues::AppendOutgoingValue(size_t i, std::string* text) const {
  if (out_kept_[i] != 0) {
    AppendEncodedValue(out_values_[i], text);
  } else {
    text->append(out_values_[i]);
  }
}

void NamedValues::JoinOutgoing(std::string* text) const {
  size_t size = text->size();
  for (size_t i = 0; i < out_names_.size(); ++i) {
    size += out_names_[i].size() + OutgoingEncodedSize(i) + 2;
  }
  text->reserve(size);
  for (size_t i = 0; i < out_names_.size(); ++i) {
    if (i != 0) text->push_back('&');
    text->append(out_names_[i]);
    text->push_back('=');
    AppendOutgoingValue(i, text);
  }
}

namespace {

// A name as the store keeps it: text up to its first zero byte.
std::string_view UpToZero(std::string_view name) {
  const size_t zero = name.find('\0');
  return zero == std::string_view::npos ? name : name.substr(0, zero);
}

size_t KeyHash(std::string_view key) { return std::hash<std::string_view>()(key); }

// The upper-cased form of `name`, built in `scratch`, whose capacity is
// reused: the same bytes as CodePage::ToUpper without an allocation per
// name.
std::string_view UpperInto(std::string_view name, const platform::CodePage& cp,
                           std::string* scratch) {
  scratch->assign(name);
  cp.ToUpperInPlace(scratch);
  return *scratch;
}

// Open addressing over entry numbers, at most three quarters full. A slot
// holds the name's hash (high half) and entry + 1 (low half; 0 = free), so
// probes past other names and growth never touch the names themselves.
class EntrySet {
 public:
  explicit EntrySet(size_t expected) {
    size_t size = 16;
    while (3 * size < 4 * expected) size *= 2;
    slots_.assign(size, 0);
  }
  // The entry already in the set whose name equals `name` (name_of(entry)
  // gives an entry's name), or inserts `entry` and returns it.
  template <class Name>
  uint32_t FindOrInsert(uint32_t entry, std::string_view name, const Name& name_of) {
    if (4 * (count_ + 1) > 3 * slots_.size()) Grow();
    const auto hash = static_cast<uint32_t>(KeyHash(name));
    const size_t mask = slots_.size() - 1;
    for (size_t s = hash & mask;; s = (s + 1) & mask) {
      const uint64_t slot = slots_[s];
      if (slot == 0) {
        slots_[s] = (uint64_t{hash} << 32) | (uint64_t{entry} + 1);
        ++count_;
        return entry;
      }
      const auto other = static_cast<uint32_t>(slot) - 1;
      if (static_cast<uint32_t>(slot >> 32) == hash && name_of(other) == name) return other;
    }
  }

  void Prefetch(std::string_view name) const {
    __builtin_prefetch(&slots_[KeyHash(name) & (slots_.size() - 1)]);
  }

 private:
  void Grow() {
    std::vector<uint64_t> bigger(2 * slots_.size(), 0);
    const size_t mask = bigger.size() - 1;
    for (uint64_t slot : slots_) {
      if (slot == 0) continue;
      size_t s = static_cast<uint32_t>(slot >> 32) & mask;
      while (bigger[s] != 0) s = (s + 1) & mask;
      bigger[s] = slot;
    }
    slots_.swap(bigger);
  }

  std::vector<uint64_t> slots_;
  size_t count_ = 0;
};

bool NeedsDecoding(std::string_view run) {
  return run.find_first_of("%+") != std::string_view::npos;
}

}  // namespace

void NamedValues::FillIncoming(std::string_view pair_text, bool decode_names) {
  // The walk stops at the first zero byte; nothing after it is kept.
  TakeIncoming(std::string(UpToZero(pair_text)), decode_names);
}

void NamedValues::TakeIncoming(std::string text, bool decode_names,
                               const std::vector<StandIn>& stand_ins,
                               std::vector<std::pair<size_t, size_t>>* value_stand_ins) {
  Take(std::move(text), 0, decode_names, stand_ins, value_stand_ins);
}

void NamedValues::TakeIncomingFrom(std::string text, size_t from, bool decode_names) {
  const size_t start = std::min(from, text.size());
  Take(std::move(text), start, decode_names, {}, nullptr);
}

void NamedValues::TakeIncomingFrom(std::string text, size_t from, bool decode_names,
                                   std::vector<KeptValue> kept) {
  std::vector<StandIn> stand_ins;
  stand_ins.reserve(kept.size());
  for (const KeptValue& value : kept) stand_ins.push_back(StandIn{value.at, value.bytes});
  std::vector<std::pair<size_t, size_t>> hits;
  // Reserved first, so that nothing can fail once the entries are in.
  ReserveMore(&kept_in_, kept.size());
  const size_t start = std::min(from, text.size());
  Take(std::move(text), start, decode_names, stand_ins, &hits);
  for (const auto& [position, index] : hits) {
    kept_in_.emplace_back(position, std::move(kept[index].bytes));
  }
}

const std::string* NamedValues::KeptAt(size_t position) const {
  if (kept_in_.empty()) return nullptr;
  const auto it = std::lower_bound(
      kept_in_.begin(), kept_in_.end(), position,
      [](const std::pair<size_t, std::string>& kept, size_t p) { return kept.first < p; });
  return it != kept_in_.end() && it->first == position ? &it->second : nullptr;
}

void NamedValues::AppendIncomingValue(size_t position, std::string* text) const {
  if (const std::string* kept = KeptAt(position)) {
    AppendEncodedValue(*kept, text);
  } else {
    text->append(IncomingValue(position));
  }
}

void NamedValues::Take(std::string text, size_t pairs_at, bool decode_names,
                       const std::vector<StandIn>& stand_ins,
                       std::vector<std::pair<size_t, size_t>>* value_stand_ins) {
  // Offsets are 31 bits; the top bit tells the arena from the text.
  if (text.size() >= kInArena - text_.size()) throw std::bad_alloc();
  const size_t base = text_.size();
  const size_t arena_base = names_arena_.size();
  std::vector<Entry> added;
  std::string arena;  // decoded names, appended to names_arena_ below
  std::vector<std::pair<size_t, size_t>> value_hits;

  // The stand-in whose run this is, if any. Runs come in text order and a
  // stand-in is always a whole run, so one forward cursor suffices.
  size_t next_stand_in = 0;
  auto stand_in_at = [&](std::string_view run) -> std::optional<size_t> {
    if (run.empty()) return std::nullopt;
    const auto at = static_cast<size_t>(run.data() - text.data());
    while (next_stand_in < stand_ins.size() && stand_ins[next_stand_in].at < at) ++next_stand_in;
    if (next_stand_in < stand_ins.size() && stand_ins[next_stand_in].at == at) return next_stand_in;
    return std::nullopt;
  };
  auto in_arena = [&](size_t from) {
    if (arena_base + arena.size() >= kInArena) throw std::bad_alloc();
    return static_cast<uint32_t>(kInArena | (arena_base + from));
  };
  // The pairs lie from `pairs_at` on; positions stay those of the whole text.
  const std::string_view pairs = std::string_view(text).substr(pairs_at);
  // Every pair starts with a run of non-separators (no separator byte is
  // ever part of a multibyte character), so the runs bound the pairs: one
  // allocation, and its untouched tail costs no memory.
  added.reserve(CountPairRuns(pairs));
  WalkPairs(pairs, *cp_, [&](std::string_view name, std::string_view value) {
    Entry entry{};
    if (const std::optional<size_t> stand_in = stand_in_at(name)) {
      // Decoding the encoded bytes would give them back.
      const std::string_view bytes = UpToZero(stand_ins[*stand_in].bytes);
      const size_t from = arena.size();
      arena.append(bytes);
      entry.name_at = in_arena(from);
      entry.name_size = static_cast<uint32_t>(bytes.size());
    } else if (decode_names && NeedsDecoding(name)) {
      const size_t from = arena.size();
      arena.resize(from + name.size() + 1);
      const size_t decoded = DecodeValue(name, arena.data() + from, *cp_);
      arena.resize(from + UpToZero(std::string_view(arena.data() + from, decoded)).size());
      entry.name_at = in_arena(from);
      entry.name_size = static_cast<uint32_t>(arena.size() - from);
    } else {
      // Nothing to decode: the name is its run (which holds no zero byte).
      entry.name_at = static_cast<uint32_t>(base + (name.data() - text.data()));
      entry.name_size = static_cast<uint32_t>(name.size());
    }
    entry.value_at = static_cast<uint32_t>(base + (value.data() - text.data()));
    if (const std::optional<size_t> stand_in = stand_in_at(value)) {
      ReserveMore(&value_hits, 1);
      value_hits.emplace_back(entries_.size() + added.size(), *stand_in);
    } else {
      entry.value_size = static_cast<uint32_t>(value.size());
    }
    ReserveMore(&added, 1);
    added.push_back(entry);
  });
  if (value_stand_ins != nullptr) ReserveMore(value_stand_ins, value_hits.size());

  // Commit, and take it all back if the distinct names cannot be built.
  const size_t old_entries = entries_.size();
  const size_t old_names = data_names_.size();
  try {
    if (text_.empty()) {
      text_ = std::move(text);
    } else {
      text_.append(text);
    }
    if (names_arena_.empty()) {
      names_arena_ = std::move(arena);
    } else {
      names_arena_.append(arena);
    }
    if (entries_.empty()) {
      entries_ = std::move(added);
    } else {
      entries_.insert(entries_.end(), added.begin(), added.end());
    }
    auto name_of = [this](uint32_t e) { return IncomingName(e); };
    EntrySet seen(old_names);  // grows with the names actually distinct
    for (uint32_t e : data_names_) seen.FindOrInsert(e, name_of(e), name_of);
    std::vector<uint32_t> distinct;
    // The set outgrows the caches for a large form: ask for the slot of a
    // name a few entries ahead, so that its miss overlaps with this work.
    constexpr size_t kAhead = 8;
    for (size_t e = old_entries; e < entries_.size(); ++e) {
      if (e + kAhead < entries_.size()) {
        seen.Prefetch(name_of(static_cast<uint32_t>(e + kAhead)));
      }
      const auto entry = static_cast<uint32_t>(e);
      if (seen.FindOrInsert(entry, name_of(entry), name_of) == entry) {
        ReserveMore(&distinct, 1);
        distinct.push_back(entry);
      }
    }
    if (data_names_.empty()) {
      data_names_ = std::move(distinct);
    } else {
      ReserveMore(&data_names_, distinct.size());
      data_names_.insert(data_names_.end(), distinct.begin(), distinct.end());
    }
  } catch (...) {
    text_.resize(base);
    names_arena_.resize(arena_base);
    entries_.resize(old_entries);
    data_names_.resize(old_names);
    throw;
  }
  if (value_stand_ins != nullptr) {
    value_stand_ins->insert(value_stand_ins->end(), value_hits.begin(), value_hits.end());
  }
  index_.entries = SIZE_MAX;
}

void NamedValues::ClearIncoming() {
  text_.clear();
  names_arena_.clear();
  entries_.clear();
  data_names_.clear();
  index_ = KeyIndex{};
  index_.entries = SIZE_MAX;
  uploads_.clear();
  kept_in_.clear();
}

std::string_view NamedValues::IncomingName(size_t position) const {
  const Entry& e = entries_[position];
  if (e.name_at & kInArena) {
    return std::string_view(names_arena_).substr(e.name_at & ~kInArena, e.name_size);
  }
  return std::string_view(text_).substr(e.name_at, e.name_size);
}

std::string_view NamedValues::IncomingValue(size_t position) const {
  const Entry& e = entries_[position];
  return std::string_view(text_).substr(e.value_at, e.value_size);
}

std::vector<std::string> NamedValues::IncomingNames() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < entries_.size(); ++i) names.emplace_back(IncomingName(i));
  return names;
}

std::vector<std::string> NamedValues::IncomingValues() const {
  std::vector<std::string> values;
  for (size_t i = 0; i < entries_.size(); ++i) {
    std::string value;
    AppendIncomingValue(i, &value);
    values.push_back(std::move(value));
  }
  return values;
}

std::vector<std::string> NamedValues::DataNames() const {
  std::vector<std::string> names;
  for (uint32_t e : data_names_) names.emplace_back(IncomingName(e));
  return names;
}

int32_t NamedValues::DataNameCount() const { return static_cast<int32_t>(data_names_.size()); }

std::string_view NamedValues::DataName(int32_t index) const {
  if (index < 0 || static_cast<size_t>(index) >= data_names_.size()) {
    throw Error(kMsgBadIndex).WithIndex(index).WithDetail(
        Counted(data_names_.size(), u" name", u" names"));
  }
  return IncomingName(data_names_[static_cast<size_t>(index)]);
}

void NamedValues::BuildIndex() const {
  if (index_.entries == entries_.size()) return;
  // Built aside, so a failure leaves the old (stale) index to be rebuilt
  // on the next lookup.
  KeyIndex index;
  const size_t n = entries_.size();
  std::vector<uint32_t> group_of(n);
  std::string key_scratch;
  std::string first_scratch;
  index.slots.assign(16, 0);
  for (size_t i = 0; i < n; ++i) {
    const std::string_view key = UpperInto(IncomingName(i), *cp_, &key_scratch);
    const auto hash = static_cast<uint32_t>(KeyHash(key));
    // Keep the table at most half full.
    if (2 * (index.first.size() + 1) > index.slots.size()) {
      std::vector<uint32_t> bigger(2 * index.slots.size(), 0);
      const size_t mask = bigger.size() - 1;
      for (uint32_t g = 0; g < index.first.size(); ++g) {
        size_t s = index.hashes[g] & mask;
        while (bigger[s] != 0) s = (s + 1) & mask;
        bigger[s] = g + 1;
      }
      index.slots.swap(bigger);
    }
    const size_t mask = index.slots.size() - 1;
    for (size_t s = hash & mask;; s = (s + 1) & mask) {
      const uint32_t slot = index.slots[s];
      if (slot == 0) {
        index.first.push_back(static_cast<uint32_t>(i));
        index.hashes.push_back(hash);
        index.slots[s] = static_cast<uint32_t>(index.first.size());
        group_of[i] = static_cast<uint32_t>(index.first.size() - 1);
        break;
      }
      if (index.hashes[slot - 1] == hash &&
          UpperInto(IncomingName(index.first[slot - 1]), *cp_, &first_scratch) == key) {
        group_of[i] = slot - 1;
        break;
      }
    }
  }
  // Counting sort by group; positions ascend within each group because
  // they are visited in list order.
  index.offsets.assign(index.first.size() + 1, 0);
  for (uint32_t g : group_of) ++index.offsets[g + 1];
  for (size_t g = 1; g < index.offsets.size(); ++g) index.offsets[g] += index.offsets[g - 1];
  index.positions.resize(n);
  std::vector<uint32_t> fill(index.offsets.begin(), index.offsets.end() - 1);
  for (size_t i = 0; i < n; ++i) index.positions[fill[group_of[i]]++] = static_cast<uint32_t>(i);
  index.entries = n;
  index_ = std::move(index);
}

std::pair<const uint32_t*, size_t> NamedValues::Matches(std::string_view name) const {
  BuildIndex();
  if (index_.first.empty()) return {nullptr, 0};
  const std::string key = cp_->ToUpper(UpToZero(name));
  const auto hash = static_cast<uint32_t>(KeyHash(key));
  std::string scratch;
  const size_t mask = index_.slots.size() - 1;
  for (size_t s = hash & mask;; s = (s + 1) & mask) {
    const uint32_t slot = index_.slots[s];
    if (slot == 0) return {nullptr, 0};
    if (index_.hashes[slot - 1] == hash &&
        UpperInto(IncomingName(index_.first[slot - 1]), *cp_, &scratch) == key) {
      const uint32_t begin = index_.offsets[slot - 1];
      return {index_.positions.data() + begin, index_.offsets[slot] - begin};
    }
  }
}

int32_t NamedValues::SubIndexCount(std::string_view name) const {
  return static_cast<int32_t>(Matches(name).second);
}

std::optional<size_t> NamedValues::FindEntry(std::string_view name, int32_t sub_index) const {
  if (sub_index < 0) return std::nullopt;
  const auto [positions, count] = Matches(name);
  if (static_cast<size_t>(sub_index) >= count) return std::nullopt;
  return positions[sub_index];
}

size_t NamedValues::FindEntryOrThrow(std::string_view name, int32_t sub_index) const {
  std::optional<size_t> position = FindEntry(name, sub_index);
  if (!position) ThrowNotFound(name, sub_index);
  return *position;
}

void NamedValues::ThrowNotFound(std::string_view name, int32_t sub_index) const {
  Error error = not_found_ == NotFoundReport::kWithName
                    ? Error(kMsgNoParameter, cp_->ToUtf16(name))
                    : Error(kMsgNoParameter).WithParameter(cp_->ToUtf16(name));
  // The name is there, only not that often: say so, or the message reads
  // as if the name itself were missing.
  if (const size_t count = Matches(name).second; count != 0) {
    error.WithDetail(u", sub-index " + Decimal(sub_index) +
                     Counted(count, u" value by that name", u" values by that name"));
  }
  throw error;
}

std::string NamedValues::DecodedAt(size_t position) const {
  if (position >= entries_.size()) throw std::out_of_range("no incoming entry at that position");
  if (const std::string* kept = KeptAt(position)) return *kept;
  std::string bytes;
  AppendDecodedValue(IncomingValue(position), &bytes, *cp_);
  return bytes;
}

std::string NamedValues::GetString(std::string_view name, int32_t sub_index) const {
  std::string bytes = DecodedAt(FindEntryOrThrow(name, sub_index));
  const size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  return bytes;
}

std::string NamedValues::GetBytes(std::string_view name, int32_t sub_index) const {
  return DecodedAt(FindEntryOrThrow(name, sub_index));
}

void NamedValues::GetFile(std::string_view name, int32_t sub_index, const std::string& path) const {
  const std::string bytes = DecodedAt(FindEntryOrThrow(name, sub_index));
  if (!platform::WriteWholeFile(path, bytes)) {
    throw Error(kMsgFileWrite).WithFile(cp_->ToUtf16(path));
  }
}

std::string NamedValues::SessionText(std::string_view encoded_result) const {
  size_t size = kSessionMarker.size() + kResultName.size() + encoded_result.size();
  for (size_t i = 0; i < out_names_.size(); ++i) {
    size += out_names_[i].size() + OutgoingEncodedSize(i) + 2;
  }
  std::string text;
  text.reserve(size);
  text.append(kSessionMarker);
  for (size_t i = 0; i < out_names_.size(); ++i) {
    text.append(out_names_[i]);
    text.push_back('=');
    AppendOutgoingValue(i, &text);
    text.push_back('&');
  }
  text.append(kResultName);
  text.append(encoded_result);
  return text;
}

std::string NamedValues::RequestBody() const {
  std::string text;
  JoinOutgoing(&text);
  return text;
}

std::string NamedValues::RequestDataText() const {
  size_t size = kLineEnd.size();
  for (size_t i = 0; i < entries_.size(); ++i) {
    size += entries_[i].name_size + entries_[i].value_size + 2;
  }
  std::string text(kLineEnd);
  text.reserve(size);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i != 0) text.push_back('&');
    text.append(IncomingName(i));
    text.push_back('=');
    AppendIncomingValue(i, &text);
  }
  return text;
}

std::string NamedValues::OutgoingRequestDataText() const {
  std::string text(kLineEnd);
  JoinOutgoing(&text);
  return text;
}

RequestBodyReader::RequestBodyReader(const NamedValues& values) : values_(&values) {
  const size_t count = values.out_names_.size();
  for (size_t i = 0; i < count; ++i) {
    size_ += values.out_names_[i].size() + values.OutgoingEncodedSize(i) + 1;
  }
  if (count > 1) size_ += count - 1;  // the "&" between pairs
  part_ = 1;                          // the first pair has no "&" before it
}

size_t RequestBodyReader::Read(char* buffer, size_t room) {
  const NamedValues& v = *values_;
  size_t written = 0;
  // Copies the rest of `part` and says whether all of it went.
  auto copy = [&](std::string_view part) {
    const size_t n = std::min(room - written, part.size() - offset_);
    std::memcpy(buffer + written, part.data() + offset_, n);
    written += n;
    offset_ += n;
    return offset_ == part.size();
  };
  while (written < room && entry_ < v.out_names_.size()) {
    bool done = false;
    switch (part_) {
      case 0:
        done = copy("&");
        break;
      case 1:
        done = copy(v.out_names_[entry_]);
        break;
      case 2:
        done = copy("=");
        break;
      default: {
        const std::string& value = v.out_values_[entry_];
        if (v.out_kept_[entry_] == 0) {
          done = copy(value);
        } else {
          size_t consumed = 0;
          written += EncodeValuePiece(std::string_view(value).substr(offset_), buffer + written,
                                      room - written, &consumed);
          offset_ += consumed;
          done = offset_ == value.size();
        }
      }
    }
    if (!done) break;
    offset_ = 0;
    if (++part_ == 4) {
      part_ = 0;
      ++entry_;
    }
  }
  return written;
}

}  // namespace quillon::core

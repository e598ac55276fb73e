#include "quillon/core/data_store.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <stdexcept>
#include <iterator>
#include <unordered_set>
#include <utility>

#include "core/list_append.h"
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

}  // namespace

NamedValues::NamedValues(NotFoundReport not_found, const platform::CodePage& cp)
    : cp_(&cp), not_found_(not_found) {}

void NamedValues::Append(std::vector<std::string>* names, std::vector<std::string>* values,
                         std::string name, std::string value) {
  // Both reservations happen before either list changes, so a failure
  // leaves the lists as they were and they always stay the same length.
  ReserveMore(names, 1);
  ReserveMore(values, 1);
  names->push_back(std::move(name));
  values->push_back(std::move(value));
}

void NamedValues::AppendString(std::string_view name, std::string_view text) {
  Append(&out_names_, &out_values_, std::string(name), EncodeText(text));
}

void NamedValues::AppendBytes(std::string_view name, std::string_view bytes) {
  Append(&out_names_, &out_values_, std::string(name), EncodeValue(bytes));
}

void NamedValues::AppendBinary(std::string_view name, const com::VARIANT& value) {
  std::string bytes;
  if (!com::Variant::GetBytes(value, &bytes)) throw Error(kMsgBadBinaryData);
  AppendBytes(name, bytes);
}

void NamedValues::AppendFile(std::string_view name, const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, &bytes)) throw Error(kMsgFileRead);
  AppendBytes(name, bytes);
}

void NamedValues::ResetContents() {
  out_names_.clear();
  out_values_.clear();
}

void NamedValues::FillIncoming(std::string_view pair_text, bool decode_names) {
  std::vector<std::string> names;
  std::vector<std::string> values;
  SplitPairs(pair_text, &names, &values, *cp_);
  // Only the new names are decoded: names already in the list were decoded
  // when they arrived, and decoding them again would turn "%2B" into "+"
  // and then into a blank.
  if (decode_names) {
    for (std::string& name : names) name = DecodeName(name, *cp_);
  }
  CommitIncoming(std::move(names), std::move(values));
}

std::string NamedValues::DecodeName(std::string_view encoded, const platform::CodePage& cp) {
  std::string name = DecodeValue(encoded, cp);
  const size_t zero = name.find('\0');
  if (zero != std::string::npos) name.resize(zero);
  return name;
}

void NamedValues::CommitIncoming(std::vector<std::string> names, std::vector<std::string> values) {
  // Everything is built aside and committed with operations that cannot
  // throw, so a failure changes nothing.
  if (names.size() != values.size()) throw std::invalid_argument("names and values differ in count");
  std::vector<std::string> keys;
  keys.reserve(names.size());
  for (const std::string& name : names) keys.push_back(cp_->ToUpper(name));

  // The views point into data_names_ and names, neither of which moves
  // before the commit below.
  std::vector<std::string> distinct;
  std::unordered_set<std::string_view> seen(data_names_.begin(), data_names_.end());
  for (const std::string& name : names) {
    if (seen.insert(name).second) distinct.push_back(name);
  }

  ReserveMore(&in_names_, names.size());
  ReserveMore(&in_values_, values.size());
  ReserveMore(&in_keys_, keys.size());
  ReserveMore(&data_names_, distinct.size());
  MoveAppend(&in_names_, &names);
  MoveAppend(&in_values_, &values);
  MoveAppend(&in_keys_, &keys);
  MoveAppend(&data_names_, &distinct);
  index_.entries = SIZE_MAX;
}

void NamedValues::ClearIncoming() {
  in_names_.clear();
  in_values_.clear();
  in_keys_.clear();
  index_ = KeyIndex{};
  index_.entries = SIZE_MAX;
  data_names_.clear();
  upload_file_names_.clear();
  upload_content_types_.clear();
}

int32_t NamedValues::DataNameCount() const { return static_cast<int32_t>(data_names_.size()); }

const std::string& NamedValues::DataName(int32_t index) const {
  if (index < 0 || static_cast<size_t>(index) >= data_names_.size()) throw Error(kMsgBadIndex);
  return data_names_[static_cast<size_t>(index)];
}

namespace {

// A name as the store keeps it: text up to its first zero byte.
std::string_view UpToZero(std::string_view name) {
  const size_t zero = name.find('\0');
  return zero == std::string_view::npos ? name : name.substr(0, zero);
}

size_t KeyHash(std::string_view key) { return std::hash<std::string_view>()(key); }

}  // namespace

void NamedValues::BuildIndex() const {
  if (index_.entries == in_keys_.size()) return;
  if (in_keys_.size() >= UINT32_MAX) throw std::bad_alloc();
  // Built aside, so a failure leaves the old (stale) index to be rebuilt
  // on the next lookup.
  KeyIndex index;
  const size_t n = in_keys_.size();
  std::vector<uint32_t> group_of(n);
  index.slots.assign(16, 0);
  for (size_t i = 0; i < n; ++i) {
    const std::string& key = in_keys_[i];
    // Keep the table at most half full.
    if (2 * (index.first.size() + 1) > index.slots.size()) {
      std::vector<uint32_t> bigger(2 * index.slots.size(), 0);
      const size_t mask = bigger.size() - 1;
      for (uint32_t g = 0; g < index.first.size(); ++g) {
        size_t s = KeyHash(in_keys_[index.first[g]]) & mask;
        while (bigger[s] != 0) s = (s + 1) & mask;
        bigger[s] = g + 1;
      }
      index.slots.swap(bigger);
    }
    const size_t mask = index.slots.size() - 1;
    size_t s = KeyHash(key) & mask;
    for (;;) {
      const uint32_t slot = index.slots[s];
      if (slot == 0) {
        index.first.push_back(static_cast<uint32_t>(i));
        index.slots[s] = static_cast<uint32_t>(index.first.size());
        group_of[i] = static_cast<uint32_t>(index.first.size() - 1);
        break;
      }
      if (in_keys_[index.first[slot - 1]] == key) {
        group_of[i] = slot - 1;
        break;
      }
      s = (s + 1) & mask;
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
  const size_t mask = index_.slots.size() - 1;
  for (size_t s = KeyHash(key) & mask;; s = (s + 1) & mask) {
    const uint32_t slot = index_.slots[s];
    if (slot == 0) return {nullptr, 0};
    if (in_keys_[index_.first[slot - 1]] == key) {
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
  if (!position) ThrowNotFound(name);
  return *position;
}

void NamedValues::ThrowNotFound(std::string_view name) const {
  if (not_found_ == NotFoundReport::kWithName) throw Error(kMsgNoParameter, cp_->ToUtf16(name));
  throw Error(kMsgNoParameter);
}

std::string NamedValues::DecodedAt(size_t position) const {
  const std::string& encoded = in_values_.at(position);
  // The decoder never writes more than it reads, plus its terminator.
  std::string bytes(encoded.size() + 1, '\0');
  bytes.resize(DecodeValue(encoded, bytes.data(), *cp_));
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
  if (!platform::WriteWholeFile(path, bytes)) throw Error(kMsgFileWrite);
}

std::string NamedValues::SessionText(std::string_view encoded_result) const {
  size_t size = kSessionMarker.size() + kResultName.size() + encoded_result.size();
  for (size_t i = 0; i < out_names_.size(); ++i) {
    size += out_names_[i].size() + out_values_[i].size() + 2;
  }
  std::string text;
  text.reserve(size);
  text.append(kSessionMarker);
  for (size_t i = 0; i < out_names_.size(); ++i) {
    text.append(out_names_[i]);
    text.push_back('=');
    text.append(out_values_[i]);
    text.push_back('&');
  }
  text.append(kResultName);
  text.append(encoded_result);
  return text;
}

std::string NamedValues::RequestBody() const {
  std::string text;
  JoinPairs(out_names_, out_values_, &text);
  return text;
}

std::string NamedValues::RequestDataText() const {
  std::string text(kLineEnd);
  JoinPairs(in_names_, in_values_, &text);
  return text;
}

std::string NamedValues::OutgoingRequestDataText() const {
  std::string text(kLineEnd);
  JoinPairs(out_names_, out_values_, &text);
  return text;
}

}  // namespace quillon::core

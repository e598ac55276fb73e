#include "server/values.h"

#include <algorithm>
#include <iterator>

#include "core/list_append.h"
#include "quillon/component/errors.h"
#include "quillon/core/encoding.h"
#include "quillon/platform/files.h"

namespace quillon::server {

using core::MoveAppend;
using core::ReserveMore;

ServerValues::ServerValues(const platform::CodePage& cp)
    : store_(core::NotFoundReport::kWithName, cp) {}

void ServerValues::FillIncoming(std::string pair_text) {
  store_.TakeIncoming(std::move(pair_text), /*decode_names=*/true);
}

void ServerValues::AppendUploadInfo(const core::UploadInfo& uploads) {
  store_.uploads().AppendAll(uploads);
}

void ServerValues::FillIncomingWithStandIns(std::string pair_text,
                                            const std::vector<PartStandIn>& stand_ins,
                                            const core::UploadInfo& uploads) {
  std::vector<core::NamedValues::StandIn> runs;
  runs.reserve(stand_ins.size());
  for (const PartStandIn& stand_in : stand_ins)
    runs.push_back({stand_in.at, stand_in.slice.view()});
  std::vector<std::pair<size_t, size_t>> hits;  // entry, stand-in
  // Everything that may allocate happens before the store commits.
  ReserveMore(&slices_, stand_ins.size());
  hits.reserve(stand_ins.size());
  // The upload information first: taken back if the entries fail.
  core::UploadInfo before = store_.uploads();
  store_.uploads().AppendAll(uploads);
  try {
    store_.TakeIncoming(std::move(pair_text), /*decode_names=*/true, runs, &hits);
  } catch (...) {
    store_.uploads() = std::move(before);
    throw;
  }
  for (const auto& [entry, stand_in] : hits) slices_.emplace_back(entry, stand_ins[stand_in].slice);
}

const BodySlice* ServerValues::SliceAt(size_t position) const {
  auto it = std::lower_bound(slices_.begin(), slices_.end(), position,
                             [](const auto& entry, size_t p) { return entry.first < p; });
  return it != slices_.end() && it->first == position ? &it->second : nullptr;
}

std::string ServerValues::BytesAt(size_t position) const {
  if (const BodySlice* slice = SliceAt(position)) return std::string(slice->view());
  return store_.DecodedAt(position);
}

std::string ServerValues::GetString(std::string_view name, int32_t sub_index) const {
  const size_t position = store_.FindEntryOrThrow(name, sub_index);
  if (const BodySlice* slice = SliceAt(position)) {
    std::string_view bytes = slice->view();
    return std::string(bytes.substr(0, bytes.find('\0')));
  }
  return store_.GetString(name, sub_index);
}

std::string ServerValues::GetBytes(std::string_view name, int32_t sub_index) const {
  return BytesAt(store_.FindEntryOrThrow(name, sub_index));
}

void ServerValues::GetFile(std::string_view name, int32_t sub_index,
                           const std::string& path) const {
  if (!WriteValueTo(store_.FindEntryOrThrow(name, sub_index), path, false)) {
    throw Error(kMsgFileWrite).WithFile(store_.code_page().ToUtf16(path));
  }
}

bool ServerValues::WriteValueTo(size_t position, const std::string& path, bool create_new) const {
  auto write = [&](std::string_view bytes) {
    return create_new ? platform::WriteNewFile(path, bytes) : platform::WriteWholeFile(path, bytes);
  };
  // A slice goes straight from the body: an upload is written without a
  // second copy.
  if (const BodySlice* slice = SliceAt(position)) return write(slice->view());
  return write(store_.DecodedAt(position));
}

std::string ServerValues::RequestDataText() const {
  if (slices_.empty()) return store_.RequestDataText();
  std::string text("\r\n");
  for (size_t i = 0; i < store_.IncomingCount(); ++i) {
    if (i > 0) text.push_back('&');
    text.append(store_.IncomingName(i));
    text.push_back('=');
    if (const BodySlice* slice = SliceAt(i)) {
      core::AppendEncodedValue(slice->view(), &text);
    } else {
      text.append(store_.IncomingValue(i));
    }
  }
  return text;
}

}  // namespace quillon::server

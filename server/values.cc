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

void ServerValues::FillIncoming(std::string_view pair_text) { store_.FillIncoming(pair_text); }

void ServerValues::AppendUploadInfo(std::vector<std::string> upload_file_names,
                                    std::vector<std::string> upload_content_types) {
  ReserveMore(&store_.upload_file_names(), upload_file_names.size());
  ReserveMore(&store_.upload_content_types(), upload_content_types.size());
  MoveAppend(&store_.upload_file_names(), &upload_file_names);
  MoveAppend(&store_.upload_content_types(), &upload_content_types);
}

void ServerValues::CommitIncomingWithSlices(std::vector<std::string> names,
                                            std::vector<std::string> values,
                                            std::vector<std::pair<size_t, BodySlice>> slices,
                                            std::vector<std::string> upload_file_names,
                                            std::vector<std::string> upload_content_types) {
  // Everything that may allocate happens before the store commits.
  ReserveMore(&slices_, slices.size());
  ReserveMore(&store_.upload_file_names(), upload_file_names.size());
  ReserveMore(&store_.upload_content_types(), upload_content_types.size());
  const size_t first_new = store_.incoming_values().size();
  store_.CommitIncoming(std::move(names), std::move(values));
  for (auto& [entry, slice] : slices) slices_.emplace_back(first_new + entry, std::move(slice));
  MoveAppend(&store_.upload_file_names(), &upload_file_names);
  MoveAppend(&store_.upload_content_types(), &upload_content_types);
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
    throw Error(kMsgFileWrite);
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
  const std::vector<std::string>& names = store_.incoming_names();
  const std::vector<std::string>& values = store_.incoming_values();
  std::string text("\r\n");
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text.push_back('&');
    text.append(names[i]);
    text.push_back('=');
    if (const BodySlice* slice = SliceAt(i)) {
      core::AppendEncodedValue(slice->view(), &text);
    } else {
      text.append(values[i]);
    }
  }
  return text;
}

}  // namespace quillon::server

// The named values of one QServer: the toolkit's data store, with large
// uploaded parts kept as the body bytes that carried them.
//
// The store keeps every value encoded, which for a binary upload costs up
// to three bytes per byte on top of the body. An uploaded part is instead
// held as a slice of the body and answers every accessor with the same
// bytes the encoded form would decode to (decoding an encoded value always
// gives the bytes back: the encoding is pure ASCII, so no lead byte stops
// the decoder). Only SaveRequestData, which writes the encoded text, ever
// encodes it.
#ifndef QUILLON_SERVER_VALUES_H_
#define QUILLON_SERVER_VALUES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/core/data_store.h"
#include "quillon/platform/codepage.h"

namespace quillon::server {

// A run of bytes inside a buffer that `owner` keeps alive.
struct BodySlice {
  std::shared_ptr<const void> owner;
  std::string_view bytes;

  std::string_view view() const { return bytes; }
};

class ServerValues {
 public:
  explicit ServerValues(const platform::CodePage& cp = platform::ProcessCodePage());

  const platform::CodePage& code_page() const { return store_.code_page(); }

  // The outgoing list and the Set...Data operations live in the store.
  core::NamedValues& store() { return store_; }
  const core::NamedValues& store() const { return store_; }

  // FillIncoming of the store (names decoded, values encoded), keeping
  // `pair_text` without a copy.
  void FillIncoming(std::string pair_text);
  // A large part's bytes, standing in the pair text at `at` as one run.
  struct PartStandIn {
    size_t at;
    BodySlice slice;
  };
  // TakeIncoming of the store with names decoded: a stand-in met as a
  // value keeps its slice as the entry's value, one met as a name becomes
  // the name. Then the upload arrays are extended. All or nothing: on
  // std::bad_alloc nothing changed.
  void FillIncomingWithStandIns(std::string pair_text, const std::vector<PartStandIn>& stand_ins,
                                const core::UploadInfo& uploads);
  // Extends the upload arrays only (a multipart form without boundary).
  void AppendUploadInfo(const core::UploadInfo& uploads);

  // The decoded bytes of the incoming entry at `position`.
  std::string BytesAt(size_t position) const;
  // The typed accessors of the store, seeing slices as their bytes.
  std::string GetString(std::string_view name, int32_t sub_index) const;
  std::string GetBytes(std::string_view name, int32_t sub_index) const;
  void GetFile(std::string_view name, int32_t sub_index, const std::string& path) const;
  // Writes the decoded bytes of the entry at `position` to `path`: replacing
  // the file (WriteWholeFile) or, with `create_new`, creating it
  // exclusively (WriteNewFile). False with errno set when that fails.
  bool WriteValueTo(size_t position, const std::string& path, bool create_new) const;
  // "\r\n" and the incoming pairs, slices encoded.
  std::string RequestDataText() const;

  // Incoming entries held as slices (for tests and diagnostics).
  size_t slice_count() const { return slices_.size(); }

 private:
  const BodySlice* SliceAt(size_t position) const;

  core::NamedValues store_;
  // Sorted by position in the incoming list.
  std::vector<std::pair<size_t, BodySlice>> slices_;
};

}  // namespace quillon::server

#endif  // QUILLON_SERVER_VALUES_H_

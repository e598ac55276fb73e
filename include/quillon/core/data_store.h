// The named data store that the server object and the client control both
// keep: an outgoing list filled by the Set...Data operations, an incoming
// list filled once from what the other side sent, the distinct incoming
// names, and the typed accessors over them.
//
// Values are stored in their encoded form (see encoding.h): each accessor
// encodes on the way in and decodes on the way out, so a value stored as a
// string can be read back as bytes or as a file and the reverse. A large
// outgoing byte value (a file, a binary value) is the one exception: it is
// kept as its bytes and encoded only where a text or a body is made, since
// its encoded form is up to three times its size. Names and values are
// bytes in the store's code page; converting automation strings (UTF-16)
// is the caller's business.
//
// Errors: quillon::Error with the message numbers of errors.h;
// std::bad_alloc for exhausted memory. Every operation that fails leaves
// both lists (and the distinct names and upload arrays) exactly as they
// were.
//
// Threading: none; an object is used on the thread that owns it.
#ifndef QUILLON_CORE_DATA_STORE_H_
#define QUILLON_CORE_DATA_STORE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/component/types.h"
#include "quillon/platform/codepage.h"

namespace quillon::core {

// How a Get... operation reports a name that FindEntry does not find
// (message 10005).
enum class NotFoundReport {
  // Client control: the bare table text, Error(kMsgNoParameter).
  kBare,
  // Server object: the table text with the requested name appended after
  // its final full-width '=', Error(kMsgNoParameter, name as UTF-16).
  kWithName,
};

// Server only: the browser's file name and declared content type of each
// entry of a multipart form, held compactly (16 bytes an entry, texts in
// one arena); entries without a file have two empty texts.
class UploadInfo {
 public:
  size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  std::string_view file_name(size_t i) const;
  std::string_view content_type(size_t i) const;

  void Append(std::string_view file_name, std::string_view content_type);
  void AppendBlank(size_t count);
  // Appends all of `other`; on std::bad_alloc this list is unchanged.
  void AppendAll(const UploadInfo& other);
  void clear();

 private:
  struct Slot {
    uint32_t file_at, file_size, type_at, type_size;
  };
  std::string arena_;
  std::vector<Slot> slots_;
};

class NamedValues {
 public:
  // `cp` must outlive the store (the CodePage objects are process-wide).
  explicit NamedValues(NotFoundReport not_found = NotFoundReport::kBare,
                       const platform::CodePage& cp = platform::ProcessCodePage());

  const platform::CodePage& code_page() const { return *cp_; }

  // --- Outgoing list ------------------------------------------------------------
  // Entries are only appended; a name may occur any number of times.

  // SetStringData: appends (name, EncodeText(text)) - the text's bytes up
  // to its first zero byte.
  void AppendString(std::string_view name, std::string_view text);
  // Appends (name, EncodeValue(bytes)), all bytes, zero bytes included.
  // From kBytesKeptFrom bytes on, the bytes are kept and encoded later.
  void AppendBytes(std::string_view name, std::string_view bytes);
  static constexpr size_t kBytesKeptFrom = 64 * 1024;
  // SetFileData: appends the encoded bytes of the whole file at `path`.
  // A file that cannot be opened or read: Error(kMsgFileRead) (10002).
  void AppendFile(std::string_view name, const std::string& path);
  // Empties the outgoing list; the incoming list is untouched.
  void ResetContents();

  const std::vector<std::string>& outgoing_names() const { return out_names_; }
  // The values encoded (a copy: large byte values are encoded here).
  std::vector<std::string> outgoing_values() const;

  // --- Incoming list ---------------------------------------------------------------
  //
  // Held compactly, because a visitor decides how many pairs there are: the
  // pair text is kept once, entries are offsets into it (16 bytes each),
  // names that decoding changes live in one arena, and the distinct names
  // are entry numbers. Nothing upper-cased is stored; the lookup index
  // upper-cases on the fly.

  // Turns a pair text into incoming entries: SplitPairs appends to the
  // incoming list, the names of the newly appended entries are replaced by
  // their DecodeValue result when `decode_names` is true (the server; the
  // client keeps names as received) cut at the first zero byte the decoding
  // produced (a name is text, as the zero-terminated peers see it, so
  // "n%00m" is stored, found and saved as "n"), values stay encoded, and the
  // distinct names are extended with every new name not yet among them
  // (exact bytes). Entries already in the list are left as they are, so
  // calling it twice appends the second text's entries to the first's.
  // A text of 2 GiB or more fails with std::bad_alloc.
  void FillIncoming(std::string_view pair_text, bool decode_names = true);

  // A run of the pair text that stands for other bytes (see TakeIncoming).
  struct StandIn {
    size_t at;               // where the run starts in the text
    std::string_view bytes;  // what it stands for; must outlive the call
  };
  // FillIncoming without copying `pair_text` (the store keeps it). A run
  // that starts at one of `stand_ins` (sorted by `at`, each a whole run of
  // letters, digits, '%' or '+', as an encoded value would be) is taken for
  // the bytes it stands for: as a name, its bytes up to the first zero (what
  // decoding their encoded form would give); as a value, the entry's stored
  // value is empty and (entry position, stand-in index) is appended to
  // *value_stand_ins for the caller to keep the bytes. All or nothing.
  void TakeIncoming(std::string pair_text, bool decode_names,
                    const std::vector<StandIn>& stand_ins = {},
                    std::vector<std::pair<size_t, size_t>>* value_stand_ins = nullptr);
  // FillIncoming of the pair text that starts at `from` in `text` (the
  // client's answer, whose pairs follow the session marker), keeping the
  // whole text without copying it. `from` beyond the text gives no pairs.
  void TakeIncomingFrom(std::string text, size_t from, bool decode_names);
  // A value the answer's reader decoded while it arrived: `bytes` stand for
  // the run at `at` in the text (a placeholder run such as "0"), which the
  // pair walk must meet as a value. The bytes must be what decoding their
  // encoded form gives, and encoding them must give back the run as it
  // came, so every accessor and text sees the value unchanged.
  struct KeptValue {
    size_t at;
    std::string bytes;
  };
  // TakeIncomingFrom with values kept as bytes (`kept` sorted by `at`).
  void TakeIncomingFrom(std::string text, size_t from, bool decode_names,
                        std::vector<KeptValue> kept);
  // Empties the incoming list, the distinct names and the upload arrays
  // (the client does this before it parses a new answer).
  void ClearIncoming();

  size_t IncomingCount() const { return entries_.size(); }
  // The stored name / encoded value of the entry at `position` (<
  // IncomingCount()); valid until the incoming list changes. A value kept
  // as bytes (TakeIncomingFrom with kept values) reads empty here; the
  // accessors, the texts and IncomingValues see it whole.
  std::string_view IncomingName(size_t position) const;
  std::string_view IncomingValue(size_t position) const;
  // Copies, for tests and diagnostics.
  std::vector<std::string> IncomingNames() const;
  std::vector<std::string> IncomingValues() const;
  std::vector<std::string> DataNames() const;

  // Server only: upload information parallel to the incoming list (it may
  // be shorter than the list, or empty), filled by the request parser.
  // ClearIncoming empties it.
  UploadInfo& uploads() { return uploads_; }
  const UploadInfo& uploads() const { return uploads_; }

  // GetDataNameCount.
  int32_t DataNameCount() const;
  // GetDataName: the distinct name at `index`; index < 0 or >= count:
  // Error(kMsgBadIndex) (10004). Valid until the incoming list changes.
  std::string_view DataName(int32_t index) const;
  // GetSubIndexCount: how many incoming entries match `name` ignoring case
  // (multibyte-aware upper-casing in the store's code page); 0 when none.
  // Like a stored name, `name` ends at its first zero byte.
  int32_t SubIndexCount(std::string_view name) const;
  // The position in the incoming list of the entry that is the
  // `sub_index`-th (from 0) among those matching `name` ignoring case;
  // nullopt when there is none. A negative sub-index never matches.
  //
  // Both go through an index of the upper-cased names that is built on the
  // first lookup after the incoming list changed, so enumerating every
  // value of a large request costs time in proportion to its size.
  std::optional<size_t> FindEntry(std::string_view name, int32_t sub_index) const;
  // FindEntry, or the 10005 failure in this store's NotFoundReport style.
  size_t FindEntryOrThrow(std::string_view name, int32_t sub_index) const;
  // The 10005 failure for `name` in this store's NotFoundReport style (for
  // callers that look entries up themselves, e.g. upload information). In
  // English the description names the parameter, and `sub_index` when the
  // name is there but has fewer values.
  [[noreturn]] void ThrowNotFound(std::string_view name, int32_t sub_index) const;

  // GetStringData: the decoded value up to its first zero byte. Not found:
  // 10005.
  std::string GetString(std::string_view name, int32_t sub_index) const;
  // GetBinaryData: all decoded bytes, zero bytes included. Not found: 10005.
  std::string GetBytes(std::string_view name, int32_t sub_index) const;
  // GetFileData: creates or truncates `path` and writes all decoded bytes
  // (an empty value gives an empty file). Not found: 10005 (no file is
  // touched); cannot create or write: Error(kMsgFileWrite) (10003).
  void GetFile(std::string_view name, int32_t sub_index, const std::string& path) const;
  // The decoded bytes of the incoming entry at `position` (a FindEntry
  // result). position must be < IncomingCount().
  std::string DecodedAt(size_t position) const;

  // --- Texts ----------------------------------------------------------------------

  // The session text the server answers a client with: "QServerParams:",
  // then name "=" value "&" for every outgoing entry (the last one
  // included), then "QServerResult=" and `encoded_result` (already
  // encoded, see EncodeText). No line end.
  std::string SessionText(std::string_view encoded_result) const;
  // The client's request body: JoinPairs over the outgoing list with an
  // empty start ("" for an empty list; no prefix, no line end).
  std::string RequestBody() const;
  // The request-data text of the incoming list: "\r\n" then JoinPairs
  // (names as stored, values encoded).
  std::string RequestDataText() const;
  // The same over the outgoing list (the client's offline exchange).
  std::string OutgoingRequestDataText() const;

 private:
  friend class RequestBodyReader;
  // Appends an outgoing entry; `kept_encoded_size` is 0 for a value given
  // encoded, else the encoded length of `value`, which is kept as bytes.
  void AppendOutgoing(std::string name, std::string value, size_t kept_encoded_size);
  void AppendBytesOwned(std::string_view name, std::string bytes);
  // The encoded length of outgoing value i, and that value encoded
  // appended to *text.
  size_t OutgoingEncodedSize(size_t i) const;
  void AppendOutgoingValue(size_t i, std::string* text) const;
  // JoinPairs over the outgoing list, appended to *text.
  void JoinOutgoing(std::string* text) const;
  // TakeIncoming of the pairs from `from` on.
  void Take(std::string text, size_t pairs_at, bool decode_names,
            const std::vector<StandIn>& stand_ins,
            std::vector<std::pair<size_t, size_t>>* value_stand_ins);

  // The upper-cased names grouped: every distinct key once (open addressing
  // over the key's first position), and the positions of each key in list
  // order, one flat array for all keys.
  struct KeyIndex {
    size_t entries = 0;               // entries_ covered; SIZE_MAX: stale
    std::vector<uint32_t> slots;      // group + 1, 0 = free; size a power of 2
    std::vector<uint32_t> first;      // per group: its first position
    std::vector<uint32_t> hashes;     // per group: the hash of its key
    std::vector<uint32_t> offsets;    // per group + 1: start in `positions`
    std::vector<uint32_t> positions;  // grouped, each group in list order
  };
  // The positions of the entries whose key is `key` (empty when none).
  std::pair<const uint32_t*, size_t> Matches(std::string_view name) const;
  void BuildIndex() const;

  const platform::CodePage* cp_;
  NotFoundReport not_found_;
  mutable KeyIndex index_;
  std::vector<std::string> out_names_;
  std::vector<std::string> out_values_;
  // Per outgoing entry: 0 when out_values_ holds the encoded value, else
  // the encoded length of the bytes it holds.
  std::vector<size_t> out_kept_;
  // An incoming entry: where its name and encoded value lie. A name with
  // kInArena set in name_at lies in names_arena_, everything else in text_.
  struct Entry {
    uint32_t name_at;
    uint32_t name_size;
    uint32_t value_at;
    uint32_t value_size;
  };
  static constexpr uint32_t kInArena = 0x80000000u;
  // The pair texts, one after the other, and the decoded names.
  std::string text_;
  std::string names_arena_;
  std::vector<Entry> entries_;
  // Per distinct name, the entry where it first appears.
  std::vector<uint32_t> data_names_;
  UploadInfo uploads_;
  // Incoming values kept as bytes, by entry position (ascending).
  std::vector<std::pair<size_t, std::string>> kept_in_;
  const std::string* KeptAt(size_t position) const;
  // The encoded value of the entry at `position`, appended to *text.
  void AppendIncomingValue(size_t position, std::string* text) const;
};

// The client's request body (RequestBody) read out a buffer at a time,
// kept byte values encoded on the way: what a transport sends without
// making the body whole. The store's outgoing list must not change while a
// reader reads it.
class RequestBodyReader {
 public:
  explicit RequestBodyReader(const NamedValues& values);
  // The body's length in bytes.
  uint64_t size() const { return size_; }
  // Fills up to `room` bytes of `buffer` with what comes next and returns
  // their number; 0 at the end of the body. A `room` under 3 may get 0
  // before the end, when an escape comes next.
  size_t Read(char* buffer, size_t room);

 private:
  const NamedValues* values_;
  uint64_t size_ = 0;
  // Where reading stands: entry i, and in it a part (0 the "&", 1 the
  // name, 2 the "=", 3 the value) and an offset into that part.
  size_t entry_ = 0;
  int part_ = 0;
  size_t offset_ = 0;
};

}  // namespace quillon::core

#endif  // QUILLON_CORE_DATA_STORE_H_

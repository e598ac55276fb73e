#ifndef QUILLON_HTML_WRITER_H_
#define QUILLON_HTML_WRITER_H_

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "html/node.h"
#include "quillon/html/document.h"
#include "quillon/html/tag.h"

namespace quillon::html {

// One write of a tag and its subtree into a string or an output. Positions
// (the target's range, or every tag's range) are byte offsets into the
// string and are only meaningful when writing to one.
//
// Pieces are copied into the memory they end up in: the string itself
// (grown ahead, trimmed at the end), or, for an output that offers its
// text (DirectText), that text; other outputs get the page through a fixed
// chunk, a line at a time.
class Writer {
 public:
  // Indentation stops growing at this depth.
  static constexpr int kMaxIndentLevels = 256;

  using Spans = std::unordered_map<const Tag*, std::pair<size_t, size_t>>;

  // Appends to `*buffer` (after what it holds). `expected`: about how
  // many bytes will be written (the string is grown ahead by that much).
  Writer(const Document& doc, Form form, std::string* buffer, size_t expected = 0);
  // Writes to `out`.
  Writer(const Document& doc, Form form, Output* out);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer();

  void set_target(const Tag* tag) { target_ = tag; }
  void set_spans(Spans* spans) { spans_ = spans; }
  size_t target_begin() const { return target_begin_; }
  size_t target_end() const { return target_end_; }

  void Write(const Tag* tag, int level);

 private:
  struct Frame {
    const Tag* tag;
    size_t begin;
    uint32_t next;
    uint32_t count;  // children to write
    int level;
    int child_level;
    bool write_value;
    bool write_end;
  };

  struct PageFrame {
    const Tag* tag;
    const NameInfo* end;  // the name whose end tag follows the children, if any
    uint32_t next;
    uint32_t count;
    int level;
    int child_level;
    uint8_t flags;
  };
  // The page form of a tree in this document's memory, recording nothing.
  void WritePage(const Tag* root, int level);
  void Setup(const Document& doc);
  void Into(std::string* text, size_t expected);
  // Writes what comes before `tag`'s children; pushes a frame when its
  // children or a recorded range still need one, else closes it at once.
  void Open(const Tag* tag, int level);
  inline void Close(const Frame& f);

  // --- Output ---
  // The page's walk writes most tags in a few of these calls: Put and
  // LineIndent stay inlined there whatever else the walk grows by.
  [[gnu::always_inline]] void Put(const char* p, size_t n) {
    if (static_cast<size_t>(end_ - cur_) < n) {
      if (!Room(n)) return Pass(p, n);
    }
    CopyBytes(cur_, p, n);
    cur_ += n;
  }
  void Put(std::string_view text) { Put(text.data(), text.size()); }
  // A piece of a name (its start or end tag, a parameter's opening): a
  // std::string's buffer always holds at least 16 bytes, so a short one is
  // copied as one 16-byte block whatever its length, with no branch on the
  // length to mispredict; only its own bytes count.
  void PutName(const std::string& piece) {
    const size_t n = piece.size();
    if (n <= 16 && end_ - cur_ >= 16) {
      std::memcpy(cur_, piece.data(), 16);
      cur_ += n;
      return;
    }
    Put(piece.data(), n);
  }
  void Char(char c) {
    if (cur_ == end_) Room(1);
    *cur_++ = c;
  }
  // A value between double quotes: a quote inside becomes &quot;.
  void PutValue(const Param& p) {
    if (p.has_quote()) return PutQuoted(p.view());
    Put(p.value, p.size);
  }
  void PutQuoted(std::string_view v);
  // The parameters of a start tag (a text block's VALUE left out when
  // `skip_value`).
  void PutParams(const Tag* tag, const Arena* arena, bool skip_value);
  // The same for the page form of a tag of this document whose `list`
  // copies of it share: written out once per write, and then copied. Kept
  // out of the page's walk, which most tags pass without it.
  [[gnu::noinline]] void PutSharedParams(const Tag* tag, const AttrList* list);
  void Line();
  // A line end, then the indentation of `level`.
  [[gnu::always_inline]] void LineIndent(int level) {
    if (level > kMaxIndentLevels) level = kMaxIndentLevels;
    const size_t want = level > 0 ? static_cast<size_t>(level) * indent_unit_ : 0;
    if (indent_.size() < 2 + want) GrowIndent(2 + want);
    if (out_ || skip_line_end_) {
      Line();
      Put(indent_.data() + 2, want);
    } else {
      Put(indent_.data(), 2 + want);
    }
  }
  void GrowIndent(size_t size);
  // Makes room for `n` bytes; false when they must go past the chunk.
  bool Room(size_t n);
  // Moves the soft end of a string's memory on past the next `n` bytes.
  void Ahead(size_t n);
  void Pass(const char* p, size_t n);
  void Flush();
  // Trims a string written into to what was written and, writing into an
  // output's text, tells the output; once.
  void Finish();
  size_t Length() const { return buffer_ ? static_cast<size_t>(cur_ - start_) : 0; }
  // Not in place: through the chunk.

  bool page_;
  const Arena* arena_ = nullptr;
  NameId dummy_ = 0;
  NameId dummy_block_ = 0;
  const std::string* dummy_text_ = nullptr;
  const std::string* dummy_block_text_ = nullptr;
  const std::string* indent_code_ = nullptr;
  std::string indent_;  // CR LF, then the code repeated as deep as needed so far
  size_t indent_unit_ = 0;

  // Writing into a string: [start_, limit_) is its memory, of which
  // [start_, end_) is ready for writing (end_ is a soft end in a large one).
  std::string* buffer_ = nullptr;
  char* limit_ = nullptr;
  // Writing into an output's own text (DirectText), which is then also
  // buffer_: the output, its text, where its text stood before, and
  // whether anything (a line end that was left out included) went in since.
  Output* out_direct_ = nullptr;
  std::string* sink_ = nullptr;
  size_t direct_from_ = 0;
  bool touched_ = false;
  // A first line end that the output said to leave out, not yet met.
  bool skip_line_end_ = false;
  Output* out_ = nullptr;  // set when writing through calls
  static constexpr size_t kChunk = 8 * 1024;
  char chunk_storage_[kChunk];
  char* chunk_ = nullptr;
  char* start_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;

  // Parameter lists shared by copies of a tag (a table's rows), with the
  // text each gave, looked up by address: nothing changes a list while it
  // is written.
  struct SharedParams {
    const AttrList* list = nullptr;
    uint16_t offset = 0;
    uint16_t size = 0;
  };
  static constexpr size_t kSharedSlots = 16;
  static constexpr size_t kSharedText = 1024;
  SharedParams shared_[kSharedSlots];
  char shared_text_[kSharedText];
  size_t shared_used_ = 0;
  size_t passed_ = 0;  // bytes handed to the output so far

  std::vector<Frame> stack_;
  std::vector<PageFrame> page_stack_;
  const Tag* target_ = nullptr;
  size_t target_begin_ = 0;
  size_t target_end_ = 0;
  Spans* spans_ = nullptr;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_WRITER_H_

#ifndef QUILLON_HTML_WRITER_H_
#define QUILLON_HTML_WRITER_H_

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quillon/html/document.h"
#include "quillon/html/tag.h"

namespace quillon::html {

// One write of a tag and its subtree to an output or a buffer. Positions
// (the target's range, or every tag's range) are byte offsets into the
// buffer and are only meaningful when writing to one.
class Writer {
 public:
  // Indentation stops growing at this depth.
  static constexpr int kMaxIndentLevels = 256;

  using Spans = std::unordered_map<const Tag*, std::pair<size_t, size_t>>;

  Writer(const Document& doc, Form form, Output* out, std::string* buffer);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void set_target(const Tag* tag) { target_ = tag; }
  void set_spans(Spans* spans) { spans_ = spans; }
  size_t target_begin() const { return target_begin_; }
  size_t target_end() const { return target_end_; }

  void Write(const Tag* tag, int level);

 private:
  struct Frame {
    const Tag* tag;
    int level;
    int child_level;
    size_t begin;
    const Tags* children;  // null: the children are not written
    size_t next;
    bool write_value;
    bool write_end;
  };

  void Open(const Tag* tag, int level, std::vector<Frame>* stack);
  void Close(const Frame& f);
  // Every piece goes into a fixed chunk first: copying into it inlines,
  // where appending to a string is a call, and a tag is written in up to a
  // dozen pieces. The chunk goes on when full, at the end of the write and,
  // towards an output, at each line end: the output sees whole lines
  // instead of a virtual call per piece.
  void Text(std::string_view text) {
    if (text.size() > static_cast<size_t>(end_ - cur_)) {
      Flush();
      if (text.size() > kChunk) {
        Pass(text);
        return;
      }
    }
    std::memcpy(cur_, text.data(), text.size());
    cur_ += text.size();
  }
  void Char(char c) {
    if (cur_ == end_) Flush();
    *cur_++ = c;
  }
  void Line() {
    if (out_) {
      Flush();
      out_->LineEnd();
    } else {
      Text("\r\n");
    }
  }
  void Flush() {
    Pass(std::string_view(chunk_, static_cast<size_t>(cur_ - chunk_)));
    cur_ = chunk_;
  }
  void Pass(std::string_view text) {
    if (text.empty()) return;
    if (out_) {
      out_->AppendText(text);
    } else {
      buffer_->append(text);
    }
  }
  void Indent(int level);
  size_t Length() const {
    return out_ ? 0 : buffer_->size() + static_cast<size_t>(cur_ - chunk_);
  }

  const Document& doc_;
  bool page_;
  Output* out_;
  std::string* buffer_;
  std::string indent_;
  static constexpr size_t kChunk = 8 * 1024;
  char chunk_[kChunk];
  char* cur_ = chunk_;
  char* const end_ = chunk_ + kChunk;
  const Tag* target_ = nullptr;
  size_t target_begin_ = 0;
  size_t target_end_ = 0;
  Spans* spans_ = nullptr;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_WRITER_H_

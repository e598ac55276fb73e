#ifndef QUILLON_HTML_WRITER_H_
#define QUILLON_HTML_WRITER_H_

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
  // Towards an output the pieces of a line are gathered and handed over
  // whole: a tag is written in up to a dozen pieces, and each piece would
  // otherwise be a virtual call into the output and on to the response.
  void Text(std::string_view text) {
    if (out_) {
      pending_.append(text);
      if (pending_.size() >= kPendingLimit) Flush();
    } else {
      buffer_->append(text);
    }
  }
  void Char(char c) {
    if (out_) {
      pending_.push_back(c);
    } else {
      buffer_->push_back(c);
    }
  }
  void Line() {
    if (out_) {
      Flush();
      out_->LineEnd();
    } else {
      buffer_->append("\r\n");
    }
  }
  void Flush() {
    if (pending_.empty()) return;
    out_->AppendText(pending_);
    pending_.clear();
  }
  void Indent(int level);
  size_t Length() const { return out_ ? 0 : buffer_->size(); }

  const Document& doc_;
  bool page_;
  Output* out_;
  std::string* buffer_;
  std::string indent_;
  static constexpr size_t kPendingLimit = 16 * 1024;
  std::string pending_;
  const Tag* target_ = nullptr;
  size_t target_begin_ = 0;
  size_t target_end_ = 0;
  Spans* spans_ = nullptr;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_WRITER_H_

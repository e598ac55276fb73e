// Writing a tag tree back as HTML, in the page form or the master-page
// form. The walk keeps its own stack, so the depth of the tree does not
// reach the call stack.
#include "html/writer.h"

#include <algorithm>
#include <utility>

#include "html/internal.h"

namespace quillon::html {

namespace {
char* StringData(std::string* s) { return s->data(); }
}  // namespace

Writer::Writer(const Document& doc, Form form, std::string* buffer, size_t expected)
    : page_(form == Form::kPage) {
  Setup(doc);
  Into(buffer, expected);
}

Writer::Writer(const Document& doc, Form form, Output* out) : page_(form == Form::kPage) {
  Setup(doc);
  bool skip = false;
  chunk_ = chunk_storage_;
  start_ = cur_ = chunk_;
  end_ = chunk_ + kChunk;
  if (std::string* text = out->DirectText(&skip)) {
    // An output that keeps its text in one string gets the page appended
    // to it a chunk at a time, line ends included.
    skip_line_end_ = skip;
    out_direct_ = out;
    sink_ = text;
    direct_from_ = text->size();
    return;
  }
  out_ = out;
}

void Writer::Into(std::string* text, size_t expected) {
  // The string is written through its own memory, grown ahead of the
  // writing (the growth is zero-filled, hence a guess, not all capacity).
  buffer_ = text;
  const size_t used = text->size();
  text->resize(used + std::max<size_t>(expected + expected / 8, 4096));
  start_ = StringData(text);
  cur_ = start_ + used;
  end_ = start_ + text->size();
}

Writer::~Writer() { Finish(); }

void Writer::Finish() {
  if (buffer_) {
    // Whatever happened, a string keeps exactly what was written into it.
    buffer_->resize(static_cast<size_t>(cur_ - start_));
    buffer_ = nullptr;
    start_ = cur_ = end_ = nullptr;
  }
  if (out_direct_) {
    Output* out = std::exchange(out_direct_, nullptr);
    out->DirectTextEnd(touched_ || sink_->size() != direct_from_);
  }
}

void Writer::Setup(const Document& doc) {
  arena_ = doc.arena();
  dummy_ = doc.dummy_tag_id();
  dummy_block_ = doc.dummy_block_tag_id();
  dummy_text_ = &doc.DummyTagName();
  dummy_block_text_ = &doc.DummyBlockTagName();
  indent_code_ = &doc.IndentCode();
  indent_unit_ = indent_code_->size();
}

void Writer::Indent(int level) {
  if (level <= 0 || indent_unit_ == 0) return;
  // Every line of a page nested N levels deep would otherwise carry N
  // indentations: a template of a few hundred thousand unclosed elements
  // would write gigabytes. Deeper lines keep the deepest indentation.
  if (level > kMaxIndentLevels) level = kMaxIndentLevels;
  const size_t want = static_cast<size_t>(level) * indent_unit_;
  while (indent_.size() < want) indent_ += *indent_code_;
  Put(indent_.data(), want);
}

bool Writer::Room(size_t n) {
  if (buffer_) {
    const size_t used = static_cast<size_t>(cur_ - start_);
    buffer_->resize(std::max(buffer_->size() * 2, used + n + 4096));
    start_ = StringData(buffer_);
    cur_ = start_ + used;
    end_ = start_ + buffer_->size();
    return true;
  }
  Flush();
  return n <= kChunk;
}

void Writer::Pass(const char* p, size_t n) {
  if (n == 0) return;
  if (sink_) {
    sink_->append(p, n);
  } else {
    out_->AppendText(std::string_view(p, n));
  }
}

void Writer::Flush() {
  if (chunk_ && cur_ != start_) {
    const size_t n = static_cast<size_t>(cur_ - start_);
    cur_ = start_;
    Pass(start_, n);
  }
}

void Writer::Line() {
  if (out_) {
    // The output sees whole lines instead of a call per piece.
    Flush();
    out_->LineEnd();
    return;
  }
  if (skip_line_end_) {
    // Only a line end that would begin the text is left out.
    skip_line_end_ = false;
    touched_ = true;
    if (cur_ == start_ && sink_->size() == direct_from_) return;
  }
  Put("\r\n", 2);
}

void Writer::PutValue(const Param& p) {
  std::string_view v = p.view();
  if (p.has_quote()) {
    // A quote would end the value early and let the rest pass for markup.
    for (size_t at; (at = v.find('"')) != std::string_view::npos; v.remove_prefix(at + 1)) {
      Put(v.data(), at);
      Put("&quot;", 6);
    }
  }
  Put(v);
}

void Writer::Write(const Tag* root, int level) {
  stack_.clear();
  Open(root, level);
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    if (f.children && f.next < Node::KidCount(f.tag)) {
      const Tag* child = Node::Kid(f.tag, f.next++);
      Open(child, f.child_level);
      continue;
    }
    Close(f);
    stack_.pop_back();
  }
  Flush();
  Finish();
}

void Writer::Open(const Tag* tag, int level) {
  const NameInfo& info = Node::info(tag);
  const uint8_t flags = Node::flags(tag);
  const bool text_block = Named(tag, dummy_, *dummy_text_);
  const bool dummy_block = page_ && Named(tag, dummy_block_, *dummy_block_text_);
  if ((flags & Node::kBreakBefore) && !dummy_block) {
    if (flags & Node::kNoIndent) {
      if (!page_ || !Node::GetParam(tag, names::kValue).starts_with("<!--!")) Line();
    } else {
      Line();
      Indent(level);
    }
  }
  Frame& f = stack_.emplace_back();
  f.tag = tag;
  f.level = level;
  f.child_level = level;
  f.begin = Length();
  f.next = 0;
  f.children = true;
  f.write_value = false;
  f.write_end = false;
  const Tag* parent = Node::parent(tag);
  // Identifiers matter to the master form only.
  const std::string_view id = page_ || !parent ? std::string_view() : Node::Id(tag);
  const uint32_t count = Node::ParamCount(tag);
  const Param* params = Node::Params(tag);

  if (!parent && Node::name(tag) == names::kRoot) return;
  if (text_block &&
      (page_ || (id.empty() && (count == 0 || (count == 1 && params[0].name() == names::kValue))))) {
    const std::string_view value = Node::GetParam(tag, names::kValue);
    if (!page_ || !value.starts_with("<!--!")) Put(value);
    f.children = false;
    return;
  }
  if (dummy_block) return;
  Put(info.open);
  if (!id.empty()) {
    Put(" QLID=\"", 7);
    Put(id);
    Char('"');
  }
  for (uint32_t i = 0; i < count; ++i) {
    const Param& p = params[i];
    if (text_block && p.name() == names::kValue) continue;
    const NameInfo& name = Node::arena(tag)->Info(p.name());
    if (name.flags & NameInfo::kPrivate) continue;
    Char(' ');
    Put(name.text);
    if (p.view() != name.text) {
      Put("=\"", 2);
      PutValue(p);
      Char('"');
    }
  }
  Char('>');
  f.child_level = parent ? level + 1 : level;
  f.write_value = text_block;
  f.write_end = (flags & Node::kHasEndTag) != 0;
}

void Writer::Close(const Frame& f) {
  const Tag* tag = f.tag;
  if (f.write_value) Put(Node::GetParam(tag, names::kValue));
  if (f.write_end) {
    if (Node::flags(tag) & Node::kBreakBeforeEnd) {
      Line();
      Indent(f.level);
    }
    Put(Node::info(tag).close);
  }
  if (tag == target_) {
    target_begin_ = f.begin;
    target_end_ = Length();
  }
  if (spans_) (*spans_)[tag] = {f.begin, Length()};
}

}  // namespace quillon::html

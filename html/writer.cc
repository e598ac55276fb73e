// Writing a tag tree back as HTML, in the page form or the master-page
// form. The walk keeps its own stack, so the depth of the tree does not
// reach the call stack.
#include "html/writer.h"

#include <algorithm>

#include "html/internal.h"

namespace quillon::html {

Writer::Writer(const Document& doc, Form form, Output* out, std::string* buffer)
    : doc_(doc), page_(form == Form::kPage), out_(out), buffer_(buffer) {}

void Writer::Indent(int level) {
  const std::string& code = doc_.IndentCode();
  if (level <= 0 || code.empty()) return;
  // Every line of a page nested N levels deep would otherwise carry N
  // indentations: a template of a few hundred thousand unclosed elements
  // would write gigabytes. Deeper lines keep the deepest indentation.
  level = std::min(level, kMaxIndentLevels);
  size_t want = static_cast<size_t>(level) * code.size();
  while (indent_.size() < want) indent_ += code;
  Text(std::string_view(indent_).substr(0, want));
}

void Writer::Write(const Tag* root, int level) {
  std::vector<Frame> stack;
  Open(root, level, &stack);
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.children && f.next < f.children->entries_.size()) {
      const Tag* child = f.children->entries_[f.next++].tag.get();
      int child_level = f.child_level;
      Open(child, child_level, &stack);
      continue;
    }
    Close(f);
    stack.pop_back();
  }
  Flush();
}

void Writer::Open(const Tag* tag, int level, std::vector<Frame>* stack) {
  const std::string& name = tag->name_;
  const bool text_block = name == doc_.DummyTagName();
  const bool dummy_block = page_ && name == doc_.DummyBlockTagName();
  if (tag->break_before_ && !dummy_block) {
    if (tag->no_indent_) {
      if (!page_ || !tag->GetParam("VALUE").starts_with("<!--!")) Line();
    } else {
      Line();
      Indent(level);
    }
  }
  // The frame is made in its place on the stack and finished there: one
  // built aside and copied in is read back wider than it was written, which
  // stalls the copy on every tag.
  Frame& f = stack->emplace_back();
  f.tag = tag;
  f.level = level;
  f.child_level = level;
  f.begin = Length();
  f.children = tag->children_.get();
  f.next = 0;
  f.write_value = false;
  f.write_end = false;
  // Identifiers matter to the master form only.
  static const std::string kNoId;
  const std::string& id = page_ ? kNoId : tag->ID();

  if (name == "ROOT" && !tag->owner_) return;
  if (text_block &&
      (page_ || (id.empty() && (tag->params_.empty() ||
                                (tag->params_.size() == 1 && tag->params_[0].name == "VALUE"))))) {
    const std::string& value = tag->GetParam("VALUE");
    if (!page_ || !value.starts_with("<!--!")) Text(value);
    f.children = nullptr;
    return;
  }
  if (dummy_block) return;
  Char('<');
  Text(name);
  if (!page_ && tag->owner_ && !id.empty()) {
    Text(" QLID=\"");
    Text(id);
    Char('"');
  }
  for (const Tag::Param& p : tag->params_) {
    if ((text_block && p.name == "VALUE") || p.name.starts_with('!')) continue;
    Char(' ');
    Text(p.name);
    if (p.value != p.name) {
      Text("=\"");
      Text(p.value);
      Char('"');
    }
  }
  Char('>');
  f.child_level = tag->owner_ ? level + 1 : level;
  f.write_value = text_block;
  f.write_end = tag->has_end_tag_;
}

void Writer::Close(const Frame& f) {
  const Tag* tag = f.tag;
  if (f.write_value) Text(tag->GetParam("VALUE"));
  if (f.write_end) {
    if (tag->break_before_end_) {
      Line();
      Indent(f.level);
    }
    Text("</");
    Text(tag->name_);
    Char('>');
  }
  if (tag == target_) {
    target_begin_ = f.begin;
    target_end_ = Length();
  }
  if (spans_) (*spans_)[tag] = {f.begin, Length()};
}

}  // namespace quillon::html

// Writing a tag tree back as HTML, in the page form or the master-page
// form. The walk keeps its own stack, so the depth of the tree does not
// reach the call stack.
#include "html/writer.h"

#include <sys/mman.h>

#include <algorithm>
#include <utility>

#include "html/internal.h"
#include "quillon/component/runtime.h"

namespace quillon::html {

namespace {

char* StringData(std::string* s) { return s->data(); }

// A large page is written into memory faulted in a stretch at a time.
constexpr size_t kStretch = 256 * 1024;

// Grows `s` to `size` bytes whose new ones are about to be written: left
// as they are where the library allows it, instead of zeroed first. A
// string of several MiB is written front to back once, the use huge pages
// suit (a fault per 2 MiB instead of per 4 KiB): it is offered them as the
// runtime's other large buffers are.
void GrowForWriting(std::string* s, size_t size) {
#if defined(__cpp_lib_string_resize_and_overwrite)
  s->resize_and_overwrite(size, [](char*, size_t n) { return n; });
#else
  s->resize(size);
#endif
  com::AdviseLargeBuffer(s->data(), s->size());
}

}  // namespace

Writer::Writer(const Document& doc, Form form, std::string* buffer, size_t expected)
    : page_(form == Form::kPage) {
  Setup(doc);
  Into(buffer, expected);
}

Writer::Writer(const Document& doc, Form form, Output* out) : page_(form == Form::kPage) {
  Setup(doc);
  bool skip = false;
  if (std::string* text = out->DirectText(&skip)) {
    // An output that keeps its text in one string (a response) gets the
    // page written into that string's memory, line ends included, as a
    // string of our own would.
    skip_line_end_ = skip;
    out_direct_ = out;
    sink_ = text;
    direct_from_ = text->size();
    Into(text, 0);
    return;
  }
  chunk_ = chunk_storage_;
  start_ = cur_ = chunk_;
  end_ = chunk_ + kChunk;
  out_ = out;
}

void Writer::Into(std::string* text, size_t expected) {
  // The string is written through its own memory, grown ahead of the
  // writing by a guess of the page's size.
  buffer_ = text;
  const size_t used = text->size();
  GrowForWriting(text, used + std::max<size_t>(expected + expected / 8, 4096));
  start_ = StringData(text);
  cur_ = start_ + used;
  limit_ = start_ + text->size();
  Ahead(0);
}

Writer::~Writer() { Finish(); }

void Writer::Finish() {
  if (buffer_) {
    // Whatever happened, a string keeps exactly what was written into it.
    buffer_->resize(static_cast<size_t>(cur_ - start_));
    buffer_ = nullptr;
    start_ = cur_ = end_ = limit_ = nullptr;
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

void Writer::GrowIndent(size_t size) {
  // Every line of a page nested N levels deep would otherwise carry N
  // indentations: a template of a few hundred thousand unclosed elements
  // would write gigabytes. Deeper lines keep the deepest indentation.
  if (indent_.empty()) indent_ = "\r\n";
  while (indent_.size() < size) indent_ += *indent_code_;
}

bool Writer::Room(size_t n) {
  if (buffer_) {
    if (static_cast<size_t>(limit_ - cur_) < n) {
      const size_t used = static_cast<size_t>(cur_ - start_);
      GrowForWriting(buffer_, std::max(buffer_->size() * 2, used + n + 4096));
      start_ = StringData(buffer_);
      cur_ = start_ + used;
      limit_ = start_ + buffer_->size();
    }
    Ahead(n);
    return true;
  }
  Flush();
  return n <= kChunk;
}

void Writer::Ahead(size_t n) {
  // A large page's string is new memory more often than not (the last
  // page's was handed to the caller): the next stretch is faulted in with
  // one call. Memory written before is left as it is, as walking its pages
  // again costs about as much as writing them; one page tells which it is.
  end_ = limit_;
  const size_t left = static_cast<size_t>(limit_ - cur_);
  const size_t want = std::max(kStretch, n);
  if (left < 2 * kStretch || want >= left) return;
  end_ = cur_ + want;
  constexpr uintptr_t kPage = 4096;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(cur_) + kPage - 1) & ~(kPage - 1);
  unsigned char resident = 0;
  if (first + kPage <= reinterpret_cast<uintptr_t>(end_) &&
      mincore(reinterpret_cast<void*>(first), kPage, &resident) == 0 && (resident & 1) == 0) {
    FaultInPages(cur_, end_);
  }
}

void Writer::Pass(const char* p, size_t n) {
  if (n == 0) return;
  passed_ += n;
  out_->AppendText(std::string_view(p, n));
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
    if (static_cast<size_t>(cur_ - start_) == direct_from_) return;
  }
  Put("\r\n", 2);
}

void Writer::PutParams(const Tag* tag, const Arena* arena, bool skip_value) {
  for (uint32_t i = 0, n = Node::ParamCount(tag); i < n; ++i) {
    const Param p = Node::ParamAt(tag, i);
    if (skip_value && p.name() == names::kValue) continue;
    const NameInfo& name = arena->Info(p.name());
    // Names starting with "!" are the page's private data, never written.
    if (name.flags & NameInfo::kPrivate) continue;
    // A value that is its name is written bare; most values differ from
    // their name in the first byte already.
    if (p.size == name.text.size() && (p.size == 0 || *p.value == name.text[0]) &&
        p.view() == name.text) {
      PutName(name.bare);
    } else {
      PutName(name.attr);
      PutValue(p);
      Char('"');
    }
  }
}

void Writer::PutSharedParams(const Tag* tag, const AttrList* list) {
  SharedParams& slot =
      shared_[(reinterpret_cast<uintptr_t>(list) / sizeof(AttrList)) % kSharedSlots];
  if (slot.list == list) return Put(shared_text_ + slot.offset, slot.size);
  const size_t passed = passed_;
  const size_t at = static_cast<size_t>(cur_ - start_);
  PutParams(tag, arena_, false);
  // Kept only when all of it is still in memory (nothing went out to the
  // output meanwhile; a string that grew moved it, but it stands at the same
  // offset) and there is room for it.
  const size_t n = static_cast<size_t>(cur_ - start_) - at;
  if (passed_ != passed || n > kSharedText - shared_used_) return;
  std::memcpy(shared_text_ + shared_used_, start_ + at, n);
  slot = SharedParams{list, static_cast<uint16_t>(shared_used_), static_cast<uint16_t>(n)};
  shared_used_ += n;
}

void Writer::PutQuoted(std::string_view v) {
  // A quote would end the value early and let the rest pass for markup.
  for (size_t at; (at = v.find('"')) != std::string_view::npos; v.remove_prefix(at + 1)) {
    Put(v.data(), at);
    Put("&quot;", 6);
  }
  Put(v);
}

inline void Writer::Close(const Frame& f) {
  const Tag* tag = f.tag;
  if (f.write_value) Put(Node::GetParam(tag, names::kValue));
  if (f.write_end) {
    if (Node::flags(tag) & Node::kBreakBeforeEnd) LineIndent(f.level);
    Put(Node::info(tag).close);
  }
  if (tag == target_) {
    target_begin_ = f.begin;
    target_end_ = Length();
  }
  if (spans_) (*spans_)[tag] = {f.begin, Length()};
}

void Writer::Write(const Tag* root, int level) {
  // The page form of a tree of this document's memory with no ranges to
  // record is what every page request writes: its own lean walk.
  if (page_ && !target_ && !spans_ && Node::arena(root) == arena_) {
    WritePage(root, level);
    Flush();
    Finish();
    return;
  }
  stack_.clear();
  Open(root, level);
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    if (f.next < f.count) {
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

void Writer::WritePage(const Tag* root, int level) {
  page_stack_.clear();
  // Writes `tag`'s start (or all of it); true when its children follow.
  // Inlined: it runs once per tag, and most tags are a few bytes of output.
  auto open = [&](const Tag* tag, int lvl) __attribute__((always_inline)) {
    const uint8_t flags = Node::flags(tag);
    const NameId name = Node::name(tag);
    if (name == dummy_) {
      const std::string_view value = Node::GetParam(tag, names::kValue);
      const bool template_only = value.size() >= 5 && std::memcmp(value.data(), "<!--!", 5) == 0;
      if (flags & Node::kBreakBefore) {
        if (!(flags & Node::kNoIndent)) {
          LineIndent(lvl);
        } else if (!template_only) {
          Line();
        }
      }
      if (!template_only) Put(value);
      return;
    }
    const uint32_t kids = Node::KidCount(tag);
    if (name == dummy_block_) {
      if (kids > 0) page_stack_.push_back(PageFrame{tag, nullptr, 0, kids, lvl, lvl, 0});
      return;
    }
    if (flags & Node::kBreakBefore) {
      if (!(flags & Node::kNoIndent)) {
        LineIndent(lvl);
      } else if (!Node::GetParam(tag, names::kValue).starts_with("<!--!")) {
        Line();
      }
    }
    const Tag* parent = Node::parent(tag);
    if (!parent && name == names::kRoot) {
      if (kids > 0) page_stack_.push_back(PageFrame{tag, nullptr, 0, kids, lvl, lvl, 0});
      return;
    }
    const NameInfo& info = arena_->Info(name);
    PutName(info.open);
    // Most start tags of a copied row carry no parameter to write (an
    // identifier is not one).
    if (Node::ParamCount(tag) != 0) {
      const AttrList* list = Node::attrs(tag);
      if (list != nullptr && list->sharers != 0) {
        PutSharedParams(tag, list);
      } else {
        PutParams(tag, arena_, false);
      }
    }
    Char('>');
    if (kids > 0) {
      // The end tag's text is looked up once, with the start tag's.
      page_stack_.push_back(PageFrame{tag, (flags & Node::kHasEndTag) ? &info : nullptr, 0, kids,
                                      lvl, parent ? lvl + 1 : lvl, flags});
    } else if (flags & Node::kHasEndTag) {
      if (flags & Node::kBreakBeforeEnd) LineIndent(lvl);
      PutName(info.close);
    }
  };
  open(root, level);
  while (!page_stack_.empty()) {
    PageFrame& f = page_stack_.back();
    if (f.next < f.count) {
      const Tag* child = Node::Kid(f.tag, f.next++);
      open(child, f.child_level);
      continue;
    }
    const NameInfo* end = f.end;
    const int lvl = f.level;
    const uint8_t flags = f.flags;
    page_stack_.pop_back();
    if (end != nullptr) {
      if (flags & Node::kBreakBeforeEnd) LineIndent(lvl);
      PutName(end->close);
    }
  }
}

void Writer::Open(const Tag* tag, int level) {
  const uint8_t flags = Node::flags(tag);
  bool text_block;
  bool dummy_block;
  if (Node::arena(tag) == arena_) {
    const NameId name = Node::name(tag);
    text_block = name == dummy_;
    dummy_block = page_ && name == dummy_block_;
  } else {
    // A tag the document left behind in other memory (held elsewhere).
    const std::string& name = Node::info(tag).text;
    text_block = name == *dummy_text_;
    dummy_block = page_ && name == *dummy_block_text_;
  }
  if ((flags & Node::kBreakBefore) && !dummy_block) {
    if (flags & Node::kNoIndent) {
      if (!page_ || !Node::GetParam(tag, names::kValue).starts_with("<!--!")) Line();
    } else {
      LineIndent(level);
    }
  }
  Frame f;
  f.tag = tag;
  f.level = level;
  f.child_level = level;
  f.begin = Length();
  f.next = 0;
  f.count = Node::KidCount(tag);
  f.write_value = false;
  f.write_end = false;
  const Tag* parent = Node::parent(tag);
  // Identifiers matter to the master form only.
  const std::string_view id = page_ || !parent ? std::string_view() : Node::Id(tag);
  const uint32_t params = Node::ParamCount(tag);

  if (!parent && Node::name(tag) == names::kRoot) {
    // A ROOT writes only its children.
  } else if (text_block &&
             (page_ || (id.empty() && (params == 0 ||
                                       (params == 1 && Node::ParamAt(tag, 0).name() == names::kValue))))) {
    const std::string_view value = Node::GetParam(tag, names::kValue);
    if (!page_ || !value.starts_with("<!--!")) Put(value);
    f.count = 0;
  } else if (!dummy_block) {
    const Arena* arena = Node::arena(tag);
    Put(arena->Info(Node::name(tag)).open);
    if (!id.empty()) {
      Put(" QLID=\"", 7);
      Put(id);
      Char('"');
    }
    PutParams(tag, arena, text_block);
    Char('>');
    f.child_level = parent ? level + 1 : level;
    f.write_value = text_block;
    f.write_end = (flags & Node::kHasEndTag) != 0;
  }
  // A tag without children to write is closed at once; only those with
  // children (or a range to record) wait on the stack.
  if (f.count > 0 || target_ || spans_) {
    stack_.push_back(f);
  } else {
    Close(f);
  }
}

}  // namespace quillon::html

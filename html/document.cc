#include "quillon/html/document.h"

#include <algorithm>

#include "html/internal.h"
#include "html/search.h"
#include "html/writer.h"
#include "quillon/component/errors.h"
#include "quillon/platform/files.h"

namespace quillon::html {

Output::~Output() = default;

DocumentLink::DocumentLink(Document* doc) : doc_(doc), pool_(ChunkSource()) {}

Document::Document() : Document(platform::ProcessCodePage()) {}

Document::Document(const platform::CodePage& code_page)
    : code_page_(&code_page), link_(new DocumentLink(this)), root_(Tag::New(link_.get())) {
  Clear();
}

Document::~Document() {
  // The tree goes while the document can still answer its tags; tags held
  // elsewhere then see no document.
  link_->memory_.keep_blocks = true;
  root_ = nullptr;
  link_->memory_.keep_blocks = false;
  link_->doc_ = nullptr;
}

void Document::Clear() {
  root_->RemoveAll();
  root_->Init(link_.get(), nullptr, "HTML", 0);
  root_->Add("", "HEAD");
  root_->Add("", "BODY");
}

void Document::Load(const std::string& file_name) {
  std::string text;
  if (!platform::ReadWholeFile(file_name, &text)) throw Error(kMsgFileRead);
  Parse(text);
}

void Document::SetMasterPage(std::string_view page_data) { Parse(page_data); }

void Document::Parse(std::string_view text) {
  find_.scope = nullptr;
  find_.last = nullptr;
  ParseDocument(this, text);
}

// ---------------------------------------------------------------------------
// Writing

void Document::WriteTag(const Tag* tag, int level, Form form) {
  Writer writer(*this, form, output_, &page_buffer_);
  writer.Write(tag, level);
}

std::string Document::WriteToBuffer(Form form) {
  output_ = nullptr;
  page_buffer_.clear();
  // The previous page is the best guess of this one's size.
  page_buffer_.reserve(last_page_size_);
  WriteTag(root_.get(), 0, form);
  last_page_size_ = page_buffer_.size();
  std::string out;
  out.swap(page_buffer_);
  return out;
}

std::string Document::GetPageData() { return WriteToBuffer(Form::kPage); }
std::string Document::GetMasterPage() { return WriteToBuffer(Form::kMasterPage); }

void Document::Save(const std::string& file_name) {
  if (!platform::WriteWholeFile(file_name, WriteToBuffer(Form::kPage))) {
    throw Error(kMsgFileWrite);
  }
}

void Document::SaveMasterPage(const std::string& file_name) {
  if (!platform::WriteWholeFile(file_name, WriteToBuffer(Form::kMasterPage))) {
    throw Error(kMsgFileWrite);
  }
}

void Document::WriteTo(Output* output) {
  if (output == nullptr) throw Error(kMsgBadOutputObject);
  output_ = output;
  WriteTag(root_.get(), 0, Form::kPage);
}

// ---------------------------------------------------------------------------
// Text positions

void Document::TagToTextPos(bool use_master_page, const Tag* tag, int32_t* begin,
                            int32_t* end) {
  output_ = nullptr;
  page_buffer_.clear();
  Writer writer(*this, use_master_page ? Form::kMasterPage : Form::kPage, nullptr,
                &page_buffer_);
  writer.set_target(tag);
  writer.Write(root_.get(), 0);
  std::string_view text = page_buffer_;
  *begin = static_cast<int32_t>(Utf16Length(*code_page_, text.substr(0, writer.target_begin())));
  *end = static_cast<int32_t>(Utf16Length(*code_page_, text.substr(0, writer.target_end())));
  page_buffer_.clear();
}

Ref<Tag> Document::TextPosToTag(bool use_master_page, int32_t pos) {
  // One write records every tag's range; the descent then reads the ranges
  // instead of writing the page again for each child it looks at. The
  // ranges are the same ones a write per child would find.
  output_ = nullptr;
  page_buffer_.clear();
  Writer::Spans spans;
  Writer writer(*this, use_master_page ? Form::kMasterPage : Form::kPage, nullptr,
                &page_buffer_);
  writer.set_spans(&spans);
  writer.Write(root_.get(), 0);
  std::string_view text = page_buffer_;
  size_t units = static_cast<size_t>(std::max<int32_t>(pos, 0));
  size_t offset = BytesForUtf16(*code_page_, text, units);

  Tag* current = root_.get();
  for (;;) {
    Tag* inside = nullptr;
    if (Tags* children = current->children_if_any()) {
      for (const auto& e : children->entries_) {
        auto it = spans.find(e.tag.get());
        if (it == spans.end()) continue;
        if (it->second.first <= offset && offset < it->second.second) {
          inside = e.tag.get();
          break;
        }
      }
    }
    if (!inside) break;
    current = inside;
  }
  page_buffer_.clear();
  return Ref<Tag>(current);
}

// ---------------------------------------------------------------------------
// The tree

Ref<Tag> Document::Head() const {
  Tags* top = root_->children_if_any();
  return top ? top->Item(0) : nullptr;
}

Ref<Tag> Document::Body() const {
  Tags* top = root_->children_if_any();
  return top ? top->Item(1) : nullptr;
}

Ref<Tag> Document::Item(std::string_view key) const {
  std::string upper = Upper(*code_page_, key);
  if (upper == "HEAD") return Head();
  if (upper == "BODY") return Body();
  throw Error(kMsgBadIndex);
}

Ref<Tag> Document::Item(int32_t index) const {
  if (index == 0) return Head();
  if (index == 1) return Body();
  throw Error(kMsgBadIndex);
}

namespace {

Tag* ChildNamed(const Tag* tag, std::string_view name) {
  Tags* children = tag ? tag->children_if_any() : nullptr;
  if (!children) return nullptr;
  for (int32_t i = 0; i < children->Count(); ++i) {
    if (children->At(i)->TagName() == name) return children->At(i);
  }
  return nullptr;
}

}  // namespace

std::string Document::Title() const {
  Tag* title = ChildNamed(ChildNamed(root_.get(), "HEAD"), "TITLE");
  return title ? title->Text() : std::string();
}

void Document::SetTitle(std::string_view title) {
  Tag* head = ChildNamed(root_.get(), "HEAD");
  if (!head) return;
  Ref<Tag> tag(ChildNamed(head, "TITLE"));
  if (!tag) tag = head->Add("", "TITLE");
  tag->SetText(title);
}

std::string Document::Text() const {
  Tag* body = ChildNamed(root_.get(), "BODY");
  return body ? body->Text() : std::string();
}

void Document::SetText(std::string_view text) {
  if (Tag* body = ChildNamed(root_.get(), "BODY")) body->SetText(text);
}

// ---------------------------------------------------------------------------
// Find state

Ref<Tag> Document::FindNext() { return Search::Next(this); }

void Document::SetFindPosition(Tag* current) {
  find_.last = current;
  find_.trusted = false;
}

bool Document::Contains(const Tag* tag) const {
  const Tag* t = tag;
  while (t->parent()) t = t->parent();
  return t == root_.get();
}

void Document::Forget(const Tag* tag) {
  if (find_.scope == tag) find_.scope = nullptr;
  if (find_.last == tag) find_.last = nullptr;
}

// ---------------------------------------------------------------------------
// Settings

void Document::SetDummyTagName(std::string_view name) {
  dummy_tag_name_ = Upper(*code_page_, name);
}

void Document::SetDummyBlockTagName(std::string_view name) {
  dummy_block_tag_name_ = Upper(*code_page_, name);
}

}  // namespace quillon::html

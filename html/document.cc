#include "quillon/html/document.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "html/arena.h"
#include "html/internal.h"
#include "html/node.h"
#include "html/search.h"
#include "html/template_cache.h"
#include "html/writer.h"
#include "quillon/component/errors.h"
#include "quillon/platform/files.h"

namespace quillon::html {

Output::~Output() = default;

std::string* Output::DirectText(bool* /*skip_leading_line_end*/) { return nullptr; }

void Output::DirectTextEnd(bool /*touched*/) {}

Document::Document() : Document(platform::ProcessCodePage()) {}

Document::Document(const platform::CodePage& code_page)
    : code_page_(&code_page), link_(new DocumentLink(this)) {
  Arena* arena = Arena::Create(link_.get());
  try {
    root_ = Node::MakeOwn(arena, names::kHtml);
  } catch (...) {
    arena->Disown();
    throw;
  }
  Node::refs(root_) = 1;  // the document's own hold, for its whole life
  RefreshNames();
  Clear();
}

Document::~Document() {
  Arena* arena = Node::arena(root_);
  if (arena->held() == 0) {
    // Nobody holds any tag of the tree: it goes with its memory in one
    // piece, without a walk through it.
    Node::DestroyOwn(root_);
    arena->Destroy();
  } else {
    // The tree goes while the document can still answer its tags; tags
    // held elsewhere keep what they need and then see no document.
    Node::Drop(root_);
    arena->ForgetTextBlock();
    arena->Disown();
  }
  link_->Clear();
}

Arena* Document::arena() const { return Node::arena(root_); }

void Document::RefreshNames() {
  dummy_tag_id_ = arena()->Intern(dummy_tag_name_);
  dummy_block_tag_id_ = arena()->Intern(dummy_block_tag_name_);
  arena()->SetTextBlock(dummy_tag_id_);
}

namespace {

// Nobody holds a tag below `root` (the root's references beyond the
// document's own are all the arena counts): its memory may start over.
bool NothingHeldBelow(Tag* root) { return Node::arena(root)->held() == Node::refs(root) - 1; }

}  // namespace

void Document::Discard(bool keep_root_params) {
  Search::NoteDetach(this);
  if (find_.scope != root_) find_.scope = nullptr;
  if (find_.last != root_) find_.last = nullptr;
  Arena* arena = Node::arena(root_);
  const uint64_t root_held = Node::refs(root_) - 1;
  const bool root_params = keep_root_params && Node::ParamCount(root_) > 0;
  if (NothingHeldBelow(root_) && !root_params) {
    // The memory starts over.
    Node::set_kids(root_, nullptr);
    Node::AbandonAttrs(root_);
    arena->Reset(1);
    RefreshNames();
    return;
  }
  // Tags below are held elsewhere: the tree goes tag by tag, and those held
  // keep their subtrees.
  root_->Children().RemoveAll();
  if (keep_root_params) return;
  Node::DropAttrs(root_);
  if (arena->held() == root_held) return;
  // The new tree goes into new memory, so the old sources go when the last
  // of the held tags does instead of piling up with every load.
  Arena* fresh = Arena::Create(link_.get());
  if (KidList* k = Node::kids(root_)) arena->Release(k, KidList::Bytes(k->cap));
  Node::set_kids(root_, nullptr);
  arena->MoveHeld(fresh, root_held);
  fresh->AdoptLive();
  Node::set_arena(root_, fresh);
  RefreshNames();
  // The tags left behind compare names from now on.
  arena->ForgetTextBlock();
  arena->Disown();
  arena->DropLive();
}

void Document::Clear() {
  Discard(true);
  Node::Init(root_, nullptr, names::kHtml);
  root_->Add("", "HEAD");
  root_->Add("", "BODY");
}

void Document::Load(const std::string& file_name) {
  TemplateCache& cache = TemplateCache::Instance();
  platform::FileIdentity identity;
  const std::string key = cache.Key(*this, file_name);
  if (!cache.CopyInto(this, key, file_name)) {
    auto text = std::make_shared<std::string>();
    if (!platform::ReadWholeFile(file_name, text.get(), &identity)) {
      throw Error(kMsgFileRead).WithFile(code_page_->ToUtf16(file_name));
    }
    Parse(std::move(text), file_name);
    cache.Parsed(*this, key, identity);
  }
  if (!warning_text_.empty()) {
    const char* log = std::getenv("QUILLON_LOG_TEMPLATE_WARNINGS");
    if (log != nullptr && *log != '\0') {
      // One write for all lines, so that two pages logging at once do not
      // mix their lines.
      std::string lines;
      for (size_t pos = 0; pos < warning_text_.size();) {
        size_t end = warning_text_.find("\r\n", pos);
        if (end == std::string::npos) end = warning_text_.size();
        lines += file_name;
        lines += ": ";
        lines.append(warning_text_, pos, end - pos);
        lines += '\n';
        pos = end + 2;
      }
      std::fwrite(lines.data(), 1, lines.size(), stderr);
      std::fflush(stderr);
    }
  }
}

void Document::SetMasterPage(std::string_view page_data) { Parse(SourceFor(page_data)); }

std::shared_ptr<std::string> Document::SourceFor(std::string_view text) {
  // A program that parses page after page (or the same page again) would
  // otherwise copy each into new memory, and a large page's copy costs
  // more in first faults on its pages than in copying. The old source is
  // overwritten only when Discard is sure to empty the arena, when no
  // other arena, kept template or copy shares it, and when it has the
  // room, so that the assignment cannot fail and leave the old tree over
  // changed bytes.
  // Every source is made as a std::string that is not const, so writing
  // through the cast is sound.
  const Arena* arena = Node::arena(root_);
  const std::vector<Source>& sources = arena->sources();
  if (sources.size() == 1 && sources[0].use_count() == 1 && NothingHeldBelow(root_)) {
    std::shared_ptr<std::string> old = std::const_pointer_cast<std::string>(sources[0]);
    const char* begin = old->data();
    const std::less<const char*> before;
    const bool inside = !before(text.data(), begin) && before(text.data(), begin + old->capacity());
    if (old->capacity() >= text.size() && !inside) {
      old->assign(text);
      return old;
    }
  }
  return std::make_shared<std::string>(text);
}

void Document::SetMasterPage(std::string&& page_data) {
  Parse(std::make_shared<std::string>(std::move(page_data)));
}

void Document::Parse(std::shared_ptr<const std::string> source,
                     std::string_view template_name) {
  Discard(false);
  find_.scope = nullptr;
  find_.last = nullptr;
  ParseDocument(this, std::move(source), template_name);
}

// ---------------------------------------------------------------------------
// Writing

void Document::WriteTag(const Tag* tag, int level, Form form) {
  // The previous page is the best guess of a page's size.
  const size_t expected = tag == root_ ? last_page_size_ : 0;
  if (output_) {
    Writer writer(*this, form, output_);
    writer.Write(tag, level);
    return;
  }
  const size_t before = page_buffer_.size();
  {
    Writer writer(*this, form, &page_buffer_, expected);
    writer.Write(tag, level);
  }
  if (tag == root_) last_page_size_ = page_buffer_.size() - before;
}

std::string Document::WriteToBuffer(Form form) {
  output_ = nullptr;
  page_buffer_.clear();
  WriteTag(root_, 0, form);
  std::string out;
  out.swap(page_buffer_);
  return out;
}

std::string Document::GetPageData() { return WriteToBuffer(Form::kPage); }
std::string Document::GetMasterPage() { return WriteToBuffer(Form::kMasterPage); }

void Document::Save(const std::string& file_name) {
  if (!platform::WriteWholeFile(file_name, WriteToBuffer(Form::kPage))) {
    throw Error(kMsgFileWrite).WithFile(code_page_->ToUtf16(file_name));
  }
}

void Document::SaveMasterPage(const std::string& file_name) {
  if (!platform::WriteWholeFile(file_name, WriteToBuffer(Form::kMasterPage))) {
    throw Error(kMsgFileWrite).WithFile(code_page_->ToUtf16(file_name));
  }
}

void Document::WriteTo(Output* output) {
  if (output == nullptr) throw Error(kMsgBadOutputObject);
  output_ = output;
  try {
    WriteTag(root_, 0, Form::kPage);
  } catch (...) {
    // The caller's output may not outlive a failed write: keep no link.
    output_ = nullptr;
    throw;
  }
}

// ---------------------------------------------------------------------------
// Text positions

TextRange Document::TagToTextPos(Form form, const Tag& tag) {
  output_ = nullptr;
  page_buffer_.clear();
  TextRange range;
  {
    Writer writer(*this, form, &page_buffer_);
    writer.set_target(&tag);
    writer.Write(root_, 0);
    std::string_view text = page_buffer_;
    range.begin =
        static_cast<int32_t>(Utf16Length(*code_page_, text.substr(0, writer.target_begin())));
    range.end = static_cast<int32_t>(Utf16Length(*code_page_, text.substr(0, writer.target_end())));
  }
  page_buffer_.clear();
  return range;
}

void Document::TagToTextPos(bool use_master_page, const Tag* tag, int32_t* begin,
                            int32_t* end) {
  TextRange range;
  if (tag != nullptr) {
    range = TagToTextPos(use_master_page ? Form::kMasterPage : Form::kPage, *tag);
  } else {
    output_ = nullptr;
    page_buffer_.clear();
  }
  *begin = range.begin;
  *end = range.end;
}

Ref<Tag> Document::TextPosToTag(bool use_master_page, int32_t pos) {
  // One write records every tag's range; the descent then reads the ranges
  // instead of writing the page again for each child it looks at. The
  // ranges are the same ones a write per child would find.
  output_ = nullptr;
  page_buffer_.clear();
  Writer::Spans spans;
  {
    Writer writer(*this, use_master_page ? Form::kMasterPage : Form::kPage, &page_buffer_);
    writer.set_spans(&spans);
    writer.Write(root_, 0);
  }
  std::string_view text = page_buffer_;
  size_t units = static_cast<size_t>(std::max<int32_t>(pos, 0));
  size_t offset = BytesForUtf16(*code_page_, text, units);

  Tag* current = root_;
  for (;;) {
    Tag* inside = nullptr;
    for (uint32_t i = 0; i < Node::KidCount(current); ++i) {
      Tag* child = Node::Kid(current, i);
      auto it = spans.find(child);
      if (it == spans.end()) continue;
      if (it->second.first <= offset && offset < it->second.second) {
        inside = child;
        break;
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

Ref<Tag> Document::Root() const { return Ref<Tag>(root_); }

Ref<Tag> Document::Head() const { return Ref<Tag>(Node::At(root_, 0)); }

Ref<Tag> Document::Body() const { return Ref<Tag>(Node::At(root_, 1)); }

Ref<Tag> Document::Item(std::string_view key) const {
  std::string upper = Upper(*code_page_, key);
  if (upper == "HEAD") return Head();
  if (upper == "BODY") return Body();
  throw Error(kMsgBadIndex).WithIdentifier(code_page_->ToUtf16(key));
}

Ref<Tag> Document::Item(int32_t index) const {
  if (index == 0) return Head();
  if (index == 1) return Body();
  throw Error(kMsgBadIndex).WithIndex(index);
}

namespace {

Tag* ChildNamed(const Tag* tag, NameId name) {
  if (!tag) return nullptr;
  for (uint32_t i = 0; i < Node::KidCount(tag); ++i) {
    if (Node::name(Node::Kid(tag, i)) == name) return Node::Kid(tag, i);
  }
  return nullptr;
}

}  // namespace

std::string Document::Title() const {
  Tag* title = ChildNamed(ChildNamed(root_, names::kHead), names::kTitle);
  return title ? title->Text() : std::string();
}

void Document::SetTitle(std::string_view title) {
  Tag* head = ChildNamed(root_, names::kHead);
  if (!head) return;
  Ref<Tag> tag(ChildNamed(head, names::kTitle));
  if (!tag) tag = head->Add("", "TITLE");
  tag->SetText(title);
}

std::string Document::Text() const {
  Tag* body = ChildNamed(root_, names::kBody);
  return body ? body->Text() : std::string();
}

void Document::SetText(std::string_view text) {
  if (Tag* body = ChildNamed(root_, names::kBody)) body->SetText(text);
}

// ---------------------------------------------------------------------------
// Searches and the find state

Ref<Tag> Document::FindByID(std::string_view id) { return root_->FindByID(id); }

Ref<Tag> Document::FindByTagName(std::string_view name) { return root_->FindByTagName(name); }

Ref<Tag> Document::FindByParameter(std::string_view name, std::string_view value) {
  return root_->FindByParameter(name, value);
}

Ref<Tag> Document::Get(std::string_view id) { return root_->Get(id); }

Ref<Tag> Document::FindNext() { return Search::Next(this); }

void Document::SetFindPosition(TagArg position) {
  Tag* current = position.get();
  find_.trusted = false;
  if (current != nullptr && current->document() != this) {
    find_.last = nullptr;
    find_.foreign_start = true;
    return;
  }
  find_.foreign_start = false;
  find_.last = current;
}

bool Document::Contains(const Tag* tag) const {
  const Tag* t = tag;
  while (Node::parent(t)) t = Node::parent(t);
  return t == root_;
}

void Document::Forget(const Tag* tag) {
  if (find_.scope == tag) find_.scope = nullptr;
  if (find_.last == tag) find_.last = nullptr;
}

// ---------------------------------------------------------------------------
// Settings

void Document::SetDummyTagName(std::string_view name) {
  dummy_tag_name_ = Upper(*code_page_, name);
  RefreshNames();
}

void Document::SetDummyBlockTagName(std::string_view name) {
  dummy_block_tag_name_ = Upper(*code_page_, name);
  RefreshNames();
}

}  // namespace quillon::html

// Tags, their collections and the tree operations on them.
#include "quillon/html/tag.h"

#include <algorithm>
#include <limits>

#include "html/internal.h"
#include "html/search.h"
#include "quillon/component/errors.h"
#include "quillon/html/document.h"

namespace quillon::html {

namespace {

const std::string kEmpty;

// Tags whose text must not be re-indented.
bool KeepsLayout(std::string_view name) { return name == "TEXTAREA" || name == "PRE"; }

}  // namespace

// ---------------------------------------------------------------------------
// Reference counting. Releasing a tree must not recurse once per level:
// a dying tag is queued through its own collection slot, which a dying tag
// no longer needs, and its children are taken over by the same loop before
// its destructor could release them one call deeper. A chain of any depth
// unwinds with constant stack, without allocating, and without per-thread
// state (which a shared library reaches only through a call).

void IntrusiveAddRef(Tag* tag) { ++tag->refs_; }

void IntrusiveRelease(Tag* tag) {
  if (--tag->refs_ != 0) return;
  tag->owner_ = nullptr;
  Tag* head = tag;
  while (head != nullptr) {
    Tag* next = head;
    head = reinterpret_cast<Tag*>(next->owner_);
    next->owner_ = nullptr;
    if (Tags* children = next->children_.get()) {
      for (Tags::Entry& e : children->entries_) {
        Tag* child = e.tag.detach();
        // A child that someone else still holds sees itself as removed.
        child->owner_ = nullptr;
        if (--child->refs_ == 0) {
          child->owner_ = reinterpret_cast<Tags*>(head);
          head = child;
        }
      }
      children->entries_.clear();
    }
    // The document link is held across the destruction: it owns the
    // memory being returned.
    Ref<DocumentLink> link = next->link_;
    next->~Tag();
    FreeNode(link.get(), next, sizeof(Tag), alignof(Tag));
  }
}

void IntrusiveAddRef(DocumentLink* link) { ++link->refs_; }

void IntrusiveRelease(DocumentLink* link) {
  if (--link->refs_ == 0) delete link;
}

Ref<Tag> Tag::New(DocumentLink* link) {
  void* memory = AllocNode(link, sizeof(Tag), alignof(Tag));
  Tag* tag = new (memory) Tag(link ? link->pool() : NodePool());
  tag->link_ = Ref<DocumentLink>(link);
  return Ref<Tag>(tag);
}

// ---------------------------------------------------------------------------
// Tags

Tags::~Tags() {
  // The children lose their collection before their reference goes, so a
  // child that someone else still holds sees itself as removed.
  for (Entry& e : entries_) e.tag->owner_ = nullptr;
  while (!entries_.empty()) entries_.pop_back();
}

Document* Tags::document() const { return owner_ ? owner_->document() : nullptr; }

Ref<Tag> Tags::Item(int32_t index) const { return Ref<Tag>(At(index)); }

Tag* Tags::At(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return entries_[static_cast<size_t>(index)].tag.get();
}

const std::string& Tags::Name(int32_t index) const {
  if (index < 0 || index >= Count()) return kEmpty;
  return entries_[static_cast<size_t>(index)].tag->RawId();
}

void Tags::SetName(int32_t index, std::string_view name) {
  if (index < 0 || index >= Count()) return;
  entries_[static_cast<size_t>(index)].tag->SetRawId(name);
}

int32_t Tags::IndexOf(const Tag* tag) const {
  if (tag != nullptr && tag->owner_ == this) return tag->index_;
  return -1;
}

int32_t Tags::FindKey(std::string_view key) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].tag->RawId() == key) return static_cast<int32_t>(i);
  }
  const platform::CodePage& cp = CodePageOf(document());
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (EqualsIgnoreCase(cp, entries_[i].tag->GetParam("NAME"), key)) {
      return static_cast<int32_t>(i);
    }
  }
  std::string upper = Upper(cp, key);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].tag->name_ == upper) return static_cast<int32_t>(i);
  }
  return -1;
}

Ref<Tag> Tags::Add(std::string_view id, std::string_view name) {
  return InsertAt(Count(), id, name);
}

Ref<Tag> Tags::InsertAt(int32_t index, std::string_view id, std::string_view name) {
  return Insert(index, id, name, false);
}

Ref<Tag> Tags::Insert(int32_t index, std::string_view id, std::string_view name,
                      bool name_is_upper) {
  if (index < 0 || index > Count()) return nullptr;
  DocumentLink* link = owner_ ? owner_->link_.get() : nullptr;
  Ref<Tag> tag = Tag::New(link);
  tag->Init(link, this, name, index, name_is_upper);
  Attach(tag, id, index);
  return tag;
}

void Tags::Attach(Ref<Tag> tag, std::string_view name, int32_t index) {
  Tag* raw = tag.get();
  raw->SetRawId(name);
  entries_.insert(entries_.begin() + index, Entry{std::move(tag)});
  raw->owner_ = this;
  Renumber(static_cast<size_t>(index));
}

void Tags::Renumber(size_t from) {
  for (size_t i = from; i < entries_.size(); ++i) {
    entries_[i].tag->index_ = static_cast<int32_t>(i);
  }
}

void Tags::NoteDetach() const {
  if (Document* doc = document()) ++doc->detach_epoch_;
}

void Tags::RemoveAt(int32_t index) {
  if (index < 0 || index >= Count()) return;
  NoteDetach();
  Ref<Tag> gone = std::move(entries_[static_cast<size_t>(index)].tag);
  gone->owner_ = nullptr;
  entries_.erase(entries_.begin() + index);
  Renumber(static_cast<size_t>(index));
  // `gone` is released last, after the list is consistent again.
}

void Tags::RemoveAll() {
  if (!entries_.empty()) NoteDetach();
  decltype(entries_) gone(entries_.get_allocator());
  gone.swap(entries_);
  for (Entry& e : gone) e.tag->owner_ = nullptr;
  while (!gone.empty()) gone.pop_back();
}

// ---------------------------------------------------------------------------
// Tag: links, names, parameters

Ref<Tag> Tag::Create() { return New(nullptr); }

Tag::~Tag() {
  if (Document* doc = document()) doc->Forget(this);
}

Document* Tag::document() const { return link_ ? link_->document() : nullptr; }

void Tag::Init(DocumentLink* link, Tags* owner, std::string_view name, int32_t index,
               bool name_is_upper) {
  if (link_.get() != link) link_ = Ref<DocumentLink>(link);
  index_ = index;
  no_indent_ = false;
  break_before_ = true;
  break_before_end_ = true;
  if (owner == nullptr) {
    break_before_ = false;
  } else if (Tag* parent = owner->owner_) {
    break_before_ = break_before_end_ = parent->break_before_end_;
    if (KeepsLayout(parent->name_)) no_indent_ = true;
  }
  name_.assign(name);
  if (!name_is_upper) UpperInPlace(CodePageOf(document()), &name_);
  ApplyTagName();
}

void Tag::SetTagName(std::string_view name) {
  name_.assign(name);
  UpperInPlace(CodePageOf(document()), &name_);
  ApplyTagName();
}

void Tag::ApplyTagName() {
  has_end_tag_ = !IsEmptyElement(name_);
  // Inline elements stay on their line.
  const std::string& n = name_;
  bool inline_end = false;
  bool inline_start = false;
  switch (n.size()) {
    case 1:
      inline_end = n == "I" || n == "B" || n == "U" || n == "A";
      inline_start = inline_end && n != "A";
      break;
    case 2:
      inline_end = inline_start = n == "EM" || n == "BR";
      break;
    case 4:
      inline_end = inline_start = n == "FONT";
      break;
    case 6:
      inline_end = inline_start = n == "STRONG";
      break;
    case 8:
      inline_end = n == "TEXTAREA";
      break;
  }
  if (inline_end) break_before_end_ = false;
  if (inline_start) break_before_ = false;
}

Ref<Tag> Tag::Parent() const { return Ref<Tag>(parent()); }

Tags& Tag::Children() {
  if (!children_) children_.emplace(this, link_ ? link_->pool() : NodePool());
  return *children_;
}

const std::string& Tag::ID() const {
  return owner_ ? RawId() : kEmpty;
}

void Tag::SetRawId(std::string_view id) { id_.assign(id); }

void Tag::SetID(std::string_view id) {
  if (owner_) owner_->SetName(index_, id);
}

Ref<Tag> Tag::NextTag() const {
  if (!owner_ || index_ + 1 >= owner_->Count()) throw Error(kMsgNoTagAtPosition);
  return owner_->Item(index_ + 1);
}

Ref<Tag> Tag::PreviousTag() const {
  if (!owner_ || index_ < 1) throw Error(kMsgNoTagAtPosition);
  return owner_->Item(index_ - 1);
}

Tag::Param* Tag::FindParam(std::string_view name) {
  for (Param& p : params_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const Tag::Param* Tag::FindParam(std::string_view name) const {
  for (const Param& p : params_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const std::string& Tag::ParamName(int32_t index) const {
  if (index < 0 || index >= ParamCount()) return kEmpty;
  return params_[static_cast<size_t>(index)].name;
}

const std::string& Tag::ParamValue(int32_t index) const {
  if (index < 0 || index >= ParamCount()) return kEmpty;
  return params_[static_cast<size_t>(index)].value;
}

const std::string& Tag::GetParam(std::string_view name) const {
  const Param* p = FindParam(name);
  return p ? p->value : kEmpty;
}

void Tag::SetParam(std::string_view name, std::string_view value) {
  if (Param* p = FindParam(name)) {
    p->value.assign(value);
    return;
  }
  params_.push_back(Param{std::string(name), std::string(value)});
  if (StartsWithMarkupDirective(value)) no_indent_ = true;
}

void Tag::RemoveParam(std::string_view name) {
  auto it = std::find_if(params_.begin(), params_.end(),
                         [&](const Param& p) { return p.name == name; });
  if (it != params_.end()) params_.erase(it);
}

std::string Tag::Parameter(std::string_view name) const {
  return GetParam(Upper(CodePageOf(document()), name));
}

void Tag::SetParameter(std::string_view name, std::string_view value) {
  std::string upper = Upper(CodePageOf(document()), name);
  if (value.empty() && upper != "VALUE") {
    RemoveParam(upper);
  } else {
    SetParam(upper, value);
  }
}

// ---------------------------------------------------------------------------
// Text and value

bool Tag::IsTextBlock() const {
  const Document* doc = document();
  return doc ? name_ == doc->DummyTagName() : name_ == "TEXTBLOCK";
}

std::string Tag::Text() const {
  if (IsTextBlock()) return GetParam("VALUE");
  if (children_) {
    for (const auto& e : children_->entries_) {
      if (e.tag->IsTextBlock()) return e.tag->GetParam("VALUE");
    }
  }
  return std::string();
}

void Tag::SetText(std::string_view text) {
  if (IsTextBlock()) {
    SetParam("VALUE", text);
    return;
  }
  if (children_) {
    for (const auto& e : children_->entries_) {
      if (e.tag->IsTextBlock()) {
        e.tag->SetParam("VALUE", text);
        return;
      }
    }
  }
  const Document* doc = document();
  Ref<Tag> block = Children().Add("", doc ? doc->DummyTagName() : "TEXTBLOCK");
  block->SetParam("VALUE", text);
}

namespace {
bool ValueIsOwnParameter(const Tag& tag) {
  const std::string& n = tag.TagName();
  return tag.IsTextBlock() || n == "INPUT" || n == "OPTION" || n == "PARAM";
}
}  // namespace

std::string Tag::Value() const {
  return ValueIsOwnParameter(*this) ? GetParam("VALUE") : Text();
}

void Tag::SetValue(std::string_view value) {
  if (ValueIsOwnParameter(*this)) {
    SetParam("VALUE", value);
  } else {
    SetText(value);
  }
}

// ---------------------------------------------------------------------------
// Adding and removing

Ref<Tag> Tag::Add(std::string_view id, std::string_view name) { return Children().Add(id, name); }

Ref<Tag> Tag::Resolve(int32_t pos, std::string_view id, std::string_view name) {
  if (pos == -1) throw Error(kMsgBadIndex);
  return Children().InsertAt(pos, id, name);
}

Ref<Tag> Tag::InsertBefore(int32_t before, std::string_view id, std::string_view name) {
  return Resolve(before, id, name);
}

Ref<Tag> Tag::InsertAfter(int32_t after, std::string_view id, std::string_view name) {
  if (after == -1) throw Error(kMsgBadIndex);
  if (after == std::numeric_limits<int32_t>::max()) return nullptr;
  return Resolve(after + 1, id, name);
}

Ref<Tag> Tag::InsertBefore(std::string_view key, std::string_view id, std::string_view name) {
  return InsertBefore(Children().FindKey(key), id, name);
}

Ref<Tag> Tag::InsertAfter(std::string_view key, std::string_view id, std::string_view name) {
  return InsertAfter(Children().FindKey(key), id, name);
}

void Tag::Remove(int32_t target, int32_t count) {
  if (target == -1) throw Error(kMsgBadIndex);
  if (count <= 0 || !children_) return;
  // Positions outside the list are skipped one by one, as removing each
  // position in turn would; only those inside go.
  Tags& list = *children_;
  const int64_t n = static_cast<int64_t>(list.entries_.size());
  const int64_t first64 = std::max<int64_t>(target, 0);
  const int64_t last64 = std::min<int64_t>(static_cast<int64_t>(target) + count, n);
  if (first64 >= last64) return;
  list.NoteDetach();
  const size_t first = static_cast<size_t>(first64);
  const size_t last = static_cast<size_t>(last64);
  // The last goes first, as the documented order says; the list is made
  // consistent before any tag is released.
  std::vector<Ref<Tag>> gone;
  gone.reserve(last - first);
  for (size_t i = last; i-- > first;) {
    gone.push_back(std::move(list.entries_[i].tag));
    gone.back()->owner_ = nullptr;
  }
  list.entries_.erase(list.entries_.begin() + static_cast<ptrdiff_t>(first),
                      list.entries_.begin() + static_cast<ptrdiff_t>(last));
  list.Renumber(first);
  for (auto& g : gone) g = nullptr;
}

void Tag::Remove(std::string_view key, int32_t count) {
  Remove(Children().FindKey(key), count);
}

void Tag::RemoveFromParent() {
  if (owner_) owner_->RemoveAt(index_);  // may release this tag: touch nothing after
}

void Tag::RemoveAll() {
  if (children_) children_->RemoveAll();
}

// ---------------------------------------------------------------------------
// Copies

void Tag::CopyContent(Tag* target, const Tag* source, CopyWork* work) {
  // Depth-first with an explicit stack: the subtree may be nested deeper
  // than the call stack could follow.
  work->emplace_back(target, source);
  while (!work->empty()) {
    auto [t, s] = work->back();
    work->pop_back();
    t->params_.insert(t->params_.end(), s->params_.begin(), s->params_.end());
    if (s->children_) {
      Tags& into = t->Children();
      into.entries_.reserve(into.entries_.size() + s->children_->entries_.size());
      DocumentLink* link = t->link_.get();
      for (const auto& e : s->children_->entries_) {
        // A copy takes its name and layout from its source as they are:
        // the name is already upper-cased and the flags are overwritten
        // from the source below anyway, so the work of Init is not needed.
        const Tag* from = e.tag.get();
        Ref<Tag> copy = New(link);
        copy->index_ = static_cast<int32_t>(into.entries_.size());
        copy->name_ = from->name_;
        copy->SetRawId(from->RawId());
        copy->owner_ = &into;
        Tag* raw = copy.get();
        into.entries_.push_back(Tags::Entry{std::move(copy)});
        work->emplace_back(raw, from);
      }
    }
    t->has_end_tag_ = s->has_end_tag_;
    t->no_indent_ = s->no_indent_;
    t->break_before_ = s->break_before_;
    t->break_before_end_ = s->break_before_end_;
  }
}

Ref<Tag> Tag::CopyOf(const Tag* source, DocumentLink* link, CopyWork* work) {
  Ref<Tag> copy = New(link);
  copy->name_ = source->name_;
  CopyContent(copy.get(), source, work);
  return copy;
}

Ref<Tag> Tag::DeepCopy() const {
  CopyWork work;
  return CopyOf(this, link_.get(), &work);
}

std::vector<Ref<Tag>> Tag::MakeCopies(const Tags* into, int32_t count) const {
  std::vector<Ref<Tag>> copies;
  if (count <= 0) return copies;
  DocumentLink* link = into->owner_ ? into->owner_->link_.get() : nullptr;
  copies.reserve(static_cast<size_t>(count));
  CopyWork work;
  for (int32_t i = 0; i < count; ++i) copies.push_back(CopyOf(this, link, &work));
  return copies;
}

void Tag::InsertCopies(Tags* into, int32_t at, std::vector<Ref<Tag>> copies) {
  if (copies.empty()) return;
  const std::string& id = ID();
  std::vector<Tags::Entry> entries;
  entries.reserve(copies.size());
  for (Ref<Tag>& c : copies) {
    c->owner_ = into;
    c->SetRawId(id);
    entries.push_back(Tags::Entry{std::move(c)});
  }
  into->entries_.insert(into->entries_.begin() + at, std::make_move_iterator(entries.begin()),
                        std::make_move_iterator(entries.end()));
  into->Renumber(static_cast<size_t>(at));
}

void Tag::CopyBefore(Tag* before, int32_t count) {
  if (before == nullptr || before->owner_ == nullptr) throw Error(kMsgBadCopyTarget);
  Ref<Tag> hold(before);
  InsertCopies(before->owner_, before->index_, MakeCopies(before->owner_, count));
}

void Tag::CopyAfter(Tag* after, int32_t count) {
  if (after == nullptr || after->owner_ == nullptr) throw Error(kMsgBadCopyTarget);
  Ref<Tag> hold(after);
  InsertCopies(after->owner_, after->index_ + 1, MakeCopies(after->owner_, count));
}

void Tag::AddCopy(Tag* under, int32_t count) {
  if (under == nullptr) throw Error(kMsgBadCopyTarget);
  Ref<Tag> hold(under);
  Tags& into = under->Children();
  InsertCopies(&into, into.Count(), MakeCopies(&into, count));
}

void Tag::Replace(Tag* by) {
  if (by == nullptr) throw Error(kMsgBadCopyTarget);
  if (by == this) return;
  // A snapshot first: `by` may hang below this tag, whose children are
  // about to go, or above it, where copying would meet its own output.
  CopyWork work;
  Ref<Tag> snapshot = CopyOf(by, link_.get(), &work);
  std::string id = by->ID();
  params_.clear();
  RemoveAll();
  SetTagName(snapshot->name_);
  SetID(id);
  params_ = std::move(snapshot->params_);
  if (snapshot->children_) {
    Tags& mine = Children();
    mine.entries_ = std::move(snapshot->children_->entries_);
    for (auto& e : mine.entries_) e.tag->owner_ = &mine;
  }
  has_end_tag_ = snapshot->has_end_tag_;
  no_indent_ = snapshot->no_indent_;
  break_before_ = snapshot->break_before_;
  break_before_end_ = snapshot->break_before_end_;
}

// ---------------------------------------------------------------------------
// Searches and forms

Ref<Tag> Tag::FindByID(std::string_view id) {
  return Search::Run(this, Search::Key{Search::kId, id, {}});
}

Ref<Tag> Tag::FindByTagName(std::string_view name) {
  return Search::Run(this, Search::Key{Search::kTagName, name, {}});
}

Ref<Tag> Tag::FindByParameter(std::string_view name, std::string_view value) {
  return Search::Run(this, Search::Key{Search::kParameter, name, value});
}

void Tag::SelectRadio(std::string_view radio_name, std::string_view value) {
  Search::ForEachBelow(this, [&](Tag* c) {
    if (c->name_ != "INPUT" || c->GetParam("NAME") != radio_name) return;
    if (c->GetParam("VALUE") == value) {
      c->SetParam("CHECKED", "CHECKED");
    } else {
      c->RemoveParam("CHECKED");
    }
  });
}

void Tag::SelectOption(std::string_view value) {
  Search::ForEachBelow(this, [&](Tag* c) {
    if (c->name_ != "OPTION") return;
    if (c->GetParam("VALUE") == value) {
      c->SetParam("SELECTED", "SELECTED");
    } else {
      c->RemoveParam("SELECTED");
    }
  });
}

void Tag::Write() {
  if (Document* doc = document()) doc->WriteTag(this, 0, Form::kPage);
}

}  // namespace quillon::html

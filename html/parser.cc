// The template parser: one forward pass over the text that builds the tag
// tree, repairing unbalanced markup as it goes.
//
// The element stack is explicit rather than the call stack, so a template
// nested a few hundred thousand levels deep parses like a flat one. An end
// tag that matches no open element is recognised by looking at the top
// kShallow elements directly and counting the names of the deeper ones in
// a table, so a page of many stray end tags under deep nesting stays
// linear while ordinary pages never touch the table.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "html/internal.h"
#include "quillon/component/errors.h"

namespace quillon::html {

class Parser {
 public:
  Parser(Document* doc, std::string_view text)
      : doc_(doc), cp_(doc->code_page()), text_(text) {}

  void Run();

 private:
  using Params = std::vector<Tag::Param>;
  static constexpr size_t kNone = std::string_view::npos;

  size_t ReadTag(size_t start, bool* directive);
  size_t ReadAttributes(size_t pos, bool convert, Params* params, std::string* id,
                        bool* has_id);
  // Starts parsing `tag` at `pos` (just after its name): reads its
  // attributes and, when it has content, opens it. Returns the position
  // after the start tag.
  size_t Enter(Tag* tag, size_t pos);
  void Open(Tag* tag);
  bool IsOpen(std::string_view name) const {
    size_t shallow = std::min(open_.size(), kShallow);
    for (size_t i = 0; i < shallow; ++i) {
      if (open_[open_.size() - 1 - i]->name_ == name) return true;
    }
    return !deep_names_.empty() && deep_names_.count(name) != 0;
  }
  void Close();
  // The loop of the content of the open elements.
  void Content(size_t pos);
  void FlushText(Tag* tag);
  void Report(size_t pos, int number, std::string_view current, std::string_view other);
  size_t AfterNextGt(size_t pos) const {
    if (pos >= text_.size()) return text_.size();
    const void* gt = std::memchr(text_.data() + pos, '>', text_.size() - pos);
    return gt ? static_cast<const char*>(gt) - text_.data() + 1 : text_.size();
  }
  std::string Fragment(std::u16string_view utf16) const { return cp_.FromUtf16(utf16); }

  Document* doc_;
  const platform::CodePage& cp_;
  std::string_view text_;
  bool convert_ = false;

  std::string token_;      // upper-cased tag name of the last ReadTag
  std::string_view raw_;   // a comment or directive token, as written
  std::vector<Tag*> open_;
  static constexpr size_t kShallow = 64;
  // Names of the open elements below the top kShallow, with their counts.
  std::unordered_map<std::string_view, int> deep_names_;
  Params scratch_;
  std::string pending_;
  size_t leading_ = 0;

  // Line counting for warnings resumes where the previous one stopped.
  size_t counted_to_ = 0;
  int crs_ = 0;
  size_t last_lf_ = kNone;
};

size_t Parser::ReadTag(size_t start, bool* directive) {
  const size_t n = text_.size();
  *directive = false;
  token_.clear();
  if (start >= n) return kNone;
  const void* lt = std::memchr(text_.data() + start, '<', n - start);
  if (!lt) return kNone;
  size_t pos = static_cast<const char*>(lt) - text_.data();
  std::string_view rest = text_.substr(pos);
  if (rest.starts_with("<!--")) {
    size_t close = text_.find("-->", pos + 4);
    size_t end = close == kNone ? n : close + 3;
    raw_ = text_.substr(pos, end - pos);
    *directive = true;
    return end;
  }
  if (rest.size() >= 2 && (rest[1] == '!' || rest[1] == '?' || rest[1] == '%')) {
    const char pair[3] = {rest[1], '>', 0};
    size_t close = text_.find(std::string_view(pair, 2), pos);
    size_t end;
    if (close != kNone) {
      end = close + 2;
    } else {
      close = text_.find('>', pos);
      end = close == kNone ? n : close + 1;
    }
    raw_ = text_.substr(pos, end - pos);
    *directive = true;
    return end;
  }
  while (pos < n && (text_[pos] == '<' || IsBlank(text_[pos]))) ++pos;
  size_t name = pos;
  while (pos < n && !IsBlank(text_[pos]) && text_[pos] != '>') ++pos;
  if (pos == name) return pos;
  token_.assign(text_.substr(name, pos - name));
  if (token_ == "/") {
    while (pos < n && IsBlank(text_[pos])) ++pos;
    size_t second = pos;
    while (pos < n && !IsBlank(text_[pos]) && text_[pos] != '>') ++pos;
    if (pos == second) {
      token_.clear();
      return pos;
    }
    token_.append(text_.substr(second, pos - second));
  }
  UpperInPlace(cp_, &token_);
  return pos;
}

size_t Parser::ReadAttributes(size_t pos, bool convert, Params* params, std::string* id,
                              bool* has_id) {
  const size_t n = text_.size();
  // Long attribute lists get an index, so a tag with very many attributes
  // does not cost quadratic time to de-duplicate.
  constexpr size_t kIndexFrom = 16;
  std::unordered_map<std::string, size_t> index;
  std::string name;
  for (;;) {
    while (pos < n && IsBlank(text_[pos])) ++pos;
    if (pos >= n) return pos;
    if (text_[pos] == '>') return pos + 1;
    size_t start = pos;
    while (pos < n && text_[pos] != '>' && text_[pos] != '=' && !IsBlank(text_[pos])) ++pos;
    name.assign(text_.substr(start, pos - start));
    UpperInPlace(cp_, &name);
    while (pos < n && IsBlank(text_[pos])) ++pos;
    std::string_view value = name;
    if (pos < n && text_[pos] == '=') {
      ++pos;
      while (pos < n && IsBlank(text_[pos])) ++pos;
      if (pos >= n) return pos;
      if (text_[pos] == '>') return pos + 1;
      if (text_[pos] == '"') {
        size_t v = ++pos;
        while (pos < n && text_[pos] != '"' && text_[pos] != '\r' && text_[pos] != '\n') ++pos;
        value = text_.substr(v, pos - v);
        if (pos < n) ++pos;
      } else {
        size_t v = pos;
        while (pos < n && !IsBlank(text_[pos]) && text_[pos] != '>') ++pos;
        value = text_.substr(v, pos - v);
      }
    }
    if (name == (convert ? "ID" : "QLID")) {
      id->assign(value);
      *has_id = true;
      continue;
    }
    Tag::Param* existing = nullptr;
    if (params->size() < kIndexFrom) {
      for (Tag::Param& p : *params) {
        if (p.name == name) {
          existing = &p;
          break;
        }
      }
    } else {
      if (index.empty()) {
        for (size_t i = params->size(); i-- > 0;) index[(*params)[i].name] = i;
      }
      auto it = index.find(name);
      if (it != index.end()) existing = &(*params)[it->second];
    }
    if (existing) {
      existing->value.assign(value);
    } else {
      if (!index.empty()) index.emplace(name, params->size());
      params->push_back(Tag::Param{name, std::string(value)});
      if (params->size() == kIndexFrom && index.empty()) {
        for (size_t i = params->size(); i-- > 0;) index[(*params)[i].name] = i;
      }
    }
  }
}

size_t Parser::Enter(Tag* tag, size_t pos) {
  std::string id;
  bool has_id = false;
  // Collected apart and moved in once: the tag's list gets its exact size.
  scratch_.clear();
  pos = ReadAttributes(pos, convert_, &scratch_, &id, &has_id);
  if (!scratch_.empty()) {
    tag->params_.reserve(tag->params_.size() + scratch_.size());
    for (Tag::Param& p : scratch_) tag->params_.push_back(std::move(p));
  }
  if (has_id && tag->owner_) tag->SetID(id);
  if (!tag->has_end_tag_) return pos;
  const Tag::Param* slash = tag->FindParam("/");
  if (slash && slash->value == "/") return pos;
  Open(tag);
  return pos;
}

void Parser::Open(Tag* tag) {
  open_.push_back(tag);
  if (open_.size() > kShallow) ++deep_names_[open_[open_.size() - 1 - kShallow]->name_];
  pending_.clear();
  leading_ = 0;
}

void Parser::Close() {
  if (open_.size() > kShallow) {
    auto it = deep_names_.find(open_[open_.size() - 1 - kShallow]->name_);
    if (--it->second == 0) deep_names_.erase(it);
  }
  open_.pop_back();
  pending_.clear();
}

void Parser::FlushText(Tag* tag) {
  if (pending_.empty()) return;
  tag->Children();
  if (tag->name_ == doc_->dummy_tag_name_) {
    std::string value = tag->GetParam("VALUE");
    if (!value.empty()) value += "\r\n";
    value += pending_;
    tag->SetParam("VALUE", value);
  } else {
    Ref<Tag> block = tag->children_->Insert(tag->children_->Count(), "", doc_->dummy_tag_name_, true);
    block->SetParam("VALUE", pending_);
    block->break_before_ = leading_ != 0;
  }
  pending_.clear();
}

void Parser::Content(size_t pos) {
  const size_t n = text_.size();
  while (!open_.empty()) {
    Tag* cur = open_.back();
    const size_t top = pos;
    while (pos < n && IsBlank(text_[pos])) ++pos;
    const size_t blanks = pos - top;
    if (pending_.empty()) leading_ = blanks;
    if (pos >= n) {
      // The end of the text ends every open element.
      FlushText(cur);
      while (!open_.empty()) Close();
      return;
    }
    if (text_[pos] != '<') {
      size_t word = pos;
      while (pos < n && !IsBlank(text_[pos]) && text_[pos] != '<') ++pos;
      if (!pending_.empty()) pending_ += ' ';
      pending_.append(text_.substr(word, pos - word));
      if (pos < n && (text_[pos] == '\r' || text_[pos] == '\n')) FlushText(cur);
      continue;
    }
    bool directive;
    size_t next = ReadTag(pos, &directive);
    if (directive) {
      pending_.append(raw_);
      pos = next;
      if (pos < n && (text_[pos] == '\r' || text_[pos] == '\n')) FlushText(cur);
      continue;
    }
    if (token_.empty()) {
      pos = AfterNextGt(next);
      continue;
    }
    if (token_[0] == '/') {
      std::string_view name = std::string_view(token_).substr(1);
      if (name == cur->name_) {
        FlushText(cur);
        cur->break_before_end_ = blanks != 0;
        pos = AfterNextGt(next);
        Close();
      } else if (IsOpen(name)) {
        Report(next, kMsgUnclosedInnerTag, cur->name_, name);
        FlushText(cur);
        pos = top;
        Close();
      } else {
        Report(next, kMsgUnopenedEndTag, token_, cur->name_);
        pos = AfterNextGt(next);
      }
      continue;
    }
    if (token_ == cur->name_ && !IsNestable(token_)) {
      Report(next, kMsgNestedSameTag, cur->name_, {});
      FlushText(cur);
      pos = top;
      Close();
      continue;
    }
    FlushText(cur);
    Tags& children = cur->Children();
    Ref<Tag> child = children.Insert(children.Count(), "", token_, true);
    child->break_before_ = blanks != 0;
    pos = Enter(child.get(), next);
    pending_.clear();
  }
}

void Parser::Report(size_t pos, int number, std::string_view first, std::string_view second) {
  if (pos == kNone || pos > text_.size()) pos = text_.size();
  if (pos < counted_to_) {
    counted_to_ = 0;
    crs_ = 0;
    last_lf_ = kNone;
  }
  for (size_t i = counted_to_; i < pos; ++i) {
    if (text_[i] == '\r') ++crs_;
    else if (text_[i] == '\n') last_lf_ = i;
  }
  counted_to_ = pos;
  const long long line = 1 + crs_;
  const long long column =
      last_lf_ == kNone ? static_cast<long long>(pos) + 1
                        : static_cast<long long>(pos) - static_cast<long long>(last_lf_);
  std::string& w = doc_->warning_text_;
  w += Fragment(MessageText16(number));
  w += Fragment(u" ----  行番号：");
  w += std::to_string(line);
  w += Fragment(u", 列番号：");
  w += std::to_string(column);
  switch (number) {
    case kMsgUnclosedInnerTag:
      w += Fragment(u", 下位のタグ：");
      w += first;
      w += Fragment(u", 上位のタグ：");
      w += second;
      break;
    case kMsgUnopenedEndTag:
      w += Fragment(u", 削除されたタグ：");
      w += first;
      w += Fragment(u", 現在処理中のタグ：");
      w += second;
      break;
    default:
      w += Fragment(u", ネストしているタグ：");
      w += first;
      break;
  }
  w += "\r\n";
}

void Parser::Run() {
  doc_->warning_text_.clear();
  doc_->convert_mode_ = doc_->convert_master_page_;
  Tag* root = doc_->root_.get();
  root->params_.clear();
  root->RemoveAll();

  bool directive;
  size_t first = ReadTag(0, &directive);
  const bool is_html = !directive && token_ == "HTML";
  if (first != kNone) {
    Params scratch;
    std::string id;
    bool has_id = false;
    ReadAttributes(first, false, &scratch, &id, &has_id);
    for (const Tag::Param& p : scratch) {
      if (p.name != "CONVERTMASTERPAGE") continue;
      if (p.value == "Yes") doc_->convert_mode_ = true;
      if (p.value == "No") doc_->convert_mode_ = false;
      break;
    }
  }
  convert_ = doc_->convert_mode_;

  if (is_html) {
    root->Init(doc_->link_.get(), nullptr, "HTML", 0, true);
    size_t pos = Enter(root, first);
    Content(pos);
    Tags& top = root->Children();
    bool has_head = false;
    for (const auto& e : top.entries_) {
      if (e.tag->name_ == "HEAD") {
        has_head = true;
        break;
      }
    }
    if (!has_head) top.InsertAt(0, "", "HEAD");
  } else {
    root->Init(doc_->link_.get(), nullptr, "ROOT", 0, true);
    Open(root);
    Content(0);
  }
  open_.clear();
  deep_names_.clear();
}

void ParseDocument(Document* doc, std::string_view text) { Parser(doc, text).Run(); }

}  // namespace quillon::html

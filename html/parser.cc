// The template parser: one forward pass over the text that builds the tag
// tree, repairing unbalanced markup as it goes.
//
// The tree is built straight into the document's arena: names are interned
// (each spelling looked up once per parse), and values and texts that the
// text holds as they are become slices of it, which the arena keeps. The
// children of each open element gather on one stack and become its list,
// at its exact size, when the element ends.
//
// The element stack is explicit rather than the call stack, so a template
// nested a few hundred thousand levels deep parses like a flat one. An end
// tag that matches no open element is recognised by looking at the top
// kShallow elements directly and counting the names of the deeper ones in
// a table, so a page of many stray end tags under deep nesting stays
// linear while ordinary pages never touch the table.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <limits>
#include <unordered_map>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "html/internal.h"
#include "html/node.h"
#include "quillon/component/errors.h"

namespace quillon::html {

namespace {

std::atomic<uint64_t> parse_count{0};

// Bytes that end a name or an unquoted value: blanks and '>' (and, for
// attribute names, '=').
struct NameEnds {
  uint8_t stop[256] = {};
  constexpr NameEnds() {
    for (char c : {' ', '\t', '\r', '\n', '>'}) stop[static_cast<unsigned char>(c)] = 1;
    stop[static_cast<unsigned char>('=')] = 2;
  }
};
constexpr NameEnds kNameEnds;

// The position of the first byte at or after `pos` that is one of the
// bytes `stops` (up to five, padded by repeating one), or `n`. Sixteen
// bytes are looked at at once while that many are left; the markup bytes
// lie below 0x40, so a byte of a multibyte character never matches (see
// internal.h).
template <char A, char B, char C, char D, char E>
size_t Find(const char* t, size_t pos, size_t n) {
#ifdef __SSE2__
  const __m128i a = _mm_set1_epi8(A), b = _mm_set1_epi8(B), c = _mm_set1_epi8(C);
  const __m128i d = _mm_set1_epi8(D), e = _mm_set1_epi8(E);
  while (pos + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + pos));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)),
        _mm_or_si128(_mm_cmpeq_epi8(v, c), _mm_or_si128(_mm_cmpeq_epi8(v, d), _mm_cmpeq_epi8(v, e))));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return pos + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    pos += 16;
  }
#endif
  while (pos < n) {
    const char x = t[pos];
    if (x == A || x == B || x == C || x == D || x == E) break;
    ++pos;
  }
  return pos;
}

// The end of a word of text: a blank or '<'.
size_t WordEnd(const char* t, size_t pos, size_t n) { return Find<' ', '\t', '\r', '\n', '<'>(t, pos, n); }
// The end of a tag name or an unquoted value: a blank or '>'.
size_t NameEnd(const char* t, size_t pos, size_t n) { return Find<' ', '\t', '\r', '\n', '>'>(t, pos, n); }
// The end of a quoted value: the quote, CR or LF.
size_t QuotedEnd(const char* t, size_t pos, size_t n) { return Find<'"', '\r', '\n', '"', '"'>(t, pos, n); }

// The bytes `byte` in [from, to).
size_t CountByte(const char* from, const char* to, char byte) {
  size_t count = 0;
#ifdef __SSE2__
  // Matches counted in byte lanes (each comparison adds -1, subtracted),
  // summed before a lane could overflow.
  const __m128i wanted = _mm_set1_epi8(byte);
  while (to - from >= 16) {
    __m128i lanes = _mm_setzero_si128();
    for (int i = 0; i < 255 && to - from >= 16; ++i, from += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, wanted));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; from < to; ++from) count += *from == byte;
  return count;
}

}  // namespace

uint64_t ParseCount() { return parse_count.load(std::memory_order_relaxed); }

class Parser {
 public:
  Parser(Document* doc, std::string_view text, std::string_view template_name)
      : doc_(doc), cp_(doc->code_page()), text_(text), arena_(doc->arena()),
        dummy_(doc->dummy_tag_id()), template_name_(template_name),
        english_(CurrentMessageLanguage() == MessageLanguage::kEnglish) {
    utf8_ = cp_.number() != platform::CodePage::kJapanese;
  }

  static void Parse(Document* doc, std::shared_ptr<const std::string> source,
                    std::string_view template_name);

 private:
  void Run();
  // Frees what a failed parse made but never attached.
  void Abandon();

  static constexpr size_t kNone = std::string_view::npos;
  struct Open {
    Tag* tag;
    NameId name;
    size_t kids;  // where its children start on kids_
  };

  // ReadTag's result: a comment or directive (its text), a start or end
  // tag (its name), or nothing.
  enum TokenKind { kNothing, kDirective, kStart, kEnd };
  size_t ReadTag(size_t start);
  // ReadTag where text_[pos] is the '<'.
  size_t ReadTagAt(size_t pos);
  size_t ReadAttributes(size_t pos, bool convert, bool* has_id);
  size_t Enter(Tag* tag, size_t pos, bool owned);
  void OpenElement(Tag* tag);
  bool IsOpen(NameId name) const {
    const size_t shallow = std::min(open_.size(), kShallow);
    for (size_t i = 0; i < shallow; ++i) {
      if (open_[open_.size() - 1 - i].name == name) return true;
    }
    return !deep_names_.empty() && deep_names_.count(name) != 0;
  }
  void Close();
  // The loop of the content of the open elements.
  void Content(size_t pos);
  void FlushText(Tag* tag, NameId name);
  void AddWord(size_t from, size_t to, bool separated);
  void Report(size_t pos, int number, std::string_view current, std::string_view other);
  size_t AfterNextGt(size_t pos) const {
    if (pos >= text_.size()) return text_.size();
    const void* gt = std::memchr(text_.data() + pos, '>', text_.size() - pos);
    return gt ? static_cast<const char*>(gt) - text_.data() + 1 : text_.size();
  }
  std::string Fragment(std::u16string_view utf16) const { return cp_.FromUtf16(utf16); }
  // The number of the name spelled text_[from, to), upper-cased. Inlined:
  // every tag and parameter name passes here, and most were met before.
  NameId NameOf(size_t from, size_t to) {
    const char* p = text_.data() + from;
    const size_t n = to - from;
    uint64_t head = 0;
    if (from + 8 <= text_.size()) {
      // Eight bytes are there to read: one load, the bytes beyond the name
      // masked off.
      std::memcpy(&head, p, 8);
      if (n < 8) head &= (uint64_t{1} << (8 * n)) - 1;
    } else {
      std::memcpy(&head, p, std::min<size_t>(n, 8));
    }
    Spelling& s = spellings_[((head ^ n) * 0x9E3779B97F4A7C15ull) >> 56];
    if (s.size == n && s.head == head && s.text != nullptr &&
        (n <= 8 || std::memcmp(s.text + 8, p + 8, n - 8) == 0)) {
      return s.id;
    }
    return NewSpelling(p, n, head, &s);
  }
  const std::string& NameText(NameId id) const { return arena_->Info(id).text; }
  // A tag made inside an element: Node::Init's rules, with what they read
  // of the parent and the name at hand.
  Tag* NewTag(NameId name, const Tag* parent) {
    Tag* t = Node::Make(arena_, name);
    const uint8_t pf = Node::flags(parent);
    uint8_t f = 0;
    if (pf & Node::kBreakBeforeEnd) f = Node::kBreakBefore | Node::kBreakBeforeEnd;
    if (arena_->Info(Node::name(parent)).flags & NameInfo::kKeepsLayout) f |= Node::kNoIndent;
    const uint8_t nf = arena_->Info(name).flags;
    if (!(nf & NameInfo::kEmptyElement)) f |= Node::kHasEndTag;
    if (nf & NameInfo::kInlineEnd) f &= ~Node::kBreakBeforeEnd;
    if (nf & NameInfo::kInlineStart) f &= ~Node::kBreakBefore;
    Node::set_flags(t, f);
    return t;
  }
  void AddKid(Tag* kid) { kids_.push_back(kid); }

  Document* doc_;
  const platform::CodePage& cp_;
  std::string_view text_;
  Arena* arena_;
  const NameId dummy_;
  bool utf8_;
  bool convert_ = false;

  TokenKind kind_ = kNothing;
  NameId token_ = 0;       // the name of a start or end tag (without '/')
  size_t raw_from_ = 0;    // a comment or directive: text_[raw_from_, raw_to_)
  size_t raw_to_ = 0;
  std::vector<Open> open_;
  std::vector<Tag*> kids_;
  static constexpr size_t kShallow = 64;
  // Names of the open elements below the top kShallow, with their counts.
  std::unordered_map<NameId, int> deep_names_;

  // The attributes of the start tag being read.
  std::vector<Param> params_;
  std::unordered_map<NameId, size_t> param_index_;
  size_t id_from_ = 0;
  size_t id_to_ = 0;

  // Pending text: text_[pending_from_, pending_to_) while the words are
  // those of the text joined as the text joins them, else spelled out.
  bool pending_empty_ = true;
  bool pending_split_ = false;
  size_t pending_from_ = 0;
  size_t pending_to_ = 0;
  std::string pending_;
  size_t leading_ = 0;

  // The terminators of comments and directives are searched for far ahead
  // (a declaration ends at the first "!>" anywhere after it): each search
  // remembers where it looked from and what it found, so that a page of
  // many of them is not searched to its end once for each.
  struct NextFind {
    size_t from = kNone;  // nothing searched yet
    size_t at = kNone;
  };
  size_t NextOf(NextFind* next, std::string_view what, size_t from) const {
    if (next->from != kNone && from >= next->from && (next->at == kNone || next->at >= from)) {
      return next->at;
    }
    next->from = from;
    next->at = text_.find(what, from);
    return next->at;
  }
  NextFind next_comment_end_;
  NextFind next_bang_end_;
  NextFind next_question_end_;
  NextFind next_percent_end_;
  NextFind next_gt_;

  // Spellings of names met in this parse.
  struct Spelling {
    const char* text = nullptr;
    uint64_t head = 0;  // the first 8 bytes (fewer for a shorter name)
    uint32_t size = 0;
    NameId id = 0;
  };
  Spelling spellings_[256];
  std::string upper_;
  // A spelling not met before (or pushed out): interned, and remembered in `s`.
  [[gnu::noinline]] NameId NewSpelling(const char* p, size_t n, uint64_t head, Spelling* s);

  struct Words {
    std::string message;  // the message text, " ----  " and the line label
    std::string column;
    std::string first;
    std::string second;
  };
  Words words_[3];
  // Warning lines in English name the template they come from.
  std::string_view template_name_;
  bool english_;
  // Line counting for warnings resumes where the previous one stopped.
  size_t counted_to_ = 0;
  int crs_ = 0;
  // English lines count every line end (LF, CR LF or a lone CR), so that
  // a template saved with LF line ends gets its true line numbers too.
  int line_ends_ = 0;
  size_t last_line_end_ = kNone;
  size_t last_lf_ = kNone;
};

NameId Parser::NewSpelling(const char* p, size_t n, uint64_t head, Spelling* s) {
  upper_.assign(p, n);
  bool ascii = utf8_;
  if (!ascii) {
    ascii = true;
    for (char c : upper_) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        ascii = false;
        break;
      }
    }
  }
  if (ascii) {
    for (char& c : upper_) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
  } else {
    cp_.ToUpperInPlace(&upper_);
  }
  const NameId id = arena_->Intern(upper_);
  if (n <= std::numeric_limits<uint32_t>::max()) {
    *s = Spelling{p, head, static_cast<uint32_t>(n), id};
  }
  return id;
}

size_t Parser::ReadTag(size_t start) {
  const size_t n = text_.size();
  kind_ = kNothing;
  if (start >= n) return kNone;
  const void* lt = std::memchr(text_.data() + start, '<', n - start);
  if (!lt) return kNone;
  return ReadTagAt(static_cast<size_t>(static_cast<const char*>(lt) - text_.data()));
}

size_t Parser::ReadTagAt(size_t pos) {
  const size_t n = text_.size();
  kind_ = kNothing;
  if (pos + 1 < n) {
    const char c = text_[pos + 1];
    if (c == '!' && text_.substr(pos, 4) == "<!--") {
      const size_t close = NextOf(&next_comment_end_, "-->", pos + 4);
      const size_t end = close == kNone ? n : close + 3;
      kind_ = kDirective;
      raw_from_ = pos;
      raw_to_ = end;
      return end;
    }
    if (c == '!' || c == '?' || c == '%') {
      const char pair[2] = {c, '>'};
      NextFind& next = c == '!' ? next_bang_end_ : c == '?' ? next_question_end_ : next_percent_end_;
      size_t close = NextOf(&next, std::string_view(pair, 2), pos);
      size_t end;
      if (close != kNone) {
        end = close + 2;
      } else {
        close = NextOf(&next_gt_, ">", pos);
        end = close == kNone ? n : close + 1;
      }
      kind_ = kDirective;
      raw_from_ = pos;
      raw_to_ = end;
      return end;
    }
  }
  while (pos < n && (text_[pos] == '<' || IsBlank(text_[pos]))) ++pos;
  size_t name = pos;
  pos = NameEnd(text_.data(), pos, n);
  if (pos == name) return pos;
  if (text_[name] == '/') {
    size_t second = name + 1;
    if (second == pos) {
      // A slash alone: the name follows after blanks.
      while (pos < n && IsBlank(text_[pos])) ++pos;
      second = pos;
      pos = NameEnd(text_.data(), pos, n);
      if (pos == second) return pos;
    }
    kind_ = kEnd;
    token_ = NameOf(second, pos);
    return pos;
  }
  kind_ = kStart;
  token_ = NameOf(name, pos);
  return pos;
}

size_t Parser::ReadAttributes(size_t pos, bool convert, bool* has_id) {
  const size_t n = text_.size();
  // Long attribute lists get an index, so a tag with very many attributes
  // does not cost quadratic time to de-duplicate.
  constexpr size_t kIndexFrom = 16;
  params_.clear();
  if (!param_index_.empty()) param_index_.clear();
  const NameId id_name = convert ? names::kId : names::kQlid;
  for (;;) {
    while (pos < n && IsBlank(text_[pos])) ++pos;
    if (pos >= n) return pos;
    if (text_[pos] == '>') return pos + 1;
    const size_t start = pos;
    while (pos < n && kNameEnds.stop[static_cast<unsigned char>(text_[pos])] == 0) ++pos;
    const NameId name = NameOf(start, pos);
    while (pos < n && IsBlank(text_[pos])) ++pos;
    std::string_view value;
    bool quote = false;
    bool from_text = false;
    if (pos >= n || text_[pos] != '=') {
      // Without a value the value is the name as written, upper-cased; the
      // name's own entry holds those bytes.
      value = NameText(name);
      quote = std::memchr(value.data(), '"', value.size()) != nullptr;
    } else {
      ++pos;
      while (pos < n && IsBlank(text_[pos])) ++pos;
      if (pos >= n) return pos;
      if (text_[pos] == '>') return pos + 1;
      from_text = true;
      if (text_[pos] == '"') {
        const size_t v = ++pos;
        pos = QuotedEnd(text_.data(), pos, n);
        value = text_.substr(v, pos - v);
        if (pos < n) ++pos;
      } else {
        const size_t v = pos;
        while (pos < n && kNameEnds.stop[static_cast<unsigned char>(text_[pos])] != 1) {
          quote |= text_[pos] == '"';
          ++pos;
        }
        value = text_.substr(v, pos - v);
      }
    }
    if (name == id_name) {
      if (from_text) {
        id_from_ = static_cast<size_t>(value.data() - text_.data());
        id_to_ = id_from_ + value.size();
      } else {
        // QLID written bare: the identifier is the name, which the
        // name's entry spells.
        id_from_ = kNone;
      }
      *has_id = true;
      continue;
    }
    if (value.size() > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    Param p{value.data(), static_cast<uint32_t>(value.size()), name | (quote ? Param::kQuote : 0u)};
    if (!from_text && (name & kLocalName) && !value.empty()) {
      // An arena's own names go with the arena: a copy elsewhere must not
      // point into them.
      p.value = arena_->Store(value);
      p.bits |= Param::kEdited;
    }
    Param* existing = nullptr;
    if (params_.size() < kIndexFrom) {
      for (Param& q : params_) {
        if (q.name() == name) {
          existing = &q;
          break;
        }
      }
    } else {
      if (param_index_.empty()) {
        for (size_t i = params_.size(); i-- > 0;) param_index_[params_[i].name()] = i;
      }
      auto it = param_index_.find(name);
      if (it != param_index_.end()) existing = &params_[it->second];
    }
    if (existing) {
      *existing = p;
    } else {
      if (!param_index_.empty()) param_index_.emplace(name, params_.size());
      params_.push_back(p);
    }
  }
}

size_t Parser::Enter(Tag* tag, size_t pos, bool owned) {
  bool has_id = false;
  pos = ReadAttributes(pos, convert_, &has_id);
  std::string_view id;
  if (has_id && owned) {
    id = id_from_ == kNone ? std::string_view(NameText(convert_ ? names::kId : names::kQlid))
                           : text_.substr(id_from_, id_to_ - id_from_);
  }
  if (!params_.empty() || !id.empty()) {
    // Collected apart and put in once: the list gets its exact size.
    AttrList* a = Node::NewAttrs(arena_, static_cast<uint32_t>(params_.size()));
    if (!params_.empty()) std::memcpy(a->items(), params_.data(), sizeof(Param) * params_.size());
    a->count = static_cast<uint32_t>(params_.size());
    a->id = id.data();
    a->id_size = static_cast<uint32_t>(id.size());
    Node::set_attrs(tag, a);
  }
  if (!(Node::flags(tag) & Node::kHasEndTag)) return pos;
  if (Node::GetParam(tag, names::kSlash) == "/") return pos;
  OpenElement(tag);
  return pos;
}

void Parser::OpenElement(Tag* tag) {
  open_.push_back(Open{tag, Node::name(tag), kids_.size()});
  if (open_.size() > kShallow) ++deep_names_[open_[open_.size() - 1 - kShallow].name];
  pending_empty_ = true;
  leading_ = 0;
}

void Parser::Close() {
  if (open_.size() > kShallow) {
    auto it = deep_names_.find(open_[open_.size() - 1 - kShallow].name);
    if (--it->second == 0) deep_names_.erase(it);
  }
  const Open& o = open_.back();
  const size_t count = kids_.size() - o.kids;
  if (count > 0) {
    if (count > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    Node::SetKids(o.tag, kids_.data() + o.kids, static_cast<uint32_t>(count));
    kids_.resize(o.kids);
  }
  open_.pop_back();
  pending_empty_ = true;
}

void Parser::AddWord(size_t from, size_t to, bool separated) {
  // Words joined by one space as the text has them stay a slice of it.
  if (pending_empty_) {
    pending_empty_ = false;
    pending_split_ = false;
    pending_from_ = from;
    pending_to_ = to;
    return;
  }
  if (!pending_split_) {
    if (separated ? (from == pending_to_ + 1 && text_[pending_to_] == ' ') : from == pending_to_) {
      pending_to_ = to;
      return;
    }
    pending_.assign(text_.substr(pending_from_, pending_to_ - pending_from_));
    pending_split_ = true;
  }
  if (separated) pending_ += ' ';
  pending_.append(text_.substr(from, to - from));
}

void Parser::FlushText(Tag* tag, NameId name) {
  if (pending_empty_) return;
  std::string_view text = pending_split_ ? std::string_view(pending_)
                                         : text_.substr(pending_from_, pending_to_ - pending_from_);
  pending_empty_ = true;
  if (name == dummy_) {
    // A text block written as a tag gathers its lines, joined by CR LF.
    std::string value(Node::GetParam(tag, names::kValue));
    if (!value.empty()) value += "\r\n";
    value += text;
    Node::SetParam(tag, names::kValue, value);
    return;
  }
  Tag* block = NewTag(dummy_, tag);
  AddKid(block);
  if (text.size() > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  Param p;
  p.value = pending_split_ ? arena_->Store(text) : text.data();
  p.size = static_cast<uint32_t>(text.size());
  // Whether the text holds a quote matters only if the block is ever
  // written as a tag with a VALUE parameter: the writer looks then.
  p.bits = names::kValue | Param::kQuote | (pending_split_ && !text.empty() ? Param::kEdited : 0);
  if (!Node::SetCompact(block, p)) {
    AttrList* a = Node::NewAttrs(arena_, 1);
    a->items()[0] = p;
    a->count = 1;
    Node::set_attrs(block, a);
  }
  uint8_t f = Node::flags(block);
  if (StartsWithMarkupDirective(text)) f |= Node::kNoIndent;
  f = leading_ != 0 ? (f | Node::kBreakBefore) : (f & ~Node::kBreakBefore);
  Node::set_flags(block, f);
}

void Parser::Content(size_t pos) {
  const size_t n = text_.size();
  const char* t = text_.data();
  while (!open_.empty()) {
    Open& cur = open_.back();
    const size_t top = pos;
    while (pos < n && IsBlank(t[pos])) ++pos;
    const size_t blanks = pos - top;
    if (pending_empty_) leading_ = blanks;
    if (pos >= n) {
      // The end of the text ends every open element.
      FlushText(cur.tag, cur.name);
      while (!open_.empty()) Close();
      return;
    }
    if (t[pos] != '<') {
      const size_t word = pos;
      pos = WordEnd(t, pos, n);
      AddWord(word, pos, true);
      if (pos < n && (t[pos] == '\r' || t[pos] == '\n')) FlushText(cur.tag, cur.name);
      continue;
    }
    const size_t next = ReadTagAt(pos);
    if (kind_ == kDirective) {
      AddWord(raw_from_, raw_to_, false);
      pos = next;
      if (pos < n && (t[pos] == '\r' || t[pos] == '\n')) FlushText(cur.tag, cur.name);
      continue;
    }
    if (kind_ == kNothing) {
      pos = AfterNextGt(next);
      continue;
    }
    if (kind_ == kEnd) {
      if (token_ == cur.name) {
        FlushText(cur.tag, cur.name);
        Node::set_flags(cur.tag, blanks != 0 ? (Node::flags(cur.tag) | Node::kBreakBeforeEnd)
                                             : (Node::flags(cur.tag) & ~Node::kBreakBeforeEnd));
        pos = AfterNextGt(next);
        Close();
      } else if (IsOpen(token_)) {
        Report(next, kMsgUnclosedInnerTag, NameText(cur.name), NameText(token_));
        FlushText(cur.tag, cur.name);
        pos = top;
        Close();
      } else {
        Report(next, kMsgUnopenedEndTag, "/" + NameText(token_), NameText(cur.name));
        pos = AfterNextGt(next);
      }
      continue;
    }
    if (token_ == cur.name && !(arena_->Info(token_).flags & NameInfo::kNestable)) {
      Report(next, kMsgNestedSameTag, NameText(cur.name), {});
      FlushText(cur.tag, cur.name);
      pos = top;
      Close();
      continue;
    }
    FlushText(cur.tag, cur.name);
    Tag* child = NewTag(token_, cur.tag);
    AddKid(child);
    Node::set_flags(child, blanks != 0 ? (Node::flags(child) | Node::kBreakBefore)
                                       : (Node::flags(child) & ~Node::kBreakBefore));
    pos = Enter(child, next, true);
    pending_empty_ = true;
  }
}

void Parser::Report(size_t pos, int number, std::string_view first, std::string_view second) {
  if (pos == kNone || pos > text_.size()) pos = text_.size();
  if (pos < counted_to_) {
    counted_to_ = 0;
    crs_ = 0;
    line_ends_ = 0;
    last_line_end_ = kNone;
    last_lf_ = kNone;
  }
  // Counted a stretch at a time (the loops and searches vectorise), not
  // byte by byte with two tests each, and only what this language's lines
  // need.
  const char* from = text_.data() + counted_to_;
  const char* to = text_.data() + pos;
  const void* lf = memrchr(from, '\n', static_cast<size_t>(to - from));
  if (english_) {
    // A line ends at LF, CR LF or a lone CR: every LF and every CR that no
    // LF follows (the text after the stretch included).
    const char* const end = text_.data() + text_.size();
    size_t lone_crs = 0;
    const char* last_cr = nullptr;
    for (const char* c = from; c < to; ++c) {
      c = static_cast<const char*>(std::memchr(c, '\r', static_cast<size_t>(to - c)));
      if (c == nullptr) break;
      lone_crs += c + 1 == end || c[1] != '\n';
      last_cr = c;
    }
    line_ends_ += static_cast<int>(lone_crs + CountByte(from, to, '\n'));
    if (const void* last = std::max(lf, static_cast<const void*>(last_cr), std::less<>())) {
      last_line_end_ = static_cast<size_t>(static_cast<const char*>(last) - text_.data());
    }
  } else {
    crs_ += static_cast<int>(CountByte(from, to, '\r'));
    if (lf != nullptr) last_lf_ = static_cast<size_t>(static_cast<const char*>(lf) - text_.data());
  }
  counted_to_ = pos;
  const long long line = 1 + (english_ ? line_ends_ : crs_);
  const size_t line_start = english_ ? last_line_end_ : last_lf_;
  const long long column =
      line_start == kNone ? static_cast<long long>(pos) + 1
                          : static_cast<long long>(pos) - static_cast<long long>(line_start);
  // The fixed words of the lines, in the document's code page, once per
  // parse: a page may need thousands of repairs.
  const int kind = number == kMsgUnclosedInnerTag ? 0 : number == kMsgUnopenedEndTag ? 1 : 2;
  Words& words = words_[kind];
  if (words.message.empty() && english_) {
    static constexpr std::string_view kFirst[] = {", inner tag: ", ", removed tag: ",
                                                  ", nested tag: "};
    static constexpr std::string_view kSecond[] = {", outer tag: ", ", current tag: ", ""};
    words.message = std::string(MessageText(number, MessageLanguage::kEnglish));
    words.message += " ----  template: ";
    if (template_name_.empty()) {
      words.message += "(text)";
    } else {
      words.message += template_name_;
    }
    words.message += ", line: ";
    words.column = ", column: ";
    words.first = kFirst[kind];
    words.second = kSecond[kind];
  } else if (words.message.empty()) {
    static constexpr std::u16string_view kFirst[] = {u", 下位のタグ：", u", 削除されたタグ：",
                                                     u", ネストしているタグ："};
    static constexpr std::u16string_view kSecond[] = {u", 上位のタグ：", u", 現在処理中のタグ：", u""};
    words.message = Fragment(MessageText16(number)) + Fragment(u" ----  行番号：");
    words.column = Fragment(u", 列番号：");
    words.first = Fragment(kFirst[kind]);
    words.second = Fragment(kSecond[kind]);
  }
  std::string& w = doc_->warning_text_;
  // A page that needs one repair usually needs many: room is made once
  // instead of at every doubling, each of which would copy the lines so
  // far into new memory and fault its pages in again. Room that is never
  // written is never faulted in.
  if (w.empty() && w.capacity() < text_.size() / 2) w.reserve(text_.size() / 2);
  w += words.message;
  w += std::to_string(line);
  w += words.column;
  w += std::to_string(column);
  w += words.first;
  w += first;
  if (kind != 2) {
    w += words.second;
    w += second;
  }
  w += "\r\n";
}

void Parser::Run() {
  doc_->warning_text_.clear();
  doc_->convert_mode_ = doc_->convert_master_page_;
  Tag* root = doc_->root_;
  kids_.reserve(64);

  const size_t first = ReadTag(0);
  const bool is_html = kind_ == kStart && token_ == names::kHtml;
  if (first != kNone) {
    bool has_id = false;
    ReadAttributes(first, false, &has_id);
    for (const Param& p : params_) {
      if (p.name() != names::kConvertMasterPage) continue;
      if (p.view() == "Yes") doc_->convert_mode_ = true;
      if (p.view() == "No") doc_->convert_mode_ = false;
      break;
    }
  }
  convert_ = doc_->convert_mode_;

  if (is_html) {
    Node::Init(root, nullptr, names::kHtml);
    // The root's own attributes, read again with the document's setting.
    const size_t pos = Enter(root, first, false);
    if (!open_.empty()) Content(pos);
    bool has_head = false;
    for (uint32_t i = 0; i < Node::KidCount(root); ++i) {
      if (Node::name(Node::Kid(root, i)) == names::kHead) {
        has_head = true;
        break;
      }
    }
    if (!has_head) root->Children().InsertAt(0, "", "HEAD");
  } else {
    Node::Init(root, nullptr, names::kRoot);
    OpenElement(root);
    Content(0);
  }
}

void Parser::Abandon() {
  for (Tag* t : kids_) Node::Free(t);
  kids_.clear();
}

void Parser::Parse(Document* doc, std::shared_ptr<const std::string> source,
                   std::string_view template_name) {
  parse_count.fetch_add(1, std::memory_order_relaxed);
  doc->arena()->Keep(source);
  // A template's tree takes about three times its text (tags, lists,
  // attributes); two times is a floor that never overshoots a block.
  doc->arena()->ExpectBytes(2 * source->size());
  Parser parser(doc, *source, template_name);
  try {
    parser.Run();
  } catch (...) {
    parser.Abandon();
    throw;
  }
}

void ParseDocument(Document* doc, std::shared_ptr<const std::string> source,
                   std::string_view template_name) {
  Parser::Parse(doc, std::move(source), template_name);
}

}  // namespace quillon::html

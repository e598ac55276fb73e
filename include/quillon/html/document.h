// A page document: loads a template (the master page), holds the parsed tag
// tree under its root and writes it back in the page form (for the
// browser) or the master-page form (a template again), into a string, a
// file or an attached output such as a server response.
//
//   quillon::html::Document doc;
//   doc.Load("page.htm");
//   doc.Get("name")->SetText("Ann");
//   std::string page = doc.GetPageData();
//
// Texts are bytes in the document's code page (by default the process code
// page); positions of TagToTextPos/TextPosToTag count UTF-16 units of the
// written text. Parsing never fails: nesting repairs leave warning lines in
// HtmlWarning().
//
// Errors: Load throws Error(10002), Save/SaveMasterPage Error(10003),
// Item and Get Error(10004), WriteTo Error(10011); std::bad_alloc when
// memory runs out. Tags taken from a document stay valid (as objects)
// after the document is gone, but no longer belong to one.
#ifndef QUILLON_HTML_DOCUMENT_H_
#define QUILLON_HTML_DOCUMENT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quillon/component/types.h"
#include "quillon/html/ref.h"
#include "quillon/html/tag.h"
#include "quillon/platform/codepage.h"

namespace quillon::html {

// Where WriteTo sends a page: text is appended to the current line, LineEnd
// starts a new one. A server response implements it.
class QUILLON_EXPORT Output {
 public:
  virtual ~Output();
  virtual void AppendText(std::string_view text) = 0;
  virtual void LineEnd() = 0;
  // An output that keeps its text in one string may let the writer append
  // to it in place of the calls above: each line end then goes in as CR LF,
  // except a first one that `*skip_leading_line_end` (set by the output)
  // says would begin the text. Null (the default): the calls are used.
  // After a write into the string, DirectTextEnd says whether anything
  // went in (a left-out line end counts).
  virtual std::string* DirectText(bool* skip_leading_line_end);
  virtual void DirectTextEnd(bool touched);
};

enum class Form { kPage, kMasterPage };

// Where a tag stands in a written page, in UTF-16 units: [begin, end).
struct TextRange {
  int32_t begin = 0;
  int32_t end = 0;
  bool empty() const { return begin == end; }
  friend bool operator==(const TextRange&, const TextRange&) = default;
};

class DocumentLink;

class QUILLON_EXPORT Document {
 public:
  // Uses the process code page.
  Document();
  explicit Document(const platform::CodePage& code_page);
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  ~Document();

  const platform::CodePage& code_page() const { return *code_page_; }

  // --- Loading ---
  // Reads and parses a template file, its bytes as they are. Throws 10002
  // when it cannot be read; the tree is then unchanged.
  //
  // In a process that loads the same file again (a serving loop), a file
  // whose device, inode, size, modification and change times are those it
  // had when last parsed is not parsed again: the document gets a copy of
  // the tree parsed then (see TemplateCache in html/template_cache.h for
  // its bound and how to turn it off). The copy is the document's own.
  //
  // With QUILLON_LOG_TEMPLATE_WARNINGS set (non-empty) in the environment,
  // each nesting repair's warning line also goes to standard error as
  // "<file_name>: <line>".
  //
  // Warning lines are Japanese, as they always were, unless
  // QUILLON_MESSAGES is "en": then they are English and name the template
  // (the file name as given to Load; "(text)" after SetMasterPage) and the
  // line and column of the repair.
  void Load(const std::string& file_name);
  // Parses `page_data` as the template.
  void SetMasterPage(std::string_view page_data);
  // The same, taking the bytes over instead of copying them.
  void SetMasterPage(std::string&& page_data);
  void SetMasterPage(const char* page_data) { SetMasterPage(std::string_view(page_data)); }
  // An empty page: root HTML with HEAD and BODY.
  void Clear();
  const std::string& HtmlWarning() const { return warning_text_; }

  // --- Writing ---
  std::string GetPageData();
  std::string GetMasterPage();
  void Save(const std::string& file_name);        // throws 10003
  void SaveMasterPage(const std::string& file_name);  // throws 10003
  // Writes the page to `output` (null: Error 10011, nothing written) and
  // keeps it attached, so Tag::Write of this document's tags goes there
  // too, until one of the string or file writers detaches it. The caller
  // keeps `output` alive while it is attached (or calls DetachOutput). A
  // write that fails (the output threw) detaches it.
  void WriteTo(Output* output);
  void DetachOutput() { output_ = nullptr; }
  Output* output() const { return output_; }
  // WriteTag of `tag` at `level` in `form` to the current destination.
  void WriteTag(const Tag* tag, int level, Form form);

  // --- Text positions (UTF-16 units of the written text) ---
  // The range of `tag`'s start tag through its end tag in the page written
  // in `form`; empty at 0 for a tag that is not written as part of this
  // document.
  TextRange TagToTextPos(Form form, const Tag& tag);
  // The same through out-parameters; a null tag gives 0, 0.
  void TagToTextPos(bool use_master_page, const Tag* tag, int32_t* begin, int32_t* end);
  // The innermost tag whose written text contains position `pos` (limited
  // to the text's length); the root when no child contains it.
  Ref<Tag> TextPosToTag(bool use_master_page, int32_t pos);

  // --- The tree ---
  Ref<Tag> Root() const;
  [[nodiscard]] Ref<Tag> Head() const;  // the root's child 0, or null
  [[nodiscard]] Ref<Tag> Body() const;  // the root's child 1, or null
  // "HEAD"/"BODY" in any case, 0/1; anything else throws 10004.
  Ref<Tag> Item(std::string_view key) const;
  Ref<Tag> Item(int32_t index) const;
  std::string Title() const;
  void SetTitle(std::string_view title);
  std::string Text() const;
  void SetText(std::string_view text);

  // --- Searches from the root and their continuation ---
  [[nodiscard]] Ref<Tag> FindByID(std::string_view id);
  [[nodiscard]] Ref<Tag> FindByTagName(std::string_view name);
  [[nodiscard]] Ref<Tag> FindByParameter(std::string_view name, std::string_view value);
  // The tag with identifier `id` (any case) below the root; throws Error
  // 10004 naming `id` when there is none.
  Ref<Tag> Get(std::string_view id);
  // Continues the last search after its last hit, in document order. A
  // remembered scope that has left the document falls back to the root; a
  // remembered hit that has left it (or was released) restarts the search
  // from its first match. After SetFindPosition with a tag that is not
  // this document's, the answer is null (and the call after that starts
  // over).
  [[nodiscard]] Ref<Tag> FindNext();
  // The point after which FindNext continues (null clears it).
  void SetFindPosition(TagArg current);

  // --- Settings ---
  const std::string& DummyTagName() const { return dummy_tag_name_; }
  void SetDummyTagName(std::string_view name);
  const std::string& DummyBlockTagName() const { return dummy_block_tag_name_; }
  void SetDummyBlockTagName(std::string_view name);
  // Written once per level, up to 256 levels; deeper lines are indented
  // like the 256th, so the size of a page stays proportional to its tags.
  const std::string& IndentCode() const { return indent_code_; }
  void SetIndentCode(std::string_view code) { indent_code_ = code; }
  bool ConvertMasterPage() const { return convert_master_page_; }
  void SetConvertMasterPage(bool on) { convert_master_page_ = on; }
  bool ConvertMode() const { return convert_mode_; }

 private:
  friend class Tag;
  friend class Tags;
  friend struct Node;
  friend class Parser;
  friend class Writer;
  friend class Search;
  friend class TemplateCache;
  struct FindState {
    // The last search: by identifier (0), tag name (1) or parameter (2),
    // with its key (identifier, tag name or parameter name) and value.
    int kind = 2;
    // The identifier or name is the first `first_size` bytes of `first`:
    // a page filling rows looks for a few identifiers in turn, and each
    // new one is copied over the old bytes, without the string's own
    // assignment. (Kept in what was padding: the layout is unchanged.)
    uint32_t first_size = 0;
    std::string first;
    std::string second;
    Tag* scope = nullptr;  // plain links: cleared when the tag goes
    Tag* last = nullptr;
    // SetFindPosition was given a tag of no concern to this document.
    bool foreign_start = false;
    // Checked links: the scope is in the document and the last hit (if
    // any) below it, as of `epoch`. Only then may FindNext skip the walks
    // up the tree that checking takes.
    bool trusted = false;
    uint64_t epoch = 0;
  };

  // The tree's old content goes; the arena is emptied when nobody holds
  // any of its tags, else the document moves to a new one.
  void Discard(bool keep_root_params);
  // `template_name`: the file the source came from, for English warning
  // lines; empty for a text given as it is.
  void Parse(std::shared_ptr<const std::string> source, std::string_view template_name = {});
  // A copy of `text` to parse: in the last source's memory when the parse
  // is going to start the tree over and nothing else holds that source.
  std::shared_ptr<std::string> SourceFor(std::string_view text);
  std::string WriteToBuffer(Form form);
  // True when `tag` hangs below this document's root (or is the root).
  bool Contains(const Tag* tag) const;
  void Forget(const Tag* tag);
  Arena* arena() const;
  // The numbers of the dummy names in the current arena (RefreshNames
  // after the arena or a name changed).
  uint32_t dummy_tag_id() const { return dummy_tag_id_; }
  uint32_t dummy_block_tag_id() const { return dummy_block_tag_id_; }
  void RefreshNames();

  const platform::CodePage* code_page_;
  std::string dummy_tag_name_ = "TEXTBLOCK";
  std::string dummy_block_tag_name_ = "DUMMYBLOCK";
  std::string indent_code_ = "\t";
  bool convert_master_page_ = false;
  bool convert_mode_ = false;
  FindState find_;
  uint64_t detach_epoch_ = 0;  // counts removals of tags from the tree
  Ref<DocumentLink> link_;
  Tag* root_;  // held by the document for its whole life
  uint32_t dummy_tag_id_ = 0;
  uint32_t dummy_block_tag_id_ = 0;
  Output* output_ = nullptr;
  std::string page_buffer_;
  size_t last_page_size_ = 0;
  std::string warning_text_;
};

// Text for HTML: & < > " and ' written as character references, every
// other byte as it is. The engine writes text as given, so text from a
// visitor goes through this first.
QUILLON_EXPORT std::string Escape(std::string_view text);

}  // namespace quillon::html

#endif  // QUILLON_HTML_DOCUMENT_H_

// A page document: loads a template (the master page), holds the parsed tag
// tree under its root and writes it back in the page form (for the
// browser) or the master-page form (a template again), into a string, a
// file or an attached output such as a server response.
//
//   quillon::html::Document doc;
//   doc.Load("page.htm");
//   doc.Root()->FindByID("name")->SetText("Ann");
//   std::string page = doc.GetPageData();
//
// Texts are bytes in the document's code page (by default the process code
// page); positions of TagToTextPos/TextPosToTag count UTF-16 units of the
// written text. Parsing never fails: nesting repairs leave warning lines in
// HtmlWarning().
//
// Errors: Load throws Error(10002), Save/SaveMasterPage Error(10003),
// Item Error(10004), WriteTo Error(10011); std::bad_alloc when memory runs
// out. Tags taken from a document stay valid (as objects) after the
// document is gone, but no longer belong to one.
#ifndef QUILLON_HTML_DOCUMENT_H_
#define QUILLON_HTML_DOCUMENT_H_

#include <cstdint>
#include <memory_resource>
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
};

enum class Form { kPage, kMasterPage };

// The document's lifetime as its tags see it: cleared when the document
// goes, so a tag never follows a dangling link.
class DocumentLink {
 public:
  explicit DocumentLink(Document* doc);
  Document* document() const { return doc_; }
  // Where the document's tags and collections live: one pool per
  // document, alive while any of its tags is, used by one thread at a time.
  std::pmr::memory_resource* pool() { return &memory_; }

 private:
  friend class Document;
  friend void IntrusiveAddRef(DocumentLink* link);
  friend void IntrusiveRelease(DocumentLink* link);

  // The pool, except while the document releases its tree: the tree's
  // blocks then stay where they are and go back with the pool in one
  // piece (handing back thousands of blocks one by one costs the pool more
  // than building the tree did). A tag kept alive by someone else keeps the
  // pool, and so those blocks, until it goes too.
  class Memory final : public std::pmr::memory_resource {
   public:
    explicit Memory(std::pmr::memory_resource* pool) : pool_(pool) {}
    bool keep_blocks = false;

   private:
    void* do_allocate(size_t bytes, size_t align) override {
      return pool_->allocate(bytes, align);
    }
    void do_deallocate(void* p, size_t bytes, size_t align) override {
      if (!keep_blocks) pool_->deallocate(p, bytes, align);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
      return this == &other;
    }
    std::pmr::memory_resource* pool_;
  };

  uint32_t refs_ = 0;
  Document* doc_;
  std::pmr::unsynchronized_pool_resource pool_;
  Memory memory_{&pool_};
};

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
  void Load(const std::string& file_name);
  // Parses `page_data` as the template.
  void SetMasterPage(std::string_view page_data);
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
  // keeps `output` alive while it is attached (or calls DetachOutput).
  void WriteTo(Output* output);
  void DetachOutput() { output_ = nullptr; }
  Output* output() const { return output_; }
  // WriteTag of `tag` at `level` in `form` to the current destination.
  void WriteTag(const Tag* tag, int level, Form form);

  // --- Text positions (UTF-16 units of the written text) ---
  // The range of `tag`'s start tag through its end tag; 0, 0 for a tag
  // that is not written as part of this document.
  void TagToTextPos(bool use_master_page, const Tag* tag, int32_t* begin, int32_t* end);
  // The innermost tag whose written text contains position `pos` (limited
  // to the text's length); the root when no child contains it.
  Ref<Tag> TextPosToTag(bool use_master_page, int32_t pos);

  // --- The tree ---
  Ref<Tag> Root() const { return root_; }
  Tag* root() const { return root_.get(); }
  Ref<Tag> Head() const;  // the root's child 0, or null
  Ref<Tag> Body() const;  // the root's child 1, or null
  // "HEAD"/"BODY" in any case, 0/1; anything else throws 10004.
  Ref<Tag> Item(std::string_view key) const;
  Ref<Tag> Item(int32_t index) const;
  std::string Title() const;
  void SetTitle(std::string_view title);
  std::string Text() const;
  void SetText(std::string_view text);

  // --- Searches from the root and their continuation ---
  Ref<Tag> FindByID(std::string_view id) { return root_->FindByID(id); }
  Ref<Tag> FindByTagName(std::string_view name) { return root_->FindByTagName(name); }
  Ref<Tag> FindByParameter(std::string_view name, std::string_view value) {
    return root_->FindByParameter(name, value);
  }
  // Continues the last search after its last hit, in document order. A
  // remembered scope that has left the document falls back to the root; a
  // remembered hit that has left it (or was released) restarts the search
  // from its first match.
  Ref<Tag> FindNext();
  // The point after which FindNext continues (null clears it).
  void SetFindPosition(Tag* current);

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
  friend class Parser;
  friend class Writer;
  friend class Search;
  struct FindState {
    std::string id_key;
    std::string tag_key;
    std::string param_name_key;
    std::string param_value_key;
    Tag* scope = nullptr;  // plain links: cleared when the tag goes
    Tag* last = nullptr;
    // Checked links: the scope is in the document and the last hit (if
    // any) below it, as of `epoch`. Only then may FindNext skip the walks
    // up the tree that checking takes.
    bool trusted = false;
    uint64_t epoch = 0;
  };

  void Parse(std::string_view text);
  std::string WriteToBuffer(Form form);
  // True when `tag` hangs below this document's root (or is the root).
  bool Contains(const Tag* tag) const;
  void Forget(const Tag* tag);

  const platform::CodePage* code_page_;
  std::string dummy_tag_name_ = "TEXTBLOCK";
  std::string dummy_block_tag_name_ = "DUMMYBLOCK";
  std::string indent_code_ = "\t";
  bool convert_master_page_ = false;
  bool convert_mode_ = false;
  FindState find_;
  uint64_t detach_epoch_ = 0;  // counts removals of tags from the tree
  Ref<DocumentLink> link_;
  Ref<Tag> root_;
  Output* output_ = nullptr;
  std::string page_buffer_;
  size_t last_page_size_ = 0;
  std::string warning_text_;
};

}  // namespace quillon::html

#endif  // QUILLON_HTML_DOCUMENT_H_

// Shared helpers of the HTML engine.
//
// Every markup byte the engine looks for (blanks, < > = " / ! ? % -) lies
// below 0x40. Neither supported code page can have such a byte inside a
// multibyte character: 932 trail bytes are 0x40-0x7E and 0x80-0xFC, UTF-8
// continuation bytes are 0x80-0xBF. A plain byte scan for them is therefore
// multibyte-aware; only case folding has to know the code page, because
// 932 trail bytes include a-z.
#ifndef QUILLON_HTML_INTERNAL_H_
#define QUILLON_HTML_INTERNAL_H_

#include <memory_resource>
#include <string>
#include <string_view>

#include "quillon/html/document.h"
#include "quillon/html/tag.h"
#include "quillon/platform/codepage.h"

namespace quillon::html {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const platform::CodePage& CodePageOf(const Document* doc);

// Upper-cases by the code page's rule (a-z only, multibyte characters kept).
void UpperInPlace(const platform::CodePage& cp, std::string* text);
std::string Upper(const platform::CodePage& cp, std::string_view text);
// Equality after upper-casing both sides.
bool EqualsIgnoreCase(const platform::CodePage& cp, std::string_view a, std::string_view b);

// Names of elements without content and end tag.
bool IsEmptyElement(std::string_view upper_name);
// Names that may nest directly inside an element of the same name.
bool IsNestable(std::string_view upper_name);

inline bool StartsWithMarkupDirective(std::string_view v) {
  return v.size() >= 2 && v[0] == '<' && (v[1] == '!' || v[1] == '?' || v[1] == '%');
}

// The pool that tag and collection objects without a document are recycled
// through; kept for the life of the process.
std::pmr::memory_resource* NodePool();
// Where the pools of documents get their chunks (see text.cc).
std::pmr::memory_resource* ChunkSource();
inline void* AllocNode(DocumentLink* link, size_t size, size_t align) {
  return (link ? link->pool() : NodePool())->allocate(size, align);
}
inline void FreeNode(DocumentLink* link, void* p, size_t size, size_t align) {
  (link ? link->pool() : NodePool())->deallocate(p, size, align);
}

// Number of UTF-16 units the first `bytes` bytes of `text` convert to, as
// CodePage::ToUtf16 would produce them, without converting.
size_t Utf16Length(const platform::CodePage& cp, std::string_view text);
// The byte length of the first `units` UTF-16 units of `text`; a position
// inside a character's surrogate pair stays before that character.
// text.size() when the text is shorter.
size_t BytesForUtf16(const platform::CodePage& cp, std::string_view text, size_t units);

// Parses `text` into `doc` (see parser.cc).
void ParseDocument(Document* doc, std::string_view text);

}  // namespace quillon::html

#endif  // QUILLON_HTML_INTERNAL_H_

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

#include <memory>
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

// Number of UTF-16 units the first `bytes` bytes of `text` convert to, as
// CodePage::ToUtf16 would produce them, without converting.
size_t Utf16Length(const platform::CodePage& cp, std::string_view text);
// The byte length of the first `units` UTF-16 units of `text`; a position
// inside a character's surrogate pair stays before that character.
// text.size() when the text is shorter.
size_t BytesForUtf16(const platform::CodePage& cp, std::string_view text, size_t units);

// Parses the template `source` into `doc` (see parser.cc). The tree's
// unedited names, values and texts are slices of it: the document's arena
// keeps it. `template_name` names the source in English warning lines
// (empty: a text given as it is).
void ParseDocument(Document* doc, std::shared_ptr<const std::string> source,
                   std::string_view template_name);

// How many templates this process parsed (every SetMasterPage, and every
// Load that the template cache did not answer).
uint64_t ParseCount();

}  // namespace quillon::html

#endif  // QUILLON_HTML_INTERNAL_H_

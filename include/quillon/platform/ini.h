// Initialisation files ("Quillon.ini") read the way the platform's profile
// functions read them, which is part of what such a file means:
//
// - lines end at LF; blanks (space, tab, CR, VT, FF) around section names,
//   keys and values are ignored, and a line may be of any length;
// - a line whose first non-blank byte is ';' is a comment; a ';' anywhere
//   else is part of the text;
// - "[name]" starts a section (the name is what lies between '[' and the
//   last ']' of the line); a '[' line without ']' is ignored;
// - "key=value": only the first '=' separates, so a value may hold '=',
//   ':' and ';'; a line without '=' is a key with an empty value;
// - section and key names compare without regard to ASCII letter case; of
//   several sections with the same name only the first counts, and within
//   it the first of several equal keys;
// - a value loses one pair of enclosing double or single quotes;
// - a UTF-8 byte order mark before the first line is skipped; the bytes are
//   otherwise kept as they are (the file's code page is the reader's).
#ifndef QUILLON_PLATFORM_INI_H_
#define QUILLON_PLATFORM_INI_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::platform {

// The keys of one section in file order, names as written.
using IniEntries = std::vector<std::pair<std::string, std::string>>;

// The keys of section `section` in `text`, the whole content of a file.
IniEntries ParseIniSection(std::string_view text, std::string_view section);

// The same for the file at `path`; a missing or unreadable file reads as an
// empty section.
IniEntries ReadIniSection(const std::string& path, std::string_view section);

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_INI_H_

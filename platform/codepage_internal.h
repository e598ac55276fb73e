// Pieces of the code-page layer that tests reach directly.
#ifndef QUILLON_PLATFORM_CODEPAGE_INTERNAL_H_
#define QUILLON_PLATFORM_CODEPAGE_INTERNAL_H_

namespace quillon::platform {

// The process code page chosen from the value of QUILLON_CODEPAGE
// (`env_value`, nullptr when unset) and the locale's character set name
// (`codeset`, as nl_langinfo(CODESET) gives it; nullptr when unknown).
// An env value of exactly "932" or "65001" wins; any other value is
// ignored. Character sets are compared without regard to case, '-' and
// '_': UTF-8 gives 65001, Shift_JIS/SJIS/CP932/Windows-31J/MS932 give 932,
// and everything else (the C locale's ANSI_X3.4-1968 included) 65001.
int CodePageFromEnvironment(const char* env_value, const char* codeset);

}  // namespace quillon::platform

#endif  // QUILLON_PLATFORM_CODEPAGE_INTERNAL_H_

// Pages nobody here wrote: the HTML manuals that packages install under
// /usr/share/doc. Each must parse without harm, keep every word in order,
// and settle after one write.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "html/internal.h"
#include "quillon/html/document.h"
#include "quillon/platform/files.h"

namespace quillon::html {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Manuals() {
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it("/usr/share/doc", ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string ext = it->path().extension().string();
    if (ext == ".html" || ext == ".htm") files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool StartsWith(std::string_view s, size_t pos, std::string_view prefix) {
  return s.substr(pos, prefix.size()) == prefix;
}

// The words of a template as the markup grammar leaves them: runs of
// non-blank bytes outside tags, comments and directives. Written apart
// from the parser so that it can catch it dropping text.
std::vector<std::string_view> Words(std::string_view t) {
  std::vector<std::string_view> words;
  const size_t n = t.size();
  size_t pos = 0;
  auto skip_past = [&](std::string_view what, size_t from) {
    size_t at = t.find(what, from);
    return at == std::string_view::npos ? n : at + what.size();
  };
  while (pos < n) {
    char c = t[pos];
    if (IsBlank(c)) {
      ++pos;
    } else if (c != '<') {
      size_t start = pos;
      while (pos < n && !IsBlank(t[pos]) && t[pos] != '<') ++pos;
      words.push_back(t.substr(start, pos - start));
    } else if (StartsWith(t, pos, "<!--")) {
      pos = skip_past("-->", pos + 4);
    } else if (pos + 1 < n && (t[pos + 1] == '!' || t[pos + 1] == '?' || t[pos + 1] == '%')) {
      const char close[2] = {t[pos + 1], '>'};
      size_t at = t.find(std::string_view(close, 2), pos);
      pos = at != std::string_view::npos ? at + 2 : skip_past(">", pos);
    } else {
      while (pos < n && (t[pos] == '<' || IsBlank(t[pos]))) ++pos;
      size_t name = pos;
      while (pos < n && !IsBlank(t[pos]) && t[pos] != '>') ++pos;
      if (pos == name || t[name] == '/') {  // dropped or an end tag
        pos = skip_past(">", pos);
        continue;
      }
      // Attributes: a value in double quotes ends at the quote or a line end.
      for (;;) {
        while (pos < n && IsBlank(t[pos])) ++pos;
        if (pos >= n) break;
        if (t[pos] == '>') {
          ++pos;
          break;
        }
        while (pos < n && t[pos] != '>' && t[pos] != '=' && !IsBlank(t[pos])) ++pos;
        while (pos < n && IsBlank(t[pos])) ++pos;
        if (pos < n && t[pos] == '=') {
          ++pos;
          while (pos < n && IsBlank(t[pos])) ++pos;
          if (pos < n && t[pos] == '"') {
            ++pos;
            while (pos < n && t[pos] != '"' && t[pos] != '\r' && t[pos] != '\n') ++pos;
            if (pos < n) ++pos;
          } else {
            while (pos < n && !IsBlank(t[pos]) && t[pos] != '>') ++pos;
          }
        }
      }
    }
  }
  return words;
}

// The part of a page that the document keeps: with an HTML start, what
// lies between it and its end tag.
std::string_view KeptPart(std::string_view text) {
  std::string upper = Upper(platform::CodePage::Get(platform::CodePage::kUtf8), text);
  size_t lt = upper.find('<');
  if (lt == std::string::npos || !StartsWith(upper, lt, "<HTML")) return text;
  size_t close = upper.find("</HTML", lt);
  return text.substr(lt, (close == std::string::npos ? text.size() : close) - lt);
}

TEST(RealDocuments, ParseKeepWordsAndSettle) {
  std::vector<std::string> files = Manuals();
  if (files.empty()) GTEST_SKIP() << "no HTML manuals under /usr/share/doc";
  size_t checked = 0;
  size_t skipped = 0;
  for (const std::string& file : files) {
    std::string text;
    if (!platform::ReadWholeFile(file, &text)) continue;
    // Nested HTML starts end the page early by design; such pages are
    // left to the parser tests.
    std::string upper = Upper(platform::CodePage::Get(platform::CodePage::kUtf8), text);
    size_t first_html = upper.find("<HTML");
    if (first_html != std::string::npos && upper.find("<HTML", first_html + 1) != std::string::npos) {
      ++skipped;
      continue;
    }

    Document doc(platform::CodePage::Get(platform::CodePage::kUtf8));
    doc.SetMasterPage(text);
    std::string page = doc.GetPageData();
    std::string master = doc.GetMasterPage();

    size_t at = 0;
    for (std::string_view word : Words(KeptPart(text))) {
      size_t found = master.find(word, at);
      ASSERT_NE(found, std::string::npos) << file << ": word \"" << word << "\" lost or moved";
      at = found + word.size();
    }

    Document again(platform::CodePage::Get(platform::CodePage::kUtf8));
    again.SetMasterPage(page);
    ASSERT_TRUE(again.GetPageData() == page) << file << ": page form not stable";
    again.SetMasterPage(master);
    ASSERT_TRUE(again.GetMasterPage() == master) << file << ": master form not stable";
    ++checked;
  }
  RecordProperty("documents", static_cast<int>(checked));
  RecordProperty("skipped", static_cast<int>(skipped));
  EXPECT_GT(checked, 0u);
}

}  // namespace
}  // namespace quillon::html

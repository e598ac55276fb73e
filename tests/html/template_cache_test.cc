// Templates loaded again in one process: copies of a kept parse while the
// file is unchanged, a new parse when it changed, and the warning lines a
// development server asks for on standard error.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "html/internal.h"
#include "html/template_cache.h"
#include "quillon/component/errors.h"
#include "quillon/html/document.h"
#include "quillon/platform/files.h"
#include "tests/support/message_language.h"

namespace quillon::html {
namespace {

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

class TemplateFile {
 public:
  explicit TemplateFile(const std::string& name)
      : path_(platform::TempDirectory() + "quillon_cache_" + std::to_string(getpid()) + "_" +
              name + ".htm") {}
  ~TemplateFile() { platform::RemoveFile(path_); }
  void Write(const std::string& text) const { ASSERT_TRUE(platform::WriteWholeFile(path_, text)); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Every test starts with an empty cache of the default size and leaves one.
class TemplateCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    TemplateCache::Instance().Clear();
    TemplateCache::Instance().SetLimit(TemplateCache::kDefaultBytes);
  }
  // Loads `file` into a new document; the parses it took.
  static uint64_t Load(const TemplateFile& file, Document* doc) {
    const uint64_t before = ParseCount();
    doc->Load(file.path());
    return ParseCount() - before;
  }
};

const char kPage[] =
    "<html><body>\r\n<table qlid=t class=\"list\">\r\n<tr qlid=row><td qlid=name>x  y</td></tr>"
    "\r\n</table>\r\n<p>unclosed<p>again</body></html>";

TEST_F(TemplateCacheTest, UnchangedFileIsCopiedAndAChangedOneParsedAgain) {
  TemplateFile file("unchanged");
  file.Write(kPage);
  Document first(Utf8());
  EXPECT_EQ(Load(file, &first), 1u);   // remembered
  Document second(Utf8());
  EXPECT_EQ(Load(file, &second), 1u);  // parsed the same again: kept
  EXPECT_GT(TemplateCache::Instance().bytes(), 0u);
  for (int i = 0; i < 3; ++i) {
    Document copy(Utf8());
    EXPECT_EQ(Load(file, &copy), 0u) << i;
    EXPECT_EQ(copy.GetMasterPage(), first.GetMasterPage());
    EXPECT_EQ(copy.GetPageData(), first.GetPageData());
    EXPECT_EQ(copy.HtmlWarning(), first.HtmlWarning());
    EXPECT_FALSE(copy.HtmlWarning().empty());
    EXPECT_EQ(copy.ConvertMode(), first.ConvertMode());
    // The copy is the document's own: edits stay in it.
    copy.Get("row")->AddCopy(copy.Get("t"), 3);
    copy.Get("name")->SetText("edited");
    copy.Get("t")->SetParameter("class", "other");
  }
  Document after(Utf8());
  EXPECT_EQ(Load(file, &after), 0u);
  EXPECT_EQ(after.GetMasterPage(), first.GetMasterPage());

  // Changed: parsed again (twice before it is kept again), the new text.
  std::string changed_page = kPage;
  changed_page.replace(changed_page.find("<p>again"), 3, "<p qlid=new>");
  file.Write(changed_page);
  Document changed(Utf8());
  EXPECT_EQ(Load(file, &changed), 1u);
  EXPECT_TRUE(changed.FindByID("new"));
  Document changed_again(Utf8());
  EXPECT_EQ(Load(file, &changed_again), 1u);
  Document copied(Utf8());
  EXPECT_EQ(Load(file, &copied), 0u);
  EXPECT_TRUE(copied.FindByID("new"));

  // A file that cannot be read any more fails, kept parse or not.
  platform::RemoveFile(file.path());
  Document gone(Utf8());
  try {
    gone.Load(file.path());
    ADD_FAILURE() << "a missing file loaded";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kMsgFileRead);
  }
}

// What decides the tree is part of what is kept: another setting is
// another parse, and a cache turned off or too small keeps nothing.
TEST_F(TemplateCacheTest, SettingsSizeAndSwitchDecideWhatIsKept) {
  TemplateFile file("settings");
  file.Write("<td id=cell>x</td>");
  struct Case {
    const char* name;
    size_t limit;
    bool convert;
    std::vector<uint64_t> parses;  // for each of four loads
  };
  const Case cases[] = {
      {"kept", TemplateCache::kDefaultBytes, false, {1, 1, 0, 0}},
      {"other setting", TemplateCache::kDefaultBytes, true, {1, 1, 0, 0}},
      {"off", 0, false, {1, 1, 1, 1}},
      {"too small", 64, false, {1, 1, 1, 1}},
  };
  for (const Case& c : cases) {
    TemplateCache::Instance().SetLimit(c.limit);
    if (std::string(c.name) != "other setting") TemplateCache::Instance().Clear();
    std::vector<uint64_t> parses;
    std::string master;
    for (int i = 0; i < 4; ++i) {
      Document doc(Utf8());
      doc.SetConvertMasterPage(c.convert);
      parses.push_back(Load(file, &doc));
      if (i == 0) master = doc.GetMasterPage();
      EXPECT_EQ(doc.GetMasterPage(), master) << c.name;
    }
    EXPECT_EQ(parses, c.parses) << c.name;
    EXPECT_EQ(master, c.convert ? "<TD QLID=\"cell\">x</TD>" : "<TD ID=\"cell\">x</TD>")
        << c.name;
  }
}

// The warning lines are kept with the tree: a load in the other language
// parses again rather than copying lines in the wrong one, and English
// lines name the file as it was given to Load.
TEST_F(TemplateCacheTest, WarningLinesAreInTheLanguageOfEachLoad) {
  TemplateFile file("language");
  file.Write("<b><i>x</b>\r\n\r\n<p>a<p>b");
  const std::string english =
      std::string(MessageText(kMsgUnclosedInnerTag, MessageLanguage::kEnglish)) +
      " ----  template: " + file.path() + ", line: 1, column: 11, inner tag: I, outer tag: B\r\n" +
      std::string(MessageText(kMsgNestedSameTag, MessageLanguage::kEnglish)) +
      " ----  template: " + file.path() + ", line: 3, column: 7, nested tag: P\r\n";
  std::string japanese;
  for (const char* setting : {static_cast<const char*>(nullptr), "en", static_cast<const char*>(nullptr), "en"}) {
    quillon::testing::ScopedMessages messages(setting);
    // Parsed, parsed and kept, copied.
    for (int i = 0; i < 3; ++i) {
      Document doc(Utf8());
      Load(file, &doc);
      if (setting != nullptr) {
        EXPECT_EQ(doc.HtmlWarning(), english) << i;
      } else {
        if (japanese.empty()) japanese = doc.HtmlWarning();
        EXPECT_EQ(doc.HtmlWarning(), japanese) << i;
        EXPECT_EQ(doc.HtmlWarning().rfind(std::string(MessageText(kMsgUnclosedInnerTag)), 0), 0u);
      }
    }
  }
}

class LogWarnings {
 public:
  explicit LogWarnings(const char* value) {
    if (value) {
      setenv("QUILLON_LOG_TEMPLATE_WARNINGS", value, 1);
    } else {
      unsetenv("QUILLON_LOG_TEMPLATE_WARNINGS");
    }
  }
  ~LogWarnings() { unsetenv("QUILLON_LOG_TEMPLATE_WARNINGS"); }
};

TEST_F(TemplateCacheTest, WarningsGoToStandardErrorWithThePathWhenAsked) {
  TemplateFile repaired("repaired");
  repaired.Write("<b><i>x</b>\r\n</span><p>a<p>b");
  TemplateFile clean("clean");
  clean.Write("<p>fine</p>");
  struct Case {
    const char* setting;
    const TemplateFile* file;
    bool logged;
  };
  for (const Case& c : {Case{"1", &repaired, true}, Case{nullptr, &repaired, false},
                        Case{"", &repaired, false}, Case{"1", &clean, false}}) {
    // Loaded three times: parsed, parsed and kept, copied; each logs.
    for (int i = 0; i < 3; ++i) {
      LogWarnings log(c.setting);
      Document doc(Utf8());
      ::testing::internal::CaptureStderr();
      doc.Load(c.file->path());
      const std::string err = ::testing::internal::GetCapturedStderr();
      std::string expected;
      if (c.logged) {
        const std::string& w = doc.HtmlWarning();
        for (size_t pos = 0, end; pos < w.size(); pos = end + 2) {
          end = w.find("\r\n", pos);
          expected += c.file->path() + ": " + w.substr(pos, end - pos) + "\n";
        }
        ASSERT_EQ(std::count(expected.begin(), expected.end(), '\n'), 3) << expected;
      }
      EXPECT_EQ(err, expected) << (c.setting ? c.setting : "unset") << " " << i;
    }
    TemplateCache::Instance().Clear();
  }
}

}  // namespace
}  // namespace quillon::html

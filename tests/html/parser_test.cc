// The template parser: tree shape, attributes, text blocks and the three
// nesting repairs with their warning lines.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "quillon/component/errors.h"
#include "quillon/html/document.h"
#include "tests/html/html_test_util.h"
#include "tests/support/message_language.h"

namespace quillon::html {
namespace {

using testing::Dump;
using testing::DumpContent;

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }
const platform::CodePage& Sjis() {
  return platform::CodePage::Get(platform::CodePage::kJapanese);
}

// The message numbers of the warning lines, in order.
std::vector<int> Warnings(const Document& doc) {
  std::vector<int> numbers;
  const std::string& w = doc.HtmlWarning();
  size_t pos = 0;
  while (pos < w.size()) {
    size_t end = w.find("\r\n", pos);
    if (end == std::string::npos) end = w.size();
    std::string line = w.substr(pos, end - pos);
    int found = 0;
    for (int n : {kMsgUnclosedInnerTag, kMsgUnopenedEndTag, kMsgNestedSameTag}) {
      if (line.rfind(std::string(MessageText(n)), 0) == 0) found = n;
    }
    numbers.push_back(found);
    pos = end + 2;
  }
  return numbers;
}

struct ParseCase {
  const char* name;
  std::string input;
  std::string tree;  // DumpContent of the parsed document
  std::vector<int> warnings;
};

class ParseTree : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTree, BuildsTreeAndWarnings) {
  const ParseCase& c = GetParam();
  Document doc(Utf8());
  doc.SetMasterPage(c.input);
  EXPECT_EQ(DumpContent(doc), c.tree);
  EXPECT_EQ(Warnings(doc), c.warnings);
}

INSTANTIATE_TEST_SUITE_P(
    Template, ParseTree,
    ::testing::Values(
        ParseCase{"SameNameClosesPrevious", "<p>a<p>b</p>", "P[\"a\"] P[\"b\"]",
                  {kMsgNestedSameTag}},
        ParseCase{"AncestorEndClosesInner", "<b><i>x</b>", "B[I[\"x\"]]", {kMsgUnclosedInnerTag}},
        ParseCase{"StrayEndTagDropped", "a</span>b", "\"a b\"", {kMsgUnopenedEndTag}},
        ParseCase{"NestableNests", "<td><td>x", "TD[TD[\"x\"]]", {}},
        ParseCase{"EmptyElementTextIsSibling", "<option value=a selected>text",
                  "OPTION(VALUE=a,SELECTED=SELECTED) \"text\"", {}},
        ParseCase{"ValuelessEqualsDropped", "<a href=>x", "A[\"x\"]", {}},
        ParseCase{"DuplicateKeepsPlaceTakesLast", "<x x=1 y X=2>", "X(X=2,Y=Y)", {}},
        ParseCase{"BlanksCollapseLinesSplit", "a   b\r\n  c", "\"a b\" \"c\"", {}},
        ParseCase{"CommentJoinsWithoutBlank", "abc <!--c--> d", "\"abc<!--c--> d\"", {}},
        ParseCase{"DoctypeMakesRootText", "<!DOCTYPE html>\n<html><body>x</body></html>",
                  "\"<!DOCTYPE html>\" HTML[BODY[\"x\"]]", {}},
        ParseCase{"NamesUpperValuesKept", "<Div Class=Foo>Hello &amp;</dIV>",
                  "DIV(CLASS=Foo)[\"Hello &amp;\"]", {}},
        ParseCase{"ScriptGetsNoSpecialCare", "<script>if (a<b) x;\n</script>",
                  "SCRIPT[\"if (a\" B)(X;=X;,</SCRIPT=</SCRIPT)]", {}},
        ParseCase{"ScriptWordsRejoinedPerLine", "<script>\nvar a  =  1;\n  b=2;\n</script>",
                  "SCRIPT[\"var a = 1;\" \"b=2;\"]", {}},
        ParseCase{"QlidBecomesIdentifier", "<td qlid=Cell class=c>", "TD#Cell(CLASS=c)", {}},
        ParseCase{"IdStaysParameterWithoutConvert", "<td id=x>", "TD(ID=x)", {}},
        ParseCase{"QuotedValueStopsAtLineEnd", "<a title=\"x y\nz>w", "A(TITLE=x y,Z=Z)[\"w\"]",
                  {}},
        ParseCase{"SingleQuotesAreText", "<a title='x y'>", "A(TITLE='x,Y'=Y')", {}},
        ParseCase{"SlashAfterNameIsName", "<br/>x", "BR/[\"x\"]", {}},
        ParseCase{"BlankSlashEndsElement", "<div />x", "DIV(/=/) \"x\"", {}},
        ParseCase{"EmptyTagDropped", "a< >b<", "\"a b\"", {}},
        ParseCase{"EndTagWithBlankAfterSlash", "<p>x</ p>y", "P[\"x\"] \"y\"", {}},
        ParseCase{"UnterminatedComment", "a<!-- b", "\"a<!-- b\"", {}},
        ParseCase{"DirectiveClosedByFirstBang", "<!x > y !>z", "\"<!x > y !> z\"", {}},
        ParseCase{"ProcessingInstruction", "<?xml v?>\r\n<%= x %>",
                  "\"<?xml v?>\" \"<%= x %>\"", {}},
        ParseCase{"TemplateTextBlockJoinsLines", "<textblock>one\r\ntwo</textblock>",
                  "\"one\r\ntwo\"", {}},
        ParseCase{"RootEndTagEndsParse", "a</root>b", "\"a\"", {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Parser, HtmlStartTakesAttributesAndInsertsHead) {
  Document doc(Utf8());
  doc.SetMasterPage("junk <html lang=ja><body>x</body></html>trailing <p>");
  EXPECT_EQ(Dump(doc.Root()), "HTML(LANG=ja)[HEAD BODY[\"x\"]]");
  EXPECT_EQ(doc.Head()->TagName(), "HEAD");
  EXPECT_EQ(doc.Item("head")->TagName(), "HEAD");
}

TEST(Parser, ConvertModeTakesIdAsIdentifier) {
  Document doc(Utf8());
  doc.SetConvertMasterPage(true);
  doc.SetMasterPage("<td ID=x qlid=q>");
  EXPECT_EQ(DumpContent(doc), "TD#x(QLID=q)");
  EXPECT_TRUE(doc.ConvertMode());

  // The first tag's CONVERTMASTERPAGE attribute overrides the setting, with
  // exact case only.
  doc.SetMasterPage("<html CONVERTMASTERPAGE=No><td ID=x>");
  EXPECT_FALSE(doc.ConvertMode());
  EXPECT_EQ(DumpContent(doc), "HEAD TD(ID=x)");
  doc.SetConvertMasterPage(false);
  doc.SetMasterPage("<html convertmasterpage=Yes><td ID=x>");
  EXPECT_TRUE(doc.ConvertMode());
  EXPECT_EQ(DumpContent(doc), "HEAD TD#x");
  doc.SetMasterPage("<html convertmasterpage=yes><td ID=x>");
  EXPECT_FALSE(doc.ConvertMode());
}

TEST(Parser, BreakFlagsFollowBlanks) {
  Document doc(Utf8());
  doc.SetMasterPage("<p>a b\r\n  c</p> <i>x</i><b>y\n</b>");
  Tags& top = doc.Root()->Children();
  Ref<Tag> p = top.Item(0);
  EXPECT_FALSE(p->BreakBefore());
  EXPECT_FALSE(p->BreakBeforeEnd());
  EXPECT_FALSE(p->Children().Item(0)->BreakBefore());
  EXPECT_TRUE(p->Children().Item(1)->BreakBefore());
  EXPECT_TRUE(top.Item(1)->BreakBefore());    // one blank before <i>
  EXPECT_FALSE(top.Item(2)->BreakBefore());   // directly after </i>
  EXPECT_TRUE(top.Item(2)->BreakBeforeEnd());  // line end before </b>
}

TEST(Parser, WarningLinesCarryPositionAndNames) {
  Document doc(Utf8());
  doc.SetMasterPage("<p>a\r\n  <p>b</p>\r\n<b><i>x</b></span>");
  const std::string expected =
      std::string(MessageText(kMsgNestedSameTag)) +
      " ----  行番号：2, 列番号：5, ネストしているタグ：P\r\n" +
      std::string(MessageText(kMsgUnclosedInnerTag)) +
      " ----  行番号：3, 列番号：11, 下位のタグ：I, 上位のタグ：B\r\n" +
      std::string(MessageText(kMsgUnopenedEndTag)) +
      " ----  行番号：3, 列番号：18, 削除されたタグ：/SPAN, 現在処理中のタグ：ROOT\r\n";
  EXPECT_EQ(doc.HtmlWarning(), expected);
  // A new load replaces the warnings.
  doc.SetMasterPage("<p>");
  EXPECT_EQ(doc.HtmlWarning(), "");
}

// Under QUILLON_MESSAGES=en the lines are English and say where the repair
// was: the template ("(text)" for a text given as it is), line and column.
TEST(Parser, EnglishWarningLinesNameTheTemplateAndLine) {
  const std::string page = "<p>a\r\n  <p>b</p>\r\n<b><i>x</b></span>";
  const std::string english =
      std::string(MessageText(kMsgNestedSameTag, MessageLanguage::kEnglish)) +
      " ----  template: (text), line: 2, column: 5, nested tag: P\r\n" +
      std::string(MessageText(kMsgUnclosedInnerTag, MessageLanguage::kEnglish)) +
      " ----  template: (text), line: 3, column: 11, inner tag: I, outer tag: B\r\n" +
      std::string(MessageText(kMsgUnopenedEndTag, MessageLanguage::kEnglish)) +
      " ----  template: (text), line: 3, column: 18, removed tag: /SPAN, current tag: ROOT\r\n";
  for (const platform::CodePage* cp : {&Utf8(), &Sjis()}) {
    Document doc(*cp);
    {
      quillon::testing::ScopedMessages messages("en");
      doc.SetMasterPage(page);
      EXPECT_EQ(doc.HtmlWarning(), english);
    }
    // Lines end at LF, CR LF or a lone CR alike (the Japanese lines count
    // CRs only, as they always did).
    {
      quillon::testing::ScopedMessages messages("en");
      doc.SetMasterPage("<p>a\n  <p>b</p>\r<b><i>x</b>\r\n</span>");
      const std::string& w = doc.HtmlWarning();
      EXPECT_NE(w.find("template: (text), line: 2, column: 5, nested tag: P"), std::string::npos)
          << w;
      EXPECT_NE(w.find("template: (text), line: 3, column: 11, inner tag: I"), std::string::npos)
          << w;
      EXPECT_NE(w.find("template: (text), line: 4, column: 7, removed tag: /SPAN"),
                std::string::npos)
          << w;
    }
    // The language is that of each parse.
    quillon::testing::ScopedMessages messages(nullptr);
    doc.SetMasterPage(page);
    EXPECT_EQ(doc.HtmlWarning().find("template:"), std::string::npos);
    EXPECT_EQ(doc.HtmlWarning().rfind(cp->FromUtf16(MessageText16(kMsgNestedSameTag)), 0), 0u);
  }
}

// Line and column of every repair, in both languages, over pages whose
// lines end in every mix of LF, CR LF and lone CRs, against a plain count:
// English lines end at any of the three, Japanese ones at CRs only, and a
// column counts from the last line end (a Japanese one from the last LF).
TEST(Parser, WarningPositionsFollowEveryMixOfLineEnds) {
  const char* const kEnds[] = {"\n", "\r\n", "\r", "\r\r\n", "\n\n", ""};
  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int round = 0; round < 200; ++round) {
    std::string page;
    std::vector<size_t> starts;  // where the name of each P after the first ends
    for (int line = 0, lines = 2 + static_cast<int>(next() % 12); line < lines; ++line) {
      page.append(next() % 4, ' ');
      if (line > 0) starts.push_back(page.size() + 2);
      page += "<p>x";
      page += kEnds[next() % 6];
    }
    for (const bool english : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "round " << round << (english ? " en" : " ja"));
      std::string expected_positions;
      for (const size_t at : starts) {
        long long line = 1;
        long long line_start = -1;
        for (size_t i = 0; i < at; ++i) {
          const char c = page[i];
          if (english && (c == '\n' || (c == '\r' && page[i + 1] != '\n'))) ++line;
          if (!english && c == '\r') ++line;
          if (english ? (c == '\n' || c == '\r') : c == '\n')
            line_start = static_cast<long long>(i);
        }
        const long long column = static_cast<long long>(at) - line_start;
        expected_positions += std::to_string(line) + "/" + std::to_string(column) + " ";
      }
      quillon::testing::ScopedMessages messages(english ? "en" : nullptr);
      Document doc(Utf8());
      doc.SetMasterPage(page);
      const std::string& w = doc.HtmlWarning();
      const std::string line_word = english ? ", line: " : "行番号：";
      const std::string column_word = english ? ", column: " : ", 列番号：";
      std::string positions;
      for (size_t at = 0; (at = w.find(line_word, at)) != std::string::npos;) {
        at += line_word.size();
        const size_t comma = w.find(column_word, at);
        ASSERT_NE(comma, std::string::npos) << w;
        const size_t after = comma + column_word.size();
        positions +=
            w.substr(at, comma - at) + "/" + w.substr(after, w.find(',', after) - after) + " ";
      }
      EXPECT_EQ(positions, expected_positions) << w;
    }
  }
}

TEST(Parser, WarningTextIsInTheDocumentCodePage) {
  Document doc(Sjis());
  doc.SetMasterPage("</x>");
  std::u16string expected = MessageText16(kMsgUnopenedEndTag) +
                            u" ----  行番号：1, 列番号：4, 削除されたタグ：/X, 現在処理中のタグ：ROOT\r\n";
  EXPECT_EQ(doc.HtmlWarning(), Sjis().FromUtf16(expected));
}

TEST(Parser, DoubleByteTrailBytesAreNeverFoldedOrSplit) {
  // In code page 932, 0x83 0x61 is one character whose trail byte is 'a'
  // and 0x95 0x5C one whose trail byte is a backslash: neither may be
  // changed by upper-casing or taken apart.
  Document doc(Sjis());
  const std::string name = "x\x83\x61";
  doc.SetMasterPage("<" + name + " c\x83\x61=\"\x95\x5C\">\x83\x61 b</" + name + ">");
  EXPECT_EQ(DumpContent(doc), "X\x83\x61(C\x83\x61=\x95\x5C)[\"\x83\x61 b\"]");
  EXPECT_EQ(doc.HtmlWarning(), "");
}

// Names are remembered by their spelling while a page is parsed: each
// must still be told apart by every byte and by its length, whatever it
// shares with another (the first eight bytes, a prefix), however it is
// spelt in case, when more names are met than are remembered at once, and
// when it ends the page.
TEST(Parser, NamesAreToldApartByEveryByteOfTheirSpelling) {
  std::vector<std::string> names = {"abcdefg",     "abcdefgh",    "abcdefghi", "abcdefghij",
                                    "customtagA1", "customtagB1", "customtag", "q"};
  for (int i = 0; i < 600; ++i) names.push_back("generated" + std::to_string(i));
  std::string page;
  std::vector<std::string> expected;
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < names.size(); ++i) {
      std::string spelt = names[i];
      // The second pass spells every other name in capitals.
      if (pass == 1 && i % 2 == 0) {
        for (char& c : spelt) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
      page += "<" + spelt + " " + spelt + "x=" + std::to_string(i) + "></" + spelt + ">";
      std::string upper = names[i];
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      expected.push_back(upper);
    }
  }
  page += "<i><b>";  // a name whose last byte is the page's next to last
  Document doc(Utf8());
  doc.SetMasterPage(page);
  Ref<Tag> root = doc.Root();
  ASSERT_EQ(root->ChildCount(), static_cast<int32_t>(expected.size() + 1));
  for (size_t i = 0; i < expected.size(); ++i) {
    Ref<Tag> tag = root->Children().Item(static_cast<int32_t>(i));
    ASSERT_EQ(tag->TagName(), expected[i]) << "tag " << i;
    EXPECT_EQ(tag->ParamName(0), expected[i] + "X") << "tag " << i;
    EXPECT_EQ(tag->Parameter(expected[i] + "x"), std::to_string(i % names.size()));
  }
  EXPECT_EQ(Dump(root->Children().Item(static_cast<int32_t>(expected.size()))), "I[B]");
}

TEST(Parser, TemplateCommentIsLeftOutOfThePage) {
  Document doc(Utf8());
  doc.SetMasterPage("<!--! for authors --> and more\r\nshown");
  EXPECT_EQ(DumpContent(doc), "\"<!--! for authors --> and more\" \"shown\"");
  EXPECT_EQ(doc.GetPageData(), "\r\nshown");
  EXPECT_EQ(doc.GetMasterPage(), "<!--! for authors --> and more\r\nshown");
}

}  // namespace
}  // namespace quillon::html

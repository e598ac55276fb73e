// Templates nested far deeper than any call stack could follow, and inputs
// shaped to make a careless parser quadratic.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "quillon/html/document.h"
#include "tests/support/cpu_time.h"

namespace quillon::html {
namespace {

constexpr int kDepth = 300000;

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

std::string Repeat(std::string_view s, int n) {
  std::string out;
  out.reserve(s.size() * n);
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(DeepNesting, ParseWriteCopySearchAndRelease) {
  // TD may nest in TD without a repair. Closed and written without
  // blanks, the page stays one line and its size linear in the depth.
  const std::string page = Repeat("<td>", kDepth) + "<p qlid=deep>x</p>" + Repeat("</td>", kDepth);
  auto doc = std::make_unique<Document>(Utf8());
  doc->SetMasterPage(page);
  EXPECT_TRUE(doc->HtmlWarning().empty());

  std::string written = doc->GetPageData();
  EXPECT_TRUE(written == Repeat("<TD>", kDepth) + "<P>x</P>" + Repeat("</TD>", kDepth));

  Ref<Tag> deep = doc->FindByID("DEEP");
  ASSERT_TRUE(deep);
  EXPECT_EQ(doc->FindNext(), nullptr);
  EXPECT_EQ(doc->FindNext(), deep);

  // Stepping through every tag continues from the last hit each time; a
  // walk from the top per step would never finish here.
  (void)doc->FindByTagName("td");
  int tds = 1;
  while (doc->FindNext()) ++tds;
  EXPECT_EQ(tds, kDepth);

  int32_t begin, end;
  doc->TagToTextPos(false, deep.get(), &begin, &end);
  EXPECT_EQ(begin, 4 * kDepth);
  EXPECT_EQ(doc->TextPosToTag(false, begin + 3)->TagName(), "TEXTBLOCK");

  Ref<Tag> outer = doc->Root()->Children().Item(0);
  Ref<Tag> copy = outer->DeepCopy();
  outer->CopyAfter(outer, 1);
  EXPECT_EQ(doc->Root()->ChildCount(), 2);
  doc->Root()->SelectOption("x");

  // Release: the document's tree, then a copy held on its own.
  doc.reset();
  EXPECT_EQ(deep->TagName(), "P");
  EXPECT_EQ(deep->document(), nullptr);
  copy = nullptr;
}

TEST(DeepNesting, UnclosedAndRepairedNesting) {
  // Never closed: the end of the text closes everything at once.
  Document doc(Utf8());
  doc.SetMasterPage(Repeat("<table>", kDepth) + "x");
  EXPECT_TRUE(doc.HtmlWarning().empty());
  EXPECT_EQ(doc.FindByTagName("textblock")->Text(), "x");

  // Closed from the outside: one repair per level, each one warning.
  doc.SetMasterPage("<b>" + Repeat("<dl>", 1000) + "x</b>");
  size_t lines = 0;
  for (size_t p = doc.HtmlWarning().find("\r\n"); p != std::string::npos;
       p = doc.HtmlWarning().find("\r\n", p + 2)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1000u);
  // A deep chain released while its innermost tag is still held: a child
  // does not keep its ancestors alive, and its link to them is cleared.
  Ref<Tag> inner = doc.FindByTagName("textblock");
  Ref<Tag> dl = inner->Parent();
  EXPECT_EQ(dl->TagName(), "DL");
  doc.Root()->RemoveAll();
  EXPECT_EQ(inner->Parent(), dl);  // still held, so still its parent
  dl = nullptr;
  EXPECT_EQ(inner->Parent(), nullptr);
  EXPECT_EQ(inner->Text(), "x");

  // Unclosed, every end tag gets a line of its own: indentation stops
  // growing at 256 levels instead of making the page quadratic in size.
  doc.SetMasterPage(Repeat("<dl>\n", 20000));
  std::string page = doc.GetPageData();
  EXPECT_LT(page.size(), 20000u * 2 * (256 + 8));
  EXPECT_NE(page.find("\r\n" + Repeat("\t", 256) + "<DL>"), std::string::npos);
  EXPECT_EQ(page.find(Repeat("\t", 257)), std::string::npos);
}

TEST(HostileShapes, StrayEndTagsUnderDeepNestingStayLinear) {
  const int n = 100000;
  Document doc(Utf8());
  const double start = quillon::testing::ThreadCpuSeconds();
  doc.SetMasterPage(Repeat("<td>", n) + Repeat("</x>", n));  // TD nests: n levels deep
  // Also very many attributes on one tag, all named differently.
  std::string attrs = "<p";
  for (int i = 0; i < n; ++i) attrs += " a" + std::to_string(i) + "=" + std::to_string(i);
  attrs += " a5=last>";
  doc.SetMasterPage(attrs);
  // Declarations, instructions and script blocks end at the first "!>",
  // "?>" or "%>" anywhere after them, else at their own '>': many of them
  // with no such pair later must not search to the end once for each.
  Document directives(Utf8());
  for (const char* d : {"<!x>", "<?x>", "<%x>"}) {
    directives.SetMasterPage(Repeat(std::string(d) + "a\n", n));
    EXPECT_EQ(directives.Root()->ChildCount(), n) << d;
    // A word after a directive is joined by a blank, as after a word.
    EXPECT_EQ(directives.FindByTagName("textblock")->Text(), std::string(d) + " a") << d;
  }
  const double seconds = quillon::testing::ThreadCpuSeconds() - start;  // processor time
  Ref<Tag> p = doc.Root()->Children().Item(0);
  EXPECT_EQ(p->ParamCount(), n);
  EXPECT_EQ(p->GetParam("A5"), "last");
  EXPECT_EQ(p->ParamName(5), "A5");
  // Quadratic behaviour would take minutes here even in a fast build.
  EXPECT_LT(seconds, 20.0);
}

}  // namespace
}  // namespace quillon::html

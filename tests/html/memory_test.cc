// The memory a tree lives in: freed tags are reused, reloading with tags
// still held leaves their memory to them, and names beyond the process
// table's bound stay with their tree.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "html/arena.h"
#include "html/names.h"
#include "html/node.h"
#include "quillon/html/document.h"
#include "tests/html/html_test_util.h"

namespace quillon::html {
namespace {

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

size_t Footprint(const Document& doc) { return Node::arena(doc.Root().get())->footprint(); }

// A page edited over and over, as a long-lived document is: rows copied,
// filled and removed again. Its memory stops growing after the first
// rounds (under the sanitizer once the quarantine is full).
TEST(TreeMemory, EditingOverAndOverDoesNotGrow) {
  Document doc(Utf8());
  doc.SetMasterPage(
      "<table qlid=list><tr qlid=row><td qlid=name>x</td><td qlid=qty align=right>0</td></tr>"
      "</table>");
  Ref<Tag> row = doc.Get("row");
  Ref<Tag> table = row->Parent();
  auto round = [&](int r) {
    row->AddCopy(table, 200);
    for (int i = 1; i <= 200; ++i) {
      Ref<Tag> copy = table->Children().Item(i);
      copy->Get("name")->SetText("Customer " + std::to_string(r * 1000 + i));
      copy->Get("qty")->SetParameter("class", std::string(static_cast<size_t>(i % 40), 'c'));
    }
    table->Remove(1, 200);
  };
  for (int r = 0; r < 40; ++r) round(r);
  const size_t settled = Footprint(doc);
  for (int r = 40; r < 200; ++r) round(r);
  EXPECT_EQ(Footprint(doc), settled);
  EXPECT_EQ(table->ChildCount(), 1);
  EXPECT_EQ(doc.GetPageData(),
            "<TABLE><TR><TD>x</TD><TD ALIGN=\"right\">0</TD></TR></TABLE>");
}

// Trees much larger than the largest block of memory, and copies each
// larger than the stretch of a new block made ready at a time, read back
// whole.
TEST(TreeMemory, LargeTreesAndLargeCopiesReadBackWhole) {
  std::string source, expected;
  for (int i = 0; i < 60000; ++i) {
    source += "<p>" + std::to_string(i) + "</p>";
    expected += "<P>" + std::to_string(i) + "</P>";
  }
  Document doc(Utf8());
  doc.SetMasterPage(source);
  EXPECT_GT(Footprint(doc), size_t{4} << 20);
  EXPECT_EQ(doc.GetPageData(), expected);

  std::string cells;
  for (int j = 0; j < 2000; ++j) cells += "<TD>" + std::to_string(j) + "</TD>";
  doc.SetMasterPage("<table qlid=t><tr qlid=row>" + cells + "</tr></table>");
  doc.Get("row")->AddCopy(doc.Get("t"), 8);
  std::string rows;
  for (int r = 0; r < 9; ++r) rows += "<TR>" + cells + "</TR>";
  EXPECT_EQ(doc.GetPageData(), "<TABLE>" + rows + "</TABLE>");
}

// A large page is written into its string a stretch at a time, each
// made ready when the writing reaches it: the same bytes whether the
// string grows as it is written (a first page), is sized from the last
// page at once (the next one), or is a response's text that already holds
// a head; pieces of every size end on both sides of each stretch's end.
TEST(TreeMemory, LargePagesAreWrittenWholeAcrossStretches) {
  std::string source, expected;
  for (int i = 0; i < 120000; ++i) {
    // Texts of 1 to 40 bytes and a parameter now and then, so that no two
    // stretches end at the same place in a tag.
    const std::string text(static_cast<size_t>(1 + i % 40), static_cast<char>('a' + i % 26));
    if (i % 7 == 0) {
      source += "<p class=c" + std::to_string(i) + ">" + text + "</p>";
      expected += "<P CLASS=\"c" + std::to_string(i) + "\">" + text + "</P>";
    } else {
      source += "<p>" + text + "</p>";
      expected += "<P>" + text + "</P>";
    }
  }
  ASSERT_GT(expected.size(), size_t{3} << 20);
  Document doc(Utf8());
  doc.SetMasterPage(source);
  EXPECT_EQ(doc.GetPageData(), expected);
  EXPECT_EQ(doc.GetPageData(), expected);
  const std::string head = "Content-Type: text/html\r\n\r\n";
  testing::TextOutput response(head, false);
  doc.WriteTo(&response);
  EXPECT_EQ(response.text, head + expected);
}

// Reloading while a tag is held: the new tree goes into new memory, the
// held tag keeps the old one (and the template its texts are slices of)
// until it goes; the document's memory keeps only the latest template.
TEST(TreeMemory, ReloadWhileATagIsHeldLeavesItsMemoryToIt) {
  Document doc(Utf8());
  std::vector<Ref<Tag>> held;
  for (int i = 0; i < 20; ++i) {
    doc.SetMasterPage("<p qlid=p class=c" + std::to_string(i) + ">text " + std::to_string(i) +
                      "</p>");
    held.push_back(doc.Get("p"));
    EXPECT_EQ(Node::arena(doc.Root().get())->sources().size(), 1u);
  }
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(held[i]->Parameter("class"), "c" + std::to_string(i));
    EXPECT_EQ(held[i]->Text(), "text " + std::to_string(i));
    EXPECT_EQ(held[i]->document(), &doc);
    // The last one is still in the document.
    EXPECT_EQ(held[i]->Parent(), i == 19 ? doc.Root() : nullptr);
  }
  // Nothing held: a reload starts over in the same memory.
  held.clear();
  Arena* before = Node::arena(doc.Root().get());
  doc.SetMasterPage("<p qlid=p>again</p>");
  EXPECT_EQ(Node::arena(doc.Root().get()), before);
  EXPECT_EQ(doc.Get("p")->Text(), "again");
}

// A page parsed from a view is copied into the last page's memory when
// nothing else can see that page any more; whenever something can (a
// held tag, a copy in another document), the old page stays as it was.
TEST(TreeMemory, ReparsingReusesTheLastPageOnlyWhenNobodySeesIt) {
  const std::string first = "<p qlid=p class=first>first page's text</p>";
  const std::string second = "<p qlid=p class=next>next text</p>";
  const std::string* kept = nullptr;
  auto source_of = [](const Document& doc) {
    return Node::arena(doc.Root().get())->sources().at(0).get();
  };
  {
    Document doc(Utf8());
    doc.SetMasterPage(std::string_view(first));
    kept = source_of(doc);
    doc.SetMasterPage(std::string_view(second));
    EXPECT_EQ(source_of(doc), kept);
    EXPECT_EQ(*source_of(doc), second);
    EXPECT_EQ(doc.Get("p")->Parameter("class"), "next");
    // A longer page than the memory holds gets memory of its own.
    const std::string longer = second + std::string(200, 'x');
    doc.SetMasterPage(std::string_view(longer));
    EXPECT_EQ(doc.GetPageData(), "<P CLASS=\"next\">next text</P>" + std::string(200, 'x'));
  }
  struct Case {
    const char* name;
    std::function<std::function<void()>(Document&, Document&)> keep;  // returns the check
  };
  const Case cases[] = {
      {"a held tag",
       [](Document& doc, Document&) -> std::function<void()> {
         auto held = std::make_shared<Ref<Tag>>(doc.Get("p"));
         return [held] {
           EXPECT_EQ((*held)->Parameter("class"), "first");
           EXPECT_EQ((*held)->Text(), "first page's text");
         };
       }},
      {"a copy in another document",
       [](Document& doc, Document& other) -> std::function<void()> {
         other.SetMasterPage("<div qlid=into></div>");
         doc.Get("p")->AddCopy(other.Get("into"), 1);
         return [&other] {
           EXPECT_EQ(other.GetPageData(), "<DIV><P CLASS=\"first\">first page's text</P></DIV>");
         };
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Document doc(Utf8());
    Document other(Utf8());
    doc.SetMasterPage(std::string_view(first));
    const auto check = c.keep(doc, other);
    doc.SetMasterPage(std::string_view(second));
    EXPECT_EQ(doc.Get("p")->Parameter("class"), "next");
    check();
  }
}

// Copies between documents take what they point at with them: the source
// document may go first.
TEST(TreeMemory, CopiesOutliveTheDocumentTheyCameFrom) {
  Document into(Utf8());
  into.SetMasterPage("<div qlid=target></div><p qlid=other></p>");
  {
    Document from(Utf8());
    // Texts that are slices of the template (the title), made by the
    // parser (the collapsed blanks) and set by hand.
    from.SetMasterPage("<tr qlid=row class=odd><td qlid=cell title=\"a b\">text  here</td></tr>");
    from.Get("cell")->SetParameter("edited", "by hand");
    from.Get("row")->AddCopy(into.Get("target"), 2);
    into.Get("other")->Replace(from.Get("row"));
  }
  const std::string row =
      "<TR QLID=\"row\" CLASS=\"odd\"><TD QLID=\"cell\" TITLE=\"a b\" EDITED=\"by hand\">"
      "text here</TD></TR>";
  EXPECT_EQ(into.GetMasterPage(), "<DIV QLID=\"target\">" + row + row + "</DIV>" + row);
}

// Threads intern the same new names in different orders while the process
// table is rebuilt larger under them: each name gets one number, whichever
// thread came first, and every number reads back as its name.
TEST(TreeMemory, NamesInternedFromManyThreadsGetOneNumberEach) {
  constexpr int kThreads = 4;
  constexpr int kShared = 3000;
  if (Names::Count() + kShared + 100 > Names::kMaxGlobalNames) {
    // Under ctest every test has a process of its own.
    GTEST_SKIP() << "an earlier test in this process filled the table (" << Names::Count()
                 << " names)";
  }
  auto name = [](int i) { return "SHARED-BY-THREADS-" + std::to_string(i); };
  std::vector<std::vector<NameId>> got(kThreads, std::vector<NameId>(kShared, kNoName));
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      for (int n = 0; n < kShared; ++n) {
        // Every other thread walks the names backwards.
        const int i = k % 2 == 0 ? n : kShared - 1 - n;
        got[k][i] = Names::Intern(name(i));
        // A lookup of a name that another thread may be adding just now.
        const NameId seen = Names::Find(name((i + 7) % kShared));
        if (seen != kNoName) {
          EXPECT_EQ(Names::Info(seen).text, name((i + 7) % kShared));
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<NameId> distinct;
  for (int i = 0; i < kShared; ++i) {
    for (int k = 1; k < kThreads; ++k) ASSERT_EQ(got[k][i], got[0][i]) << name(i);
    ASSERT_NE(got[0][i], kNoName);
    EXPECT_EQ(Names::Info(got[0][i]).text, name(i));
    EXPECT_EQ(Names::Find(name(i)), got[0][i]);
    distinct.insert(got[0][i]);
  }
  EXPECT_EQ(distinct.size(), size_t{kShared});
  // The engine's own names keep their numbers.
  EXPECT_EQ(Names::Find("TD"), names::kTd);
  EXPECT_EQ(Names::Info(names::kValue).text, "VALUE");
}

// The process table holds a bounded number of names; a tree made after it
// is full keeps further names itself, and copies of its tags carry those
// names into other trees, which keep them after it is gone.
TEST(TreeMemory, NamesBeyondTheTableStayWithTheirTree) {
  std::string many;
  for (NameId i = 0; Names::Count() + i < Names::kMaxGlobalNames + 10; ++i) {
    many += "<n" + std::to_string(i) + ">";
  }
  {
    Document filler(Utf8());
    filler.SetMasterPage(many);
  }
  ASSERT_EQ(Names::Count(), Names::kMaxGlobalNames);
  EXPECT_EQ(Names::Intern("NEVER-SEEN-BEFORE"), kNoName);

  Document into(Utf8());
  into.SetMasterPage("<div qlid=target></div>");
  {
    Document local(Utf8());
    local.SetMasterPage("<never-seen qlid=x own-attr=1 bare-attr>t</never-seen>");
    Ref<Tag> tag = local.Get("x");
    EXPECT_EQ(tag->TagName(), "NEVER-SEEN");
    EXPECT_NE(Node::name(tag.get()) & kLocalName, 0u);
    EXPECT_EQ(local.FindByTagName("never-seen"), tag);
    EXPECT_EQ(local.FindByParameter("own-attr", "1"), tag);
    tag->AddCopy(into.Get("target"), 1);
  }
  Ref<Tag> copy = into.FindByTagName("never-seen");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->ParamName(0), "OWN-ATTR");
  EXPECT_EQ(copy->GetParam("BARE-ATTR"), "BARE-ATTR");
  EXPECT_EQ(into.GetPageData(), "<DIV><NEVER-SEEN OWN-ATTR=\"1\" BARE-ATTR>t</NEVER-SEEN></DIV>");
}

}  // namespace
}  // namespace quillon::html

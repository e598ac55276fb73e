// The C++ door: lookups that cannot come back empty, ranges over children
// and descendants, neighbours that may be missing, text ranges, escaping,
// and what a stale raw pointer meets under the sanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <ranges>
#include <string>
#include <vector>

#include "html/arena.h"
#include "quillon/component/errors.h"
#include "quillon/html/document.h"
#include "tests/html/html_test_util.h"

namespace quillon::html {
namespace {

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

std::vector<std::string> Collect(auto&& range) {
  std::vector<std::string> out;
  for (auto&& x : range) out.push_back(x);
  return out;
}

std::vector<std::string> Names(auto&& range) {
  std::vector<std::string> names;
  for (Tag& t : range) names.push_back(t.TagName() + (t.ID().empty() ? "" : "#" + t.ID()));
  return names;
}

TEST(DoorGet, ReturnsTheTagOrThrowsTheIndexErrorNamingTheIdentifier) {
  Document doc(Utf8());
  doc.SetMasterPage("<table qlid=list><tr qlid=Row><td qlid=name>x</td></tr></table>");
  EXPECT_EQ(doc.Get("row")->TagName(), "TR");  // identifiers match in any case
  EXPECT_EQ(doc.Get("list")->Get("name")->Text(), "x");
  doc.Get("name")->SetText("Ann");
  EXPECT_EQ(doc.FindByID("name")->Text(), "Ann");

  struct Case {
    std::string id;
    bool from_row;
  };
  for (const Case& c : {Case{"typo", false}, Case{"list", true}, Case{"nam", false}}) {
    try {
      if (c.from_row) {
        (void)doc.Get("row")->Get(c.id);  // the row itself is not below the row
      } else {
        (void)doc.Get(c.id);
      }
      ADD_FAILURE() << "no error for \"" << c.id << "\"";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), kMsgBadIndex);
      EXPECT_EQ(e.Description(), MessageText16(kMsgBadIndex) + Utf8().ToUtf16(c.id));
    }
  }
}

TEST(DoorRanges, ChildrenInOrderEvenWhenTheLoopRemovesOrAdds) {
  Document doc(Utf8());
  doc.SetMasterPage("<ul><li qlid=a><li qlid=b><li qlid=c><li qlid=d></ul>");
  Ref<Tag> ul = doc.Get("a")->Parent();
  EXPECT_EQ(Names(ul->Children()), (std::vector<std::string>{"LI#a", "LI#b", "LI#c", "LI#d"}));
  EXPECT_TRUE(Names(doc.Get("a")->Children()).empty());

  // Removing the tag the loop stands on goes on with its follower; a tag
  // added behind the loop is met.
  std::vector<std::string> seen;
  for (Tag& li : ul->Children()) {
    seen.push_back(li.ID());
    if (li.ID() == "b") li.RemoveFromParent();
    if (li.ID() == "c") ul->Add("e", "li");
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(Names(ul->Children()), (std::vector<std::string>{"LI#a", "LI#c", "LI#d", "LI#e"}));

  // The children range is a forward range that std algorithms and views take.
  auto& children = ul->Children();
  EXPECT_EQ(std::ranges::distance(children), 4);
  auto ids = children | std::views::transform([](Tag& t) { return t.ID(); });
  EXPECT_EQ(Collect(ids), (std::vector<std::string>{"a", "c", "d", "e"}));
}

TEST(DoorRanges, DescendantsInDocumentOrderComposeWithViews) {
  Document doc(Utf8());
  doc.SetMasterPage(
      "<table qlid=t><tr qlid=r1><td qlid=a>1</td><td qlid=b><b>2</b></td></tr>"
      "<tr qlid=r2><td qlid=c>3</td></tr></table><p qlid=after>");
  Ref<Tag> table = doc.Get("t");
  EXPECT_EQ(Names(table->Descendants()),
            (std::vector<std::string>{"TR#r1", "TD#a", "TEXTBLOCK", "TD#b", "B", "TEXTBLOCK",
                                      "TR#r2", "TD#c", "TEXTBLOCK"}));
  // The same order FindNext walks, and nothing beyond the tag it started on.
  std::vector<std::string> by_find;
  for (Ref<Tag> t = table->FindByTagName("td"); t; t = doc.FindNext()) by_find.push_back(t->ID());
  auto cells = table->Descendants() |
               std::views::filter([](Tag& t) { return t.TagName() == "TD"; }) |
               std::views::transform([](Tag& t) { return t.ID(); });
  EXPECT_EQ(Collect(cells), by_find);
  EXPECT_EQ(by_find, (std::vector<std::string>{"a", "b", "c"}));

  EXPECT_TRUE(Names(doc.Get("after")->Descendants()).empty());
  EXPECT_EQ(std::ranges::distance(doc.Root()->Descendants()), 11);
  // A view can be kept and walked again; it holds the tag it starts from.
  DescendantRange below_row = doc.Get("r2")->Descendants();
  doc.Get("r2")->RemoveFromParent();
  EXPECT_EQ(Names(below_row), (std::vector<std::string>{"TD#c", "TEXTBLOCK"}));
}

TEST(DoorNeighbours, SiblingsAreNullAtTheEndsWhereNextTagThrows) {
  Document doc(Utf8());
  doc.SetMasterPage("<a qlid=x></a><b qlid=y></b>");
  Ref<Tag> a = doc.Get("x");
  Ref<Tag> b = doc.Get("y");
  EXPECT_EQ(a->NextSibling(), b);
  EXPECT_EQ(b->PreviousSibling(), a);
  EXPECT_EQ(b->NextSibling(), nullptr);
  EXPECT_EQ(a->PreviousSibling(), nullptr);
  EXPECT_EQ(doc.Root()->NextSibling(), nullptr);
  EXPECT_THROW((void)b->NextTag(), Error);
  b->RemoveFromParent();
  EXPECT_EQ(b->PreviousSibling(), nullptr);  // no place, no neighbours
  EXPECT_EQ(a->NextSibling(), nullptr);
}

TEST(DoorPositions, TagToTextPosGivesTheRangeOfTheTag) {
  Document doc(Utf8());
  doc.SetMasterPage("<html><body qlid=b>\r\n<p qlid=p>héllo 😀</p>\r\n</body></html>");
  for (Form form : {Form::kPage, Form::kMasterPage}) {
    const std::u16string text =
        Utf8().ToUtf16(form == Form::kPage ? doc.GetPageData() : doc.GetMasterPage());
    TextRange range = doc.TagToTextPos(form, *doc.Get("p"));
    ASSERT_FALSE(range.empty());
    const std::u16string cut = text.substr(range.begin, range.end - range.begin);
    EXPECT_EQ(cut, form == Form::kPage ? u"<P>héllo 😀</P>" : u"<P QLID=\"p\">héllo 😀</P>");
    // The same figures as the out-parameter form.
    int32_t begin = -1, end = -1;
    doc.TagToTextPos(form == Form::kMasterPage, doc.Get("p").get(), &begin, &end);
    EXPECT_EQ((TextRange{begin, end}), range);
  }
  Ref<Tag> loose = Tag::Create();
  EXPECT_EQ(doc.TagToTextPos(Form::kPage, *loose), TextRange{});
}

TEST(DoorEscape, MarkupCharactersBecomeReferences) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  for (const Case& c : {Case{"", ""}, Case{"plain text", "plain text"},
                        Case{"a<b>&c", "a&lt;b&gt;&amp;c"},
                        Case{"\"q\" 'a'", "&quot;q&quot; &#x27;a&#x27;"},
                        Case{"&amp;", "&amp;amp;"}, Case{"日本 😀", "日本 😀"},
                        Case{std::string_view("\0<", 2), std::string_view("\0&lt;", 5)}}) {
    EXPECT_EQ(Escape(c.in), c.out) << c.in;
  }
}

#ifdef QUILLON_HTML_ASAN
// A raw pointer kept past the tree's end meets poisoned memory: the
// sanitizer stops the program instead of letting it read a new tag that
// took the old one's place.
TEST(DoorPoisoning, StaleRawPointerIsASanitizerReport) {
  struct Case {
    const char* name;
    void (*stale)(Document& doc);
  };
  const Case cases[] = {
      {"cleared", [](Document& doc) {
         Tag* raw = doc.Body().get();
         doc.Clear();
         (void)raw->ChildCount();
       }},
      {"removed", [](Document& doc) {
         Tag* raw = doc.Get("p").get();
         doc.Get("p")->RemoveFromParent();
         (void)doc.Body()->Add("", "div");
         (void)raw->ChildCount();
       }},
      {"reloaded", [](Document& doc) {
         Tag* raw = doc.Get("p").get();
         doc.SetMasterPage("<p qlid=q>");
         (void)raw->ChildCount();
       }},
  };
  for (const Case& c : cases) {
    EXPECT_DEATH(
        {
          Document doc(Utf8());
          doc.SetMasterPage("<html><body><p qlid=p>x</p></body></html>");
          c.stale(doc);
        },
        "use-after-poison|heap-use-after-free")
        << c.name;
  }
}
#endif

}  // namespace
}  // namespace quillon::html

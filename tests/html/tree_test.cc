// Tag operations: parameters, text, adding, removing, copying, replacing,
// collections, searches with their find state, and form selection.
#include <gtest/gtest.h>

#include <string>

#include "quillon/component/errors.h"
#include "quillon/html/document.h"
#include "tests/html/html_test_util.h"

namespace quillon::html {
namespace {

using testing::Dump;
using testing::DumpContent;

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

int ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(TagParameters, SetRemoveAndWriteForms) {
  Document doc(Utf8());
  doc.SetMasterPage("<input type=checkbox checked value=1>");
  Ref<Tag> input = doc.Root()->Children().Item(0);
  EXPECT_EQ(input->Parameter("checked"), "CHECKED");
  EXPECT_EQ(doc.GetPageData(), "<INPUT TYPE=\"checkbox\" CHECKED VALUE=\"1\">");

  input->SetParameter("checked", "");
  EXPECT_EQ(input->ParamCount(), 2);
  input->SetParameter("value", "");  // VALUE stays, empty
  EXPECT_EQ(input->ParamCount(), 2);
  EXPECT_EQ(input->ParamName(1), "VALUE");
  EXPECT_EQ(input->ParamName(2), "");
  input->SetParameter("type", "text");  // replaced in place
  input->SetParameter("!private", "kept off the page");
  EXPECT_EQ(input->ParamName(0), "TYPE");
  EXPECT_EQ(doc.GetPageData(), "<INPUT TYPE=\"text\" VALUE=\"\">");
  EXPECT_EQ(input->Parameter("!PRIVATE"), "kept off the page");

  // A new value that starts like a directive keeps the tag's indentation off.
  Ref<Tag> t = Tag::Create();
  t->SetParam("X", "<%= y %>");
  EXPECT_TRUE(t->NoIndent());
  input->ResetParameters();
  EXPECT_EQ(input->ParamCount(), 0);
}

TEST(TagText, TextAndValueMapping) {
  Document doc(Utf8());
  doc.SetMasterPage("<p></p><td>a<b>x</b></td><input value=v>");
  Tags& top = doc.Root()->Children();
  Ref<Tag> p = top.Item(0);
  EXPECT_EQ(p->Text(), "");
  p->SetText("hello");
  EXPECT_EQ(p->Text(), "hello");
  EXPECT_EQ(Dump(p), "P[\"hello\"]");
  Ref<Tag> td = top.Item(1);
  EXPECT_EQ(td->Value(), "a");
  td->SetValue("z");
  EXPECT_EQ(Dump(td), "TD[\"z\" B[\"x\"]]");
  Ref<Tag> input = top.Item(2);
  EXPECT_EQ(input->Value(), "v");
  input->SetValue("w");
  EXPECT_EQ(input->GetParam("VALUE"), "w");
  EXPECT_EQ(input->ChildCount(), 0);
  EXPECT_TRUE(td->Children().Item(0)->IsTextBlock());
  EXPECT_EQ(td->Children().Item(0)->Value(), "z");
}

TEST(TagEditing, InsertRemoveAndRenumber) {
  Document doc(Utf8());
  doc.SetMasterPage("<ul><li qlid=one><li qlid=two name=Second><li><li></ul>");
  Ref<Tag> ul = doc.Root()->Children().Item(0);
  Ref<Tag> x = ul->InsertBefore("two", "x", "hr");
  EXPECT_EQ(x->Index(), 1);
  EXPECT_EQ(ul->Children().Item(2)->Index(), 2);
  EXPECT_EQ(ul->InsertAfter("second", "", "br")->Index(), 3);  // NAME, any case
  EXPECT_EQ(ul->InsertBefore("li", "", "p")->Index(), 0);      // tag name
  EXPECT_EQ(ErrorOf([&] { ul->InsertBefore("nothing", "", "p"); }), kMsgBadIndex);
  EXPECT_EQ(ErrorOf([&] { ul->InsertBefore(-1, "", "p"); }), kMsgBadIndex);
  EXPECT_FALSE(ul->InsertBefore(99, "", "p"));
  EXPECT_FALSE(ul->InsertBefore(-2, "", "p"));
  // After -2 is before -1: outside the list, so nothing, not an error.
  EXPECT_FALSE(ul->InsertAfter(-2, "", "p"));
  EXPECT_FALSE(ul->InsertAfter(-3, "", "p"));
  EXPECT_EQ(ErrorOf([&] { ul->InsertAfter(-1, "", "p"); }), kMsgBadIndex);
  EXPECT_EQ(Dump(ul), "UL[P LI#one HR#x LI#two(NAME=Second) BR LI LI]");

  ul->Remove(0, 2);
  EXPECT_EQ(Dump(ul), "UL[HR#x LI#two(NAME=Second) BR LI LI]");
  for (int32_t i = 0; i < ul->ChildCount(); ++i) EXPECT_EQ(ul->Children().Item(i)->Index(), i);
  ul->Remove("two", 100);
  EXPECT_EQ(Dump(ul), "UL[HR#x]");
  ul->Remove(1, 1);  // no such position: nothing to remove
  EXPECT_EQ(Dump(ul), "UL[HR#x]");
  EXPECT_EQ(ErrorOf([&] { ul->Remove("none", 1); }), kMsgBadIndex);
  EXPECT_EQ(ErrorOf([&] { ul->Remove(-1, 1); }), kMsgBadIndex);
  ul->Add("", "a");
  ul->Add("", "b");
  ul->Remove(-2, 3);  // positions -2, -1 and 0: only the first exists
  EXPECT_EQ(Dump(ul), "UL[A B]");
}

TEST(TagEditing, NeighboursAndRemovedTags) {
  Document doc(Utf8());
  doc.SetMasterPage("<a></a><b></b>");
  Ref<Tag> a = doc.Root()->Children().Item(0);
  Ref<Tag> b = a->NextTag();
  EXPECT_EQ(b->TagName(), "B");
  EXPECT_EQ(b->PreviousTag(), a);
  EXPECT_EQ(ErrorOf([&] { a->PreviousTag(); }), kMsgNoTagAtPosition);
  EXPECT_EQ(ErrorOf([&] { b->NextTag(); }), kMsgNoTagAtPosition);
  EXPECT_EQ(ErrorOf([&] { doc.Root()->NextTag(); }), kMsgNoTagAtPosition);

  // A removed tag that is still held keeps its content but no place.
  b->Add("c", "i");
  b->RemoveFromParent();
  EXPECT_EQ(b->Parent(), nullptr);
  EXPECT_EQ(b->Index(), -1);
  EXPECT_EQ(b->ID(), "");
  EXPECT_EQ(ErrorOf([&] { b->PreviousTag(); }), kMsgNoTagAtPosition);
  EXPECT_EQ(Dump(b.get()), "B[I#c]");
  EXPECT_EQ(b->Children().Item(0)->Parent(), b);
  b->SetID("ignored");
  b->RemoveFromParent();  // nothing left to leave
  EXPECT_EQ(DumpContent(doc), "A");
  // The document's clear releases its children; held ones survive whole.
  doc.Clear();
  EXPECT_EQ(a->Parent(), nullptr);
  EXPECT_EQ(Dump(b.get()), "B[I#c]");
}

TEST(TagEditing, StandaloneTag) {
  Ref<Tag> t = Tag::Create();
  EXPECT_EQ(t->TagName(), "");
  EXPECT_FALSE(t->HasEndTag());
  EXPECT_TRUE(t->BreakBefore());
  EXPECT_TRUE(t->BreakBeforeEnd());
  t->SetTagName("br");
  EXPECT_EQ(t->TagName(), "BR");
  EXPECT_FALSE(t->HasEndTag());
  EXPECT_FALSE(t->BreakBefore());
  t->SetTagName("div");
  EXPECT_TRUE(t->HasEndTag());
  t->SetText("x");
  EXPECT_EQ(Dump(t.get()), "DIV[\"x\"]");
  t->Write();  // no document: nothing to write to, and no failure
}

TEST(TagCopies, CopyBeforeAfterAndAddCopy) {
  Document doc(Utf8());
  doc.SetMasterPage("<tr qlid=row><td qlid=cell>x</td></tr><p>");
  Ref<Tag> row = doc.Root()->Children().Item(0);
  Ref<Tag> p = doc.Root()->Children().Item(1);
  row->CopyAfter(row.get(), 3);
  EXPECT_EQ(DumpContent(doc),
            "TR#row[TD#cell[\"x\"]] TR#row[TD#cell[\"x\"]] TR#row[TD#cell[\"x\"]] "
            "TR#row[TD#cell[\"x\"]] P");
  EXPECT_EQ(row->Index(), 0);
  p->CopyBefore(row.get(), 1);
  EXPECT_EQ(doc.Root()->Children().Item(0)->TagName(), "P");
  EXPECT_EQ(row->Index(), 1);

  // Copies into the source's own subtree never contain each other.
  Ref<Tag> cell = row->Children().Item(0);
  row->AddCopy(cell.get(), 2);
  EXPECT_EQ(Dump(row.get()), "TR#row[TD#cell[\"x\" TR#row[TD#cell[\"x\"]] TR#row[TD#cell[\"x\"]]]]");

  Ref<Tag> loose = Tag::Create();
  EXPECT_EQ(ErrorOf([&] { row->CopyBefore(loose.get(), 1); }), kMsgBadCopyTarget);
  EXPECT_EQ(ErrorOf([&] { row->CopyAfter(nullptr, 1); }), kMsgBadCopyTarget);
  EXPECT_EQ(ErrorOf([&] { row->AddCopy(nullptr, 1); }), kMsgBadCopyTarget);
  row->AddCopy(loose.get(), 1);  // any tag may receive children
  EXPECT_EQ(loose->ChildCount(), 1);
  // Flags travel with a copy.
  EXPECT_EQ(loose->Children().Item(0)->BreakBefore(), row->BreakBefore());
}

// Many copies of one subtree are made from the first copy's bytes: each
// must link only to its own tags, and each stays a tree of its own when
// it is edited or goes. Sources of several shapes; a table whose freed
// pieces are used up part way through the copies mixes the two ways of
// making them.
TEST(TagCopies, ManyCopiesLinkOnlyToThemselves) {
  struct Case {
    const char* page;
    int32_t count;
    bool freed_first;  // pieces freed before copying, for the first copies
  };
  const Case cases[] = {
      {"<table qlid=t><tr qlid=row><td qlid=c align=right>x</td><td>y</td></tr></table>", 2, false},
      {"<table qlid=t><tr qlid=row><td qlid=c align=right>x</td><td>y</td></tr></table>", 60,
       false},
      {"<table qlid=t><tr qlid=row><td qlid=c>x<b>y</b>z</td></tr></table>", 60, true},
      {"<ul qlid=t><li qlid=row><p qlid=c>deep <i>er</i></p>tail</ul>", 7, true},
      {"<div qlid=t><span qlid=row>x</span><br qlid=c></div>", 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.page) + " x" + std::to_string(c.count));
    Document doc(Utf8());
    doc.SetMasterPage(c.page);
    Ref<Tag> t = doc.Get("t");
    Ref<Tag> row = doc.Get("row");
    const std::string one = Dump(row);
    if (c.freed_first) {
      row->AddCopy(t.get(), 3);
      for (int i = 0; i < 3; ++i) t->Children().Item(t->ChildCount() - 1)->RemoveFromParent();
    }
    const int32_t before = t->ChildCount();
    row->AddCopy(t.get(), c.count);
    ASSERT_EQ(t->ChildCount(), before + c.count);
    for (int32_t i = before; i < t->ChildCount(); ++i) {
      Ref<Tag> copy = t->Children().Item(i);
      EXPECT_EQ(Dump(copy), one);
      for (Tag& d : copy->Descendants()) {
        Ref<Tag> parent = d.Parent();
        ASSERT_TRUE(parent);
        EXPECT_EQ(parent->Children().Item(d.Index()).get(), &d);
        bool inside = parent == copy;
        for (Ref<Tag> up = parent; up && !inside; up = up->Parent()) inside = up == copy;
        EXPECT_TRUE(inside) << "a tag of copy " << i << " links outside it";
      }
    }
    // An edit through one copy reaches that copy only.
    const int32_t middle = before + c.count / 2;
    Ref<Tag> edited = t->Children().Item(middle);
    Ref<Tag> first_leaf = edited;
    while (first_leaf->ChildCount() > 0) first_leaf = first_leaf->Children().Item(0);
    first_leaf->SetText("changed");
    edited->SetParameter("class", "mine");
    for (int32_t i = before; i < t->ChildCount(); ++i) {
      if (i != middle) {
        EXPECT_EQ(Dump(t->Children().Item(i)), one) << "copy " << i;
      }
    }
    EXPECT_NE(Dump(edited), one);
    // Copies go one by one, every other first, and the rest stay whole.
    for (int32_t i = t->ChildCount() - 1; i >= before; i -= 2) {
      if (i != middle) t->Children().Item(i)->RemoveFromParent();
    }
    for (int32_t i = before; i < t->ChildCount(); ++i) {
      if (t->Children().Item(i) != edited) {
        EXPECT_EQ(Dump(t->Children().Item(i)), one);
      }
    }
  }
}

TEST(TagCopies, ReplaceKeepsPlaceAndIdentity) {
  Document doc(Utf8());
  doc.SetMasterPage("<div qlid=old a=1><i>x</i></div><span qlid=new b=2><b>y</b></span>");
  Ref<Tag> target = doc.Root()->Children().Item(0);
  Ref<Tag> by = doc.Root()->Children().Item(1);
  target->Replace(by.get());
  EXPECT_EQ(target->Index(), 0);
  EXPECT_EQ(doc.Root()->Children().Item(0), target.get());
  EXPECT_EQ(Dump(target.get()), "SPAN#new(B=2)[B[\"y\"]]");
  EXPECT_EQ(Dump(by.get()), "SPAN#new(B=2)[B[\"y\"]]");
  EXPECT_EQ(target->Children().Item(0)->Parent(), target);

  // By a descendant or an ancestor, or by itself: no loss, no loop.
  Ref<Tag> inner = target->Children().Item(0);
  target->Replace(inner.get());
  EXPECT_EQ(Dump(target.get()), "B[\"y\"]");
  Ref<Tag> text = target->Children().Item(0);
  text->Replace(doc.Root().get());
  EXPECT_EQ(text->TagName(), "ROOT");
  target->Replace(target.get());
  EXPECT_EQ(target->TagName(), "B");
  EXPECT_EQ(ErrorOf([&] { target->Replace(nullptr); }), kMsgBadCopyTarget);
}

TEST(Collections, KeysAndItems) {
  Document doc(Utf8());
  doc.SetMasterPage("<form><input name=Color qlid=c1><td>a</td><input qlid=td></form>");
  Tags& form = doc.Root()->Children().Item(0)->Children();
  EXPECT_EQ(form.FindKey("c1"), 0);
  EXPECT_EQ(form.FindKey("C1"), -1);  // identifiers compare exactly
  EXPECT_EQ(form.FindKey("color"), 0);  // NAME, ignoring case
  EXPECT_EQ(form.FindKey("td"), 2);     // identifier before tag name
  EXPECT_EQ(form.FindKey("Td"), 1);     // tag name upper-cased
  EXPECT_EQ(form.FindKey("x"), -1);
  EXPECT_EQ(form.Item(3), nullptr);
  EXPECT_EQ(form.Item(-1), nullptr);
  EXPECT_EQ(form.Name(2), "td");
  EXPECT_EQ(form.IndexOf(form.Item(2).get()), 2);
}

TEST(Searches, FindAndFindNext) {
  Document doc(Utf8());
  doc.SetMasterPage(
      "<table qlid=T><tr><td qlid=A>1<td qlid=B>2</td></td><td qlid=C x=Val>3</td></tr></table>"
      "<td qlid=D>");
  Ref<Tag> first = doc.FindByTagName("td");
  EXPECT_EQ(first->ID(), "A");
  EXPECT_EQ(doc.FindByTagName("td"), first);
  EXPECT_EQ(doc.FindNext()->ID(), "B");  // nested in the first hit
  EXPECT_EQ(doc.FindNext()->ID(), "C");
  EXPECT_EQ(doc.FindNext()->ID(), "D");
  EXPECT_EQ(doc.FindNext(), nullptr);
  EXPECT_EQ(doc.FindNext()->ID(), "A");  // starts over

  EXPECT_EQ(doc.FindByID("c")->ID(), "C");
  EXPECT_EQ(doc.FindByParameter("X", "vAL")->ID(), "C");
  EXPECT_EQ(doc.FindByParameter("y", "")->ID(), "T");  // missing reads ""

  // Scope: a search below the table does not leave it.
  Ref<Tag> table = doc.FindByID("t");
  EXPECT_EQ(table->FindByID("c")->ID(), "C");
  EXPECT_EQ(doc.FindNext(), nullptr);
  EXPECT_EQ(table->FindByID("t"), nullptr);  // the scope itself is not tested

  (void)doc.FindByTagName("td");
  doc.SetFindPosition(doc.FindByID("B").get());
  (void)doc.FindByTagName("td");  // the search kind and scope come from here...
  doc.SetFindPosition(table->FindByID("B").get());  // ...this call replaced them
  EXPECT_EQ(doc.FindNext(), nullptr);  // id search for B: none after B

  (void)doc.FindByTagName("td");
  Ref<Tag> tr = doc.Root()->Children().Item(0)->Children().Item(0);
  ASSERT_EQ(tr->TagName(), "TR");
  doc.SetFindPosition(tr.get());
  EXPECT_EQ(doc.FindNext()->ID(), "A");  // the first match after the TR
  doc.SetFindPosition(nullptr);
  EXPECT_EQ(doc.FindNext()->ID(), "A");
}

// FindNext goes on with the key of the last search, whatever the lengths
// of the keys before it (the find state keeps a key over the last one's
// bytes): longer, shorter, empty, and longer than any before.
TEST(Searches, FindNextGoesOnWithTheLastKey) {
  const std::string long_id(40, 'L');
  std::string master = "<table>";
  for (int r = 0; r < 3; ++r) {
    master += "<tr><td qlid=price>1</td><td qlid=qty>2</td><td qlid=q>3</td><td qlid=" + long_id +
              ">4</td><td qlid=qtyx>5</td></tr>";
  }
  master += "</table>";
  Document doc(Utf8());
  doc.SetMasterPage(master);
  const std::vector<std::vector<std::string>> sequences = {
      {"price", "qty"}, {"qty", "q"},           {long_id, "qty"}, {"q", "price", long_id},
      {"qty", "", "q"}, {"price", "qtyx", "q"}, {"q", "qty"},
  };
  for (const auto& keys : sequences) {
    for (const std::string& key : keys) (void)doc.FindByID(key);
    const std::string& last = keys.back();
    int found = 1;
    while (Ref<Tag> t = doc.FindNext()) {
      EXPECT_EQ(t->ID(), last) << keys.front() << " then " << last;
      ++found;
    }
    EXPECT_EQ(found, 3) << keys.front() << " then " << last;
  }
}

// An identifier is found whatever the case of its ASCII letters, in either
// code page and beside multibyte characters, and only when that is all
// that differs. The key comes first in each search and then again through
// FindNext, which uses the copy the find state kept.
TEST(Searches, IdentifiersMatchIgnoringTheCaseOfLettersOnly) {
  const platform::CodePage& sjis = platform::CodePage::Get(platform::CodePage::kJapanese);
  struct Case {
    const platform::CodePage* cp;
    std::string id;   // in the template
    std::string key;  // searched for
    bool found;
  };
  const Case cases[] = {
      {&Utf8(), "row", "row", true},
      {&Utf8(), "row", "ROW", true},
      {&Utf8(), "Price", "pRICE", true},
      {&Utf8(), "row", "rox", false},
      {&Utf8(), "row", "rows", false},
      {&Utf8(), "a-1", "A-1", true},
      {&Utf8(), "a-1", "A_1", false},
      {&Utf8(), "名前a", "名前A", true},
      {&Utf8(), "名前a", "名後a", false},
      {&sjis,
       "\x96\xbc\x91\x4f"
       "a",
       "\x96\xbc\x91\x4f"
       "A",
       true},  // 名前a, 名前A
      {&sjis,
       "\x96\xbc\x91\x4f"
       "a",
       "\x96\xbc\x91\x50"
       "a",
       false},
      // Two characters whose second bytes differ as 'o' and 'O' do.
      {&sjis, "\x91\x6f", "\x91\x4f", false},
      {&sjis, "qty", "QTY", true},
  };
  for (const Case& c : cases) {
    Document doc(*c.cp);
    // The tag searched for comes after another of the same length.
    doc.SetMasterPage("<p qlid=\"" + std::string(c.id.size(), '~') + "\">x</p><p qlid=\"" + c.id +
                      "\">y</p><p qlid=\"" + c.id + "\">z</p>");
    Ref<Tag> hit = doc.FindByID(c.key);
    ASSERT_EQ(hit != nullptr, c.found) << c.id << " / " << c.key;
    if (!c.found) continue;
    EXPECT_EQ(hit->Text(), "y") << c.key;
    Ref<Tag> next = doc.FindNext();
    ASSERT_NE(next, nullptr) << c.key;
    EXPECT_EQ(next->Text(), "z") << c.key;
    EXPECT_EQ(doc.FindNext(), nullptr) << c.key;
  }
}

// Identifiers are compared a word at a time: a difference in any one byte,
// at any length, must still tell them apart.
TEST(Searches, IdentifiersDifferingInOneByteAtAnyLength) {
  for (size_t length = 1; length <= 24; ++length) {
    std::string id;
    for (size_t i = 0; i < length; ++i) id += static_cast<char>('0' + i % 10);
    Document doc(Utf8());
    doc.SetMasterPage("<p qlid=\"" + id + "\">x</p>");
    EXPECT_NE(doc.FindByID(id), nullptr) << id;
    for (size_t at = 0; at < length; ++at) {
      std::string key = id;
      key[at] = '-';
      EXPECT_EQ(doc.FindByID(key), nullptr) << id << " / " << key;
    }
  }
}

TEST(Searches, WithoutAnySearchStepsThroughAllTags) {
  Document doc(Utf8());
  doc.SetMasterPage("<a><b></b></a><c>");
  std::string names;
  for (Ref<Tag> t = doc.FindNext(); t; t = doc.FindNext()) names += t->TagName();
  EXPECT_EQ(names, "ABC");
}

TEST(Searches, FindStateNeitherKeepsNorFollowsRemovedTags) {
  Document doc(Utf8());
  doc.SetMasterPage("<div><td qlid=a></td><td qlid=b></td></div><td qlid=c>");
  Ref<Tag> div = doc.Root()->Children().Item(0);
  Ref<Tag> a = doc.FindByTagName("td");
  ASSERT_EQ(a->ID(), "a");

  // The last hit removed but still held: the search starts over.
  a->RemoveFromParent();
  EXPECT_EQ(doc.FindNext()->ID(), "b");
  // The last hit released altogether: its link is cleared, not followed.
  Ref<Tag> b = doc.FindNext();
  ASSERT_EQ(b->ID(), "c");
  b->RemoveFromParent();
  b = nullptr;
  EXPECT_EQ(doc.FindNext()->ID(), "b");

  // The scope removed: the search falls back to the whole document.
  Ref<Tag> scope(div);
  EXPECT_EQ(scope->FindByTagName("td")->ID(), "b");
  scope->RemoveFromParent();
  EXPECT_EQ(doc.FindNext(), nullptr);  // b went with its scope
  scope = nullptr;
  doc.SetMasterPage("<td qlid=n>");
  EXPECT_EQ(doc.FindNext()->ID(), "n");
}

// A start that never was this document's (another document's tag, a tag
// made on its own) is never passed: nothing follows it, and the search
// starts over with the call after. A removed tag of this document is a
// lost place instead: the search starts over at once.
TEST(Searches, FindNextAfterAForeignStartFindsNothingThenStartsOver) {
  Document doc(Utf8());
  doc.SetMasterPage("<td qlid=a></td><td qlid=b></td>");
  Document other(Utf8());
  other.SetMasterPage("<td qlid=x></td><td qlid=y></td>");
  Ref<Tag> loose = Tag::Create();
  loose->SetTagName("td");
  Ref<Tag> removed = doc.Root()->Children().Item(1)->DeepCopy();
  struct Case {
    const char* name;
    Ref<Tag> start;
    std::vector<std::string> next;  // identifiers FindNext gives, "-" for none
  };
  const Case cases[] = {
      {"another document's", other.Get("x"), {"-", "a", "b", "-", "a"}},
      {"a stand-alone tag", loose, {"-", "a", "b", "-"}},
      {"a copy never placed", removed, {"a", "b", "-"}},
      {"this document's", doc.Get("a"), {"b", "-", "a"}},
      {"none", nullptr, {"a", "b", "-"}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(doc.FindByTagName("td")->ID(), "a");
    doc.SetFindPosition(c.start);
    std::vector<std::string> got;
    for (size_t i = 0; i < c.next.size(); ++i) {
      Ref<Tag> hit = doc.FindNext();
      got.push_back(hit ? hit->ID() : "-");
    }
    EXPECT_EQ(got, c.next) << c.name;
  }
}

TEST(FormSelection, SelectRadio) {
  Document doc(Utf8());
  doc.SetMasterPage(
      "<form><input type=radio name=color value=red><p><input type=radio name=color "
      "value=green checked><input type=radio name=color value=blue></p>"
      "<input name=other value=blue checked></form>");
  Ref<Tag> form = doc.Root()->Children().Item(0);
  form->SelectRadio("Color", "blue");  // another case: nothing changes
  EXPECT_EQ(doc.FindByParameter("checked", "checked")->GetParam("VALUE"), "green");
  form->SelectRadio("color", "blue");
  EXPECT_EQ(doc.GetPageData(),
            "<FORM><INPUT TYPE=\"radio\" NAME=\"color\" VALUE=\"red\"><P><INPUT TYPE=\"radio\" "
            "NAME=\"color\" VALUE=\"green\"><INPUT TYPE=\"radio\" NAME=\"color\" "
            "VALUE=\"blue\" CHECKED></P><INPUT NAME=\"other\" VALUE=\"blue\" CHECKED></FORM>");
}

TEST(FormSelection, SelectOption) {
  Document doc(Utf8());
  doc.SetMasterPage(
      "<select><option value=a selected>b<option>a<option value=b>a</select>"
      "<select><option value=a></select>");
  Ref<Tag> first = doc.Root()->Children().Item(0);
  first->SelectOption("b");
  EXPECT_EQ(DumpContent(doc),
            "SELECT[OPTION(VALUE=a) \"b\" OPTION \"a\" OPTION(VALUE=b,SELECTED=SELECTED) \"a\"] "
            "SELECT[OPTION(VALUE=a)]");
  first->SelectOption("");  // only the option without VALUE
  EXPECT_EQ(Dump(first),
            "SELECT[OPTION(VALUE=a) \"b\" OPTION(SELECTED=SELECTED) \"a\" OPTION(VALUE=b) \"a\"]");
  doc.Root()->SelectOption("none");
  EXPECT_EQ(doc.FindByParameter("selected", "selected"), nullptr);
}

// A document gives its tree's memory back in one piece when it goes; tags
// someone still holds keep that memory and stay fully usable.
TEST(TreeLifetime, TagsHeldPastTheirDocumentCanStillBeEdited) {
  Ref<Tag> row;
  {
    Document doc(Utf8());
    doc.SetMasterPage("<table><tr qlid=r><td align=right>a</td></tr></table>");
    row = doc.FindByID("r");
    row->AddCopy(row->Parent().get(), 50);
  }
  EXPECT_EQ(row->document(), nullptr);
  EXPECT_EQ(row->Parent(), nullptr);
  for (int i = 0; i < 100; ++i) {
    row->Add("", "td")->SetText(std::string(static_cast<size_t>(i), 'y'));
    row->SetParameter("class", std::to_string(i));
  }
  row->Remove(0, 50);
  ASSERT_EQ(row->ChildCount(), 51);
  EXPECT_EQ(row->Children().Item(0)->Text(), std::string(49, 'y'));
  EXPECT_EQ(row->Parameter("class"), "99");
  Ref<Tag> copy = row->DeepCopy();
  row = nullptr;
  EXPECT_EQ(copy->ChildCount(), 51);
  EXPECT_EQ(copy->Children().Item(50)->Text(), std::string(99, 'y'));
}

}  // namespace
}  // namespace quillon::html

// LoadTabula against the stand-in grid: the written page for a table of
// sheets, the calls the builder makes, and what a failing grid leaves.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "grid/objects.h"
#include "quillon/component/errors.h"
#include "quillon/html/document.h"
#include "quillon/platform/codepage.h"

namespace quillon::grid {
namespace {

const platform::CodePage& Utf8() { return platform::CodePage::Get(platform::CodePage::kUtf8); }

struct Td {
  std::string params;
  std::string text = "&nbsp;";
};

// The TD parameters in their fixed order; colspan/rowspan "" for none.
std::string P(int width, int height, const std::string& colspan, const std::string& rowspan,
              const std::string& bg = "#FFFFFF", const std::string& align = "MIDDLE",
              const std::string& valign = "MIDDLE") {
  std::string p =
      "WIDTH=\"" + std::to_string(width) + "\" HEIGHT=\"" + std::to_string(height) + "\"";
  if (!colspan.empty()) p += " COLSPAN=\"" + colspan + "\"";
  if (!rowspan.empty()) p += " ROWSPAN=\"" + rowspan + "\"";
  return p + " BGCOLOR=\"" + bg + "\" ALIGN=\"" + align + "\" VALIGN=\"" + valign + "\"";
}
// A default cell: 40 x 15 units, written 148 x 55.
std::string D() { return P(148, 55, "", ""); }

const char kTableStart[] =
    "\t<TABLE CELLSPACING=\"1\" CELLPADDING=\"1\" BORDER=\"1\" BGCOLOR=\"#C0C0C0\">\r\n";

std::string Page(const std::vector<std::vector<Td>>& rows) {
  std::string page = "<HTML>\r\n<HEAD>\r\n</HEAD>\r\n<BODY>\r\n";
  page += kTableStart;
  for (const auto& row : rows) {
    page += "\t\t<TR>\r\n";
    for (const Td& td : row) {
      page += "\t\t\t<TD " + td.params + ">\r\n\t\t\t\t" + td.text + "\r\n\t\t\t</TD>\r\n";
    }
    page += "\t\t</TR>\r\n";
  }
  return page + "\t</TABLE>\r\n</BODY>\r\n</HTML>";
}

struct Built {
  std::string page;
  com::ComPtr<com::Object<SheetObject>> sheet;
};

Built Build(const std::function<void(SheetRef&)>& setup, bool visible_area_only) {
  html::Document doc(Utf8());
  auto sheet = com::Object<SheetObject>::Create(GridModule());
  setup(sheet->plain());
  sheet->plain().sheet->ResetCalls();
  doc.Body()->Add("", "P")->LoadTabula(static_cast<ISheet*>(sheet.get()), visible_area_only, false);
  return {doc.GetPageData(), sheet};
}

struct Case {
  const char* name;
  std::function<void(SheetRef&)> setup;
  bool visible_area_only;
  std::vector<std::vector<Td>> expected;
};

void Texts(SheetRef& s) {
  for (int32_t r = 0; r < s.Rows(); ++r) {
    for (int32_t c = 0; c < s.Columns(); ++c) {
      s.Cell(r, c).SetText("r" + std::to_string(r) + "c" + std::to_string(c));
    }
  }
}

TEST(LoadTabula, WritesTheSheet) {
  const std::vector<Case> cases = {
      {"plain 2x3",
       [](SheetRef& s) {
         s.SetSize(2, 3);
         Texts(s);
       },
       false,
       {{{D(), "r0c0"}, {D(), "r0c1"}, {D(), "r0c2"}},
        {{D(), "r1c0"}, {D(), "r1c1"}, {D(), "r1c2"}}}},
      {"plain 2x2 with sizes",
       [](SheetRef& s) {
         s.SetSize(2, 2);
         s.SetColumnWidth(0, 10);    // 37
         s.SetColumnWidth(1, 20.5);  // 75.85 -> 75
         s.SetRowHeight(1, 1);       // 3.7 -> 3
       },
       false,
       {{{P(37, 55, "", "")}, {P(75, 55, "", "")}}, {{P(37, 3, "", "")}, {P(75, 3, "", "")}}}},
      {"merged right: one TD, the covered cell none",
       [](SheetRef& s) {
         s.SetSize(2, 3);
         Texts(s);
         s.Merge(0, 0, 1, 2);
       },
       false,
       {{{P(296, 55, "2", ""), "r0c0"}, {D(), "r0c2"}},
        {{D(), "r1c0"}, {D(), "r1c1"}, {D(), "r1c2"}}}},
      {"merged down",
       [](SheetRef& s) {
         s.SetSize(3, 2);
         Texts(s);
         s.Merge(0, 0, 2, 1);
       },
       false,
       {{{P(148, 111, "", "2"), "r0c0"}, {D(), "r0c1"}},
        {{D(), "r1c1"}},
        {{D(), "r2c0"}, {D(), "r2c1"}}}},
      {"merged block right and down",
       [](SheetRef& s) {
         s.SetSize(2, 2);
         s.Merge(0, 0, 2, 2);
       },
       false,
       {{{P(296, 111, "2", "2")}}, {}}},
      {"merged down into hidden rows only gives ROWSPAN 1",
       [](SheetRef& s) {
         s.SetSize(3, 1);
         s.Merge(0, 0, 3, 1);
         s.SetRowHeight(1, 0);
         s.SetRowHeight(2, 0);
       },
       false,
       {{{P(148, 55, "", "1")}}}},
      {"merged right into a hidden column only gives no COLSPAN",
       [](SheetRef& s) {
         s.SetSize(1, 2);
         s.Merge(0, 0, 1, 2);
         s.SetColumnWidth(1, 0);
       },
       false,
       {{{P(148, 55, "", "")}}}},
      {"merged right across a hidden column counts the shown ones",
       [](SheetRef& s) {
         s.SetSize(1, 3);
         s.Merge(0, 0, 1, 3);
         s.SetColumnWidth(1, 0);
       },
       false,
       {{{P(296, 55, "2", "")}}}},
      {"hidden row and column",
       [](SheetRef& s) {
         s.SetSize(3, 3);
         Texts(s);
         s.SetRowHeight(1, 0);
         s.SetColumnWidth(1, 0);
       },
       false,
       {{{D(), "r0c0"}, {D(), "r0c2"}}, {{D(), "r2c0"}, {D(), "r2c2"}}}},
      {"a column below 0 is hidden, a row below 0 is not",
       [](SheetRef& s) {
         s.SetSize(2, 2);
         s.SetColumnWidth(1, -5);
         s.SetRowHeight(1, -5);
       },
       false,
       {{{D()}}, {{P(148, 0, "", "")}}}},
      {"colours",
       [](SheetRef& s) {
         s.SetSize(1, 8);
         const int32_t backs[] = {0x0000FF,
                                  0x123456,
                                  static_cast<int32_t>(0x80000005),
                                  static_cast<int32_t>(0x8000000F),
                                  static_cast<int32_t>(0x80000001),
                                  static_cast<int32_t>(0x80FF0002),
                                  static_cast<int32_t>(0x800000FF),
                                  0};
         for (int32_t c = 0; c < 8; ++c) s.Cell(0, c).SetBackColour(backs[c]);
         s.Cell(0, 0).SetText("x");
         s.Cell(0, 0).SetTextColour(0x00FF00);
         s.Cell(0, 1).SetTextColour(static_cast<int32_t>(0x80000005));  // no system lookup
         s.Cell(0, 2).SetText("black");
       },
       false,
       {{{P(148, 55, "", "", "#FF0000"), "<FONT COLOR=#00FF00>x</FONT>"},
         {P(148, 55, "", "", "#563412"), "<FONT COLOR=#050000>&nbsp;</FONT>"},
         {P(148, 55, "", "", "#FFFFFF"), "black"},
         {P(148, 55, "", "", "#C0C0C0")},
         {P(148, 55, "", "", "#008080")},
         {P(148, 55, "", "", "#000080")},
         {P(148, 55, "", "", "#000000")},
         {P(148, 55, "", "", "#000000")}}}},
      {"alignment bits",
       [](SheetRef& s) {
         s.SetSize(1, 7);
         const int16_t bits[] = {0, 1, 4, 5, 2, 8, 15};
         for (int32_t c = 0; c < 7; ++c) s.Cell(0, c).SetAlignment(bits[c]);
       },
       false,
       {{{P(148, 55, "", "", "#FFFFFF", "MIDDLE", "MIDDLE")},
         {P(148, 55, "", "", "#FFFFFF", "LEFT", "MIDDLE")},
         {P(148, 55, "", "", "#FFFFFF", "RIGHT", "MIDDLE")},
         {P(148, 55, "", "", "#FFFFFF", "LEFT", "MIDDLE")},
         {P(148, 55, "", "", "#FFFFFF", "MIDDLE", "TOP")},
         {P(148, 55, "", "", "#FFFFFF", "MIDDLE", "BOTTOM")},
         {P(148, 55, "", "", "#FFFFFF", "LEFT", "TOP")}}}},
      {"text lines, unescaped",
       [](SheetRef& s) {
         s.SetSize(1, 3);
         s.Cell(0, 0).SetText("one\ntwo\nthree");
         s.Cell(0, 1).SetText("a & <b>b</b>");
         s.Cell(0, 2).SetText("last\n");  // a second, empty line
       },
       false,
       {{{D(), "one<BR>\r\ntwo<BR>\r\nthree"}, {D(), "a & <b>b</b>"}, {D(), "last<BR>\r\n"}}}},
      {"a pending text is shown after the update",
       [](SheetRef& s) {
         s.SetSize(1, 1);
         s.Cell(0, 0).SetText("old");
         s.Cell(0, 0).SetPendingText("new");
       },
       false,
       {{{D(), "new"}}}},
      {"empty grid", [](SheetRef& s) { s.SetSize(0, 0); }, false, {}},
      {"rows but no columns", [](SheetRef& s) { s.SetSize(3, 0); }, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Build(c.setup, c.visible_area_only).page, Page(c.expected));
  }
}

// Six rows and four columns of 10 units, the first row and column frozen.
// Rows: pane 1 starts at 10 and shows 35 units from 25 on, so rows 3 to 5
// (30..60) fit, row 2 (20..30) only partly. Columns: pane 1 shows 15 units
// from 10 on, so column 1 fits and column 2 (20..30) only partly.
void Scrolled(SheetRef& s) {
  s.SetSize(6, 4);
  for (int32_t i = 0; i < 6; ++i) s.SetRowHeight(i, 10);
  for (int32_t i = 0; i < 4; ++i) s.SetColumnWidth(i, 10);
  Texts(s);
  s.Freeze(1, 1);
  s.ScrollTo(15, 0);
  s.SetWindow(45, 25);
}

TEST(LoadTabula, VisibleAreaOnlyLeavesOutWhatIsNotWhollyInView) {
  const std::string cell = P(37, 37, "", "");
  auto row = [&](int r) {
    return std::vector<Td>{{cell, "r" + std::to_string(r) + "c0"},
                           {cell, "r" + std::to_string(r) + "c1"}};
  };
  Built visible = Build(Scrolled, true);
  EXPECT_EQ(visible.page, Page({row(0), row(3), row(4), row(5)}));
  // Shown rows ask for their pane and view; hidden-by-scrolling rows are
  // not read beyond that.
  EXPECT_EQ(visible.sheet->plain().CallCount("row", 6), 6);
  EXPECT_EQ(visible.sheet->plain().CallCount("cell", 85), 4 * 4);
  EXPECT_EQ(visible.sheet->plain().CallCount("cell", 96), 4 * 2);

  Built all = Build(Scrolled, false);
  std::vector<std::vector<Td>> rows(6);
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 4; ++c)
      rows[r].push_back({cell, "r" + std::to_string(r) + "c" + std::to_string(c)});
  }
  EXPECT_EQ(all.page, Page(rows));
  for (const char* kind : {"pane", "view"}) {
    for (int dispid : {7, 14, 25, 34}) EXPECT_EQ(all.sheet->plain().CallCount(kind, dispid), 0);
  }
  EXPECT_EQ(all.sheet->plain().CallCount("row", 14), 0);
}

TEST(LoadTabula, CallsTheGridAsDocumented) {
  Built b = Build(
      [](SheetRef& s) {
        s.SetSize(3, 3);
        s.SetRowHeight(2, 0);
        s.Merge(0, 0, 1, 2);
        s.Cell(0, 2).SetPendingText("p");
        s.Cell(1, 1).SetPendingText("q");
        s.Cell(2, 0).SetPendingText("hidden row: never updated");
        s.Cell(1, 2).SetText("two\nlines");
      },
      false);
  SheetRef& s = b.sheet->plain();
  EXPECT_EQ(s.CallCount("grid", 89), 1);
  EXPECT_EQ(s.CallCount("grid", 92), 1);
  // Rows 0 and 1 are shown, 2 cells + 3 cells get a TD (the covered one
  // does not); 90 is read for those and 94 called where it was true.
  EXPECT_EQ(s.CallCount("cell", 90), 5);
  EXPECT_EQ(s.CallCount("cell", 94), 2);
  EXPECT_TRUE(s.Cell(2, 0).NeedsUpdate());
  EXPECT_FALSE(s.Cell(1, 1).NeedsUpdate());
  // Width and height for every cell of a shown row, covered ones included.
  EXPECT_EQ(s.CallCount("cell", 85), 6);
  EXPECT_EQ(s.CallCount("cell", 14), 5);
  EXPECT_EQ(s.CallCount("cell", 96), 2 + 1 + 1);  // "two", "lines", "p", "q"
  EXPECT_EQ(s.CallCount("cell", 41), 5);
  // 102: 3 steps right in each of the 2 shown rows (the last answers
  // nothing), 1 for the merge walk, 3 steps down.
  EXPECT_EQ(s.CallCount("cell", 102), 3 * 2 + 1 + 3);
  EXPECT_EQ(s.CallCount("view", 34), 0);
}

TEST(LoadTabula, KeepsExistingChildrenAndReplacesParametersInPlace) {
  html::Document doc(Utf8());
  doc.SetMasterPage(
      "<html>\r\n<body>\r\n<div border=0 class=x>\r\n<caption>c</caption>\r\n</div>\r\n</body>\r\n"
      "</html>");
  auto sheet = com::Object<SheetObject>::Create(GridModule());
  sheet->plain().SetSize(1, 1);
  html::Ref<html::Tag> tag = doc.Body()->Children().Item(0);
  tag->LoadTabula(static_cast<ISheet*>(sheet.get()), false, true);
  EXPECT_EQ(doc.GetPageData(),
            "<HTML>\r\n<HEAD>\r\n</HEAD>\r\n<BODY>\r\n"
            "\t<TABLE BORDER=\"1\" CLASS=\"x\" CELLSPACING=\"1\" CELLPADDING=\"1\" "
            "BGCOLOR=\"#C0C0C0\">\r\n"
            "\t\t<CAPTION>c</CAPTION>\r\n"
            "\t\t<TR>\r\n\t\t\t<TD " +
                D() +
                ">\r\n\t\t\t\t&nbsp;\r\n\t\t\t</TD>\r\n\t\t</TR>\r\n"
                "\t</TABLE>\r\n</BODY>\r\n</HTML>");
}

TEST(LoadTabula, AFailingGridCallLeavesTheRowsBuiltSoFar) {
  html::Document doc(Utf8());
  auto sheet = com::Object<SheetObject>::Create(GridModule());
  SheetRef& s = sheet->plain();
  s.SetSize(3, 1);
  // Only a cell with text asks for a line: the second row's call fails.
  s.Cell(1, 0).SetText("fails");
  s.Cell(2, 0).SetText("never read");
  s.FailCall("cell", 96);
  html::Ref<html::Tag> tag = doc.Body()->Add("", "P");
  try {
    tag->LoadTabula(static_cast<ISheet*>(sheet.get()), false, false);
    ADD_FAILURE() << "the failing call was not reported";
  } catch (const ForeignError& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.code()), static_cast<uint32_t>(kRefusedCall));
    EXPECT_EQ(e.Text(), u"The grid refused the call.");
  }
  EXPECT_EQ(s.CallCount("cell", 96), 1);
  EXPECT_EQ(s.CallCount("cell", 85), 2);  // the third row was never reached
  EXPECT_EQ(doc.GetPageData(), "<HTML>\r\n<HEAD>\r\n</HEAD>\r\n<BODY>\r\n" +
                                   std::string(kTableStart) + "\t\t<TR>\r\n\t\t\t<TD " + D() +
                                   ">\r\n\t\t\t\t&nbsp;\r\n\t\t\t</TD>\r\n"
                                   "\t\t</TR>\r\n\t\t<TR>\r\n\t\t\t<TD " +
                                   D() +
                                   ">\r\n\t\t\t</TD>\r\n\t\t</TR>\r\n"
                                   "\t</TABLE>\r\n</BODY>\r\n</HTML>");
}

TEST(LoadTabula, NullGridIsRefusedWithoutChange) {
  html::Document doc(Utf8());
  html::Ref<html::Tag> tag = doc.Body()->Add("", "P");
  EXPECT_THROW(tag->LoadTabula(nullptr, false, false), std::invalid_argument);
  EXPECT_EQ(tag->TagName(), "P");
  EXPECT_EQ(tag->ParamCount(), 0);
}

TEST(LoadTabula, LargeSheetNeedsNoDeepStack) {
  html::Document doc(Utf8());
  auto sheet = com::Object<SheetObject>::Create(GridModule());
  sheet->plain().SetSize(3000, 2);
  sheet->plain().Merge(0, 0, 3000, 1);
  html::Ref<html::Tag> tag = doc.Body()->Add("", "P");
  tag->LoadTabula(static_cast<ISheet*>(sheet.get()), false, false);
  EXPECT_EQ(tag->ChildCount(), 3000);
  EXPECT_NE(doc.GetPageData().find("ROWSPAN=\"3000\""), std::string::npos);
  EXPECT_EQ(GridModule().objects(), 1);  // the sheet alone: no part leaked
}

}  // namespace
}  // namespace quillon::grid

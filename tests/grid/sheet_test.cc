// The stand-in grid's own model and automation surface: the geometry the
// table builder relies on, merges, and the objects' answers by identifier.
#include <gtest/gtest.h>

#include <stdexcept>

#include "grid/objects.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/variant.h"

namespace quillon::grid {
namespace {

TEST(Sheet, PanesAndVisibleRanges) {
  Sheet s;
  s.SetSize(5, 2);
  for (int32_t i = 0; i < 5; ++i) s.SetBandSize(Axis::kRow, i, 10 + i);  // 10..14
  s.SetBandSize(Axis::kRow, 2, 0);
  s.Freeze(Axis::kRow, 2);
  s.Scroll(Axis::kRow, 4);
  struct Expect {
    int32_t row, pane;
    double position;
  };
  for (const Expect& e :
       {Expect{0, 0, 0}, Expect{1, 0, 10}, Expect{2, 1, 0}, Expect{3, 1, 0}, Expect{4, 1, 13}}) {
    SCOPED_TRACE(e.row);
    EXPECT_EQ(s.PaneOf(Axis::kRow, e.row), e.pane);
    EXPECT_EQ(s.PositionInPane(Axis::kRow, e.row), e.position);
  }
  EXPECT_EQ(s.PanePosition(Axis::kRow, 1), 21);
  EXPECT_EQ(s.ViewStart(Axis::kRow, 0), 0);
  EXPECT_EQ(s.ViewLength(Axis::kRow, 0), 21);
  EXPECT_EQ(s.ViewStart(Axis::kRow, 1), 25);
  EXPECT_EQ(s.ViewLength(Axis::kRow, 1), 13 + 14 - 4);  // no window: the rest
  s.SetWindow(Axis::kRow, 30);
  EXPECT_EQ(s.ViewLength(Axis::kRow, 1), 9);
  s.SetWindow(Axis::kRow, 5);  // smaller than the frozen pane
  EXPECT_EQ(s.ViewLength(Axis::kRow, 1), 0);
  EXPECT_EQ(s.Extent(Axis::kRow, 2), 0);
}

TEST(Sheet, MergesSizeTheTopLeftCellAndCoverTheRest) {
  Sheet s;
  s.SetSize(3, 3);
  s.Merge(0, 1, 2, 2);
  EXPECT_EQ(s.CellWidth(0, 1), 2 * Sheet::kDefaultColumnWidth);
  EXPECT_EQ(s.CellHeight(0, 1), 2 * Sheet::kDefaultRowHeight);
  EXPECT_TRUE(s.Cell(0, 1).merged_right);
  EXPECT_TRUE(s.Cell(0, 1).merged_down);
  EXPECT_FALSE(s.Cell(0, 2).merged_right);
  EXPECT_TRUE(s.Cell(0, 2).merged_down);
  EXPECT_FALSE(s.Cell(1, 2).merged_down);
  EXPECT_EQ(s.CellWidth(1, 2), 0);
  EXPECT_EQ(s.CellHeight(1, 2), 0);
  EXPECT_FALSE(s.Cell(2, 1).merged_down);
  EXPECT_THROW(s.Merge(1, 0, 1, 2), std::invalid_argument);  // overlaps
  EXPECT_THROW(s.Merge(2, 2, 1, 2), std::invalid_argument);  // leaves the sheet
  EXPECT_THROW(s.Merge(0, 0, 0, 1), std::invalid_argument);
  EXPECT_THROW(s.Cell(3, 0), std::invalid_argument);
  EXPECT_THROW(s.SetSize(-1, 2), std::invalid_argument);
}

// Late-bound call by identifier, as a reader of the grid makes it.
com::Variant Call(com::IDispatch* object, com::DISPID dispid, com::WORD flags,
                  std::optional<int32_t> argument = std::nullopt) {
  com::Variant arg = argument ? com::Variant::I4(*argument) : com::Variant();
  com::DISPPARAMS params{};
  if (argument) {
    params.rgvarg = arg.get();
    params.cArgs = 1;
  }
  com::Variant result;
  const com::IID none{};
  EXPECT_EQ(object->Invoke(dispid, none, 0, flags, &params, result.get(), nullptr, nullptr),
            com::S_OK)
      << dispid;
  return result;
}

com::IDispatch* Object(const com::Variant& v) {
  EXPECT_EQ(v.vt(), com::VT_DISPATCH);
  return v.get()->pdispVal;
}

TEST(SheetObjects, AnswerTheReaderIdentifiers) {
  auto sheet = com::Object<SheetObject>::Create(GridModule());
  SheetRef& s = sheet->plain();
  s.SetSize(2, 2);
  s.Cell(0, 0).SetText("a\nb");
  s.Cell(0, 0).SetBackColour(0x123456);
  s.Cell(0, 0).SetTextColour(0x0000FF);
  s.Cell(0, 0).SetAlignment(6);
  s.Cell(0, 0).SetPendingText("c");
  s.Merge(0, 0, 1, 2);
  s.SetWindow(100, 30);
  {
    com::IDispatch* grid = static_cast<ISheet*>(sheet.get());
    EXPECT_EQ(Call(grid, 89, com::DISPATCH_METHOD).vt(), com::VT_EMPTY);
    com::Variant cell = Call(grid, 92, com::DISPATCH_METHOD);
    com::IDispatch* c = Object(cell);
    EXPECT_EQ(Call(c, 85, com::DISPATCH_PROPERTYGET).get()->dblVal, 80);
    EXPECT_EQ(Call(c, 86, com::DISPATCH_PROPERTYGET).get()->dblVal, 15);
    EXPECT_EQ(Call(c, 68, com::DISPATCH_PROPERTYGET).get()->boolVal, com::VARIANT_TRUE);
    EXPECT_EQ(Call(c, 69, com::DISPATCH_PROPERTYGET).get()->boolVal, com::VARIANT_FALSE);
    EXPECT_EQ(Call(c, 57, com::DISPATCH_PROPERTYGET).get()->lVal, 0x123456);
    EXPECT_EQ(Call(c, 41, com::DISPATCH_PROPERTYGET).get()->lVal, 0x0000FF);
    EXPECT_EQ(Call(c, 42, com::DISPATCH_PROPERTYGET).get()->iVal, 6);
    EXPECT_EQ(Call(c, 14, com::DISPATCH_PROPERTYGET).get()->lVal, 2);
    EXPECT_EQ(Call(c, 96, com::DISPATCH_PROPERTYGET, 1).vt(), com::VT_BSTR);
    EXPECT_EQ(Call(c, 90, com::DISPATCH_PROPERTYGET).get()->boolVal, com::VARIANT_TRUE);
    Call(c, 94, com::DISPATCH_METHOD);
    EXPECT_EQ(Call(c, 90, com::DISPATCH_PROPERTYGET).get()->boolVal, com::VARIANT_FALSE);
    EXPECT_EQ(Call(c, 14, com::DISPATCH_PROPERTYGET).get()->lVal, 1);
    // Neighbours: right and below exist, nothing past the edge.
    com::Variant right = Call(c, 102, com::DISPATCH_METHOD, 4);
    EXPECT_EQ(Call(Object(right), 85, com::DISPATCH_PROPERTYGET).get()->dblVal, 0);
    EXPECT_EQ(Call(Object(right), 102, com::DISPATCH_METHOD, 4).get()->pdispVal, nullptr);
    EXPECT_NE(Call(c, 102, com::DISPATCH_METHOD, 8).get()->pdispVal, nullptr);
    // Column, its pane and view.
    com::Variant column = Call(Object(right), 10, com::DISPATCH_PROPERTYGET);
    EXPECT_EQ(Call(Object(column), 8, com::DISPATCH_PROPERTYGET).get()->dblVal, 40);
    EXPECT_EQ(Call(Object(column), 13, com::DISPATCH_PROPERTYGET).get()->dblVal, 40);
    EXPECT_EQ(Call(Object(column), 14, com::DISPATCH_PROPERTYGET).get()->dblVal, 40);
    com::Variant pane = Call(Object(column), 6, com::DISPATCH_PROPERTYGET);
    EXPECT_EQ(Call(Object(pane), 14, com::DISPATCH_PROPERTYGET).get()->dblVal, 0);
    com::Variant view = Call(Object(pane), 7, com::DISPATCH_PROPERTYGET);
    EXPECT_EQ(Call(Object(view), 34, com::DISPATCH_PROPERTYGET).get()->dblVal, 0);
    EXPECT_EQ(Call(Object(view), 25, com::DISPATCH_PROPERTYGET).get()->dblVal, 30);
    com::Variant row = Call(c, 11, com::DISPATCH_PROPERTYGET);
    EXPECT_EQ(Call(Object(row), 8, com::DISPATCH_PROPERTYGET).get()->dblVal, 15);
  }
  EXPECT_EQ(s.CallCount("cell", 102), 3);
  EXPECT_EQ(s.CallCount("column", 8), 1);
  EXPECT_EQ(s.CallCount("row", 8), 1);
  EXPECT_EQ(GridModule().objects(), 1);  // only the sheet is left
}

TEST(SheetObjects, AHandleOutlivingItsCellFails) {
  auto sheet = com::Object<SheetObject>::Create(GridModule());
  sheet->plain().SetSize(2, 2);
  CellRef cell = sheet->plain().Cell(1, 1);
  sheet->plain().SetSize(1, 1);
  EXPECT_THROW(cell.Width(), std::invalid_argument);
  EXPECT_THROW(cell.Neighbour(4), std::invalid_argument);
  EXPECT_THROW(sheet->plain().Cell(0, 0).Neighbour(3), std::invalid_argument);
}

}  // namespace
}  // namespace quillon::grid

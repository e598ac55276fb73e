// The stand-in grid sheet as plain C++: a rectangle of cells with row and
// column sizes, merged blocks, colours, alignment and text lines, split
// along each axis into a frozen pane and a scrolling one with a visible
// range. The automation objects of objects.h are views over it.
//
// Geometry of one axis (rows or columns): the first frozen() bands form
// pane 0, the rest pane 1. A band's position is the sum of the shown sizes
// before it in its pane; pane 1 starts where pane 0 ends. Pane 0 is always
// wholly visible; pane 1 shows `window` units (its default: all of it)
// starting `scroll` units into it.
//
// Texts are bytes in the process code page, as the forwarding layer gives
// them. Bad indices throw std::invalid_argument.
#ifndef QUILLON_GRID_SHEET_H_
#define QUILLON_GRID_SHEET_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::grid {

enum class Axis { kRow = 0, kColumn = 1 };

struct CellData {
  std::vector<std::string> lines;
  // Text that the next update (method 94) puts in place of `lines`.
  std::optional<std::vector<std::string>> pending;
  int32_t back_colour = 0xFFFFFF;
  int32_t text_colour = 0;
  int16_t alignment = 0;
  // Merged with the neighbour to the right / below (inside a block).
  bool merged_right = false;
  bool merged_down = false;
  // Inside a merged block but not its top-left cell.
  bool covered = false;
  int32_t span_rows = 1;  // of a block's top-left cell
  int32_t span_columns = 1;
};

class Sheet {
 public:
  static constexpr double kDefaultRowHeight = 15;
  static constexpr double kDefaultColumnWidth = 40;

  // A new rectangle of empty cells with default sizes; merges, frozen
  // bands, scrolling and windows are reset.
  void SetSize(int32_t rows, int32_t columns);
  int32_t Rows() const { return Count(Axis::kRow); }
  int32_t Columns() const { return Count(Axis::kColumn); }
  int32_t Count(Axis axis) const { return static_cast<int32_t>(axes_[Index(axis)].sizes.size()); }

  CellData& Cell(int32_t row, int32_t column);
  const CellData& Cell(int32_t row, int32_t column) const;

  // Size 0 (or less, for columns) hides the band.
  void SetBandSize(Axis axis, int32_t index, double size);
  double BandSize(Axis axis, int32_t index) const;
  // The size as displayed: hidden bands take no room.
  double Extent(Axis axis, int32_t index) const;

  // Merges the block of `rows` x `columns` cells whose top-left cell is
  // (row, column). Blocks may not overlap or leave the sheet.
  void Merge(int32_t row, int32_t column, int32_t rows, int32_t columns);
  // A cell's size: a block's top-left cell spans the block, covered cells
  // have none.
  double CellWidth(int32_t row, int32_t column) const;
  double CellHeight(int32_t row, int32_t column) const;

  void Freeze(Axis axis, int32_t count);
  void Scroll(Axis axis, double offset);
  // Negative: the whole scrolling pane.
  void SetWindow(Axis axis, double length);
  int32_t PaneOf(Axis axis, int32_t index) const;
  double PositionInPane(Axis axis, int32_t index) const;
  double PanePosition(Axis axis, int32_t pane) const;
  double ViewStart(Axis axis, int32_t pane) const;
  double ViewLength(Axis axis, int32_t pane) const;

  // Replaces a cell's lines ("\n" separates them).
  static std::vector<std::string> SplitLines(std::string_view text);
  static std::string JoinLines(const std::vector<std::string>& lines);

  // Calls that came in through automation, by object kind ("grid", "cell",
  // "row", "column", "pane", "view") and dispatch identifier.
  void CountCall(std::string_view kind, int32_t dispid) { ++calls_[{std::string(kind), dispid}]; }
  int32_t Calls(std::string_view kind, int32_t dispid) const;
  void ResetCalls() { calls_.clear(); }
  // Makes every later call of that kind and identifier fail (for testing
  // how a reader copes with a failing grid).
  void FailOn(std::string_view kind, int32_t dispid) { failing_ = {std::string(kind), dispid}; }
  bool Fails(std::string_view kind, int32_t dispid) const {
    return failing_ && failing_->first == kind && failing_->second == dispid;
  }

 private:
  struct AxisData {
    std::vector<double> sizes;
    int32_t frozen = 0;
    double scroll = 0;
    double window = -1;
  };
  static size_t Index(Axis axis) { return static_cast<size_t>(axis); }
  const AxisData& axis(Axis a) const { return axes_[Index(a)]; }
  void CheckBand(Axis axis, int32_t index) const;
  void CheckPane(int32_t pane) const;
  double SumExtents(Axis axis, int32_t from, int32_t to) const;

  AxisData axes_[2];
  std::vector<CellData> cells_;
  std::map<std::pair<std::string, int32_t>, int32_t> calls_;
  std::optional<std::pair<std::string, int32_t>> failing_;
};

// Handles on parts of a sheet, as the automation objects hold them. Each
// keeps the sheet alive; its indices are checked on every use, so a handle
// outliving a SetSize that removed its cell fails instead of reading past.
struct CellRef;
struct BandRef;
struct PaneRef;

struct ViewRef {
  std::shared_ptr<Sheet> sheet;
  Axis axis;
  int32_t pane;
  double Start() const { return sheet->ViewStart(axis, pane); }
  double Length() const { return sheet->ViewLength(axis, pane); }
};

struct PaneRef {
  std::shared_ptr<Sheet> sheet;
  Axis axis;
  int32_t pane;
  int32_t Index() const { return pane; }
  double Position() const { return sheet->PanePosition(axis, pane); }
  ViewRef View() const { return ViewRef{sheet, axis, pane}; }
};

struct BandRef {
  std::shared_ptr<Sheet> sheet;
  Axis axis;
  int32_t index;
  int32_t Index() const;
  double Size() const { return sheet->BandSize(axis, index); }
  void SetSize(double size) { sheet->SetBandSize(axis, index, size); }
  double Extent() const { return sheet->Extent(axis, index); }
  double Position() const { return sheet->PositionInPane(axis, index); }
  PaneRef Pane() const { return PaneRef{sheet, axis, sheet->PaneOf(axis, index)}; }
};

struct CellRef {
  std::shared_ptr<Sheet> sheet;
  int32_t row;
  int32_t column;

  CellData& data() const { return sheet->Cell(row, column); }
  std::string Text() const { return Sheet::JoinLines(data().lines); }
  void SetText(std::string_view text) const { data().lines = Sheet::SplitLines(text); }
  // Text shown only once the cell was updated (NeedsUpdate until then).
  std::string PendingText() const;
  void SetPendingText(std::string_view text) const { data().pending = Sheet::SplitLines(text); }
  bool NeedsUpdate() const { return data().pending.has_value(); }
  void Update() const;
  int32_t LineCount() const { return static_cast<int32_t>(data().lines.size()); }
  std::string Line(int32_t index) const;
  int32_t BackColour() const { return data().back_colour; }
  void SetBackColour(int32_t colour) const { data().back_colour = colour; }
  int32_t TextColour() const { return data().text_colour; }
  void SetTextColour(int32_t colour) const { data().text_colour = colour; }
  int16_t Alignment() const { return data().alignment; }
  void SetAlignment(int16_t bits) const { data().alignment = bits; }
  bool MergedRight() const { return data().merged_right; }
  bool MergedDown() const { return data().merged_down; }
  double Width() const { return sheet->CellWidth(row, column); }
  double Height() const { return sheet->CellHeight(row, column); }
  BandRef Row() const;
  BandRef Column() const;
  // 1 left, 2 above, 4 right, 8 below; nothing past the sheet's edge.
  std::optional<CellRef> Neighbour(int32_t direction) const;
};

// The sheet's own members beyond its data.
struct SheetRef {
  std::shared_ptr<Sheet> sheet = std::make_shared<Sheet>();
  void SetSize(int32_t rows, int32_t columns) { sheet->SetSize(rows, columns); }
  int32_t Rows() const { return sheet->Rows(); }
  int32_t Columns() const { return sheet->Columns(); }
  CellRef Cell(int32_t row, int32_t column) const;
  BandRef Row(int32_t index) const;
  BandRef Column(int32_t index) const;
  void SetRowHeight(int32_t row, double height) { sheet->SetBandSize(Axis::kRow, row, height); }
  void SetColumnWidth(int32_t column, double width) {
    sheet->SetBandSize(Axis::kColumn, column, width);
  }
  void Merge(int32_t row, int32_t column, int32_t rows, int32_t columns) {
    sheet->Merge(row, column, rows, columns);
  }
  void Freeze(int32_t rows, int32_t columns) {
    sheet->Freeze(Axis::kRow, rows);
    sheet->Freeze(Axis::kColumn, columns);
  }
  void ScrollTo(double top, double left) {
    sheet->Scroll(Axis::kRow, top);
    sheet->Scroll(Axis::kColumn, left);
  }
  void SetWindow(double height, double width) {
    sheet->SetWindow(Axis::kRow, height);
    sheet->SetWindow(Axis::kColumn, width);
  }
  int32_t CallCount(std::string_view kind, int32_t dispid) const {
    return sheet->Calls(kind, dispid);
  }
  void FailCall(std::string_view kind, int32_t dispid) { sheet->FailOn(kind, dispid); }
  // Method 89: this grid has nothing to prepare; the call is only counted.
  void Prepare() {}
  // Method 92: the top-left cell; nothing for an empty sheet.
  std::optional<CellRef> TopLeft() const;
};

}  // namespace quillon::grid

#endif  // QUILLON_GRID_SHEET_H_

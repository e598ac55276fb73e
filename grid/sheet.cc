#include "grid/sheet.h"

#include <stdexcept>

namespace quillon::grid {

void Sheet::SetSize(int32_t rows, int32_t columns) {
  if (rows < 0 || columns < 0) throw std::invalid_argument("negative sheet size");
  if (static_cast<int64_t>(rows) * columns > (int64_t{1} << 24)) {
    throw std::invalid_argument("sheet too large");
  }
  axes_[Index(Axis::kRow)] = AxisData{std::vector<double>(rows, kDefaultRowHeight)};
  axes_[Index(Axis::kColumn)] = AxisData{std::vector<double>(columns, kDefaultColumnWidth)};
  cells_.assign(static_cast<size_t>(rows) * columns, CellData{});
}

CellData& Sheet::Cell(int32_t row, int32_t column) {
  return const_cast<CellData&>(static_cast<const Sheet*>(this)->Cell(row, column));
}

const CellData& Sheet::Cell(int32_t row, int32_t column) const {
  CheckBand(Axis::kRow, row);
  CheckBand(Axis::kColumn, column);
  return cells_[static_cast<size_t>(row) * Columns() + column];
}

void Sheet::CheckBand(Axis a, int32_t index) const {
  if (index < 0 || index >= Count(a)) {
    throw std::invalid_argument(a == Axis::kRow ? "no such row" : "no such column");
  }
}

void Sheet::CheckPane(int32_t pane) const {
  if (pane != 0 && pane != 1) throw std::invalid_argument("no such pane");
}

void Sheet::SetBandSize(Axis a, int32_t index, double size) {
  CheckBand(a, index);
  axes_[Index(a)].sizes[index] = size;
}

double Sheet::BandSize(Axis a, int32_t index) const {
  CheckBand(a, index);
  return axis(a).sizes[index];
}

double Sheet::Extent(Axis a, int32_t index) const {
  const double size = BandSize(a, index);
  return size > 0 ? size : 0;
}

double Sheet::SumExtents(Axis a, int32_t from, int32_t to) const {
  double sum = 0;
  for (int32_t i = from; i < to; ++i) sum += Extent(a, i);
  return sum;
}

void Sheet::Merge(int32_t row, int32_t column, int32_t rows, int32_t columns) {
  if (rows < 1 || columns < 1 || row < 0 || column < 0 ||
      static_cast<int64_t>(row) + rows > Rows() ||
      static_cast<int64_t>(column) + columns > Columns()) {
    throw std::invalid_argument("the merged block leaves the sheet");
  }
  for (int32_t r = row; r < row + rows; ++r) {
    for (int32_t c = column; c < column + columns; ++c) {
      const CellData& d = Cell(r, c);
      if (d.covered || d.span_rows > 1 || d.span_columns > 1) {
        throw std::invalid_argument("merged blocks may not overlap");
      }
    }
  }
  for (int32_t r = row; r < row + rows; ++r) {
    for (int32_t c = column; c < column + columns; ++c) {
      CellData& d = Cell(r, c);
      d.merged_right = c < column + columns - 1;
      d.merged_down = r < row + rows - 1;
      d.covered = r != row || c != column;
    }
  }
  Cell(row, column).span_rows = rows;
  Cell(row, column).span_columns = columns;
}

double Sheet::CellWidth(int32_t row, int32_t column) const {
  const CellData& d = Cell(row, column);
  if (d.covered) return 0;
  return SumExtents(Axis::kColumn, column, column + d.span_columns);
}

double Sheet::CellHeight(int32_t row, int32_t column) const {
  const CellData& d = Cell(row, column);
  if (d.covered) return 0;
  return SumExtents(Axis::kRow, row, row + d.span_rows);
}

void Sheet::Freeze(Axis a, int32_t count) {
  if (count < 0 || count > Count(a)) throw std::invalid_argument("frozen bands out of range");
  axes_[Index(a)].frozen = count;
}

void Sheet::Scroll(Axis a, double offset) { axes_[Index(a)].scroll = offset; }

void Sheet::SetWindow(Axis a, double length) { axes_[Index(a)].window = length; }

int32_t Sheet::PaneOf(Axis a, int32_t index) const {
  CheckBand(a, index);
  return index < axis(a).frozen ? 0 : 1;
}

double Sheet::PositionInPane(Axis a, int32_t index) const {
  const int32_t first = PaneOf(a, index) == 0 ? 0 : axis(a).frozen;
  return SumExtents(a, first, index);
}

double Sheet::PanePosition(Axis a, int32_t pane) const {
  CheckPane(pane);
  return pane == 0 ? 0 : SumExtents(a, 0, axis(a).frozen);
}

double Sheet::ViewStart(Axis a, int32_t pane) const {
  CheckPane(pane);
  return pane == 0 ? 0 : PanePosition(a, 1) + axis(a).scroll;
}

double Sheet::ViewLength(Axis a, int32_t pane) const {
  CheckPane(pane);
  const double frozen = PanePosition(a, 1);
  if (pane == 0) return frozen;
  if (axis(a).window < 0) return SumExtents(a, axis(a).frozen, Count(a)) - axis(a).scroll;
  return axis(a).window > frozen ? axis(a).window - frozen : 0;
}

std::vector<std::string> Sheet::SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    lines.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return lines;
}

std::string Sheet::JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}

int32_t Sheet::Calls(std::string_view kind, int32_t dispid) const {
  auto it = calls_.find({std::string(kind), dispid});
  return it == calls_.end() ? 0 : it->second;
}

int32_t BandRef::Index() const {
  if (index < 0 || index >= sheet->Count(axis)) throw std::invalid_argument("no such band");
  return index;
}

std::string CellRef::PendingText() const {
  const CellData& d = data();
  return d.pending ? Sheet::JoinLines(*d.pending) : std::string();
}

void CellRef::Update() const {
  CellData& d = data();
  if (d.pending) {
    d.lines = std::move(*d.pending);
    d.pending.reset();
  }
}

std::string CellRef::Line(int32_t index) const {
  const CellData& d = data();
  if (index < 0 || index >= static_cast<int32_t>(d.lines.size())) {
    throw std::invalid_argument("no such line");
  }
  return d.lines[index];
}

BandRef CellRef::Row() const {
  data();
  return BandRef{sheet, Axis::kRow, row};
}

BandRef CellRef::Column() const {
  data();
  return BandRef{sheet, Axis::kColumn, column};
}

std::optional<CellRef> CellRef::Neighbour(int32_t direction) const {
  data();
  int32_t r = row;
  int32_t c = column;
  switch (direction) {
    case 1:
      --c;
      break;
    case 2:
      --r;
      break;
    case 4:
      ++c;
      break;
    case 8:
      ++r;
      break;
    default:
      throw std::invalid_argument("direction is 1, 2, 4 or 8");
  }
  if (r < 0 || c < 0 || r >= sheet->Rows() || c >= sheet->Columns()) return std::nullopt;
  return CellRef{sheet, r, c};
}

CellRef SheetRef::Cell(int32_t row, int32_t column) const {
  sheet->Cell(row, column);
  return CellRef{sheet, row, column};
}

BandRef SheetRef::Row(int32_t index) const {
  sheet->BandSize(Axis::kRow, index);
  return BandRef{sheet, Axis::kRow, index};
}

BandRef SheetRef::Column(int32_t index) const {
  sheet->BandSize(Axis::kColumn, index);
  return BandRef{sheet, Axis::kColumn, index};
}

std::optional<CellRef> SheetRef::TopLeft() const {
  if (sheet->Rows() == 0 || sheet->Columns() == 0) return std::nullopt;
  return CellRef{sheet, 0, 0};
}

}  // namespace quillon::grid

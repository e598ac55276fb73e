// LoadTabula: a grid sheet as an HTML table.
//
// The grid is someone else's control; all we know of it is a fixed set of
// late-bound calls by dispatch identifier. Every call goes through Call()
// below, so the set of calls made is exactly what this file names, in the
// order it names them. Walks along rows and columns are loops: nothing here
// nests deeper with the size of the grid.
//
// The calls (property gets unless marked as a method):
//   grid   89 method (prepares the grid for reading), 92 method -> top-left
//          cell
//   cell   102 method(long) -> neighbour (4 right, 8 below) or nothing;
//          85/86 width/height; 10 column; 11 row; 90 bool, when true the
//          method 94 is called; 68/69 merged right/down; 57 background
//          colour; 42 alignment bits; 14 line count; 96(long) text line;
//          41 text colour
//   band   8 size; 13 displayed extent; 14 position in its pane; 6 pane
//   pane   14 position; 7 view
//   view   34 start; 25 length
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "html/internal.h"
#include "quillon/component/bstr.h"
#include "quillon/component/com_ptr.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"
#include "quillon/html/tag.h"

namespace quillon::html {

namespace {

using com::ComPtr;
using com::DISPID;
using com::HRESULT;
using com::IDispatch;
using com::VARIANT;
using com::Variant;

// A grid call that failed: its code and, when the grid said why, its words.
class GridCallError final : public ForeignError {
 public:
  GridCallError(HRESULT code, DISPID dispid, std::u16string text)
      : code_(code), dispid_(dispid), text_(std::move(text)) {}
  int32_t code() const override { return static_cast<int32_t>(code_); }
  std::u16string Text() const override {
    if (!text_.empty()) return text_;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "The grid failed call %d (0x%08X).",
                  static_cast<int>(dispid_), static_cast<unsigned>(code_));
    return com::Utf8ToUtf16(buffer);
  }
  const char* what() const noexcept override { return "grid call failed"; }

 private:
  HRESULT code_;
  DISPID dispid_;
  std::u16string text_;
};

constexpr DISPID kPrepare = 89;
constexpr DISPID kTopLeft = 92;
constexpr DISPID kNeighbour = 102;
constexpr int32_t kRight = 4;
constexpr int32_t kBelow = 8;
constexpr DISPID kCellWidth = 85;
constexpr DISPID kCellHeight = 86;
constexpr DISPID kCellColumn = 10;
constexpr DISPID kCellRow = 11;
constexpr DISPID kNeedsUpdate = 90;
constexpr DISPID kUpdate = 94;
constexpr DISPID kMergedRight = 68;
constexpr DISPID kMergedDown = 69;
constexpr DISPID kBackColour = 57;
constexpr DISPID kAlignment = 42;
constexpr DISPID kLineCount = 14;
constexpr DISPID kLine = 96;
constexpr DISPID kTextColour = 41;
constexpr DISPID kBandSize = 8;
constexpr DISPID kBandExtent = 13;
constexpr DISPID kBandPosition = 14;
constexpr DISPID kBandPane = 6;
constexpr DISPID kPanePosition = 14;
constexpr DISPID kPaneView = 7;
constexpr DISPID kViewStart = 34;
constexpr DISPID kViewLength = 25;

constexpr com::IID kNoInterface{};
constexpr uint32_t kSystemColourFlag = 0x80000000u;

// The system colours, 0x00BBGGRR by index. A server has no desktop to ask,
// so the classic grey scheme is fixed here (button face #C0C0C0, the
// table's own background); an index past the table reads as black.
constexpr uint32_t kSystemColours[] = {
    0xC0C0C0,  //  0 scroll bar
    0x808000,  //  1 desktop
    0x800000,  //  2 active caption
    0x808080,  //  3 inactive caption
    0xC0C0C0,  //  4 menu
    0xFFFFFF,  //  5 window
    0x000000,  //  6 window frame
    0x000000,  //  7 menu text
    0x000000,  //  8 window text
    0xFFFFFF,  //  9 caption text
    0xC0C0C0,  // 10 active border
    0xC0C0C0,  // 11 inactive border
    0x808080,  // 12 application workspace
    0x800000,  // 13 highlight
    0xFFFFFF,  // 14 highlight text
    0xC0C0C0,  // 15 button face
    0x808080,  // 16 button shadow
    0x808080,  // 17 grey text
    0x000000,  // 18 button text
    0xC0C0C0,  // 19 inactive caption text
    0xFFFFFF,  // 20 button highlight
    0x000000,  // 21 3-D dark shadow
    0xDFDFDF,  // 22 3-D light
    0x000000,  // 23 tooltip text
    0xE1FFFF,  // 24 tooltip background
    0xB5B5B5,  // 25 (unassigned)
    0xFF0000,  // 26 hot-tracked item
    0xD08410,  // 27 active caption gradient
    0xB5B5B5,  // 28 inactive caption gradient
    0x800000,  // 29 menu highlight
    0xC0C0C0,  // 30 menu bar
};

uint32_t SystemColour(uint32_t index) {
  return index < std::size(kSystemColours) ? kSystemColours[index] : 0;
}

std::string HexColour(uint32_t bgr) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%02X%02X%02X", bgr & 0xFFu, (bgr >> 8) & 0xFFu,
                (bgr >> 16) & 0xFFu);
  return buffer;
}

// A size times 3.7, truncated toward zero. A grid may hand back anything a
// double holds; what no integer can hold is clamped (NaN reads as 0) rather
// than converted with undefined behaviour.
std::string Scaled(double size) {
  const double v = size * 3.7;
  int64_t n = 0;
  if (std::isnan(v)) {
    n = 0;
  } else if (v >= 9.2e18) {
    n = std::numeric_limits<int64_t>::max();
  } else if (v <= -9.2e18) {
    n = std::numeric_limits<int64_t>::min();
  } else {
    n = static_cast<int64_t>(v);
  }
  return std::to_string(n);
}

// One late-bound call; the result as the grid gave it.
Variant Call(IDispatch* object, DISPID dispid, com::WORD flags, const int32_t* argument) {
  Variant arg = argument ? Variant::I4(*argument) : Variant();
  com::DISPPARAMS params{};
  if (argument) {
    params.rgvarg = arg.get();
    params.cArgs = 1;
  }
  Variant result;
  com::EXCEPINFO excepinfo{};
  com::UINT arg_error = 0;
  const HRESULT hr =
      object->Invoke(dispid, kNoInterface, 0, flags, &params, result.get(), &excepinfo, &arg_error);
  if (com::Failed(hr)) {
    HRESULT code = hr;
    std::u16string text;
    if (hr == com::DISP_E_EXCEPTION) {
      if (excepinfo.pfnDeferredFillIn != nullptr) excepinfo.pfnDeferredFillIn(&excepinfo);
      if (excepinfo.scode != 0) code = excepinfo.scode;
      text = std::u16string(com::Bstr::View(excepinfo.bstrDescription));
    }
    com::ClearExcepInfo(&excepinfo);
    throw GridCallError(code, dispid, std::move(text));
  }
  com::ClearExcepInfo(&excepinfo);
  return result;
}

Variant Get(IDispatch* object, DISPID dispid, const int32_t* argument = nullptr) {
  return Call(object, dispid, com::DISPATCH_PROPERTYGET, argument);
}

// The value as `vt`; a value of no such form counts as a failed call.
Variant As(Variant value, DISPID dispid, com::VARTYPE vt) {
  if (value.vt() == vt) return value;
  Variant out;
  const HRESULT hr = com::VariantChangeType(out.get(), value.get(), 0, vt);
  if (com::Failed(hr)) throw GridCallError(hr, dispid, {});
  return out;
}

double GetDouble(IDispatch* object, DISPID dispid) {
  return As(Get(object, dispid), dispid, com::VT_R8).get()->dblVal;
}
int32_t GetLong(IDispatch* object, DISPID dispid) {
  return As(Get(object, dispid), dispid, com::VT_I4).get()->lVal;
}
int16_t GetShort(IDispatch* object, DISPID dispid) {
  return As(Get(object, dispid), dispid, com::VT_I2).get()->iVal;
}
bool GetBool(IDispatch* object, DISPID dispid) {
  return As(Get(object, dispid), dispid, com::VT_BOOL).get()->boolVal != com::VARIANT_FALSE;
}

// An object result, or null for nothing (empty, Null, a null reference).
ComPtr<IDispatch> ObjectOf(Variant value) {
  VARIANT* v = value.get();
  if (v->vt == (com::VT_BYREF | com::VT_VARIANT) && v->pvarVal != nullptr) v = v->pvarVal;
  if (v->vt == com::VT_DISPATCH) return ComPtr<IDispatch>(v->pdispVal);
  if (v->vt == com::VT_UNKNOWN && v->punkVal != nullptr) {
    IDispatch* d = nullptr;
    if (com::Succeeded(
            v->punkVal->QueryInterface(com::IID_IDispatch, reinterpret_cast<void**>(&d)))) {
      return ComPtr<IDispatch>::Adopt(d);
    }
  }
  return nullptr;
}

// A property that must be an object: nothing counts as a failed call, since
// every further read would have nothing to go to.
ComPtr<IDispatch> GetObject(IDispatch* object, DISPID dispid) {
  ComPtr<IDispatch> result = ObjectOf(Get(object, dispid));
  if (!result) throw GridCallError(com::E_POINTER, dispid, {});
  return result;
}

ComPtr<IDispatch> Neighbour(IDispatch* cell, int32_t direction) {
  return ObjectOf(Call(cell, kNeighbour, com::DISPATCH_METHOD, &direction));
}

// Whether a row or column lies wholly inside its pane's visible range.
bool InVisibleRange(IDispatch* band) {
  const double position = GetDouble(band, kBandPosition);
  ComPtr<IDispatch> pane = GetObject(band, kBandPane);
  const double start = position + GetDouble(pane.get(), kPanePosition);
  ComPtr<IDispatch> view = GetObject(pane.get(), kPaneView);
  const double view_start = GetDouble(view.get(), kViewStart);
  if (!(start >= view_start)) return false;
  const double extent = GetDouble(band, kBandExtent);
  return start + extent <= view_start + GetDouble(view.get(), kViewLength);
}

double BandSize(IDispatch* cell, DISPID band) {
  ComPtr<IDispatch> object = GetObject(cell, band);
  return GetDouble(object.get(), kBandSize);
}

bool RowShown(IDispatch* cell, bool visible_area_only) {
  ComPtr<IDispatch> row = GetObject(cell, kCellRow);
  if (GetDouble(row.get(), kBandSize) == 0) return false;
  return !visible_area_only || InVisibleRange(row.get());
}

// The cells a merge covers, walking from `cell` in `direction` while the
// merge flag holds; -1 when the cell starts no walk.
int64_t Span(IDispatch* cell, DISPID merged, int32_t direction, DISPID band) {
  if (!GetBool(cell, merged)) return -1;
  ComPtr<IDispatch> current = Neighbour(cell, direction);
  if (!current) return -1;
  int64_t count = 1;
  for (;;) {
    if (BandSize(current.get(), band) > 0) ++count;
    if (!GetBool(current.get(), merged)) break;
    ComPtr<IDispatch> next = Neighbour(current.get(), direction);
    if (!next) break;
    current = std::move(next);
  }
  return count;
}

std::string CellText(IDispatch* cell, const platform::CodePage& cp) {
  const int32_t lines = GetLong(cell, kLineCount);
  std::string text;
  for (int32_t i = 0; i < lines; ++i) {
    Variant line = As(Get(cell, kLine, &i), kLine, com::VT_BSTR);
    if (i > 0) text += "<BR>\r\n";
    text += cp.FromUtf16(com::Bstr::View(line.get()->bstrVal));
  }
  if (text.empty()) text = "&nbsp;";
  const auto colour = static_cast<uint32_t>(GetLong(cell, kTextColour));
  if (colour != 0) text = "<FONT COLOR=" + HexColour(colour) + ">" + text + "</FONT>";
  return text;
}

void AddCell(Tag& tr, IDispatch* cell, bool visible_area_only, const platform::CodePage& cp) {
  const double width = GetDouble(cell, kCellWidth);
  const double height = GetDouble(cell, kCellHeight);
  if (width <= 0 && height <= 0) return;
  {
    ComPtr<IDispatch> column = GetObject(cell, kCellColumn);
    if (GetDouble(column.get(), kBandSize) <= 0) return;
    if (visible_area_only && !InVisibleRange(column.get())) return;
  }
  Ref<Tag> td = tr.Add("", "TD");
  if (GetBool(cell, kNeedsUpdate)) Call(cell, kUpdate, com::DISPATCH_METHOD, nullptr);
  td->SetParam("WIDTH", Scaled(width));
  td->SetParam("HEIGHT", Scaled(height));
  const int64_t columns = Span(cell, kMergedRight, kRight, kCellColumn);
  if (columns > 1) td->SetParam("COLSPAN", std::to_string(columns));
  const int64_t rows = Span(cell, kMergedDown, kBelow, kCellRow);
  if (rows >= 1) td->SetParam("ROWSPAN", std::to_string(rows));
  auto back = static_cast<uint32_t>(GetLong(cell, kBackColour));
  if (back & kSystemColourFlag) back = SystemColour(back & 0xFFFFu);
  td->SetParam("BGCOLOR", HexColour(back));
  const int16_t align = GetShort(cell, kAlignment);
  td->SetParam("ALIGN", (align & 1) ? "LEFT" : (align & 4) ? "RIGHT" : "MIDDLE");
  td->SetParam("VALIGN", (align & 2) ? "TOP" : (align & 8) ? "BOTTOM" : "MIDDLE");
  td->SetText(CellText(cell, cp));
}

}  // namespace

void Tag::LoadTabula(com::IDispatch* grid, bool visible_area_only, bool /*form_type*/) {
  if (grid == nullptr) throw std::invalid_argument("no grid given");
  const platform::CodePage& cp = CodePageOf(document());
  SetTagName("TABLE");
  SetParam("CELLSPACING", "1");
  SetParam("CELLPADDING", "1");
  SetParam("BORDER", "1");
  SetParam("BGCOLOR", "#C0C0C0");
  Call(grid, kPrepare, com::DISPATCH_METHOD, nullptr);
  ComPtr<IDispatch> row = ObjectOf(Call(grid, kTopLeft, com::DISPATCH_METHOD, nullptr));
  Children();
  while (row) {
    if (RowShown(row.get(), visible_area_only)) {
      Ref<Tag> tr = Add("", "TR");
      tr->Children();
      for (ComPtr<IDispatch> cell = row; cell; cell = Neighbour(cell.get(), kRight)) {
        AddCell(*tr, cell.get(), visible_area_only, cp);
      }
    }
    row = Neighbour(row.get(), kBelow);
  }
}

}  // namespace quillon::html

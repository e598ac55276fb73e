// The stand-in grid's automation objects: the creatable sheet and the
// small objects for its cells, rows and columns, panes and views, each a
// view over the plain model of sheet.h.
//
// Script members (beyond the identifiers the table builder reads):
//   Sheet:  SetSize(Rows, Columns), Rows, Columns, Cell(Row, Column),
//           RowAt(Index), ColumnAt(Index), SetRowHeight(Row, Height),
//           SetColumnWidth(Column, Width), Merge(Row, Column, Rows, Columns),
//           Freeze(Rows, Columns), ScrollTo(Top, Left),
//           SetWindow(Height, Width), CallCount(Kind, Dispid),
//           FailCall(Kind, Dispid) (that call fails from now on),
//           89 Prepare, 92 TopLeft
//   Cell:   Text (lines separated by "\n"), PendingText (shown after the
//           next Update; NeedsUpdate until then), 10 Column, 11 Row,
//           14 LineCount, 41 TextColor, 42 Alignment, 57 BackColor,
//           68 MergedRight, 69 MergedDown, 85 Width, 86 Height,
//           90 NeedsUpdate, 94 Update, 96 Line(Index), 102 Neighbour(Direction)
//   Row / column: Index, 6 Pane, 8 Size (read/write), 13 Extent, 14 Position
//   Pane:   Index, 7 View, 14 Position
//   View:   25 Length, 34 Start
// Colours are 0x00BBGGRR; with the top bit set the low 16 bits name a
// system colour. Every Invoke is counted per object kind and identifier
// (CallCount), so tests can see which calls a reader made.
#ifndef QUILLON_GRID_OBJECTS_H_
#define QUILLON_GRID_OBJECTS_H_

#include <optional>
#include <span>

#include "grid/identities.h"
#include "grid/sheet.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/errors.h"
#include "quillon/component/forward.h"
#include "quillon/component/object.h"
#include "quillon/component/registration.h"

namespace quillon::grid {

using com::BSTR;
using com::HRESULT;
using com::IDispatch;
using com::VARIANT_BOOL;

com::Module& GridModule();
std::span<const com::ClassDescription> GridClasses();

// The parts of a sheet as new automation objects (found by the forwarding
// layer through argument-dependent lookup).
void Out(const CellRef& cell, IDispatch** out);
void Out(const std::optional<CellRef>& cell, IDispatch** out);
void Out(const BandRef& band, IDispatch** out);
void Out(const PaneRef& pane, IDispatch** out);
void Out(const ViewRef& view, IDispatch** out);


struct ISheet : IDispatch {
  virtual HRESULT SetSize(int32_t Rows, int32_t Columns) = 0;
  virtual HRESULT get_Rows(int32_t* v) = 0;
  virtual HRESULT get_Columns(int32_t* v) = 0;
  virtual HRESULT Cell(int32_t Row, int32_t Column, IDispatch** v) = 0;
  virtual HRESULT RowAt(int32_t Index, IDispatch** v) = 0;
  virtual HRESULT ColumnAt(int32_t Index, IDispatch** v) = 0;
  virtual HRESULT SetRowHeight(int32_t Row, double Height) = 0;
  virtual HRESULT SetColumnWidth(int32_t Column, double Width) = 0;
  virtual HRESULT Merge(int32_t Row, int32_t Column, int32_t Rows, int32_t Columns) = 0;
  virtual HRESULT Freeze(int32_t Rows, int32_t Columns) = 0;
  virtual HRESULT ScrollTo(double Top, double Left) = 0;
  virtual HRESULT SetWindow(double Height, double Width) = 0;
  virtual HRESULT CallCount(BSTR Kind, int32_t Dispid, int32_t* v) = 0;
  virtual HRESULT FailCall(BSTR Kind, int32_t Dispid) = 0;
  virtual HRESULT Prepare() = 0;
  virtual HRESULT TopLeft(IDispatch** v) = 0;

 protected:
  ~ISheet() = default;
};

struct ICell : IDispatch {
  virtual HRESULT get_Text(BSTR* v) = 0;
  virtual HRESULT put_Text(BSTR v) = 0;
  virtual HRESULT get_PendingText(BSTR* v) = 0;
  virtual HRESULT put_PendingText(BSTR v) = 0;
  virtual HRESULT get_Column(IDispatch** v) = 0;
  virtual HRESULT get_Row(IDispatch** v) = 0;
  virtual HRESULT get_LineCount(int32_t* v) = 0;
  virtual HRESULT get_TextColor(int32_t* v) = 0;
  virtual HRESULT put_TextColor(int32_t v) = 0;
  virtual HRESULT get_Alignment(int16_t* v) = 0;
  virtual HRESULT put_Alignment(int16_t v) = 0;
  virtual HRESULT get_BackColor(int32_t* v) = 0;
  virtual HRESULT put_BackColor(int32_t v) = 0;
  virtual HRESULT get_MergedRight(VARIANT_BOOL* v) = 0;
  virtual HRESULT get_MergedDown(VARIANT_BOOL* v) = 0;
  virtual HRESULT get_Width(double* v) = 0;
  virtual HRESULT get_Height(double* v) = 0;
  virtual HRESULT get_NeedsUpdate(VARIANT_BOOL* v) = 0;
  virtual HRESULT Update() = 0;
  virtual HRESULT get_Line(int32_t Index, BSTR* v) = 0;
  virtual HRESULT Neighbour(int32_t Direction, IDispatch** v) = 0;

 protected:
  ~ICell() = default;
};

struct IBand : IDispatch {
  virtual HRESULT get_Index(int32_t* v) = 0;
  virtual HRESULT get_Pane(IDispatch** v) = 0;
  virtual HRESULT get_Size(double* v) = 0;
  virtual HRESULT put_Size(double v) = 0;
  virtual HRESULT get_Extent(double* v) = 0;
  virtual HRESULT get_Position(double* v) = 0;

 protected:
  ~IBand() = default;
};

struct IPane : IDispatch {
  virtual HRESULT get_Index(int32_t* v) = 0;
  virtual HRESULT get_View(IDispatch** v) = 0;
  virtual HRESULT get_Position(double* v) = 0;

 protected:
  ~IPane() = default;
};

struct IView : IDispatch {
  virtual HRESULT get_Length(double* v) = 0;
  virtual HRESULT get_Start(double* v) = 0;

 protected:
  ~IView() = default;
};

inline constexpr auto kSheetMemberList = com::Members<ISheet>(
    com::Method<&ISheet::SetSize>(1, u"SetSize(Rows, Columns)"),
    com::Get<&ISheet::get_Rows>(2, u"Rows"),
    com::Get<&ISheet::get_Columns>(3, u"Columns"),
    com::Function<&ISheet::Cell>(4, u"Cell(Row, Column)"),
    com::Function<&ISheet::RowAt>(5, u"RowAt(Index)"),
    com::Function<&ISheet::ColumnAt>(6, u"ColumnAt(Index)"),
    com::Method<&ISheet::SetRowHeight>(7, u"SetRowHeight(Row, Height)"),
    com::Method<&ISheet::SetColumnWidth>(8, u"SetColumnWidth(Column, Width)"),
    com::Method<&ISheet::Merge>(9, u"Merge(Row, Column, Rows, Columns)"),
    com::Method<&ISheet::Freeze>(10, u"Freeze(Rows, Columns)"),
    com::Method<&ISheet::ScrollTo>(11, u"ScrollTo(Top, Left)"),
    com::Method<&ISheet::SetWindow>(12, u"SetWindow(Height, Width)"),
    com::Function<&ISheet::CallCount>(13, u"CallCount(Kind, Dispid)"),
    com::Method<&ISheet::FailCall>(14, u"FailCall(Kind, Dispid)"),
    com::Method<&ISheet::Prepare>(89, u"Prepare"),
    com::Function<&ISheet::TopLeft>(92, u"TopLeft"));
inline constexpr com::InterfaceTable<ISheet> kSheetMembers{u"ISheet", &ids::IID_ISheet,
                                                           kSheetMemberList};

inline constexpr auto kCellMemberList = com::Members<ICell>(
    com::Get<&ICell::get_Text>(1, u"Text"),
    com::Put<&ICell::put_Text>(1, u"Text"),
    com::Get<&ICell::get_PendingText>(2, u"PendingText"),
    com::Put<&ICell::put_PendingText>(2, u"PendingText"),
    com::Get<&ICell::get_Column>(10, u"Column"),
    com::Get<&ICell::get_Row>(11, u"Row"),
    com::Get<&ICell::get_LineCount>(14, u"LineCount"),
    com::Get<&ICell::get_TextColor>(41, u"TextColor"),
    com::Put<&ICell::put_TextColor>(41, u"TextColor"),
    com::Get<&ICell::get_Alignment>(42, u"Alignment"),
    com::Put<&ICell::put_Alignment>(42, u"Alignment"),
    com::Get<&ICell::get_BackColor>(57, u"BackColor"),
    com::Put<&ICell::put_BackColor>(57, u"BackColor"),
    com::Get<&ICell::get_MergedRight>(68, u"MergedRight"),
    com::Get<&ICell::get_MergedDown>(69, u"MergedDown"),
    com::Get<&ICell::get_Width>(85, u"Width"),
    com::Get<&ICell::get_Height>(86, u"Height"),
    com::Get<&ICell::get_NeedsUpdate>(90, u"NeedsUpdate"),
    com::Method<&ICell::Update>(94, u"Update"),
    com::Get<&ICell::get_Line>(96, u"Line(Index)"),
    com::Function<&ICell::Neighbour>(102, u"Neighbour(Direction)"));
inline constexpr com::InterfaceTable<ICell> kCellMembers{u"ICell", &ids::IID_ICell,
                                                         kCellMemberList};

inline constexpr auto kBandMemberList = com::Members<IBand>(
    com::Get<&IBand::get_Index>(1, u"Index"),
    com::Get<&IBand::get_Pane>(6, u"Pane"),
    com::Get<&IBand::get_Size>(8, u"Size"),
    com::Put<&IBand::put_Size>(8, u"Size"),
    com::Get<&IBand::get_Extent>(13, u"Extent"),
    com::Get<&IBand::get_Position>(14, u"Position"));
inline constexpr com::InterfaceTable<IBand> kBandMembers{u"IBand", &ids::IID_IBand,
                                                         kBandMemberList};

inline constexpr auto kPaneMemberList = com::Members<IPane>(
    com::Get<&IPane::get_Index>(1, u"Index"),
    com::Get<&IPane::get_View>(7, u"View"),
    com::Get<&IPane::get_Position>(14, u"Position"));
inline constexpr com::InterfaceTable<IPane> kPaneMembers{u"IPane", &ids::IID_IPane,
                                                         kPaneMemberList};

inline constexpr auto kViewMemberList = com::Members<IView>(
    com::Get<&IView::get_Length>(25, u"Length"),
    com::Get<&IView::get_Start>(34, u"Start"));
inline constexpr com::InterfaceTable<IView> kViewMembers{u"IView", &ids::IID_IView,
                                                         kViewMemberList};

// What a call made to fail (Sheet.FailCall) answers.
inline constexpr HRESULT kRefusedCall = com::MakeHresult(0x80040301);

// What every object of the library shares: IDispatch over its table,
// error information, forwarding to its plain handle, and the call count.
template <class Self, class I, const com::InterfaceTable<I>& kTable, const com::IID& kIid>
class GridObject : public com::ObjectBase,
                   public com::DispatchImpl<I, kTable>,
                   public com::DispatchMembersImpl<I, kTable>,
                   public com::SupportErrorInfoImpl<kIid>,
                   public com::Forwarding<Self> {
 public:
  static constexpr com::InterfaceEntry kInterfaces[] = {
      com::Entry<Self, I>(kIid),
      com::Entry<Self, com::IDispatch, I>(com::IID_IDispatch),
      com::Entry<Self, com::ISupportErrorInfo>(com::IID_ISupportErrorInfo),
      com::Entry<Self, com::IDispatchMembers>(com::IID_IDispatchMembers),
  };

  static const com::ErrorConvention& Convention() {
    static const com::ServerConvention convention(com::ErrorSource{ids::kProgIdSheet, &kIid});
    return convention;
  }

  HRESULT Invoke(com::DISPID dispid, com::REFIID iid, com::LCID lcid, com::WORD flags,
                 com::DISPPARAMS* params, com::VARIANT* result, com::EXCEPINFO* excepinfo,
                 com::UINT* arg_error) override {
    Self* self = static_cast<Self*>(this);
    Sheet& sheet = *self->plain().sheet;
    sheet.CountCall(self->Kind(), dispid);
    if (sheet.Fails(self->Kind(), dispid)) return Refuse(excepinfo);
    return com::DispatchImpl<I, kTable>::Invoke(dispid, iid, lcid, flags, params, result,
                                                excepinfo, arg_error);
  }

 protected:
  explicit GridObject(com::Module& module) : ObjectBase(module) {}

 private:
  static HRESULT Refuse(com::EXCEPINFO* excepinfo) {
    if (excepinfo != nullptr) {
      *excepinfo = com::EXCEPINFO{};
      excepinfo->bstrSource = com::SysAllocString(ids::kProgIdSheet);
      excepinfo->bstrDescription = com::SysAllocString(u"The grid refused the call.");
      excepinfo->scode = kRefusedCall;
    }
    return com::DISP_E_EXCEPTION;
  }
};

class SheetObject : public GridObject<SheetObject, ISheet, kSheetMembers, ids::IID_ISheet> {
 public:
  explicit SheetObject(com::Module& module) : GridObject(module) {}
  SheetRef& plain() { return sheet_; }
  const char* Kind() const { return "grid"; }

  HRESULT SetSize(int32_t Rows, int32_t Columns) override {
    return Forward<&SheetRef::SetSize>(Rows, Columns);
  }
  HRESULT get_Rows(int32_t* v) override { return Forward<&SheetRef::Rows>(v); }
  HRESULT get_Columns(int32_t* v) override { return Forward<&SheetRef::Columns>(v); }
  HRESULT Cell(int32_t Row, int32_t Column, IDispatch** v) override {
    return Forward<&SheetRef::Cell>(Row, Column, v);
  }
  HRESULT RowAt(int32_t Index, IDispatch** v) override { return Forward<&SheetRef::Row>(Index, v); }
  HRESULT ColumnAt(int32_t Index, IDispatch** v) override {
    return Forward<&SheetRef::Column>(Index, v);
  }
  HRESULT SetRowHeight(int32_t Row, double Height) override {
    return Forward<&SheetRef::SetRowHeight>(Row, Height);
  }
  HRESULT SetColumnWidth(int32_t Column, double Width) override {
    return Forward<&SheetRef::SetColumnWidth>(Column, Width);
  }
  HRESULT Merge(int32_t Row, int32_t Column, int32_t Rows, int32_t Columns) override {
    return Forward<&SheetRef::Merge>(Row, Column, Rows, Columns);
  }
  HRESULT Freeze(int32_t Rows, int32_t Columns) override {
    return Forward<&SheetRef::Freeze>(Rows, Columns);
  }
  HRESULT ScrollTo(double Top, double Left) override {
    return Forward<&SheetRef::ScrollTo>(Top, Left);
  }
  HRESULT SetWindow(double Height, double Width) override {
    return Forward<&SheetRef::SetWindow>(Height, Width);
  }
  HRESULT CallCount(BSTR Kind, int32_t Dispid, int32_t* v) override {
    return Forward<&SheetRef::CallCount>(Kind, Dispid, v);
  }
  HRESULT FailCall(BSTR Kind, int32_t Dispid) override {
    return Forward<&SheetRef::FailCall>(Kind, Dispid);
  }
  HRESULT Prepare() override { return Forward<&SheetRef::Prepare>(); }
  HRESULT TopLeft(IDispatch** v) override { return Forward<&SheetRef::TopLeft>(v); }

 private:
  SheetRef sheet_;
};

class CellObject : public GridObject<CellObject, ICell, kCellMembers, ids::IID_ICell> {
 public:
  CellObject(com::Module& module, CellRef cell) : GridObject(module), cell_(std::move(cell)) {}
  CellRef& plain() { return cell_; }
  const char* Kind() const { return "cell"; }

  HRESULT get_Text(BSTR* v) override { return Forward<&CellRef::Text>(v); }
  HRESULT put_Text(BSTR v) override { return Forward<&CellRef::SetText>(v); }
  HRESULT get_PendingText(BSTR* v) override { return Forward<&CellRef::PendingText>(v); }
  HRESULT put_PendingText(BSTR v) override { return Forward<&CellRef::SetPendingText>(v); }
  HRESULT get_Column(IDispatch** v) override { return Forward<&CellRef::Column>(v); }
  HRESULT get_Row(IDispatch** v) override { return Forward<&CellRef::Row>(v); }
  HRESULT get_LineCount(int32_t* v) override { return Forward<&CellRef::LineCount>(v); }
  HRESULT get_TextColor(int32_t* v) override { return Forward<&CellRef::TextColour>(v); }
  HRESULT put_TextColor(int32_t v) override { return Forward<&CellRef::SetTextColour>(v); }
  HRESULT get_Alignment(int16_t* v) override { return Forward<&CellRef::Alignment>(v); }
  HRESULT put_Alignment(int16_t v) override { return Forward<&CellRef::SetAlignment>(v); }
  HRESULT get_BackColor(int32_t* v) override { return Forward<&CellRef::BackColour>(v); }
  HRESULT put_BackColor(int32_t v) override { return Forward<&CellRef::SetBackColour>(v); }
  HRESULT get_MergedRight(VARIANT_BOOL* v) override { return Forward<&CellRef::MergedRight>(v); }
  HRESULT get_MergedDown(VARIANT_BOOL* v) override { return Forward<&CellRef::MergedDown>(v); }
  HRESULT get_Width(double* v) override { return Forward<&CellRef::Width>(v); }
  HRESULT get_Height(double* v) override { return Forward<&CellRef::Height>(v); }
  HRESULT get_NeedsUpdate(VARIANT_BOOL* v) override { return Forward<&CellRef::NeedsUpdate>(v); }
  HRESULT Update() override { return Forward<&CellRef::Update>(); }
  HRESULT get_Line(int32_t Index, BSTR* v) override { return Forward<&CellRef::Line>(Index, v); }
  HRESULT Neighbour(int32_t Direction, IDispatch** v) override {
    return Forward<&CellRef::Neighbour>(Direction, v);
  }

 private:
  CellRef cell_;
};

class BandObject : public GridObject<BandObject, IBand, kBandMembers, ids::IID_IBand> {
 public:
  BandObject(com::Module& module, BandRef band) : GridObject(module), band_(std::move(band)) {}
  BandRef& plain() { return band_; }
  const char* Kind() const { return band_.axis == Axis::kRow ? "row" : "column"; }

  HRESULT get_Index(int32_t* v) override { return Forward<&BandRef::Index>(v); }
  HRESULT get_Pane(IDispatch** v) override { return Forward<&BandRef::Pane>(v); }
  HRESULT get_Size(double* v) override { return Forward<&BandRef::Size>(v); }
  HRESULT put_Size(double v) override { return Forward<&BandRef::SetSize>(v); }
  HRESULT get_Extent(double* v) override { return Forward<&BandRef::Extent>(v); }
  HRESULT get_Position(double* v) override { return Forward<&BandRef::Position>(v); }

 private:
  BandRef band_;
};

class PaneObject : public GridObject<PaneObject, IPane, kPaneMembers, ids::IID_IPane> {
 public:
  PaneObject(com::Module& module, PaneRef pane) : GridObject(module), pane_(std::move(pane)) {}
  PaneRef& plain() { return pane_; }
  const char* Kind() const { return "pane"; }

  HRESULT get_Index(int32_t* v) override { return Forward<&PaneRef::Index>(v); }
  HRESULT get_View(IDispatch** v) override { return Forward<&PaneRef::View>(v); }
  HRESULT get_Position(double* v) override { return Forward<&PaneRef::Position>(v); }

 private:
  PaneRef pane_;
};

class ViewObject : public GridObject<ViewObject, IView, kViewMembers, ids::IID_IView> {
 public:
  ViewObject(com::Module& module, ViewRef view) : GridObject(module), view_(std::move(view)) {}
  ViewRef& plain() { return view_; }
  const char* Kind() const { return "view"; }

  HRESULT get_Length(double* v) override { return Forward<&ViewRef::Length>(v); }
  HRESULT get_Start(double* v) override { return Forward<&ViewRef::Start>(v); }

 private:
  ViewRef view_;
};

}  // namespace quillon::grid

#endif  // QUILLON_GRID_OBJECTS_H_

// The desktop pieces of the components, as C++: property pages bound to
// objects through IDispatch only, the frame that holds them, the about
// boxes, and the inspector the monitor offers. The C entry points over
// these are in entry.h.
//
// Everything here must run on the GUI thread, after EnsureApplication().
#ifndef QUILLON_DESKTOP_DESKTOP_H_
#define QUILLON_DESKTOP_DESKTOP_H_

#include <QDialog>
#include <QString>
#include <QWidget>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/com_ptr.h"
#include "quillon/component/interfaces.h"

class QApplication;
class QDialogButtonBox;
class QLabel;
class QTabWidget;

#define QUILLON_DESKTOP_API __attribute__((visibility("default")))

namespace quillon::desktop {

// Why no Qt platform could start in this process, or nullopt when one can:
// the host already has an application object, or the platform that
// QT_QPA_PLATFORM names (else X11 through DISPLAY, else Wayland through
// WAYLAND_DISPLAY) is there to be reached. Touches no Qt state, since Qt
// aborts the process when its platform cannot start.
QUILLON_DESKTOP_API std::optional<std::u16string> DisplayProblem();

// The host's application object, or one created now (and kept for the
// life of the process). Call only when DisplayProblem() is nullopt.
QUILLON_DESKTOP_API QApplication* EnsureApplication();

// --- Property pages ---------------------------------------------------------

enum class FieldKind {
  kText,   // a text field for a string property
  kShort,  // a numeric text field for a 16-bit integer property
  kCheck,  // a check box for a boolean property
};

struct PageField {
  FieldKind kind;
  const char16_t* label;
  const char16_t* property;
};

struct PageDescription {
  const com::CLSID* clsid;
  const char16_t* caption;  // the tab's caption
  std::span<const PageField> fields;
  // The order Apply writes in, as indexes into `fields`: a property whose
  // put changes another (the client's UseSSL moves PortNo) goes first, so
  // that what the page shows is what the object ends with.
  std::span<const int> write_order;
};

// QServerPropPage, QHtmlDocPropPage and QClientPropPage; nullptr for any
// other class.
QUILLON_DESKTOP_API const PageDescription* FindPage(const com::CLSID& clsid);

// One page: a form of labelled editors, each bound to one property of the
// objects it edits.
class QUILLON_DESKTOP_API PropertyPage : public QWidget {
  Q_OBJECT

 public:
  explicit PropertyPage(const PageDescription& description, QWidget* parent = nullptr);
  ~PropertyPage() override;

  // The objects to edit. The editors show the first object's properties
  // and the page is clean. Fails when a property cannot be read (the
  // editors keep what they had), with the object's error text.
  com::HRESULT SetObjects(std::vector<com::ComPtr<com::IDispatch>> objects, QString* error);
  // Any editor changed by the user since the objects were set or applied.
  bool IsDirty() const { return dirty_; }
  // Writes every field to every object, in the page's write order; the
  // page is clean afterwards. A numeric field that does not hold a 16-bit
  // integer fails before anything is written; a failing put stops the
  // writing with the object's error text, and the page stays dirty.
  com::HRESULT Apply(QString* error);
  QString Caption() const;
  // The editor bound to `property` (QLineEdit or QCheckBox), or nullptr.
  QWidget* EditorFor(std::u16string_view property) const;

 Q_SIGNALS:
  void DirtyChanged(bool dirty);

 private:
  void MarkDirty();

  const PageDescription& description_;
  std::vector<QWidget*> editors_;  // parallel to description_.fields
  std::vector<com::ComPtr<com::IDispatch>> objects_;
  bool dirty_ = false;
  bool loading_ = false;
};

// The modal frame around pages: one tab per page, OK, Cancel and Apply.
// Apply is enabled while a page is dirty; OK applies and closes, and stays
// open showing the error when applying fails.
class QUILLON_DESKTOP_API PropertyFrame : public QDialog {
  Q_OBJECT

 public:
  explicit PropertyFrame(QWidget* parent = nullptr);

  // Takes ownership of `page`.
  void AddPage(PropertyPage* page);
  int PageCount() const;
  PropertyPage* Page(int index) const;
  // Applies every dirty page; false when one failed (its text is shown).
  bool ApplyAll();
  QString ErrorText() const;
  QDialogButtonBox* Buttons() const { return buttons_; }

 private:
  void UpdateApply();

  QTabWidget* tabs_;
  QLabel* error_;
  QDialogButtonBox* buttons_;
};

// A frame with a page for each class in `pages`, editing `objects`;
// nullptr with *code and *error when a page class is unknown, a list is
// empty, or the first object cannot be read.
QUILLON_DESKTOP_API std::unique_ptr<PropertyFrame> MakePropertyFrame(
    std::span<const com::CLSID> pages, std::span<com::IDispatch* const> objects, com::HRESULT* code,
    QString* error, QWidget* parent = nullptr);

// --- About boxes ------------------------------------------------------------

// The about box `which` (QuillonDesktopAbout), not yet shown; nullptr for
// an unknown one.
QUILLON_DESKTOP_API std::unique_ptr<QDialog> MakeAboutBox(int32_t which, QWidget* parent = nullptr);

// --- Inspector --------------------------------------------------------------

// The property pages of a new object of class `progid`: creates it, asks
// for its pages (ISpecifyPropertyPages) and builds their frame. nullptr
// with *code and *error when any step fails.
QUILLON_DESKTOP_API std::unique_ptr<PropertyFrame> MakeInspector(std::u16string_view progid,
                                                                 com::HRESULT* code, QString* error,
                                                                 QWidget* parent = nullptr);

// MakeInspector, then shows the frame modally. S_OK once it is closed.
QUILLON_DESKTOP_API com::HRESULT Inspect(std::u16string_view progid, QString* error);

}  // namespace quillon::desktop

#endif  // QUILLON_DESKTOP_DESKTOP_H_

// What the editors ask of the desktop (file dialogs, message boxes, the
// default browser, the temporary directory) behind one small interface, and
// one hook into every modal dialog they run, so that a test can answer
// both without a person at the screen.
#ifndef QUILLON_MONITOR_UI_SERVICES_H_
#define QUILLON_MONITOR_UI_SERVICES_H_

#include <functional>
#include <optional>
#include <string>

class QDialog;
class QWidget;

namespace quillon::monitor {

class DesktopServices {
 public:
  virtual ~DesktopServices() = default;

  // Asks for an existing file to open. `kind` is the default extension
  // (".REQ", ".RES", "gif"): it gives the filter "*" + kind and is added to
  // a name typed without it. The chosen path as file-system bytes, or
  // nothing when the developer cancelled.
  virtual std::optional<std::string> OpenFile(QWidget* parent, const std::string& kind) = 0;
  // Asks where to save, starting at `default_name`, with the same filter
  // and default extension; an existing file is replaced only after the
  // developer agreed.
  virtual std::optional<std::string> SaveFile(QWidget* parent, const std::string& default_name,
                                              const std::string& kind) = 0;
  // Tells the developer that a capture file failed; `text` is code-page
  // bytes.
  virtual void ShowError(QWidget* parent, const std::string& text) = 0;
  // Opens `path` with the desktop's handler for its type (the browser for
  // "temp.htm"); false when nothing could be started.
  virtual bool OpenWithDefaultHandler(const std::string& path) = 0;
  // The directory of temporary files, with a trailing "/".
  virtual std::string TempDirectory() = 0;
};

// The services the editors use: the Qt desktop's unless a test installed
// its own. SetDesktopServices does not take ownership; pass nullptr to go
// back to the desktop's.
DesktopServices& Services();
void SetDesktopServices(DesktopServices* services);

// Called with every dialog the monitor runs modally, right after its event
// loop has started: a test presses its buttons from here, nested dialogs
// included (each runs its own loop, and the hook is called for it in turn).
// The dialog's objectName says which one it is. Empty: no hook.
using ModalHook = std::function<void(QDialog*)>;
void SetModalHook(ModalHook hook);

// Runs `dialog` modally (exec) after arranging for the hook to see it.
// Such a dialog carries the property kRunModalProperty (true), so that a
// test can tell it from a modal box Qt raises on its own (a file dialog's
// warning), which no hook sees.
int RunModal(QDialog* dialog);
inline constexpr char kRunModalProperty[] = "quillonRunModal";

}  // namespace quillon::monitor

#endif  // QUILLON_MONITOR_UI_SERVICES_H_

// Dialogs asked for where there is no desktop: every way fails with a
// clear text and the host goes on. This program makes no application
// object of its own, and clears the display variables before anything.
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "quillon/client/identities.h"
#include "quillon/desktop/desktop.h"
#include "quillon/desktop/entry.h"
#include "quillon/desktop/loader.h"
#include "quillon/server/identities.h"
#include "tests/desktop/components.h"
#include "tests/support/bounded_wait.h"

namespace quillon::desktop {
namespace {

using testing::CallMethod;
using testing::Create;

constexpr char16_t kNoDisplay[] =
    u"ダイアログを表示できません。ディスプレイがありません（DISPLAY、WAYLAND_DISPLAY、"
    u"QT_QPA_PLATFORM のどれも設定されていません）。";
constexpr char16_t kMessage10035[] = u"予期せぬエラーが発生しました。";

// Sets the display variables for one case and clears them afterwards.
class DisplayVariables {
 public:
  DisplayVariables(const char* platform, const char* display, const char* wayland) {
    Set("QT_QPA_PLATFORM", platform);
    Set("DISPLAY", display);
    Set("WAYLAND_DISPLAY", wayland);
  }
  ~DisplayVariables() {
    unsetenv("QT_QPA_PLATFORM");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
  }

 private:
  static void Set(const char* name, const char* value) {
    if (value == nullptr) {
      unsetenv(name);
    } else {
      setenv(name, value, 1);
    }
  }
};

TEST(DisplayProblem, NamesWhatIsMissing) {
  struct Case {
    const char* platform;
    const char* display;
    const char* wayland;
    std::u16string expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, kNoDisplay},
      {"", "", "", kNoDisplay},
      // A display that nobody serves: Qt would end the process.
      {nullptr, ":97", nullptr,
       u"ダイアログを表示できません。ディスプレイ :97 に接続できません（DISPLAY）。"},
      {"xcb", nullptr, nullptr,
       u"ダイアログを表示できません。QT_QPA_PLATFORM=xcb ですが DISPLAY が設定されていません。"},
      {"wayland", nullptr, nullptr,
       u"ダイアログを表示できません。QT_QPA_PLATFORM=wayland ですが WAYLAND_DISPLAY "
       u"が設定されていません。"},
      {"nosuchplatform:opt=1", nullptr, nullptr,
       u"ダイアログを表示できません。Qt のプラットフォーム nosuchplatform "
       u"がありません（QT_QPA_PLATFORM）。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.platform == nullptr ? "(platform unset)" : c.platform);
    DisplayVariables env(c.platform, c.display, c.wayland);
    std::optional<std::u16string> problem = DisplayProblem();
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, c.expected) << com::Utf16ToUtf8(*problem);
  }
  {
    // Usable platforms are not refused (nothing is started here).
    DisplayVariables env("offscreen", nullptr, nullptr);
    EXPECT_EQ(DisplayProblem(), std::nullopt);
  }
  {
    // Nor are plugins from the folder Qt is pointed at.
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("quillon-qpa-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "libqelsewhere.so").put('\0');
    DisplayVariables env("elsewhere", nullptr, nullptr);
    EXPECT_TRUE(DisplayProblem());
    setenv("QT_QPA_PLATFORM_PLUGIN_PATH", folder.c_str(), 1);
    EXPECT_EQ(DisplayProblem(), std::nullopt);
    unsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
    std::filesystem::remove_all(folder);
  }
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

TEST(EntryPoints, FailWithTheReasonAndStartNothing) {
  DisplayVariables env(nullptr, nullptr, nullptr);
  char16_t text[512] = {};
  EXPECT_EQ(QuillonDesktopAboutBox(kQuillonAboutServerModules, text, 512), com::E_FAIL);
  EXPECT_EQ(std::u16string(text), kNoDisplay);
  com::ComPtr<com::IDispatch> client = Create(ids::kProgIdQClient);
  const com::CLSID pages[] = {ids::CLSID_QClientPropPage};
  com::IDispatch* objects[] = {client.get()};
  text[0] = 0;
  EXPECT_EQ(QuillonDesktopShowPropertyPages(pages, 1, objects, 1, text, 512), com::E_FAIL);
  EXPECT_EQ(std::u16string(text), kNoDisplay);
  text[0] = 0;
  EXPECT_EQ(QuillonDesktopInspect(u"QClient.QClientCtrl.2", text, 512), com::E_FAIL);
  EXPECT_EQ(std::u16string(text), kNoDisplay);
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

// A page object is made without a display, says its title, and refuses
// to show itself with the reason.
TEST(PageObjects, ActivatingWithoutADisplayFailsWithTheReason) {
  DisplayVariables env(nullptr, nullptr, nullptr);
  com::ComPtr<com::IPropertyPage> page;
  ASSERT_EQ(com::CoCreateInstance(ids::CLSID_QServerPropPage, nullptr, com::CLSCTX_INPROC_SERVER,
                                  com::IID_IPropertyPage, page.put_void()),
            com::S_OK);
  com::PROPPAGEINFO info{};
  ASSERT_EQ(page->GetPageInfo(&info), com::S_OK);
  EXPECT_EQ(std::u16string(info.pszTitle), u"QServer");
  EXPECT_EQ(info.size.cx, 0);
  com::CoTaskMemFree(info.pszTitle);
  com::ComPtr<com::IDispatch> server = Create(ids::kProgIdQServer);
  com::IUnknown* objects[] = {server.get()};
  EXPECT_EQ(page->SetObjects(1, objects), com::S_OK);
  EXPECT_EQ(page->Activate(0, nullptr, 1), com::E_FAIL);
  com::ComPtr<com::IErrorInfo> error;
  ASSERT_EQ(com::GetErrorInfo(0, error.put()), com::S_OK);
  com::Bstr text;
  error->GetDescription(text.put());
  EXPECT_EQ(text.view(), kNoDisplay);
  EXPECT_EQ(page->IsPageDirty(), com::S_FALSE);
  EXPECT_EQ(page->Apply(), com::S_OK);  // nothing shown, nothing changed
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

// Each control's AboutBox through IDispatch: the error of its own
// convention, after which the object still answers.
TEST(AboutBox, WithoutADisplayIsEachControlsAutomationError) {
  struct Case {
    const char16_t* progid;
    com::SCODE scode;
    std::u16string source;
  };
  const Case cases[] = {
      {ids::kProgIdQServer, com::DISP_E_EXCEPTION, u"QServer.QServer.3"},
      {ids::kProgIdQHtmlDoc, com::DISP_E_EXCEPTION, u"QServer.QHtmlDoc.3"},
      {ids::kProgIdQClient, com::MakeHresult(0x800A0000u + 10035), u"QClient"},
  };
  struct Setting {
    const char* library;  // QUILLON_DESKTOP_LIB, nullptr: beside the component
    std::u16string reason;
  };
  const Setting settings[] = {
      {nullptr, kNoDisplay},
      {"/nonexistent/libquillon-desktop.so",
       u"デスクトップ部品を読み込めません（/nonexistent/libquillon-desktop.so）。"},
  };
  DisplayVariables env(nullptr, nullptr, nullptr);
  for (const Setting& setting : settings) {
    if (setting.library != nullptr) setenv("QUILLON_DESKTOP_LIB", setting.library, 1);
    for (const Case& c : cases) {
      SCOPED_TRACE(com::Utf16ToUtf8(c.progid));
      com::ComPtr<com::IDispatch> object = Create(c.progid);
      ASSERT_TRUE(object);
      testing::Outcome outcome = CallMethod(object.get(), u"AboutBox");
      EXPECT_EQ(outcome.hr, com::DISP_E_EXCEPTION);
      EXPECT_EQ(outcome.scode, c.scode);
      EXPECT_EQ(outcome.source, c.source);
      const std::u16string expected = std::u16string(kMessage10035) + u"\n" + setting.reason;
      EXPECT_TRUE(outcome.description.starts_with(expected))
          << com::Utf16ToUtf8(outcome.description);
      // The host goes on: the same object answers its next call.
      const char16_t* property = c.progid == ids::kProgIdQClient   ? u"PortNo"
                                 : c.progid == ids::kProgIdQServer ? u"ContentType"
                                                                   : u"DummyTagName";
      com::Variant value;
      EXPECT_EQ(com::InvokeByName(object.get(), property, com::DISPATCH_PROPERTYGET, {},
                                  value.get(), nullptr),
                com::S_OK);
    }
    unsetenv("QUILLON_DESKTOP_LIB");
  }
  EXPECT_EQ(QCoreApplication::instance(), nullptr);
}

// The X display the program was started with (under xvfb-run, say); the
// variables are cleared before the tests run.
std::string& StartDisplay() {
  static std::string display;
  return display;
}

// A host without an application object of its own (a script, a console
// program) that has a display: the desktop library makes the application
// on first use, for the platform the variables choose. Each run is a
// child, since it leaves the application behind.
TEST(AboutBox, MakesItsOwnApplicationWhenTheHostHasNone) {
  struct Case {
    const char* platform;  // QT_QPA_PLATFORM
    const char* display;   // DISPLAY
    const char* started;   // the platform Qt must have started
  };
  std::vector<Case> cases{{"offscreen", nullptr, "offscreen"}};
  // X11 chosen from DISPLAY alone, when there is one to reach.
  if (!StartDisplay().empty()) cases.push_back({nullptr, StartDisplay().c_str(), "xcb"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.started);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      DisplayVariables env(c.platform, c.display, nullptr);
      com::ComPtr<com::IDispatch> object = Create(ids::kProgIdQClient);
      // The timer that closes the dialog needs the application, so it is
      // made here by the call the entry points make.
      if (DisplayProblem()) _exit(4);
      QApplication* app = EnsureApplication();
      if (app == nullptr || QApplication::platformName() != c.started) _exit(2);
      QString title;
      QTimer closer;
      QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
          title = modal->windowTitle();
          static_cast<QDialog*>(modal)->accept();
        }
      });
      closer.start(10);
      testing::Outcome outcome = CallMethod(object.get(), u"AboutBox");
      const bool shown = outcome.hr == com::S_OK && title == "QClient Control のバージョン情報" &&
                         EnsureApplication() == app;
      _exit(shown ? 0 : 3);
    }
    int status = 0;
    ASSERT_TRUE(quillon::testing::WaitChild(child, &status)) << "the about box was not closed";
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// What the component libraries use: the library is found beside the
// caller unless QUILLON_DESKTOP_LIB names one, and each way it can be
// missing has its own text.
TEST(Bridge, FindsTheLibraryOrSaysWhyNot) {
  unsetenv("QUILLON_DESKTOP_LIB");
  EXPECT_EQ(
      DesktopLibraryPath(),
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "libquillon-desktop.so")
          .string());
  struct Case {
    const char* library;
    std::u16string reason;
  };
  const std::u16string runtime = com::Utf8ToUtf16(RUNTIME_LIBRARY);
  const Case cases[] = {
      {DESKTOP_LIBRARY, kNoDisplay},
      {"/nonexistent/desktop.so",
       u"デスクトップ部品を読み込めません（/nonexistent/desktop.so）。\n"},
      {RUNTIME_LIBRARY,
       u"デスクトップ部品に入口 QuillonDesktopAboutBox がありません（" + runtime + u"）。"},
  };
  DisplayVariables env(nullptr, nullptr, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    setenv("QUILLON_DESKTOP_LIB", c.library, 1);
    EXPECT_EQ(DesktopLibraryPath(), c.library);
    std::optional<std::u16string> why = ShowDesktopAboutBox(kQuillonAboutServerModules);
    ASSERT_TRUE(why);
    EXPECT_TRUE(why->starts_with(c.reason)) << com::Utf16ToUtf8(*why);
  }
  unsetenv("QUILLON_DESKTOP_LIB");
}

}  // namespace
}  // namespace quillon::desktop

int main(int argc, char** argv) {
  if (const char* display = std::getenv("DISPLAY")) {
    quillon::desktop::StartDisplay() = display;
  }
  unsetenv("QT_QPA_PLATFORM");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new quillon::desktop::testing::Components);
  return RUN_ALL_TESTS();
}

// The property pages, their frame, the about boxes and the inspector on
// Qt's offscreen platform, against the real QServer, QHtmlDoc and
// QClientCtrl objects.
#include "quillon/desktop/desktop.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <vector>
#include <thread>

#include "quillon/client/identities.h"
#include "quillon/desktop/entry.h"
#include "quillon/server/identities.h"
#include "tests/desktop/components.h"

namespace quillon::desktop {
namespace {

using com::ComPtr;
using com::IDispatch;
using com::Variant;
using testing::CallMethod;
using testing::Create;
using testing::Get;
using testing::Put;

QString Q(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

void Screenshot(QWidget* widget, const QString& name) {
  QDir().mkpath(QStringLiteral(QUILLON_SCREENSHOT_DIR));
  widget->adjustSize();
  EXPECT_TRUE(widget->grab().save(QStringLiteral(QUILLON_SCREENSHOT_DIR "/") + name + ".png"))
      << name.toStdString();
}

// Text entered as a user would: keys for Latin-1, an input method's
// commit for the rest (QTest has no keys for them).
void Type(QLineEdit* line, const QString& text) {
  bool latin1 = true;
  for (QChar ch : text) latin1 = latin1 && ch.unicode() < 0x80;
  if (latin1) {
    QTest::keyClicks(line, text);
    return;
  }
  QInputMethodEvent commit;
  commit.setCommitString(text);
  QApplication::sendEvent(line, &commit);
}

// One bound property: what the two objects start with, what the user
// enters on the page, and what both objects must hold after Apply.
struct Field {
  const char16_t* property;
  Variant first;
  Variant second;
  QString typed;  // for a check box: "click"
  std::u16string applied;
};

struct PageCase {
  const char* name;
  const char16_t* progid;
  const com::CLSID* page;
  const char16_t* caption;
  std::vector<Field> fields;  // in the order the objects are set up
};

std::vector<PageCase> Cases() {
  return {
      {"QServerPropPage",
       ids::kProgIdQServerIndependent,
       &ids::CLSID_QServerPropPage,
       u"QServer",
       {{u"ContentType", Variant::String(u"text/plain"), Variant::String(u"image/png"),
         "application/json", u"application/json"},
        {u"Result", Variant::String(u"OK 1"), Variant::String(u"other"), "結果=2", u"結果=2"}}},
      {"QHtmlDocPropPage",
       ids::kProgIdQHtmlDocIndependent,
       &ids::CLSID_QHtmlDocPropPage,
       u"QHtmlDoc",
       {{u"DummyTagName", Variant::String(u"DUMMY"), Variant::String(u"X1"), "TEXTBLOCK",
         u"TEXTBLOCK"},
        {u"DummyBlockTagName", Variant::String(u"BLOCK"), Variant::String(u"X2"), "DUMBLK",
         u"DUMBLK"},
        {u"ConvertMasterPage", Variant::Bool(true), Variant::Bool(false), "click", u"False"}}},
      {"QClientPropPage",
       ids::kProgIdQClient,
       &ids::CLSID_QClientPropPage,
       u"全般",
       {{u"UseSSL", Variant::Bool(false), Variant::Bool(true), "click", u"True"},
        {u"AgentName", Variant::String(u"Agent/1"), Variant::String(u"x"), "Agent/2", u"Agent/2"},
        {u"ServerName", Variant::String(u"one.test"), Variant::String(u"x"), "two.test",
         u"two.test"},
        // Entered with UseSSL switched on: the port must survive UseSSL's
        // own move to 443.
        {u"PortNo", Variant::I2(8000), Variant::I2(1), "8443", u"8443"},
        {u"AppName", Variant::String(u"/cgi-bin/a"), Variant::String(u"x"), "/cgi-bin/b",
         u"/cgi-bin/b"},
        {u"ProxyServer", Variant::String(u""), Variant::String(u"x"), "proxy.test", u"proxy.test"},
        {u"ProxyPort", Variant::I2(-32768), Variant::I2(1), "3128", u"3128"},
        {u"OffLineDebug", Variant::Bool(false), Variant::Bool(true), "click", u"True"}}},
  };
}

// Two objects of the case's class set up with its starting values, and a
// page over both.
struct Selection {
  ComPtr<IDispatch> first, second;
  std::unique_ptr<PropertyPage> page;
};

Selection Prepare(const PageCase& c) {
  Selection s{Create(c.progid), Create(c.progid), nullptr};
  for (const Field& f : c.fields) {
    Put(s.first.get(), f.property, f.first);
    Put(s.second.get(), f.property, f.second);
  }
  const PageDescription* description = FindPage(*c.page);
  EXPECT_NE(description, nullptr);
  if (description == nullptr) return s;
  s.page = std::make_unique<PropertyPage>(*description);
  QString error;
  EXPECT_EQ(s.page->SetObjects({s.first, s.second}, &error), com::S_OK) << error.toStdString();
  return s;
}

TEST(PropertyPage, ShowsTheFirstSelectedObjectsProperties) {
  for (const PageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    Selection s = Prepare(c);
    ASSERT_TRUE(s.page);
    EXPECT_EQ(s.page->Caption(), Q(c.caption));
    EXPECT_FALSE(s.page->IsDirty());
    for (const Field& f : c.fields) {
      SCOPED_TRACE(com::Utf16ToUtf8(f.property));
      QWidget* editor = s.page->EditorFor(f.property);
      ASSERT_NE(editor, nullptr);
      std::u16string expected;
      com::VariantToText(*f.first.get(), &expected);
      if (auto* box = qobject_cast<QCheckBox*>(editor)) {
        EXPECT_EQ(box->isChecked() ? u"True" : u"False", expected);
      } else {
        EXPECT_EQ(qobject_cast<QLineEdit*>(editor)->text(), Q(expected));
      }
    }
    Screenshot(s.page.get(), QString::fromLatin1(c.name));
  }
}

TEST(PropertyPage, EditingMarksDirtyAndApplyWritesEveryObject) {
  for (const PageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    Selection s = Prepare(c);
    ASSERT_TRUE(s.page);
    s.page->show();
    int dirty_signals = 0;
    QObject::connect(s.page.get(), &PropertyPage::DirtyChanged,
                     [&](bool dirty) { dirty_signals += dirty ? 1 : 0; });
    for (const Field& f : c.fields) {
      QWidget* editor = s.page->EditorFor(f.property);
      if (f.typed == "click") {
        qobject_cast<QCheckBox*>(editor)->click();
      } else {
        auto* line = qobject_cast<QLineEdit*>(editor);
        line->selectAll();
        Type(line, f.typed);
        EXPECT_EQ(line->text(), f.typed);
      }
      EXPECT_TRUE(s.page->IsDirty()) << com::Utf16ToUtf8(f.property);
    }
    EXPECT_EQ(dirty_signals, 1);
    // Nothing reaches the objects before Apply.
    EXPECT_EQ(Get(s.first.get(), c.fields.back().property), [&] {
      std::u16string t;
      com::VariantToText(*c.fields.back().first.get(), &t);
      return t;
    }());
    QString error;
    ASSERT_EQ(s.page->Apply(&error), com::S_OK) << error.toStdString();
    EXPECT_FALSE(s.page->IsDirty());
    for (const Field& f : c.fields) {
      EXPECT_EQ(Get(s.first.get(), f.property), f.applied) << com::Utf16ToUtf8(f.property);
      EXPECT_EQ(Get(s.second.get(), f.property), f.applied) << com::Utf16ToUtf8(f.property);
    }
  }
}

// A frame's side of a page: the status changes the page reports.
class RecordingSite final : public com::IPropertyPageSite {
 public:
  com::HRESULT QueryInterface(com::REFIID iid, void** object) override {
    if (iid == com::IID_IUnknown || iid == com::IID_IPropertyPageSite) {
      *object = static_cast<com::IPropertyPageSite*>(this);
      return com::S_OK;
    }
    *object = nullptr;
    return com::E_NOINTERFACE;
  }
  com::ULONG AddRef() override { return 2; }  // lives on the test's stack
  com::ULONG Release() override { return 1; }
  com::HRESULT OnStatusChange(com::DWORD flags) override {
    statuses.push_back(flags);
    return com::S_OK;
  }
  com::HRESULT GetLocaleID(com::LCID* lcid) override {
    *lcid = 0x411;
    return com::S_OK;
  }
  com::HRESULT GetPageContainer(com::IUnknown** container) override {
    *container = nullptr;
    return com::E_NOTIMPL;
  }
  com::HRESULT TranslateAccelerator(com::MSG*) override { return com::S_FALSE; }

  std::vector<com::DWORD> statuses;
};

// The page window an activated page object shows, or nullptr.
PropertyPage* ShownPage() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* page = qobject_cast<PropertyPage*>(widget)) return page;
  }
  return nullptr;
}

std::u16string ErrorText() {
  ComPtr<com::IErrorInfo> info;
  if (com::GetErrorInfo(0, info.put()) != com::S_OK) return {};
  com::Bstr text;
  info->GetDescription(text.put());
  return std::u16string(text.view());
}

// Each page class is an object of its registered CLSID: created through
// the component library that registers it, it reads the selected objects,
// reports its changes to the frame and applies them through IDispatch.
TEST(PageObjects, EditTheSelectedObjectsThroughIPropertyPage) {
  for (const PageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    ComPtr<com::IPropertyPage> page;
    ASSERT_EQ(com::CoCreateInstance(*c.page, nullptr, com::CLSCTX_INPROC_SERVER,
                                    com::IID_IPropertyPage, page.put_void()),
              com::S_OK);
    com::PROPPAGEINFO info{};
    ASSERT_EQ(page->GetPageInfo(&info), com::S_OK);
    EXPECT_EQ(std::u16string(info.pszTitle), c.caption);
    EXPECT_GT(info.size.cx, 0);
    EXPECT_GT(info.size.cy, 0);
    com::CoTaskMemFree(info.pszTitle);

    Selection s{Create(c.progid), Create(c.progid), nullptr};
    for (const Field& f : c.fields) {
      Put(s.first.get(), f.property, f.first);
      Put(s.second.get(), f.property, f.second);
    }
    RecordingSite site;
    ASSERT_EQ(page->SetPageSite(&site), com::S_OK);
    com::IUnknown* objects[] = {s.first.get(), s.second.get()};
    ASSERT_EQ(page->SetObjects(2, objects), com::S_OK);
    EXPECT_EQ(page->IsPageDirty(), com::S_FALSE);
    const com::RECT rect{0, 0, 400, 300};
    ASSERT_EQ(page->Activate(0, &rect, 1), com::S_OK) << com::Utf16ToUtf8(ErrorText());
    ASSERT_EQ(page->Show(com::SW_SHOW), com::S_OK);
    PropertyPage* shown = ShownPage();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    for (const Field& f : c.fields) {
      QWidget* editor = shown->EditorFor(f.property);
      ASSERT_NE(editor, nullptr);
      if (f.typed == "click") {
        qobject_cast<QCheckBox*>(editor)->click();
      } else {
        auto* line = qobject_cast<QLineEdit*>(editor);
        std::u16string first;
        com::VariantToText(*f.first.get(), &first);
        EXPECT_EQ(line->text(), Q(first)) << com::Utf16ToUtf8(f.property);
        line->selectAll();
        Type(line, f.typed);
      }
    }
    EXPECT_EQ(page->IsPageDirty(), com::S_OK);
    EXPECT_EQ(site.statuses,
              std::vector<com::DWORD>{com::PROPPAGESTATUS_DIRTY | com::PROPPAGESTATUS_VALIDATE});
    ASSERT_EQ(page->Apply(), com::S_OK) << com::Utf16ToUtf8(ErrorText());
    EXPECT_EQ(page->IsPageDirty(), com::S_FALSE);
    EXPECT_EQ(site.statuses.back(), com::PROPPAGESTATUS_CLEAN);
    for (const Field& f : c.fields) {
      EXPECT_EQ(Get(s.first.get(), f.property), f.applied) << com::Utf16ToUtf8(f.property);
      EXPECT_EQ(Get(s.second.get(), f.property), f.applied) << com::Utf16ToUtf8(f.property);
    }
    ASSERT_EQ(page->Deactivate(), com::S_OK);
    QApplication::processEvents();
    EXPECT_EQ(ShownPage(), nullptr);
    EXPECT_EQ(page->SetObjects(0, nullptr), com::S_OK);
    EXPECT_EQ(page->SetPageSite(nullptr), com::S_OK);
  }
}

TEST(PageObjects, AFailedApplyKeepsThePageDirtyAndSaysWhy) {
  ComPtr<com::IPropertyPage> page;
  ASSERT_EQ(com::CoCreateInstance(ids::CLSID_QClientPropPage, nullptr, com::CLSCTX_INPROC_SERVER,
                                  com::IID_IPropertyPage, page.put_void()),
            com::S_OK);
  ComPtr<IDispatch> client = Create(ids::kProgIdQClient);
  com::IUnknown* objects[] = {client.get()};
  ASSERT_EQ(page->SetObjects(1, objects), com::S_OK);
  ASSERT_EQ(page->Activate(0, nullptr, 1), com::S_OK);
  auto* port = qobject_cast<QLineEdit*>(ShownPage()->EditorFor(u"PortNo"));
  ASSERT_NE(port, nullptr);
  // The validator lets a user type a number too large only by pasting.
  port->setText(QStringLiteral("99999"));
  Q_EMIT port->textEdited(port->text());
  EXPECT_EQ(page->Apply(), com::E_INVALIDARG);
  EXPECT_EQ(ErrorText(), u"「Server Port:」には -32768 から 32767 までの整数を入力してください。");
  EXPECT_EQ(page->IsPageDirty(), com::S_OK);
  EXPECT_EQ(Get(client.get(), u"PortNo"), u"80");
  EXPECT_EQ(page->Deactivate(), com::S_OK);
}

TEST(PropertyPage, PortsMustBeSixteenBitIntegersAndABadOneWritesNothing) {
  const PageCase client = Cases()[2];
  struct Entry {
    const char* text;
    bool accepted;
  };
  for (const Entry& e :
       {Entry{"70000", false}, Entry{"-32769", false}, Entry{"abc", false}, Entry{"", false},
        Entry{"80 80", false}, Entry{"32767", true}, Entry{"-32768", true}, Entry{" 443 ", true}}) {
    SCOPED_TRACE(e.text);
    Selection s = Prepare(client);
    ASSERT_TRUE(s.page);
    // Set as a paste would, past the editor's validator.
    qobject_cast<QLineEdit*>(s.page->EditorFor(u"ServerName"))->setText("changed.test");
    qobject_cast<QLineEdit*>(s.page->EditorFor(u"PortNo"))->setText(e.text);
    QString error;
    const com::HRESULT hr = s.page->Apply(&error);
    if (e.accepted) {
      ASSERT_EQ(hr, com::S_OK) << error.toStdString();
      EXPECT_EQ(Get(s.second.get(), u"PortNo"), QString(e.text).trimmed().toStdU16String());
      EXPECT_EQ(Get(s.second.get(), u"ServerName"), u"changed.test");
    } else {
      EXPECT_EQ(hr, com::E_INVALIDARG);
      EXPECT_EQ(error, "「Server Port:」には -32768 から 32767 までの整数を入力してください。");
      EXPECT_EQ(Get(s.first.get(), u"PortNo"), u"8000");
      EXPECT_EQ(Get(s.first.get(), u"ServerName"), u"one.test");
      EXPECT_EQ(Get(s.second.get(), u"ServerName"), u"x");
    }
  }
}

TEST(PropertyFrame, ApplyFollowsDirtinessAndOkStaysOpenOnABadValue) {
  ComPtr<IDispatch> a = Create(ids::kProgIdQClient);
  ComPtr<IDispatch> b = Create(ids::kProgIdQClient);
  const com::CLSID pages[] = {ids::CLSID_QClientPropPage};
  IDispatch* objects[] = {a.get(), b.get()};
  com::HRESULT code = com::E_FAIL;
  QString error;
  auto frame = MakePropertyFrame(pages, objects, &code, &error);
  ASSERT_TRUE(frame) << error.toStdString();
  ASSERT_EQ(frame->PageCount(), 1);
  QPushButton* apply = frame->Buttons()->button(QDialogButtonBox::Apply);
  QPushButton* ok = frame->Buttons()->button(QDialogButtonBox::Ok);
  EXPECT_FALSE(apply->isEnabled());
  auto* agent = qobject_cast<QLineEdit*>(frame->Page(0)->EditorFor(u"AgentName"));
  EXPECT_EQ(agent->text(), "Quillon.QClient (Win32 I)");
  QTest::keyClicks(agent, "!");
  EXPECT_TRUE(apply->isEnabled());
  apply->click();
  EXPECT_FALSE(apply->isEnabled());
  EXPECT_EQ(Get(b.get(), u"AgentName"), u"Quillon.QClient (Win32 I)!");

  auto* port = qobject_cast<QLineEdit*>(frame->Page(0)->EditorFor(u"PortNo"));
  port->setText("65535");
  QTest::keyClicks(agent, "?");
  frame->show();
  ok->click();
  EXPECT_TRUE(frame->isVisible());
  EXPECT_EQ(frame->result(), QDialog::Rejected);
  EXPECT_TRUE(frame->ErrorText().contains("Server Port:"));
  Screenshot(frame.get(), "frame-error");
  port->setText("81");
  ok->click();
  EXPECT_EQ(frame->result(), QDialog::Accepted);
  EXPECT_EQ(Get(a.get(), u"PortNo"), u"81");
  EXPECT_EQ(Get(b.get(), u"PortNo"), u"81");
  EXPECT_EQ(Get(b.get(), u"AgentName"), u"Quillon.QClient (Win32 I)!?");
}

TEST(PropertyFrame, RefusesUnknownPagesAndEmptySelections) {
  ComPtr<IDispatch> a = Create(ids::kProgIdQClient);
  IDispatch* objects[] = {a.get()};
  const com::CLSID unknown[] = {ids::CLSID_QClient};
  com::HRESULT code = com::S_OK;
  QString error;
  EXPECT_FALSE(MakePropertyFrame(unknown, objects, &code, &error));
  EXPECT_EQ(code, com::CLASS_E_CLASSNOTAVAILABLE);
  const com::CLSID page[] = {ids::CLSID_QClientPropPage};
  EXPECT_FALSE(MakePropertyFrame(page, {}, &code, &error));
  EXPECT_EQ(code, com::E_INVALIDARG);
  // A page whose properties the object does not have: the object's answer.
  const com::CLSID server_page[] = {ids::CLSID_QServerPropPage};
  EXPECT_FALSE(MakePropertyFrame(server_page, objects, &code, &error));
  EXPECT_EQ(code, com::DISP_E_UNKNOWNNAME);
  EXPECT_TRUE(error.contains("ContentType")) << error.toStdString();
}

TEST(AboutBox, TextsPicturesAndOk) {
  struct Case {
    int32_t which;
    const char* title;
    std::vector<const char*> pictures;
  };
  for (const Case& c :
       {Case{kQuillonAboutServerModules,
             "Quillon Server Modules",
             {"bitmapQServer", "bitmapQHtmlDoc"}},
        Case{kQuillonAboutClientControl, "QClient Control のバージョン情報", {"icon"}}}) {
    SCOPED_TRACE(c.title);
    std::unique_ptr<QDialog> box = MakeAboutBox(c.which);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowTitle(), c.title);
    EXPECT_TRUE(box->isModal());
    auto* version = box->findChild<QLabel*>("version");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), "Quillon Version 3.4.0000");
    EXPECT_EQ(box->findChildren<QLabel*>().size(), static_cast<qsizetype>(c.pictures.size() + 1));
    for (const char* name : c.pictures) {
      auto* picture = box->findChild<QLabel*>(name);
      ASSERT_NE(picture, nullptr) << name;
      EXPECT_FALSE(picture->pixmap().isNull());
      // Drawn, not blank.
      const QImage image = picture->pixmap().toImage();
      EXPECT_NE(image.pixel(16, 16), image.pixel(0, 0)) << name;
    }
    const auto buttons = box->findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons.front()->text(), "OK");
    Screenshot(box.get(), c.which == kQuillonAboutServerModules ? "about-server" : "about-client");
    box->show();
    buttons.front()->click();
    EXPECT_EQ(box->result(), QDialog::Accepted);
  }
  EXPECT_FALSE(MakeAboutBox(7));
}

// Closes the next modal dialog once it is up, remembering its title.
class ModalCloser {
 public:
  ModalCloser() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        title_ = modal->windowTitle();
        owner_ = modal->parentWidget();
        static_cast<QDialog*>(modal)->accept();
        timer_.stop();
      } else if (++ticks_ > 300) {  // 3 s: give up rather than hang
        for (QWidget* w : QApplication::topLevelWidgets()) w->close();
        timer_.stop();
      }
    });
    timer_.start(10);
  }
  QString title() const { return title_; }
  QWidget* owner() const { return owner_; }

 private:
  QTimer timer_;
  QString title_;
  QWidget* owner_ = nullptr;
  int ticks_ = 0;
};

TEST(AboutBox, ThroughEachControlsAutomationSurface) {
  struct Case {
    const char16_t* progid;
    const char* title;
  };
  for (const Case& c : {Case{ids::kProgIdQServer, "Quillon Server Modules"},
                        Case{ids::kProgIdQHtmlDoc, "Quillon Server Modules"},
                        Case{ids::kProgIdQClient, "QClient Control のバージョン情報"}}) {
    SCOPED_TRACE(c.title);
    ComPtr<IDispatch> object = Create(c.progid);
    ASSERT_TRUE(object);
    // The host's window, active when the script calls.
    QWidget host;
    host.show();
    QApplication::setActiveWindow(&host);
    ModalCloser closer;
    testing::Outcome outcome = CallMethod(object.get(), u"AboutBox");
    EXPECT_EQ(outcome.hr, com::S_OK) << com::Utf16ToUtf8(outcome.description);
    EXPECT_EQ(closer.title(), c.title);
    EXPECT_EQ(closer.owner(), &host);
  }
}

TEST(Inspector, ShowsTheObjectsOwnPages) {
  struct Case {
    const char16_t* progid;
    const char* caption;
    const char16_t* property;
    const char* shown;
  };
  for (const Case& c : {Case{u"QServer.QServer", "QServer", u"ContentType", "text/html"},
                        Case{u"QServer.QHtmlDoc.3", "QHtmlDoc", nullptr, nullptr},
                        Case{u"QClient.QClientCtrl.2", "全般", u"PortNo", "80"}}) {
    SCOPED_TRACE(c.caption);
    com::HRESULT code = com::E_FAIL;
    QString error;
    auto frame = MakeInspector(c.progid, &code, &error);
    ASSERT_TRUE(frame) << error.toStdString();
    EXPECT_EQ(code, com::S_OK);
    ASSERT_EQ(frame->PageCount(), 1);
    EXPECT_EQ(frame->Page(0)->Caption(), c.caption);
    EXPECT_EQ(frame->windowTitle(), Q(c.progid) + " のプロパティ");
    if (c.property != nullptr) {
      EXPECT_EQ(qobject_cast<QLineEdit*>(frame->Page(0)->EditorFor(c.property))->text(), c.shown);
    }
    Screenshot(frame.get(), "inspect-" + Q(c.progid));
  }
  com::HRESULT code = com::S_OK;
  QString error;
  EXPECT_FALSE(MakeInspector(u"No.Such.Class", &code, &error));
  EXPECT_EQ(code, com::CO_E_CLASSSTRING);
  EXPECT_TRUE(error.startsWith("No.Such.Class は登録されていません。")) << error.toStdString();

  ModalCloser closer;
  char16_t text[256] = u"unchanged";
  EXPECT_EQ(QuillonDesktopInspect(u"QClient.QClientCtrl.2", text, 256), com::S_OK);
  EXPECT_EQ(closer.title(), "QClient.QClientCtrl.2 のプロパティ");
}

TEST(EntryPoints, RefuseBadArgumentsWithAText) {
  char16_t text[256] = {};
  EXPECT_EQ(QuillonDesktopAboutBox(42, text, 256), com::E_INVALIDARG);
  EXPECT_EQ(std::u16string(text), u"バージョン情報 42 はありません。");
  EXPECT_EQ(QuillonDesktopShowPropertyPages(nullptr, 1, nullptr, 0, text, 256), com::E_POINTER);
  const com::CLSID page[] = {ids::CLSID_QServerPropPage};
  EXPECT_EQ(QuillonDesktopShowPropertyPages(page, 1, nullptr, 0, text, 256), com::E_INVALIDARG);
  // Another thread than the application's: refused, not a crash.
  com::HRESULT from_thread = com::S_OK;
  std::thread([&] { from_thread = QuillonDesktopAboutBox(0, text, 256); }).join();
  EXPECT_EQ(from_thread, com::MakeHresult(0x8001010E));
  EXPECT_EQ(std::u16string(text),
            u"ダイアログを表示できません。アプリケーションのスレッド以外からは表示できません。");
  // A text cut to the room given, and still terminated.
  char16_t small[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(QuillonDesktopAboutBox(42, small, 4), com::E_INVALIDARG);
  EXPECT_EQ(std::u16string(small), u"バージ");
}

}  // namespace
}  // namespace quillon::desktop

int main(int argc, char** argv) {
  // Offscreen unless told otherwise (test discovery runs this program with
  // the developer's environment, perhaps without a display).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new quillon::desktop::testing::Components);
  return RUN_ALL_TESTS();
}

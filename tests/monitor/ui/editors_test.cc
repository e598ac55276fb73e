// The editor dialogs driven button by button through the modal hook, with
// scripted file dialogs; what they leave is checked through the monitor's
// own entry points (EditRequestData / EditResponseData) and the files.
#include "monitor/ui/editors.h"

#include <gtest/gtest.h>

#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <cerrno>
#include <cstring>

#include "monitor/ui/monitor.h"
#include "tests/monitor/ui/ui_support.h"

namespace quillon::monitor {
namespace {

using namespace std::string_literals;
using testing::Child;
using testing::Click;
using testing::EnterValue;
using testing::ListedNames;
using testing::Press;
using testing::ReadFile;
using testing::SelectedRow;
using testing::SelectRow;
using testing::WriteFile;

using RequestEditorTest = testing::EditorTest;
using ListEditorTest = testing::EditorTest;
using ResponseEditorTest = testing::EditorTest;
using MainWindowTest = testing::EditorTest;

// Presses the buttons of a dialog one after another.
testing::DialogScript::Step PressAll(std::vector<const char*> buttons) {
  return [buttons = std::move(buttons)](QDialog* d) {
    for (const char* b : buttons) Click(d, b);
  };
}

TEST_F(RequestEditorTest, SavesEmptyEnvironmentLineCrLfAndEncodedParameters) {
  services_.paths = {Path("out.REQ")};
  script_.Then("RequestEditor", PressAll({"editParameters", "save", "close"}))
      .Then("ParameterListEditor",
            [](QDialog* d) {
              EXPECT_EQ(d->windowTitle(), QStringLiteral("CGIパラメータの編集"));
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"a"}));
              Click(d, "add");
              Click(d, "ok");
            })
      .Then("ValueEditor", EnterValue("b", "x y"));

  EXPECT_EQ(EditRequestData("\r\na=1"), "\r\na=1&b=x+y");
  EXPECT_EQ(ReadFile(Path("out.REQ")), "\r\na=1&b=x+y");
  ASSERT_EQ(services_.file_requests.size(), 1u);
  EXPECT_TRUE(services_.file_requests[0].save);
  EXPECT_EQ(services_.file_requests[0].kind, ".REQ");
  EXPECT_EQ(services_.file_requests[0].default_name, "");
}

TEST_F(RequestEditorTest, EnvironmentEditorHasItsOwnTitleAndLine) {
  script_.Then("RequestEditor", PressAll({"editEnvironment", "close"}))
      .Then("ParameterListEditor",
            [](QDialog* d) {
              EXPECT_EQ(d->windowTitle(), QStringLiteral("サーバー環境変数の編集"));
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"SERVER_NAME"}));
              Click(d, "add");
              Click(d, "ok");
            })
      .Then("ValueEditor", EnterValue("HTTP_HOST", "h x"));
  EXPECT_EQ(EditRequestData("SERVER_NAME=s\r\np=1"), "SERVER_NAME=s&HTTP_HOST=h+x\r\np=1");
  // Text without a line end is all environment line.
  script_.Then("RequestEditor", Press("close"));
  EXPECT_EQ(EditRequestData("only"), "only\r\n");
}

// (Every line-end form of the split is in capture_test; this is the button.)
TEST_F(RequestEditorTest, LoadNewReplacesBothPartsAndNamesTheNextSave) {
  WriteFile(Path("case.REQ"), "E=1\r\n\r\n\na=1&b=2\0junk"s);
  services_.paths = {Path("case.REQ"), Path("again.REQ")};
  script_.Then("RequestEditor", PressAll({"loadNew", "save", "close"}));
  EXPECT_EQ(EditRequestData("OLD=0\r\nold=1"), "E=1\r\na=1&b=2");
  ASSERT_EQ(services_.file_requests.size(), 2u);
  EXPECT_FALSE(services_.file_requests[0].save);
  EXPECT_EQ(services_.file_requests[0].kind, ".REQ");
  EXPECT_EQ(services_.file_requests[1].default_name, "case.REQ");  // the file title
  EXPECT_EQ(ReadFile(Path("again.REQ")), "E=1\r\na=1&b=2");
}

TEST_F(RequestEditorTest, AppendToEmptyParametersStartsWithAmpersand) {
  WriteFile(Path("add.REQ"), "E2\r\nx=1&y=2");
  services_.paths = {Path("add.REQ")};
  script_.Then("RequestEditor", PressAll({"loadAppend", "editParameters", "close"}))
      .Then("ParameterListEditor", [](QDialog* d) {
        EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"x", "y"}));
        Click(d, "cancel");
      });
  EXPECT_EQ(EditRequestData("E1\r\n"), "E2\r\n&x=1&y=2");
}

TEST_F(RequestEditorTest, FileFailuresAreReportedAndChangeNothing) {
  // Open cancelled, open of a missing file, save into a missing directory.
  services_.paths = {std::nullopt, Path("missing.REQ"), Path("no/such/dir.REQ")};
  script_.Then("RequestEditor", PressAll({"loadNew", "loadAppend", "save", "close"}));
  EXPECT_EQ(EditRequestData("E\r\na=1"), "E\r\na=1");
  ASSERT_EQ(services_.errors.size(), 2u);
  EXPECT_EQ(services_.errors[0], Path("missing.REQ") + "\n" + std::strerror(ENOENT));
  EXPECT_EQ(services_.errors[1], Path("no/such/dir.REQ") + "\n" + std::strerror(ENOENT));
  // The failed load had already taken over the file's name.
  EXPECT_EQ(services_.file_requests.back().default_name, "missing.REQ");
}

TEST_F(ListEditorTest, EveryButtonKeepsListAndSelectionInStep) {
  size_t dialogs_before = 0;
  script_
      .Then("ParameterListEditor",
            [&](QDialog* d) {
              // Nothing happens without a selection.
              dialogs_before = script_.seen().size();
              for (const char* b : {"edit", "remove", "moveUp", "moveDown"}) Click(d, b);
              EXPECT_EQ(script_.seen().size(), dialogs_before);
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"a", "b", "c"}));

              SelectRow(d, 1);
              Click(d, "moveUp");
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"b", "a", "c"}));
              EXPECT_EQ(SelectedRow(d), 0);
              Click(d, "moveUp");  // already first
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"b", "a", "c"}));
              EXPECT_EQ(SelectedRow(d), 0);
              SelectRow(d, 2);
              Click(d, "moveDown");  // already last
              EXPECT_EQ(SelectedRow(d), 2);
              SelectRow(d, 1);
              Click(d, "moveDown");
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"b", "c", "a"}));
              EXPECT_EQ(SelectedRow(d), 2);

              Click(d, "remove");  // the last: selection steps back
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"b", "c"}));
              EXPECT_EQ(SelectedRow(d), 1);
              SelectRow(d, 0);
              Click(d, "remove");  // the first: selection stays
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"c"}));
              EXPECT_EQ(SelectedRow(d), 0);

              Click(d, "add");
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"c", "v"}));
              EXPECT_EQ(SelectedRow(d), 1);
              auto* editor = dynamic_cast<ParameterListEditor*>(d);
              ASSERT_NE(editor, nullptr);
              EXPECT_EQ(editor->text(), "c=3&v=a+b%25c");  // stored encoded

              Click(d, "edit");  // shown decoded, then renamed
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"c", "w"}));
              EXPECT_EQ(SelectedRow(d), 1);

              auto* list = Child<QListWidget>(d, "names");
              // A view takes a double click only on the item its press hit.
              const QPoint at = list->visualItemRect(list->item(0)).center();
              QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
              QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"c", "w"}));

              Click(d, "add");  // an empty name adds nothing
              EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"c", "w"}));
              Click(d, "ok");
            })
      .Then("ValueEditor", EnterValue("v", "a b%c"))
      .Then("ValueEditor",
            [](QDialog* d) {
              EXPECT_EQ(Child<QLineEdit>(d, "name")->text(), QStringLiteral("v"));
              EXPECT_EQ(Child<QPlainTextEdit>(d, "value")->toPlainText(), QStringLiteral("a b%c"));
              EnterValue("w", "line1\nline2")(d);
            })
      .Then("ValueEditor",
            [](QDialog* d) {  // the double click edits entry 0
              EXPECT_EQ(Child<QLineEdit>(d, "name")->text(), QStringLiteral("c"));
              EXPECT_EQ(Child<QPlainTextEdit>(d, "value")->toPlainText(), QStringLiteral("3"));
              Click(d, "cancel");
            })
      .Then("ValueEditor", EnterValue("", "x"));

  std::string text = "a=1&b=2&c=3";
  EXPECT_TRUE(EditParameterText(nullptr, ListKind::kParameters, &text));
  EXPECT_EQ(text, "c=3&w=line1%0Aline2");
}

TEST_F(ListEditorTest, CancelLeavesTheText) {
  script_.Then("ParameterListEditor", [](QDialog* d) {
    SelectRow(d, 0);
    Click(d, "remove");
    EXPECT_EQ(ListedNames(d).size(), 1u);
    Click(d, "cancel");
  });
  std::string text = "a=1&b=2";
  EXPECT_FALSE(EditParameterText(nullptr, ListKind::kEnvironment, &text));
  EXPECT_EQ(text, "a=1&b=2");

  // OK on an emptied list gives the empty text.
  script_.Then("ParameterListEditor", [](QDialog* d) {
    SelectRow(d, 0);
    Click(d, "remove");
    Click(d, "remove");
    Click(d, "ok");
  });
  EXPECT_TRUE(EditParameterText(nullptr, ListKind::kEnvironment, &text));
  EXPECT_EQ(text, "");
}

TEST_F(ListEditorTest, ConfirmingAnUntouchedValueKeepsBytesTheWidgetCannotShow) {
  // A zero byte and a byte that starts no character in either code page.
  script_
      .Then("ParameterListEditor",
            [](QDialog* d) {
              SelectRow(d, 0);
              Click(d, "edit");
              SelectRow(d, 1);
              Click(d, "edit");
              Click(d, "ok");
            })
      .Then("ValueEditor", Press("ok"))
      .Then("ValueEditor", [](QDialog* d) {  // only the name is changed
        Child<QLineEdit>(d, "name")->setText(QStringLiteral("renamed"));
        Click(d, "ok");
      });
  std::string text = "bin=%00%FF%80&n%FF=%FFx";
  EXPECT_TRUE(EditParameterText(nullptr, ListKind::kParameters, &text));
  EXPECT_EQ(text, "bin=%00%FF%80&renamed=%FFx");
}

TEST(ResponseEditorButtons, EnabledByKind) {
  struct Case {
    const char* kind;
    bool session;
  } cases[] = {{".RES", true}, {".res", false}, {".HTML", false}, {".DAT", false}, {"gif", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    ResponseCapture capture{"", ResponseBody::Empty(), c.kind, ""};
    ResponseEditor editor(&capture);
    for (const char* always : {"showHeader", "loadAppend", "save", "close"}) {
      EXPECT_TRUE(Child(&editor, always)->isEnabled()) << always;
    }
    EXPECT_EQ(Child(&editor, "editParameters")->isEnabled(), c.session);
    EXPECT_EQ(Child(&editor, "loadNew")->isEnabled(), c.session);
    EXPECT_EQ(Child(&editor, "showInBrowser")->isEnabled(), !c.session);
  }
}

TEST_F(ResponseEditorTest, ConfirmedParametersLoseTheMarker) {
  script_.Then("ResponseEditor", PressAll({"editParameters", "close"}))
      .Then("ParameterListEditor", [](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), QStringLiteral("CGIパラメータの編集"));
        EXPECT_EQ(ListedNames(d), (std::vector<std::string>{"QServerResult"}));
        Click(d, "ok");
      });
  EXPECT_EQ(EditResponseData("", ResponseBody::String("QServerParams:QServerResult=1"), ".RES"),
            "QServerResult=1");

  // A byte-array body is edited as an empty text and becomes a string.
  script_.Then("ResponseEditor", PressAll({"editParameters", "close"}))
      .Then("ParameterListEditor",
            [](QDialog* d) {
              EXPECT_TRUE(ListedNames(d).empty());
              Click(d, "add");
              Click(d, "ok");
            })
      .Then("ValueEditor", EnterValue("QServerResult", "ok"));
  EXPECT_EQ(EditResponseData("", ResponseBody::Bytes("a=1"), ".RES"), "QServerResult=ok");
}

// Cancelled, the list editor still leaves its text without the marker: the
// answer must not keep "QServerParams:", or the client finds no result in
// it (10032). A byte body survives a cancelled edit.
TEST_F(ResponseEditorTest, CancelledParametersLoseTheMarkerAndKeepBytes) {
  script_.Then("ResponseEditor", PressAll({"editParameters", "close"}))
      .Then("ParameterListEditor", Press("cancel"));
  EXPECT_EQ(EditResponseData("", ResponseBody::String("QServerParams:QServerResult=1"), ".RES"),
            "QServerResult=1");

  WriteFile(Path("saved.RES"), "");
  services_.paths = {Path("saved.RES")};
  script_.Then("ResponseEditor", PressAll({"editParameters", "save", "close"}))
      .Then("ParameterListEditor", Press("cancel"));
  EXPECT_EQ(EditResponseData("", ResponseBody::Bytes("\x01\0\x02"s), ".RES"), "");
  EXPECT_EQ(ReadFile(Path("saved.RES")), "\x01\0\x02"s) << "the byte body was lost";
}

TEST_F(ResponseEditorTest, AppendReplacesTheOldResultAndSavesUnderTheFileName) {
  WriteFile(Path("x.RES"), "x=2");
  services_.paths = {Path("x.RES"), Path("saved.RES")};
  script_.Then("ResponseEditor", PressAll({"loadAppend", "save", "close"}));
  EXPECT_EQ(EditResponseData("", ResponseBody::String("a=1&QServerResult=old"), ".RES"), "a=1&x=2");
  ASSERT_EQ(services_.file_requests.size(), 2u);
  EXPECT_EQ(services_.file_requests[0].kind, ".RES");
  EXPECT_EQ(services_.file_requests[1].default_name, "x.RES");
  EXPECT_EQ(services_.file_requests[1].kind, ".RES");
  EXPECT_EQ(ReadFile(Path("saved.RES")), "a=1&x=2");
}

TEST_F(ResponseEditorTest, LoadNewTakesTextUpToZeroByte) {
  WriteFile(Path("n.RES"), "p=1&QServerResult=\0junk"s);
  services_.paths = {Path("n.RES")};
  script_.Then("ResponseEditor", PressAll({"loadNew", "close"}));
  EXPECT_EQ(EditResponseData("", ResponseBody::Empty(), ".RES"), "p=1&QServerResult=");
}

TEST_F(ResponseEditorTest, LowerCaseKindAnswersNothingWhateverIsEdited) {
  WriteFile(Path("x.res"), "x=2");
  services_.paths = {Path("x.res")};
  // Parameter editing is disabled for this kind: the click opens nothing.
  script_.Then("ResponseEditor", PressAll({"editParameters", "loadAppend", "close"}));
  EXPECT_EQ(EditResponseData("", ResponseBody::String("a=1"), ".res"), "");
  EXPECT_EQ(services_.file_requests.at(0).kind, ".res");
}

TEST_F(ResponseEditorTest, SaveWritesTheBodyAsACaptureFile) {
  struct Case {
    ResponseBody body;
    std::string kind, bytes, result;
  } cases[] = {
      {ResponseBody::Bytes("GIF\0\xff"s), "gif", "GIF\0\xff"s, ""},
      {ResponseBody::Empty(), ".DAT", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    services_.file_requests.clear();
    services_.paths = {Path("body.out")};
    script_.Then("ResponseEditor", PressAll({"save", "close"}));
    EXPECT_EQ(EditResponseData("H", c.body, c.kind), c.result);
    EXPECT_EQ(ReadFile(Path("body.out")), c.bytes);
    ASSERT_EQ(services_.file_requests.size(), 1u);
    EXPECT_EQ(services_.file_requests[0].kind, c.kind);
    EXPECT_EQ(services_.file_requests[0].default_name, "");
  }
}

TEST_F(ResponseEditorTest, BrowserPreviewWritesTempHtmAndOpensIt) {
  script_.Then("ResponseEditor", PressAll({"showInBrowser", "close"}));
  EXPECT_EQ(EditResponseData("", ResponseBody::String("<p>x</p>\0tail"s), ".HTML"), "");
  EXPECT_EQ(ReadFile(Path("temp.htm")), "<p>x</p>");
  EXPECT_EQ(services_.opened, (std::vector<std::string>{Path("temp.htm")}));

  // A preview that cannot be written is reported and nothing is opened.
  services_.temp_dir = Path("missing") + "/";
  script_.Then("ResponseEditor", PressAll({"showInBrowser", "close"}));
  EditResponseData("", ResponseBody::Bytes("x"), "gif");
  EXPECT_EQ(services_.opened.size(), 1u);
  ASSERT_EQ(services_.errors.size(), 1u);
  EXPECT_EQ(services_.errors[0], Path("missing/temp.htm") + "\n" + std::strerror(ENOENT));
}

TEST_F(ResponseEditorTest, BrowserPreviewNeverWritesThroughAPlantedLink) {
  WriteFile(Path("victim"), "precious");
  std::filesystem::create_symlink(Path("victim"), Path("temp.htm"));
  script_.Then("ResponseEditor", PressAll({"showInBrowser", "showInBrowser", "close"}));
  EditResponseData("", ResponseBody::String("<p>new</p>"), ".HTML");
  EXPECT_EQ(ReadFile(Path("victim")), "precious");
  EXPECT_FALSE(std::filesystem::is_symlink(Path("temp.htm")));
  EXPECT_EQ(ReadFile(Path("temp.htm")), "<p>new</p>");
  EXPECT_EQ(services_.opened.size(), 2u);  // the second preview replaced the first
  EXPECT_TRUE(services_.errors.empty());
}

TEST_F(ResponseEditorTest, HeaderViewShowsTheHeaderReadOnly) {
  script_.Then("ResponseEditor", PressAll({"showHeader", "close"}))
      .Then("HeaderView", [](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), QStringLiteral("HTTPヘッダの表示"));
        auto* text = Child<QPlainTextEdit>(d, "headerText");
        EXPECT_TRUE(text->isReadOnly());
        EXPECT_EQ(text->toPlainText(), QStringLiteral("Content-Type: text/html\nX-A: 1\n"));
        Click(d, "close");
      });
  EditResponseData("Content-Type: text/html\r\nX-A: 1\r\n", ResponseBody::String("x"), ".HTML");
}

TEST_F(ResponseEditorTest, FileFailuresLeaveTheBody) {
  services_.paths = {Path("gone.RES"), Path("gone2.RES"), Path("no/dir.RES")};
  script_.Then("ResponseEditor", PressAll({"loadNew", "loadAppend", "save", "close"}));
  EXPECT_EQ(EditResponseData("", ResponseBody::String("a=1"), ".RES"), "a=1");
  EXPECT_EQ(services_.errors.size(), 3u);
  EXPECT_EQ(services_.file_requests.back().default_name, "gone2.RES");
}

TEST_F(MainWindowTest, MenuOpensTheEditorsAndTheDebugRun) {
  MainWindow window;
  EXPECT_EQ(window.windowTitle(), QStringLiteral("QMonitor"));
  const QList<QAction*> menus = window.menuBar()->actions();
  ASSERT_EQ(menus.size(), 1);
  EXPECT_EQ(menus[0]->text(), QStringLiteral("操作"));
  QStringList commands;
  for (QAction* a : menus[0]->menu()->actions()) commands << a->text();
  EXPECT_EQ(commands,
            (QStringList{QStringLiteral("要求データの編集"), QStringLiteral("返送データの編集"),
                         QStringLiteral("サーバ・アプリケーションのデバッグ")}));

  script_.Then("RequestEditor", [](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), QStringLiteral("セッション要求データの編集"));
    Click(d, "close");
  });
  window.findChild<QAction*>(QStringLiteral("editRequest"))->trigger();
  script_.Then("ResponseEditor", [](QDialog* d) {
    EXPECT_EQ(d->windowTitle(), QStringLiteral("セッション返送データの編集"));
    EXPECT_TRUE(Child(d, "editParameters")->isEnabled());  // kind ".RES"
    EXPECT_FALSE(Child(d, "showInBrowser")->isEnabled());
    Click(d, "close");
  });
  window.findChild<QAction*>(QStringLiteral("editResponse"))->trigger();
  EXPECT_EQ(script_.seen().size(), 2u);

  QAction* debug = window.findChild<QAction*>(QStringLiteral("debugRun"));
  debug->trigger();  // no debug run set: nothing
  QWidget* parent = nullptr;
  window.SetDebugRun([&](QWidget* p) { parent = p; });
  debug->trigger();
  EXPECT_EQ(parent, &window);
}

}  // namespace
}  // namespace quillon::monitor

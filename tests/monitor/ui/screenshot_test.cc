// Pictures of the main window and every editor with some content, for a
// person to look at (build/screenshots/monitor/). Runs offscreen, or under
// Xvfb with QT_QPA_PLATFORM=xcb.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include "monitor/ui/editors.h"
#include "monitor/ui/monitor.h"

namespace quillon::monitor {
namespace {

// The build's folder, or QUILLON_SCREENSHOT_DIR for a run on another
// display (the Xvfb run saves its own set beside the offscreen one).
QString ScreenshotDir() {
  const QString dir = qEnvironmentVariable("QUILLON_SCREENSHOT_DIR");
  return dir.isEmpty() ? QStringLiteral(QUILLON_SCREENSHOT_DIR) : dir;
}

void Snap(QWidget* widget, const char* name) {
  widget->show();
  widget->raise();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
  QApplication::processEvents();
  ASSERT_TRUE(QDir().mkpath(ScreenshotDir()));
  const QString path = ScreenshotDir() + QStringLiteral("/%1.png").arg(QLatin1String(name));
  const QPixmap picture = widget->grab();
  ASSERT_FALSE(picture.isNull()) << name;
  ASSERT_TRUE(picture.save(path)) << path.toStdString();
  const QImage back(path);
  EXPECT_EQ(back.size(), picture.size()) << name;
  // Something was drawn: not one flat colour.
  const QImage image = picture.toImage();
  bool varied = false;
  for (int y = 0; y < image.height() && !varied; y += 3) {
    for (int x = 0; x < image.width() && !varied; x += 3) {
      varied = image.pixel(x, y) != image.pixel(0, 0);
    }
  }
  EXPECT_TRUE(varied) << name;
  widget->hide();
}

TEST(Screenshots, MainWindowAndEveryEditor) {
  MainWindow window;
  Snap(&window, "main_window");
  QMenu* menu = window.menuBar()->actions().front()->menu();
  menu->popup(window.mapToGlobal(QPoint(0, window.menuBar()->height())));
  Snap(menu, "main_window_menu");

  RequestCapture request{"HTTP_HOST=localhost", "name=%E5%B1%B1%E7%94%B0&kind=a+b", "sample.REQ"};
  RequestEditor request_editor(&request);
  Snap(&request_editor, "request_editor");

  ResponseCapture response{"Content-Type: text/html\r\nContent-Length: 12\r\n",
                           ResponseBody::String("QServerParams:a=1&QServerResult=OK"), ".RES", ""};
  ResponseEditor response_editor(&response);
  Snap(&response_editor, "response_editor");
  ResponseCapture page{"Content-Type: text/html\r\n", ResponseBody::String("<p>x</p>"), ".HTML",
                       ""};
  ResponseEditor page_editor(&page);
  Snap(&page_editor, "response_editor_page");

  HeaderView header(response.HeaderText);
  Snap(&header, "header_view");

  ParameterListEditor list(ListKind::kParameters,
                           "name=%E5%B1%B1%E7%94%B0&kind=a+b&QServerResult=OK");
  list.findChild<QListWidget*>(QStringLiteral("names"))->setCurrentRow(1);
  Snap(&list, "parameter_list_editor");
  ParameterListEditor environment(ListKind::kEnvironment, "HTTP_HOST=localhost&SERVER_PORT=80");
  Snap(&environment, "environment_list_editor");

  ValueEditor value(NamedValue{"kind", "a b%c\nsecond line"});
  Snap(&value, "value_editor");
}

}  // namespace
}  // namespace quillon::monitor

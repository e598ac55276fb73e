// The about boxes of the controls, with their bitmaps drawn here rather
// than loaded: the library carries no image files.
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "quillon/core/product.h"
#include "quillon/desktop/desktop.h"
#include "quillon/desktop/entry.h"

namespace quillon::desktop {
namespace {

constexpr int kBitmapSize = 32;

QString FromUtf16(const char16_t* text) { return QString::fromUtf16(text); }

QPixmap Canvas() {
  QPixmap pixmap(kBitmapSize, kBitmapSize);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

void Letters(QPainter* p, const QRect& box, const QString& text, const QColor& color) {
  QFont font = p->font();
  font.setBold(true);
  font.setPixelSize(11);
  p->setFont(font);
  p->setPen(color);
  p->drawText(box, Qt::AlignCenter, text);
}

// QServer: a server cabinet with two drive bays and its initials.
QPixmap QServerBitmap() {
  QPixmap pixmap = Canvas();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x20, 0x30, 0x50), 1.5));
  p.setBrush(QColor(0x9c, 0xb8, 0xde));
  p.drawRoundedRect(QRectF(6.5, 1.5, 19, 29), 2, 2);
  p.setBrush(QColor(0x30, 0x44, 0x70));
  p.drawRect(QRectF(9.5, 5.5, 13, 3));
  p.drawRect(QRectF(9.5, 10.5, 13, 3));
  p.setBrush(QColor(0x30, 0xc0, 0x40));
  p.drawEllipse(QPointF(22, 26), 1.5, 1.5);
  Letters(&p, QRect(6, 14, 20, 12), QStringLiteral("QS"), QColor(0x10, 0x20, 0x40));
  return pixmap;
}

// QHtmlDoc: a page with a folded corner and angle brackets.
QPixmap QHtmlDocBitmap() {
  QPixmap pixmap = Canvas();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath page;
  page.moveTo(5.5, 1.5);
  page.lineTo(20.5, 1.5);
  page.lineTo(27.5, 8.5);
  page.lineTo(27.5, 30.5);
  page.lineTo(5.5, 30.5);
  page.closeSubpath();
  p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1.5));
  p.setBrush(Qt::white);
  p.drawPath(page);
  p.setBrush(QColor(0xd8, 0xd8, 0xd8));
  QPainterPath corner;
  corner.moveTo(20.5, 1.5);
  corner.lineTo(20.5, 8.5);
  corner.lineTo(27.5, 8.5);
  corner.closeSubpath();
  p.drawPath(corner);
  Letters(&p, QRect(5, 10, 23, 16), QStringLiteral("</>"), QColor(0xc0, 0x40, 0x10));
  return pixmap;
}

// QClientCtrl: a desktop screen on its stand, with the control's initials.
QPixmap QClientIcon() {
  QPixmap pixmap = Canvas();
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1.5));
  p.setBrush(QColor(0x50, 0x50, 0x58));
  p.drawRect(QRectF(12.5, 24.5, 7, 3));
  p.drawRect(QRectF(8.5, 27.5, 15, 3));
  p.setBrush(QColor(0x2a, 0x6f, 0xc9));
  p.drawRoundedRect(QRectF(1.5, 2.5, 29, 22), 2, 2);
  Letters(&p, QRect(2, 3, 28, 21), QStringLiteral("QC"), Qt::white);
  return pixmap;
}

QLabel* Picture(const QPixmap& pixmap, const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(pixmap);
  label->setObjectName(QString::fromLatin1(name));
  label->setFixedSize(pixmap.size());
  return label;
}

std::unique_ptr<QDialog> AboutDialog(const QString& title,
                                     std::vector<QLabel*> (*pictures)(QWidget*), QWidget* parent) {
  auto dialog = std::make_unique<QDialog>(parent);
  dialog->setWindowTitle(title);
  dialog->setModal(true);
  auto* row = new QHBoxLayout(dialog.get());
  auto* images = new QVBoxLayout;
  for (QLabel* picture : pictures(dialog.get())) images->addWidget(picture);
  images->addStretch();
  row->addLayout(images);
  auto* version = new QLabel(
      FromUtf16(ids::kProductName) + QLatin1Char(' ') + FromUtf16(ids::kProductVersionText),
      dialog.get());
  version->setObjectName(QStringLiteral("version"));
  row->addWidget(version, 1, Qt::AlignTop);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, Qt::Vertical, dialog.get());
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
  row->addWidget(buttons, 0, Qt::AlignTop);
  row->setSpacing(16);
  dialog->setMinimumWidth(320);
  return dialog;
}

}  // namespace

std::unique_ptr<QDialog> MakeAboutBox(int32_t which, QWidget* parent) {
  switch (which) {
    case kQuillonAboutServerModules:
      return AboutDialog(
          FromUtf16(ids::kProductName) + QStringLiteral(" Server Modules"),
          [](QWidget* owner) {
            return std::vector<QLabel*>{Picture(QServerBitmap(), "bitmapQServer", owner),
                                        Picture(QHtmlDocBitmap(), "bitmapQHtmlDoc", owner)};
          },
          parent);
    case kQuillonAboutClientControl:
      return AboutDialog(
          QStringLiteral("QClient Control のバージョン情報"),
          [](QWidget* owner) {
            return std::vector<QLabel*>{Picture(QClientIcon(), "icon", owner)};
          },
          parent);
    default:
      return nullptr;
  }
}

}  // namespace quillon::desktop

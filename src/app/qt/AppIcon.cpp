#include "app/qt/AppIcon.h"

#include <QPainter>
#include <QPixmap>

namespace quorvel {

namespace {

constexpr int kDrawingSize = 64;
const QColor kEdge(0x17, 0x26, 0x7B);
const QColor kDisc(0x5D, 0x87, 0xBE);
const QColor kDiscInner(0x7C, 0x9C, 0xBF);
const QColor kBar(0x1A, 0x6E, 0xE2);
const QColor kGrey(0xE0, 0xE0, 0xE0);

QPixmap paintIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal scale = static_cast<qreal>(size) / kDrawingSize;
    painter.scale(scale, scale);

    painter.setPen(QPen(kEdge, 2));
    painter.setBrush(kGrey);
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);

    painter.setBrush(kDisc);
    painter.drawEllipse(QPointF(32, 27), 20, 20);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kDiscInner);
    painter.drawEllipse(QPointF(32, 27), 12, 12);
    painter.setPen(QPen(kEdge, 1.5));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(32, 27), 4, 4);

    painter.setPen(QPen(kEdge, 1));
    painter.drawRect(QRectF(8.5, 50.5, 47, 7));
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBar);
    painter.drawRect(QRectF(10, 52, 33, 4));
    return pixmap;
}

}  // namespace

QIcon appIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128}) icon.addPixmap(paintIcon(size));
    return icon;
}

}  // namespace quorvel

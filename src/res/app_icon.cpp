#include "res/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "res/resource_ids.h"

namespace kestrel {
namespace {

// Outline of a hovering kestrel seen from below, on a 64 x 64 grid: pointed, swept wings, a
// small head and the long, slightly fanned tail.
QPainterPath KestrelSilhouette() {
    QPainterPath head;
    head.addEllipse(QPointF(32, 14), 4.5, 5);
    QPainterPath body;
    body.addEllipse(QPointF(32, 27), 5.5, 11);
    const QPolygonF wings{{28, 20}, {20, 19}, {11, 22}, {3, 29},  {13, 27}, {22, 28}, {29, 31},
                          {35, 31}, {42, 28}, {51, 27}, {61, 29}, {53, 22}, {44, 19}, {36, 20}};
    const QPolygonF tail{{29, 35}, {35, 35}, {39, 57}, {32, 59}, {25, 57}};
    QPainterPath outline;
    outline.addPolygon(wings);
    outline.addPolygon(tail);
    outline.setFillRule(Qt::WindingFill);
    return head.united(body).united(outline);
}

}  // namespace

QImage DrawAppIcon(int size) {
    if (size < 1) return {};
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);

    QLinearGradient sky(0, 0, 0, 64);
    sky.setColorAt(0, QColor(0x9c, 0xcc, 0xf0));
    sky.setColorAt(1, QColor(0xe4, 0xf2, 0xfb));
    painter.setPen(QPen(QColor(0x3a, 0x6e, 0x96), 1.5));
    painter.setBrush(sky);
    painter.drawRoundedRect(QRectF(1, 1, 62, 62), 10, 10);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x7a, 0x3b, 0x12));
    painter.drawPath(KestrelSilhouette());
    painter.end();
    return image;
}

QIcon LoadAppIcon(int id) {
    if (id != IDR_MAINFRAME) return {};
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addPixmap(QPixmap::fromImage(DrawAppIcon(size)));
    return icon;
}

}  // namespace kestrel

#include "ui/AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>
#include <numbers>

QImage DrawAppIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);  // drawn on a 64 x 64 grid

    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, QColor(0x2b, 0x6c, 0xb0));
    tile.setColorAt(1, QColor(0x17, 0x3a, 0x6b));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // One and a half periods of a sine, and the samples a coarse rate would take of it.
    const auto wave = [](double x) {
        return 32.0 - 17.0 * std::sin((x - 8.0) / 48.0 * 3.0 * std::numbers::pi);
    };
    QPainterPath curve;
    curve.moveTo(8, wave(8));
    for (double x = 8.5; x <= 56.0; x += 0.5) curve.lineTo(x, wave(x));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xf4, 0xf7, 0xfb), 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(curve);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xa6, 0x2b));
    for (double x = 8.0; x <= 56.0; x += 8.0) p.drawEllipse(QPointF(x, wave(x)), 3.6, 3.6);
    return image;
}

QIcon MakeAppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(DrawAppIcon(size)));
    return icon;
}

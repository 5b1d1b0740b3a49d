#include "IconPainter.h"

#include <QFont>
#include <QPainter>

namespace vantry::demo::IconPainter {

QColor readableInk(const QColor &background)
{
    // Perceived lightness (ITU-R BT.601 weights), on 0..255.
    const int lightness =
        (299 * background.red() + 587 * background.green() + 114 * background.blue()) / 1000;
    return lightness > 150 ? QColor(0x1c, 0x1c, 0x1c) : QColor(Qt::white);
}

QImage render(const QColor &colour, const QString &letter)
{
    QImage image(iconSize, iconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    const QRectF square(8, 8, iconSize - 16, iconSize - 16);
    painter.drawRoundedRect(square, 48, 48);
    QFont font;
    font.setPixelSize(iconSize * 5 / 8);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(readableInk(colour));
    painter.drawText(square, Qt::AlignCenter, letter);
    painter.end();
    return image;
}

} // namespace vantry::demo::IconPainter

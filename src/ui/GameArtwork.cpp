#include <ui/GameArtwork.h>

#include <ui/Theme.h>

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace vantry {

namespace {

// How dark the scrim gets behind the title; the contrast test holds every theme's title ink to
// 4.5:1 over it. The banner's motif keeps clear of its title, so its scrim only deepens the
// gradient; the cover's name sits on its motif.
constexpr double heroScrim = 0.3;
constexpr double coverScrim = 0.7;

double unitOf(GameArtwork::Format format, QSize size)
{
    return size.height() / GameArtwork::designHeight(format);
}

QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(float(std::clamp(alpha, 0.0, 1.0)));
    return color;
}

void paintGradient(QPainter &painter, const GameArtPalette &palette, const QRectF &frame)
{
    QLinearGradient gradient(frame.topLeft(), frame.bottomRight());
    gradient.setColorAt(0, palette.top);
    gradient.setColorAt(1, palette.bottom);
    painter.fillRect(frame, gradient);
}

// In the hero the motif stays out from under the title and fades in beyond it.
void paintMotifLayer(QPainter &painter, const GameArtwork::Request &request,
                     const GameArtPalette &palette, const QRectF &frame, bool hasIcon)
{
    QImage layer(request.size, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter motif(&layer);
        motif.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
        paintMotif(motif, gameArtMotif(request.entryID), palette, request.format, frame, hasIcon);
        if (request.format == GameArtwork::Format::hero) {
            const QRectF title = GameArtwork::titleRect(request.format, request.size);
            QLinearGradient fade(frame.topLeft(), frame.topRight());
            const auto at = [&frame](double x) { return std::clamp(x / frame.width(), 0.0, 1.0); };
            fade.setColorAt(at(title.left() - 1), Qt::black);
            fade.setColorAt(at(title.left()), Qt::transparent);
            fade.setColorAt(at(title.right()), Qt::transparent);
            fade.setColorAt(at(title.right() + 0.14 * frame.width()), Qt::black);
            motif.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            motif.fillRect(frame, fade);
        }
    }
    painter.drawImage(0, 0, layer);
}

void paintIcon(QPainter &painter, const QImage &icon, const QRectF &target)
{
    // A soft shadow lifts the icon off the motif.
    const double reach = target.width() * 0.06;
    painter.setPen(Qt::NoPen);
    for (int step = 4; step >= 1; --step) {
        const double grow = reach * step / 4;
        painter.setBrush(QColor(0, 0, 0, 22));
        painter.drawRoundedRect(target.adjusted(-grow, -grow + reach, grow, grow + reach),
                                target.width() * 0.22 + grow, target.width() * 0.22 + grow);
    }
    const QImage scaled = icon.scaled(target.size().toSize(), Qt::KeepAspectRatio,
                                      Qt::SmoothTransformation);
    const QPointF at(target.center().x() - scaled.width() / 2.0,
                     target.center().y() - scaled.height() / 2.0);
    painter.drawImage(at, scaled);
}

void paintScrim(QPainter &painter, GameArtwork::Format format, const QRectF &frame)
{
    const QRectF title = GameArtwork::titleRect(format, frame.size().toSize());
    switch (format) {
    case GameArtwork::Format::hero: {
        const QColor dark = withAlpha(Qt::black, heroScrim);
        QLinearGradient scrim(frame.left(), 0, frame.right(), 0);
        // Clear over the icon, dark behind the title, fading out over the motif.
        const double solid = title.right() / frame.width();
        const QRectF icon = GameArtwork::iconRect(format, frame.size().toSize());
        scrim.setColorAt(std::clamp(icon.right() / frame.width(), 0.0, 1.0), Qt::transparent);
        scrim.setColorAt(std::clamp(title.left() / frame.width(), 0.0, 1.0), dark);
        scrim.setColorAt(std::min(solid, 1.0), dark);
        scrim.setColorAt(std::min(solid + 0.22, 1.0), Qt::transparent);
        painter.fillRect(frame, scrim);
        return;
    }
    case GameArtwork::Format::cover: {
        const QColor dark = withAlpha(Qt::black, coverScrim);
        QLinearGradient scrim(0, frame.top(), 0, frame.bottom());
        const double solid = title.top() / frame.height();
        scrim.setColorAt(std::max(solid - 0.25, 0.0), Qt::transparent);
        scrim.setColorAt(solid, dark);
        scrim.setColorAt(1, dark);
        painter.fillRect(frame, scrim);
        return;
    }
    }
}

// The raster engine clips without antialiasing, so the rounded frame is applied as a mask.
void clipToFrame(QImage &image, double radius)
{
    QImage mask(image.size(), QImage::Format_ARGB32_Premultiplied);
    mask.fill(Qt::transparent);
    {
        QPainter painter(&mask);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath frame;
        frame.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(image.size())), radius, radius);
        painter.fillPath(frame, Qt::black);
    }
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    painter.drawImage(0, 0, mask);
}

} // namespace

QImage GameArtwork::render(const Request &request)
{
    return render(request, Layer::gradient | Layer::motif | Layer::icon | Layer::scrim);
}

QImage GameArtwork::render(const Request &request, Layers layers)
{
    if (request.size.isEmpty())
        return {};
    QImage image(request.size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.fill(Qt::transparent);
    const GameArtPalette &palette = GameArtPalette::palette(request.entryID);
    const QRectF frame(QPointF(0, 0), QSizeF(request.size));
    const bool hasIcon = !request.icon.isNull() && showsIcon(request.entryID, request.format);
    {
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        if (layers.testFlag(Layer::gradient))
            paintGradient(painter, palette, frame);
        if (layers.testFlag(Layer::motif))
            paintMotifLayer(painter, request, palette, frame, hasIcon);
        if (hasIcon && layers.testFlag(Layer::icon))
            paintIcon(painter, request.icon, iconRect(request.format, request.size));
        if (layers.testFlag(Layer::scrim))
            paintScrim(painter, request.format, frame);
    }
    const double radius = Theme::forID(request.theme).panelCornerRadius;
    clipToFrame(image, radius * unitOf(request.format, request.size));
    return image;
}

QRectF GameArtwork::titleRect(Format format, QSize size)
{
    const double unit = unitOf(format, size);
    switch (format) {
    case Format::hero: {
        // Beside the icon, on the leading side: 58 % of a wide banner, and room for a name, a
        // badge and a line of actions in a banner narrowed by the detail pane.
        const double width = std::max(0.58 * size.width() - 180 * unit,
                                      std::min(size.width() - 200 * unit, 320 * unit));
        return {180 * unit, 16 * unit, std::max(0.0, width),
                std::max(0.0, size.height() - 32 * unit)};
    }
    case Format::cover:
        return {10 * unit, size.height() - 40 * unit, std::max(0.0, size.width() - 20 * unit),
                30 * unit};
    }
    Q_UNREACHABLE();
}

QRectF GameArtwork::iconRect(Format format, QSize size)
{
    const double unit = unitOf(format, size);
    switch (format) {
    case Format::hero: {
        const double side = 132 * unit;
        return {24 * unit, (size.height() - side) / 2, side, side};
    }
    case Format::cover:
        return {10 * unit, 10 * unit, 34 * unit, 34 * unit};
    }
    Q_UNREACHABLE();
}

QColor GameArtwork::titleInk(ThemeID theme, const Appearance &appearance)
{
    // The theme's ink for readouts on their dark fill: the scrim is such a fill in every theme.
    return Theme::forID(theme).counterText.resolved(appearance);
}

bool GameArtwork::showsIcon(const QString &entryID, Format format)
{
    // Swirlo's street is its cover; its icon joins the street only in the wide banner.
    return format == Format::hero || entryID.toLower() != u"swirlo";
}

double GameArtwork::designHeight(Format format)
{
    switch (format) {
    case Format::hero:
        return 220;
    case Format::cover:
        return 120;
    }
    Q_UNREACHABLE();
}

QString rawValue(GameArtwork::Format format)
{
    switch (format) {
    case GameArtwork::Format::hero:
        return QStringLiteral("hero");
    case GameArtwork::Format::cover:
        return QStringLiteral("cover");
    }
    Q_UNREACHABLE();
}

} // namespace vantry

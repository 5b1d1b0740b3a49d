#pragma once

#include <ui/Appearance.h>
#include <ui/GameArt.h>
#include <ui/ThemeID.h>

#include <QColor>
#include <QFlags>
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QString>

class QPainter;

namespace vantry {

/// A game's drawn artwork: its gradient, its motif, its verified icon and the scrim that keeps
/// the title legible, clipped to the theme's rounded frame. Pure drawing: safe on any thread,
/// the same pixels for the same request.
class GameArtwork
{
public:
    enum class Format { hero, cover };
    /// The layers, bottom to top; a request draws all of them unless told otherwise.
    enum class Layer { gradient = 1, motif = 2, icon = 4, scrim = 8 };
    Q_DECLARE_FLAGS(Layers, Layer)

    struct Request {
        QString entryID;
        QImage icon;            // null: no verified icon
        Format format = Format::cover;
        QSize size;             // device pixels of the frame
        ThemeID theme = ThemeID::arcade;
        Appearance appearance;  // resolves `modern`'s light/dark colours
    };

    /// The artwork in an ARGB32-premultiplied image of exactly `size`; transparent outside the
    /// clip (a rounded rectangle of the theme's corner radius).
    [[nodiscard]] static QImage render(const Request &request);
    [[nodiscard]] static QImage render(const Request &request, Layers layers);
    /// Where the window draws the title's name over the artwork, in the frame's pixels, and the
    /// ink it uses there: the scrim keeps that ink at contrast >= 4.5:1 in every theme.
    [[nodiscard]] static QRectF titleRect(Format format, QSize size);
    [[nodiscard]] static QColor titleInk(ThemeID theme, const Appearance &appearance);
    /// Where the verified icon goes, in the frame's pixels.
    [[nodiscard]] static QRectF iconRect(Format format, QSize size);
    /// Whether the artwork shows the game's icon in this format, given that it has one.
    [[nodiscard]] static bool showsIcon(const QString &entryID, Format format);
    /// The height, in points, the frame of each format is designed for: everything drawn scales
    /// with the frame's height over it, so a frame twice as high is the same art at twice the
    /// pixel density.
    [[nodiscard]] static double designHeight(Format format);
};

Q_DECLARE_OPERATORS_FOR_FLAGS(GameArtwork::Layers)

/// "hero" or "cover".
[[nodiscard]] QString rawValue(GameArtwork::Format format);

/// Draws one motif into `frame` (the frame's own pixels, `unit` pixels a point).
void paintMotif(QPainter &painter, GameArtMotif motif, const GameArtPalette &palette,
                GameArtwork::Format format, const QRectF &frame, bool hasIcon);

} // namespace vantry

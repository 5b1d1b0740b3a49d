#pragma once

#include <ui/Appearance.h>
#include <ui/ThemeID.h>

#include <QColor>
#include <QString>

#include <optional>

namespace vantry {

/// One palette colour. Outside `modern` both values are the same; in `modern` it is a light and
/// a dark value, or the user's accent, picked when it is drawn.
struct ThemeColor {
    QColor light;
    QColor dark;
    bool systemAccent = false;

    /// The colour to draw under `appearance`.
    [[nodiscard]] QColor resolved(const Appearance &appearance) const;
};

/// Everything a surface is drawn from: colours, corner radius, font design and switches. There is
/// one fixed record per ThemeID; views never hard-code a colour.
struct Theme {
    // `standard` is the platform's default design (`default` is a keyword).
    enum class FontDesign { standard, rounded, serif };
    enum class BadgeKind { get, installed, update, running, failed, unavailable };
    struct BadgeColors {
        QColor fill;
        QColor ink;
    };

    ThemeID id = ThemeID::arcade;
    QString name;
    QString blurb;
    QString pickerSymbol;
    ThemeColor windowTop, windowBottom;
    bool usesMaterial = false;
    ThemeColor panelFill, panelStroke;
    double panelCornerRadius = 0;
    ThemeColor cardFill, cardStroke;
    ThemeColor iconWellFill;
    ThemeColor progressTrack, progressFill;
    FontDesign displayFontDesign = FontDesign::standard;
    ThemeColor accent;
    std::optional<ThemeColor> counterFill;
    ThemeColor counterText;
    ThemeColor primaryText, secondaryText;
    ThemeColor segmentTrack;
    ThemeColor selectedSegmentText;
    ThemeColor alertColor;
    ThemeColor celebration;

    /// The shared record of each theme, built once on first use.
    [[nodiscard]] static const Theme &modern();
    [[nodiscard]] static const Theme &arcade();
    [[nodiscard]] static const Theme &atrium();
    [[nodiscard]] static const Theme &angkor();
    [[nodiscard]] static const Theme &forID(ThemeID id);

    /// The fill and ink of a status badge: accent (or alert) fills with an ink that reads on them,
    /// neutral track with secondary text for `running` and `unavailable`.
    [[nodiscard]] BadgeColors badge(BadgeKind kind, const Appearance &appearance) const;

    /// White on a dark background, the near-black 101014 on a light one, by relative luminance;
    /// a colour that cannot be taken as sRGB counts as black.
    [[nodiscard]] static QColor readableInk(const QColor &background);
};

} // namespace vantry

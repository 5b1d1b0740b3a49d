#include <ui/Theme.h>

#include <QCoreApplication>

#include <cmath>

namespace vantry {

namespace {

ThemeColor fixed(QRgb rgb)
{
    return {QColor(rgb), QColor(rgb), false};
}
ThemeColor pair(QRgb light, QRgb dark)
{
    return {QColor(light), QColor(dark), false};
}
ThemeColor systemAccent()
{
    return {QColor(), QColor(), true};
}

QString blurb(const char *text)
{
    return QCoreApplication::translate("Theme", text);
}

// Each theme starts from its identity; the palettes below set every colour field.
Theme identity(ThemeID id)
{
    Theme theme;
    theme.id = id;
    theme.name = displayName(id);
    theme.pickerSymbol = pickerSymbol(id);
    return theme;
}

Theme makeModern()
{
    Theme t = identity(ThemeID::modern);
    t.blurb = blurb(QT_TRANSLATE_NOOP(
        "Theme", "Clean translucent macOS look that follows Light and Dark Mode."));
    t.windowTop = pair(0xECECF0, 0x232326);
    t.windowBottom = pair(0xDDDDE3, 0x161619);
    t.usesMaterial = true;
    t.panelFill = pair(0xFFFFFF, 0x2C2C31);
    t.panelStroke = pair(0xC8C8CE, 0x4A4A50);
    t.panelCornerRadius = 12;
    t.cardFill = pair(0xFFFFFF, 0x2C2C31);
    t.cardStroke = pair(0xC6C6CC, 0x505056);
    t.iconWellFill = pair(0xE9E9EE, 0x1C1C20);
    t.progressTrack = pair(0xD8D8DE, 0x3A3A40);
    t.progressFill = systemAccent();
    t.displayFontDesign = Theme::FontDesign::standard;
    t.accent = systemAccent();
    t.counterFill = pair(0x333338, 0x0E0E11);
    t.counterText = pair(0xF2F2F5, 0xECECF2);
    t.primaryText = pair(0x1A1A1E, 0xF2F2F5);
    t.secondaryText = pair(0x5A5A60, 0xA8A8B0);
    t.segmentTrack = pair(0xE3E3E8, 0x333338);
    t.selectedSegmentText = pair(0x1A1A1E, 0xF2F2F5);
    t.alertColor = pair(0xD7263D, 0xFF5A4E);
    t.celebration = pair(0xC98A10, 0xFFD166);
    return t;
}

Theme makeArcade()
{
    Theme t = identity(ThemeID::arcade);
    t.blurb = blurb(QT_TRANSLATE_NOOP(
        "Theme",
        "Neon marquee over cabinet vinyl — the arcade foyer the collection's games live in."));
    t.windowTop = fixed(0x1A1424);
    t.windowBottom = fixed(0x0C0A12);
    t.panelFill = fixed(0x241C33);
    t.panelStroke = fixed(0x4A3A66);
    t.panelCornerRadius = 10;
    t.cardFill = fixed(0x2A2140);
    t.cardStroke = fixed(0x5A4A80);
    t.iconWellFill = fixed(0x161022);
    t.progressTrack = fixed(0x1C1529);
    t.progressFill = fixed(0xEC2C8A);
    t.displayFontDesign = Theme::FontDesign::rounded;
    t.accent = fixed(0xEC2C8A);
    t.counterFill = fixed(0x120D1C);
    t.counterText = fixed(0x9FE8FF);
    t.primaryText = fixed(0xF2EEFA);
    t.secondaryText = fixed(0xB9A8E0);
    t.segmentTrack = fixed(0x1C1529);
    t.selectedSegmentText = fixed(0x14101E);
    t.alertColor = fixed(0xFF5C5C);
    t.celebration = fixed(0xFFD166);
    return t;
}

Theme makeAtrium()
{
    Theme t = identity(ThemeID::atrium);
    t.blurb = blurb(QT_TRANSLATE_NOOP(
        "Theme",
        "A bright gallery: warm off-white walls, stone-plinth cards, one confident accent."));
    t.windowTop = fixed(0xF5EFE4);
    t.windowBottom = fixed(0xE8DFCE);
    t.panelFill = fixed(0xFFFFFF);
    t.panelStroke = fixed(0xC9BCA0);
    t.panelCornerRadius = 14;
    t.cardFill = fixed(0xFFFFFF);
    t.cardStroke = fixed(0xCFC2A8);
    t.iconWellFill = fixed(0xEFE7D6);
    t.progressTrack = fixed(0xE4DAC6);
    t.progressFill = fixed(0xB3442C);
    t.displayFontDesign = Theme::FontDesign::serif;
    t.accent = fixed(0xB3442C);
    t.counterFill = fixed(0x2E2620);
    t.counterText = fixed(0xF2E3C6);
    t.primaryText = fixed(0x2E2620);
    t.secondaryText = fixed(0x6E5F4E);
    t.segmentTrack = fixed(0xE4DAC6);
    t.selectedSegmentText = fixed(0xFDF9F0);
    t.alertColor = fixed(0xD0342C);
    t.celebration = fixed(0xC98A10);
    return t;
}

Theme makeAngkor()
{
    Theme t = identity(ThemeID::angkor);
    t.blurb = blurb(QT_TRANSLATE_NOOP(
        "Theme", "Khmer temple stone — carved sandstone, pale limestone and saffron gold."));
    t.windowTop = fixed(0x4A3F33);
    t.windowBottom = fixed(0x2A231C);
    t.panelFill = fixed(0x5A4C3E);
    t.panelStroke = fixed(0x8C7455);
    t.panelCornerRadius = 12;
    t.cardFill = fixed(0x5A4C3E);
    t.cardStroke = fixed(0x8C7455);
    t.iconWellFill = fixed(0x2B1F14);
    t.progressTrack = fixed(0x3B3128);
    t.progressFill = fixed(0xE8A33D);
    t.displayFontDesign = Theme::FontDesign::serif;
    t.accent = fixed(0xC9A227);
    t.counterFill = fixed(0x2A231C);
    t.counterText = fixed(0xE8C87A);
    t.primaryText = fixed(0xF0E6D2);
    t.secondaryText = fixed(0xD9BE73);
    t.segmentTrack = fixed(0x3B3128);
    t.selectedSegmentText = fixed(0x2A231C);
    t.alertColor = fixed(0xFF8A5B);
    t.celebration = fixed(0xE8A33D);
    return t;
}

// The system's own blue, for a desktop that offers no accent colour.
const QColor fallbackAccentLight(0x007AFF);
const QColor fallbackAccentDark(0x0A84FF);

double linear(double c)
{
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

} // namespace

QColor ThemeColor::resolved(const Appearance &appearance) const
{
    const bool dark = appearance.scheme == Appearance::Scheme::dark;
    if (systemAccent) {
        if (appearance.accent.isValid())
            return appearance.accent;
        return dark ? fallbackAccentDark : fallbackAccentLight;
    }
    return dark ? this->dark : light;
}

const Theme &Theme::modern()
{
    static const Theme theme = makeModern();
    return theme;
}

const Theme &Theme::arcade()
{
    static const Theme theme = makeArcade();
    return theme;
}

const Theme &Theme::atrium()
{
    static const Theme theme = makeAtrium();
    return theme;
}

const Theme &Theme::angkor()
{
    static const Theme theme = makeAngkor();
    return theme;
}

const Theme &Theme::forID(ThemeID id)
{
    switch (id) {
    case ThemeID::modern:
        return modern();
    case ThemeID::arcade:
        return arcade();
    case ThemeID::atrium:
        return atrium();
    case ThemeID::angkor:
        return angkor();
    }
    return arcade();
}

Theme::BadgeColors Theme::badge(BadgeKind kind, const Appearance &appearance) const
{
    QColor fill;
    switch (kind) {
    case BadgeKind::running:
    case BadgeKind::unavailable:
        return {segmentTrack.resolved(appearance), secondaryText.resolved(appearance)};
    case BadgeKind::get:
    case BadgeKind::installed:
    case BadgeKind::update:
        fill = accent.resolved(appearance);
        break;
    case BadgeKind::failed:
        fill = alertColor.resolved(appearance);
        break;
    }
    // The user's accent may be any colour, so modern picks its ink by the fill's luminance.
    const QColor ink =
        id == ThemeID::modern ? readableInk(fill) : selectedSegmentText.resolved(appearance);
    return {fill, ink};
}

QColor Theme::readableInk(const QColor &background)
{
    const QColor rgb = background.isValid() ? background.toRgb() : QColor(Qt::black);
    const double luminance =
        0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
    return luminance <= 0.179 ? QColor(Qt::white) : QColor(16, 16, 20);
}

} // namespace vantry

#include <ui/ThemePalette.h>

#include <ui/AppSettings.h>
#include <ui/QmlNames.h>
#include <ui/StatusPresentation.h>

namespace vantry {

ThemePalette::ThemePalette(AppSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    connect(&m_settings, &AppSettings::themeIDChanged, this, &ThemePalette::changed);
}

void ThemePalette::setAppearance(const Appearance &appearance)
{
    if (appearance.scheme == m_appearance.scheme && appearance.accent == m_appearance.accent)
        return;
    m_appearance = appearance;
    Q_EMIT changed();
}

const Theme &ThemePalette::theme() const
{
    return m_settings.theme();
}

QColor ThemePalette::resolved(ThemeColor Theme::*field) const
{
    return (theme().*field).resolved(m_appearance);
}

QString ThemePalette::raw() const
{
    return rawValue(theme().id);
}

double ThemePalette::cornerRadius() const
{
    return theme().panelCornerRadius;
}

QColor ThemePalette::accentInk() const
{
    return pillInk(ClubhouseStatePresentation::Tone::accent, theme(), m_appearance);
}

QColor ThemePalette::counterFill() const
{
    // A theme without a counter fill draws its counters on the segment track.
    const auto &fill = theme().counterFill;
    return fill ? fill->resolved(m_appearance) : segmentTrack();
}

QString ThemePalette::displayFontFamily() const
{
    switch (theme().displayFontDesign) {
    case Theme::FontDesign::standard:
        return QStringLiteral("sans-serif");
    case Theme::FontDesign::rounded:
        // Fontconfig has no rounded generic; a rounded face where one is installed.
        return QStringLiteral("Comfortaa, Nunito, Varela Round, sans-serif");
    case Theme::FontDesign::serif:
        return QStringLiteral("serif");
    }
    Q_UNREACHABLE();
}

QVariantMap ThemePalette::badges() const
{
    using Kind = Theme::BadgeKind;
    QVariantMap map;
    for (const Kind kind : {Kind::get, Kind::installed, Kind::update, Kind::running, Kind::failed,
                            Kind::unavailable}) {
        const Theme::BadgeColors colors = theme().badge(kind, m_appearance);
        map.insert(QmlNames::name(kind), QVariantMap{{QStringLiteral("fill"), colors.fill},
                                                    {QStringLiteral("ink"), colors.ink}});
    }
    return map;
}

QVariantMap ThemePalette::pills() const
{
    using Tone = ClubhouseStatePresentation::Tone;
    QVariantMap map;
    for (const Tone tone : {Tone::accent, Tone::neutral, Tone::celebration, Tone::alert}) {
        map.insert(QmlNames::name(tone),
                   QVariantMap{{QStringLiteral("fill"), pillFill(tone, theme(), m_appearance)},
                               {QStringLiteral("ink"), pillInk(tone, theme(), m_appearance)}});
    }
    return map;
}

} // namespace vantry

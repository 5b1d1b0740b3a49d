#pragma once

#include <ui/Appearance.h>
#include <ui/Theme.h>

#include <QColor>
#include <QObject>
#include <QVariantMap>

namespace vantry {

class AppSettings;

/// The current theme's colours as the window draws them: the chosen theme's record resolved
/// under the desktop's appearance. Every view binds to these properties, so a theme or appearance
/// change repaints everything at once. Main thread only.
class ThemePalette : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString raw READ raw NOTIFY changed)
    Q_PROPERTY(bool dark READ dark NOTIFY changed)
    Q_PROPERTY(QColor windowTop READ windowTop NOTIFY changed)
    Q_PROPERTY(QColor windowBottom READ windowBottom NOTIFY changed)
    Q_PROPERTY(QColor panelFill READ panelFill NOTIFY changed)
    Q_PROPERTY(QColor panelStroke READ panelStroke NOTIFY changed)
    Q_PROPERTY(double cornerRadius READ cornerRadius NOTIFY changed)
    Q_PROPERTY(QColor cardFill READ cardFill NOTIFY changed)
    Q_PROPERTY(QColor cardStroke READ cardStroke NOTIFY changed)
    Q_PROPERTY(QColor iconWellFill READ iconWellFill NOTIFY changed)
    Q_PROPERTY(QColor progressTrack READ progressTrack NOTIFY changed)
    Q_PROPERTY(QColor progressFill READ progressFill NOTIFY changed)
    Q_PROPERTY(QColor accent READ accent NOTIFY changed)
    Q_PROPERTY(QColor accentInk READ accentInk NOTIFY changed)
    Q_PROPERTY(QColor counterFill READ counterFill NOTIFY changed)
    Q_PROPERTY(QColor counterText READ counterText NOTIFY changed)
    Q_PROPERTY(QColor primaryText READ primaryText NOTIFY changed)
    Q_PROPERTY(QColor secondaryText READ secondaryText NOTIFY changed)
    Q_PROPERTY(QColor segmentTrack READ segmentTrack NOTIFY changed)
    Q_PROPERTY(QColor selectedSegmentText READ selectedSegmentText NOTIFY changed)
    Q_PROPERTY(QColor alertColor READ alertColor NOTIFY changed)
    Q_PROPERTY(QColor celebration READ celebration NOTIFY changed)
    Q_PROPERTY(QString displayFontFamily READ displayFontFamily NOTIFY changed)
    /// Badge kind ("get", "installed", ...) → {fill, ink}.
    Q_PROPERTY(QVariantMap badges READ badges NOTIFY changed)
    /// Pill tone ("accent", "neutral", "celebration", "alert") → {fill, ink}.
    Q_PROPERTY(QVariantMap pills READ pills NOTIFY changed)

public:
    explicit ThemePalette(AppSettings &settings, QObject *parent = nullptr);

    /// The desktop's appearance changed (or was first learnt).
    void setAppearance(const Appearance &appearance);

    [[nodiscard]] QString raw() const;
    [[nodiscard]] bool dark() const { return m_appearance.scheme == Appearance::Scheme::dark; }
    [[nodiscard]] QColor windowTop() const { return resolved(&Theme::windowTop); }
    [[nodiscard]] QColor windowBottom() const { return resolved(&Theme::windowBottom); }
    [[nodiscard]] QColor panelFill() const { return resolved(&Theme::panelFill); }
    [[nodiscard]] QColor panelStroke() const { return resolved(&Theme::panelStroke); }
    [[nodiscard]] double cornerRadius() const;
    [[nodiscard]] QColor cardFill() const { return resolved(&Theme::cardFill); }
    [[nodiscard]] QColor cardStroke() const { return resolved(&Theme::cardStroke); }
    [[nodiscard]] QColor iconWellFill() const { return resolved(&Theme::iconWellFill); }
    [[nodiscard]] QColor progressTrack() const { return resolved(&Theme::progressTrack); }
    [[nodiscard]] QColor progressFill() const { return resolved(&Theme::progressFill); }
    [[nodiscard]] QColor accent() const { return resolved(&Theme::accent); }
    [[nodiscard]] QColor accentInk() const;
    [[nodiscard]] QColor counterFill() const;
    [[nodiscard]] QColor counterText() const { return resolved(&Theme::counterText); }
    [[nodiscard]] QColor primaryText() const { return resolved(&Theme::primaryText); }
    [[nodiscard]] QColor secondaryText() const { return resolved(&Theme::secondaryText); }
    [[nodiscard]] QColor segmentTrack() const { return resolved(&Theme::segmentTrack); }
    [[nodiscard]] QColor selectedSegmentText() const { return resolved(&Theme::selectedSegmentText); }
    [[nodiscard]] QColor alertColor() const { return resolved(&Theme::alertColor); }
    [[nodiscard]] QColor celebration() const { return resolved(&Theme::celebration); }
    [[nodiscard]] QString displayFontFamily() const;
    [[nodiscard]] QVariantMap badges() const;
    [[nodiscard]] QVariantMap pills() const;

Q_SIGNALS:
    void changed();

private:
    [[nodiscard]] const Theme &theme() const;
    [[nodiscard]] QColor resolved(ThemeColor Theme::*field) const;

    AppSettings &m_settings;
    Appearance m_appearance;
};

} // namespace vantry

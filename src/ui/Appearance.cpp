#include <ui/Appearance.h>

#include <core/OffMain.h>

#include <QPalette>

namespace vantry {

Appearance appearanceFrom(const DesktopAppearance::Preference &desktop, const QPalette &palette)
{
    Appearance appearance;
    if (desktop.colorScheme) {
        switch (*desktop.colorScheme) {
        case DesktopAppearance::ColorScheme::dark:
            appearance.scheme = Appearance::Scheme::dark;
            break;
        case DesktopAppearance::ColorScheme::light:
        case DesktopAppearance::ColorScheme::noPreference:
            appearance.scheme = Appearance::Scheme::light;
            break;
        }
    } else if (palette.color(QPalette::Window).lightness() < 128) {
        appearance.scheme = Appearance::Scheme::dark;
    }
    if (desktop.accent) {
        const auto &[r, g, b] = *desktop.accent;
        appearance.accent = QColor::fromRgbF(float(r), float(g), float(b));
    } else {
        appearance.accent = palette.color(QPalette::Highlight);
    }
    return appearance;
}

QCoro::Task<Appearance> currentAppearance(QPalette palette)
{
    auto ask = &DesktopAppearance::read;
    const DesktopAppearance::Preference desktop = co_await offMain(ask);
    co_return appearanceFrom(desktop, palette);
}

} // namespace vantry

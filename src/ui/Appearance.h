#pragma once

#include <platform/DesktopAppearance.h>

#include <QColor>
#include <QCoroTask>

class QPalette;

namespace vantry {

/// The desktop's look that the `modern` theme follows: light or dark, and the user's accent.
struct Appearance {
    enum class Scheme { light, dark };
    Scheme scheme = Scheme::light;
    /// The user's system-wide accent colour; invalid when the desktop offers none.
    QColor accent;
};

/// The appearance from what the desktop's portal said, falling back to the application palette:
/// a stated light or dark preference wins; "no preference" is light (a desktop that states
/// nothing is in its default, light look); without a portal answer the palette's window colour
/// decides (dark when its lightness is below the middle). The accent is the portal's, else the
/// palette's highlight.
[[nodiscard]] Appearance appearanceFrom(const DesktopAppearance::Preference &desktop,
                                        const QPalette &palette);

/// Asks the desktop off the main thread (a D-Bus round trip), then decides with `palette`, the
/// application's palette as the main thread saw it.
[[nodiscard]] QCoro::Task<Appearance> currentAppearance(QPalette palette);

} // namespace vantry

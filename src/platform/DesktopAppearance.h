#pragma once

#include <array>
#include <optional>

namespace vantry::DesktopAppearance {

/// The desktop's colour-scheme preference, with the values of the freedesktop appearance portal.
enum class ColorScheme { noPreference, dark, light };

/// What the desktop says about its appearance; a field is absent when the desktop did not answer.
struct Preference {
    std::optional<ColorScheme> colorScheme;
    /// The user's accent colour as sRGB components in [0, 1].
    std::optional<std::array<double, 3>> accent;
};

/// Asks the freedesktop settings portal (`org.freedesktop.appearance`: `color-scheme`,
/// `accent-color`) on the session bus. Blocking, bounded by a short time-out: call it off the main
/// thread. Without a session bus or a portal both fields are absent.
[[nodiscard]] Preference read();

} // namespace vantry::DesktopAppearance

#pragma once

#include <QString>

#include <array>

namespace vantry {

/// The four themes, stored and compared by their raw text; the order is the settings window's.
enum class ThemeID { modern, arcade, atrium, angkor };

inline constexpr std::array<ThemeID, 4> allThemeIDs {ThemeID::modern, ThemeID::arcade,
                                                     ThemeID::atrium, ThemeID::angkor};

/// The raw value kept in the user defaults: "modern", "arcade", "atrium" or "angkor".
[[nodiscard]] QString rawValue(ThemeID id);
/// The theme whose raw value is exactly `raw`; anything else (absent, capitalised, foreign) is
/// `arcade`, the default theme.
[[nodiscard]] ThemeID themeIDFromRaw(const QString &raw);
/// The localised display name: "Modern", "Arcade", "Atrium", "Angkor".
[[nodiscard]] QString displayName(ThemeID id);
/// The picker's symbol by its macOS name ("gamecontroller.fill", ...), the name the design uses.
[[nodiscard]] QString pickerSymbol(ThemeID id);
/// The freedesktop icon-theme name drawn for that symbol on this desktop.
[[nodiscard]] QString pickerIconName(ThemeID id);

} // namespace vantry

#pragma once

#include <core/Expected.h>
#include <platform/SystemError.h>

#include <QString>

namespace vantry::Paths {

// Every folder the launcher keeps, at the XDG locations of this host. Nothing is cached: each
// accessor recomputes its path from the environment, so tests can point HOME and the XDG
// variables at a temporary folder. All paths are absolute.

/// $HOME, or the account's home folder when HOME is unset or not absolute.
[[nodiscard]] QString homeDirectory();

/// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or relative.
[[nodiscard]] QString configHomeDirectory();

/// $XDG_DATA_HOME, or ~/.local/share when it is unset, empty or relative. The home Trash lies in it.
[[nodiscard]] QString dataHomeDirectory();

/// ~/.var/app, where sandboxed (Flatpak) applications keep their data, one folder per identifier.
[[nodiscard]] QString sandboxedAppDataDirectory();

/// The name of the launcher's own folders in the configuration and data homes.
inline constexpr QLatin1String launcherFolderName("Vantry");

/// The application-support folder: $XDG_DATA_HOME (default ~/.local/share) + "Vantry".
[[nodiscard]] QString applicationSupportDirectory();

/// The managed games folder: ~/Applications/Vantry.
[[nodiscard]] QString managedGamesDirectory();

/// The managed games folder + ".staging".
[[nodiscard]] QString stagingDirectory();

/// The application-support folder + "Downloads".
[[nodiscard]] QString downloadsDirectory();

/// The application-support folder + "Catalog".
[[nodiscard]] QString catalogCacheDirectory();

/// The application-support folder + "Icons".
[[nodiscard]] QString iconCacheDirectory();

/// The application-support folder + "launcher.lock": held by the one launcher process running.
[[nodiscard]] QString instanceLockFile();

/// Where the user defaults are kept: $XDG_CONFIG_HOME (default ~/.config) + "Vantry/defaults.json".
[[nodiscard]] QString userDefaultsFile();

/// Creates `appSupport` private to the user (0700, tightening a folder that existed before), then
/// `install` with default permissions; stops at the first failure.
[[nodiscard]] Expected<void, SystemError> ensureDirectories(const QString &appSupport, const QString &install);

} // namespace vantry::Paths

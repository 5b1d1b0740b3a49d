#pragma once

#include <QString>

namespace vantry::DefaultsKeys {

// Every key the launcher reads or writes in its user defaults. Nothing registers defaults: each
// reader applies its own when a key is missing or of another type.

inline QString theme() { return QStringLiteral("theme"); }
inline QString soundEnabled() { return QStringLiteral("soundEnabled"); }
inline QString firstLaunchDone() { return QStringLiteral("firstLaunchDone"); }
inline QString automaticUpdateChecks() { return QStringLiteral("SUEnableAutomaticChecks"); }
inline QString catalogVersionHighWater() { return QStringLiteral("catalog.versionHighWater"); }

/// "title.versionHighWater." followed directly by the catalog entry's id.
inline QString titleVersionHighWater(const QString &titleId)
{
    return QStringLiteral("title.versionHighWater.") + titleId;
}

} // namespace vantry::DefaultsKeys

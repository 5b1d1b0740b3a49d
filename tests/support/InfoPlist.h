#pragma once

#include <platform/PropertyList.h>

#include <optional>
#include <utility>

namespace vantry::test {

/// An Info.plist dictionary with the keys the launcher reads; a null or absent argument leaves
/// its key out.
inline PlistValue infoPlist(const char *identifier, const char *build, const char *shortVersion,
                            std::optional<PlistValue> minimumSystem = std::nullopt)
{
    PlistValue::Dictionary keys;
    if (identifier)
        keys.emplace_back(QStringLiteral("CFBundleIdentifier"), identifier);
    if (build)
        keys.emplace_back(QStringLiteral("CFBundleVersion"), build);
    if (shortVersion)
        keys.emplace_back(QStringLiteral("CFBundleShortVersionString"), shortVersion);
    if (minimumSystem)
        keys.emplace_back(QStringLiteral("LSMinimumSystemVersion"), std::move(*minimumSystem));
    return PlistValue(std::move(keys));
}

} // namespace vantry::test

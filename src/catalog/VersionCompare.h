#pragma once

#include <QString>
#include <QStringView>

#include <compare>
#include <cstdint>
#include <optional>

namespace vantry {

/// A system version: three non-negative parts.
struct SystemVersion {
    std::int64_t major = 0;
    std::int64_t minor = 0;
    std::int64_t patch = 0;

    friend bool operator==(const SystemVersion &, const SystemVersion &) = default;
    [[nodiscard]] QString toString() const;
};

namespace VersionCompare {

/// One to three dot-separated parts, each the canonical decimal text of a non-negative 64-bit
/// integer (no blanks, signs or leading zeros); missing parts are 0.
[[nodiscard]] std::optional<SystemVersion> parseSystemVersion(QStringView text);

/// Orders by major, then minor, then patch.
[[nodiscard]] std::strong_ordering compare(const SystemVersion &a, const SystemVersion &b);

} // namespace VersionCompare
} // namespace vantry

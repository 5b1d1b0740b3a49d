#pragma once

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>

namespace vantry {

/// One release of one game, read from its appcast by AppcastParser. An immutable value; every
/// field has been validated while reading. Whether the release may be installed (system version,
/// origin of the enclosure, version floor) is decided later, by the install planner.
struct AppcastItem {
    std::optional<QString> title;     // trimmed, non-empty when present
    std::optional<QDateTime> pubDate; // UTC; present only when the feed's text was a valid date
    std::int64_t version = 0;         // the release's build number, at least 1
    std::optional<QString> shortVersionString;   // trimmed, non-empty when present
    std::optional<QString> minimumSystemVersion; // trimmed, non-empty, not parsed here
    QUrl enclosureURL; // parsed strictly; its path ends in ".dmg" in any letter case
    /// The enclosure URL exactly as written in the feed. QUrl folds the scheme to lower case, so
    /// the origin rule, which judges how a URL was written, must be given this text.
    QString enclosureURLText;
    std::int64_t length = 0; // the disk image's size in bytes, at least 1
    // Non-empty, otherwise as written: the Base64 Ed25519 signature of the whole disk image is
    // checked when the image is verified, not here.
    QString edSignature;

    friend bool operator==(const AppcastItem &, const AppcastItem &) = default;
};

} // namespace vantry

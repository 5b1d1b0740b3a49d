#pragma once

#include <platform/PropertyList.h>

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace vantry {

/// What the launcher reads from an installed bundle's Contents/Info.plist.
struct InstalledObservation {
    QString bundleId;        // "CFBundleIdentifier", unchanged
    std::int64_t version = 0; // "CFBundleVersion": the build number every comparison uses
    QString shortVersion;    // "CFBundleShortVersionString": display text only

    friend bool operator==(const InstalledObservation &, const InstalledObservation &) = default;
};

/// One app bundle found in the managed games folder.
struct InstalledApp {
    QString url; // absolute path as listed: folder + entry name, not canonicalised
    InstalledObservation observation;

    friend bool operator==(const InstalledApp &, const InstalledApp &) = default;
};

/// One bundle of the managed games folder that declares a bundle identifier, whether or not its
/// versions are readable: it only serves to count copies that share a game's saved data.
struct DataSighting {
    QString url; // as listed
    QString bundleId;

    friend bool operator==(const DataSighting &, const DataSighting &) = default;
};

/// An observation and the bundle folder's modification time (absent when unreadable).
struct TimedObservation {
    InstalledObservation observation;
    std::optional<QDateTime> mtime;

    friend bool operator==(const TimedObservation &, const TimedObservation &) = default;
};

namespace LibraryScanner {

/// Every readable bundle ("*.app", not hidden) one level inside `directory` (default: the managed
/// games folder), sorted by path. A missing or unreadable folder gives an empty list.
[[nodiscard]] QList<InstalledApp> scanAll(const std::optional<QString> &directory = std::nullopt);

/// Every bundle of `directory` (same rule) whose Info.plist names a bundle identifier, sorted by
/// path; absent when the folder cannot be listed, so callers can tell that from an empty folder.
[[nodiscard]] std::optional<QList<DataSighting>>
sightingsForCounting(const std::optional<QString> &directory = std::nullopt);

/// The bundle's Contents/Info.plist (XML or binary) when it reads and its top level is a
/// dictionary. Never a link, a FIFO or a device, and at most 1 MiB: bundles may be anyone's.
[[nodiscard]] std::optional<PlistValue> readInfoPlist(const QString &bundle);

/// Identifier, numeric build and short version of the bundle, when all three are readable.
[[nodiscard]] std::optional<InstalledObservation> observation(const QString &bundle);

/// `observation` plus the modification time of the bundle folder itself.
[[nodiscard]] std::optional<TimedObservation> observationWithModificationTime(const QString &bundle);

/// One app per bundle identifier: the higher build wins, then the smaller canonical path; on
/// identical canonical paths the first listed stays.
[[nodiscard]] QHash<QString, InstalledApp> keyedByBundleId(const QList<InstalledApp> &apps);

/// The CFBundleVersion grammar: an optional "+" or "-", then ASCII digits only, in 64-bit range.
[[nodiscard]] std::optional<std::int64_t> parseBuildNumber(QStringView text);

} // namespace LibraryScanner
} // namespace vantry

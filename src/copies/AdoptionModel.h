#pragma once

#include <copies/AdoptableCopy.h>
#include <copies/AdoptionReport.h>
#include <copies/InstallCopy.h>
#include <copies/LibraryScanner.h>

#include <catalog/Catalog.h>
#include <catalog/VersionCompare.h>

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace vantry::AdoptionModel {

/// The judgement on one found copy of `entry`'s game: the first rule it fails (signature,
/// notarization, identity, readable versions, the high-water mark, the system floor) refuses it.
[[nodiscard]] AdoptionVerdict assess(const Catalog::Entry &entry, const AdoptionCandidateFacts &facts,
                                     std::int64_t highWaterMark, const SystemVersion &os);

/// The copy to prefer: the highest build, then the smaller canonical path. Absent when empty.
[[nodiscard]] std::optional<AdoptableCopy> select(const QList<AdoptableCopy> &copies);

/// How many distinct copies on this machine would share the title's saved data: the report's
/// copies that are the game (managed, on read-only or removable volumes, adoptable, or refused
/// for anything but identity) and the managed folder's bundles with the identifier, each
/// canonical path once (the sightings' paths are canonicalised on the disk). Absent when the managed
/// folder could not be listed (`sightings` absent).
[[nodiscard]] std::optional<qsizetype> dataSharingCopyCount(const AdoptionReport &report,
                                                            const std::optional<QList<DataSighting>> &sightings);

/// Every copy of the title `bundleId` (the managed one first claims its path), sorted by
/// canonical path, and the current one: the highest build, then managed, then the smallest path.
/// Absent when there is no copy. Reads the disk only to canonicalise the managed copy's path.
[[nodiscard]] std::optional<InstallResolution> resolve(const QString &bundleId,
                                                       const std::optional<InstalledApp> &managed,
                                                       const QList<AdoptableCopy> &adoptable);

} // namespace vantry::AdoptionModel

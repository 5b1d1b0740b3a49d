#pragma once

#include <copies/AdoptableCopy.h>
#include <copies/InstallCopy.h>
#include <copies/LibraryScanner.h>

#include <QList>
#include <QString>

#include <optional>

namespace vantry::AdoptionModel {

/// The path two URLs are compared by: symbolic links resolved as far as the path exists, "." and
/// ".." removed, no trailing "/" (the root stays "/"). Equal results mean the same copy.
[[nodiscard]] QString canonical(const QString &path);

/// Every copy of the title `bundleId` (the managed one first claims its path), sorted by
/// canonical path, and the current one: the highest build, then managed, then the smallest path.
/// Absent when there is no copy.
[[nodiscard]] std::optional<InstallResolution> resolve(const QString &bundleId,
                                                       const std::optional<InstalledApp> &managed,
                                                       const QList<AdoptableCopy> &adoptable);

} // namespace vantry::AdoptionModel

#pragma once

#include <copies/InstallCopy.h>
#include <copies/LibraryScanner.h>

#include <catalog/AppcastItem.h>
#include <catalog/Catalog.h>
#include <catalog/VersionCompare.h>
#include <core/TitleState.h>

#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>
#include <utility>

namespace vantry {

/// Everything the install pipeline needs to fetch and verify one release.
struct InstallPlan {
    QString titleId;
    QUrl enclosureURL;
    std::int64_t expectedLength = 0;
    QString expectedSignature; // Base64 Ed25519 signature of the whole disk image
    QString expectedBundleId;
    std::int64_t expectedVersion = 0;
    std::optional<QString> expectedShortVersion;

    friend bool operator==(const InstallPlan &, const InstallPlan &) = default;
};

/// The state a title rests in when no job runs for it.
struct RestingDecision {
    TitleState state;
    std::optional<InstallPlan> plan; // present exactly for available and updateAvailable

    friend bool operator==(const RestingDecision &, const RestingDecision &) = default;
};

/// An update that exists but cannot be written into the title's current, adopted copy.
struct UpdateBlock {
    enum class Reason {
        notWritable,       // the bundle itself is not writable by the user
        parentNotWritable, // the bundle is, its containing folder is not
    };

    InstallPlan plan;
    QString copyURL; // the current copy's canonical path
    Reason reason = Reason::notWritable;

    /// The reason as a lower-case clause completing a sentence about the copy.
    [[nodiscard]] QString userFacingReason() const;

    friend bool operator==(const UpdateBlock &, const UpdateBlock &) = default;
};

namespace InstallPlanner {

/// The entry's minimum system version, raised to the release's when both parse and the release's
/// is higher; otherwise the entry's text unchanged.
[[nodiscard]] QString effectiveMinimumSystemVersion(const Catalog::Entry &entry,
                                                    const std::optional<AppcastItem> &appcast);

/// The resting state of a title and the plan an install or update would follow; absent for a
/// title that is not released. `installed` is the current copy's observation, `os` the running
/// system's version, `highWaterMark` the highest build ever accepted for the title.
[[nodiscard]] std::optional<RestingDecision> decide(const Catalog::Entry &entry,
                                                    const std::optional<AppcastItem> &appcast,
                                                    const std::optional<InstalledObservation> &installed,
                                                    const SystemVersion &os, std::int64_t highWaterMark);

/// The decision once an update that cannot be written into an adopted current copy is set
/// aside: such an update rests as installed, with the block that explains it.
[[nodiscard]] std::pair<RestingDecision, std::optional<UpdateBlock>>
applyUpdateBlock(RestingDecision decision, const std::optional<InstallResolution> &resolution);

} // namespace InstallPlanner
} // namespace vantry

#pragma once

#include <install/InstallFailure.h>

#include <copies/AdoptableCopy.h>
#include <core/Expected.h>
#include <platform/SystemError.h>

#include <QString>

#include <optional>

namespace vantry {

/// Where a job copies the game out of the disk image: a folder on the destination's own file
/// system, so that the swap into place is one rename.
struct StagingPlacement {
    enum class Kind {
        managed,      // the engine's managed staging folder
        besideTarget, // ".vantry-staging" in the folder holding the adopted copy
    };
    Kind kind = Kind::managed;
    QString directory;

    friend bool operator==(const StagingPlacement &, const StagingPlacement &) = default;
};

/// Staging, the swap into place and the removal of what a job leaves. Everything here blocks:
/// call it off the main thread.
namespace Staging {

/// The name of the staging folder made beside an adopted copy.
[[nodiscard]] QString besideTargetName();

/// How long the copy-out may take.
inline constexpr double dittoTimeout = 600;

/// The managed staging folder when there is no adopted target or when a rename can cross from it
/// to the target's folder; otherwise ".vantry-staging" beside the target. Fails at `extract` when
/// the target's folder is not writable. Two volumes may report one identity (bind mounts, btrfs
/// subvolumes), so the same identity is confirmed by a rename before it is relied on.
[[nodiscard]] Expected<StagingPlacement, StepFailure>
choosePlacement(const std::optional<AdoptableCopy> &target, const QString &managedStaging,
                const QString &installDirectory);

/// Copies the app bundle at `appPath` into `stagingDirectory` with the tool `ditto`; gives the
/// staged path.
[[nodiscard]] Expected<QString, JobError> copyOut(const QString &appPath, const QString &stagingDirectory,
                                                  const QString &ditto);

/// Puts `staged` at `destination` in one step: a rename when nothing is there, otherwise an
/// atomic exchange of the two. Gives where the previous bundle now lies (the former staged path),
/// or nothing when there was none. A refused exchange leaves both where they were.
[[nodiscard]] Expected<std::optional<QString>, JobError> performSwap(const QString &staged,
                                                                     const QString &destination);

/// Removes `path` and everything below it without following links or entering another file
/// system, making the launcher's own read-only folders writable as it goes. True when nothing is
/// left; a missing path counts as removed.
bool removeTree(const QString &path);

/// Removes every item inside `folder`; a missing or unreadable folder is left alone.
void emptyFolder(const QString &folder);

/// Notes in the managed staging folder that `folder` (a staging folder beside a target) is in
/// use, so that a start after a crash finds and removes it.
[[nodiscard]] Expected<void, SystemError> recordBesideTarget(const QString &managedStaging, const QString &folder);
/// Drops the note of `folder`.
void forgetBesideTarget(const QString &managedStaging, const QString &folder);
/// Removes every staging folder noted in `managedStaging`, and the notes.
void removeRecordedBesideTargets(const QString &managedStaging);

} // namespace Staging
} // namespace vantry

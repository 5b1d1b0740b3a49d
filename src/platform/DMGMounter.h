#pragma once

#include <core/Expected.h>
#include <platform/SystemError.h>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <variant>

namespace vantry {

/// A release image attached read-only at a private folder, with the one app bundle at its top.
struct MountedDMG {
    QString mountPoint; // where the image's volume is
    QString devEntry;   // what the attach reported as its device
    QString appPath;    // the one .app at the top of the volume
    QString mountRoot;  // the private folder made for this mount

    friend bool operator==(const MountedDMG &, const MountedDMG &) = default;
};

/// Attaches, inspects, detaches and sweeps release images through hdiutil. Every operation
/// blocks: call them off the main thread.
namespace DMGMounter {

struct MountError {
    enum class Kind {
        attachFailed,       // text: why
        unexpectedAppCount, // count: how many .app names the volume has at its top (the one
                            // there is no folder when it is 1)
        plistUnreadable,
        noMountPoint,
    };
    Kind kind = Kind::attachFailed;
    QString text;
    int count = 0;

    friend bool operator==(const MountError &, const MountError &) = default;
};

using Failure = std::variant<MountError, SystemError>;

inline constexpr double attachTimeout = 300;
inline constexpr double detachTimeout = 60;

/// The build's hdiutil.
[[nodiscard]] QString defaultTool();

/// Attaches `dmg` read-only at a new private (0700) folder "vantry-mount-<UUID>" in `parent`,
/// beside an owner marker "<folder>.pid" holding this process's id. A failed attach leaves nothing
/// behind.
[[nodiscard]] Expected<MountedDMG, Failure> attach(const QString &dmg, const QString &parent,
                                                   const QString &hdiutil = defaultTool());

/// Detaches by device entry, then by folder; removes the folder and its marker. Never fails.
void detach(const MountedDMG &mounted, const QString &hdiutil = defaultTool());

/// Cleans up the mounts in `parent` whose owner process is gone, and markers without a folder.
void sweepStaleMounts(const QString &parent, const QString &hdiutil = defaultTool());

// The steps of the operations above, open for tests.

/// The mount described by hdiutil's answer, with its one app.
[[nodiscard]] Expected<MountedDMG, Failure> finish(const QByteArray &attachOutput, const QString &mountRoot);
/// Every device entry in hdiutil's answer, in order; nothing when it cannot be read.
[[nodiscard]] QStringList devEntries(const QByteArray &attachOutput);
/// "detach -force target", once more after a second when it fails; true when detached.
[[nodiscard]] bool detachTarget(const QString &target, const QString &hdiutil = defaultTool());
/// Detaches by folder, then by each device entry until one works; removes folder and marker.
void forceCleanup(const QString &mountRoot, const QStringList &devEntries, const QString &hdiutil = defaultTool());

} // namespace DMGMounter
} // namespace vantry

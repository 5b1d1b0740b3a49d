#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <sys/types.h>

// The pieces the volume flags and identity are built from, apart so that tests can hand them
// crafted mount tables and device folders.
namespace vantry::VolumeProbe {

/// One entry of /proc/self/mountinfo.
struct Mount {
    dev_t device = 0;   ///< the major:minor field
    QString mountPoint; ///< escapes decoded
    QString fsType;
    QString source; ///< escapes decoded
    friend bool operator==(const Mount &, const Mount &) = default;
};

/// The whole text of this process's /proc/self/mountinfo; absent when it cannot be read.
[[nodiscard]] std::optional<QByteArray> readMountTable();

/// One line of mountinfo, without its line break; absent when it is malformed.
[[nodiscard]] std::optional<Mount> parseMountLine(QByteArrayView line);

/// The mount holding `resolvedPath` (absolute, symbolic links resolved) in the whole text of
/// mountinfo: the longest mount point that is the path or one of its parents, the later line
/// among equals (it shadows the earlier). Absent when no mount holds the path or any line is
/// malformed, since the unreadable line might be the one that holds it.
[[nodiscard]] std::optional<Mount> mountHolding(QByteArrayView mountInfo,
                                                const QString &resolvedPath);

/// FUSE mounts, whatever program serves them.
[[nodiscard]] bool isFuse(const QString &fsType);

/// Whether the block device whose sysfs folder is `deviceFolder` (such as /sys/dev/block/8:1) is
/// removable: a partition answers for its disk, a loop device always is. Absent when it cannot
/// be told.
[[nodiscard]] std::optional<bool> isRemovable(const QString &deviceFolder);

} // namespace vantry::VolumeProbe

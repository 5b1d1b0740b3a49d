#include <platform/Volumes.h>

#include <platform/VolumeProbe.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

namespace vantry::Volumes {

namespace {

using VolumeProbe::Mount;

const QString sysBlockFolder = QStringLiteral("/sys/dev/block");

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

QString deviceFolder(dev_t device)
{
    return sysBlockFolder + u'/' + QString::number(major(device)) + u':' +
           QString::number(minor(device));
}

std::optional<Mount> mountHolding(const QString &resolvedPath)
{
    const auto text = VolumeProbe::readMountTable();
    if (!text)
        return std::nullopt;
    return VolumeProbe::mountHolding(*text, resolvedPath);
}

// What stands behind a mount.
struct Backing {
    enum class Kind { BlockDevice, Nothing, Unknown };
    Kind kind = Kind::Unknown;
    dev_t device = 0;
    QString folder; // the device's sysfs folder
};

Backing backing(const Mount &mount)
{
    const Backing unknown;
    struct stat info {};
    const QString own = deviceFolder(mount.device);
    if (::stat(nativePath(own).constData(), &info) == 0)
        return {Backing::Kind::BlockDevice, mount.device, own};
    if (errno != ENOENT)
        return unknown;
    // Without sysfs no device can be found, so none can be ruled out either.
    if (::stat(nativePath(sysBlockFolder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return unknown;
    if (mount.source.startsWith(u"/dev/")) {
        // btrfs reports an anonymous device number; its source names the real one. A source we
        // cannot examine may still be a disk.
        if (::stat(nativePath(mount.source).constData(), &info) != 0 || !S_ISBLK(info.st_mode))
            return unknown;
        const QString folder = deviceFolder(info.st_rdev);
        struct stat folderInfo {};
        if (::stat(nativePath(folder).constData(), &folderInfo) != 0)
            return unknown;
        return {Backing::Kind::BlockDevice, info.st_rdev, folder};
    }
    // Anonymous device numbers (major 0) belong to file systems with no disk: tmpfs, overlay,
    // proc, FUSE. Any other number sysfs does not list cannot be told.
    if (major(mount.device) == 0)
        return {Backing::Kind::Nothing, 0, {}};
    return unknown;
}

// The name of the link in /dev/disk/by-uuid that leads to `device`.
std::optional<QString> listedUuid(dev_t device)
{
    const QDir links(QStringLiteral("/dev/disk/by-uuid"));
    const QStringList names = links.entryList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        struct stat info {};
        if (::stat(nativePath(links.filePath(name)).constData(), &info) == 0 &&
            S_ISBLK(info.st_mode) && info.st_rdev == device)
            return name;
    }
    return std::nullopt;
}

} // namespace

std::optional<Flags> flags(const QString &path)
{
    const QString resolved = QFileInfo(path).canonicalFilePath();
    if (resolved.isEmpty())
        return std::nullopt;
    struct statvfs status {};
    if (::statvfs(nativePath(resolved).constData(), &status) != 0)
        return std::nullopt;
    const auto mount = mountHolding(resolved);
    if (!mount)
        return std::nullopt;
    // Release images are mounted with squashfuse, and an image mount cannot be told from other
    // FUSE mounts: all of them count as read-only.
    const bool readOnly = (status.f_flag & ST_RDONLY) != 0 || VolumeProbe::isFuse(mount->fsType);

    const Backing behind = backing(*mount);
    switch (behind.kind) {
    case Backing::Kind::Nothing:
        return Flags {readOnly, false};
    case Backing::Kind::Unknown:
        return std::nullopt;
    case Backing::Kind::BlockDevice:
        if (const auto removable = VolumeProbe::isRemovable(behind.folder))
            return Flags {readOnly, *removable};
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<QString> uuid(const QString &path)
{
    struct stat info {};
    if (::stat(nativePath(path).constData(), &info) != 0)
        return std::nullopt;
    const QString resolved = QFileInfo(path).canonicalFilePath();
    const auto mount = resolved.isEmpty() ? std::nullopt : mountHolding(resolved);
    if (mount) {
        const Backing behind = backing(*mount);
        if (behind.kind == Backing::Kind::BlockDevice) {
            if (auto listed = listedUuid(behind.device))
                return listed;
        }
    }
    return QString::number(info.st_dev);
}

} // namespace vantry::Volumes

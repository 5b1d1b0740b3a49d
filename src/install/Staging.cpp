#include <install/Staging.h>

#include <install/Checkpoint.h>

#include <copies/AdoptionService.h>
#include <platform/FileSystem.h>
#include <platform/ProcessRunner.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantry::Staging {

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

QString recordPath(const QString &managedStaging) { return managedStaging + QStringLiteral("/.beside-target"); }

// Empties the folder open as `fd` (which it closes), staying on `device`.
bool emptyDescriptor(int fd, dev_t device)
{
    DIR *folder = ::fdopendir(fd);
    if (!folder) {
        ::close(fd);
        return false;
    }
    bool empty = true;
    while (const dirent *entry = ::readdir(folder)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat status {};
        if (::fstatat(::dirfd(folder), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            empty = false;
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            if (status.st_dev != device) {
                empty = false; // a mount inside: never emptied from here
                continue;
            }
            const int child = ::openat(::dirfd(folder), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                empty = false;
                continue;
            }
            // A copy of a read-only image has read-only folders; the launcher made them, it may
            // open them up again.
            if ((status.st_mode & S_IRWXU) != S_IRWXU)
                ::fchmod(child, (status.st_mode & 07777) | S_IRWXU);
            if (!emptyDescriptor(child, device) || ::unlinkat(::dirfd(folder), name, AT_REMOVEDIR) != 0)
                empty = false;
        } else if (::unlinkat(::dirfd(folder), name, 0) != 0) {
            empty = false;
        }
    }
    ::closedir(folder);
    return empty;
}

bool emptyPath(const QString &folder)
{
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        return false;
    }
    if ((status.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(fd, (status.st_mode & 07777) | S_IRWXU);
    return emptyDescriptor(fd, status.st_dev);
}

QStringList recordedFolders(const QString &managedStaging)
{
    const auto bytes = FileSystem::readSmallFile(recordPath(managedStaging), 64 * 1024);
    if (!bytes)
        return {};
    QStringList folders;
    for (const QByteArray &line : bytes->split('\n')) {
        if (!line.isEmpty())
            folders << QString::fromUtf8(line);
    }
    return folders;
}

void writeRecord(const QString &managedStaging, const QStringList &folders)
{
    if (folders.isEmpty()) {
        QFile::remove(recordPath(managedStaging));
        return;
    }
    (void)FileSystem::writeFileAtomically(recordPath(managedStaging), folders.join(u'\n').toUtf8() + '\n', 0600);
}

// True when a folder made in `from` can be renamed to the path `to`, where nothing lies yet: the
// same file system seen through the same mount.
bool renameCrosses(const QString &from, const QString &to)
{
    const QString name = QStringLiteral("/.vantry-probe-") + QUuid::createUuid().toString(QUuid::Id128);
    const QByteArray source = native(from + name);
    const QByteArray target = native(to);
    if (::mkdir(source.constData(), 0700) != 0)
        return false;
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) != 0) {
        ::rmdir(source.constData());
        return false;
    }
    InstallCheckpoint::reach("probed");
    ::rmdir(target.constData());
    return true;
}

int makeFolderWritable(const char *path, const struct stat *status, int type, FTW *)
{
    if (type == FTW_D && (status->st_mode & S_IWUSR) == 0)
        ::chmod(path, (status->st_mode & 07777) | S_IWUSR);
    return 0;
}

void syncFolder(const QString &folder)
{
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

QString besideTargetName() { return QStringLiteral(".vantry-staging"); }

Expected<StagingPlacement, StepFailure> choosePlacement(const std::optional<AdoptableCopy> &target,
                                                        const QString &managedStaging, const QString &installDirectory)
{
    using Kind = StagingPlacement::Kind;
    if (!target)
        return StagingPlacement{Kind::managed, managedStaging};
    const QString parent = QFileInfo(target->canonicalURL).path();
    if (!FileSystem::isWritable(parent))
        return unexpected(StepFailure{VerificationStep::extract,
                                      QStringLiteral("no writable staging location on the target's volume")});
    // The managed folder may not exist yet: its volume is the one its staging folder is made on.
    const auto parentVolume = AdoptionService::volumeUUID(parent);
    const auto managedVolume = FileSystem::makeDirectories(managedStaging) ? AdoptionService::volumeUUID(installDirectory)
                                                                            : std::nullopt;
    const QString beside = parent + u'/' + besideTargetName();
    // The probe passes through the folder a staging beside the target would use, noted first, so
    // that a start after a crash finds it there.
    if (parentVolume && managedVolume && *parentVolume == *managedVolume && recordBesideTarget(managedStaging, beside)
        && renameCrosses(managedStaging, beside)) {
        forgetBesideTarget(managedStaging, beside);
        return StagingPlacement{Kind::managed, managedStaging};
    }
    return StagingPlacement{Kind::besideTarget, beside};
}

Expected<QString, JobError> copyOut(const QString &appPath, const QString &stagingDirectory, const QString &ditto)
{
    if (auto made = FileSystem::makeDirectories(stagingDirectory); !made)
        return unexpected(JobError(UnexpectedFailure{made.error().describe()}));
    const QString staged = stagingDirectory + u'/' + QFileInfo(appPath).fileName();
    removeTree(staged); // a leftover of an earlier run
    const auto run = ProcessRunner::run(ditto, {appPath, staged}, dittoTimeout);
    if (!run)
        return unexpected(JobError(UnexpectedFailure{run.error().text}));
    if (run->status != 0)
        return unexpected(JobError(StepFailure{VerificationStep::extract, QStringLiteral("ditto exited %1").arg(run->status)}));
    InstallCheckpoint::reach("copied");
    // A copy of a volume that was made read-only has read-only folders, and a folder that is not
    // writable can neither be renamed into another one nor emptied: the user's copy is theirs.
    ::nftw(native(staged).constData(), &makeFolderWritable, 16, FTW_PHYS);
    return staged;
}

Expected<std::optional<QString>, JobError> performSwap(const QString &staged, const QString &destination)
{
    const QByteArray from = native(staged);
    const QByteArray to = native(destination);
    struct stat status {};
    if (::lstat(to.constData(), &status) != 0 && errno == ENOENT) {
        if (auto moved = FileSystem::moveNoReplace(staged, destination); !moved)
            return unexpected(JobError(UnexpectedFailure{moved.error().describe()}));
        syncFolder(QFileInfo(destination).path());
        return std::optional<QString>();
    }
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0) {
        const int error = errno;
        return unexpected(JobError(StepFailure{VerificationStep::quarantineStrip,
                                               QStringLiteral("RENAME_EXCHANGE: ") + QString::fromLocal8Bit(std::strerror(error))}));
    }
    syncFolder(QFileInfo(destination).path());
    syncFolder(QFileInfo(staged).path());
    return std::optional<QString>(staged);
}

bool removeTree(const QString &path)
{
    const QByteArray target = native(path);
    struct stat status {};
    if (::lstat(target.constData(), &status) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlink(target.constData()) == 0;
    return emptyPath(path) && ::rmdir(target.constData()) == 0;
}

void emptyFolder(const QString &folder) { (void)emptyPath(folder); }

Expected<void, SystemError> recordBesideTarget(const QString &managedStaging, const QString &folder)
{
    if (auto made = FileSystem::makeDirectories(managedStaging); !made)
        return made;
    QStringList folders = recordedFolders(managedStaging);
    if (folders.contains(folder))
        return {};
    folders << folder;
    return FileSystem::writeFileAtomically(recordPath(managedStaging), folders.join(u'\n').toUtf8() + '\n', 0600);
}

void forgetBesideTarget(const QString &managedStaging, const QString &folder)
{
    QStringList folders = recordedFolders(managedStaging);
    if (folders.removeAll(folder) > 0)
        writeRecord(managedStaging, folders);
}

void removeRecordedBesideTargets(const QString &managedStaging)
{
    for (const QString &folder : recordedFolders(managedStaging)) {
        // Only ever a folder of the staging name, whatever the note says.
        if (QFileInfo(folder).fileName() == besideTargetName() && QDir::isAbsolutePath(folder))
            removeTree(folder);
    }
    QFile::remove(recordPath(managedStaging));
}

} // namespace vantry::Staging

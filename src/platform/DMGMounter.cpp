#include <platform/DMGMounter.h>

#include <platform/FileSystem.h>
#include <platform/ProcessRunner.h>
#include <platform/PropertyList.h>
#include <vantry/BuildConfig.h>

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <cerrno>
#include <signal.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vantry::DMGMounter {

namespace {

const QString folderPrefix = QStringLiteral("vantry-mount-");
const QString markerSuffix = QStringLiteral(".pid");
constexpr qsizetype markerLimit = 32;

// The folder is removed only when empty: whatever is still inside (a volume that would not
// detach) is left for the next sweep rather than deleted.
void removeFolderAndMarker(const QString &mountRoot)
{
    QDir().rmdir(mountRoot);
    QFile::remove(mountRoot + markerSuffix);
}

// The marker names a process that still runs (or runs but is not ours to signal).
bool ownerIsAlive(const QString &markerPath)
{
    // Anyone able to plant a marker could make it a link or a FIFO: read it bounded, link refused.
    const auto marker =
        FileSystem::readSmallFile(markerPath, markerLimit, FileSystem::LastLink::refuse);
    bool parsed = false;
    const int pid = marker ? QString::fromUtf8(*marker).trimmed().toInt(&parsed) : 0;
    return parsed && pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

Failure attachFailed(QString text) { return MountError{MountError::Kind::attachFailed, std::move(text), 0}; }

} // namespace

QString defaultTool() { return QString::fromUtf8(BuildConfig::hdiutilPath); }

Expected<MountedDMG, Failure> finish(const QByteArray &attachOutput, const QString &mountRoot)
{
    const auto plist = PlistValue::parse(attachOutput);
    if (!plist || !plist->dictionary())
        return unexpected(Failure(MountError{MountError::Kind::plistUnreadable, {}, 0}));

    std::optional<QString> mountPoint;
    std::optional<QString> devEntry;
    const PlistValue *entities = plist->value(u"system-entities");
    if (entities && entities->array()) {
        for (const PlistValue &entity : *entities->array()) {
            if (!entity.value(u"mount-point"))
                continue;
            mountPoint = entity.text(u"mount-point");
            devEntry = entity.text(u"dev-entry");
            break;
        }
    }
    if (!mountPoint || !devEntry)
        return unexpected(Failure(MountError{MountError::Kind::noMountPoint, {}, 0}));

    QDir volume(*mountPoint);
    if (!volume.exists())
        return unexpected(Failure(SystemError{QStringLiteral("list"), *mountPoint, ENOENT}));
    const QStringList names = volume.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QStringList apps;
    for (const QString &name : names) {
        if (name.endsWith(u".app"))
            apps << name;
    }
    // The one app must be a folder of the volume itself, not a link leading elsewhere.
    struct stat status {
    };
    if (apps.size() != 1 ||
        ::lstat(QFile::encodeName(volume.filePath(apps.first())).constData(), &status) != 0 ||
        !S_ISDIR(status.st_mode))
        return unexpected(Failure(MountError{MountError::Kind::unexpectedAppCount, {}, int(apps.size())}));
    return MountedDMG{*mountPoint, *devEntry, volume.filePath(apps.first()), mountRoot};
}

QStringList devEntries(const QByteArray &attachOutput)
{
    QStringList entries;
    const auto plist = PlistValue::parse(attachOutput);
    const PlistValue *entities = plist ? plist->value(u"system-entities") : nullptr;
    if (!entities || !entities->array())
        return entries;
    for (const PlistValue &entity : *entities->array()) {
        if (const auto entry = entity.text(u"dev-entry"))
            entries << *entry;
    }
    return entries;
}

bool detachTarget(const QString &target, const QString &hdiutil)
{
    const QStringList arguments{QStringLiteral("detach"), QStringLiteral("-force"), target};
    if (const auto first = ProcessRunner::run(hdiutil, arguments, detachTimeout); first && first->status == 0)
        return true;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto second = ProcessRunner::run(hdiutil, arguments, detachTimeout);
    return second && second->status == 0;
}

void forceCleanup(const QString &mountRoot, const QStringList &entries, const QString &hdiutil)
{
    if (!detachTarget(mountRoot, hdiutil)) {
        for (const QString &entry : entries) {
            if (detachTarget(entry, hdiutil))
                break;
        }
    }
    removeFolderAndMarker(mountRoot);
}

Expected<MountedDMG, Failure> attach(const QString &dmg, const QString &parent, const QString &hdiutil)
{
    // QDir::tempPath() is empty when TMPDIR names no folder: a relative parent would put the mount
    // in the working folder.
    if (!QDir::isAbsolutePath(parent))
        return unexpected(attachFailed(QStringLiteral("no temporary folder to mount in: ") + parent));
    const QString mountRoot = QDir(parent).filePath(folderPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    if (auto marker = FileSystem::writeNewFile(mountRoot + markerSuffix, QByteArray::number(qint64(::getpid())), 0644); !marker)
        return unexpected(attachFailed(QStringLiteral("owner marker: ") + marker.error().describe()));
    // Made here and now, and private: nobody else may reach into what is mounted or extracted.
    if (::mkdir(QFile::encodeName(mountRoot).constData(), 0700) != 0) {
        const SystemError error = SystemError::fromErrno(QStringLiteral("mkdir"), mountRoot);
        QFile::remove(mountRoot + markerSuffix);
        return unexpected(Failure(error));
    }

    const auto run = ProcessRunner::run(hdiutil,
                                        {QStringLiteral("attach"), QStringLiteral("-nobrowse"), QStringLiteral("-readonly"),
                                         QStringLiteral("-plist"), QStringLiteral("-mountpoint"), mountRoot, dmg},
                                        attachTimeout);
    if (!run) {
        forceCleanup(mountRoot, {}, hdiutil);
        return unexpected(attachFailed(QStringLiteral("hdiutil: ") + run.error().text));
    }
    if (run->status != 0) {
        forceCleanup(mountRoot, devEntries(run->stdoutBytes), hdiutil);
        return unexpected(attachFailed(QString::fromUtf8(run->stderrBytes).trimmed()));
    }
    auto mounted = finish(run->stdoutBytes, mountRoot);
    if (!mounted)
        forceCleanup(mountRoot, devEntries(run->stdoutBytes), hdiutil);
    return mounted;
}

void detach(const MountedDMG &mounted, const QString &hdiutil)
{
    if (!detachTarget(mounted.devEntry, hdiutil))
        (void)detachTarget(mounted.mountRoot, hdiutil);
    removeFolderAndMarker(mounted.mountRoot);
}

void sweepStaleMounts(const QString &parent, const QString &hdiutil)
{
    QDir folder(parent);
    if (!QDir::isAbsolutePath(parent) || !folder.exists())
        return;
    const QStringList names = folder.entryList({folderPrefix + u'*'}, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (name.endsWith(markerSuffix))
            continue;
        // In a shared temporary folder, only real folders of this user are ours to clean.
        struct stat status {};
        if (::lstat(QFile::encodeName(folder.filePath(name)).constData(), &status) != 0 || !S_ISDIR(status.st_mode)
            || status.st_uid != ::getuid())
            continue;
        if (ownerIsAlive(folder.filePath(name + markerSuffix)))
            continue;
        forceCleanup(folder.filePath(name), {}, hdiutil);
    }
    for (const QString &name : names) {
        const QString mountRoot = folder.filePath(name.chopped(markerSuffix.size()));
        // A live owner may have written its marker and not yet made its folder.
        if (name.endsWith(markerSuffix) && !QFileInfo::exists(mountRoot) && !QFileInfo(mountRoot).isSymLink()
            && !ownerIsAlive(folder.filePath(name)))
            QFile::remove(folder.filePath(name));
    }
}

} // namespace vantry::DMGMounter

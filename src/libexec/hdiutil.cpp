// Vantry's hdiutil: attaches a release image (a SquashFS file) read-only at a given folder and
// detaches it again, with the command lines, property-list answer and exit codes the install
// pipeline expects.
//
//   hdiutil attach [-nobrowse] [-readonly] [-plist] -mountpoint DIR IMAGE
//   hdiutil detach [-force] TARGET
//
// Where FUSE works the image is mounted with squashfuse; otherwise it is extracted into DIR with
// unsquashfs and the tree made read-only, and a marker in DIR records that detaching it means
// removing what was extracted. VANTRY_HDIUTIL_MODE=extract chooses extraction. The device entry
// reported is the mount point itself: nothing else names a FUSE mount.

#include <platform/PropertyList.h>

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cstdio>
#include <sys/stat.h>

using namespace vantry;

namespace {

const QString extractedMarker = QStringLiteral(".vantry-extracted");

int fail(const char *verb, const QString &reason, int status = 1)
{
    std::fprintf(stderr, "hdiutil: %s failed - %s\n", verb, reason.toLocal8Bit().constData());
    return status;
}

int usage()
{
    std::fprintf(stderr, "usage: hdiutil attach [-nobrowse] [-readonly] [-plist] -mountpoint DIR IMAGE\n"
                         "       hdiutil detach [-force] TARGET\n");
    return 2;
}

QString tool(const char *name)
{
    const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name), {QStringLiteral("/usr/bin"), QStringLiteral("/bin"),
                                                                                   QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return found;
}

bool runQuietly(const QString &program, const QStringList &arguments, QString *errorText = nullptr)
{
    if (program.isEmpty())
        return false;
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (errorText)
            *errorText = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        return false;
    }
    return true;
}

bool isSquashfs(const QString &image)
{
    QFile file(image);
    return file.open(QIODevice::ReadOnly) && file.read(4) == "hsqs";
}

// The mount points in this process's view, unescaped.
QStringList fuseMountPoints()
{
    QStringList points;
    QFile mountinfo(QStringLiteral("/proc/self/mountinfo"));
    if (!mountinfo.open(QIODevice::ReadOnly))
        return points;
    for (const QByteArray &line : mountinfo.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype separator = fields.indexOf("-");
        if (fields.size() < 5 || separator < 0 || separator + 1 >= fields.size() || !fields[separator + 1].startsWith("fuse"))
            continue;
        QByteArray point = fields[4];
        point.replace("\\040", " ").replace("\\011", "\t").replace("\\012", "\n").replace("\\134", "\\");
        points << QFile::decodeName(point);
    }
    return points;
}

void makeReadOnly(const QString &root)
{
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        if (info.isSymLink())
            continue;
        struct stat status {};
        if (::lstat(QFile::encodeName(path).constData(), &status) == 0)
            ::chmod(QFile::encodeName(path).constData(), status.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH));
    }
}

bool removeExtracted(const QString &root)
{
    // Folders are made writable again first, so that their entries can go.
    QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!QFileInfo(path).isSymLink())
            ::chmod(QFile::encodeName(path).constData(), 0700);
    }
    ::chmod(QFile::encodeName(root).constData(), 0700);
    bool removed = true;
    QDir folder(root);
    for (const QFileInfo &entry : folder.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.fileName() == extractedMarker)
            continue;
        if (entry.isDir() && !entry.isSymLink())
            removed = QDir(entry.filePath()).removeRecursively() && removed;
        else
            removed = QFile::remove(entry.filePath()) && removed;
    }
    // The marker goes last: until then a retry still knows what this folder is.
    return removed && QFile::remove(folder.filePath(extractedMarker));
}

int attach(const QStringList &arguments)
{
    QString mountPoint;
    QString image;
    bool plist = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == u"-nobrowse" || argument == u"-readonly")
            continue;
        if (argument == u"-plist")
            plist = true;
        else if (argument == u"-mountpoint" && i + 1 < arguments.size())
            mountPoint = arguments[++i];
        else if (argument.startsWith(u'-') || !image.isEmpty())
            return usage();
        else
            image = argument;
    }
    if (mountPoint.isEmpty() || image.isEmpty())
        return usage();

    if (!QFileInfo(image).isFile())
        return fail("attach", QStringLiteral("No such file or directory"));
    if (!isSquashfs(image))
        return fail("attach", QStringLiteral("image not recognized"));
    QDir target(mountPoint);
    if (!target.exists() || !target.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        return fail("attach", QStringLiteral("the mount point is not an empty folder"));
    mountPoint = QFileInfo(mountPoint).canonicalFilePath();

    const bool extract = qEnvironmentVariable("VANTRY_HDIUTIL_MODE") == u"extract";
    QString reason;
    bool mounted = !extract && QFile::exists(QStringLiteral("/dev/fuse"))
        && runQuietly(tool("squashfuse"), {QStringLiteral("-o"), QStringLiteral("ro"), image, mountPoint}, &reason);
    if (!mounted) {
        // Marked first: should this run be cut short, a detach still knows what to remove.
        QFile marker(QDir(mountPoint).filePath(extractedMarker));
        if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate) || marker.write(QFile::encodeName(image)) < 0) {
            marker.close();
            QFile::remove(marker.fileName());
            return fail("attach", QStringLiteral("the extracted image could not be marked"));
        }
        marker.close();
        if (!runQuietly(tool("unsquashfs"), {QStringLiteral("-f"), QStringLiteral("-q"), QStringLiteral("-n"), QStringLiteral("-d"),
                                            mountPoint, image},
                        &reason)) {
            removeExtracted(mountPoint);
            return fail("attach", reason.isEmpty() ? QStringLiteral("the image could not be read") : reason);
        }
        // An image may hold a file of the marker's name: ours is the one that counts.
        QFile::remove(marker.fileName());
        if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate) || marker.write(QFile::encodeName(image)) < 0) {
            removeExtracted(mountPoint);
            return fail("attach", QStringLiteral("the extracted image could not be marked"));
        }
        marker.close();
        makeReadOnly(mountPoint);
    }

    const PlistValue answer(PlistValue::Dictionary{
        {QStringLiteral("system-entities"),
         PlistValue(PlistValue::Array{PlistValue(PlistValue::Dictionary{
             {QStringLiteral("content-hint"), PlistValue("squashfs")},
             {QStringLiteral("dev-entry"), PlistValue(mountPoint)},
             {QStringLiteral("mount-point"), PlistValue(mountPoint)},
             {QStringLiteral("potentially-mountable"), PlistValue(true)},
             {QStringLiteral("volume-kind"), PlistValue(mounted ? "fuse.squashfuse" : "extracted")},
         })})},
    });
    if (plist) {
        const QByteArray xml = answer.toXml();
        std::fwrite(xml.constData(), 1, size_t(xml.size()), stdout);
    } else {
        std::printf("%s\t%s\n", mountPoint.toLocal8Bit().constData(), mountPoint.toLocal8Bit().constData());
    }
    return 0;
}

int detach(const QStringList &arguments)
{
    QString target;
    bool force = false;
    for (const QString &argument : arguments) {
        if (argument == u"-force")
            force = true;
        else if (argument.startsWith(u'-') || !target.isEmpty())
            return usage();
        else
            target = argument;
    }
    if (target.isEmpty())
        return usage();
    // A link could point a detach at someone else's mount: only the folder itself is detached.
    if (QFileInfo(target).isSymLink())
        return fail("detach", QStringLiteral("the target is a symbolic link"));
    const QString path = QFileInfo(target).canonicalFilePath();
    if (path.isEmpty())
        return fail("detach", QStringLiteral("No such file or directory"));

    if (fuseMountPoints().contains(path)) {
        QString reason;
        const QStringList unmount = force ? QStringList{QStringLiteral("-u"), QStringLiteral("-z"), path} : QStringList{QStringLiteral("-u"), path};
        if (!runQuietly(tool("fusermount3"), unmount, &reason) && !runQuietly(tool("umount"), {path}, &reason))
            return fail("detach", reason.isEmpty() ? QStringLiteral("Resource busy") : reason, 16);
        if (fuseMountPoints().contains(path))
            return fail("detach", QStringLiteral("Resource busy"), 16);
        std::printf("\"%s\" ejected.\n", path.toLocal8Bit().constData());
        return 0;
    }
    if (QFileInfo(QDir(path).filePath(extractedMarker)).isFile()) {
        if (!removeExtracted(path))
            return fail("detach", QStringLiteral("the extracted image could not be removed"));
        std::printf("\"%s\" ejected.\n", path.toLocal8Bit().constData());
        return 0;
    }
    return fail("detach", QStringLiteral("No such file or directory"));
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (arguments.isEmpty())
        return usage();
    const QString verb = arguments.takeFirst();
    if (verb == u"attach")
        return attach(arguments);
    if (verb == u"detach")
        return detach(arguments);
    return usage();
}

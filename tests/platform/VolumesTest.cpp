#include <platform/VolumeProbe.h>
#include <platform/Volumes.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

using namespace vantry;
using VolumeProbe::Mount;
using Volumes::Flags;

namespace vantry::VolumeProbe {
char *toString(const std::optional<Mount> &mount)
{
    if (!mount)
        return qstrdup("absent");
    return QTest::toString(QStringLiteral("%1:%2 %3 %4 [%5]")
                               .arg(major(mount->device))
                               .arg(minor(mount->device))
                               .arg(mount->mountPoint, mount->fsType, mount->source));
}
} // namespace vantry::VolumeProbe

namespace {

std::optional<dev_t> deviceOf(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? std::optional(info.st_dev)
                                                                   : std::nullopt;
}

bool systemSaysReadOnly(const QString &path)
{
    struct statvfs status {};
    return ::statvfs(QFile::encodeName(path).constData(), &status) == 0 &&
           (status.f_flag & ST_RDONLY) != 0;
}

bool run(const QString &program, const QStringList &arguments, QString *errors = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    const bool ok = process.waitForFinished(60000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (errors)
        *errors = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return ok;
}

// A folder holding one file, packed into a SquashFS image beside it, with an empty mount folder.
struct ImageFixture {
    QTemporaryDir root;
    QString source = root.filePath(u"source"_qs);
    QString image = root.filePath(u"image.squashfs"_qs);
    QString mountPoint = root.filePath(u"mount"_qs);
    bool build()
    {
        QDir().mkpath(source);
        QDir().mkpath(mountPoint);
        QFile file(source + u"/file"_qs);
        if (!file.open(QIODevice::WriteOnly) || file.write("data") != 4)
            return false;
        file.close();
        return run(u"mksquashfs"_qs,
                   {source, image, u"-noappend"_qs, u"-quiet"_qs, u"-no-progress"_qs});
    }
};

// Runs a command when the scope ends: the unmount that must happen however the test ends.
struct AtExit {
    QString program;
    QStringList arguments;
    ~AtExit() { run(program, arguments); }
};

const QByteArray table = "1 0 254:0 / / rw - ext4 /dev/vda rw\n"
                         "2 1 0:30 / /home rw - tmpfs tmpfs rw\n"
                         "3 2 8:1 / /home/user/My\\040Games rw shared:5 - ext4 /dev/sda1 rw\n"
                         "4 1 0:31 / /home rw master:1 - tmpfs tmpfs rw\n"
                         "5 1 0:32 / /hom rw - tmpfs tmpfs rw\n";

} // namespace

class VolumesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void mountLinesAreParsed()
    {
        using VolumeProbe::parseMountLine;
        QCOMPARE(parseMountLine("22 27 0:21 / /proc rw,relatime - proc proc rw"),
                 Mount(makedev(0, 21), u"/proc"_qs, u"proc"_qs, u"proc"_qs));
        QCOMPARE(parseMountLine("3 1 8:17 /sub /srv rw shared:5 master:2 propagate_from:1 "
                                "unbindable - ext4 /dev/sdb1 rw"),
                 Mount(makedev(8, 17), u"/srv"_qs, u"ext4"_qs, u"/dev/sdb1"_qs));
        QCOMPARE(
            parseMountLine(
                "4 1 8:2 / /media/My\\040Disk\\011\\134x\\089\\04 rw - vfat /dev/a\\040b rw"),
            Mount(makedev(8, 2), u"/media/My Disk\t\\x\\089\\04"_qs, u"vfat"_qs, u"/dev/a b"_qs));
        QCOMPARE(parseMountLine("47 27 0:42 / /y rw - cifs //server/share rw,prefixpath=My Games"),
                 Mount(makedev(0, 42), u"/y"_qs, u"cifs"_qs, u"//server/share"_qs));
        QCOMPARE(parseMountLine("46 27 0:41 / /x ro - fuse.squashfuse  ro"),
                 Mount(makedev(0, 41), u"/x"_qs, u"fuse.squashfuse"_qs, QString()));

        for (const char *malformed :
             {"", "1 0 8:1 / / rw ext4 /dev/sda1 rw", "1 0 8:1 / - - ext4 /dev/sda1 rw",
              "1 0 8-1 / / rw - ext4 /dev/sda1 rw", "1 0 8:x / / rw - ext4 /dev/sda1 rw",
              "1 0 8:1 / mnt rw - ext4 /dev/sda1 rw", "1 0 8:1 / / rw - ext4 /dev/sda1",
              "x 0 8:1 / / rw - ext4 /dev/sda1 rw", "1 0 8:1 / / rw -  /dev/sda1 rw"})
            QVERIFY2(!parseMountLine(malformed), malformed);
    }

    void theLongestMountPointHoldsAPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("line");
        QTest::newRow("the root itself") << u"/"_qs << 0;
        QTest::newRow("under the root only") << u"/etc/passwd"_qs << 0;
        QTest::newRow("a name that only begins like a mount point") << u"/homework"_qs << 0;
        QTest::newRow("a later mount shadows an equal one") << u"/home/x"_qs << 3;
        QTest::newRow("an escaped mount point itself") << u"/home/user/My Games"_qs << 2;
        QTest::newRow("inside the escaped mount point") << u"/home/user/My Games/a"_qs << 2;
        QTest::newRow("beside it") << u"/home/user/My GamesX"_qs << 3;
        QTest::newRow("a shorter neighbour") << u"/hom/x"_qs << 4;
    }

    void theLongestMountPointHoldsAPath()
    {
        QFETCH(QString, path);
        QFETCH(int, line);
        QCOMPARE(VolumeProbe::mountHolding(table, path),
                 VolumeProbe::parseMountLine(table.split('\n').at(line)));
    }

    void anIncompleteTableHoldsNothing()
    {
        QVERIFY(VolumeProbe::mountHolding(table, u"/home/x"_qs)); // the table itself is whole
        QVERIFY(!VolumeProbe::mountHolding(table + "6 1 0:33 / /opt\n", u"/home/x"_qs));
        QVERIFY(!VolumeProbe::mountHolding(table.mid(table.indexOf('\n') + 1), u"/etc"_qs));
    }

    void removabilityIsTheDisks_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<std::optional<bool>>("removable");
        QTest::newRow("a fixed disk") << u"sda"_qs << std::optional(false);
        QTest::newRow("a partition of a fixed disk") << u"sda/sda1"_qs << std::optional(false);
        QTest::newRow("a partition of a removable disk") << u"sdb/sdb2"_qs << std::optional(true);
        QTest::newRow("a loop device") << u"loop3"_qs << std::optional(true);
        QTest::newRow("a partition of a loop device") << u"loop3/loop3p1"_qs << std::optional(true);
        QTest::newRow("no attribute") << u"vdc"_qs << std::optional<bool>();
        QTest::newRow("a garbled attribute") << u"vdd"_qs << std::optional<bool>();
        QTest::newRow("no such device") << u"sde"_qs << std::optional<bool>();
        QTest::newRow("mapped onto a removable partition") << u"dm-0"_qs << std::optional(true);
        QTest::newRow("mapped onto a fixed partition") << u"dm-1"_qs << std::optional(false);
        QTest::newRow("mapped onto a missing device") << u"dm-2"_qs << std::optional<bool>();
        QTest::newRow("a stack over an image") << u"md0"_qs << std::optional(true);
    }

    void removabilityIsTheDisks()
    {
        QFETCH(QString, device);
        QFETCH(std::optional<bool>, removable);
        // A sysfs look-alike: block/dev links to a device folder; partitions sit inside their disk.
        QTemporaryDir sys;
        const auto write = [&](const QString &name, const QByteArray &bytes) {
            QDir().mkpath(QFileInfo(sys.filePath(name)).path());
            QFile file(sys.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        };
        write(u"devices/sda/removable"_qs, "0\n");
        write(u"devices/sda/sda1/partition"_qs, "1\n");
        write(u"devices/sdb/removable"_qs, "1\n");
        write(u"devices/sdb/sdb2/partition"_qs, "2\n");
        write(u"devices/loop3/removable"_qs, "0\n");
        write(u"devices/loop3/loop3p1/partition"_qs, "1\n");
        write(u"devices/vdc/size"_qs, "8\n");
        write(u"devices/vdd/removable"_qs, "yes\n");
        // Mapped devices name what they are built on in slaves/, and report fixed themselves.
        const auto slave = [&](const QString &mapped, const QString &under) {
            write(mapped + u"/removable"_qs, "0\n");
            QDir().mkpath(sys.filePath(mapped + u"/slaves"_qs));
            QVERIFY(QFile::link(sys.filePath(u"devices/"_qs + under),
                                sys.filePath(mapped + u"/slaves/"_qs + QFileInfo(under).fileName())));
        };
        slave(u"devices/dm-0"_qs, u"sdb/sdb2"_qs);
        slave(u"devices/dm-1"_qs, u"sda/sda1"_qs);
        slave(u"devices/dm-2"_qs, u"sdz"_qs);
        slave(u"devices/md0"_qs, u"dm-1"_qs);
        slave(u"devices/md0"_qs, u"loop3"_qs);
        QDir().mkpath(sys.filePath(u"block"_qs));
        QVERIFY(QFile::link(sys.filePath(u"devices/"_qs + device), sys.filePath(u"block/dev"_qs)));
        QCOMPARE(VolumeProbe::isRemovable(sys.filePath(u"block/dev"_qs)), removable);
    }

    void aTemporaryFolderIsOnAWritableVolume()
    {
        QTemporaryDir dir;
        QVERIFY(!systemSaysReadOnly(dir.path()));
        QVERIFY(QFile::link(dir.path(), dir.filePath(u"link"_qs)));
        const auto folder = Volumes::flags(dir.path());
        QVERIFY(folder);
        QCOMPARE(folder->readOnly, false);
        QCOMPARE(Volumes::flags(dir.filePath(u"link"_qs)), folder);
    }

    void aMissingPathHasNoFlagsAndNoIdentity()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::link(dir.filePath(u"missing"_qs), dir.filePath(u"dangling"_qs)));
        for (const QString &path :
             {dir.filePath(u"missing"_qs), dir.filePath(u"dangling"_qs), QString()}) {
            QVERIFY2(!Volumes::flags(path), qPrintable(path));
            QVERIFY2(!Volumes::uuid(path), qPrintable(path));
        }
    }

    void theIdentityFollowsTheFileSystem()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"sub"_qs));
        const auto here = Volumes::uuid(dir.path());
        QVERIFY(here);
        QCOMPARE(Volumes::uuid(dir.filePath(u"sub"_qs)), here);
        if (!QFileInfo::exists(u"/dev/disk/by-uuid"_qs))
            QCOMPARE(*here, QString::number(*deviceOf(dir.path())));

        QString elsewhere;
        for (const QString &candidate :
             {u"/dev/shm"_qs, u"/proc"_qs, u"/sys"_qs, u"/dev"_qs, u"/run"_qs}) {
            if (deviceOf(candidate) && deviceOf(candidate) != deviceOf(dir.path())) {
                elsewhere = candidate;
                break;
            }
        }
        if (elsewhere.isEmpty())
            QSKIP("no second file system here");
        QVERIFY(Volumes::uuid(elsewhere));
        QVERIFY(Volumes::uuid(elsewhere) != here);
    }

    void memoryFileSystemsAreFixed()
    {
        struct statfs info {};
        const QString shm = u"/dev/shm"_qs;
        if (::statfs(QFile::encodeName(shm).constData(), &info) != 0 || info.f_type != TMPFS_MAGIC)
            QSKIP("/dev/shm is not a tmpfs here");
        QCOMPARE(Volumes::flags(shm), Flags(systemSaysReadOnly(shm), false));
        // tmpfs has no disk, so no UUID: its identity is its device number.
        QCOMPARE(Volumes::uuid(shm), QString::number(*deviceOf(shm)));
    }

    void fuseMountsAreReadOnly_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("mounted read-only") << QStringList {u"-o"_qs, u"ro"_qs};
        QTest::newRow("mounted writable") << QStringList();
    }

    void fuseMountsAreReadOnly()
    {
        QFETCH(QStringList, options);
        ImageFixture fixture;
        QVERIFY(fixture.build());
        QString errors;
        if (!run(u"squashfuse"_qs, options + QStringList {fixture.image, fixture.mountPoint},
                 &errors))
            QSKIP(qPrintable(u"FUSE is not usable here: "_qs + errors));
        const AtExit unmount {u"fusermount3"_qs, {u"-u"_qs, fixture.mountPoint}};
        // Without -o ro the system reports the mount writable: only its type can make it read-only.
        QCOMPARE(systemSaysReadOnly(fixture.mountPoint), !options.isEmpty());
        QCOMPARE(Volumes::flags(fixture.mountPoint + u"/file"_qs), Flags(true, false));
        QVERIFY(Volumes::uuid(fixture.mountPoint + u"/file"_qs) != Volumes::uuid(fixture.source));
    }

    void loopDevicesAreRemovable()
    {
        ImageFixture fixture;
        QVERIFY(fixture.build());
        QString errors;
        if (!run(u"mount"_qs,
                 {u"-t"_qs, u"squashfs"_qs, u"-o"_qs, u"loop,ro"_qs, fixture.image,
                  fixture.mountPoint},
                 &errors))
            QSKIP(qPrintable(u"loop mounts are not available here: "_qs + errors));
        const AtExit unmount {u"umount"_qs, {fixture.mountPoint}};
        QCOMPARE(Volumes::flags(fixture.mountPoint + u"/file"_qs), Flags(true, true));
    }
};

QTEST_GUILESS_MAIN(VolumesTest)
#include "VolumesTest.moc"

#include <platform/VolumeProbe.h>
#include <platform/Volumes.h>

#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QDir>
#include <QScopeGuard>
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
        QCOMPARE(parseMountLine("3 1 8:17 /sub /srv rw shared:5 master:2 propagate_from:1 unbindable - ext4 /dev/sdb1 "
                                "rw"),
                 Mount(makedev(8, 17), u"/srv"_qs, u"ext4"_qs, u"/dev/sdb1"_qs));
        QCOMPARE(parseMountLine("4 1 8:2 / /media/My\\040Disk\\011\\134x\\089\\04 rw - vfat /dev/a\\040b rw"),
                 Mount(makedev(8, 2), u"/media/My Disk\t\\x\\089\\04"_qs, u"vfat"_qs, u"/dev/a b"_qs));
        QCOMPARE(parseMountLine("47 27 0:42 / /y rw - cifs //server/share rw,prefixpath=My Games"),
                 Mount(makedev(0, 42), u"/y"_qs, u"cifs"_qs, u"//server/share"_qs));
        QCOMPARE(parseMountLine("46 27 0:41 / /x ro - fuse.squashfuse  ro"),
                 Mount(makedev(0, 41), u"/x"_qs, u"fuse.squashfuse"_qs, QString()));
        for (const char *malformed :
             {"1 0 8:1 / / rw ext4 /dev/sda1 rw", "1 0 8-1 / / rw - ext4 /dev/sda1 rw",
              "1 0 8:x / / rw - ext4 /dev/sda1 rw", "1 0 8:1 / mnt rw - ext4 /dev/sda1 rw",
              "1 0 8:1 / / rw - ext4 /dev/sda1", "x 0 8:1 / / rw - ext4 /dev/sda1 rw",
              "1 0 8:1 / / rw -  /dev/sda1 rw"})
            QVERIFY2(!parseMountLine(malformed), malformed);
    }

    void theLongestMountPointHoldsAPath_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("line");
        QTest::newRow("under the root only") << u"/etc/passwd"_qs << 0;
        QTest::newRow("a later mount shadows an equal one") << u"/home/x"_qs << 3;
        QTest::newRow("an escaped mount point itself") << u"/home/user/My Games"_qs << 2;
        QTest::newRow("inside the escaped mount point") << u"/home/user/My Games/a"_qs << 2;
        QTest::newRow("a name that only begins like it") << u"/home/user/My GamesX"_qs << 3;
    }

    void theLongestMountPointHoldsAPath()
    {
        QFETCH(QString, path);
        QFETCH(int, line);
        QCOMPARE(VolumeProbe::mountHolding(table, path), VolumeProbe::parseMountLine(table.split('\n').at(line)));
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
        QTest::newRow("a partition of a fixed disk") << u"sda/sda1"_qs << std::optional(false);
        QTest::newRow("a partition of a removable disk") << u"sdb/sdb2"_qs << std::optional(true);
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
        const std::pair<const char *, const char *> attributes[] = {
            {"sda/removable", "0\n"},    {"sda/sda1/partition", "1\n"},       {"sdb/removable", "1\n"},
            {"sdb/sdb2/partition", "2\n"}, {"loop3/removable", "0\n"}, {"loop3/loop3p1/partition", "1\n"},
            {"vdc/size", "8\n"},         {"vdd/removable", "yes\n"},
        };
        for (const auto &[name, value] : attributes)
            QVERIFY(test::put(sys.filePath(u"devices/"_qs + QLatin1String(name)), value));
        // Mapped devices name what they are built on in slaves/, and report fixed themselves.
        const std::pair<const char *, const char *> slaves[] = {
            {"dm-0", "sdb/sdb2"}, {"dm-1", "sda/sda1"}, {"dm-2", "sdz"}, {"md0", "dm-1"}, {"md0", "loop3"}};
        for (const auto &[mapped, under] : slaves) {
            const QString folder = sys.filePath(u"devices/"_qs + QLatin1String(mapped));
            QVERIFY(test::put(folder + u"/removable"_qs, "0\n"));
            QVERIFY(QDir().mkpath(folder + u"/slaves"_qs));
            QVERIFY(QFile::link(sys.filePath(u"devices/"_qs + QLatin1String(under)),
                                folder + u"/slaves/"_qs + QFileInfo(QLatin1String(under)).fileName()));
        }
        QVERIFY(QDir().mkpath(sys.filePath(u"block"_qs)));
        QVERIFY(QFile::link(sys.filePath(u"devices/"_qs + device), sys.filePath(u"block/dev"_qs)));
        QCOMPARE(VolumeProbe::isRemovable(sys.filePath(u"block/dev"_qs)), removable);
    }

    void anOrdinaryFolderIsWritableFixedAndKnown()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(u"sub"_qs));
        QVERIFY(QFile::link(dir.path(), dir.filePath(u"link"_qs)));
        QVERIFY(QFile::link(dir.filePath(u"missing"_qs), dir.filePath(u"dangling"_qs)));
        QVERIFY(!systemSaysReadOnly(dir.path()));
        const auto folder = Volumes::flags(dir.path());
        QVERIFY(folder && !folder->readOnly);
        QCOMPARE(Volumes::flags(dir.filePath(u"link"_qs)), folder);

        const auto here = Volumes::uuid(dir.path());
        QVERIFY(here);
        QCOMPARE(Volumes::uuid(dir.filePath(u"sub"_qs)), here);
        if (!QFileInfo::exists(u"/dev/disk/by-uuid"_qs))
            QCOMPARE(*here, QString::number(*deviceOf(dir.path())));
        QVERIFY(Volumes::uuid(u"/proc"_qs) && Volumes::uuid(u"/proc"_qs) != here);
        // What is not there has neither.
        for (const QString &path : {dir.filePath(u"missing"_qs), dir.filePath(u"dangling"_qs)})
            QVERIFY2(!Volumes::flags(path) && !Volumes::uuid(path), qPrintable(path));
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

    void imagesAreReadOnlyAndLoopDevicesRemovable()
    {
        // A folder holding one file, packed into a SquashFS image, mounted on an empty folder.
        test::TestHome home;
        const QString source = home.scratch(u"source"_qs),
                      image = home.scratch(u"image.squashfs"_qs);
        const QString mountPoint = home.scratch(u"mount"_qs), file = mountPoint + u"/file"_qs;
        QVERIFY(test::put(source + u"/file"_qs, "data") && QDir().mkpath(mountPoint));
        QCOMPARE(
            test::runTool(u"mksquashfs"_qs, {source, image, u"-noappend"_qs, u"-quiet"_qs}).status,
            0);
        if (const auto fuse = test::runTool(u"squashfuse"_qs, {image, mountPoint});
            fuse.status != 0)
            QSKIP("FUSE is not usable here: " + fuse.err);
        {
            const auto unmount = qScopeGuard([&] {
                test::runTool(u"fusermount3"_qs, {u"-u"_qs, mountPoint});
            });
            // Mounted without -o ro, the system reports it writable: only its type makes it read-only.
            QVERIFY(!systemSaysReadOnly(mountPoint));
            QCOMPARE(Volumes::flags(file), Flags(true, false));
            QVERIFY(Volumes::uuid(file) != Volumes::uuid(source));
        }
        const auto loop = test::runTool(
            u"mount"_qs, {u"-t"_qs, u"squashfs"_qs, u"-o"_qs, u"loop,ro"_qs, image, mountPoint});
        if (loop.status != 0)
            QSKIP("loop mounts are not available here: " + loop.err);
        const auto unmount = qScopeGuard([&] { test::runTool(u"umount"_qs, {mountPoint}); });
        QCOMPARE(Volumes::flags(file), Flags(true, true));
    }
};

QTEST_GUILESS_MAIN(VolumesTest)
#include "VolumesTest.moc"

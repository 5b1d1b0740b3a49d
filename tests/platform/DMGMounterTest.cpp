#include <platform/DMGMounter.h>
#include <platform/FileSystem.h>
#include <signing/DiskImage.h>

#include <support/Failure.h>
#include <support/TestHome.h>

#include <QDir>
#include <QProcess>
#include <QTest>

#include <ftw.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace vantry;
using Kind = DMGMounter::MountError::Kind;

namespace {

auto mountErrorOf(const auto &result) { return test::failureOf<DMGMounter::MountError>(result); }

QStringList entries(const QString &folder) { return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }

// The items of an attached tree that could hand a privilege or a change to anyone: a set-ID bit
// that counts, another owner, a write bit, a mount folder open to others, an attribute outside
// `user.`. What a read-only volume shows cannot be changed; set-ID bits on a nosuid one are inert.
unsigned long s_flags = 0;
QByteArray s_root, s_found;

const char *faultOf(const char *path, const struct stat &status)
{
    if ((status.st_mode & (S_ISUID | S_ISGID)) && !(s_flags & ST_NOSUID))
        return "set-ID";
    if (s_flags & ST_RDONLY)
        return nullptr;
    if (status.st_uid != ::geteuid())
        return "owner";
    if (s_root == path ? (status.st_mode & 07777) != 0700
                       : !S_ISLNK(status.st_mode) && (status.st_mode & 0222))
        return "mode";
    QByteArray names(4096, '\0');
    names.truncate(qMax<ssize_t>(0, ::llistxattr(path, names.data(), size_t(names.size()))));
    for (const QByteArray &name : names.split('\0'))
        if (!name.isEmpty() && !name.startsWith("user."))
            return "attribute";
    return nullptr;
}

QByteArray privilegeFound(const QString &root)
{
    struct statvfs volume = {};
    s_root = QFile::encodeName(root);
    s_flags = ::statvfs(s_root.constData(), &volume) == 0 ? volume.f_flag : 0;
    s_found.clear();
    const auto judge = [](const char *path, const struct stat *status, int type, FTW *) {
        if (const char *fault = type == FTW_NS ? "unreadable" : faultOf(path, *status))
            s_found += QByteArray(fault) + ": " + path + '\n';
        return 0;
    };
    ::nftw(s_root.constData(), judge, 16, FTW_PHYS);
    return s_found;
}

} // namespace

class DMGMounterTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    int m_cases = 0;

    // A mount area of its own for each case, so that one case's leftovers fail only that case.
    QString parent() const { return m_home.scratch(u"tmp"_qs + QString::number(m_cases)); }

    // An image whose volume holds Swirlo.app and a stray file, with what `extra` adds: mksquashfs
    // options (which bring the file's attributes when they include -xattrs) and pseudo definitions.
    QString image(const QByteArrayList &extra = {})
    {
        const QString name = u"case"_qs + QString::number(m_cases),
                      volume = m_home.scratch(u"volumes/"_qs + name);
        (void)test::put(volume + u"/Swirlo.app/Contents/MacOS/game"_qs, "#!/bin/sh\n", 0755);
        (void)test::put(volume + u"/README"_qs, "read me");
        for (const char *attribute :
             {"user.note", "trusted.note", "security.capability"}) // cap_net_raw
            (void)::lsetxattr(QFile::encodeName(volume + u"/README"_qs).constData(), attribute,
                              "\x01\0\0\x02\0\x20\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20, 0);
        // Pseudo definitions go through a file: their names may be any bytes.
        const QString output = m_home.scratch(name + u".dmg"_qs);
        QStringList arguments {volume,       output,    u"-noappend"_qs,
                               u"-quiet"_qs, u"-pf"_qs, output + u".pf"_qs};
        arguments << (extra.contains("-xattrs") ? u"-xattrs"_qs : u"-no-xattrs"_qs);
        QByteArray pseudo = "\n";
        for (const QByteArray &item : extra)
            item.startsWith('-') ? void(arguments << QString::fromUtf8(item).split(u' '))
                                 : void(pseudo += item + '\n');
        const bool made = FileSystem::writeFileAtomically(output + u".pf"_qs, pseudo) &&
                          QProcess::execute(u"mksquashfs"_qs, arguments) == 0;
        return made ? output : QString();
    }

private Q_SLOTS:
    void init() { QVERIFY(++m_cases && FileSystem::makeDirectories(parent())); }
    void cleanup() { qunsetenv("VANTRY_HDIUTIL_MODE"); }

    void anImageBringsNothingPrivileged_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QByteArrayList>("extra"); // to an image of Swirlo.app
        QTest::addColumn<QString>("needs");
        QTest::addColumn<std::optional<DMGMounter::MountError>>("refusal");
        QByteArrayList locked;
        for (QByteArray folder = "Swirlo.app/Contents/locked"; locked.size() < 8;
             folder += "/locked")
            locked << folder + " d 000 0 0";
        const auto failed = [](const char *words) {
            return std::optional(DMGMounter::MountError {
                Kind::attachFailed, u"hdiutil: attach failed - "_qs + QString::fromUtf8(words), 0});
        };
        const auto special = failed("the image holds a device, FIFO or socket");
        const auto attributes = failed("the image carries extended attributes outside user.");
        const auto outgrows = failed("the image could outgrow the free space at the mount point");
        const auto count = [](int apps) {
            return std::optional(DMGMounter::MountError {Kind::unexpectedAppCount, {}, apps});
        };
        const std::optional<DMGMounter::MountError> accepted;
        for (const QString &mode : {QString(), u"extract"_qs}) {
            const auto row = [&](const char *tag, const QByteArrayList &extra, const auto &refusal,
                                 const char *needs = "") {
                QTest::addRow("%s %s", mode.isEmpty() ? "mounted" : "extracted", tag)
                    << mode << extra << QString::fromLatin1(needs) << refusal;
            };
            row("one app", {}, accepted);
            row("two apps", {"B.app d 0755 0 0"}, count(2));
            row("app is a link", {"Link.app s 0777 0 0 /usr", "-e Swirlo.app"}, count(1));
            row("fifo", {"pipe i 0644 0 0 f"}, special); // devices and sockets go the same way
            row("set-id", {"Swirlo.app/Contents/MacOS/tool f 6755 0 0 true"}, accepted);
            row("open top", {"-root-mode 0777", "-root-uid 4321"}, accepted);
            row("owners", {"Swirlo.app/Contents/theirs f 0644 4321 4321 true"}, accepted, "root");
            row("attributes", {"-xattrs"}, mode.isEmpty() ? attributes : accepted, "root");
            row("names not text",
                {"\"Swirlo.app/\xff name\" f 0644 0 0 true", "\xfftop d 0755 0 0",
                 "\xfftop/\xff f 0644 0 0 true"},
                accepted);
            row("locked folders", locked, accepted);
            // On a 4 MiB tmpfs: a sparse file, and two copies that the image keeps once.
            const auto tooLarge = mode.isEmpty() ? accepted : outgrows;
            row("sparse", {"zeros f 0644 0 0 head -c 64M /dev/zero"}, tooLarge, "tmpfs");
            row("copies", {"a f 0644 0 0 yes | head -c 3M", "b f 0644 0 0 yes | head -c 3M"},
                tooLarge, "tmpfs");
        }
    }

    void anImageBringsNothingPrivileged()
    {
        QFETCH(QString, mode);
        QFETCH(QByteArrayList, extra);
        QFETCH(QString, needs);
        QFETCH(std::optional<DMGMounter::MountError>, refusal);
        if (!needs.isEmpty() && ::geteuid() != 0)
            QSKIP("only root unpacks foreign owners and privileged attributes, or mounts");
        const bool small = needs == u"tmpfs"_qs;
        QVERIFY(!small || QProcess::execute(u"mount"_qs, u"-t tmpfs -o size=4m tmpfs"_qs.split(u' ')
                                                             << parent()) == 0);
        const auto unmount = qScopeGuard([&] {
            if (small)
                QProcess::execute(u"umount"_qs, {parent()});
        });
        if (!mode.isEmpty())
            qputenv("VANTRY_HDIUTIL_MODE", mode.toUtf8());
        const QString dmg = image(extra);
        QVERIFY(!dmg.isEmpty());

        const auto mounted = DMGMounter::attach(dmg, parent());
        QCOMPARE(mountErrorOf(mounted), refusal);
        QCOMPARE(bool(mounted), !refusal);
        if (mounted) {
            QCOMPARE(privilegeFound(mounted->mountRoot), QByteArray());
            QCOMPARE(mounted->mountPoint, mounted->mountRoot);
            QCOMPARE(mounted->appPath, mounted->mountPoint + u"/Swirlo.app"_qs);
            QCOMPARE(*FileSystem::readFile(mounted->appPath + u"/Contents/MacOS/game"_qs),
                     QByteArray("#!/bin/sh\n"));
            QCOMPARE(*FileSystem::readFile(mounted->mountRoot + u".pid"_qs),
                     QByteArray::number(qint64(::getpid())));
            // Read-only, as a release image must be.
            QVERIFY(
                !FileSystem::writeNewFile(mounted->appPath + u"/Contents/added"_qs, "x", 0644) ||
                !mode.isEmpty());
            DMGMounter::detach(*mounted); // once is enough, whatever the names and modes inside
        }
        QCOMPARE(entries(parent()), QStringList());
    }

    void whatIsNoImageFailsWithTheToolsWords()
    {
        const QString notImage = m_home.scratch(u"notes.dmg"_qs);
        QVERIFY(FileSystem::writeFileAtomically(notImage, "these are notes"));
        const auto result = DMGMounter::attach(notImage, parent());
        QCOMPARE(mountErrorOf(result), std::optional(DMGMounter::MountError{Kind::attachFailed, u"hdiutil: attach failed - image not recognized"_qs, 0}));
        QCOMPARE(entries(parent()), QStringList());

        const auto missingTool = DMGMounter::attach(notImage, parent(), m_home.scratch(u"no-such-hdiutil"_qs));
        QVERIFY(mountErrorOf(missingTool));
        QVERIFY(mountErrorOf(missingTool)->text.startsWith(u"hdiutil: "_qs));
        QCOMPARE(entries(parent()), QStringList());

        // TMPDIR naming no folder leaves the temporary path empty: nothing is mounted or swept in
        // the working folder then.
        const QString working = QDir::currentPath();
        QVERIFY(QDir::setCurrent(parent()) && FileSystem::makeDirectories(parent() + u"/vantry-mount-LEFT"_qs));
        const auto nowhere = DMGMounter::attach(image(), QString());
        DMGMounter::sweepStaleMounts(QString());
        QVERIFY(QDir::setCurrent(working));
        QVERIFY(mountErrorOf(nowhere));
        QCOMPARE(entries(parent()), QStringList{u"vantry-mount-LEFT"_qs});
    }

    void anAnswerWithoutAMountPointIsDetachedByDeviceEntry()
    {
        // A tool that answers without a mount point, refuses to detach the folder and detaches
        // the device; it logs every call.
        const QString log = m_home.scratch(u"calls.log"_qs);
        const QString fake = m_home.scratch(u"fake-hdiutil"_qs);
        const QByteArray script = QByteArray("#!/bin/sh\n")
            + "echo \"$*\" >> '" + QFile::encodeName(log) + "'\n"
            + "case \"$1\" in\n"
            + "attach) echo '<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
              "<key>system-entities</key><array><dict><key>dev-entry</key><string>/dev/disk9</string></dict>"
              "<dict><key>dev-entry</key><string>/dev/disk9s1</string></dict></array></dict></plist>'; exit 0;;\n"
            + "detach) if [ \"$3\" = /dev/disk9 ]; then exit 0; else exit 1; fi;;\n"
            + "esac\n";
        QVERIFY(FileSystem::writeFileAtomically(fake, script, 0755));
        const auto result = DMGMounter::attach(u"/some/image.dmg"_qs, parent(), fake);
        QCOMPARE(mountErrorOf(result), std::optional(DMGMounter::MountError{Kind::noMountPoint, {}, 0}));
        const QStringList calls = QString::fromUtf8(*FileSystem::readFile(log)).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(calls.size(), 4);
        QVERIFY(calls[0].startsWith(u"attach -nobrowse -readonly -plist -mountpoint "_qs));
        QVERIFY(calls[0].endsWith(u" /some/image.dmg"_qs));
        const QString mountRoot = calls[0].section(u' ', 5, 5);
        QCOMPARE(calls[1], u"detach -force "_qs + mountRoot); // by folder, twice
        QCOMPARE(calls[2], u"detach -force "_qs + mountRoot);
        QCOMPARE(calls[3], u"detach -force /dev/disk9"_qs); // then the first device that detaches
        QCOMPARE(entries(parent()), QStringList());
    }

    void theSweepSparesOnlyLiveOwners()
    {
        const QString dmg = image();
        const auto stale = DMGMounter::attach(dmg, parent());
        const auto live = DMGMounter::attach(dmg, parent());
        QVERIFY(stale && live);

        // The stale one's owner is a process that has exited.
        QProcess gone;
        gone.start(u"/bin/true"_qs, {});
        QVERIFY(gone.waitForStarted());
        const qint64 deadPid = gone.processId();
        QVERIFY(gone.waitForFinished());
        QVERIFY(deadPid > 0);
        QVERIFY(FileSystem::writeFileAtomically(stale->mountRoot + u".pid"_qs, QByteArray::number(deadPid) + '\n'));
        // A folder without a marker, and a marker without a folder.
        const QString orphan = parent() + u"/vantry-mount-0A1B2C3D-0000-4000-8000-000000000000"_qs;
        QVERIFY(FileSystem::makeDirectories(orphan));
        QVERIFY(FileSystem::writeFileAtomically(parent() + u"/vantry-mount-LONE.pid"_qs, QByteArray::number(deadPid)));
        QVERIFY(FileSystem::writeFileAtomically(parent() + u"/unrelated"_qs, "kept"));
        // A link planted under a mount folder's name leads nowhere near the live mount.
        const QString planted = parent() + u"/vantry-mount-PLANTED"_qs;
        QVERIFY(QFile::link(live->mountRoot, planted));

        DMGMounter::sweepStaleMounts(parent());
        QCOMPARE(entries(parent()), (QStringList{u"unrelated"_qs, QFileInfo(live->mountRoot).fileName(),
                                                 QFileInfo(live->mountRoot).fileName() + u".pid"_qs, u"vantry-mount-PLANTED"_qs}));
        QVERIFY(QFileInfo::exists(live->appPath));
        QVERIFY(QFile::remove(planted));

        // A live owner's marker is kept even before its folder exists.
        QVERIFY(FileSystem::writeFileAtomically(parent() + u"/vantry-mount-STARTING.pid"_qs, QByteArray::number(qint64(::getpid()))));
        DMGMounter::sweepStaleMounts(parent());
        QVERIFY(QFileInfo::exists(parent() + u"/vantry-mount-STARTING.pid"_qs));
        QVERIFY(QFile::remove(parent() + u"/vantry-mount-STARTING.pid"_qs));

        DMGMounter::detach(*live);
        QCOMPARE(entries(parent()), QStringList{u"unrelated"_qs});
    }

    void anOwnerMarkerIsReadBoundedWithoutFollowingALink_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link to a live owner's") << u"link"_qs;
        QTest::newRow("oversized") << u"oversized"_qs;
    }

    void anOwnerMarkerIsReadBoundedWithoutFollowingALink()
    {
        QFETCH(QString, kind);
        const auto mounted = DMGMounter::attach(image(), parent());
        QVERIFY(mounted);
        const QString marker = mounted->mountRoot + u".pid"_qs;
        const QString live = m_home.scratch(u"live.pid"_qs);
        const QByteArray pid = QByteArray::number(qint64(::getpid()));
        QVERIFY(QFile::remove(marker) && FileSystem::writeFileAtomically(live, pid));
        QVERIFY(kind == u"link"_qs
                    ? QFile::link(live, marker)
                    : bool(FileSystem::writeNewFile(marker, pid + QByteArray(64, ' '), 0644)));
        DMGMounter::sweepStaleMounts(parent()); // the marker tells of no owner: the mount is stale
        QCOMPARE(entries(parent()), QStringList());
    }
};

QTEST_GUILESS_MAIN(DMGMounterTest)
#include "DMGMounterTest.moc"

#include <platform/DMGMounter.h>
#include <platform/DiskImage.h>
#include <platform/FileSystem.h>

#include <support/TestHome.h>

#include <QDir>
#include <QProcess>
#include <QTest>

#include <unistd.h>

using namespace vantry;
using Kind = DMGMounter::MountError::Kind;

namespace {

std::optional<DMGMounter::MountError> mountErrorOf(const Expected<MountedDMG, DMGMounter::Failure> &result)
{
    if (result)
        return std::nullopt;
    if (const auto *error = std::get_if<DMGMounter::MountError>(&result.error()))
        return *error;
    return std::nullopt;
}

QStringList entries(const QString &folder) { return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }

} // namespace

class DMGMounterTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

    QString parent() const { return m_home.scratch(u"tmp"_qs); }

    // An image whose volume holds `apps` bundles and a stray file.
    QString image(const QString &name, const QStringList &apps)
    {
        const QString volume = m_home.scratch(u"volumes/"_qs + name);
        (void)FileSystem::makeDirectories(volume);
        for (const QString &app : apps) {
            const QString macos = volume + u'/' + app + u"/Contents/MacOS"_qs;
            (void)FileSystem::makeDirectories(macos);
            (void)FileSystem::writeFileAtomically(macos + u"/game"_qs, "#!/bin/sh\n", 0755);
        }
        (void)FileSystem::writeFileAtomically(volume + u"/README"_qs, "read me");
        const QString output = m_home.scratch(name + u".dmg"_qs);
        // The image's top is the folder's content.
        QProcess mksquashfs;
        mksquashfs.start(u"mksquashfs"_qs, {volume, output, u"-noappend"_qs, u"-quiet"_qs, u"-no-progress"_qs});
        mksquashfs.waitForFinished(60000);
        return output;
    }


private Q_SLOTS:
    void init() { QVERIFY(FileSystem::makeDirectories(parent())); }
    void cleanup() { qunsetenv("VANTRY_HDIUTIL_MODE"); }

    void oneAppMountsAndLeavesNothing_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("mounted") << QString();
        QTest::newRow("extracted") << u"extract"_qs;
    }

    void oneAppMountsAndLeavesNothing()
    {
        QFETCH(QString, mode);
        if (!mode.isEmpty())
            qputenv("VANTRY_HDIUTIL_MODE", mode.toUtf8());
        const QString dmg = image(u"one"_qs, {u"Swirlo.app"_qs});

        const auto mounted = DMGMounter::attach(dmg, parent());
        QVERIFY2(mounted, mountErrorOf(mounted) ? qPrintable(mountErrorOf(mounted)->text) : "file error");
        QCOMPARE(QFileInfo(mounted->mountRoot).fileName().left(13), u"vantry-mount-"_qs);
        const QString uuid = QFileInfo(mounted->mountRoot).fileName().mid(13);
        QCOMPARE(uuid, uuid.toUpper());
        QVERIFY(!QUuid::fromString(uuid).isNull());
        QCOMPARE(mounted->mountPoint, mounted->mountRoot);
        QCOMPARE(mounted->appPath, mounted->mountPoint + u"/Swirlo.app"_qs);
        QCOMPARE(*FileSystem::readFile(mounted->appPath + u"/Contents/MacOS/game"_qs), QByteArray("#!/bin/sh\n"));
        QCOMPARE(*FileSystem::readFile(mounted->mountRoot + u".pid"_qs), QByteArray::number(qint64(::getpid())));
        // Read-only, as a release image must be.
        QVERIFY(!FileSystem::writeNewFile(mounted->appPath + u"/Contents/added"_qs, "x", 0644) || mode == u"extract"_qs);

        DMGMounter::detach(*mounted);
        QCOMPARE(entries(parent()), QStringList());
    }

    void theVolumeMustHoldExactlyOneApp()
    {
        const auto two = DMGMounter::attach(image(u"two"_qs, {u"A.app"_qs, u"B.app"_qs}), parent());
        QCOMPARE(mountErrorOf(two), std::optional(DMGMounter::MountError{Kind::unexpectedAppCount, {}, 2}));
        QCOMPARE(entries(parent()), QStringList());

        const auto none = DMGMounter::attach(image(u"none"_qs, {}), parent());
        QCOMPARE(mountErrorOf(none), std::optional(DMGMounter::MountError{Kind::unexpectedAppCount, {}, 0}));
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
        const QString dmg = image(u"sweep"_qs, {u"Tumbit.app"_qs});
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
};

QTEST_GUILESS_MAIN(DMGMounterTest)
#include "DMGMounterTest.moc"

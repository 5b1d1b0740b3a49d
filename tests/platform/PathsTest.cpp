#include <platform/FileSystem.h>
#include <platform/Paths.h>

#include <support/TestHome.h>

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>

using namespace vantry;

class PathsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void foldersFollowTheHome()
    {
        test::TestHome home;
        const QString h = home.home();
        QCOMPARE(Paths::homeDirectory(), h);
        QCOMPARE(Paths::managedGamesDirectory(), h + QStringLiteral("/Applications/Vantry"));
        QCOMPARE(Paths::applicationSupportDirectory(), h + QStringLiteral("/.local/share/Vantry"));
        QCOMPARE(Paths::downloadsDirectory(), h + QStringLiteral("/.local/share/Vantry/Downloads"));
        QCOMPARE(Paths::catalogCacheDirectory(), h + QStringLiteral("/.local/share/Vantry/Catalog"));
        QCOMPARE(Paths::iconCacheDirectory(), h + QStringLiteral("/.local/share/Vantry/Icons"));
        QCOMPARE(Paths::userDefaultsFile(), h + QStringLiteral("/.config/Vantry/defaults.json"));

        // The staging folder is hidden inside the managed games folder, whose name has no dot.
        const QFileInfo staging(Paths::stagingDirectory());
        QVERIFY(staging.fileName().startsWith(u'.'));
        QCOMPARE(staging.absolutePath(), Paths::managedGamesDirectory());
        QVERIFY(!QFileInfo(Paths::managedGamesDirectory()).fileName().contains(u'.'));
    }

    void xdgVariablesMustBeAbsolute()
    {
        test::TestHome home;
        qputenv("XDG_DATA_HOME", "relative/share");
        qputenv("XDG_CONFIG_HOME", "");
        QCOMPARE(Paths::applicationSupportDirectory(), home.home() + QStringLiteral("/.local/share/Vantry"));
        QCOMPARE(Paths::userDefaultsFile(), home.home() + QStringLiteral("/.config/Vantry/defaults.json"));

        // So must HOME: a relative one falls back to the account's home folder.
        qputenv("HOME", "relative/home");
        QVERIFY(QDir::isAbsolutePath(Paths::homeDirectory()));
        QVERIFY(!Paths::managedGamesDirectory().startsWith(QStringLiteral("relative")));
        qputenv("HOME", QFile::encodeName(home.home()));

        const QString elsewhere = home.scratch(QStringLiteral("data"));
        qputenv("XDG_DATA_HOME", elsewhere.toUtf8() + "/");
        QCOMPARE(Paths::catalogCacheDirectory(), elsewhere + QStringLiteral("/Vantry/Catalog"));
    }

    void ensureDirectoriesCreatesAndTightens()
    {
        test::TestHome home;
        const QString appSupport = Paths::applicationSupportDirectory();
        const QString install = Paths::managedGamesDirectory();

        QVERIFY(Paths::ensureDirectories(appSupport, install).has_value());
        QCOMPARE(*FileSystem::permissions(appSupport), mode_t(0700));
        QVERIFY(QFileInfo(install).isDir());

        // A folder that was there before, too open, is made private again; running twice is fine.
        QVERIFY(::chmod(QFile::encodeName(appSupport).constData(), 0755) == 0);
        QVERIFY(Paths::ensureDirectories(appSupport, install).has_value());
        QCOMPARE(*FileSystem::permissions(appSupport), mode_t(0700));
    }

    void ensureDirectoriesStopsAtTheFirstFailure()
    {
        test::TestHome home;
        const QString blocker = home.scratch(QStringLiteral("blocker"));
        QFile file(blocker);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        const QString install = home.scratch(QStringLiteral("games"));
        const auto result = Paths::ensureDirectories(blocker + QStringLiteral("/Vantry"), install);
        QVERIFY(!result);
        QCOMPARE(result.error().code, ENOTDIR);
        QVERIFY(!QFileInfo::exists(install));

        // A file where the folder itself should be is an error, not success.
        QVERIFY(!Paths::ensureDirectories(blocker, install));
    }
};

QTEST_GUILESS_MAIN(PathsTest)
#include "PathsTest.moc"

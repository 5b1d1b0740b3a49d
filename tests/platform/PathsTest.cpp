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
    void foldersFollowTheHomeAndAbsoluteVariables()
    {
        test::TestHome home;
        const QString h = home.home();
        QCOMPARE(Paths::homeDirectory(), h);
        QCOMPARE(Paths::managedGamesDirectory(), h + u"/Applications/Vantry"_qs);
        // The staging folder is hidden inside the managed games folder, whose name has no dot.
        const QFileInfo staging(Paths::stagingDirectory());
        QVERIFY(staging.fileName().startsWith(u'.'));
        QCOMPARE(staging.absolutePath(), Paths::managedGamesDirectory());
        QVERIFY(!QFileInfo(Paths::managedGamesDirectory()).fileName().contains(u'.'));

        // XDG variables must be absolute and set, or the defaults under the home apply.
        qputenv("XDG_DATA_HOME", "relative/share");
        qputenv("XDG_CONFIG_HOME", "");
        QCOMPARE(Paths::applicationSupportDirectory(), h + u"/.local/share/Vantry"_qs);
        QCOMPARE(Paths::userDefaultsFile(), h + u"/.config/Vantry/defaults.json"_qs);

        // So must HOME: a relative one falls back to the account's home folder.
        qputenv("HOME", "relative/home");
        QVERIFY(QDir::isAbsolutePath(Paths::homeDirectory()));
        QVERIFY(!Paths::managedGamesDirectory().startsWith(u"relative"_qs));
        qputenv("HOME", QFile::encodeName(h));

        const QString elsewhere = home.scratch(u"data"_qs);
        qputenv("XDG_DATA_HOME", elsewhere.toUtf8() + "/");
        QCOMPARE(Paths::catalogCacheDirectory(), elsewhere + u"/Vantry/Catalog"_qs);
    }

    void ensureDirectoriesTightensAndStopsAtTheFirstFailure()
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

        const QString blocker = home.scratch(u"blocker"_qs);
        QVERIFY(test::put(blocker, {}));
        const QString games = home.scratch(u"games"_qs);
        const auto result = Paths::ensureDirectories(blocker + u"/Vantry"_qs, games);
        QCOMPARE(result ? 0 : result.error().code, ENOTDIR);
        QVERIFY(!QFileInfo::exists(games));
        // A file where the folder itself should be is an error, not success.
        QVERIFY(!Paths::ensureDirectories(blocker, games));
    }
};

QTEST_GUILESS_MAIN(PathsTest)
#include "PathsTest.moc"

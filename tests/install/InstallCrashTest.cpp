#include "ReleaseFixture.h"

#include <install/InstallEngine.h>

#include <platform/CodesignVerifier.h>
#include <platform/FileSystem.h>
#include <platform/Paths.h>

#include <support/TestHome.h>

#include <QDir>
#include <QProcess>
#include <QTest>

using namespace vantry;

// A launcher killed at any point of an install or update: the next start cleans up, and the game
// is the complete old bundle or the complete new one.
class InstallCrashTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;
    test::TestServer m_server;
    const Catalog::Entry m_entry = test::gameEntry(u"game"_qs);

    // Runs the child until it ends; gives how many points it passed when it was not killed.
    std::optional<int> runChild(const InstallPlan &plan, int killAt)
    {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"VANTRY_CONNECT_TO"_qs, u"127.0.0.1:%1"_qs.arg(m_server.port()));
        environment.insert(u"VANTRY_EXTRA_CA"_qs, test::TestServer::certificatePath());
        child.setProcessEnvironment(environment);
        child.start(QStringLiteral(VANTRY_CRASH_CHILD),
                    {m_entry.id, plan.enclosureURL.toString(), QString::number(plan.expectedLength), plan.expectedSignature,
                     QString::number(plan.expectedVersion), QString::number(killAt)});
        if (!child.waitForFinished(120000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
            return std::nullopt;
        return child.readAllStandardOutput().trimmed().toInt();
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TMPDIR", QFile::encodeName(m_home.scratch(u"tmp"_qs)));
        QVERIFY(FileSystem::makeDirectories(m_home.scratch(u"tmp"_qs)));
    }

    void aKilledJobLeavesTheOldOrTheNewGame_data()
    {
        QTest::addColumn<bool>("update");
        QTest::newRow("install") << false;
        QTest::newRow("update") << true;
    }

    void aKilledJobLeavesTheOldOrTheNewGame()
    {
        QFETCH(bool, update);
        const InstallPlan plan = test::publish(m_server, m_home.scratch(u"releases"_qs), m_entry, 2, test::gameBundle(m_entry, 2));
        const QString install = Paths::managedGamesDirectory(), downloads = Paths::downloadsDirectory();
        const QString staging = Paths::stagingDirectory(), tmp = m_home.scratch(u"tmp"_qs);
        const auto reset = [&] {
            QDir(m_home.home()).removeRecursively();
            return !update || test::gameBundle(m_entry, 1).build(install);
        };
        QVERIFY(reset());
        const auto points = runChild(plan, 0);
        QVERIFY(points >= 20);
        qInfo("killing at each of %d points", *points);
        for (int killAt = 1; killAt <= *points; ++killAt) {
            QVERIFY(reset());
            QVERIFY2(!runChild(plan, killAt), "killed before its end");
            InstallEngine::prepare(downloads, staging).waitForFinished();
            const QList<InstalledApp> apps = LibraryScanner::scanAll(install);
            const QString where = u"killed at point %1"_qs.arg(killAt);
            QVERIFY2(apps.size() == (update ? 1 : apps.size()) && apps.size() <= 1, qPrintable(where));
            for (const InstalledApp &app : apps)
                QVERIFY2(CodesignVerifier::signatureValid(app.url) && app.observation.version >= (update ? 1 : 2), qPrintable(where));
            QVERIFY2(test::entriesOf(staging).isEmpty() && test::entriesOf(downloads).isEmpty(), qPrintable(where));
            QVERIFY2(test::entriesOf(tmp).isEmpty() && test::nothingMountedUnder(m_home.scratch({})), qPrintable(where));
        }
    }
};

QTEST_GUILESS_MAIN(InstallCrashTest)
#include "InstallCrashTest.moc"

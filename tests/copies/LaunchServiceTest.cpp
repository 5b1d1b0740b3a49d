#include <copies/LaunchService.h>
#include <platform/FileSystem.h>
#include <support/BundleBuilder.h>
#include <support/TestHome.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <csignal>

using namespace vantry;
using namespace std::chrono_literals;
using Origin = InstallCopy::Origin;
static const QString gameId = u"com.example."_qs + QUuid::createUuid().toString(QUuid::Id128); // seen by this run alone

static QString bundle(const test::TestHome &home, const QString &id, const char *build = "14") // runs /bin/sleep
{
    const auto made = test::BundleBuilder().setBundleIdentifier(id).setBundleVersion(QString::fromLatin1(build))
                          .setFramework({}).setSigning(test::BundleBuilder::Signing::none).build(home.home());
    return made ? FileSystem::canonicalPath(*made) : QString();
}

class LaunchServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aCopyIsCheckedAgainBeforeItOpens() // a managed copy by its signature alone, an adopted one in full
    {
        const LaunchError belowTheMark = LaunchError::adoptionRefused(AdoptionRefusal::belowHighWaterMark(12, 14));
        QCOMPARE(belowTheMark.adoptionRefusal()->userFacingDescription(), u"it is build 12, older than build 14 already accepted"_qs);
        const struct { Origin origin; QString id; const char *build; bool codesign, verify; std::optional<LaunchError> expected; } rows[] = {
            {Origin::managed, gameId, "12", true, false, {}}, {Origin::managed, gameId, "14", false, true, LaunchError::codesignRefused()},
            {Origin::adopted, gameId, "14", false, true, {}}, {Origin::adopted, gameId, "12", true, true, belowTheMark},
            {Origin::adopted, gameId.toUpper(), "14", true, true, LaunchError::identityMismatch()},
            {Origin::managed, {}, "14", true, true, LaunchError::notInstalled()}}; // deleted
        Catalog::Entry entry;
        entry.bundleId = gameId;
        entry.minSystemVersion = u"2.0"_qs;
        for (const auto &[origin, id, build, codesign, verify, expected] : rows) {
            test::TestHome home;
            const QString path = bundle(home, id, build);
            QStringList opened;
            QVERIFY(!id.isEmpty() || QDir(path).removeRecursively());
            const auto launched = QCoro::waitFor(LaunchService::play(entry, {path, {}, origin, true, true}, 14,
                [v = verify](auto &) { return AdoptionService::Verification {v, v}; }, [c = codesign](auto &) { return c; }, [&opened](const QString &url) { opened.append(url); }));
            QVERIFY2((launched ? std::nullopt : std::optional(launched.error())) == expected, qPrintable(id + u' ' + QString::fromLatin1(build)));
            QCOMPARE(opened, launched ? QStringList {path} : QStringList());
        }
    }

    void aGameIsAskedToQuitAndWaitedForWithoutBlocking() // none runs; one quits on SIGTERM; one ignores it
    {
        const struct { int game; bool quit; std::chrono::milliseconds atLeast, atMost; } rows[] = {{0, true, 0ms, 150ms}, {1, true, 0ms, 1500ms}, {2, false, 475ms, 1500ms}};
        for (const auto &[game, quit, atLeast, atMost] : rows) {
            test::TestHome home;
            QProcess process;
            process.setChildProcessModifier([ignore = game == 2] { ::signal(SIGTERM, ignore ? SIG_IGN : SIG_DFL); });
            if (game)
                process.start(bundle(home, gameId) + u"/Contents/MacOS/Game"_qs, {u"60"_qs});
            QVERIFY(!game || (process.waitForStarted() && LaunchService::isRunning(gameId)));
            QTimer ticker; // the main thread's timers keep firing while it waits
            QSignalSpy ticks(&ticker, &QTimer::timeout);
            ticker.start(50);
            const auto started = std::chrono::steady_clock::now();
            QCOMPARE(QCoro::waitFor(LaunchService::terminate(gameId, game ? 0.5 : 10.0)), quit);
            const auto took = std::chrono::steady_clock::now() - started;
            QVERIFY(took >= atLeast && took <= atMost && ticks.size() >= atLeast / 100ms && LaunchService::isRunning(gameId) != quit);
            process.kill();
            process.waitForFinished();
        }
    }
};

QTEST_GUILESS_MAIN(LaunchServiceTest)
#include "LaunchServiceTest.moc"

#include <copies/LaunchService.h>
#include <platform/FileSystem.h>
#include <support/BundleBuilder.h>
#include <support/TestHome.h>

#include <QCoroTask>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QUuid>

#include <csignal>

using namespace vantry;
using Origin = InstallCopy::Origin;

// Unique to one run, so that other runs on this machine are never seen.
static const QString gameId = u"com.example."_qs + QUuid::createUuid().toString(QUuid::Id128);

// `<home>/Game.app` whose executable is a copy of /bin/sleep, unsigned; its canonical path.
static QString bundle(const test::TestHome &home, const QString &id, const char *build = "14")
{
    const auto made = test::BundleBuilder().setBundleIdentifier(id).setBundleVersion(QString::fromLatin1(build))
                          .setFramework({}).setSigning(test::BundleBuilder::Signing::none).build(home.home());
    return made ? FileSystem::canonicalPath(*made) : QString();
}

struct PlayRow { // identity empty: the copy was deleted; clause: an adoption refusal's text
    Origin origin; QString identity; const char *build; bool codesign, verify;
    std::optional<LaunchError> expected; const char *clause = "";
};

class LaunchServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aCopyIsCheckedAgainBeforeItOpens_data()
    {
        QTest::addColumn<PlayRow>("row");
        const auto refused = [](AdoptionRefusal refusal) { return LaunchError::adoptionRefused(std::move(refusal)); };
        QTest::newRow("managed: its signature alone") << PlayRow {Origin::managed, gameId, "12", true, false, {}};
        QTest::newRow("managed, signature broken")
            << PlayRow {Origin::managed, gameId, "14", false, true, LaunchError::codesignRefused()};
        QTest::newRow("adopted: assessed in full") << PlayRow {Origin::adopted, gameId, "14", false, true, {}};
        QTest::newRow("adopted, signature broken") << PlayRow {Origin::adopted, gameId, "14", true, false,
            refused(AdoptionRefusal::signatureInvalid()), "its Developer ID signature is no longer valid"};
        QTest::newRow("adopted, below the mark") << PlayRow {Origin::adopted, gameId, "12", true, true,
            refused(AdoptionRefusal::belowHighWaterMark(12, 14)), "it is build 12, older than build 14 already accepted"};
        QTest::newRow("another game")
            << PlayRow {Origin::adopted, u"com.other"_qs, "14", true, true, LaunchError::identityMismatch()};
        QTest::newRow("deleted") << PlayRow {Origin::managed, {}, "14", true, true, LaunchError::notInstalled()};
    }
    void aCopyIsCheckedAgainBeforeItOpens()
    {
        QFETCH(PlayRow, row);
        test::TestHome home;
        const QString path = bundle(home, row.identity, row.build);
        QVERIFY(!row.identity.isEmpty() || QDir(path).removeRecursively());
        Catalog::Entry entry;
        entry.bundleId = gameId;
        entry.minSystemVersion = u"2.0"_qs;
        const auto verify = [v = row.verify](auto &) { return AdoptionService::Verification {v, v}; };
        QStringList opened;
        const auto codesign = [c = row.codesign](auto &) { return c; };
        const auto launched = QCoro::waitFor(LaunchService::play(entry, {path, {}, row.origin, true, true}, 14, verify,
                                                                 codesign, [&](const QString &url) { opened.append(url); }));
        const auto error = launched ? std::nullopt : std::optional(launched.error());
        QCOMPARE(error, row.expected);
        QCOMPARE(opened, error ? QStringList() : QStringList {path});
        const AdoptionRefusal *refusal = error ? error->adoptionRefusal() : nullptr;
        QCOMPARE(refusal ? refusal->userFacingDescription() : QString(), QString::fromUtf8(row.clause));
    }

    // None runs; one quits on SIGTERM; one ignores it. The processes are this test's own.
    void aGameIsAskedToQuitAndWaitedForWithoutBlocking()
    {
        const struct { int game; bool quit; int atLeast, atMost; } rows[] = {
            {0, true, 0, 150}, {1, true, 0, 1500}, {2, false, 475, 1500}};
        for (const auto &[game, quit, atLeast, atMost] : rows) {
            test::TestHome home;
            QProcess process;
            if (game == 2)
                process.setChildProcessModifier([] { ::signal(SIGTERM, SIG_IGN); });
            if (game)
                process.start(bundle(home, gameId) + u"/Contents/MacOS/Game"_qs, {u"60"_qs});
            QVERIFY(!game || (process.waitForStarted() && LaunchService::isRunning(gameId)));
            int ticks = 0; // the main thread's timers keep firing while it waits
            QTimer ticker;
            ticker.callOnTimeout([&ticks] { ++ticks; });
            ticker.start(50);
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(QCoro::waitFor(LaunchService::terminate(gameId, game ? 0.5 : 10.0)), quit);
            const qint64 took = clock.elapsed();
            QVERIFY2(took >= atLeast && took <= atMost && ticks >= atLeast / 100, qPrintable(QString::number(took)));
            QCOMPARE(LaunchService::isRunning(gameId), !quit);
            process.kill();
            process.waitForFinished();
        }
    }
};

QTEST_GUILESS_MAIN(LaunchServiceTest)
#include "LaunchServiceTest.moc"

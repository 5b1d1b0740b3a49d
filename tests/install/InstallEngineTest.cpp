#include "ReleaseFixture.h"

#include <install/InstallEngine.h>

#include <catalog/HighWaterStore.h>
#include <core/DefaultsKeys.h>
#include <platform/CodesignVerifier.h>
#include <platform/Crypto.h>
#include <platform/DiskImage.h>
#include <platform/FileSystem.h>
#include <platform/UserDefaults.h>

#include <support/TestHome.h>

#include <QDir>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantry;
using Case = TitleState::Case;
using Step = VerificationStep;

enum class Fault { shortImage, foreignSignature, twoApps, copyOutFails, otherTeam, notNotarized, otherIdentity, belowMark, touched, launched };
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(vantry::VerificationStep)
Q_DECLARE_METATYPE(vantry::TitleState)

// Installs and updates end to end: real images from the loopback server through the nine steps.
class InstallEngineTest : public QObject
{
    Q_OBJECT

public:
    explicit InstallEngineTest(bool privateMounts) : m_privateMounts(privateMounts) {}

private:
    const bool m_privateMounts;
    test::TestHome m_home;
    test::TestServer m_server;
    std::unique_ptr<HttpTransport> m_transport = m_server.transport();
    UserDefaults m_defaults{m_home.scratch(u"defaults.json"_qs)};
    HighWaterStore m_highWater{m_defaults};
    std::unique_ptr<InstallEngine> m_engine;
    QList<QHash<QString, TitleState>> m_seen; // every overlay the engine published
    QProcess m_game;
    const Catalog::Entry m_entry = test::gameEntry(u"game"_qs);

    QString scratch() const { return m_home.scratch(u"releases"_qs); }
    const WorkingRoots &roots() const { return m_engine->roots(); }
    QString installed() const { return roots().install + u"/Game.app"_qs; }
    TitleState state(const QString &id = u"game"_qs) const { return m_engine->jobStates().value(id); }

    [[nodiscard]] bool request(const InstallPlan &plan, TitleState origin = TitleState::updateAvailable(),
                               std::optional<AdoptableCopy> target = std::nullopt, const Catalog::Entry *entry = nullptr)
    {
        m_engine->requestInstall(entry ? *entry : m_entry, plan, origin, target);
        return waitIdle();
    }

    // Drain handlers run at the next idle signal; pumping gives one when the engine is idle now.
    [[nodiscard]] bool waitIdle()
    {
        const auto idle = std::make_shared<bool>(false);
        m_engine->addDrainHandler([idle] { *idle = true; });
        m_engine->pump();
        return QTest::qWaitFor([idle] { return *idle; }, 120000);
    }

    // Nothing of a job is left: no download, nothing staged, nothing mounted.
    [[nodiscard]] bool leftNothing() const
    {
        return test::entriesOf(roots().downloads).isEmpty() && test::entriesOf(roots().staging).isEmpty()
            && test::entriesOf(qEnvironmentVariable("TMPDIR")).isEmpty() && test::nothingMountedUnder(m_home.scratch({}));
    }

    [[nodiscard]] static std::optional<std::int64_t> validVersion(const QString &bundle)
    {
        const auto found = LibraryScanner::observation(bundle);
        return found && CodesignVerifier::signatureValid(bundle) ? std::optional(found->version) : std::nullopt;
    }

    InstallPlan publish(int version, test::BundleBuilder bundle) { return test::publish(m_server, scratch(), m_entry, version, bundle); }
    InstallPlan publish(int version) { return publish(version, test::gameBundle(m_entry, version)); }
    InstallPlan publishFor(const Catalog::Entry &entry) { return test::publish(m_server, scratch(), entry, 1, test::gameBundle(entry, 1)); }
    // A slow release: its download lasts long enough to act while it runs.
    InstallPlan publishSlow(const Catalog::Entry &entry)
    {
        InstallPlan plan = test::publish(m_server, scratch(), entry, 1, test::gameBundle(entry, 1));
        test::TestServer::Route route;
        route.body = *FileSystem::readFile(scratch() + u'/' + entry.id + u"-1.dmg"_qs);
        route.delivery = test::TestServer::Delivery::trickle;
        route.trickleChunk = 4096;
        route.trickleDelayMs = 40;
        m_server.route(plan.enclosureURL.path(), route);
        return plan;
    }

    // A copy of the game outside every folder the engine knows, to be started from there.
    QString gameOutside(const Catalog::Entry &entry)
    {
        const auto bundle = test::gameBundle(entry, 1).build(m_home.scratch(u"running"_qs));
        return *bundle + u"/Contents/MacOS/"_qs + QFileInfo(*bundle).baseName();
    }

    void startGame(const QString &executable)
    {
        m_game.start(executable, {u"60"_qs});
        m_game.waitForStarted();
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TMPDIR", QFile::encodeName(m_home.scratch(u"tmp"_qs)));
        QVERIFY(FileSystem::makeDirectories(m_home.scratch(u"tmp"_qs)));
    }

    void init()
    {
        for (const QString &folder : {m_home.home(), scratch()})
            QDir(folder).removeRecursively();
        m_engine = std::make_unique<InstallEngine>(m_transport.get(), &m_highWater);
        m_seen.clear();
        connect(m_engine.get(), &InstallEngine::jobStatesChanged, this, [this] { m_seen << m_engine->jobStates(); });
    }

    void cleanup()
    {
        InstallEngine::setCheckpointHook({});
        m_game.kill();
        m_game.waitForFinished();
        QVERIFY(waitIdle());
        m_engine.reset();
        (void)m_defaults.remove(DefaultsKeys::titleVersionHighWater(m_entry.id));
    }

    void aFreshInstallThenAnUpdateOfTheManagedCopy()
    {
        QVERIFY(request(publish(1), TitleState::available()));
        QCOMPARE(state(), TitleState::installed());
        QCOMPARE(validVersion(installed()), 1);
        QVERIFY(leftNothing());
        // The overlay still says installed (no refresh came): the update shows all the same.
        QVERIFY(request(publish(2)));
        QCOMPARE(state(), TitleState::installed());
        QCOMPARE(validVersion(installed()), 2);
        QCOMPARE(m_highWater.read(DefaultsKeys::titleVersionHighWater(m_entry.id)), 2);
        QVERIFY(leftNothing());
        QCOMPARE(test::entriesOf(roots().install), QStringList{u".staging"_qs} << u"Game.app"_qs);
        QList<TitleState> states;
        for (const auto &overlay : std::as_const(m_seen))
            states << overlay.value(u"game"_qs);
        QCOMPARE(states.count(TitleState::queued()), 2);
        QCOMPARE(states.count(TitleState::downloading(0.0)), 2);
    }

    void jobsRunOneAtATimeInOrder()
    {
        const auto first = test::gameEntry(u"first"_qs), second = test::gameEntry(u"second"_qs);
        m_engine->requestInstall(first, publishSlow(first), TitleState::available(), {});
        m_engine->requestInstall(second, publishFor(second), TitleState::available(), {});
        // A caller whose view is older than the engine's cannot start a title twice.
        QTest::ignoreMessage(QtInfoMsg, "refusing to start first from queued");
        m_engine->requestInstall(first, publishFor(first), TitleState::available(), {});
        QVERIFY(waitIdle());
        QList<TitleState> firstSteps;
        qsizetype firstEnded = -1, secondStarted = -1;
        for (qsizetype i = 0; i < m_seen.size(); ++i) {
            const TitleState now = m_seen[i].value(u"first"_qs);
            if (firstSteps.isEmpty() || firstSteps.last() != now)
                firstSteps << now;
            if (firstEnded < 0 && now == TitleState::installed())
                firstEnded = i;
            if (secondStarted < 0 && m_seen[i].value(u"second"_qs).discriminator() == Case::downloading)
                secondStarted = i;
        }
        QVERIFY(firstEnded > 0 && secondStarted > firstEnded);
        QCOMPARE(state(u"second"_qs), TitleState::installed());
        firstSteps.removeIf([](const TitleState &s) { return s.discriminator() == Case::downloading; });
        QList<TitleState> expected{TitleState::queued()};
        for (const Step step : allVerificationSteps)
            expected << (step <= Step::edSignature ? TitleState::verifying(step) : TitleState::installing(step));
        QCOMPARE(firstSteps, expected << TitleState::installed());
    }

    void cancelWhileQueuedAndWhileDownloading()
    {
        const auto first = test::gameEntry(u"first"_qs), second = test::gameEntry(u"second"_qs), third = test::gameEntry(u"third"_qs);
        const QString thirdGame = gameOutside(third);
        for (const auto &entry : {first, second, third})
            m_engine->requestInstall(entry, entry.id == first.id ? publishSlow(entry) : publishFor(entry), TitleState::updateAvailable(), {});
        QVERIFY(QTest::qWaitFor([&] { return state(u"first"_qs).discriminator() == Case::downloading && m_engine->pending().size() == 2; }));
        m_engine->cancel(second.id);
        QCOMPARE(state(u"second"_qs), TitleState::updateAvailable());
        startGame(thirdGame);
        QTest::ignoreMessage(QtInfoMsg, "dropping third: the game is running");
        m_engine->cancel(first.id);
        QVERIFY(waitIdle());
        QCOMPARE(state(u"first"_qs), TitleState::updateAvailable());
        QCOMPARE(state(u"third"_qs), TitleState::updateAvailable());
        QVERIFY(m_engine->failedJobs().isEmpty());
        QVERIFY(leftNothing());
        QVERIFY(test::entriesOf(roots().install).isEmpty());
    }

    void aFailedJobIsKeptForRetry()
    {
        const InstallPlan plan = publish(1);
        const QByteArray image = *FileSystem::readFile(scratch() + u"/game-1.dmg"_qs);
        m_server.answer(plan.enclosureURL.path(), 404);
        const TitleState failed = TitleState::failed(std::nullopt, u"The download failed. Check your connection and try again."_qs);
        for (int attempt = 0; attempt < 2; ++attempt) {
            QTest::ignoreMessage(QtCriticalMsg, "game download failed: httpStatus(404)");
            QVERIFY(request(plan, TitleState::available()));
            QCOMPARE(state(), failed);
            QVERIFY(leftNothing());
            if (attempt == 0) // a refresh that finds the game installed forgets the failure
                m_engine->reconcileOnRefresh(m_entry.id, TitleState::installed());
            QCOMPARE(m_engine->failedJobs().contains(m_entry.id), attempt == 1);
        }
        m_engine->noteRelaunchPending();
        QTest::ignoreMessage(QtInfoMsg, "refusing to retry game: a launcher relaunch is pending");
        m_engine->retry(m_entry.id);
        QCOMPARE(state(), failed);
        m_engine->setRelaunchPending(false);
        m_server.serve(plan.enclosureURL.path(), image);
        m_engine->retry(m_entry.id);
        QVERIFY(waitIdle());
        QCOMPARE(state(), TitleState::installed());
        QVERIFY(m_engine->failedJobs().isEmpty());
    }

    void aHeldQueueLetsTheActiveJobEndThenDrains()
    {
        const auto first = test::gameEntry(u"first"_qs), second = test::gameEntry(u"second"_qs), third = test::gameEntry(u"third"_qs);
        m_engine->requestInstall(first, publishSlow(first), TitleState::available(), {});
        m_engine->requestInstall(second, publishFor(second), TitleState::available(), {});
        m_engine->requestInstall(third, publishFor(third), TitleState::updateAvailable(), {});
        QVERIFY(QTest::qWaitFor([&] { return m_engine->pending().size() == 2; }));
        int drained = 0;
        m_engine->addDrainHandler([&drained] { ++drained; });
        m_engine->noteRelaunchPending();
        QCOMPARE(state(u"second"_qs), TitleState::available());
        QCOMPARE(state(u"third"_qs), TitleState::updateAvailable());
        QCOMPARE(drained, 0);
        QTRY_COMPARE_WITH_TIMEOUT(drained, 1, 60000);
        QVERIFY(m_engine->relaunchHandlerFired());
        QCOMPARE(state(u"first"_qs), TitleState::installed());
        m_engine->pump();
        QCOMPARE(drained, 1);
    }

    void refusalsChangeNothing_data()
    {
        QTest::addColumn<TitleState>("origin");
        QTest::addColumn<int>("setting"); // 1 held, 2 not writable, 3 running
        QTest::addColumn<QString>("log");
        QTest::newRow("relaunch pending") << TitleState::available() << 1 << u"a launcher relaunch is pending"_qs;
        QTest::newRow("queued") << TitleState::queued() << 0 << u"from queued"_qs;
        QTest::newRow("failed") << TitleState::failed(Step::mount, {}) << 0 << u"from failed"_qs;
        QTest::newRow("installed") << TitleState::installed() << 0 << u"from installed"_qs;
        QTest::newRow("not writable") << TitleState::updateAvailable() << 2 << u"the adopted copy is not writable"_qs;
        QTest::newRow("running") << TitleState::updateAvailable() << 3 << u"the game is running"_qs;
    }

    void refusalsChangeNothing()
    {
        QFETCH(TitleState, origin);
        QFETCH(int, setting);
        QFETCH(QString, log);
        if (setting == 1)
            m_engine->noteRelaunchPending();
        if (setting == 3)
            startGame(gameOutside(m_entry));
        QTest::ignoreMessage(QtInfoMsg, qPrintable(u"refusing to start game"_qs + (log.startsWith(u"from"_qs) ? u" "_qs : u": "_qs) + log));
        const auto target = setting == 2 ? std::optional(AdoptableCopy{installed(), 1, u"1.1"_qs, false, true}) : std::nullopt;
        QVERIFY(request(publish(1), origin, target));
        QVERIFY(m_engine->jobStates().isEmpty());
        QVERIFY(m_engine->pending().isEmpty() && !m_engine->active());
        m_engine->setRelaunchPending(false);
    }

    void anAdoptedCopyIsUpdatedInPlace_data()
    {
        QTest::addColumn<bool>("otherVolume");
        QTest::newRow("same volume") << false;
        QTest::newRow("another volume") << true;
    }

    void anAdoptedCopyIsUpdatedInPlace()
    {
        QFETCH(bool, otherVolume);
        const QString games = m_home.home() + u"/Games"_qs;
        QVERIFY(FileSystem::makeDirectories(games));
        if (otherVolume) {
            if (!m_privateMounts)
                QSKIP("another file system needs root and a mount namespace of this test's own");
            QVERIFY(::mount("tmpfs", QFile::encodeName(games).constData(), "tmpfs", 0, "size=64m") == 0);
        }
        const auto guard = qScopeGuard([&] { ::umount2(QFile::encodeName(games).constData(), MNT_DETACH); });
        const auto copy = test::gameBundle(m_entry, 1).build(games);
        QVERIFY(copy);
        QString stagedAt;
        InstallEngine::setCheckpointHook([&](const char *point) {
            if (qstrcmp(point, "staged") == 0)
                stagedAt = test::entriesOf(games + u"/.vantry-staging"_qs).join(u',') + u'|' + test::entriesOf(roots().staging).join(u',');
        });
        QVERIFY(request(publish(2), TitleState::updateAvailable(), AdoptableCopy{*copy, 1, u"1.1"_qs, true, true}));
        QCOMPARE(state(), TitleState::installed());
        QCOMPARE(stagedAt, otherVolume ? u"Game.app|.beside-target"_qs : u"|Game.app"_qs);
        QCOMPARE(validVersion(*copy), 2);
        QCOMPARE(test::entriesOf(games), QStringList{u"Game.app"_qs});
        QVERIFY(!QFileInfo::exists(installed()));
        // A copy-out that fails half-way beside the copy leaves nothing there either.
        auto broken = test::gameBundle(m_entry, 3);
        InstallPlan plan = publish(3, broken);
        const QString app = scratch() + u"/stage-game-3/Game.app"_qs, image = scratch() + u"/game-3.dmg"_qs;
        QVERIFY(::mkfifo(QFile::encodeName(app + u"/Contents/Resources/pipe"_qs).constData(), 0644) == 0);
        QVERIFY(QFile::remove(image) && DiskImage::create(app, image) && test::serveImage(m_server, image, plan));
        QTest::ignoreMessage(QtCriticalMsg, "game refused at extract: ditto exited 1");
        QVERIFY(request(plan, TitleState::updateAvailable(), AdoptableCopy{*copy, 2, u"1.2"_qs, true, true}));
        QCOMPARE(state(), TitleState::failed(Step::extract, userMessage(Step::extract)));
        QCOMPARE(test::entriesOf(games), QStringList{u"Game.app"_qs});
        QCOMPARE(validVersion(*copy), 2);
        ::umount2(QFile::encodeName(games).constData(), MNT_DETACH);
        QVERIFY(leftNothing());
    }

    void aFailureAtEachStepLeavesTheInstalledCopy_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<Step>("step");
        QTest::addColumn<QString>("detail");
        QTest::newRow("short image") << Fault::shortImage << Step::length << uR"(\d+ bytes, expected \d+)"_qs;
        QTest::newRow("signature of another file") << Fault::foreignSignature << Step::edSignature << u"Ed25519 signature mismatch over the whole DMG"_qs;
        QTest::newRow("two apps") << Fault::twoApps << Step::mount << u"the disk image holds 2 apps at its top, not one"_qs;
        QTest::newRow("copy-out fails") << Fault::copyOutFails << Step::extract << u"ditto exited 1"_qs;
        QTest::newRow("another team") << Fault::otherTeam << Step::codesign << u"CodeSignature::validate refused the staged bundle"_qs;
        QTest::newRow("no ticket") << Fault::notNotarized << Step::notarization << u"spctl --assess --type exec did not exit 0"_qs;
        QTest::newRow("another game") << Fault::otherIdentity << Step::identityBinding
                                      << uR"(staged com\.vantry\.test\.other 1\.2 \(2\) != plan com\.vantry\.test\.game 1\.2 \(2\))"_qs;
        QTest::newRow("under the mark") << Fault::belowMark << Step::antiDowngrade << u"feed build 2 below installed/high-water"_qs;
        QTest::newRow("installed copy touched") << Fault::touched << Step::antiDowngrade << u"the installed bundle changed mid-job"_qs;
        QTest::newRow("game started") << Fault::launched << Step::quarantineStrip << u"the game launched mid-job"_qs;
    }

    void aFailureAtEachStepLeavesTheInstalledCopy()
    {
        QFETCH(Fault, fault);
        QFETCH(Step, step);
        QFETCH(QString, detail);
        QVERIFY(test::gameBundle(m_entry, 1).build(roots().install));
        auto bundle = test::gameBundle(m_entry, 2);
        if (fault == Fault::otherTeam) {
            const QByteArray key = test::DevelopmentSigning::developerKey();
            const auto other = CodeSignature::makeCertificate(test::DevelopmentSigning::anchorKey(), u"AB12CD34EF"_qs,
                                                              u"Other"_qs, *Crypto::ed25519PublicKey(key));
            bundle.setDeveloper(key, *other);
        }
        if (fault == Fault::notNotarized)
            bundle.setSigning(test::BundleBuilder::Signing::signedOnly);
        if (fault == Fault::otherIdentity)
            bundle.setBundleIdentifier(u"com.vantry.test.other"_qs);
        InstallPlan plan = publish(2, bundle);
        const QString image = scratch() + u"/game-2.dmg"_qs, app = scratch() + u"/stage-game-2/Game.app"_qs;
        QVERIFY(QFile::remove(image));
        if (fault == Fault::twoApps) {
            QVERIFY(QProcess::execute(u"cp"_qs, {u"-a"_qs, app, scratch() + u"/Other.app"_qs}) == 0);
            QVERIFY(QProcess::execute(u"mksquashfs"_qs, {app, scratch() + u"/Other.app"_qs, image, u"-quiet"_qs, u"-no-progress"_qs}) == 0);
        } else {
            if (fault == Fault::copyOutFails)
                QVERIFY(::mkfifo(QFile::encodeName(app + u"/Contents/Resources/pipe"_qs).constData(), 0644) == 0);
            QVERIFY(DiskImage::create(app, image));
        }
        QVERIFY(test::serveImage(m_server, image, plan));
        if (fault == Fault::shortImage)
            m_server.serve(plan.enclosureURL.path(), FileSystem::readFile(image)->chopped(1));
        if (fault == Fault::foreignSignature)
            plan.expectedSignature = test::releaseSignature(QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/release.pub"));
        if (fault == Fault::belowMark)
            QCoro::waitFor(m_highWater.raise(DefaultsKeys::titleVersionHighWater(m_entry.id), 3));
        InstallEngine::setCheckpointHook([&](const char *point) {
            if (fault == Fault::touched && qstrcmp(point, "antiDowngrade") == 0)
                ::utimensat(AT_FDCWD, QFile::encodeName(installed()).constData(), nullptr, 0);
            if (fault == Fault::launched && qstrcmp(point, "quarantineStrip") == 0) {
                m_game.start(installed() + u"/Contents/MacOS/Game"_qs, {u"60"_qs});
                m_game.waitForStarted();
            }
        });
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^game refused at "_qs + rawValue(step) + u": "_qs + detail + u'$'));
        QVERIFY(request(plan));
        QCOMPARE(state(), TitleState::failed(step, userMessage(step)));
        QVERIFY(m_engine->failedJobs().contains(m_entry.id));
        QVERIFY(leftNothing());
        QCOMPARE(validVersion(installed()), 1);
    }
};

int main(int argc, char *argv[])
{
    // A mount namespace of this process's own, made before any thread exists so that every thread
    // and tool shares it: the other file system of a test is seen by no one else.
    const bool privateMounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QCoreApplication application(argc, argv);
    InstallEngineTest test(privateMounts);
    return QTest::qExec(&test, argc, argv);
}

#include "InstallEngineTest.moc"

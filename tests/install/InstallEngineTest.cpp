#include "ReleaseFixture.h"

#include <install/InstallEngine.h>

#include <catalog/Ed25519Verifier.h>
#include <catalog/HighWaterStore.h>
#include <core/DefaultsKeys.h>
#include <platform/CodesignVerifier.h>
#include <platform/HttpTransport.h>
#include <platform/UserDefaults.h>

#include <support/TestHome.h>

#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vantry;
using Case = TitleState::Case;
using Step = VerificationStep;

enum class Fault { shortImage, foreignSignature, twoApps, copyOutFails, otherTeam, notNotarized, otherIdentity, belowMark, touched, launched, occupied };
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(vantry::VerificationStep)
Q_DECLARE_METATYPE(vantry::TitleState)

namespace {

qint64 anonymousKiB()
{
    QFile status(u"/proc/self/status"_qs);
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    return text.mid(text.indexOf("RssAnon:") + 8).trimmed().split(' ').first().toLongLong();
}

// The child: one install (TITLE URL LENGTH SIGNATURE VERSION) that ends itself with signal 9 at
// the KILL-AT'th distinct point its job reaches, or runs to its end and prints how many it saw.
int installAndDie(const QStringList &arguments)
{
    const int killAt = arguments[7].toInt();
    QMutex mutex;
    QSet<QByteArray> seen;
    InstallEngine::setCheckpointHook([&](const char *point) {
        const QMutexLocker lock(&mutex);
        seen.insert(point);
        if (seen.size() == killAt)
            ::kill(::getpid(), SIGKILL);
    });
    const auto transport = HttpTransport::fromEnvironment();
    InstallEngine engine(transport ? transport->get() : nullptr);
    const Catalog::Entry entry = test::gameEntry(arguments[2]);
    const InstallPlan plan{entry.id, QUrl(arguments[3]), arguments[4].toLongLong(), arguments[5], entry.bundleId,
                           arguments[6].toLongLong(), u"1."_qs + arguments[6]};
    engine.addDrainHandler([&] { QCoreApplication::exit(engine.jobStates().value(entry.id) == TitleState::installed() ? 0 : 1); });
    engine.requestInstall(entry, plan, TitleState::updateAvailable(), qEnvironmentVariableIsEmpty("INSTALL_TARGET") ? std::nullopt // or update the adopted copy there
                          : std::optional(AdoptableCopy{qEnvironmentVariable("INSTALL_TARGET"), 1, u"1.1"_qs, true, true}));
    const int status = QCoreApplication::exec();
    std::printf("%lld\n", static_cast<long long>(seen.size()));
    return status;
}

} // namespace

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
    const Catalog::Entry m_entry = test::gameEntry(u"game"_qs), m_first = test::gameEntry(u"first"_qs),
                         m_second = test::gameEntry(u"second"_qs), m_third = test::gameEntry(u"third"_qs);

    QString scratch() const { return m_home.scratch(u"releases"_qs); }
    const WorkingRoots &roots() const { return m_engine->roots(); }
    QString installed() const { return roots().install + u"/Game.app"_qs; }
    TitleState state(const QString &id = u"game"_qs) const { return m_engine->jobStates().value(id); }
    QList<TitleState> history(const QString &id) const
    {
        QList<TitleState> states;
        std::transform(m_seen.cbegin(), m_seen.cend(), std::back_inserter(states), [&](const auto &seen) { return seen.value(id); });
        return states;
    }

    void request(const Catalog::Entry &entry, const InstallPlan &plan, TitleState origin = TitleState::updateAvailable(),
                 std::optional<AdoptableCopy> target = {}) { m_engine->requestInstall(entry, plan, origin, target); }
    [[nodiscard]] bool install(const Catalog::Entry &entry, const InstallPlan &plan, TitleState origin = TitleState::updateAvailable(),
                               std::optional<AdoptableCopy> target = {}) { return request(entry, plan, origin, target), waitIdle(); }

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

    InstallPlan publish(int version, const Catalog::Entry *entry = nullptr, std::optional<test::BundleBuilder> bundle = {})
    {
        const Catalog::Entry &game = entry ? *entry : m_entry;
        return test::publish(m_server, scratch(), game, version, bundle.value_or(test::gameBundle(game, version)));
    }

    // Its image served again as changed by `change` (in the staged bundle folder), with a
    // matching plan.
    InstallPlan republish(InstallPlan plan, const std::function<bool(const QString &app, const QString &image)> &change)
    {
        const QString image = scratch() + u"/%1-%2.dmg"_qs.arg(plan.titleId).arg(plan.expectedVersion);
        const QString app = scratch() + u"/stage-%1-%2/Game.app"_qs.arg(plan.titleId).arg(plan.expectedVersion);
        return QFile::remove(image) && change(app, image) && test::serveImage(m_server, image, plan) ? plan : InstallPlan{};
    }

    // A slow release: its download lasts long enough to act while it runs.
    InstallPlan publishSlow(const Catalog::Entry &entry)
    {
        const InstallPlan plan = publish(1, &entry);
        test::TestServer::Route route{200, *FileSystem::readFile(scratch() + u'/' + entry.id + u"-1.dmg"_qs), {},
                                      test::TestServer::Delivery::trickle, 4096, 40};
        m_server.route(plan.enclosureURL.path(), route);
        return plan;
    }

    // The game's executable in a copy outside every folder the engine knows.
    QString gameOutside(const Catalog::Entry &entry)
    {
        const auto bundle = test::gameBundle(entry, 1).build(m_home.scratch(u"running"_qs));
        return *bundle + u"/Contents/MacOS/"_qs + QFileInfo(*bundle).baseName();
    }

    void startGame(const QString &executable) { m_game.start(executable, {u"60"_qs}), m_game.waitForStarted(); }

    // Runs the child to its end; how many points it passed, or nothing when it was killed.
    std::optional<int> runChild(const InstallPlan &plan, int killAt)
    {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"VANTRY_CONNECT_TO"_qs, u"127.0.0.1:%1"_qs.arg(m_server.port()));
        environment.insert(u"VANTRY_EXTRA_CA"_qs, test::TestServer::certificatePath());
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {u"--child"_qs, m_entry.id, plan.enclosureURL.toString(), QString::number(plan.expectedLength),
                     plan.expectedSignature, QString::number(plan.expectedVersion), QString::number(killAt)});
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

    void init()
    {
        for (const QString &folder : {m_home.home(), scratch()})
            QDir(folder).removeRecursively();
        InstallTools tools = InstallTools::standard();
        tools.ditto = QStringLiteral(FAILING_DITTO); // fails only where a test names an entry
        m_engine = std::make_unique<InstallEngine>(m_transport.get(), &m_highWater, std::nullopt, tools);
        m_seen.clear();
        connect(m_engine.get(), &InstallEngine::jobStatesChanged, this, [this] { m_seen << m_engine->jobStates(); });
    }

    void cleanup()
    {
        InstallEngine::setCheckpointHook({});
        qunsetenv("VANTRY_TEST_FAIL_AT"), qunsetenv("INSTALL_TARGET");
        m_game.kill();
        m_game.waitForFinished();
        m_engine->setRelaunchPending(false);
        QVERIFY(waitIdle());
        m_engine.reset();
        (void)m_defaults.remove(DefaultsKeys::titleVersionHighWater(m_entry.id));
    }

    void aFreshInstallThenAnUpdateOfTheManagedCopy()
    {
        QVERIFY(install(m_entry, publish(1), TitleState::available()));
        QVERIFY(state() == TitleState::installed() && leftNothing());
        QCOMPARE(validVersion(installed()), 1);
        // The overlay still says installed (no refresh came): the update shows all the same.
        QVERIFY(install(m_entry, publish(2)));
        QVERIFY(state() == TitleState::installed() && leftNothing());
        QCOMPARE(validVersion(installed()), 2);
        QCOMPARE(m_highWater.read(DefaultsKeys::titleVersionHighWater(m_entry.id)), 2);
        QCOMPARE(test::entriesOf(roots().install), QStringList{u".staging"_qs} << u"Game.app"_qs);
        QCOMPARE(history(m_entry.id).count(TitleState::queued()), 2);
        QCOMPARE(history(m_entry.id).count(TitleState::downloading(0.0)), 2);
        const QString downloads = roots().downloads, game = installed(); // an engine gone mid-job: the job ends all the same
        InstallEngine::setCheckpointHook([&](const char *at) { qstrcmp(at, "raised") == 0 ? m_engine.reset() : void(); });
        request(m_entry, publish(3));
        QVERIFY(QTest::qWaitFor([&] { return !m_engine && validVersion(game) == 3 && test::entriesOf(downloads).isEmpty(); }));
        init();
    }

    void jobsRunOneAtATimeInOrder()
    {
        const InstallPlan slow = publishSlow(m_first);
        request(m_first, slow, TitleState::available());
        request(m_second, publish(1, &m_second), TitleState::available());
        // A caller whose view is older than the engine's cannot start a title twice.
        // The first job may already have begun its download by then.
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(u"^refusing to start first from (queued|downloading)$"_qs));
        QVERIFY(install(m_first, slow, TitleState::available()));
        const QList<TitleState> first = history(m_first.id), second = history(m_second.id);
        QVERIFY(first.indexOf(TitleState::installed()) < second.indexOf(TitleState::downloading(0.0)));
        QCOMPARE(second.last(), TitleState::installed());
        QList<TitleState> expected{TitleState::queued(), TitleState::downloading(0.0)}, seen;
        for (const Step step : allVerificationSteps)
            expected << (step <= Step::edSignature ? TitleState::verifying(step) : TitleState::installing(step));
        std::unique_copy(first.cbegin(), first.cend(), std::back_inserter(seen), [](const TitleState &a, const TitleState &b) {
            return a == b || (a.discriminator() == Case::downloading && b.discriminator() == Case::downloading);
        });
        QCOMPARE(seen, expected << TitleState::installed());
    }

    void cancelWhileQueuedAndWhileDownloading()
    {
        const QString thirdGame = gameOutside(m_third);
        request(m_first, publishSlow(m_first));
        request(m_second, publish(1, &m_second));
        request(m_third, publish(1, &m_third));
        QVERIFY(QTest::qWaitFor([&] { return state(u"first"_qs).discriminator() == Case::downloading && m_engine->pending().size() == 2; }));
        request(m_entry, publish(1)); // cancelled once out of the queue, while it still shows queued
        InstallEngine::setCheckpointHook([&](const char *at) { qstrcmp(at, "started") == 0 && m_engine->active()->entry.id == m_entry.id ? m_engine->cancel(m_entry.id) : void(); });
        m_engine->cancel(m_second.id);
        QCOMPARE(state(u"second"_qs), TitleState::updateAvailable());
        startGame(thirdGame);
        QTest::ignoreMessage(QtInfoMsg, "dropping third: the game is running");
        m_engine->cancel(m_first.id);
        QVERIFY(waitIdle());
        QVERIFY(state(u"first"_qs) == TitleState::updateAvailable() && state(u"third"_qs) == TitleState::updateAvailable() && state() == TitleState::updateAvailable());
        QVERIFY(m_engine->failedJobs().isEmpty() && leftNothing() && test::entriesOf(roots().install).isEmpty());
    }

    void aFailedJobIsKeptForRetry()
    {
        const InstallPlan plan = publish(1);
        const QByteArray image = *FileSystem::readFile(scratch() + u"/game-1.dmg"_qs);
        m_server.answer(plan.enclosureURL.path(), 404);
        const TitleState failed = TitleState::failed(std::nullopt, u"The download failed. Check your connection and try again."_qs);
        for (int attempt = 0; attempt < 2; ++attempt) {
            QTest::ignoreMessage(QtCriticalMsg, "game download failed: httpStatus(404)");
            QVERIFY(install(m_entry, plan, TitleState::available()));
            QVERIFY(state() == failed && leftNothing());
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
        QVERIFY(state() == TitleState::installed() && m_engine->failedJobs().isEmpty());
    }

    void aHeldQueueLetsTheActiveJobEndThenDrains()
    {
        request(m_first, publishSlow(m_first), TitleState::available());
        request(m_second, publish(1, &m_second), TitleState::available());
        request(m_third, publish(1, &m_third));
        QVERIFY(QTest::qWaitFor([&] { return m_engine->pending().size() == 2; }));
        int drained = 0;
        m_engine->addDrainHandler([&drained] { ++drained; });
        m_engine->noteRelaunchPending();
        QVERIFY(state(u"second"_qs) == TitleState::available() && state(u"third"_qs) == TitleState::updateAvailable() && !drained);
        QTRY_COMPARE_WITH_TIMEOUT(drained, 1, 60000);
        QVERIFY(m_engine->relaunchHandlerFired() && state(u"first"_qs) == TitleState::installed());
        m_engine->pump();
        QCOMPARE(drained, 1);
    }

    void refusalsChangeNothing_data()
    {
        QTest::addColumn<TitleState>("origin");
        QTest::addColumn<int>("setting"); // 1 held, 2 not writable, 3 running
        QTest::addColumn<QString>("log");
        QTest::newRow("relaunch pending") << TitleState::available() << 1 << u": a launcher relaunch is pending"_qs;
        QTest::newRow("queued") << TitleState::queued() << 0 << u" from queued"_qs;
        QTest::newRow("failed") << TitleState::failed(Step::mount, {}) << 0 << u" from failed"_qs;
        QTest::newRow("installed") << TitleState::installed() << 0 << u" from installed"_qs;
        QTest::newRow("not writable") << TitleState::updateAvailable() << 2 << u": the adopted copy is not writable"_qs;
        QTest::newRow("running") << TitleState::updateAvailable() << 3 << u": the game is running"_qs;
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
        QTest::ignoreMessage(QtInfoMsg, qPrintable(u"refusing to start game"_qs + log));
        QVERIFY(install(m_entry, publish(1), origin, setting == 2 ? std::optional(AdoptableCopy{installed(), 1, u"1.1"_qs, false, true}) : std::nullopt));
        QVERIFY(m_engine->jobStates().isEmpty() && m_engine->pending().isEmpty() && !m_engine->active());
    }

    void anAdoptedCopyIsUpdatedInPlace_data()
    {
        QTest::addColumn<int>("volume"); // the adopted copy's folder: 0 plain, 1 tmpfs, 2 a bind mount
        QTest::newRow("same volume") << 0;
        QTest::newRow("another volume") << 1;
        QTest::newRow("same volume, another mount") << 2;
    }

    void anAdoptedCopyIsUpdatedInPlace()
    {
        QFETCH(int, volume);
        const QString games = m_home.home() + u"/Games"_qs, bound = m_home.scratch(u"bound"_qs);
        QVERIFY(FileSystem::makeDirectories(games) && FileSystem::makeDirectories(bound));
        if (volume > 0 && !m_privateMounts)
            QSKIP("another mount needs root and a mount namespace of this test's own");
        if (volume > 0) // a bind mount reports the same volume, and a rename across it fails all the same
            QVERIFY(::mount(volume == 1 ? "tmpfs" : QFile::encodeName(bound).constData(), QFile::encodeName(games).constData(),
                            volume == 1 ? "tmpfs" : nullptr, volume == 1 ? 0 : MS_BIND, volume == 1 ? "size=64m" : nullptr) == 0);
        const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(games).constData(), MNT_DETACH); });
        const auto copy = test::gameBundle(m_entry, 1).build(games);
        QVERIFY(copy);
        QString stagedAt;
        InstallEngine::setCheckpointHook([&](const char *point) {
            if (qstrcmp(point, "staged") == 0)
                stagedAt = test::entriesOf(games + u"/.vantry-staging"_qs).join(u',') + u'|' + test::entriesOf(roots().staging).join(u',');
        });
        QVERIFY(install(m_entry, publish(2), TitleState::updateAvailable(), AdoptableCopy{*copy, 1, u"1.1"_qs, true, true}));
        QCOMPARE(state(), TitleState::installed());
        QCOMPARE(stagedAt, volume > 0 ? u"Game.app|.beside-target"_qs : u"|Game.app"_qs);
        QCOMPARE(validVersion(*copy), 2);
        QVERIFY(test::entriesOf(games) == QStringList{u"Game.app"_qs} && !QFileInfo::exists(installed()));
        // A copy-out that fails half-way beside the copy leaves nothing there either.
        qputenv("VANTRY_TEST_FAIL_AT", "Info.plist");
        QTest::ignoreMessage(QtCriticalMsg, "game refused at extract: ditto exited 1");
        QVERIFY(install(m_entry, publish(3), TitleState::updateAvailable(), AdoptableCopy{*copy, 2, u"1.2"_qs, true, true}));
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
        QTest::newRow("a copy-out that fails") << Fault::copyOutFails << Step::extract << u"ditto exited 1"_qs;
        QTest::newRow("another team") << Fault::otherTeam << Step::codesign << u"CodeSignature::validate refused the staged bundle"_qs;
        QTest::newRow("no ticket") << Fault::notNotarized << Step::notarization << u"spctl --assess --type exec did not exit 0"_qs;
        QTest::newRow("another game") << Fault::otherIdentity << Step::identityBinding
                                      << uR"(staged com\.vantry\.test\.other 1\.%1 \(2\) != plan com\.vantry\.test\.game 1\.2 \(2\))"_qs;
        QTest::newRow("under the mark") << Fault::belowMark << Step::antiDowngrade << u"feed build 2 below installed/high-water"_qs;
        QTest::newRow("installed copy touched") << Fault::touched << Step::antiDowngrade << u"the installed bundle changed mid-job"_qs;
        QTest::newRow("game started") << Fault::launched << Step::quarantineStrip << u"the game launched mid-job"_qs;
        QTest::newRow("another game in its place") << Fault::occupied << Step::quarantineStrip << uR"(another game lies at the destination: com\.vantry\.test\.other)"_qs;
    }

    void aFailureAtEachStepLeavesTheInstalledCopy()
    {
        QFETCH(Fault, fault);
        QFETCH(Step, step);
        QFETCH(QString, detail);
        QVERIFY(test::gameBundle(m_entry, 1).setBundleIdentifier(fault == Fault::occupied ? u"com.vantry.test.other"_qs : m_entry.bundleId).build(roots().install));
        auto bundle = test::gameBundle(m_entry, 2);
        const QByteArray key = test::DevelopmentSigning::developerKey();
        if (fault == Fault::otherTeam)
            bundle.setDeveloper(key, *CodeSignature::makeCertificate(test::DevelopmentSigning::anchorKey(), u"AB12CD34EF"_qs,
                                                                    u"Other"_qs, *Crypto::ed25519PublicKey(key)));
        if (fault == Fault::notNotarized)
            bundle.setSigning(test::BundleBuilder::Signing::signedOnly);
        if (fault == Fault::otherIdentity)
            bundle.setBundleIdentifier(u"com.vantry.test.other"_qs).setShortVersion(u"1.%1"_qs);
        InstallPlan plan = republish(publish(2, nullptr, bundle), [&](const QString &app, const QString &image) {
            const QString other = scratch() + u"/Other.app"_qs;
            if (fault == Fault::twoApps)
                return QProcess::execute(u"cp"_qs, {u"-a"_qs, app, other}) == 0
                    && QProcess::execute(u"mksquashfs"_qs, {app, other, image, u"-quiet"_qs, u"-no-progress"_qs}) == 0;
            return (fault != Fault::copyOutFails || qputenv("VANTRY_TEST_FAIL_AT", "Info.plist")) && DiskImage::create(app, image);
        });
        if (fault == Fault::shortImage)
            m_server.serve(plan.enclosureURL.path(), FileSystem::readFile(scratch() + u"/game-2.dmg"_qs)->chopped(1));
        if (fault == Fault::foreignSignature)
            plan.expectedSignature = test::releaseSignature(QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/release.pub"));
        if (fault == Fault::belowMark)
            QCoro::waitFor(m_highWater.raise(DefaultsKeys::titleVersionHighWater(m_entry.id), 3));
        InstallEngine::setCheckpointHook([&](const char *point) {
            if (fault == Fault::touched && qstrcmp(point, "antiDowngrade") == 0)
                ::utimensat(AT_FDCWD, QFile::encodeName(installed()).constData(), nullptr, 0);
            if (fault == Fault::launched && qstrcmp(point, "quarantineStrip") == 0)
                startGame(installed() + u"/Contents/MacOS/Game"_qs);
        });
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"^game refused at "_qs + rawValue(step) + u": "_qs + detail + u'$'));
        QVERIFY(install(m_entry, plan));
        QCOMPARE(state(), TitleState::failed(step, userMessage(step)));
        QVERIFY(m_engine->failedJobs().contains(m_entry.id) && leftNothing());
        QCOMPARE(validVersion(installed()), 1);
    }

    void theSignatureCheckKeepsTheImageOutOfTheHeap()
    {
        QFile image(m_home.scratch(u"large.dmg"_qs));
        QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(256 << 20));
        image.close();
        const QString signature = test::releaseSignature(image.fileName());
        const qint64 before = anonymousKiB();
        std::atomic<qint64> peak = before;
        std::atomic_bool sampling = true;
        std::thread sampler([&] {
            for (; sampling; std::this_thread::sleep_for(std::chrono::milliseconds(1)))
                peak = std::max(peak.load(), anonymousKiB());
        });
        const auto verified = Ed25519Verifier::verifyFile(image.fileName(), signature, QString::fromLatin1(BuildConfig::releasePublicKey));
        sampling = false;
        sampler.join();
        QVERIFY(verified.has_value());
        QCOMPARE_LT(peak - before, 32 * 1024);
    }

    // A launcher killed at any point of an install or update: the next start cleans up, and the
    // game is the complete old bundle or the complete new one.
    void aKilledJobLeavesTheOldOrTheNewGame_data()
    {
        QTest::addColumn<bool>("update");
        QTest::newRow("install") << false;
        QTest::newRow("update") << true;
        QTest::newRow("update of an adopted copy") << true;
    }

    void aKilledJobLeavesTheOldOrTheNewGame()
    {
        QFETCH(bool, update);
        const InstallPlan plan = test::publish(m_server, m_home.scratch(u"releases"_qs), m_entry, 2, test::gameBundle(m_entry, 2));
        const bool adopted = QTest::currentDataTag() == std::string_view("update of an adopted copy"); // in a folder of the user's
        const QString install = adopted ? m_home.home() + u"/Games"_qs : roots().install;
        qputenv("INSTALL_TARGET", adopted ? QFile::encodeName(install + u"/Game.app"_qs) : QByteArray());
        const auto reset = [&] { return QDir(m_home.home()).removeRecursively() && (!update || test::gameBundle(m_entry, 1).build(install)); };
        QVERIFY(reset());
        const auto points = runChild(plan, 0);
        QVERIFY(points >= 30);
        qInfo("killing at each of %d points", *points);
        for (int killAt = 1; killAt <= *points; ++killAt) {
            QVERIFY(reset());
            QVERIFY2(!runChild(plan, killAt), "killed before its end");
            InstallEngine::prepare(roots().downloads, roots().staging).waitForFinished();
            const QList<InstalledApp> apps = LibraryScanner::scanAll(install);
            const QString where = u"killed at point %1"_qs.arg(killAt);
            QVERIFY2(apps.size() == (update ? 1 : apps.size()) && test::entriesOf(install).filter(QRegularExpression(u"^(?!\\.staging$)"_qs)).size() == apps.size(), qPrintable(where));
            for (const InstalledApp &app : apps)
                QVERIFY2(CodesignVerifier::signatureValid(app.url) && app.observation.version >= (update ? 1 : 2), qPrintable(where));
            QVERIFY2(leftNothing(), qPrintable(where));
        }
    }
};

int main(int argc, char *argv[])
{
    if (argc == 8 && qstrcmp(argv[1], "--child") == 0) {
        QCoreApplication application(argc, argv);
        return installAndDie(application.arguments());
    }
    // A mount namespace of this process's own, made before any thread exists so that every thread
    // and tool shares it: the other file system of a test is seen by no one else.
    const bool privateMounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    QCoreApplication application(argc, argv);
    InstallEngineTest test(privateMounts);
    return QTest::qExec(&test, argc, argv);
}

#include "InstallEngineTest.moc"

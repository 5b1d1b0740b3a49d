#include <library/LibraryModel.h>

#include <catalog/CatalogService.h>
#include <core/DefaultsKeys.h>
#include <install/InstallEngine.h>
#include <platform/FileSystem.h>

#include <support/CatalogFixtures.h>
#include <support/CatalogHost.h>
#include <support/InfoPlist.h>

#include <QCoroTimer>
#include <QDir>
#include <QTest>

#include <chrono>

using namespace vantry;

namespace {

template<typename T>
QCoro::Task<T> ready(T value)
{
    co_return value;
}

const QString alpha = u"alpha"_qs, alphaId = u"com.example.alpha"_qs;

AppcastItem release(std::int64_t build)
{
    const QString url = test::onOrigin(u"/releases/alpha.dmg"_qs);
    return AppcastItem {{}, {}, build, QString::number(build), {}, QUrl(url), url, 1, u"c2ln"_qs};
}

InstalledApp managedApp(const QString &path, std::int64_t build) { return {path, {alphaId, build, QString::number(build)}}; }

AdoptionReport adopted(const QString &path, std::int64_t build, bool writable)
{
    const AdoptableCopy copy {path, build, QString::number(build), writable, writable};
    return {alphaId, {{path, AdoptionVerdict(copy)}}, copy};
}

InstallCopy copyAt(const QString &path, InstallCopy::Origin origin = InstallCopy::Origin::adopted)
{
    return {path, {alphaId, 5, u"5"_qs}, origin, true, true};
}

} // namespace

/// One model over a loopback catalog host and substitute seams answering from the fields below.
struct World : test::CatalogHost {
    InstallEngine engine {nullptr, &highWater,
                          WorkingRoots {home.scratch(u"dl"_qs), home.scratch(u"st"_qs), home.scratch(u"games"_qs)}};

    QList<InstalledApp> scanned;
    QList<DataSighting> sightings;
    std::optional<AppcastItem> appcast = release(7);
    AdoptionReport report {alphaId, {}, std::nullopt};
    bool running = false, quits = true;
    std::optional<LaunchError> launchError;
    QStringList played, trashed, untrashable;
    QString feedLog; // "[" as a feed is asked for, "]" as it answers

    QCoro::Task<std::optional<AppcastItem>> feed()
    {
        feedLog += u'[';
        co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        feedLog += u']';
        co_return std::optional<AppcastItem>(appcast); // a copy: GCC 12 moves from a member named here
    }

    OutwardSeams seams()
    {
        const SeamScope scope = SeamScope::refused();
        return {{scope, [this] { return scanned; }},
                {scope, [this] { return std::optional(sightings); }},
                {scope, [this](const Catalog::Entry &) { return feed(); }},
                {scope, [this](const Catalog::Entry &, std::int64_t) { return ready(report); }},
                {scope, [this](const QString &) { return running; }},
                {scope,
                 [this](const Catalog::Entry &, const InstallCopy &copy, std::int64_t) {
                     played.append(copy.canonicalURL);
                     return ready(launchError ? Expected<void, LaunchError>(unexpected(*launchError))
                                              : Expected<void, LaunchError>());
                 }},
                {scope, [this](const QString &) { return ready(quits); }},
                {scope,
                 [this](const QString &path) -> Expected<void, QString> {
                     if (untrashable.contains(path))
                         return unexpected(u"no trash here"_qs);
                     trashed.append(path);
                     return {};
                 }},
                {scope, UserLibrary {home.scratch(u"config"_qs), home.scratch(u"data"_qs), home.scratch(u"var"_qs)}}};
    }

    LibraryModel model {seams(),
                        std::make_unique<CatalogService>(fetch, highWater, publicKey(),
                                                         CatalogService::Locations {home.scratch(u"c"_qs), home.scratch(u"i"_qs), {}}),
                        &engine, &highWater};

    void publish(const QList<QByteArray> &games = {test::validEntryJson(alpha)}) { CatalogHost::publish(document(3, games)); }
    void refresh() { QCoro::waitFor(model.refresh()); }
    QString state(const QString &id = alpha) const
    {
        const auto found = model.states().constFind(id);
        return found == model.states().cend() ? u"none"_qs
                                               : TitleState::rawValue(found->discriminator()) + u' ' + found->text();
    }
    QString notice() const { return model.notice().value_or(QString()); }
};

class LibraryModelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theCatalogOutlivesAFailedRefresh()
    {
        World w;
        w.server.answer(u"/catalog.json"_qs, 404);
        w.refresh();
        QVERIFY(w.model.isOffline() && w.model.states().isEmpty() && !w.model.catalog());
        const QByteArray icon = *FileSystem::readFile(QStringLiteral(VANTRY_SOURCE_DIR "/demo/icons/tumbit.png"));
        w.server.serve(u"/icons/alpha.png"_qs, icon);
        w.publish({test::validEntryJson(alpha).replace(QByteArray(64, 'a'), sha256Hex(icon).toLatin1()),
                   test::validEntryJson(u"beta"_qs).replace("true", "false")});
        w.refresh();
        QCOMPARE(w.state(), u"available "_qs);
        QVERIFY(!w.model.icons().value(alpha).isNull()); // verified by its digest
        QCOMPARE(w.state(u"beta"_qs), u"none"_qs); // never released, never shown
        w.server.answer(u"/catalog.json"_qs, 500);
        QVERIFY(QDir(w.home.scratch(u"c"_qs)).removeRecursively()); // no cache to fall back on
        w.scanned = {managedApp(w.home.scratch(u"games/Alpha.app"_qs), 7)};
        w.refresh();
        QVERIFY(!w.model.isOffline() && w.model.catalog());
        QCOMPARE(w.state(), u"installed "_qs); // recomputed against the old catalog
    }

    void refreshesAskedForMeanwhileFoldIntoOneMore()
    {
        World w;
        w.publish();
        auto first = w.model.refresh();
        auto second = w.model.refresh();
        auto third = w.model.refresh();
        QCoro::waitFor(third);
        QVERIFY(first.isReady() && second.isReady());
        QCOMPARE(w.feedLog, u"[][]"_qs);
    }

    void restingStates_data()
    {
        QTest::addColumn<bool>("feed");
        QTest::addColumn<int>("installedBuild"); // 0: no copy; < 0: adopted in an unwritable folder
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no feed") << false << 0 << false << u"unavailable Offline — check your connection and try again."_qs;
        QTest::newRow("a release") << true << 0 << false << u"available "_qs;
        QTest::newRow("running without a copy") << true << 0 << true << u"available "_qs;
        QTest::newRow("running, installed") << true << 7 << true << u"running "_qs;
        QTest::newRow("running, with an update") << true << 5 << true << u"running "_qs;
        QTest::newRow("an update blocked") << true << -5 << false << u"installed "_qs;
    }

    void restingStates()
    {
        QFETCH(bool, feed);
        QFETCH(int, installedBuild);
        QFETCH(bool, running);
        QFETCH(QString, expected);
        World w;
        w.publish();
        w.appcast = feed ? std::optional(release(7)) : std::nullopt;
        w.running = running;
        const QString path = w.home.scratch(u"Alpha.app"_qs);
        if (installedBuild > 0)
            w.scanned = {managedApp(path, installedBuild)};
        if (installedBuild < 0)
            w.report = adopted(path, -installedBuild, false);
        w.refresh();
        QCOMPARE(w.state(), expected);
        QCOMPARE(w.model.updateBlocks().contains(alpha), installedBuild < 0);
        // An adoption above the mark raises it.
        QCOMPARE(w.highWater.read(DefaultsKeys::titleVersionHighWater(alpha)), installedBuild < 0 ? 5 : 0);
    }

    void aJobStateOverridesTheRestingStateUntilTheEngineDropsIt()
    {
        World w;
        w.publish();
        w.scanned = {managedApp(w.home.scratch(u"games/Alpha.app"_qs), 7)};
        w.refresh();
        w.model.install(alpha); // installed: no plan, no job
        w.model.installManagedCopy(alpha); // no block
        QVERIFY(w.engine.jobStates().isEmpty());
        w.scanned.clear();
        w.refresh();
        w.model.install(alpha);
        // No transport here: the download fails, and the job's state wins over "available".
        QTRY_COMPARE(w.state().section(u' ', 0, 0), u"failed"_qs);
        w.refresh();
        QCOMPARE(w.state(), u"available "_qs);
    }

    void actionsThatFailSayWhy_data()
    {
        QTest::addColumn<int>("action"); // 0 play, 1 quit and update, 2 remove, 3 remove with data
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("sharing"); // copies that share the saved data
        QTest::addColumn<QString>("expected"); // "@" stands for the temporary folder
        QTest::addColumn<int>("trashes");
        QTest::newRow("play") << 0 << QString() << 1 << QString() << 0;
        QTest::newRow("a downgraded copy") << 0 << u"downgraded"_qs << 1
                                           << u"Game alpha could not be launched: it is build 3, older than build 5 already accepted."_qs << 0;
        QTest::newRow("a copy gone") << 0 << u"gone"_qs << 1 << u"Game alpha could not be launched."_qs << 0;
        QTest::newRow("a game that will not quit") << 1 << QString() << 1 << u"Game alpha did not quit. Quit it yourself, then update."_qs << 0;
        QTest::newRow("a trash that fails") << 2 << u"Alpha.app"_qs << 1 << u"Game alpha could not be removed: no trash here."_qs << 0;
        QTest::newRow("data another copy shares") << 3 << QString() << 2 << QString() << 1;
        QTest::newRow("data of the only copy") << 3 << QString() << 1 << QString() << 4;
        QTest::newRow("data that will not go") << 3 << u"config/com.example.alpha"_qs << 1
                                               << u"Game alpha moved to the Trash, but some of its data could not be removed: @config/com.example.alpha: no trash here."_qs
                                               << 3;
    }

    void actionsThatFailSayWhy()
    {
        QFETCH(int, action);
        QFETCH(QString, fault);
        QFETCH(int, sharing);
        QFETCH(QString, expected);
        QFETCH(int, trashes);
        World w;
        w.publish();
        const QString root = w.home.scratch(u"config"_qs).chopped(6), copy = root + u"Alpha.app"_qs;
        QVERIFY(test::put(copy + u"/Contents/Info.plist"_qs, test::infoPlist("com.example.alpha", "5", "5").toXml()));
        for (const QString &folder : {u"config"_qs, u"data"_qs, u"var"_qs})
            QVERIFY(test::put(root + folder + u"/com.example.alpha/save"_qs, "save"));
        w.report = adopted(copy, 5, true);
        for (int more = 1; more < sharing; ++more)
            w.sightings.append({copy + QString::number(more), alphaId});
        if (fault == u"downgraded"_qs)
            w.launchError = LaunchError::adoptionRefused(AdoptionRefusal::belowHighWaterMark(3, 5));
        else if (fault == u"gone"_qs)
            w.launchError = LaunchError::notInstalled();
        else if (!fault.isEmpty())
            w.untrashable = {root + fault};
        w.quits = action != 1;
        w.refresh();
        if (action == 0) {
            w.model.play(alpha);
            QTRY_COMPARE(w.played, QStringList {copy});
        } else if (action == 1) {
            QCoro::waitFor(w.model.quitAndUpdate(alpha));
        } else {
            QCoro::waitFor(w.model.removeCopy(alpha, *w.model.soleCopyForRemoval(alpha), action == 3));
        }
        QTRY_COMPARE(w.notice(), expected.replace(u'@', root));
        QCOMPARE(w.trashed.size(), trashes);
    }

    void removalsAreRefusedWithTheirReason()
    {
        World w;
        w.publish();
        const QString root = w.home.scratch(u"config"_qs).chopped(6);
        w.report = adopted(root + u"A.app"_qs, 5, true);
        w.report.candidates.append({root + u"B.app"_qs, AdoptionVerdict(AdoptableCopy {root + u"B.app"_qs, 4, u"4"_qs, true, true})});
        QVERIFY(test::put(root + u"B.app/Contents/Info.plist"_qs, test::infoPlist("com.example.other", "4", "4").toXml()));
        w.refresh();
        const InstallCopy current = w.model.resolutions().value(alpha).current;
        QCOMPARE(current.canonicalURL, root + u"A.app"_qs);
        QVERIFY(!w.model.soleCopyForRemoval(alpha));
        QCoro::waitFor(w.model.removeNonCurrentCopies(alpha, {current, copyAt(root + u"B.app"_qs)}));
        QCOMPARE(w.notice(), u"0 copies moved to the Trash. These could not be removed: %1A.app: the path is not one discovery returned "
                             "for this title; %1B.app: the copy now identifies as a different app (com.example.other)."_qs.arg(root));
        w.running = true;
        QCOMPARE(w.model.removalBlocker(alpha, current)->discriminator(), RemovalRefusal::Case::running);
        QCOMPARE(w.model.removalBlocker(u"nothing"_qs, current)->discriminator(), RemovalRefusal::Case::notACandidate);
        QVERIFY(w.trashed.isEmpty());
    }
};

QTEST_GUILESS_MAIN(LibraryModelTest)
#include "LibraryModelTest.moc"

#include <catalog/CatalogService.h>
#include <catalog/HighWaterStore.h>
#include <core/DefaultsKeys.h>
#include <core/OffMain.h>
#include <signing/PrivateKeys.h>
#include <platform/FileSystem.h>
#include <platform/UserDefaults.h>

#include <support/CatalogFixtures.h>
#include <support/TestHome.h>
#include <support/TestServer.h>

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QTimer>
#include <QCoroTask>
#include <QTest>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantry;
using Source = CatalogService::Source;
using ErrorKind = CatalogService::Error::Kind;

namespace {

QByteArray catalogDocument(std::int64_t version, const QStringList &ids = {u"alpha"_qs})
{
    QByteArray games;
    for (const QString &id : ids)
        games += (games.isEmpty() ? "" : ",") + test::validEntryJson(id);
    return R"({"schemaVersion": 1, "catalogVersion": )" + QByteArray::number(version) + R"(, "games": [)" + games + "]}";
}

} // namespace

/// One launcher's world: a home, a loopback catalog host, a release key, and the service.
struct World {
    test::TestHome home;
    test::TestServer server;
    std::unique_ptr<HttpTransport> transport = server.transport();
    AllowlistFetch fetch{*transport};
    UserDefaults defaults{home.scratch(u"defaults.json"_qs)};
    HighWaterStore highWater{defaults};
    Crypto::Ed25519KeyPair key = *Crypto::generateEd25519KeyPair();
    CatalogService::Locations locations{home.scratch(u"cache"_qs), home.scratch(u"icons"_qs), home.scratch(u"seed"_qs)};
    CatalogService service{fetch, highWater, QString::fromLatin1(key.publicKey.toBase64()), locations};

    QByteArray signature(const QByteArray &bytes) const { return Crypto::ed25519Sign(key.privateKeyPem, bytes)->toBase64() + '\n'; }

    void publish(const QByteArray &bytes)
    {
        server.serve(u"/catalog.json"_qs, bytes);
        server.serve(u"/catalog.json.sig"_qs, signature(bytes));
    }
    void writePair(const QString &folder, const QByteArray &bytes)
    {
        QVERIFY(FileSystem::makeDirectories(folder));
        QVERIFY(FileSystem::writeFileAtomically(folder + u"/catalog.json"_qs, bytes));
        QVERIFY(FileSystem::writeFileAtomically(folder + u"/catalog.json.sig"_qs, signature(bytes)));
    }
    void cache(const QByteArray &bytes) { writePair(locations.cacheDirectory, bytes); }
    void seed(const QByteArray &bytes) { writePair(locations.seedRoot + u"/SeedCatalog"_qs, bytes); }
    std::int64_t mark() const { return highWater.read(DefaultsKeys::catalogVersionHighWater()); }
    Expected<Catalog, CatalogService::Error> load() { return QCoro::waitFor(service.load()); }
};

class CatalogServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theDiskIsReadOffTheMainThread()
    {
        // The cached catalog is a pipe that only the main thread fills: a load that read the disk
        // on the main thread would wait for itself for ever.
        World w;
        const QByteArray bytes = catalogDocument(6, {u"piped"_qs});
        w.cache(bytes);
        const QByteArray pipe = QFile::encodeName(w.locations.cacheDirectory + u"/catalog.json"_qs);
        QVERIFY(::unlink(pipe.constData()) == 0 && ::mkfifo(pipe.constData(), 0600) == 0);
        // Without waiting: the pipe opens for writing only once a reader has it open.
        bool written = false;
        QTimer feeder;
        QObject::connect(&feeder, &QTimer::timeout, [&] {
            const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                return;
            written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
            ::close(fd);
            feeder.stop();
        });
        feeder.start(10);
        // Should the read block the main thread after all, this ends the wait so the test fails
        // rather than hangs: it opens the pipe for writing, which only a waiting reader allows.
        std::atomic_bool done = false;
        std::atomic_bool rescued = false;
        std::thread watchdog([&] {
            for (int i = 0; i < 1000 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (done)
                return;
            const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
            rescued = fd >= 0;
            ::close(fd);
        });
        auto loading = w.service.load();
        QTRY_VERIFY_WITH_TIMEOUT(loading.isReady(), 20000);
        done = true;
        watchdog.join();
        QVERIFY(!rescued);
        QVERIFY(written);
        const auto catalog = QCoro::waitFor(std::move(loading));
        QVERIFY(catalog);
        QCOMPARE(catalog->games.first().id, u"piped"_qs);
        QCOMPARE(w.service.source(), std::optional(Source::cache));
    }

    void theMarkFollowsTheCacheWhenTheServiceGoesMeanwhile()
    {
        World w;
        w.publish(catalogDocument(9));
        auto service = std::make_unique<CatalogService>(w.fetch, w.highWater, QString::fromLatin1(w.key.publicKey.toBase64()),
                                                        w.locations);
        // Every pool thread waits, so the cache write queues behind them.
        QSemaphore gate;
        const int threads = offMainPool()->maxThreadCount();
        auto wait = [&gate] { gate.acquire(); };
        for (int i = 0; i < threads; ++i)
            (void)offMain(wait);
        auto loading = service->load();
        QTRY_COMPARE_WITH_TIMEOUT(w.server.hits(u"/catalog.json.sig"_qs), 1, 5000);
        QTest::qWait(500);
        service.reset();
        gate.release(threads);
        QTRY_VERIFY_WITH_TIMEOUT(loading.isReady(), 5000);
        if (!QFile::exists(w.locations.cacheDirectory + u"/catalog.json"_qs))
            QSKIP("the load had not reached its cache write before the service went");
        QCOMPARE(w.mark(), std::int64_t(9));
    }

    void aGoodNetworkLoadIsCachedAndRaisesTheMark()
    {
        World w;
        QCoro::waitFor(w.highWater.raise(DefaultsKeys::catalogVersionHighWater(), 7));
        const QByteArray bytes = catalogDocument(9) + "\n  ";
        w.publish(bytes);

        const auto catalog = w.load();
        QVERIFY(catalog);
        QCOMPARE(catalog->catalogVersion, std::int64_t(9));
        QCOMPARE(w.service.source(), std::optional(Source::network));
        QCOMPARE(w.service.lastOfflineReason(), std::nullopt);
        QCOMPARE(w.mark(), std::int64_t(9));
        QCOMPARE(*FileSystem::readFile(w.locations.cacheDirectory + u"/catalog.json"_qs), bytes);
        QCOMPARE(*FileSystem::readFile(w.locations.cacheDirectory + u"/catalog.json.sig"_qs), w.signature(bytes));
    }

    void offlineFirstLaunchFallsToTheSeed()
    {
        World w;
        w.seed(catalogDocument(3, {u"alpha"_qs, u"beta"_qs}));
        const auto catalog = w.load(); // nothing is served: 404 for both
        QVERIFY(catalog);
        QCOMPARE(catalog->games.size(), 2);
        QCOMPARE(w.service.source(), std::optional(Source::seed));
        QCOMPARE(w.mark(), std::int64_t(0));
        QVERIFY(!QDir(w.locations.cacheDirectory).exists());
    }

    void aReplayedNetworkCatalogGivesWayToTheCache()
    {
        World w;
        w.cache(catalogDocument(7, {u"cached"_qs}));
        QCoro::waitFor(w.highWater.raise(DefaultsKeys::catalogVersionHighWater(), 7));
        w.publish(catalogDocument(5, {u"replayed"_qs}));

        const auto catalog = w.load();
        QVERIFY(catalog);
        QCOMPARE(catalog->games.first().id, u"cached"_qs);
        QCOMPARE(w.service.source(), std::optional(Source::cache));
        QCOMPARE(w.mark(), std::int64_t(7));
        // The refused pair never reaches the cache.
        QCOMPARE(*FileSystem::readFile(w.locations.cacheDirectory + u"/catalog.json"_qs), catalogDocument(7, {u"cached"_qs}));
    }

    void aNetworkPairThatDoesNotVerifyIsNeitherCachedNorTrusted()
    {
        World w;
        w.cache(catalogDocument(4, {u"cached"_qs}));
        const QByteArray bytes = catalogDocument(8, {u"forged"_qs});
        w.server.serve(u"/catalog.json"_qs, bytes);
        w.server.serve(u"/catalog.json.sig"_qs, w.signature(catalogDocument(8)));
        QCOMPARE(w.load()->games.first().id, u"cached"_qs);
        QCOMPARE(w.mark(), std::int64_t(0));

        // A signature that is not UTF-8 is no signature.
        w.server.serve(u"/catalog.json.sig"_qs, "\xff\xfe" + w.signature(bytes));
        QCOMPARE(w.load()->games.first().id, u"cached"_qs);
        QCOMPARE(w.service.source(), std::optional(Source::cache));
    }

    void whenEverySourceFailsTheSeedSaysWhy()
    {
        World w;
        w.cache(catalogDocument(6)); // replaced by hand: below the mark
        QCoro::waitFor(w.highWater.raise(DefaultsKeys::catalogVersionHighWater(), 7));
        w.seed(catalogDocument(3));
        const auto result = w.load();
        QVERIFY(!result);
        QCOMPARE(result.error().kind, ErrorKind::unavailable);
        QCOMPARE(w.service.source(), std::nullopt);
        QCOMPARE(w.service.lastOfflineReason(), std::optional(CatalogService::Error{ErrorKind::seedOlderThanHighWater, 3, 7}));

        // A later good load clears the reason.
        w.publish(catalogDocument(8));
        QVERIFY(w.load());
        QCOMPARE(w.service.lastOfflineReason(), std::nullopt);
        QCOMPARE(w.service.source(), std::optional(Source::network));
    }

    void seedFailures()
    {
        World w;
        QCOMPARE(w.service.loadSeed().error().kind, ErrorKind::seedUnavailable);
        w.seed(catalogDocument(2));
        QVERIFY(FileSystem::writeFileAtomically(w.locations.seedRoot + u"/SeedCatalog/catalog.json.sig"_qs, w.signature("other")));
        QCOMPARE(w.service.loadSeed().error().kind, ErrorKind::seedRefused);
        w.seed("[]");
        QCOMPARE(w.service.loadSeed().error().kind, ErrorKind::seedRefused);
        QVERIFY(!w.load());
        QCOMPARE(w.service.lastOfflineReason(), std::optional(CatalogService::Error::of(ErrorKind::seedRefused)));
    }

    void networkBodiesStayWithinTheirLimits_data()
    {
        QTest::addColumn<qint64>("catalogSize"); // padded with blanks to this size
        QTest::addColumn<qint64>("signatureSize");
        QTest::addColumn<std::int64_t>("version"); // 2 from the network, 1 from the seed
        const qint64 catalog = AllowlistFetch::catalogLimit;
        const qint64 signature = AllowlistFetch::signatureLimit;
        QTest::newRow("at the limits") << catalog << signature << std::int64_t(2);
        QTest::newRow("catalog past its limit") << catalog + 1 << signature << std::int64_t(1);
        QTest::newRow("signature past its limit") << catalog << signature + 1 << std::int64_t(1);
    }

    void networkBodiesStayWithinTheirLimits()
    {
        QFETCH(qint64, catalogSize);
        QFETCH(qint64, signatureSize);
        QFETCH(std::int64_t, version);
        World w;
        w.seed(catalogDocument(1));
        const QByteArray bytes = catalogDocument(2).leftJustified(catalogSize, ' ');
        w.server.serve(u"/catalog.json"_qs, bytes);
        w.server.serve(u"/catalog.json.sig"_qs, w.signature(bytes).leftJustified(signatureSize, ' '));
        QCOMPARE(w.load()->catalogVersion, version);
    }

    void theSignatureIsAbandonedWhenTheCatalogFails()
    {
        World w;
        w.seed(catalogDocument(1));
        w.server.answer(u"/catalog.json"_qs, 503);
        test::TestServer::Route endless;
        endless.delivery = test::TestServer::Delivery::endless;
        w.server.route(u"/catalog.json.sig"_qs, endless);
        // Were the endless signature awaited, this would never return.
        QVERIFY(w.load());
        QCOMPARE(w.service.source(), std::optional(Source::seed));
        QCOMPARE(w.server.hits(u"/catalog.json.sig"_qs), 1);
    }

    void iconsByDigest()
    {
        World w;
        const QByteArray png = "\x89PNG pretend icon";
        Catalog::Entry entry;
        entry.id = u"alpha"_qs;
        entry.iconURL = QUrl(test::onOrigin(u"/icons/alpha.png"_qs));
        entry.iconSHA256 = sha256(png);
        const QString cached = w.locations.iconCacheDirectory + u'/' + entry.iconSHA256 + u".png"_qs;

        // From the network, into the cache.
        w.server.serve(u"/icons/alpha.png"_qs, png);
        auto url = QCoro::waitFor(w.service.icon(entry));
        QCOMPARE(*url, QUrl::fromLocalFile(cached));
        QCOMPARE(*FileSystem::readFile(cached), png);
        QCOMPARE(w.server.hits(u"/icons/alpha.png"_qs), 1);

        // From the cache, without a request.
        QCOMPARE(*QCoro::waitFor(w.service.icon(entry)), QUrl::fromLocalFile(cached));
        QCOMPARE(w.server.hits(u"/icons/alpha.png"_qs), 1);

        // A corrupted cache file is fetched again and replaced.
        QVERIFY(FileSystem::writeFileAtomically(cached, "corrupt"));
        QCOMPARE(*QCoro::waitFor(w.service.icon(entry)), QUrl::fromLocalFile(cached));
        QCOMPARE(*FileSystem::readFile(cached), png);
        QCOMPARE(w.server.hits(u"/icons/alpha.png"_qs), 2);

        // The seed serves an icon whose digest matches, without copying it.
        QVERIFY(QFile::remove(cached));
        QVERIFY(FileSystem::makeDirectories(w.locations.seedRoot + u"/SeedIcons"_qs));
        QVERIFY(FileSystem::writeFileAtomically(w.locations.seedRoot + u"/SeedIcons/alpha.png"_qs, png));
        QCOMPARE(*QCoro::waitFor(w.service.icon(entry)), QUrl::fromLocalFile(w.locations.seedRoot + u"/SeedIcons/alpha.png"_qs));
        QVERIFY(!QFile::exists(cached));

        // A download with the wrong digest fails and writes nothing.
        entry.id = u"beta"_qs;
        entry.iconSHA256 = sha256("the icon the catalog promised");
        const auto mismatch = QCoro::waitFor(w.service.icon(entry));
        QVERIFY(!mismatch);
        QCOMPARE(std::get<CatalogService::Error>(mismatch.error()).kind, ErrorKind::iconHashMismatch);
        QVERIFY(!QFile::exists(w.locations.iconCacheDirectory + u'/' + entry.iconSHA256 + u".png"_qs));

        entry.iconURL = QUrl(test::onOrigin(u"/icons/missing.png"_qs));
        const auto missing = QCoro::waitFor(w.service.icon(entry));
        QVERIFY(!missing);
        QCOMPARE(std::get<FetchError>(std::get<AllowlistFetch::Failure>(missing.error())), FetchError::httpStatus(404));
    }

    void theBuiltInSeedVerifiesWithTheReleaseKey()
    {
        World w;
        CatalogService builtIn(w.fetch, w.highWater, QString::fromLatin1(BuildConfig::releasePublicKey),
                               {w.locations.cacheDirectory, w.locations.iconCacheDirectory, CatalogService::builtInSeed()});
        const auto seed = builtIn.loadSeed();
        QVERIFY(seed);
        QVERIFY(!seed->games.isEmpty());
        // Every seed icon the seed catalog names matches its digest, and is served from the resources.
        for (const auto &entry : seed->games) {
            const auto icon = QCoro::waitFor(builtIn.icon(entry));
            QVERIFY2(icon, qPrintable(entry.id));
            QCOMPARE(icon->scheme(), u"qrc"_qs);
        }
    }
};

QTEST_GUILESS_MAIN(CatalogServiceTest)
#include "CatalogServiceTest.moc"

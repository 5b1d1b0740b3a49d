#include <catalog/CatalogService.h>
#include <core/DefaultsKeys.h>
#include <platform/FileSystem.h>

#include <support/CatalogFixtures.h>
#include <support/CatalogHost.h>
#include <support/PoolGate.h>

#include <QDir>
#include <QFile>
#include <QCoroTask>
#include <QImage>
#include <QTest>

using namespace vantry;
using Source = CatalogService::Source;
using ErrorKind = CatalogService::Error::Kind;

namespace {

QByteArray catalogDocument(std::int64_t version, const QStringList &ids = {u"alpha"_qs})
{
    QList<QByteArray> games;
    for (const QString &id : ids)
        games << test::validEntryJson(id);
    return test::CatalogHost::document(version, games);
}

} // namespace

/// One launcher's world: a home, a loopback catalog host, a release key, and the service.
struct World : test::CatalogHost {
    CatalogService::Locations locations{home.scratch(u"cache"_qs), home.scratch(u"icons"_qs), home.scratch(u"seed"_qs)};
    CatalogService service{fetch, highWater, publicKey(), locations};

    void writePair(const QString &folder, const QByteArray &bytes, const QByteArray &signed_ = {})
    {
        QVERIFY(FileSystem::makeDirectories(folder));
        QVERIFY(FileSystem::writeFileAtomically(folder + u"/catalog.json"_qs, bytes));
        QVERIFY(FileSystem::writeFileAtomically(folder + u"/catalog.json.sig"_qs, signature(signed_.isNull() ? bytes : signed_)));
    }
    void cache(const QByteArray &bytes) { writePair(locations.cacheDirectory, bytes); }
    void seed(const QByteArray &bytes, const QByteArray &signed_ = {}) { writePair(locations.seedRoot + u"/SeedCatalog"_qs, bytes, signed_); }
    std::int64_t mark() const { return highWater.read(DefaultsKeys::catalogVersionHighWater()); }
    QString loadedId()
    {
        const auto catalog = QCoro::waitFor(service.load());
        return catalog ? catalog->games.value(0).id : QString();
    }
    QString cached(const QString &name) const { return QString::fromLatin1(*FileSystem::readFile(locations.cacheDirectory + u'/' + name)); }
};

class CatalogServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void theDiskIsReadOffTheMainThread()
    {
        // The pool is held: a load that read the cache here would be done before it is let go.
        World w;
        w.cache(catalogDocument(6, {u"cached"_qs}));
        test::PoolGate gate;
        auto loading = w.service.load();
        QTRY_COMPARE_WITH_TIMEOUT(w.server.hits(u"/catalog.json.sig"_qs), 1, 5000);
        QTest::qWait(300);
        QVERIFY(!loading.isReady());
        gate.release();
        QCOMPARE(QCoro::waitFor(std::move(loading))->games.first().id, u"cached"_qs);
        QCOMPARE(w.service.source(), std::optional(Source::cache));
    }

    void theMarkFollowsTheCacheWhenTheServiceGoesMeanwhile()
    {
        World w;
        w.publish(catalogDocument(9));
        auto service = std::make_unique<CatalogService>(w.fetch, w.highWater, w.publicKey(),
                                                        w.locations);
        test::PoolGate gate; // the cache write queues behind it
        auto loading = service->load();
        QTRY_COMPARE_WITH_TIMEOUT(w.server.hits(u"/catalog.json.sig"_qs), 1, 5000);
        QTest::qWait(500);
        service.reset();
        gate.release();
        QTRY_VERIFY_WITH_TIMEOUT(loading.isReady(), 5000);
        if (!QFile::exists(w.locations.cacheDirectory + u"/catalog.json"_qs))
            QSKIP("the load had not reached its cache write before the service went");
        QCOMPARE(w.mark(), std::int64_t(9));
    }

    void theNetworkThenTheCacheThenTheSeed()
    {
        // Offline on the first launch: the seed, which raises no mark and fills no cache.
        World w;
        w.seed(catalogDocument(9, {u"seeded"_qs}));
        QCOMPARE(w.loadedId(), u"seeded"_qs); // nothing is served: 404 for both
        QCOMPARE(w.service.source(), std::optional(Source::seed));
        QCOMPARE(w.mark(), std::int64_t(0));
        QVERIFY(!QDir(w.locations.cacheDirectory).exists());

        // A good network pair is cached as it came and raises the mark.
        const QByteArray bytes = catalogDocument(9, {u"fresh"_qs}) + "\n  ";
        w.publish(bytes);
        QCOMPARE(w.loadedId(), u"fresh"_qs);
        QCOMPARE(w.service.source(), std::optional(Source::network));
        QCOMPARE(w.mark(), std::int64_t(9));
        QCOMPARE(w.cached(u"catalog.json"_qs), QString::fromLatin1(bytes));
        QCOMPARE(w.cached(u"catalog.json.sig"_qs), QString::fromLatin1(w.signature(bytes)));

        // A replayed network catalog gives way to the cache, before the seed, and never reaches it;
        // so does a pair that does not verify.
        w.publish(catalogDocument(5, {u"replayed"_qs}));
        QCOMPARE(w.loadedId(), u"fresh"_qs);
        QCOMPARE(w.service.source(), std::optional(Source::cache));
        w.publish(catalogDocument(10, {u"forged"_qs}), catalogDocument(10));
        QCOMPARE(w.loadedId(), u"fresh"_qs);
        QCOMPARE(w.mark(), std::int64_t(9));
        QCOMPARE(w.cached(u"catalog.json"_qs), QString::fromLatin1(bytes));
    }

    void whenEverySourceFailsTheSeedSaysWhy()
    {
        World w;
        QCOMPARE(w.service.loadSeed().error().kind, ErrorKind::seedUnavailable);
        w.seed(catalogDocument(2), "other");
        QCOMPARE(w.service.loadSeed().error().kind, ErrorKind::seedRefused);
        w.seed("[]");
        QVERIFY(!QCoro::waitFor(w.service.load()));
        QCOMPARE(w.service.lastOfflineReason(), std::optional(CatalogService::Error::of(ErrorKind::seedRefused)));

        w.cache(catalogDocument(6)); // replaced by hand: below the mark
        QCoro::waitFor(w.highWater.raise(DefaultsKeys::catalogVersionHighWater(), 7));
        w.seed(catalogDocument(3));
        const auto result = QCoro::waitFor(w.service.load());
        QCOMPARE(result.error().kind, ErrorKind::unavailable);
        QCOMPARE(w.service.source(), std::nullopt);
        QCOMPARE(w.service.lastOfflineReason(), std::optional(CatalogService::Error{ErrorKind::seedOlderThanHighWater, 3, 7}));

        // A later good load clears the reason.
        w.publish(catalogDocument(8));
        QVERIFY(QCoro::waitFor(w.service.load()));
        QCOMPARE(w.service.lastOfflineReason(), std::nullopt);
    }

    void networkBodiesStayWithinTheirLimits_data()
    {
        QTest::addColumn<qint64>("catalogSize"); // padded with blanks to this size
        QTest::addColumn<qint64>("signatureSize");
        QTest::addColumn<QString>("source");
        const qint64 catalog = AllowlistFetch::catalogLimit;
        const qint64 signature = AllowlistFetch::signatureLimit;
        QTest::newRow("at the limits") << catalog << signature << u"network"_qs;
        QTest::newRow("catalog past its limit") << catalog + 1 << signature << u"seed"_qs;
        QTest::newRow("signature past its limit") << catalog << signature + 1 << u"seed"_qs;
    }

    void networkBodiesStayWithinTheirLimits()
    {
        QFETCH(qint64, catalogSize);
        QFETCH(qint64, signatureSize);
        QFETCH(QString, source);
        World w;
        w.seed(catalogDocument(1, {u"seed"_qs}));
        const QByteArray bytes = catalogDocument(2, {u"network"_qs}).leftJustified(catalogSize, ' ');
        w.server.serve(u"/catalog.json"_qs, bytes);
        w.server.serve(u"/catalog.json.sig"_qs, w.signature(bytes).leftJustified(signatureSize, ' '));
        QCOMPARE(w.loadedId(), source);
    }

    void theSignatureIsAbandonedWhenTheCatalogFails()
    {
        World w;
        w.seed(catalogDocument(1));
        w.server.answer(u"/catalog.json"_qs, 503);
        w.server.route(u"/catalog.json.sig"_qs, test::TestServer::Route{200, {}, {}, test::TestServer::Delivery::endless});
        // Were the endless signature awaited, this would never return.
        QCOMPARE(w.loadedId(), u"alpha"_qs);
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
        entry.iconSHA256 = sha256Hex(png);
        const QString cached = w.locations.iconCacheDirectory + u'/' + entry.iconSHA256 + u".png"_qs;
        const QString seeded = w.locations.seedRoot + u"/SeedIcons/alpha.png"_qs;
        const auto icon = [&] { return QCoro::waitFor(w.service.icon(entry)); };

        // From the network into the cache, then from the cache without a request; a corrupted
        // cache file is fetched again.
        w.server.serve(u"/icons/alpha.png"_qs, png);
        QCOMPARE(*icon(), QUrl::fromLocalFile(cached));
        QCOMPARE(*icon(), QUrl::fromLocalFile(cached));
        QCOMPARE(w.server.hits(u"/icons/alpha.png"_qs), 1);
        QVERIFY(FileSystem::writeFileAtomically(cached, "corrupt"));
        QCOMPARE(*icon(), QUrl::fromLocalFile(cached));
        QCOMPARE(*FileSystem::readFile(cached), png);
        QCOMPARE(w.server.hits(u"/icons/alpha.png"_qs), 2);

        // The seed serves an icon whose digest matches, without copying it.
        QVERIFY(QFile::remove(cached));
        QVERIFY(FileSystem::makeDirectories(w.locations.seedRoot + u"/SeedIcons"_qs));
        QVERIFY(FileSystem::writeFileAtomically(seeded, png));
        QCOMPARE(*icon(), QUrl::fromLocalFile(seeded));
        QVERIFY(!QFile::exists(cached));

        // A download with the wrong digest fails and writes nothing; so does a missing one.
        entry.id = u"beta"_qs;
        entry.iconSHA256 = sha256Hex("the icon the catalog promised");
        QCOMPARE(std::get<CatalogService::Error>(icon().error()).kind, ErrorKind::iconHashMismatch);
        QVERIFY(!QFile::exists(w.locations.iconCacheDirectory + u'/' + entry.iconSHA256 + u".png"_qs));
        entry.iconURL = QUrl(test::onOrigin(u"/icons/missing.png"_qs));
        QCOMPARE(std::get<FetchError>(std::get<AllowlistFetch::Failure>(icon().error())), FetchError::httpStatus(404));
    }

    void theBuiltInSeedVerifiesWithTheReleaseKey()
    {
        World w;
        CatalogService builtIn(w.fetch, w.highWater, QString::fromLatin1(BuildConfig::releasePublicKey),
                               {w.locations.cacheDirectory, w.locations.iconCacheDirectory, CatalogService::builtInSeed()});
        const auto seed = builtIn.loadSeed();
        QVERIFY(seed && !seed->games.isEmpty());
        // Every seed icon the seed catalog names matches its digest, and is served from the resources.
        for (const auto &entry : seed->games) {
            const auto icon = QCoro::waitFor(builtIn.icon(entry));
            QVERIFY2(icon, qPrintable(entry.id));
            QCOMPARE(icon->scheme(), u"qrc"_qs);
            QVERIFY2(!QImage(u':' + icon->path()).isNull(), qPrintable(icon->toString()));
        }
    }
};

QTEST_GUILESS_MAIN(CatalogServiceTest)
#include "CatalogServiceTest.moc"

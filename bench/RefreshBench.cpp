// A refresh of 50 titles, 5 of them with an adopted copy in ~/Applications, against a loopback
// HTTPS host (vantry-publish serve, in its own process) with the production seams: catalog,
// 50 appcasts, 50 adoption assessments (signature and notarization checks of the 5 copies), the
// scan and the icons. Prints, for a first refresh (icons fetched) and a second (icons pinned), the
// wall time and the longest stall of the main thread (how late a 1 ms timer fired).
#include "BenchGames.h"

#include <library/LibraryModel.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/CatalogService.h>
#include <catalog/HighWaterStore.h>
#include <install/InstallEngine.h>
#include <platform/Crypto.h>
#include <platform/FileSystem.h>
#include <platform/HttpTransport.h>
#include <platform/PropertyList.h>
#include <platform/UserDefaults.h>
#include <vantry/BuildConfig.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace vantry;

namespace {

const QString &keys = bench::developmentKeys;
constexpr int titles = 50, adopted = 5;
using bench::publish;

QString id(int n) { return QStringLiteral("g%1").arg(n, 2, 10, QLatin1Char('0')); }
QString bundleId(int n) { return QStringLiteral("com.vantry.bench.") + id(n); }
QString onHost(const QString &path) { return QStringLiteral("https://%1/%2").arg(QString::fromLatin1(BuildConfig::catalogHost), path); }

// The catalog, its signature, the appcasts (build 2 of each game) and one icon, in `site`.
bool makeSite(const QString &site)
{
    const auto png = FileSystem::readFile(QStringLiteral(VANTRY_SOURCE_DIR "/demo/icons/swirlo.png"));
    if (!png || !FileSystem::makeDirectories(site + QStringLiteral("/appcasts")) ||
        !FileSystem::makeDirectories(site + QStringLiteral("/icons")) ||
        !FileSystem::writeNewFile(site + QStringLiteral("/icons/icon.png"), *png, 0644))
        return false;
    QStringList games;
    for (int n = 0; n < titles; ++n) {
        games << QStringLiteral(R"({"id": "%1", "name": "Game %1", "tagline": "t", "description": "d", "bundleId": "%2", )"
                                R"("appcastURL": "%3", "minSystemVersion": "2.31", "iconURL": "%4", "iconSHA256": "%5", "released": true})")
                     .arg(id(n), bundleId(n), onHost(QStringLiteral("appcasts/%1.xml").arg(id(n))),
                          onHost(QStringLiteral("icons/icon.png")), QString::fromLatin1(Crypto::sha256Digest(*png).toHex()));
        const QString feed = QStringLiteral(
            R"(<?xml version="1.0"?><rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">)"
            R"(<channel><item><sparkle:version>2</sparkle:version><enclosure url="%1" length="1000" )"
            R"(type="application/octet-stream" sparkle:edSignature="c2ln"/></item></channel></rss>)")
                                 .arg(onHost(QStringLiteral("releases/%1.dmg").arg(id(n))));
        if (!FileSystem::writeNewFile(site + QStringLiteral("/appcasts/%1.xml").arg(id(n)), feed.toUtf8(), 0644))
            return false;
    }
    const QString catalog = site + QStringLiteral("/catalog.json");
    const QByteArray document = QStringLiteral(R"({"schemaVersion": 1, "catalogVersion": 1, "games": [%1]})")
                                    .arg(games.join(QLatin1Char(','))).toUtf8();
    if (!FileSystem::writeNewFile(catalog, document, 0644))
        return false;
    const auto signature = publish({QStringLiteral("sign"), QStringLiteral("--key"), keys + QStringLiteral("release.key"), catalog});
    return signature && FileSystem::writeNewFile(catalog + QStringLiteral(".sig"), *signature, 0644);
}

// Build 1 of the first games, signed and notarized, in ~/Applications.
bool makeAdoptedCopies(const QString &home)
{
    for (int n = 0; n < adopted; ++n) {
        const QString bundle = home + QStringLiteral("/Applications/Game%1.app").arg(n);
        if (!bench::makeGameBundle(bundle, bundleId(n)) || !bench::signAndNotarize(bundle))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // The registry, the managed folder and the caches are looked for under this home.
    QTemporaryDir root;
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(name, QFile::encodeName(root.filePath(QString::fromLatin1(name))));
    const QString home = root.filePath(QStringLiteral("HOME"));
    QCoreApplication app(argc, argv);
    const QString site = root.filePath(QStringLiteral("site"));
    if (!makeSite(site) || !makeAdoptedCopies(home))
        return 1;

    QProcess server;
    server.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {QStringLiteral("serve"), site});
    if (!server.waitForReadyRead(30000))
        return 1;
    const auto match = QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)")).match(QString::fromUtf8(server.readLine()));
    HttpTransport transport(DevelopmentOrigin {QStringLiteral("127.0.0.1"), quint16(match.captured(1).toUInt()),
                                               QSslCertificate::fromPath(keys + QStringLiteral("tls.crt"))});
    const AllowlistFetch fetch(transport);
    UserDefaults defaults(root.filePath(QStringLiteral("defaults.json")));
    HighWaterStore highWater(defaults);
    InstallEngine engine(&transport, &highWater);
    LibraryModel model(OutwardSeams::production(fetch),
                       std::make_unique<CatalogService>(fetch, highWater, QString::fromLatin1(BuildConfig::releasePublicKey),
                                                        CatalogService::Locations::standard()),
                       &engine, &highWater);

    std::printf("%-8s %10s %14s %8s %8s %6s\n", "refresh", "wall ms", "max stall ms", "titles", "adopted", "icons");
    for (const char *which : {"first", "second"}) {
        qint64 stall = 0;
        QElapsedTimer tick;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            stall = std::max(stall, tick.nsecsElapsed() - 1'000'000);
            tick.restart();
        });
        QElapsedTimer wall;
        wall.start();
        tick.start();
        ticker.start(1);
        QCoro::waitFor(model.refresh());
        ticker.stop();
        const auto updates = std::count_if(model.states().cbegin(), model.states().cend(), [](const TitleState &state) {
            return state.discriminator() == TitleState::Case::updateAvailable;
        });
        std::printf("%-8s %10.1f %14.2f %8lld %8lld %6lld\n", which, double(wall.nsecsElapsed()) / 1e6,
                    double(stall) / 1e6, qlonglong(model.states().size()), qlonglong(updates),
                    qlonglong(model.icons().size()));
    }
    server.kill();
    server.waitForFinished();
    return 0;
}

// Installs a 64 MiB and a 512 MiB game (incompressible) from a loopback HTTPS server
// (vantry-publish serve, in its own process) with the install engine, and prints for each, from
// the same run: the wall time of the whole job; the floor, measured on the same files (curl of the
// image into the same folder, sha512sum of it, unsquashfs of it, sha256sum of every extracted
// file twice) and the ratio of the two; the peak anonymous memory of this process; and the
// longest stall of the main thread during the job (how late a 1 ms timer fired), also without the
// time the main thread sat ready but waiting for a processor (its run-queue delay), which on a
// shared machine is other programs' doing.
#include "BenchGames.h"
#include "ProcessMemory.h"

#include <install/InstallEngine.h>

#include <catalog/HighWaterStore.h>
#include <platform/FileSystem.h>
#include <platform/HttpTransport.h>
#include <platform/PropertyList.h>
#include <platform/UserDefaults.h>
#include <vantry/BuildConfig.h>

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <random>
#include <thread>
#include <unistd.h>

using namespace vantry;
using bench::anonymousKiB;

namespace {

const QString &keys = bench::developmentKeys;
using bench::publish;
using bench::run;

// Game.app with `size` bytes of random data in 16 MiB files, signed and notarized with the
// development keys, as the image `image`; gives the image's signature.
std::optional<QString> makeRelease(const QString &folder, qint64 size, const QString &image)
{
    const QString bundle = folder + QStringLiteral("/Game.app");
    const QString contents = bundle + QStringLiteral("/Contents");
    if (!bench::makeGameBundle(bundle, QStringLiteral("com.vantry.bench.game")))
        return std::nullopt;
    std::mt19937_64 random(size);
    QByteArray piece(16 << 20, Qt::Uninitialized);
    for (qint64 written = 0; written < size; written += piece.size()) {
        for (qsizetype i = 0; i + 8 <= piece.size(); i += 8) {
            const std::uint64_t value = random();
            std::memcpy(piece.data() + i, &value, 8);
        }
        if (!FileSystem::writeNewFile(contents + QStringLiteral("/Resources/data-%1.bin").arg(written >> 24), piece, 0644))
            return std::nullopt;
    }
    if (!bench::signAndNotarize(bundle)
        || !publish({QStringLiteral("mkimage"), bundle, QStringLiteral("--out"), image}))
        return std::nullopt;
    const auto signature = publish({QStringLiteral("sign"), QStringLiteral("--key"), keys + QStringLiteral("release.key"), image});
    return signature ? std::optional(QString::fromLatin1(signature->trimmed())) : std::nullopt;
}

// What the floor's tools take on the same image, in seconds; negative when one failed.
double floorSeconds(const QString &host, quint16 port, const QString &name, const QString &work)
{
    QElapsedTimer timer;
    timer.start();
    const QString image = work + QStringLiteral("/floor.dmg");
    const QString tree = work + QStringLiteral("/floor-tree");
    if (!run(QStringLiteral("curl"), {QStringLiteral("-sSf"), QStringLiteral("-o"), image, QStringLiteral("--cacert"),
                                      keys + QStringLiteral("tls.crt"), QStringLiteral("--resolve"),
                                      QStringLiteral("%1:%2:127.0.0.1").arg(host).arg(port),
                                      QStringLiteral("https://%1:%2/%3").arg(host).arg(port).arg(name)})
        || !run(QStringLiteral("sha512sum"), {image})
        || !run(QStringLiteral("unsquashfs"), {QStringLiteral("-q"), QStringLiteral("-n"), QStringLiteral("-d"), tree, image}))
        return -1;
    QStringList files;
    for (QDirIterator it(tree, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next();
    if (!run(QStringLiteral("sha256sum"), files) || !run(QStringLiteral("sha256sum"), files))
        return -1;
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    QFile::remove(image);
    QDir(tree).removeRecursively();
    return seconds;
}

// How long the calling thread has waited, ready to run, for a processor, in nanoseconds.
qint64 runQueueDelay()
{
    QFile schedstat(QStringLiteral("/proc/thread-self/schedstat"));
    return schedstat.open(QIODevice::ReadOnly) ? schedstat.readAll().split(' ').value(1).toLongLong() : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir site;
    QTemporaryDir work;
    const QList<qint64> sizes{64LL << 20, 512LL << 20};
    QHash<qint64, QString> signatures;
    QHash<qint64, qint64> lengths;
    for (const qint64 size : sizes) {
        const QString name = QStringLiteral("game-%1.dmg").arg(size >> 20);
        const auto signature = makeRelease(work.filePath(name + QStringLiteral(".src")), size, site.filePath(name));
        if (!signature)
            return 1;
        signatures.insert(size, *signature);
        lengths.insert(size, QFileInfo(site.filePath(name)).size());
        QDir(work.filePath(name + QStringLiteral(".src"))).removeRecursively();
    }

    QProcess server;
    server.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {QStringLiteral("serve"), site.path()});
    if (!server.waitForReadyRead(30000))
        return 1;
    const auto match = QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)")).match(QString::fromUtf8(server.readLine()));
    const quint16 port = quint16(match.captured(1).toUInt());
    const QString host = QString::fromLatin1(BuildConfig::catalogHost);
    HttpTransport transport(DevelopmentOrigin{QStringLiteral("127.0.0.1"), port,
                                              QSslCertificate::fromPath(keys + QStringLiteral("tls.crt"))});
    UserDefaults defaults(work.filePath(QStringLiteral("defaults.json")));
    HighWaterStore highWater(defaults);
    const WorkingRoots roots{work.filePath(QStringLiteral("Downloads")), work.filePath(QStringLiteral("Games/.staging")),
                             work.filePath(QStringLiteral("Games"))};

    std::printf("%-8s %9s %9s %6s %15s %15s %13s %15s  %s\n", "size", "job s", "floor s", "ratio", "anon start KiB",
                "anon peak KiB", "max stall ms", "w/o run queue", "during");
    QList<qint64> peaks;
    for (const qint64 size : sizes) {
        const QString name = QStringLiteral("game-%1.dmg").arg(size >> 20);
        // A warm server cache for both, and no dirty pages of an earlier run to write.
        if (floorSeconds(host, port, name, work.path()) < 0)
            return 1;
        ::sync();

        InstallEngine engine(&transport, &highWater, roots);
        Catalog::Entry entry;
        entry.id = QStringLiteral("game");
        entry.bundleId = QStringLiteral("com.vantry.bench.game");
        entry.minSystemVersion = QStringLiteral("2.31");
        entry.released = true;
        const InstallPlan plan{entry.id, QUrl(QStringLiteral("https://%1/%2").arg(host, name)), lengths[size], signatures[size],
                               entry.bundleId, 1, QStringLiteral("1.0")};
        const qint64 start = anonymousKiB();
        std::atomic<qint64> peak = start;
        std::atomic_bool sampling = true;
        std::thread sampler([&] {
            while (sampling) {
                peak = std::max(peak.load(), anonymousKiB());
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        QElapsedTimer tick;
        qint64 stall = 0;
        qint64 ownStall = 0;
        qint64 delay = runQueueDelay();
        QString worstDuring = QStringLiteral("-"); // the job's state when the longest own stall ended
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 late = tick.nsecsElapsed() - 1'000'000;
            const qint64 waited = runQueueDelay() - delay;
            stall = std::max(stall, late);
            if (late - waited > ownStall) {
                ownStall = late - waited;
                const TitleState state = engine.jobStates().value(entry.id);
                worstDuring = TitleState::rawValue(state.discriminator()) +
                              (state.step() ? u'/' + rawValue(*state.step()) : QString());
            }
            delay += waited;
            tick.restart();
        });
        bool done = false;
        engine.addDrainHandler([&done] { done = true; });
        QElapsedTimer wall;
        wall.start();
        tick.start();
        ticker.start(1);
        engine.requestInstall(entry, plan, TitleState::available(), std::nullopt);
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double seconds = double(wall.nsecsElapsed()) / 1e9;
        ticker.stop();
        sampling = false;
        sampler.join();
        if (engine.jobStates().value(entry.id) != TitleState::installed()) {
            std::fprintf(stderr, "the install of %s failed: %s\n", qPrintable(name),
                         qPrintable(engine.jobStates().value(entry.id).text()));
            return 1;
        }
        QDir(roots.install).removeRecursively();
        ::sync();
        const double floor = floorSeconds(host, port, name, work.path());
        std::printf("%-8s %9.2f %9.2f %6.2f %15lld %15lld %13.1f %15.1f  %s\n", qPrintable(QStringLiteral("%1 MiB").arg(size >> 20)),
                    seconds, floor, seconds / floor, start, peak.load(), double(stall) / 1e6, double(ownStall) / 1e6,
                    qPrintable(worstDuring));
        peaks << peak;
        (void)defaults.remove(QStringLiteral("title.versionHighWater.game"));
    }
    std::printf("anonymous memory growth from 64 MiB to 512 MiB: %lld KiB\n", peaks[1] - peaks[0]);
    server.terminate();
    server.waitForFinished(5000);
    return 0;
}

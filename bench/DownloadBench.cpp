// Downloads 64 MiB and 512 MiB from a loopback HTTPS server (vantry-publish serve, in its own
// process) with DownloadService, and the same files with curl, once to /dev/null and once into
// the same folder, and prints throughput and this process's anonymous memory. The second curl
// figure pays for the disk as the launcher does.
#include "ProcessMemory.h"

#include <catalog/DownloadService.h>
#include <vantry/BuildConfig.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace vantry;
using bench::anonymousKiB;

constexpr int rounds = 5;

namespace {

double mibPerSecond(qint64 bytes, qint64 nanoseconds) { return double(bytes) / 1048576.0 / (double(nanoseconds) / 1e9); }

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir site;
    QTemporaryDir downloads;
    const QList<qint64> sizes{64LL << 20, 512LL << 20};
    for (const qint64 size : sizes) {
        QFile file(site.filePath(QStringLiteral("image-%1.dmg").arg(size >> 20)));
        if (!file.open(QIODevice::WriteOnly) || !file.resize(size)) {
            std::fprintf(stderr, "cannot make the test image\n");
            return 1;
        }
    }

    QProcess server;
    server.start(QStringLiteral(VANTRY_PUBLISH_TOOL), {QStringLiteral("serve"), site.path()});
    if (!server.waitForReadyRead(30000)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const auto match = QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)")).match(QString::fromUtf8(server.readLine()));
    const quint16 port = quint16(match.captured(1).toUInt());
    const QString host = QString::fromLatin1(BuildConfig::catalogHost);

    // curl fetching the same file into `output`, in MiB/s; negative when it fails.
    const auto curlMiBPerSecond = [&host, port](const QString &name, qint64 size, const QString &output) {
        ::sync(); // the previous run's dirty pages are not this run's to write
        QProcess curl;
        QElapsedTimer timer;
        timer.start();
        curl.start(QStringLiteral("curl"),
                   {QStringLiteral("-sSf"), QStringLiteral("-o"), output, QStringLiteral("--cacert"),
                    QStringLiteral(VANTRY_DEV_CERTIFICATE), QStringLiteral("--resolve"),
                    QStringLiteral("%1:%2:127.0.0.1").arg(host).arg(port),
                    QStringLiteral("https://%1:%2/%3").arg(host).arg(port).arg(name)});
        if (!curl.waitForFinished(600000) || curl.exitCode() != 0) {
            std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
            return -1.0;
        }
        return mibPerSecond(size, timer.nsecsElapsed());
    };

    HttpTransport transport(DevelopmentOrigin{QStringLiteral("127.0.0.1"), port,
                                              QSslCertificate::fromPath(QStringLiteral(VANTRY_DEV_CERTIFICATE))});
    DownloadService service(transport);

    std::printf("each figure is the median of %d rounds; downloads go to %s\n", rounds, qPrintable(downloads.path()));
    std::printf("%-8s %14s %14s %7s %14s %7s %16s %16s\n", "size", "vantry MiB/s", "curl MiB/s", "ratio",
                "curl>file", "ratio", "anon start KiB", "anon peak KiB");
    QList<qint64> peaks;
    for (const qint64 size : sizes) {
        const QString name = QStringLiteral("image-%1.dmg").arg(size >> 20);
        const qint64 start = anonymousKiB();
        qint64 peak = start;
        // One unmeasured fetch first, so that no contestant pays for the server's cold cache.
        if (curlMiBPerSecond(name, size, QStringLiteral("/dev/null")) < 0)
            return 1;
        QList<double> ours;
        QList<double> theirs;
        QList<double> theirsToFile;
        for (int round = 0; round < rounds; ++round) {
            // Sampled at each whole per cent, so that measuring costs the download nothing.
            int sampled = -1;
            const auto sample = [&peak, &sampled](double fraction) {
                if (int(fraction * 100) > sampled) {
                    sampled = int(fraction * 100);
                    peak = std::max(peak, anonymousKiB());
                }
            };
            ::sync();
            QElapsedTimer timer;
            timer.start();
            const auto result = QCoro::waitFor(
                service.download(QUrl(QStringLiteral("https://%1/%2").arg(host, name)), downloads.path(),
                                 size, sample));
            ours << mibPerSecond(size, timer.nsecsElapsed());
            peak = std::max(peak, anonymousKiB());
            if (!result || QFileInfo(*result).size() != size) {
                std::fprintf(stderr, "the download of %s failed\n", qPrintable(name));
                return 1;
            }
            QFile::remove(*result);

            const double toNull = curlMiBPerSecond(name, size, QStringLiteral("/dev/null"));
            const QString copy = downloads.filePath(QStringLiteral("curl-") + name);
            const double toFile = curlMiBPerSecond(name, size, copy);
            QFile::remove(copy);
            if (toNull < 0 || toFile < 0)
                return 1;
            theirs << toNull;
            theirsToFile << toFile;
        }
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
        std::sort(theirsToFile.begin(), theirsToFile.end());
        const double median = ours[rounds / 2];
        const double curlMedian = theirs[rounds / 2];
        const double curlToFileMedian = theirsToFile[rounds / 2];
        std::printf("%-8s %14.1f %14.1f %7.2f %14.1f %7.2f %16lld %16lld\n",
                    qPrintable(QStringLiteral("%1 MiB").arg(size >> 20)), median, curlMedian, median / curlMedian,
                    curlToFileMedian, median / curlToFileMedian, start, peak);
        peaks << peak;
    }
    std::printf("anonymous memory growth from 64 MiB to 512 MiB: %lld KiB\n", peaks[1] - peaks[0]);
    server.terminate();
    server.waitForFinished(5000);
    return 0;
}

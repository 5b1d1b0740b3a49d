// Start-up and idle memory of the launcher's window against a bare Qt Quick window of the same
// size and style, both on the demo collection's home and served site. For each program and run:
// the wall time from spawn to the first swapped frame, then, after the first refresh has settled,
// the resident (VmRSS) and anonymous (RssAnon) memory. Prints the medians and the ratios against
// the targets (start-up at most 1.3 times, idle memory at most 1.5 times the bare window).
#include "DemoHome.h"
#include "ProcessMemory.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

using namespace vantry;

namespace {

constexpr int firstFrameLimitMs = 60'000, idleMs = 4'000;

struct Sample {
    double startMs = 0, rssMiB = 0, anonMiB = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void stop(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(10'000)) {
        process.kill();
        process.waitForFinished();
    }
}

// Whatever the program said besides the first-frame mark (QML warnings, errors), once a line.
void reportChatter(const QString &name, const QByteArray &stderrText)
{
    static QSet<QByteArray> reported;
    for (const QByteArray &line : stderrText.split('\n')) {
        if (line.trimmed().isEmpty() || line.contains("first frame") || reported.contains(name.toUtf8() + line))
            continue;
        reported.insert(name.toUtf8() + line);
        std::fprintf(stderr, "  %s said: %s\n", qPrintable(name), line.constData());
    }
}

// One cold start of `program`: spawn to "first frame" on stderr, then idle memory.
std::optional<Sample> measure(const QString &name, const QString &program, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setReadChannel(QProcess::StandardError);
    QByteArray said;
    QElapsedTimer wall;
    wall.start();
    process.start(program, {});
    std::optional<Sample> sample;
    while (!sample && wall.elapsed() < firstFrameLimitMs && process.state() != QProcess::NotRunning) {
        if (!process.canReadLine() && !process.waitForReadyRead(int(firstFrameLimitMs - wall.elapsed())))
            continue;
        while (process.canReadLine()) {
            const QByteArray line = process.readLine();
            said += line;
            if (line.contains("first frame") && !sample)
                sample = Sample {double(wall.nsecsElapsed()) / 1e6};
        }
    }
    if (!sample) {
        said += process.readAllStandardError();
        std::fprintf(stderr, "%s: no first frame within %d s (exit code %d)\n", qPrintable(name),
                     firstFrameLimitMs / 1000, process.exitCode());
        reportChatter(name, said);
        stop(process);
        return std::nullopt;
    }
    // Idle: the first refresh done and the window settled. A program that ends here failed.
    if (process.waitForFinished(idleMs)) {
        std::fprintf(stderr, "%s ended while idle (exit code %d)\n", qPrintable(name), process.exitCode());
        reportChatter(name, said + process.readAllStandardError());
        return std::nullopt;
    }
    const QString status = QStringLiteral("/proc/%1/status").arg(process.processId());
    sample->rssMiB = double(bench::statusKiB(status, "VmRSS")) / 1024;
    sample->anonMiB = double(bench::statusKiB(status, "RssAnon")) / 1024;
    stop(process);
    reportChatter(name, said + process.readAllStandardError());
    return sample;
}

void usage()
{
    std::fprintf(stderr, "usage: xvfb-run -a StartupBench [--runs N]\n"
                         "  needs a display (DISPLAY or WAYLAND_DISPLAY); run it under xvfb-run -a\n");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int runs = 5;
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.size() == 2 && arguments[0] == QStringLiteral("--runs"))
        runs = arguments[1].toInt();
    if ((!arguments.isEmpty() && arguments.size() != 2) || runs < 1) {
        usage();
        return 2;
    }
    if (!bench::hasDisplay()) {
        std::fprintf(stderr, "StartupBench: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
        usage();
        return 2;
    }

    QTemporaryDir root;
    if (!root.isValid() || !bench::makeDemo(root))
        return 1;
    QProcess server;
    const auto connectTo = bench::serve(server, root.filePath(QStringLiteral("demo/site")));
    if (!connectTo)
        return 1;
    QProcessEnvironment environment = bench::homeEnvironment(root.filePath(QStringLiteral("home")), *connectTo);
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("com.vantry.launcher.startup.info=true"));

    const std::pair<const char *, QString> programs[] = {{"vantry", QStringLiteral(VANTRY_WINDOW)},
                                                         {"bare window", QStringLiteral(VANTRY_BARE_WINDOW)}};
    // Alternating runs, so that a busy moment of the machine weighs on both programs alike.
    std::vector<double> start[2], rss[2], anon[2];
    std::printf("%-12s %4s %14s %12s %12s\n", "program", "run", "first frame ms", "idle RSS MiB", "idle anon MiB");
    for (int run = 1; run <= runs; ++run) {
        for (size_t which = 0; which < 2; ++which) {
            const auto &[name, program] = programs[which];
            const auto sample = measure(QString::fromLatin1(name), program, environment);
            if (!sample)
                return 1;
            std::printf("%-12s %4d %14.1f %12.1f %12.1f\n", name, run, sample->startMs, sample->rssMiB, sample->anonMiB);
            std::fflush(stdout);
            start[which].push_back(sample->startMs);
            rss[which].push_back(sample->rssMiB);
            anon[which].push_back(sample->anonMiB);
        }
    }
    stop(server);

    const Sample vantry {median(start[0]), median(rss[0]), median(anon[0])};
    const Sample bare {median(start[1]), median(rss[1]), median(anon[1])};
    std::printf("\nmedians of %d runs      %14s %12s %12s\n", runs, "first frame ms", "idle RSS MiB", "idle anon MiB");
    std::printf("%-24s %14.1f %12.1f %12.1f\n", "vantry", vantry.startMs, vantry.rssMiB, vantry.anonMiB);
    std::printf("%-24s %14.1f %12.1f %12.1f\n", "bare Qt Quick window", bare.startMs, bare.rssMiB, bare.anonMiB);
    const auto verdict = [](double ratio, double target) { return ratio <= target ? "within" : "OVER"; };
    const double startRatio = vantry.startMs / bare.startMs, rssRatio = vantry.rssMiB / bare.rssMiB,
                 anonRatio = vantry.anonMiB / bare.anonMiB;
    std::printf("\nvantry / bare window      ratio  target\n");
    std::printf("start-up to first frame  %6.2fx  <= 1.3x  %s\n", startRatio, verdict(startRatio, 1.3));
    std::printf("idle resident (VmRSS)    %6.2fx  <= 1.5x  %s\n", rssRatio, verdict(rssRatio, 1.5));
    std::printf("idle anonymous (RssAnon) %6.2fx  <= 1.5x  %s\n", anonRatio, verdict(anonRatio, 1.5));
    return 0;
}

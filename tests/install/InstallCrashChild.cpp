// One install in a process of its own, for the crash test: it ends itself with signal 9 at the
// Nth distinct point its job reaches, or installs to the end and prints how many points it saw.
//
//   InstallCrashChild TITLE URL LENGTH SIGNATURE VERSION KILL-AT

#include "ReleaseFixture.h"

#include <install/InstallEngine.h>

#include <catalog/HighWaterStore.h>
#include <platform/HttpTransport.h>

#include <QCoreApplication>
#include <QMutex>
#include <QSet>

#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace vantry;

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 7)
        return 2;
    const int killAt = arguments[6].toInt();
    QMutex mutex;
    QSet<QByteArray> seen;
    InstallEngine::setCheckpointHook([&](const char *point) {
        const QMutexLocker lock(&mutex);
        seen.insert(point);
        if (seen.size() == killAt)
            ::kill(::getpid(), SIGKILL);
    });
    const auto transport = HttpTransport::fromEnvironment();
    if (!transport)
        return 2;
    InstallEngine engine(transport->get());
    const Catalog::Entry entry = test::gameEntry(arguments[1]);
    const std::int64_t version = arguments[5].toLongLong();
    const InstallPlan plan{entry.id, QUrl(arguments[2]), arguments[3].toLongLong(), arguments[4], entry.bundleId, version,
                           QStringLiteral("1.%1").arg(version)};
    engine.addDrainHandler([&] { application.exit(engine.jobStates().value(entry.id) == TitleState::installed() ? 0 : 1); });
    engine.requestInstall(entry, plan, TitleState::updateAvailable(), std::nullopt);
    const int status = application.exec();
    std::printf("%lld\n", static_cast<long long>(seen.size()));
    return status;
}

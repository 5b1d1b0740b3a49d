#include <core/OffMain.h>

#include <QCoreApplication>
#include <QGlobalStatic>

#include <QMutex>

#include <algorithm>
#include <vector>

namespace vantry {

namespace {

// Most of the work waits on a disk or a child process rather than a core, so the pool is wider
// than the machine: a slow signature check must not hold back a library refresh.
struct OffMainPool : QThreadPool {
    OffMainPool()
    {
        setObjectName(QStringLiteral("offMain"));
        setMaxThreadCount(std::max(8, QThread::idealThreadCount()));
        // The threads end with the application, not at static destruction: by then the libraries
        // they used (OpenSSL's per-thread state) have already been torn down.
        qAddPostRoutine(&finishAll);
    }

    static void finishAll();
};

Q_GLOBAL_STATIC(OffMainPool, pool)

void OffMainPool::finishAll()
{
    if (pool.isDestroyed())
        return;
    // Work not yet started is dropped: nobody is left to want its result.
    pool()->clear();
    pool()->waitForDone();
}

QMutex cleanupsMutex;
std::vector<void (*)()> &cleanups()
{
    static std::vector<void (*)()> registered;
    return registered;
}

} // namespace

QThreadPool *offMainPool() { return pool(); }

void addTaskCleanup(void (*cleanup)())
{
    const QMutexLocker lock(&cleanupsMutex);
    if (std::find(cleanups().begin(), cleanups().end(), cleanup) == cleanups().end())
        cleanups().push_back(cleanup);
}

void detail::runTaskCleanups()
{
    const QMutexLocker lock(&cleanupsMutex);
    for (auto *cleanup : cleanups())
        cleanup();
}

} // namespace vantry

#include <core/OffMain.h>

#include <QCoreApplication>
#include <QGlobalStatic>

#include <algorithm>

#include <openssl/crypto.h>

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

} // namespace

QThreadPool *offMainPool() { return pool(); }

void detail::releaseThreadState() { OPENSSL_thread_stop(); }

} // namespace vantry

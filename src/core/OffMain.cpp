#include <core/OffMain.h>

#include <QGlobalStatic>

#include <algorithm>

namespace vantry {

namespace {

// Most of the work waits on a disk or a child process rather than a core, so the pool is wider
// than the machine: a slow signature check must not hold back a library refresh. Its destructor
// waits for work still running.
struct OffMainPool : QThreadPool {
    OffMainPool()
    {
        setObjectName(QStringLiteral("offMain"));
        setMaxThreadCount(std::max(8, QThread::idealThreadCount()));
    }
};

Q_GLOBAL_STATIC(OffMainPool, pool)

} // namespace

QThreadPool *offMainPool() { return pool(); }

} // namespace vantry

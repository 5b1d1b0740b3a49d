#pragma once

#include <core/OffMain.h>

#include <QSemaphore>

#include <memory>
#include <utility>

namespace vantry::test {

/// Holds every thread of the off-main pool until released: work sent there meanwhile waits,
/// while work done on the calling thread would not.
class PoolGate
{
public:
    PoolGate()
    {
        auto wait = [gate = m_gate] { gate->acquire(); };
        for (int i = 0; i < m_threads; ++i)
            (void)offMain(wait);
    }
    ~PoolGate() { release(); }
    void release() { m_gate->release(std::exchange(m_threads, 0)); }

private:
    std::shared_ptr<QSemaphore> m_gate = std::make_shared<QSemaphore>();
    int m_threads = offMainPool()->maxThreadCount();
};

} // namespace vantry::test

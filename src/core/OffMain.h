#pragma once

#include <QCoroFuture>
#include <QFuture>
#include <QScopeGuard>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <type_traits>

namespace vantry {

/// The pool every piece of blocking work runs on: the main thread never waits on a disk, a tool
/// or a signature check.
[[nodiscard]] QThreadPool *offMainPool();

/// Registers `cleanup` to run on the pool thread at the end of every task from now on. A layer
/// whose libraries keep records per thread (OpenSSL's error and state records) hands them back so:
/// they are freed when a thread exits, but a pool thread may exit only after the process has torn
/// those libraries down. Register once, before the first task.
void addTaskCleanup(void (*cleanup)());

namespace detail {
void runTaskCleanups();
} // namespace detail

/// Starts a copy of `work` on the pool; `co_await` the result to resume on the awaiting thread
/// with its value. `work` must not touch state the main thread owns: capture copies.
///
/// It takes a named callable only. GCC 12 destroys the temporaries of a `co_await` expression
/// twice when it suspends, so `co_await offMain([...] {...})` would free the captures twice.
template<typename Work>
[[nodiscard]] QFuture<std::invoke_result_t<Work &>> offMain(Work &work)
{
    return QtConcurrent::run(offMainPool(), [work]() mutable {
        const auto release = qScopeGuard(&detail::runTaskCleanups);
        return work();
    });
}

} // namespace vantry

#include "QuitOnSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace vantry::demo {

namespace {

volatile std::sig_atomic_t signalWriteEnd = -1;

void onSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal);
    if (::write(signalWriteEnd, &byte, 1) < 0) {
        // A full pipe already holds a request: nothing is lost.
    }
    errno = savedErrno;
}

} // namespace

QuitOnSignals::QuitOnSignals()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_read = ends[0];
    m_write = ends[1];
    signalWriteEnd = m_write;
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_valid =
        ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

QuitOnSignals::~QuitOnSignals()
{
    struct sigaction action {
    };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    signalWriteEnd = -1;
    for (const int fd : {m_read, m_write}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void QuitOnSignals::watch()
{
    auto *notifier =
        new QSocketNotifier(m_read, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [this] {
        char bytes[16];
        while (::read(m_read, bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
}

} // namespace vantry::demo

#include <cli/Console.h>

#include <QCoroSignal>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace vantry::Cli {

namespace {

int interruptPipe[2] = {-1, -1};

// All a signal handler may safely do: note the signal for the event loop.
void noteInterrupt(int)
{
    const int saved = errno;
    const char byte = 1;
    static_cast<void>(!::write(interruptPipe[1], &byte, 1));
    errno = saved;
}

// An answer is a word; anything longer is not one.
constexpr qsizetype longestAnswer = 4096;

} // namespace

void Console::catchInterrupts()
{
    // Without the pipe Ctrl-C keeps its default and ends the tool at once.
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action {
    };
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
}

Console::Console()
    : m_out(stdout), m_err(stderr), m_outputIsTerminal(::isatty(STDOUT_FILENO) == 1),
      m_interactive(m_outputIsTerminal && ::isatty(STDIN_FILENO) == 1)
{
    if (interruptPipe[0] < 0)
        return;
    m_interrupts = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, this);
    connect(m_interrupts, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(interruptPipe[0], bytes, sizeof bytes) > 0) {
        }
        interrupt();
    });
}

Console::~Console()
{
    m_out.flush();
    m_err.flush();
}

void Console::print(const QString &line)
{
    m_out << line << '\n';
    m_out.flush();
}

void Console::complain(const QString &line)
{
    m_out.flush();
    m_err << line << '\n';
    m_err.flush();
}

void Console::write(const QString &text)
{
    m_out << text;
    m_out.flush();
}

void Console::interrupt()
{
    if (m_onInterrupt) {
        m_onInterrupt();
        return;
    }
    // Nothing under way can be cancelled more gently: every file the launcher writes is replaced
    // whole, so ending here leaves no torn file.
    m_out.flush();
    m_err.flush();
    std::_Exit(interruptedStatus);
}

QCoro::Task<std::optional<QString>> Console::readLine()
{
    if (!m_input) {
        m_input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_input, &QSocketNotifier::activated, this, [this] {
            char bytes[512];
            const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (got > 0)
                m_typed.append(bytes, got);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN) ||
                m_typed.size() > longestAnswer)
                m_inputEnded = true;
            Q_EMIT inputArrived();
        });
    }
    m_input->setEnabled(true);
    qsizetype end = -1;
    while ((end = m_typed.indexOf('\n')) < 0 && !m_inputEnded)
        co_await qCoro(this, &Console::inputArrived);
    m_input->setEnabled(false);
    if (end < 0)
        co_return std::nullopt;
    const QByteArray line = m_typed.left(end);
    m_typed.remove(0, end + 1);
    co_return QString::fromLocal8Bit(line).trimmed();
}

} // namespace vantry::Cli

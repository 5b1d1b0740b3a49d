#include <platform/ProcessRunner.h>

#include <QFile>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace vantry::ProcessRunner {

namespace {

using Clock = std::chrono::steady_clock;

class Pipe
{
public:
    Pipe()
    {
        if (::pipe2(m_fds, O_CLOEXEC) != 0)
            m_fds[0] = m_fds[1] = -1;
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;

    [[nodiscard]] bool isValid() const { return m_fds[0] >= 0; }
    [[nodiscard]] int readEnd() const { return m_fds[0]; }
    [[nodiscard]] int writeEnd() const { return m_fds[1]; }
    void closeRead() { closeFd(m_fds[0]); }
    void closeWrite() { closeFd(m_fds[1]); }

private:
    static void closeFd(int &fd)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int m_fds[2];
};

// Reads whatever both pipes have until both are at their end or the deadline passes.
// Returns true when both ended.
bool drainUntil(Pipe &out, Pipe &err, QByteArray &outBytes, QByteArray &errBytes, Clock::time_point deadline)
{
    char buffer[64 * 1024];
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        QByteArray *sinks[2];
        for (auto [pipe, sink] : {std::pair{&out, &outBytes}, std::pair{&err, &errBytes}}) {
            if (pipe->readEnd() >= 0) {
                fds[count] = {pipe->readEnd(), POLLIN, 0};
                sinks[count++] = sink;
            }
        }
        if (count == 0)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        const int ready = ::poll(fds, count, int(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            return false;
        for (nfds_t i = 0; i < count && ready > 0; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, n);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                (fds[i].fd == out.readEnd() ? out : err).closeRead();
            }
        }
    }
}

bool hasExited(pid_t pid, int &status)
{
    const pid_t waited = ::waitpid(pid, &status, WNOHANG);
    return waited == pid;
}

int terminationStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return WTERMSIG(status);
    return status;
}

} // namespace

Expected<Result, RunError> run(const QString &path, const QStringList &arguments, double timeoutSeconds)
{
    const QByteArray program = QFile::encodeName(path);
    std::vector<QByteArray> storage{program};
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    Pipe out;
    Pipe err;
    auto launchFailed = [&](int code) {
        return unexpected(RunError{RunError::Kind::launchFailed, path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(code))});
    };
    if (!out.isValid() || !err.isValid())
        return launchFailed(errno);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.writeEnd(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.writeEnd(), STDERR_FILENO);
    // A group of its own, so that the end of a tool that overran takes its helpers with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return launchFailed(spawned);
    out.closeWrite();
    err.closeWrite();

    Result result;
    int status = 0;
    bool exited = false;
    // Drains both pipes and reaps the tool until both pipes ended and it exited, or the deadline.
    const auto settle = [&](Clock::time_point deadline) {
        for (;;) {
            const bool ended = drainUntil(out, err, result.stdoutBytes, result.stderrBytes,
                                          std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
            if (!exited)
                exited = hasExited(pid, status);
            if (ended && exited)
                return true;
            if (Clock::now() >= deadline)
                return false;
            if (ended) // the pipes are closed but the tool still runs
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };

    const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    if (settle(Clock::now() + limit)) {
        result.status = terminationStatus(status);
        return result;
    }

    // Past the limit: ask, then insist.
    ::kill(-pid, SIGTERM);
    if (!settle(Clock::now() + std::chrono::seconds(2)) && !exited) {
        ::kill(-pid, SIGKILL);
        settle(Clock::now() + std::chrono::seconds(2));
    }
    if (!exited) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return unexpected(RunError{RunError::Kind::timedOut,
                               path + QStringLiteral(" exceeded ") + QString::number(qint64(timeoutSeconds)) + QStringLiteral("s")});
}

} // namespace vantry::ProcessRunner

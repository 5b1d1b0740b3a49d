#include "HdiutilImage.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantry::Hdiutil {

namespace {

constexpr unsigned long long blockSize = 4096;

// Reads from the pipes until both close; false once `out` passes its limit.
bool drain(int outPipe, int errPipe, std::string &out, std::string &err, size_t outLimit)
{
    pollfd pipes[2] = {{outPipe, POLLIN, 0}, {errPipe, POLLIN, 0}};
    char buffer[16 * 1024];
    while (pipes[0].fd >= 0 || pipes[1].fd >= 0) {
        if (::poll(pipes, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            if (pipes[i].fd < 0 || pipes[i].revents == 0)
                continue;
            const ssize_t n = ::read(pipes[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                pipes[i].fd = -1;
                continue;
            }
            std::string &into = i == 0 ? out : err;
            // Words about a failure are kept short; a listing may not pass its limit.
            if (i == 1 && into.size() > 16 * 1024)
                continue;
            into.append(buffer, size_t(n));
            if (i == 0 && into.size() > outLimit)
                return false;
        }
    }
    return true;
}

} // namespace

std::string tool(const char *name)
{
    for (const char *folder : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
        const std::string path = std::string(folder) + name;
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

std::optional<Finished> run(const std::vector<std::string> &arguments, size_t outputLimit)
{
    if (arguments.empty() || arguments.front().empty())
        return std::nullopt;
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return std::nullopt;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return std::nullopt;
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int input = ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(outPipe[1], 1) < 0 ||
            ::dup2(errPipe[1], 2) < 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    Finished finished;
    const bool complete =
        child > 0 && drain(outPipe[0], errPipe[0], finished.out, finished.err, outputLimit);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    if (child < 0)
        return std::nullopt;
    if (!complete)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return std::nullopt;
    }
    if (!complete || !WIFEXITED(status))
        return std::nullopt;
    finished.status = WEXITSTATUS(status);
    return finished;
}

std::optional<Contents> readListing(const std::string &listing)
{
    Contents contents;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos)
            end = listing.size();
        const std::string line = listing.substr(start, end - start);
        start = end + 1;
        // "TYPE+MODE USER/GROUP SIZE DATE TIME NAME": a device's size is "MAJOR, MINOR". A name
        // with a line break in it makes a line of its own that either cannot be read (and the
        // whole listing is refused) or only adds to the sums.
        if (line.size() < 12 || line[10] != ' ' || std::strchr("-dlcbps", line[0]) == nullptr)
            return std::nullopt;
        ++contents.entries;
        if (std::strchr("cbps", line[0]) != nullptr) {
            contents.special = true;
            continue;
        }
        const size_t owner = line.find_first_not_of(' ', 11);
        const size_t sizeAt =
            owner == std::string::npos ? owner : line.find_first_not_of(' ', line.find(' ', owner));
        if (sizeAt == std::string::npos || line[sizeAt] < '0' || line[sizeAt] > '9')
            return std::nullopt;
        errno = 0;
        char *after = nullptr;
        const unsigned long long size = std::strtoull(line.c_str() + sizeAt, &after, 10);
        if (errno != 0 || *after != ' ' || size > (1ULL << 60))
            return std::nullopt;
        contents.bytes += (size + blockSize - 1) / blockSize * blockSize + blockSize;
        if (contents.bytes > (1ULL << 62))
            return std::nullopt;
    }
    return contents;
}

} // namespace vantry::Hdiutil

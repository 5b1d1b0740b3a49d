// Vantry's ditto: `ditto SRC DST` copies SRC to the new path DST faithfully: files (streamed),
// folders, symbolic links as links (never followed), permission bits, access and modification
// times to the nanosecond, and extended attributes.
//
// What it refuses, where the system tool would do something less safe for an installer:
// - DST must not exist (the system tool merges into an existing folder; a staged bundle must be
//   exactly the source, with nothing of an earlier copy mixed in). Its parent must exist.
// - Devices, fifos and sockets are not copied: a game bundle holds none, and opening a fifo
//   would hang the copy.
// - Set-user-ID and set-group-ID bits and file capabilities (security.capability) are dropped:
//   a copy made by a privileged user must not hand privileges to what an image contained.
// A failure stops the copy with a message and exit status 1; what was copied stays for the
// caller to remove. Paths stay bytes from end to end: a file name need not be valid text.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace vantry::DittoTool {

namespace {

constexpr int success = 0;
constexpr int failure = 1;
constexpr int usageError = 2;

bool complain(const std::string &path, int error)
{
    std::fprintf(stderr, "ditto: %s: %s\n", path.c_str(), std::strerror(error));
    return false;
}

class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    [[nodiscard]] int get() const { return m_fd; }
    /// Closes now, so that a failure to close (a delayed write error) is seen.
    [[nodiscard]] bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

mode_t permissionBits(const struct stat &status)
{
    return status.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID);
}

// Both times as the source had them before the copy read it.
struct TimePair {
    explicit TimePair(const struct stat &status) : times {status.st_atim, status.st_mtim} {}
    timespec times[2];
};

template <class Call> bool readSized(std::vector<char> &buffer, Call call)
{
    for (;;) {
        const ssize_t size = call(nullptr, 0);
        if (size < 0)
            return false;
        buffer.resize(size_t(size));
        if (size == 0)
            return true;
        const ssize_t read = call(buffer.data(), buffer.size());
        if (read >= 0) {
            buffer.resize(size_t(read));
            return true;
        }
        if (errno != ERANGE) // ERANGE: it grew between the two calls
            return false;
    }
}

// User attributes must arrive (they carry meaning, the quarantine mark among them); the others
// (ACLs, security labels) are copied where the destination accepts them.
bool copyAttributes(const std::string &source, const std::string &destination)
{
    std::vector<char> names;
    if (!readSized(names,
                   [&](char *to, size_t size) { return ::llistxattr(source.c_str(), to, size); }))
        return errno == ENOTSUP || complain(source, errno);
    std::vector<char> value;
    for (size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
        const char *name = names.data() + at;
        if (std::string_view(name) == "security.capability")
            continue;
        const bool required = std::string_view(name).starts_with("user.");
        if (!readSized(value, [&](char *to, size_t size) {
                return ::lgetxattr(source.c_str(), name, to, size);
            })) {
            if (required)
                return complain(source, errno);
            continue;
        }
        if (::lsetxattr(destination.c_str(), name, value.data(), value.size(), 0) != 0 && required)
            return complain(destination, errno);
    }
    return true;
}

bool copyEntry(const std::string &source, const std::string &destination,
               const struct stat &status);

bool copyFile(const std::string &source, const std::string &destination, const struct stat &status)
{
    // O_NONBLOCK: should a fifo have taken the file's place since lstat, opening it must not hang.
    Descriptor in(
        ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (in.get() < 0)
        return complain(source, errno);
    struct stat opened {
    };
    if (::fstat(in.get(), &opened) != 0)
        return complain(source, errno);
    if (!S_ISREG(opened.st_mode))
        return complain(source, EINVAL);
    // Private while it is written; the source's mode comes last.
    Descriptor out(
        ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return complain(destination, errno);

    static std::vector<char> buffer(256 * 1024);
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return complain(source, errno);
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t written = ::write(out.get(), buffer.data() + done, size_t(got - done));
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                return complain(destination, errno);
            done += written;
        }
    }
    // Attributes before the mode: a read-only mode would refuse them.
    if (!copyAttributes(source, destination))
        return false;
    if (::fchmod(out.get(), permissionBits(status)) != 0)
        return complain(destination, errno);
    const TimePair times(status);
    if (::futimens(out.get(), times.times) != 0)
        return complain(destination, errno);
    if (!out.close())
        return complain(destination, errno);
    return true;
}

bool copyLink(const std::string &source, const std::string &destination, const struct stat &status)
{
    std::string target(size_t(status.st_size > 0 ? status.st_size : PATH_MAX) + 1, '\0');
    for (;;) {
        const ssize_t length = ::readlink(source.c_str(), target.data(), target.size());
        if (length < 0)
            return complain(source, errno);
        if (size_t(length) < target.size()) {
            target.resize(size_t(length));
            break;
        }
        target.resize(target.size() * 2); // the link changed since lstat
    }
    if (::symlink(target.c_str(), destination.c_str()) != 0)
        return complain(destination, errno);
    if (!copyAttributes(source, destination))
        return false;
    const TimePair times(status);
    if (::utimensat(AT_FDCWD, destination.c_str(), times.times, AT_SYMLINK_NOFOLLOW) != 0)
        return complain(destination, errno);
    return true;
}

bool copyFolder(const std::string &source, const std::string &destination,
                const struct stat &status)
{
    if (::mkdir(destination.c_str(), 0700) != 0)
        return complain(destination, errno);
    std::vector<std::string> entries;
    {
        DIR *folder = ::opendir(source.c_str());
        if (!folder)
            return complain(source, errno);
        // Names first, then the copies: a deep tree must not hold one open folder per level.
        errno = 0;
        while (const dirent *entry = ::readdir(folder)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..")
                entries.emplace_back(name);
            errno = 0;
        }
        const int error = errno;
        ::closedir(folder);
        if (error != 0)
            return complain(source, error);
    }
    for (const std::string &name : entries) {
        const std::string from = source + '/' + name;
        struct stat entryStatus {
        };
        if (::lstat(from.c_str(), &entryStatus) != 0)
            return complain(from, errno);
        if (!copyEntry(from, destination + '/' + name, entryStatus))
            return false;
    }
    // The folder's own mode and times last: copying its contents changed its times, and a
    // read-only mode would have refused them.
    if (!copyAttributes(source, destination))
        return false;
    if (::chmod(destination.c_str(), permissionBits(status)) != 0)
        return complain(destination, errno);
    const TimePair times(status);
    if (::utimensat(AT_FDCWD, destination.c_str(), times.times, AT_SYMLINK_NOFOLLOW) != 0)
        return complain(destination, errno);
    return true;
}

bool copyEntry(const std::string &source, const std::string &destination, const struct stat &status)
{
    if (S_ISREG(status.st_mode))
        return copyFile(source, destination, status);
    if (S_ISDIR(status.st_mode))
        return copyFolder(source, destination, status);
    if (S_ISLNK(status.st_mode))
        return copyLink(source, destination, status);
    std::fprintf(stderr, "ditto: %s: not copied: devices, fifos and sockets are refused\n",
                 source.c_str());
    return false;
}

std::string parentOf(std::string path)
{
    while (path.size() > 1 && path.ends_with('/'))
        path.pop_back();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string canonical(const std::string &path)
{
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string result = resolved;
    std::free(resolved);
    return result;
}

} // namespace

int run(int argc, char **argv)
{
    if (argc != 3 || argv[1][0] == '\0' || argv[2][0] == '\0' || argv[1][0] == '-' ||
        argv[2][0] == '-') {
        std::fputs("usage: ditto SRC DST\n", stderr);
        return usageError;
    }
    const std::string source = argv[1];
    const std::string destination = argv[2];
    struct stat status {
    };
    if (::lstat(source.c_str(), &status) != 0) {
        complain(source, errno);
        return failure;
    }
    struct stat existing {
    };
    if (::lstat(destination.c_str(), &existing) == 0) {
        complain(destination, EEXIST);
        return failure;
    }
    if (S_ISDIR(status.st_mode)) {
        // A folder copied into itself would never end.
        const std::string from = canonical(source);
        const std::string into = canonical(parentOf(destination));
        if (!from.empty() && !into.empty() &&
            (into == from || into.starts_with(from.ends_with('/') ? from : from + '/'))) {
            std::fprintf(stderr, "ditto: %s: cannot copy a folder into itself\n",
                         destination.c_str());
            return failure;
        }
    }
    return copyEntry(source, destination, status) ? success : failure;
}

} // namespace vantry::DittoTool

int main(int argc, char **argv)
{
    return vantry::DittoTool::run(argc, argv);
}

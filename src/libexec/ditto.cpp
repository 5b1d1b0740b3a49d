// Vantry's ditto: `ditto SRC DST` copies SRC to the new path DST faithfully: files (streamed,
// holes kept as holes), folders, symbolic links as links (never followed), hard links within the
// tree as hard links, permission bits, access and modification times to the nanosecond, and
// extended attributes. The tree is walked by descriptor (DescriptorWalk.h), so a folder swapped
// for a link while the copy runs is never followed.
//
// What it refuses, where the system tool would do something less safe for an installer:
// - DST must not exist (the system tool merges into an existing folder; a staged bundle must be
//   exactly the source, with nothing of an earlier copy mixed in). Its parent must exist.
// - A copy that would not fit in the free space (or entries) of DST's file system: nothing is
//   written then.
// - Devices, fifos and sockets are not copied: a game bundle holds none, and opening a fifo
//   would hang the copy.
// - Set-user-ID and set-group-ID bits and file capabilities (security.capability) are dropped:
//   a copy made by a privileged user must not hand privileges to what an image contained.
// A failure stops the copy with a message and exit status 1; what was copied stays for the
// caller to remove. Paths stay bytes from end to end: a file name need not be valid text.

#include "DescriptorWalk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vantry::DittoTool {

namespace {

using DescriptorWalk::Entry;

constexpr int success = 0;
constexpr int failure = 1;
constexpr int usageError = 2;

bool complain(const std::string &path, int error)
{
    std::fprintf(stderr, "ditto: %s: %s\n", DescriptorWalk::printable(path).c_str(),
                 DescriptorWalk::describe(error));
    return false;
}

mode_t permissionBits(const struct stat &status)
{
    return status.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID);
}

// Both times as the source had them before the copy read it.
struct TimePair {
    explicit TimePair(const struct stat &status) : times {status.st_atim, status.st_mtim} {}
    timespec times[2];
};

// Hard links within the tree stay links: a file is known by its device and inode number.
using FileKey = std::pair<dev_t, ino_t>;

bool isLinked(const struct stat &status)
{
    return !S_ISDIR(status.st_mode) && status.st_nlink > 1;
}

#ifdef VANTRY_TOOL_TEST_HOOKS
// Test builds of the tool only: the copy fails with EIO on reaching the entry named
// VANTRY_TEST_FAIL_AT, with what came before it copied, as when a disk fails half-way.
bool failsHere(const char *name)
{
    const char *at = std::getenv("VANTRY_TEST_FAIL_AT");
    return at && std::strcmp(at, name) == 0;
}
#else
bool failsHere(const char *)
{
    return false;
}
#endif

bool refuseSpecial(const Entry &entry)
{
    if (S_ISREG(entry.status.st_mode) || S_ISDIR(entry.status.st_mode) ||
        S_ISLNK(entry.status.st_mode))
        return false;
    std::fprintf(stderr, "ditto: %s: not copied: devices, fifos and sockets are refused\n",
                 DescriptorWalk::printable(entry.path).c_str());
    return true;
}

// Calls `data(from, to)` for each stretch of the first `size` bytes of `fd` that holds data, so
// that holes stay holes. Fails with errno set.
template <class Data> bool forEachData(int fd, off_t size, Data data)
{
    for (off_t at = 0; at < size;) {
        const off_t from = ::lseek(fd, at, SEEK_DATA);
        if (from < 0 && errno == ENXIO)
            return true; // nothing but a hole up to the end
        if (from < 0)
            return false;
        const off_t to = ::lseek(fd, from, SEEK_HOLE);
        if (to < 0)
            return false;
        if (from >= size)
            return true;
        if (!data(from, std::min(to, size)))
            return false;
        at = to;
    }
    return true;
}

// User attributes must arrive (they carry meaning, the quarantine mark among them); the others
// (ACLs, security labels) are copied where the destination accepts them.
bool copyAttributes(const Entry &source, int destination, const std::string &destinationPath)
{
    std::vector<char> names;
    if (!DescriptorWalk::readSized(
            names, [&](char *to, size_t size) { return ::flistxattr(source.fd, to, size); }))
        return errno == ENOTSUP || complain(source.path, errno);
    std::vector<char> value;
    for (size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
        const char *name = names.data() + at;
        if (std::string_view(name) == "security.capability")
            continue;
        const bool required = std::string_view(name).starts_with("user.");
        if (!DescriptorWalk::readSized(value, [&](char *to, size_t size) {
                return ::fgetxattr(source.fd, name, to, size);
            })) {
            if (required)
                return complain(source.path, errno);
            continue;
        }
        if (::fsetxattr(destination, name, value.data(), value.size(), 0) != 0 && required)
            return complain(destinationPath, errno);
    }
    return true;
}

// The first walk: what the copy will take on the target, in bytes and in entries. A file takes
// its data rounded up to the target's blocks (holes stay holes, a hard link counts once); a
// folder or a link, one block.
struct SpaceCounter {
    uint64_t block;
    uint64_t bytes = 0;
    uint64_t entries = 0;
    std::set<FileKey> counted {};

    static bool failed(const std::string &path, int error) { return complain(path, error); }
    bool visit(const Entry &entry)
    {
        if (refuseSpecial(entry))
            return false;
        if (isLinked(entry.status) &&
            !counted.emplace(entry.status.st_dev, entry.status.st_ino).second)
            return true;
        ++entries;
        if (!S_ISREG(entry.status.st_mode)) {
            bytes += block;
            return true;
        }
        return forEachData(entry.fd, entry.status.st_size,
                           [&](off_t from, off_t to) {
                               bytes += (uint64_t(to - from) + block - 1) / block * block;
                               return true;
                           }) ||
               complain(entry.path, errno);
    }
    static bool leave(const Entry &) { return true; }
};

bool copyData(const Entry &source, int out, const std::string &destinationPath)
{
    static std::vector<char> buffer(256 * 1024);
    const std::string *failedAt = &source.path;
    const bool copied = forEachData(source.fd, source.status.st_size, [&](off_t at, off_t end) {
        while (at < end) {
            const ssize_t got =
                ::pread(source.fd, buffer.data(),
                        size_t(std::min<off_t>(end - at, off_t(buffer.size()))), at);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got == 0; // 0: it shrank since the look
            for (ssize_t done = 0; done < got;) {
                const ssize_t written =
                    ::pwrite(out, buffer.data() + done, size_t(got - done), at + done);
                if (written < 0 && errno != EINTR) {
                    failedAt = &destinationPath;
                    return false;
                }
                done += std::max<ssize_t>(written, 0);
            }
            at += got;
        }
        return true;
    });
    if (!copied)
        return complain(*failedAt, errno);
    // The size last: a file that ends in a hole has no data to write there.
    return ::ftruncate(out, source.status.st_size) == 0 || complain(destinationPath, errno);
}

// The second walk: the copy, each entry made by name in the copy of its folder.
class Copier
{
public:
    explicit Copier(const std::string &destination) : m_destination(destination) {}

    static bool failed(const std::string &path, int error) { return complain(path, error); }

    bool visit(const Entry &entry)
    {
        const int folder = m_folders.empty() ? AT_FDCWD : m_folders.back().second.get();
        const char *name = m_folders.empty() ? m_destination.c_str() : entry.name;
        const std::string path =
            m_folders.empty() ? m_destination : m_folders.back().first + '/' + entry.name;
        if (refuseSpecial(entry))
            return false;
        if (failsHere(entry.name))
            return complain(path, EIO);
        if (S_ISDIR(entry.status.st_mode)) {
            if (::mkdirat(folder, name, 0700) != 0)
                return complain(path, errno);
            UniqueFd made(
                ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!made.isValid())
                return complain(path, errno);
            m_folders.emplace_back(path, std::move(made));
            return true;
        }
        if (!isLinked(entry.status))
            return copyOne(entry, folder, name, path);
        const auto [first, isFirst] =
            m_linked.try_emplace({entry.status.st_dev, entry.status.st_ino}, path);
        if (isFirst)
            return copyOne(entry, folder, name, path);
        return ::linkat(AT_FDCWD, first->second.c_str(), folder, name, 0) == 0 ||
               complain(path, errno);
    }

    // The folder's own mode and times last: copying its contents changed its times, and a
    // read-only mode would have refused them.
    bool leave(const Entry &entry)
    {
        const auto &[path, made] = m_folders.back();
        if (!finish(entry, made.get(), path))
            return false;
        m_folders.pop_back();
        return true;
    }

private:
    // Attributes, then the mode (a read-only one would refuse them), then the times.
    static bool finish(const Entry &source, int made, const std::string &path)
    {
        if (!copyAttributes(source, made, path))
            return false;
        if (::fchmod(made, permissionBits(source.status)) != 0)
            return complain(path, errno);
        const TimePair times(source.status);
        return ::futimens(made, times.times) == 0 || complain(path, errno);
    }

    static bool copyOne(const Entry &entry, int folder, const char *name, const std::string &path)
    {
        return S_ISREG(entry.status.st_mode) ? copyFile(entry, folder, name, path)
                                             : copyLink(entry, folder, name, path);
    }

    static bool copyFile(const Entry &source, int folder, const char *name, const std::string &path)
    {
        // Private while it is written; the source's mode comes last.
        UniqueFd out(
            ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.isValid())
            return complain(path, errno);
        return copyData(source, out.get(), path) && finish(source, out.get(), path) &&
               (out.close() || complain(path, errno));
    }

    // A link carries no user attributes on Linux, and the l*xattr calls have no form relative to
    // a folder descriptor: its attributes are not copied.
    static bool copyLink(const Entry &source, int folder, const char *name, const std::string &path)
    {
        std::string target(size_t(source.status.st_size > 0 ? source.status.st_size : PATH_MAX) + 1,
                           '\0');
        for (;;) {
            const ssize_t length =
                ::readlinkat(source.folder, source.name, target.data(), target.size());
            if (length < 0)
                return complain(source.path, errno);
            if (size_t(length) < target.size()) {
                target.resize(size_t(length));
                break;
            }
            target.resize(target.size() * 2); // the link changed since the look
        }
        if (::symlinkat(target.c_str(), folder, name) != 0)
            return complain(path, errno);
        const TimePair times(source.status);
        if (::utimensat(folder, name, times.times, AT_SYMLINK_NOFOLLOW) != 0)
            return complain(path, errno);
        return true;
    }

    const std::string m_destination;
    // The copies of the folders being walked, innermost last.
    std::vector<std::pair<std::string, UniqueFd>> m_folders;
    // Where the first copy of each hard-linked file went.
    std::map<FileKey, std::string> m_linked;
};

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
                         DescriptorWalk::printable(destination).c_str());
            return failure;
        }
    }
    // Refused before the first byte is written when the copy would not fit.
    struct statvfs target {
    };
    if (::statvfs(parentOf(destination).c_str(), &target) != 0) {
        complain(destination, errno);
        return failure;
    }
    DescriptorWalk::allowDeepTrees();
    SpaceCounter needed {std::max<uint64_t>(target.f_frsize, 1)};
    if (!DescriptorWalk::walk(AT_FDCWD, source.c_str(), source, needed))
        return failure;
    const uint64_t available = uint64_t(target.f_bavail) * target.f_frsize;
    if (needed.bytes > available || (target.f_files != 0 && needed.entries > target.f_favail)) {
        std::fprintf(stderr,
                     "ditto: %s: not enough free space: the copy needs %llu bytes and %llu "
                     "entries, %llu bytes and %llu entries are free\n",
                     DescriptorWalk::printable(destination).c_str(),
                     static_cast<unsigned long long>(needed.bytes),
                     static_cast<unsigned long long>(needed.entries),
                     static_cast<unsigned long long>(available),
                     static_cast<unsigned long long>(target.f_favail));
        return failure;
    }
    Copier copier(destination);
    return DescriptorWalk::walk(AT_FDCWD, source.c_str(), source, copier) ? success : failure;
}

} // namespace vantry::DittoTool

int main(int argc, char **argv)
{
    return vantry::DittoTool::run(argc, argv);
}

#pragma once

// The tree walk ditto and xattr share. Every entry is reached through the open descriptor of its
// folder: it is looked at without following a link, then opened with O_NOFOLLOW and checked to be
// the very object looked at. A folder swapped for a link between the look and the opening is
// therefore never followed, wherever in the tree it sits.

#include <core/UniqueFd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vantry::DescriptorWalk {


/// `bytes` with its control bytes (below 0x20, and 0x7f) as \xNN, so that printing a name or a
/// path cannot drive the terminal; every other byte stays, a name need not be text.
inline std::string printable(std::string_view bytes)
{
    std::string result;
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        if (code >= 0x20 && code != 0x7f) {
            result += byte;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
        result += escaped;
    }
    return result;
}

/// Fills `buffer` from a call that answers its size when given none (flistxattr, fgetxattr and
/// their kin). Gives up with errno set, ERANGE when the size keeps changing.
template <class Call> [[nodiscard]] bool readSized(std::vector<char> &buffer, Call call)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
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
    errno = ERANGE;
    return false;
}

/// A walk holds one descriptor per level of the tree: allow as many as this process may have.
inline void allowDeepTrees()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

/// The error a walk reports for an entry that is no longer what was looked at.
constexpr int changedError = -1;

inline const char *describe(int error)
{
    return error == changedError ? "changed while it was being read" : std::strerror(error);
}

/// One entry of the walk, as a visitor sees it.
struct Entry {
    int folder;                ///< the open folder that holds it; AT_FDCWD for the root
    const char *name;          ///< its name in `folder`; the root's path as given for the root
    const std::string &path;   ///< for messages
    const struct stat &status; ///< its own status, a link not followed
    int fd; ///< a regular file or a folder opened read-only; -1 for anything else
};

#ifdef VANTRY_TOOL_TEST_HOOKS
// Test builds of the tools only: swaps the entry NAME with its sibling OTHER (VANTRY_TEST_SWAP=
// "NAME/OTHER") each time it is called for NAME. The walk calls it after the look and again after
// the opening, so the two are swapped exactly in between, as when a racing swap wins.
inline void swapHook(int folder, const char *name)
{
    const int saved = errno;
    const char *swap = std::getenv("VANTRY_TEST_SWAP");
    const char *slash = swap ? std::strchr(swap, '/') : nullptr;
    if (slash && std::string_view(swap, size_t(slash - swap)) == name)
        ::renameat2(folder, name, folder, slash + 1, RENAME_EXCHANGE);
    errno = saved;
}
#else
inline void swapHook(int, const char *)
{
}
#endif

/// The names in the open folder `folder`, read before anything below is visited.
[[nodiscard]] inline int listNames(int folder, std::vector<std::string> &names)
{
    DIR *stream = ::fdopendir(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!stream)
        return errno;
    errno = 0;
    while (const dirent *entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
        errno = 0;
    }
    const int error = errno;
    ::closedir(stream);
    return error;
}

/// Walks `name` in `folder` and, for a real folder, everything below it, depth first. The visitor
/// answers `visit(entry)` for each entry, `leave(entry)` for a folder after its contents, and
/// `failed(path, error)` for an entry that cannot be walked; each returns whether to go on.
template <class Visitor>
bool walk(int folder, const char *name, const std::string &path, Visitor &visitor)
{
    struct stat status {
    };
    if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return visitor.failed(path, errno);
    swapHook(folder, name);
    const bool isFolder = S_ISDIR(status.st_mode);
    // O_NONBLOCK: should a fifo have taken the file's place since the look, opening must not hang.
    UniqueFd opened(isFolder || S_ISREG(status.st_mode)
                          ? ::openat(folder, name,
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                         (isFolder ? O_DIRECTORY : 0))
                          : -1);
    swapHook(folder, name);
    if (opened.isValid()) {
        const struct stat looked = status;
        if (::fstat(opened.get(), &status) != 0)
            return visitor.failed(path, errno);
        if (status.st_dev != looked.st_dev || status.st_ino != looked.st_ino)
            return visitor.failed(path, changedError);
    } else if (isFolder || S_ISREG(status.st_mode)) {
        return visitor.failed(path, errno == ELOOP || errno == ENOTDIR ? changedError : errno);
    }
    const Entry entry {folder, name, path, status, opened.get()};
    if (!visitor.visit(entry))
        return false;
    if (!isFolder)
        return true;
    std::vector<std::string> names;
    if (const int error = listNames(opened.get(), names);
        error != 0 && !visitor.failed(path, error))
        return false;
    const std::string prefix = path.ends_with('/') ? path : path + '/';
    for (const std::string &child : names) {
        if (!walk(opened.get(), child.c_str(), prefix + child, visitor))
            return false;
    }
    return visitor.leave(entry);
}

} // namespace vantry::DescriptorWalk

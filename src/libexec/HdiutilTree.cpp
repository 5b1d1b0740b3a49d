#include "HdiutilTree.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace vantry::Hdiutil {

namespace {

constexpr mode_t writeBits = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t setIdBits = S_ISUID | S_ISGID;

} // namespace

bool namesIn(int folder, std::vector<std::string> &names)
{
    const int reader = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *stream = reader < 0 ? nullptr : ::fdopendir(reader);
    if (!stream) {
        if (reader >= 0)
            ::close(reader);
        return false;
    }
    errno = 0;
    while (const dirent *entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    const bool complete = errno == 0;
    ::closedir(stream);
    return complete;
}

namespace {

// A descriptor that only names the entry (O_PATH) cannot take fchmod; its /proc link reaches the
// very inode it names.
bool changeMode(int pathDescriptor, mode_t mode)
{
    const std::string link = "/proc/self/fd/" + std::to_string(pathDescriptor);
    return ::chmod(link.c_str(), mode) == 0;
}

bool sanitizeEntries(int folder, bool top);

bool sanitizeEntry(int parent, const char *name, bool top)
{
    struct stat status {
    };
    if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    const uid_t user = ::geteuid();
    const gid_t group = ::getegid();
    if (S_ISLNK(status.st_mode))
        return (status.st_uid == user && status.st_gid == group) ||
               ::fchownat(parent, name, user, group, AT_SYMLINK_NOFOLLOW) == 0;
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
        return false;
    const UniqueFd item(::openat(parent, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {
    };
    if (!item.isValid() || ::fstat(item.get(), &opened) != 0 || opened.st_ino != status.st_ino ||
        opened.st_dev != status.st_dev)
        return false;
    // A change of owner drops the set-ID bits and file capabilities with it.
    if ((status.st_uid != user || status.st_gid != group) &&
        ::fchownat(item.get(), "", user, group, AT_EMPTY_PATH) != 0)
        return false;
    if (S_ISDIR(status.st_mode)) {
        const UniqueFd folder = openFolder(parent, name);
        if (!folder.isValid() || !sanitizeEntries(folder.get(), false))
            return false;
    }
    mode_t mode = status.st_mode & 07777 & ~(setIdBits | writeBits);
    if (top && S_ISDIR(status.st_mode))
        mode |= S_IWUSR;
    return changeMode(item.get(), mode);
}

bool sanitizeEntries(int folder, bool top)
{
    std::vector<std::string> names;
    if (!namesIn(folder, names))
        return false;
    for (const std::string &name : names) {
        if (!sanitizeEntry(folder, name.c_str(), top))
            return false;
    }
    return true;
}

int privilegedAttributeFound(const char *path, const struct stat *, int, FTW *)
{
    std::vector<char> names(64 * 1024);
    const ssize_t size = ::llistxattr(path, names.data(), names.size());
    if (size < 0)
        return errno == ENOTSUP ? 0 : 1;
    for (ssize_t at = 0; at < size; at += ssize_t(std::strlen(names.data() + at)) + 1) {
        if (std::strncmp(names.data() + at, "user.", 5) != 0)
            return 1;
    }
    return 0;
}

} // namespace

UniqueFd openFolder(int parent, const char *name)
{
    struct stat parentStatus {
    };
    struct stat status {
    };
    const UniqueFd path(::openat(parent, name, O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
    if (!path.isValid() || ::fstat(parent, &parentStatus) != 0 || ::fstat(path.get(), &status) != 0 ||
        status.st_dev != parentStatus.st_dev)
        return UniqueFd();
    if ((status.st_mode & S_IRWXU) != S_IRWXU &&
        !changeMode(path.get(), (status.st_mode & 07777) | S_IRWXU))
        return UniqueFd();
    return UniqueFd(::openat(path.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool sanitizeTree(int root)
{
    return sanitizeEntries(root, true);
}

bool sealEntry(int parent, const char *name)
{
    struct stat status {
    };
    const UniqueFd item(::openat(parent, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item.isValid() || ::fstat(item.get(), &status) != 0)
        return false;
    return S_ISLNK(status.st_mode) || changeMode(item.get(), status.st_mode & 07777 & ~writeBits);
}

bool emptyFolder(int folder, const char *keep)
{
    std::vector<std::string> names;
    if (!namesIn(folder, names))
        return false;
    bool removed = true;
    for (const std::string &name : names) {
        if (keep && name == keep)
            continue;
        struct stat status {
        };
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            removed = false;
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            const UniqueFd inner = openFolder(folder, name.c_str());
            removed = inner.isValid() && emptyFolder(inner.get()) &&
                      ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 && removed;
        } else {
            removed = ::unlinkat(folder, name.c_str(), 0) == 0 && removed;
        }
    }
    return removed;
}

bool holdsPrivilegedAttributes(const std::string &root)
{
    return ::nftw(root.c_str(), privilegedAttributeFound, 16, FTW_PHYS | FTW_MOUNT) != 0;
}

} // namespace vantry::Hdiutil

// Vantry's xattr: the two command lines the install pipeline runs, over Linux user attributes
// (the attribute N of the command line is `user.N` on disk).
//
//   xattr -p NAME PATH    print the value and a newline; exit 1 when PATH does not carry it
//   xattr -rd NAME PATH   remove it from PATH and everything below; symbolic links are never
//                         followed, and an entry without the attribute is no error
//
// Paths stay bytes from end to end: a file name need not be valid text.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

namespace vantry::XattrTool {

namespace {

constexpr int success = 0;
constexpr int failure = 1;
constexpr int usageError = 2;

void complain(const std::string &path, int error)
{
    if (error == ENOENT)
        std::fprintf(stderr, "xattr: No such file: %s\n", path.c_str());
    else
        std::fprintf(stderr, "xattr: %s: %s\n", path.c_str(), std::strerror(error));
}

bool isText(const std::string &value)
{
    // Text (UTF-8 without control characters) prints as it is; anything else is shown in hex.
    for (size_t i = 0; i < value.size();) {
        const auto byte = static_cast<unsigned char>(value[i]);
        if (byte < 0x80) {
            if (byte < 0x20 && byte != '\t' && byte != '\n')
                return false;
            ++i;
            continue;
        }
        const size_t length = byte >= 0xF0 && byte < 0xF5   ? 4
                              : byte >= 0xE0                ? 3
                              : byte >= 0xC2 && byte < 0xE0 ? 2
                                                            : 0;
        if (length == 0 || i + length > value.size())
            return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(value[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

int print(const std::string &macName, const std::string &path)
{
    const std::string name = "user." + macName;
    std::string value;
    for (;;) {
        const ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (size >= 0) {
            value.resize(size_t(size));
            const ssize_t read =
                ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
            if (read >= 0) {
                value.resize(size_t(read));
                break;
            }
        }
        if (errno == ERANGE)
            continue; // it grew between the two calls
        // A file system without attributes carries none.
        if (errno == ENODATA || errno == ENOTSUP) {
            std::fprintf(stderr, "xattr: %s: No such xattr: %s\n", path.c_str(), macName.c_str());
            return failure;
        }
        complain(path, errno);
        return failure;
    }
    if (isText(value)) {
        std::fwrite(value.data(), 1, value.size(), stdout);
        std::fputc('\n', stdout);
    } else {
        for (size_t i = 0; i < value.size(); ++i)
            std::printf("%02X%c", static_cast<unsigned char>(value[i]),
                        i % 16 == 15 || i + 1 == value.size() ? '\n' : ' ');
    }
    return std::fflush(stdout) == 0 ? success : failure;
}

bool carries(const std::string &path, const std::string &name, bool &ok)
{
    std::vector<char> names;
    for (;;) {
        const ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
        if (size >= 0) {
            names.resize(size_t(size));
            const ssize_t listed =
                size == 0 ? 0 : ::llistxattr(path.c_str(), names.data(), names.size());
            if (listed >= 0) {
                names.resize(size_t(listed));
                break;
            }
        }
        if (errno == ERANGE)
            continue;
        if (errno == ENOTSUP)
            return false;
        complain(path, errno);
        ok = false;
        return false;
    }
    for (size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
        if (name == names.data() + at)
            return true;
    }
    return false;
}

// Removes the attribute from `path` and, for a real folder, everything below it; keeps going past
// a failure so that one stubborn file does not hide the others, and reports each.
void removeBelow(const std::string &path, const std::string &name, bool &ok)
{
    struct stat status {
    };
    if (::lstat(path.c_str(), &status) != 0) {
        complain(path, errno);
        ok = false;
        return;
    }
    if (carries(path, name, ok) && ::lremovexattr(path.c_str(), name.c_str()) != 0 &&
        errno != ENODATA) {
        complain(path, errno);
        ok = false;
    }
    if (!S_ISDIR(status.st_mode))
        return;
    DIR *folder = ::opendir(path.c_str());
    if (!folder) {
        complain(path, errno);
        ok = false;
        return;
    }
    // Names are gathered first so that a deep tree does not hold one descriptor per level.
    std::vector<std::string> entries;
    errno = 0;
    while (const dirent *entry = ::readdir(folder)) {
        const std::string_view entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            entries.emplace_back(entryName);
        errno = 0;
    }
    if (errno != 0) {
        complain(path, errno);
        ok = false;
    }
    ::closedir(folder);
    const std::string prefix = path.ends_with('/') ? path : path + '/';
    for (const std::string &entry : entries)
        removeBelow(prefix + entry, name, ok);
}

int usage()
{
    std::fputs("usage: xattr -p NAME PATH\n       xattr -rd NAME PATH\n", stderr);
    return usageError;
}

} // namespace

int run(int argc, char **argv)
{
    if (argc != 4 || argv[2][0] == '\0' || argv[3][0] == '\0')
        return usage();
    const std::string_view option = argv[1];
    if (option == "-p")
        return print(argv[2], argv[3]);
    if (option == "-rd") {
        bool ok = true;
        removeBelow(argv[3], "user." + std::string(argv[2]), ok);
        return ok ? success : failure;
    }
    return usage();
}

} // namespace vantry::XattrTool

int main(int argc, char **argv)
{
    return vantry::XattrTool::run(argc, argv);
}

// Vantry's xattr: the two command lines the install pipeline runs, over Linux user attributes
// (the attribute N of the command line is `user.N` on disk).
//
//   xattr -p NAME PATH    print the value and a newline; exit 1 when PATH does not carry it
//   xattr -rd NAME PATH   remove it from PATH and everything below; symbolic links are never
//                         followed, and an entry without the attribute is no error
//
// Paths stay bytes from end to end: a file name need not be valid text. Control bytes of names
// and paths are escaped when printed, and a value that is not plain text prints in hex.

#include "DescriptorWalk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/limits.h>
#include <string>
#include <string_view>
#include <sys/xattr.h>
#include <vector>

namespace vantry::XattrTool {

namespace {

using DescriptorWalk::printable;

constexpr int success = 0;
constexpr int failure = 1;
constexpr int usageError = 2;

void complain(const std::string &path, int error)
{
    if (error == ENOENT)
        std::fprintf(stderr, "xattr: No such file: %s\n", printable(path).c_str());
    else
        std::fprintf(stderr, "xattr: %s: %s\n", printable(path).c_str(),
                     DescriptorWalk::describe(error));
}

bool isText(const std::vector<char> &value)
{
    // Text (UTF-8 without control characters, C1 ones included) prints as it is; anything else
    // is shown in hex, so that no value can drive the terminal.
    for (size_t i = 0; i < value.size();) {
        const auto byte = static_cast<unsigned char>(value[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7f)
                return false;
            ++i;
            continue;
        }
        const size_t length = byte >= 0xF0 && byte < 0xF5   ? 4
                              : byte >= 0xE0                ? 3
                              : byte >= 0xC2 && byte < 0xE0 ? 2
                                                            : 0;
        if (length == 0 || i + length > value.size() ||
            (byte == 0xC2 && static_cast<unsigned char>(value[i + 1]) < 0xA0))
            return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(value[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += length;
    }
    return true;
}

int print(const std::string &macName, const std::string &name, const std::string &path)
{
    std::vector<char> value;
    if (!DescriptorWalk::readSized(value, [&](char *to, size_t size) {
            return ::lgetxattr(path.c_str(), name.c_str(), to, size);
        })) {
        // A file system without attributes carries none.
        if (errno == ENODATA || errno == ENOTSUP)
            std::fprintf(stderr, "xattr: %s: No such xattr: %s\n", printable(path).c_str(),
                         printable(macName).c_str());
        else
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

// Removes the attribute from every entry of the walk; keeps going past a failure so that one
// stubborn file does not hide the others, and reports each.
struct Remover {
    const std::string &name;
    bool ok = true;

    bool failed(const std::string &path, int error)
    {
        complain(path, error);
        ok = false;
        return true;
    }
    // Only regular files and folders carry user attributes, and the walk opened exactly those.
    // Asking first spares an immutable file that does not carry it a needless refusal.
    bool visit(const DescriptorWalk::Entry &entry)
    {
        if (entry.fd < 0)
            return true;
        if (::fgetxattr(entry.fd, name.c_str(), nullptr, 0) < 0) {
            if (errno != ENODATA && errno != ENOTSUP)
                failed(entry.path, errno);
        } else if (::fremovexattr(entry.fd, name.c_str()) != 0 && errno != ENODATA) {
            failed(entry.path, errno);
        }
        return true;
    }
    static bool leave(const DescriptorWalk::Entry &) { return true; }
};

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
    if (option != "-p" && option != "-rd")
        return usage();
    const std::string name = "user." + std::string(argv[2]);
    if (name.size() > XATTR_NAME_MAX) {
        std::fprintf(stderr, "xattr: %s: attribute name too long\n", printable(argv[2]).c_str());
        return failure;
    }
    // A trailing slash would have the system follow a link given as the path.
    std::string path = argv[3];
    while (path.size() > 1 && path.ends_with('/'))
        path.pop_back();
    if (option == "-p")
        return print(argv[2], name, path);
    DescriptorWalk::allowDeepTrees();
    Remover remover {name};
    DescriptorWalk::walk(AT_FDCWD, path.c_str(), path, remover);
    return remover.ok ? success : failure;
}

} // namespace vantry::XattrTool

int main(int argc, char **argv)
{
    return vantry::XattrTool::run(argc, argv);
}

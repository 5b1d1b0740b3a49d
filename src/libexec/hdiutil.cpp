// Vantry's hdiutil: attaches a release image (a SquashFS file) read-only at a given folder and
// detaches it again, with the command lines, property-list answer and exit codes the install
// pipeline expects.
//
//   hdiutil attach [-nobrowse] [-readonly] [-plist] -mountpoint DIR IMAGE
//   hdiutil detach [-force] TARGET
//
// Where FUSE works the image is mounted with squashfuse (read-only, nosuid, nodev); otherwise it
// is extracted with unsquashfs and the tree made read-only. VANTRY_HDIUTIL_MODE=extract chooses
// extraction. The device entry reported is the mount point itself: nothing else names a FUSE
// mount. Either way an image is refused when it holds a device, FIFO or socket (a game never
// does); a mounted one also when it carries extended attributes outside `user.`.
//
// Extraction brings nothing privileged to the disk: the tree is unpacked into a private folder
// inside DIR, only `user.` attributes with it, then made this user's, without set-ID or write
// bits, and only then moved up into DIR, whose own mode and owner the image never touches. It is
// refused up front when the unpacked tree could outgrow the free space. A marker in DIR, bound to
// that very folder, lets a detach remove what was extracted, by descriptor. Paths stay bytes end
// to end: a file name need not be valid text.

#include "HdiutilImage.h"
#include "HdiutilTree.h"

#include <platform/PropertyList.h>
#include <platform/VolumeProbe.h>

#include <QFile>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace vantry;
using namespace vantry::Hdiutil;

namespace {

constexpr char extractedMarker[] = ".vantry-extracted";

int fail(const char *verb, const std::string &reason, int status = 1)
{
    std::fprintf(stderr, "hdiutil: %s failed - %s\n", verb, reason.c_str());
    return status;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: hdiutil attach [-nobrowse] [-readonly] [-plist] -mountpoint DIR IMAGE\n"
                 "       hdiutil detach [-force] TARGET\n");
    return 2;
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string canonical(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string toolWords(const std::optional<Finished> &finished, const char *otherwise)
{
    std::string words = finished ? finished->err : std::string();
    while (!words.empty() && std::strchr(" \t\n", words.back()))
        words.pop_back();
    return words.empty() ? otherwise : words;
}

// The FUSE mount points in this process's view, unescaped, read with the launcher's own reader
// of the mount table.
std::vector<std::string> fuseMountPoints()
{
    std::vector<std::string> points;
    QByteArray table;
    const UniqueFd mountinfo(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    char buffer[16 * 1024];
    ssize_t n = 0;
    while (mountinfo.isValid() && (n = ::read(mountinfo.get(), buffer, sizeof buffer)) > 0)
        table.append(buffer, n);
    for (const QByteArray &line : table.split('\n')) {
        const auto mount = VolumeProbe::parseMountLine(line);
        if (mount && VolumeProbe::isFuse(mount->fsType))
            points.push_back(QFile::encodeName(mount->mountPoint).toStdString());
    }
    return points;
}

bool isFuseMount(const std::string &path)
{
    for (const std::string &point : fuseMountPoints()) {
        if (point == path)
            return true;
    }
    return false;
}

// What the marker of an extraction into `folder` says: only that folder, by device and inode.
std::string markerText(const struct stat &folder)
{
    return "vantry-extracted " + std::to_string(folder.st_dev) + ' ' +
           std::to_string(folder.st_ino) + '\n';
}

// The folder holds a marker that an attach by this user wrote for this very folder.
bool markedByAttach(int folder)
{
    struct stat folderStatus {
    };
    struct stat markerStatus {
    };
    const UniqueFd marker(::openat(folder, extractedMarker,
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!marker.isValid() || ::fstat(folder, &folderStatus) != 0 ||
        ::fstat(marker.get(), &markerStatus) != 0 || !S_ISREG(markerStatus.st_mode) ||
        markerStatus.st_nlink != 1 || markerStatus.st_uid != ::geteuid() ||
        folderStatus.st_uid != ::geteuid())
        return false;
    const std::string expected = markerText(folderStatus);
    std::string text(expected.size() + 1, '\0');
    const ssize_t n = ::read(marker.get(), text.data(), text.size());
    return n == ssize_t(expected.size()) && text.compare(0, expected.size(), expected) == 0;
}

bool writeMarker(int folder)
{
    struct stat status {
    };
    if (::fstat(folder, &status) != 0)
        return false;
    const std::string text = markerText(status);
    const UniqueFd marker(::openat(folder, extractedMarker,
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400));
    return marker.isValid() &&
           ::write(marker.get(), text.data(), text.size()) == ssize_t(text.size());
}

// Unpacks `image` into the empty folder `target` (at `targetPath`); an empty answer means done.
std::string extract(int target, const std::string &targetPath, const std::string &image,
                    const Contents &contents)
{
    struct statvfs space {
    };
    if (::fstatvfs(target, &space) != 0)
        return "the free space of the mount point cannot be told";
    const unsigned long long available = (unsigned long long)space.f_bavail * space.f_frsize;
    if (contents.bytes > available || (space.f_files != 0 && contents.entries > space.f_favail))
        return "the image could outgrow the free space at the mount point";

    // Marked first: should this run be cut short, a detach still knows what to remove.
    if (!writeMarker(target))
        return "the extracted image could not be marked";
    unsigned char random[8];
    std::string stage = ".vantry-stage-";
    if (::getrandom(random, sizeof random, 0) != ssize_t(sizeof random))
        return "no random name for the private folder";
    for (const unsigned char byte : random)
        stage += "0123456789abcdef"[byte >> 4], stage += "0123456789abcdef"[byte & 15];
    if (::mkdirat(target, stage.c_str(), S_IRWXU) != 0)
        return "the private folder could not be made";
    const auto unpacked = run({tool("unsquashfs"), "-user-xattrs", "-q", "-n", "-d",
                               targetPath + '/' + stage + "/root", image});
    if (!unpacked || unpacked->status != 0)
        return toolWords(unpacked, "the image could not be read");

    const UniqueFd staged = openFolder(target, stage.c_str());
    const UniqueFd root = staged.isValid() ? openFolder(staged.get(), "root") : UniqueFd();
    std::vector<std::string> names;
    if (!root.isValid() || !sanitizeTree(root.get()) || !namesIn(root.get(), names))
        return "the extracted image could not be made read-only";
    for (const std::string &name : names) {
        // An image may hold a file of the marker's name: ours is the one that counts.
        if (name == extractedMarker)
            continue;
        if (::renameat2(root.get(), name.c_str(), target, name.c_str(), RENAME_NOREPLACE) != 0 ||
            !sealEntry(target, name.c_str()))
            return "the extracted image could not be moved into place";
    }
    if (!emptyFolder(staged.get()) || ::unlinkat(target, stage.c_str(), AT_REMOVEDIR) != 0)
        return "the private folder could not be removed";
    return {};
}

int attach(const std::vector<std::string> &arguments)
{
    std::string mountPoint;
    std::string image;
    bool plist = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        if (argument == "-nobrowse" || argument == "-readonly")
            continue;
        if (argument == "-plist")
            plist = true;
        else if (argument == "-mountpoint" && i + 1 < arguments.size())
            mountPoint = arguments[++i];
        else if (argument.starts_with('-') || !image.empty() || argument.empty())
            return usage();
        else
            image = argument;
    }
    if (mountPoint.empty() || image.empty())
        return usage();

    // Listed, mounted and extracted through one descriptor, so that it is one file throughout;
    // the tools reach it as /proc/self/fd/N, so it is left open across their exec.
    const UniqueFd imageFile(::open(image.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
    struct stat imageStatus {
    };
    if (!imageFile.isValid() || ::fstat(imageFile.get(), &imageStatus) != 0 ||
        !S_ISREG(imageStatus.st_mode))
        return fail("attach", "No such file or directory");
    char magic[4] = {};
    if (::pread(imageFile.get(), magic, sizeof magic, 0) != 4 || std::memcmp(magic, "hsqs", 4) != 0)
        return fail("attach", "image not recognized");
    const std::string imagePath = "/proc/self/fd/" + std::to_string(imageFile.get());

    mountPoint = withoutTrailingSlashes(mountPoint);
    const UniqueFd target(
        ::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> present;
    if (!target.isValid() || !namesIn(target.get(), present) || !present.empty())
        return fail("attach", "the mount point is not an empty folder");
    mountPoint = canonical(mountPoint);
    const QString reported = QFile::decodeName(QByteArray::fromStdString(mountPoint));
    if (mountPoint.empty() || QFile::encodeName(reported).toStdString() != mountPoint)
        return fail("attach", "the mount point's name cannot be reported");

    const auto listed = run({tool("unsquashfs"), "-lln", "-d", "", imagePath}, 256 * 1024 * 1024);
    if (!listed || listed->status != 0)
        return fail("attach", toolWords(listed, "the image could not be read"));
    const auto contents = readListing(listed->out);
    if (!contents)
        return fail("attach", "the image's listing could not be read");
    if (contents->special)
        return fail("attach", "the image holds a device, FIFO or socket");

    const char *mode = std::getenv("VANTRY_HDIUTIL_MODE");
    const bool extractOnly = mode && std::strcmp(mode, "extract") == 0;
    bool mounted = false;
    if (!extractOnly && ::access("/dev/fuse", F_OK) == 0) {
        const auto mount =
            run({tool("squashfuse"), "-o", "ro,nosuid,nodev", imagePath, mountPoint});
        mounted = mount && mount->status == 0;
        if (mounted && holdsPrivilegedAttributes(mountPoint)) {
            (void)run({tool("fusermount3"), "-u", "-z", mountPoint});
            return fail("attach", "the image carries extended attributes outside user.");
        }
    }
    if (!mounted) {
        if (const std::string failure = extract(target.get(), mountPoint, imagePath, *contents);
            !failure.empty()) {
            // The marker goes last, and stays should anything else: a detach can then finish.
            if (emptyFolder(target.get(), extractedMarker))
                ::unlinkat(target.get(), extractedMarker, 0);
            return fail("attach", failure);
        }
    }

    const PlistValue answer(PlistValue::Dictionary {
        {QStringLiteral("system-entities"),
         PlistValue(PlistValue::Array {PlistValue(PlistValue::Dictionary {
             {QStringLiteral("content-hint"), PlistValue("squashfs")},
             {QStringLiteral("dev-entry"), PlistValue(reported)},
             {QStringLiteral("mount-point"), PlistValue(reported)},
             {QStringLiteral("potentially-mountable"), PlistValue(true)},
             {QStringLiteral("volume-kind"), PlistValue(mounted ? "fuse.squashfuse" : "extracted")},
         })})},
    });
    if (plist) {
        const QByteArray xml = answer.toXml();
        std::fwrite(xml.constData(), 1, size_t(xml.size()), stdout);
    } else {
        std::printf("%s\t%s\n", mountPoint.c_str(), mountPoint.c_str());
    }
    return 0;
}

int detach(const std::vector<std::string> &arguments)
{
    std::string target;
    bool force = false;
    for (const std::string &argument : arguments) {
        if (argument == "-force")
            force = true;
        else if (argument.starts_with('-') || !target.empty() || argument.empty())
            return usage();
        else
            target = argument;
    }
    if (target.empty())
        return usage();
    // Judged without a trailing slash, which would have a link followed. A link could point a
    // detach at someone else's mount: only the folder itself is detached.
    target = withoutTrailingSlashes(target);
    struct stat status {
    };
    if (::lstat(target.c_str(), &status) != 0)
        return fail("detach", "No such file or directory");
    if (S_ISLNK(status.st_mode))
        return fail("detach", "the target is a symbolic link");
    const std::string path = canonical(target);
    if (path.empty())
        return fail("detach", "No such file or directory");

    if (isFuseMount(path)) {
        const std::vector<std::string> unmount =
            force ? std::vector<std::string> {tool("fusermount3"), "-u", "-z", path}
                  : std::vector<std::string> {tool("fusermount3"), "-u", path};
        auto done = run(unmount);
        if (!done || done->status != 0) {
            const auto fallback = run({tool("umount"), path});
            if (!fallback || fallback->status != 0)
                return fail("detach", toolWords(fallback, toolWords(done, "Resource busy").c_str()),
                            16);
        }
        if (isFuseMount(path))
            return fail("detach", "Resource busy", 16);
        std::printf("\"%s\" ejected.\n", path.c_str());
        return 0;
    }
    const UniqueFd folder(
        ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.isValid() && markedByAttach(folder.get())) {
        // The marker goes last: until then a retry still knows what this folder is.
        if (!emptyFolder(folder.get(), extractedMarker) ||
            ::unlinkat(folder.get(), extractedMarker, 0) != 0)
            return fail("detach", "the extracted image could not be removed");
        std::printf("\"%s\" ejected.\n", path.c_str());
        return 0;
    }
    return fail("detach", "No such file or directory");
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage();
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    if (std::strcmp(argv[1], "attach") == 0)
        return attach(arguments);
    if (std::strcmp(argv[1], "detach") == 0)
        return detach(arguments);
    return usage();
}

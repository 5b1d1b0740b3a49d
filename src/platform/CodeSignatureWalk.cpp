// The walk over a bundle's tree and the reads it makes: every item is reached through the
// descriptor of its folder, so that no link is ever followed.
#include <platform/CodeSignatureDetail.h>

#include <platform/PropertyList.h>

#include <QFile>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace vantry::CodeSignature::detail {

namespace {

constexpr qsizetype hashChunk = qsizetype(256) << 10;

struct MdCtxFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

std::optional<WalkProblem> walkFolder(int folder, const QByteArray &prefix,
                                      const QByteArray &excluded, int depth, const Visit &visit)
{
    if (depth > maximumDepth)
        return WalkProblem {WalkProblem::Kind::tooDeep, prefix};
    const auto names = listNames(folder);
    if (!names)
        return WalkProblem {WalkProblem::Kind::unreadable, prefix};
    for (const QByteArray &name : *names) {
        const QByteArray path = joinPath(prefix, name);
        if (path == excluded)
            continue;
        struct stat info {
        };
        if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return WalkProblem {WalkProblem::Kind::unreadable, path};
        if (!visit(folder, name, path, info))
            return WalkProblem {WalkProblem::Kind::stopped, path};
        if (S_ISDIR(info.st_mode)) {
            const UniqueFd child = openFolderAt(folder, name.constData());
            if (!child.isValid())
                return WalkProblem {WalkProblem::Kind::unreadable, path};
            if (auto problem = walkFolder(child.get(), path, excluded, depth + 1, visit))
                return problem;
        }
    }
    return std::nullopt;
}

} // namespace

QString describePath(QByteArrayView raw)
{
    return QFile::decodeName(raw.toByteArray());
}

QByteArray joinPath(const QByteArray &prefix, QByteArrayView name)
{
    return prefix.isEmpty() ? name.toByteArray() : prefix + '/' + name.toByteArray();
}

QByteArray parentOf(QByteArrayView path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray() : path.first(slash).toByteArray();
}

QByteArray lastComponent(QByteArrayView path)
{
    return path.sliced(path.lastIndexOf('/') + 1).toByteArray();
}

bool isBundleName(QByteArrayView name)
{
    return name.endsWith(".app") || name.endsWith(".framework");
}

QByteArray nativeBundlePath(const QString &path)
{
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    return native;
}

Layout layoutOf(const QByteArray &nativeRoot)
{
    if (lastComponent(nativeRoot).endsWith(".framework"))
        return {"_CodeSignature", "Resources/Info.plist"};
    return {"Contents/_CodeSignature", "Contents/Info.plist"};
}

UniqueFd openFolderAt(int at, const char *name)
{
    return UniqueFd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd openRoot(const QByteArray &nativeRoot)
{
    return UniqueFd(
        ::open(nativeRoot.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd openFolderInside(int root, QByteArrayView path)
{
    UniqueFd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (path.isEmpty() || !current.isValid())
        return current;
    for (const QByteArray &component : path.toByteArray().split('/')) {
        const int next = ::openat(current.get(), component.constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        current = UniqueFd(next);
        if (!current.isValid()) {
            errno = saved; // closing the folder above must not hide why
            break;
        }
    }
    return current;
}

std::optional<QByteArray> readSmallFileAt(int at, const char *name, qsizetype limit)
{
    const UniqueFd fd(
        ::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > limit)
        return std::nullopt;
    QByteArray bytes;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || bytes.size() + n > limit)
            return std::nullopt;
        if (n == 0)
            return bytes;
        bytes.append(buffer, n);
    }
}

std::optional<QString> bundleIdentifierAt(int root, const Layout &layout)
{
    const UniqueFd folder = openFolderInside(root, parentOf(layout.infoPlist));
    if (!folder.isValid())
        return std::nullopt;
    const auto bytes =
        readSmallFileAt(folder.get(), lastComponent(layout.infoPlist).constData(), infoPlistLimit);
    if (!bytes)
        return std::nullopt;
    const auto plist = PlistValue::parse(*bytes);
    if (!plist)
        return std::nullopt;
    auto identifier = plist->text(u"CFBundleIdentifier");
    if (!identifier || !isBundleIdentifier(*identifier))
        return std::nullopt;
    return identifier;
}

std::optional<std::vector<QByteArray>> listNames(int folder)
{
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return std::nullopt;
    DIR *dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return std::nullopt;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> owner(dir, ::closedir);
    ::rewinddir(dir); // the copy shares its offset with `folder`
    std::vector<QByteArray> names;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                return std::nullopt;
            break;
        }
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<QByteArray> readLinkAt(int at, const char *name, const struct stat &info)
{
    QByteArray target(qsizetype(std::clamp<off_t>(info.st_size, 64, 2 * pathLimit)) + 1,
                      Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::readlinkat(at, name, target.data(), size_t(target.size()));
        if (n < 0)
            return std::nullopt;
        if (n < target.size()) {
            target.truncate(n);
            return target;
        }
        if (target.size() > 2 * pathLimit) // the kernel keeps no longer target
            return std::nullopt;
        target.resize(target.size() * 2);
    }
}

Expected<FileFacts, ReadProblem> hashFileAt(int at, const char *name, const struct stat &seen,
                                            std::vector<char> &buffer)
{
    const UniqueFd fd(
        ::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.isValid())
        return unexpected(errno == ELOOP || errno == ENOENT ? ReadProblem::changed
                                                            : ReadProblem::unreadable);
    struct stat info {
    };
    if (::fstat(fd.get(), &info) != 0)
        return unexpected(ReadProblem::unreadable);
    if (!S_ISREG(info.st_mode) || info.st_ino != seen.st_ino || info.st_dev != seen.st_dev)
        return unexpected(ReadProblem::changed);
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return unexpected(ReadProblem::unreadable);
    buffer.resize(hashChunk);
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return unexpected(ReadProblem::unreadable);
        if (n == 0)
            break;
        if (EVP_DigestUpdate(context.get(), buffer.data(), size_t(n)) != 1)
            return unexpected(ReadProblem::unreadable);
    }
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char *>(digest.data()),
                           &length) != 1 ||
        length != 32)
        return unexpected(ReadProblem::unreadable);
    return FileFacts {digest, (info.st_mode & 0111) != 0};
}

std::optional<WalkProblem> walkTree(int root, const QByteArray &excluded, const Visit &visit)
{
    return walkFolder(root, QByteArray(), excluded, 0, visit);
}

void NestedBundles::note(const QByteArray &name, const QByteArray &path)
{
    if (!isBundleName(name))
        return;
    // Depth first: a folder below a nested bundle comes right after it, before any sibling.
    if (!paths.empty() && path.startsWith(paths.back() + '/'))
        return;
    paths.push_back(path);
}

} // namespace vantry::CodeSignature::detail

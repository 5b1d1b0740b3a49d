#include <platform/FileSystem.h>

#include <core/UniqueFd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vantry::FileSystem {

namespace {

QByteArray nativePath(const QString &path) { return QFile::encodeName(path); }

bool isDirectory(const QByteArray &path)
{
    struct stat info {};
    return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

Expected<void, SystemError> writeAll(int fd, QByteArrayView bytes, const QString &path)
{
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return unexpected(SystemError::fromErrno(QStringLiteral("write"), path));
        }
        data += written;
        left -= written;
    }
    return {};
}

// Resolves links through the longest prefix that exists; the missing rest is kept as text.
QString resolveExisting(const QString &absolute)
{
    const QString resolved = QFileInfo(absolute).canonicalFilePath();
    if (!resolved.isEmpty())
        return resolved;
    const qsizetype slash = absolute.lastIndexOf(u'/');
    if (slash <= 0)
        return absolute;
    const QString parent = resolveExisting(absolute.left(slash));
    return parent + absolute.mid(slash);
}

} // namespace

Expected<void, SystemError> makeDirectories(const QString &path, std::optional<mode_t> mode)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QByteArray native = nativePath(absolute);
    if (isDirectory(native))
        return {};

    // Create each missing component from the top down; a component that appears meanwhile
    // (another process, another thread) is as good as one we made.
    for (qsizetype slash = native.indexOf('/', 1);; slash = native.indexOf('/', slash + 1)) {
        const QByteArray prefix = slash < 0 ? native : native.left(slash);
        if (!prefix.isEmpty() && !isDirectory(prefix)) {
            if (::mkdir(prefix.constData(), mode.value_or(0777)) != 0 && !(errno == EEXIST && isDirectory(prefix))) {
                if (errno == EEXIST)
                    errno = ENOTDIR; // something that is not a folder stands in the way
                return unexpected(SystemError::fromErrno(QStringLiteral("mkdir"), QFile::decodeName(prefix)));
            }
            // mkdir applies the umask; an explicit mode is meant exactly.
            if (mode && ::chmod(prefix.constData(), *mode) != 0)
                return unexpected(SystemError::fromErrno(QStringLiteral("chmod"), QFile::decodeName(prefix)));
        }
        if (slash < 0)
            break;
    }
    return {};
}

Expected<void, SystemError> setPermissions(const QString &path, mode_t mode)
{
    if (::chmod(nativePath(path).constData(), mode) != 0)
        return unexpected(SystemError::fromErrno(QStringLiteral("chmod"), path));
    return {};
}

Expected<mode_t, SystemError> permissions(const QString &path)
{
    struct stat info {};
    if (::stat(nativePath(path).constData(), &info) != 0)
        return unexpected(SystemError::fromErrno(QStringLiteral("stat"), path));
    return info.st_mode & 07777;
}

Expected<QByteArray, SystemError> readFile(const QString &path)
{
    UniqueFd fd(::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!fd.isValid())
        return unexpected(SystemError::fromErrno(QStringLiteral("open"), path));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return unexpected(SystemError::fromErrno(QStringLiteral("stat"), path));
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return unexpected(SystemError::fromErrno(QStringLiteral("read"), path));
    }
    QByteArray bytes;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return unexpected(SystemError::fromErrno(QStringLiteral("read"), path));
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
    }
    return bytes;
}

Expected<QByteArray, SystemError> readSmallFile(const QString &path, qsizetype limit, LastLink last)
{
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (last == LastLink::refuse ? O_NOFOLLOW : 0);
    UniqueFd fd(::open(nativePath(path).constData(), flags));
    if (!fd.isValid())
        return unexpected(SystemError::fromErrno(QStringLiteral("open"), path));
    return readSmallFile(fd, path, limit);
}

Expected<QByteArray, SystemError> readSmallFile(const UniqueFd &fd, const QString &path, qsizetype limit)
{
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return unexpected(SystemError::fromErrno(QStringLiteral("stat"), path));
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return unexpected(SystemError::fromErrno(QStringLiteral("read"), path));
    }
    if (info.st_size > limit) {
        errno = EFBIG;
        return unexpected(SystemError::fromErrno(QStringLiteral("read"), path));
    }
    // The size can change under us: reading stops one byte past the limit, so a file that grew
    // is still refused.
    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size) + 1);
    char buffer[16 * 1024];
    while (bytes.size() <= limit) {
        const size_t wanted = size_t(std::min<qsizetype>(qsizetype(sizeof buffer), limit + 1 - bytes.size()));
        const ssize_t n = ::read(fd.get(), buffer, wanted);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return unexpected(SystemError::fromErrno(QStringLiteral("read"), path));
        }
        if (n == 0)
            return bytes;
        bytes.append(buffer, n);
    }
    errno = EFBIG;
    return unexpected(SystemError::fromErrno(QStringLiteral("read"), path));
}

Expected<UniqueFd, SystemError> openBeneath(const QString &root, const QString &relative)
{
    const QString path = root + u'/' + relative;
    UniqueFd folder(::open(nativePath(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid())
        return unexpected(SystemError::fromErrno(QStringLiteral("open"), root));
    // The kernel keeps the walk beneath the folder (glibc 2.36 has no wrapper for the call).
    open_how how {};
    how.flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    UniqueFd fd(int(::syscall(SYS_openat2, folder.get(), nativePath(relative).constData(), &how, sizeof how)));
    if (!fd.isValid())
        return unexpected(SystemError::fromErrno(QStringLiteral("open"), path));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return unexpected(SystemError::fromErrno(QStringLiteral("stat"), path));
    if (!S_ISREG(info.st_mode))
        return unexpected(SystemError {QStringLiteral("open"), path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL});
    return fd;
}

Expected<void, SystemError> writeFileAtomically(const QString &path, QByteArrayView bytes, mode_t mode)
{
    const QByteArray target = nativePath(path);
    QByteArray temporary = target + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.isValid())
        return unexpected(SystemError::fromErrno(QStringLiteral("create"), path));
    const QString temporaryPath = QFile::decodeName(temporary);
    auto fail = [&](const char *operation) {
        auto error = SystemError::fromErrno(QString::fromLatin1(operation), path);
        ::unlink(temporary.constData());
        return unexpected(std::move(error));
    };
    if (::fchmod(fd.get(), mode) != 0)
        return fail("chmod");
    if (auto written = writeAll(fd.get(), bytes, temporaryPath); !written) {
        ::unlink(temporary.constData());
        return written;
    }
    if (::fsync(fd.get()) != 0)
        return fail("fsync");
    if (!fd.close())
        return fail("close");
    if (::rename(temporary.constData(), target.constData()) != 0)
        return fail("rename");
    // Make the rename itself durable.
    const QByteArray folder = nativePath(QFileInfo(path).absolutePath());
    UniqueFd folderFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.isValid())
        ::fsync(folderFd.get());
    return {};
}

Expected<void, SystemError> moveNoReplace(const QString &from, const QString &to)
{
    if (::renameat2(AT_FDCWD, nativePath(from).constData(), AT_FDCWD, nativePath(to).constData(), RENAME_NOREPLACE) != 0)
        return unexpected(SystemError::fromErrno(QStringLiteral("rename"), to));
    return {};
}

Expected<void, SystemError> writeNewFile(const QString &path, QByteArrayView bytes, mode_t mode)
{
    const QByteArray target = nativePath(path);
    UniqueFd fd(::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd.isValid())
        return unexpected(SystemError::fromErrno(QStringLiteral("create"), path));
    // The file is ours from here on: a failure takes it away again rather than leave a part.
    auto fail = [&](const char *operation) {
        auto error = SystemError::fromErrno(QString::fromLatin1(operation), path);
        ::unlink(target.constData());
        return unexpected(std::move(error));
    };
    if (::fchmod(fd.get(), mode) != 0)
        return fail("chmod");
    if (auto written = writeAll(fd.get(), bytes, path); !written) {
        ::unlink(target.constData());
        return written;
    }
    if (::fsync(fd.get()) != 0)
        return fail("fsync");
    return {};
}

bool isWritable(const QString &path)
{
    // The effective ids decide what the launcher can do, as they will when it writes.
    return ::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), W_OK, AT_EACCESS) == 0;
}

bool itemExists(const QString &path)
{
    struct stat status {
    };
    // A NUL would cut the path short and ask about the folder before it.
    return !path.isEmpty() && !path.contains(QChar(u'\0')) && ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

QString canonicalPath(const QString &path)
{
    if (path.isEmpty())
        return path;
    // Not QFileInfo::absoluteFilePath: it removes ".." before links are resolved.
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + u'/' + path;
    QString text = QDir::cleanPath(resolveExisting(absolute));
    while (text.size() > 1 && text.endsWith(u'/'))
        text.chop(1);
    return text;
}

} // namespace vantry::FileSystem

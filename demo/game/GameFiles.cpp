#include "GameFiles.h"

#include <QFile>
#include <QSaveFile>
#include <QScopeGuard>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantry::demo::GameFiles {

namespace {

constexpr qsizetype bestScoreLimit = 32;

// The XDG data home, or nothing when neither it nor HOME is an absolute path.
QString dataHome()
{
    if (const QString data = qEnvironmentVariable("XDG_DATA_HOME"); data.startsWith(u'/'))
        return data;
    const QString home = qEnvironmentVariable("HOME");
    return home.startsWith(u'/') ? home + QStringLiteral("/.local/share") : QString();
}

QString bestScorePath(const QString &identifier)
{
    const QString home = dataHome();
    return home.isEmpty() ? QString() : home + u'/' + identifier + QStringLiteral("/best-score");
}

// Makes each missing folder of the absolute `folder` private to this user, as the XDG base
// folders are meant to be.
bool makePrivateFolders(const QByteArray &folder)
{
    for (qsizetype slash = folder.indexOf('/', 1);; slash = folder.indexOf('/', slash + 1)) {
        const QByteArray prefix = slash < 0 ? folder : folder.left(slash);
        if (::mkdir(prefix.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash < 0)
            break;
    }
    struct stat status {
    };
    return ::stat(folder.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

std::optional<QByteArray> readSmallFile(const QString &path, qsizetype limit)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    const auto closeAtEnd = qScopeGuard([fd] { ::close(fd); });
    struct stat status {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > limit)
        return std::nullopt;
    // One byte more than the limit tells a file that grew since fstat.
    QByteArray bytes(limit + 1, Qt::Uninitialized);
    qsizetype length = 0;
    while (length < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + length, size_t(bytes.size() - length));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break;
        length += got;
    }
    if (length > limit)
        return std::nullopt;
    bytes.truncate(length);
    return bytes;
}

int loadBestScore(const QString &identifier)
{
    const QString path = bestScorePath(identifier);
    const auto bytes = path.isEmpty() ? std::nullopt : readSmallFile(path, bestScoreLimit);
    bool ok = false;
    const int score = bytes ? bytes->trimmed().toInt(&ok) : 0;
    return ok && score > 0 ? score : 0;
}

bool saveBestScore(const QString &identifier, int score)
{
    const QString path = bestScorePath(identifier);
    if (path.isEmpty() || !makePrivateFolders(QFile::encodeName(path.section(u'/', 0, -2))))
        return false;
    // QSaveFile writes through a symbolic link to its target; the game writes only its own file.
    struct stat status {
    };
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QByteArray::number(score) + '\n');
    return file.commit();
}

} // namespace vantry::demo::GameFiles

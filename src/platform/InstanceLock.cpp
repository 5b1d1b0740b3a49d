#include <platform/InstanceLock.h>

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>

namespace vantry {

Expected<InstanceLock, InstanceLock::Refusal> InstanceLock::claim(const QString &path)
{
    UniqueFd fd(::open(QFile::encodeName(path).constData(),
                       O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd.isValid())
        return unexpected(Refusal::unopenable);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return unexpected(Refusal::held);
    return InstanceLock(std::move(fd));
}

} // namespace vantry

#include <platform/SystemError.h>

#include <cerrno>
#include <cstring>

namespace vantry {

QString SystemError::describe() const
{
    return QStringLiteral("%1 %2: %3").arg(operation, path, QString::fromLocal8Bit(std::strerror(code)));
}

SystemError SystemError::fromErrno(QString operation, QString path)
{
    return SystemError{std::move(operation), std::move(path), errno};
}

} // namespace vantry

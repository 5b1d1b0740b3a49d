#include <platform/HostSystem.h>

#include <gnu/libc-version.h>

namespace vantry::HostSystem {

QString name() { return QStringLiteral("glibc"); }

QString versionText() { return QString::fromLatin1(gnu_get_libc_version()); }

} // namespace vantry::HostSystem

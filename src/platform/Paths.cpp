#include <platform/Paths.h>

#include <platform/FileSystem.h>

#include <QDir>

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace vantry::Paths {

namespace {

QString join(const QString &folder, const QString &name) { return QDir::cleanPath(folder + u'/' + name); }

// The XDG base-directory rule: a variable that is unset, empty or relative is ignored.
QString xdgDirectory(const char *variable, const QString &fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return join(homeDirectory(), fallbackUnderHome);
}

} // namespace

QString homeDirectory()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return QDir::cleanPath(home);

    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry {};
    passwd *result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir)
        return QDir::cleanPath(QFile::decodeName(result->pw_dir));
    return QStringLiteral("/");
}

QString configHomeDirectory() { return xdgDirectory("XDG_CONFIG_HOME", QStringLiteral(".config")); }

QString dataHomeDirectory() { return xdgDirectory("XDG_DATA_HOME", QStringLiteral(".local/share")); }

QString sandboxedAppDataDirectory() { return join(homeDirectory(), QStringLiteral(".var/app")); }

QString applicationSupportDirectory() { return join(dataHomeDirectory(), launcherFolderName); }

QString managedGamesDirectory() { return join(homeDirectory(), QStringLiteral("Applications/Vantry")); }

QString stagingDirectory() { return join(managedGamesDirectory(), QStringLiteral(".staging")); }

QString downloadsDirectory() { return join(applicationSupportDirectory(), QStringLiteral("Downloads")); }

QString catalogCacheDirectory() { return join(applicationSupportDirectory(), QStringLiteral("Catalog")); }

QString iconCacheDirectory() { return join(applicationSupportDirectory(), QStringLiteral("Icons")); }

QString instanceLockFile() { return join(applicationSupportDirectory(), QStringLiteral("launcher.lock")); }

QString userDefaultsFile()
{
    return join(configHomeDirectory(), launcherFolderName + u"/defaults.json"_qs);
}

Expected<void, SystemError> ensureDirectories(const QString &appSupport, const QString &install)
{
    if (auto made = FileSystem::makeDirectories(appSupport, 0700); !made)
        return made;
    if (auto tightened = FileSystem::setPermissions(appSupport, 0700); !tightened)
        return tightened;
    return FileSystem::makeDirectories(install);
}

} // namespace vantry::Paths

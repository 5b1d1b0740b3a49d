#include <platform/Workspace.h>

#include <platform/Paths.h>
#include <platform/PropertyList.h>

#include <gio/gio.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace vantry::Workspace {

namespace {

constexpr qsizetype deletedMarkSize = sizeof " (deleted)" - 1;
constexpr QByteArrayView bundleMarker = ".app/Contents/MacOS/";
constexpr char managedVariable[] = "VANTRY_MANAGED=";

// The text of /proc/<pid>/exe; nothing when it cannot be read (another user's process, a kernel
// thread, a zombie, a process that has just gone).
std::optional<QByteArray> executableLink(pid_t pid)
{
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/exe";
    QByteArray target(PATH_MAX + deletedMarkSize + 1, Qt::Uninitialized);
    const ssize_t length = ::readlink(link.constData(), target.data(), size_t(target.size()));
    if (length <= 0 || length >= target.size())
        return std::nullopt;
    target.truncate(length);
    return target;
}

std::optional<QString> bundleIdentifier(const QByteArray &bundle)
{
    const auto info = PlistValue::readInfoPlist(QFile::decodeName(bundle));
    if (!info)
        return std::nullopt;
    return info->text(u"CFBundleIdentifier");
}

void collectApplications(const QString &folder, int depth, const QString &bundleId, QStringList &found)
{
    const QStringList names = QDir(folder).entryList(
        QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = folder + u'/' + name;
        if (name.endsWith(u".app"_qs)) {
            // A bundle is an application, never a folder to look inside.
            if (bundleIdentifier(QFile::encodeName(path)) == bundleId)
                found.append(path);
        } else if (depth > 1) {
            collectApplications(path, depth - 1, bundleId, found);
        }
    }
}

// Reports errno to the launcher through the pipe and ends the child. Only async-signal-safe calls
// from here on: the launcher has other threads, and a fork copies only the calling one.
[[noreturn]] void failInChild(int report)
{
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(report, &error, sizeof error);
    ::_exit(127);
}

void closeDescriptorsAbove(int lowest, int keep)
{
    const auto closeRange = [](int first, unsigned last) {
        if (unsigned(first) > last)
            return;
        if (::close_range(unsigned(first), last, 0) == 0)
            return;
        rlimit limit {};
        const unsigned top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                                 ? unsigned(limit.rlim_cur)
                                 : 65536u;
        for (unsigned fd = unsigned(first); fd <= last && fd < top; ++fd)
            ::close(int(fd));
    };
    closeRange(lowest, unsigned(keep - 1));
    closeRange(keep + 1, ~0u);
}

[[noreturn]] void becomeGame(int report, char *const argv[], char *const envp[])
{
    // The report pipe must not be taken for a standard stream below.
    if (report <= STDERR_FILENO) {
        const int moved = ::fcntl(report, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0)
            failInChild(report);
        report = moved;
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0)
        failInChild(report);
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (::dup2(null, stream) < 0)
            failInChild(report);
    }
    // The game must not keep the launcher's working folder (it may be on a volume to eject) nor
    // any descriptor the launcher happened to leave inheritable.
    if (::chdir("/") != 0)
        failInChild(report);
    closeDescriptorsAbove(STDERR_FILENO + 1, report);
    // Masks and ignored signals survive exec; a game must react to SIGTERM as any program does.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction byDefault {
    };
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &byDefault, nullptr);
    ::execve(argv[0], argv, envp);
    failInChild(report);
}

} // namespace

std::optional<QByteArray> bundleOfExecutable(QByteArrayView path)
{
    // The kernel's " (deleted)" mark follows the file name, so the bundle before it is unaffected.
    if (!path.startsWith('/'))
        return std::nullopt;
    // The innermost bundle owns a helper of a bundle nested in another's MacOS folder.
    for (qsizetype at = path.lastIndexOf(bundleMarker); at > 0;
         at = path.first(at).lastIndexOf(bundleMarker)) {
        const qsizetype fileStart = at + bundleMarker.size();
        const bool namesBundle = path[at - 1] != '/';
        const bool namesFile = fileStart < path.size() && !path.endsWith('/');
        if (namesBundle && namesFile)
            return path.first(at + 4).toByteArray(); // up to and with ".app"
    }
    return std::nullopt;
}

QList<RunningApplication> runningApplications(const QString &bundleId)
{
    QList<RunningApplication> found;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return found;
    // Many processes of one game (or one game run twice) share a bundle: read its plist once.
    QHash<QByteArray, std::optional<QString>> identifiers;
    while (const dirent *entry = ::readdir(proc)) {
        bool numeric = false;
        const pid_t pid = QByteArrayView(entry->d_name).toInt(&numeric);
        if (!numeric || pid <= 0)
            continue;
        const auto link = executableLink(pid);
        if (!link)
            continue;
        const auto bundle = bundleOfExecutable(*link);
        if (!bundle)
            continue;
        auto identifier = identifiers.constFind(*bundle);
        if (identifier == identifiers.cend())
            identifier = identifiers.insert(*bundle, bundleIdentifier(*bundle));
        if (*identifier == bundleId)
            found.append({pid, QFile::decodeName(*bundle)});
    }
    ::closedir(proc);
    return found;
}

Expected<void, OpenError> openApplication(const QString &bundlePath)
{
    // Absolute: the game starts in "/", not in the launcher's working folder.
    const QString bundle = QFileInfo(bundlePath).absoluteFilePath();
    const auto info = PlistValue::readInfoPlist(bundle);
    if (!info)
        return unexpected(OpenError::infoPlistUnreadable);
    const auto name = info->text(u"CFBundleExecutable");
    // One file of the MacOS folder, never a path that leads elsewhere.
    if (!name || name->isEmpty() || name->contains(u'/') || *name == u"." || *name == u"..")
        return unexpected(OpenError::noExecutableName);

    QByteArray executable = QFile::encodeName(bundle + u"/Contents/MacOS/"_qs + *name);
    struct stat status {
    };
    if (::stat(executable.constData(), &status) != 0)
        return unexpected(errno == ENOENT || errno == ENOTDIR ? OpenError::executableMissing
                                                              : OpenError::notExecutable);
    if (!S_ISREG(status.st_mode) || ::access(executable.constData(), X_OK) != 0)
        return unexpected(OpenError::notExecutable);

    // Everything the children need is built before the fork: they may not allocate.
    std::vector<std::string> variables;
    for (char **variable = environ; variable && *variable; ++variable) {
        if (std::strncmp(*variable, managedVariable, sizeof managedVariable - 1) != 0)
            variables.emplace_back(*variable);
    }
    variables.emplace_back(std::string(managedVariable) + '1');
    std::vector<char *> envp;
    for (std::string &variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    char *argv[] = {executable.data(), nullptr};

    // The pipe stays open until the game's exec closes it, so the launcher learns whether the
    // program really started; an exec failure arrives as its errno.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return unexpected(OpenError::spawnFailed);
    const pid_t intermediate = ::fork();
    if (intermediate < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return unexpected(OpenError::spawnFailed);
    }
    if (intermediate == 0) {
        // A session of its own, then a second fork: the game is no session leader (it cannot take
        // a terminal), and its parent exits at once so the launcher has no child to reap.
        ::close(report[0]);
        if (::setsid() < 0)
            failInChild(report[1]);
        const pid_t game = ::fork();
        if (game < 0)
            failInChild(report[1]);
        if (game > 0)
            ::_exit(0);
        becomeGame(report[1], argv, envp.data());
    }
    ::close(report[1]);
    int waitStatus = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(intermediate, &waitStatus, 0);
    } while (waited < 0 && errno == EINTR);
    int childError = 0;
    ssize_t received = 0;
    do {
        received = ::read(report[0], &childError, sizeof childError);
    } while (received < 0 && errno == EINTR);
    ::close(report[0]);
    // Nothing reported: the game has exec'd, unless the intermediate child died before its fork.
    const bool intermediateFailed =
        waited == intermediate && !(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0);
    if (received == 0 && intermediateFailed)
        return unexpected(OpenError::spawnFailed);
    if (received == 0)
        return {};
    if (received == sizeof childError && (childError == EACCES || childError == ENOEXEC))
        return unexpected(OpenError::notExecutable);
    if (received == sizeof childError && childError == ENOENT)
        return unexpected(OpenError::executableMissing);
    return unexpected(OpenError::spawnFailed);
}

int terminate(const QString &bundleId)
{
    int signalled = 0;
    for (const RunningApplication &application : runningApplications(bundleId)) {
        // The pid could have been reused since the scan: hold the process by a descriptor, check
        // it still runs from the bundle, and signal through that descriptor. (Raw system calls:
        // glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.)
        const int process = int(::syscall(SYS_pidfd_open, application.pid, 0));
        if (process < 0) {
            if (errno == ENOSYS && ::kill(application.pid, SIGTERM) == 0)
                ++signalled;
            continue;
        }
        const auto link = executableLink(application.pid);
        const auto bundle = link ? bundleOfExecutable(*link) : std::nullopt;
        if (bundle && QFile::decodeName(*bundle) == application.bundlePath &&
            ::syscall(SYS_pidfd_send_signal, process, SIGTERM, nullptr, 0) == 0)
            ++signalled;
        ::close(process);
    }
    return signalled;
}

QList<RegistryRoot> registryRoots()
{
    const QString home = Paths::homeDirectory();
    return {{home + u"/Applications"_qs, 2},
            {home + u"/Games"_qs, 2},
            {u"/opt"_qs, 2},
            {u"/Applications"_qs, 1}};
}

QStringList applicationURLs(const QString &bundleId, const QList<RegistryRoot> &roots)
{
    QStringList found;
    for (const RegistryRoot &root : roots) {
        QString folder = root.path;
        while (folder.size() > 1 && folder.endsWith(u'/'))
            folder.chop(1);
        collectApplications(folder, root.depth, bundleId, found);
    }
    return found;
}

bool openFolder(const QString &path)
{
    GFile *file = g_file_new_for_path(QFile::encodeName(path).constData());
    gchar *uri = g_file_get_uri(file);
    GError *error = nullptr;
    const bool opened = g_app_info_launch_default_for_uri(uri, nullptr, &error);
    if (error)
        g_error_free(error);
    g_free(uri);
    g_object_unref(file);
    return opened;
}

} // namespace vantry::Workspace

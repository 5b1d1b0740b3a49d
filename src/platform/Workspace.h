#pragma once

#include <core/Expected.h>

#include <QByteArrayView>
#include <QList>
#include <QStringList>
#include <QString>

#include <optional>
#include <sys/types.h>

namespace vantry::Workspace {

// The workspace's view of applications on this host: a game is a process whose executable lies
// inside `<name>.app/Contents/MacOS/`, and the bundle's Info.plist gives its identity. Nothing is
// remembered between calls: every answer comes from /proc at the time of asking.

/// A process that belongs to an application bundle.
struct RunningApplication {
    pid_t pid = 0;
    /// The bundle folder (`.../<name>.app`) the process's executable lies in, as the kernel
    /// names it now (a bundle moved since the launch is named where it lies).
    QString bundlePath;

    friend bool operator==(const RunningApplication &, const RunningApplication &) = default;
};

/// Why `openApplication` could not start a bundle.
enum class OpenError {
    infoPlistUnreadable, ///< no Contents/Info.plist, or not a property list with a dictionary
    noExecutableName,    ///< no CFBundleExecutable text naming one file in Contents/MacOS
    executableMissing,   ///< Contents/MacOS/<CFBundleExecutable> does not exist
    notExecutable,       ///< it exists but is not an executable file
    spawnFailed,         ///< the system could not start the process
};

/// The bundle folder of the executable behind `/proc/<pid>/exe` (the link's text, a
/// " (deleted)" suffix allowed): the innermost `<name>.app` whose `Contents/MacOS/` holds it,
/// or nothing when it lies in no bundle.
[[nodiscard]] std::optional<QByteArray> bundleOfExecutable(QByteArrayView executableLink);

/// Every process whose bundle's CFBundleIdentifier is exactly `bundleId`. Processes whose
/// executable cannot be read (other users', kernel threads, zombies) are not seen.
[[nodiscard]] QList<RunningApplication> runningApplications(const QString &bundleId);

/// Starts `Contents/MacOS/<CFBundleExecutable>` of the bundle at `bundlePath` as a process of its
/// own session, detached from the launcher: standard streams on /dev/null, working folder "/",
/// no other descriptors, default signal handling, and the launcher's environment with
/// VANTRY_MANAGED=1. Returns once the program is running; it is never waited for, and nothing
/// of it is left for the launcher to reap.
[[nodiscard]] Expected<void, OpenError> openApplication(const QString &bundlePath);

/// A folder the application registry looks through, and how deep: 1 finds bundles directly in
/// it, 2 also those one folder further down.
struct RegistryRoot {
    QString path;
    int depth = 1;

    friend bool operator==(const RegistryRoot &, const RegistryRoot &) = default;
};

/// Where applications are installed on this host: ~/Applications and ~/Games (two levels, the
/// managed games folder among them), /opt (two levels) and /Applications (one level).
[[nodiscard]] QList<RegistryRoot> registryRoots();

/// The application registry: every bundle ("<name>.app" folder, or a link to one) in `roots`
/// whose CFBundleIdentifier is exactly `bundleId`, root by root in the given order and by name
/// within a folder. Paths are as found, not canonicalised. Missing or unreadable folders add
/// nothing. Blocks: it reads every bundle's Info.plist.
[[nodiscard]] QStringList applicationURLs(const QString &bundleId, const QList<RegistryRoot> &roots = registryRoots());

/// Asks every running application with `bundleId` to quit with SIGTERM (never SIGKILL) and
/// returns how many were signalled. It does not wait for them to exit.
int terminate(const QString &bundleId);

/// Opens `path` in the desktop's file manager (its default handler for folders). Blocks while the
/// handler is found and started; whether it then shows anything is the desktop's business.
[[nodiscard]] bool openFolder(const QString &path);

} // namespace vantry::Workspace

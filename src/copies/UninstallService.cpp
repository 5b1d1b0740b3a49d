#include <copies/UninstallService.h>

#include <copies/LibraryScanner.h>

#include <platform/FileSystem.h>
#include <platform/Paths.h>
#include <platform/Trash.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace vantry::UninstallService {

UserLibrary defaultUserLibrary()
{
    return {Paths::configHomeDirectory(), Paths::dataHomeDirectory(), Paths::sandboxedAppDataDirectory()};
}

Expected<void, QString> trashToSystemTrash(const QString &path) { return vantry::Trash::moveToTrash(path); }

bool isTrashable(const QString &path)
{
    return QDir::isAbsolutePath(path) && FileSystem::isWritable(path) &&
           FileSystem::isWritable(QFileInfo(path).path());
}

QStringList existingUserDataPaths(const QString &bundleId, const UserLibrary &library,
                                  const std::optional<QString> &launcherBundleId)
{
    QStringList existing = UninstallModel::userDataPaths(bundleId, library, launcherBundleId);
    existing.removeIf([](const QString &path) { return !FileSystem::itemExists(path); });
    return existing;
}

QList<CopyRemovalResult> removeNonCurrentCopies(const Catalog::Entry &entry, const InstallResolution &resolution,
                                                const QList<InstallCopy> &copies, const IsRunning &isRunning,
                                                const Trash &trash)
{
    QSet<QString> removable;
    for (const InstallCopy &copy : UninstallModel::bulkRemovalSet(resolution))
        removable.insert(copy.canonicalURL);
    QList<CopyRemovalResult> results;
    for (const InstallCopy &copy : copies) {
        const QString path = FileSystem::canonicalPath(copy.canonicalURL);
        // The current copy, or a path the title does not own, is refused without a look.
        if (!removable.contains(path)) {
            results.append({copy.canonicalURL, RemovalRefusal::notACandidate()});
            continue;
        }
        const auto plist = LibraryScanner::readInfoPlist(path);
        const RemovalFacts facts {
            path,
            isRunning(entry.bundleId),
            std::any_of(resolution.copies.begin(), resolution.copies.end(),
                        [&](const InstallCopy &known) { return known.canonicalURL == path; }),
            plist ? plist->text(u"CFBundleIdentifier") : std::nullopt,
            isTrashable(path),
        };
        if (auto refused = UninstallModel::refusal(facts, entry.bundleId)) {
            results.append({copy.canonicalURL, std::move(*refused)});
            continue;
        }
        const auto trashed = trash(path);
        if (trashed)
            results.append({copy.canonicalURL, CopyRemovalResult::Trashed {}});
        else
            results.append({copy.canonicalURL, CopyRemovalResult::TrashFailed {trashed.error()}});
    }
    return results;
}

} // namespace vantry::UninstallService

#pragma once

#include <copies/InstallCopy.h>
#include <copies/UninstallModel.h>

#include <catalog/Catalog.h>
#include <core/Expected.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Moving copies of a game and its saved data to the user's Trash. Nothing here deletes anything:
// an item either lies in the Trash, restorable, or stays where it was.
namespace vantry::UninstallService {

using IsRunning = std::function<bool(const QString &bundleId)>;
using Trash = std::function<Expected<void, QString>(const QString &path)>;

/// The user's data folders from the environment, as the XDG rules read it now.
[[nodiscard]] UserLibrary defaultUserLibrary();

/// Moves the item at `path` (a link itself, not its target) to the Trash; the error is the
/// Trash's description of why it could not, naming the item. Blocks on the disk.
[[nodiscard]] Expected<void, QString> trashToSystemTrash(const QString &path);

/// Whether this user may write both the item at `path` and the folder that holds it.
[[nodiscard]] bool isTrashable(const QString &path);

/// Those of `UninstallModel::userDataPaths` at which something exists (a link counts as itself,
/// wherever it leads), in the same order.
[[nodiscard]] QStringList existingUserDataPaths(const QString &bundleId, const UserLibrary &library,
                                                const std::optional<QString> &launcherBundleId);

/// Moves each of `copies` to the Trash with `trash` unless it is refused at this moment: not one
/// of the non-current copies of `resolution`, the game running (`isRunning` with the entry's
/// identifier), another identity in its Info.plist now, or not trashable. One result per copy,
/// in the order of `copies`.
[[nodiscard]] QList<CopyRemovalResult> removeNonCurrentCopies(const Catalog::Entry &entry,
                                                              const InstallResolution &resolution,
                                                              const QList<InstallCopy> &copies,
                                                              const IsRunning &isRunning, const Trash &trash);

} // namespace vantry::UninstallService

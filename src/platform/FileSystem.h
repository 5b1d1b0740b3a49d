#pragma once

#include <core/Expected.h>
#include <core/UniqueFd.h>
#include <platform/SystemError.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <sys/types.h>

namespace vantry::FileSystem {

/// Creates `path` and any missing parents, succeeding when it is already a folder. Folders it
/// creates get `mode`, or the process's default when none is given.
[[nodiscard]] Expected<void, SystemError> makeDirectories(const QString &path,
                                                          std::optional<mode_t> mode = std::nullopt);

[[nodiscard]] Expected<void, SystemError> setPermissions(const QString &path, mode_t mode);

/// The permission bits of `path`.
[[nodiscard]] Expected<mode_t, SystemError> permissions(const QString &path);

/// Reads a file the launcher itself wrote (its cache, its defaults, a maker's input to the tool).
[[nodiscard]] Expected<QByteArray, SystemError> readFile(const QString &path);

/// Whether a read may follow a symbolic link at the last component of its path.
enum class LastLink { follow, refuse };

/// The largest Info.plist read from a bundle; one that is larger is unreadable.
inline constexpr qsizetype infoPlistLimit = 1024 * 1024;

/// Reads a small file that someone else controls (a bundle's Info.plist, a marker in a folder
/// others can write): a regular file only, opened without blocking (a FIFO never hangs the read),
/// and refused with EFBIG once it passes `limit` bytes, however large it claims to be. With
/// `LastLink::refuse` a link at the last component fails with ELOOP instead of being followed.
/// Anything that is not a regular file fails with EINVAL (EISDIR for a folder).
[[nodiscard]] Expected<QByteArray, SystemError> readSmallFile(const QString &path, qsizetype limit,
                                                              LastLink last = LastLink::refuse);

/// `readSmallFile` on a descriptor already open for reading; `path` names it in errors.
[[nodiscard]] Expected<QByteArray, SystemError> readSmallFile(const UniqueFd &fd, const QString &path,
                                                              qsizetype limit);

/// Opens the regular file at `relative` inside the folder `root` without ever leaving it: "..",
/// and symbolic links anywhere on the way, are followed only while they stay beneath `root` (one
/// that leads out fails with EXDEV). Opened without blocking; anything but a regular file fails
/// as `readSmallFile` says. For trees someone else may have put links into, such as a web site.
[[nodiscard]] Expected<UniqueFd, SystemError> openBeneath(const QString &root, const QString &relative);

/// Replaces `path` with `bytes` so that a reader sees the old file or the new one, never a part:
/// written beside it, flushed to disk, then renamed over it. The new file gets `mode`.
[[nodiscard]] Expected<void, SystemError> writeFileAtomically(const QString &path, QByteArrayView bytes,
                                                              mode_t mode = 0644);

/// Renames `from` to `to`, failing rather than replacing anything already at `to`.
[[nodiscard]] Expected<void, SystemError> moveNoReplace(const QString &from, const QString &to);

/// Creates `path` with `bytes`, failing when anything already exists there.
[[nodiscard]] Expected<void, SystemError> writeNewFile(const QString &path, QByteArrayView bytes,
                                                       mode_t mode);

/// Whether this user may write `path` now: its permissions allow it and its volume is not
/// mounted read-only. False when it cannot be told.
[[nodiscard]] bool isWritable(const QString &path);

/// Whether anything is at `path`: a symbolic link counts as an item of its own, even one that
/// leads nowhere.
[[nodiscard]] bool itemExists(const QString &path);

/// The path two URLs are compared by: symbolic links resolved as far as the path exists, "." and
/// ".." removed, no trailing "/" (the root stays "/"). Equal results mean the same file. Reads the
/// disk to resolve the links.
[[nodiscard]] QString canonicalPath(const QString &path);

} // namespace vantry::FileSystem

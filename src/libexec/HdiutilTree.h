// The trees hdiutil extracts and removes, handled by descriptor: every step opens the next folder
// below one already open, without following a link, and names stay bytes.
#pragma once

#include <core/UniqueFd.h>

#include <string>
#include <sys/types.h>
#include <vector>

namespace vantry::Hdiutil {

/// Adds the names in the open folder `folder` to `names`, read through a descriptor of its own so
/// that `folder` keeps its offset.
[[nodiscard]] bool namesIn(int folder, std::vector<std::string> &names);

/// The folder `name` in the open folder `parent` (not a link, on the same device), opened for
/// reading; made searchable by its owner first when it is not, so that a folder of mode 000 is
/// entered on the first walk.
[[nodiscard]] UniqueFd openFolder(int parent, const char *name);

/// Makes what unsquashfs extracted below the open folder `root` harmless: everything owned by
/// this process's user and group, set-user-ID and set-group-ID bits and write bits removed.
/// Anything but folders, files and links fails. The entries right at `root` keep their owner's
/// write bit, so that they can still be moved; `sealEntry` takes it afterwards.
[[nodiscard]] bool sanitizeTree(int root);

/// Takes the write bits of the entry `name` of `parent` (not a link).
[[nodiscard]] bool sealEntry(int parent, const char *name);

/// Removes everything in the open folder `folder` except the entry `keep` (may be null), by
/// descriptor, each folder made writable as the walk reaches it; never crosses into another
/// file system. False when anything is left.
[[nodiscard]] bool emptyFolder(int folder, const char *keep = nullptr);

/// Whether some item of the tree at `root` carries an extended attribute outside `user.`; true
/// too when that cannot be told.
[[nodiscard]] bool holdsPrivilegedAttributes(const std::string &root);

} // namespace vantry::Hdiutil

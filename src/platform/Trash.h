#pragma once

#include <core/Expected.h>

#include <QString>

namespace vantry::Trash {

/// Moves the item at `path` (a link itself, never what it points to) to the user's freedesktop.org
/// Trash through GIO, as desktop file managers do: into $XDG_DATA_HOME/Trash when it lies on
/// the home's volume, otherwise into that volume's own trash folder, with an info file that can
/// restore it. Nothing is ever deleted or copied: when no trash folder can take the item by a
/// rename (a system mount such as tmpfs, a read-only volume), the item stays where it is and the
/// error names it with GIO's reason. Refuses a relative path, one holding a NUL character, and
/// any move while GIO's data home (read once, at its first use) is not this process's
/// $XDG_DATA_HOME as the XDG rules read it now.
[[nodiscard]] Expected<void, QString> moveToTrash(const QString &path);

} // namespace vantry::Trash

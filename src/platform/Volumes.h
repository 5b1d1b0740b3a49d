#pragma once

#include <QString>

#include <optional>

// Both functions read the file system, /proc and /sys and block: call them off the main thread.
namespace vantry::Volumes {

/// What the system reports about the volume that holds a path.
struct Flags {
    bool readOnly = true;
    bool removable = true;
    friend bool operator==(const Flags &, const Flags &) = default;
};

/// The flags of the volume holding `path`; absent when they cannot be read (no such path, no mount
/// found, an unreadable attribute).
[[nodiscard]] std::optional<Flags> flags(const QString &path);

/// The volume's identity: the file system UUID of the mount's device where the system lists one,
/// otherwise the device number as text; absent when the path cannot be examined.
[[nodiscard]] std::optional<QString> uuid(const QString &path);

} // namespace vantry::Volumes

#pragma once

#include <core/Expected.h>
#include <core/UniqueFd.h>

#include <QString>

namespace vantry {

/// One launcher process at a time owns the launcher's folders: each one empties the downloads and
/// staging folders as it starts, which would cut short another's install. The claim lasts as
/// long as the value and ends with the process; games and tools started meanwhile do not inherit it.
class InstanceLock
{
public:
    enum class Refusal { held, unopenable };

    /// Claims the lock file at `path` (made 0600 when missing, never through a symbolic link).
    [[nodiscard]] static Expected<InstanceLock, Refusal> claim(const QString &path);

private:
    explicit InstanceLock(UniqueFd fd) : m_fd(std::move(fd)) {}

    UniqueFd m_fd;
};

} // namespace vantry

#pragma once

#include <unistd.h>
#include <utility>

namespace vantry {

/// An open file descriptor, closed when it goes.
class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const noexcept { return m_fd; }
    [[nodiscard]] bool isValid() const noexcept { return m_fd >= 0; }
    /// Gives the descriptor up to the caller, who closes it.
    [[nodiscard]] int release() noexcept { return std::exchange(m_fd, -1); }
    /// Closes now, so that a failure to close (a delayed write error) is seen.
    [[nodiscard]] bool close() noexcept { return ::close(release()) == 0; }
    void reset() noexcept
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

} // namespace vantry

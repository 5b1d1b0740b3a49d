#pragma once

namespace vantry::demo {

/// The terminate request (SIGTERM) and Ctrl-C (SIGINT) end the event loop normally, so that the
/// game saves and exits with status 0. The handlers only write a byte to a pipe, the one thing
/// safe to do there; the main thread reads it. Made once, before the application object, so a
/// request that comes early waits in the pipe.
class QuitOnSignals
{
public:
    QuitOnSignals();
    ~QuitOnSignals();
    QuitOnSignals(const QuitOnSignals &) = delete;
    QuitOnSignals &operator=(const QuitOnSignals &) = delete;

    /// False when the pipe or the handlers could not be set up.
    [[nodiscard]] bool isValid() const { return m_valid; }

    /// Quits the application's event loop when a signal arrives; call once the application
    /// exists (the watch is the application's child and goes with it).
    void watch();

private:
    int m_read = -1;
    int m_write = -1;
    bool m_valid = false;
};

} // namespace vantry::demo

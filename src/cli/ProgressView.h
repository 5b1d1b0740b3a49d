#pragma once

#include <core/TitleState.h>

#include <QElapsedTimer>

#include <optional>

namespace vantry::Cli {

class Console;

/// Shows a job as it goes. On a terminal the download is a bar redrawn in place, with the
/// fraction, the speed and the time left worked out from the release's length, then each step's
/// label on a line of its own; otherwise one plain line per change of state and per tenth of the
/// download. Final states are the command's to report.
class ProgressView
{
public:
    ProgressView(Console &console, qint64 expectedLength);

    void show(const TitleState &state);
    /// Ends a bar left open, so that what follows starts on a line of its own.
    void finish();

private:
    void drawBar(double fraction);

    Console &m_console;
    qint64 m_expectedLength;
    std::optional<TitleState> m_shown;
    int m_tenthsShown = -1;
    bool m_barOpen = false;
    QElapsedTimer m_downloadClock;
    qint64 m_lastDrawn = -1; // ms on the download clock
};

} // namespace vantry::Cli

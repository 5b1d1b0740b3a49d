#pragma once

#include "GameIdentity.h"

#include <QElapsedTimer>
#include <QRasterWindow>
#include <QTimer>

namespace vantry::demo {

/// The demo game's toy: a ball runs to and fro along a track; press Space (or click) while it is
/// on the mark to score, and each hit makes it faster. A miss ends the run.
class ToyWindow : public QRasterWindow
{
    Q_OBJECT

public:
    ToyWindow(GameIdentity identity, int bestScore);

    [[nodiscard]] int bestScore() const { return m_best; }

Q_SIGNALS:
    /// A run ended with a miss; the best score may have risen during it.
    void runEnded();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void advance();
    void strike();
    // Where the ball is along the track, 0 to 1.
    [[nodiscard]] double ballPosition() const;

    GameIdentity m_identity;
    int m_score = 0;
    int m_best = 0;
    double m_phase = 0;   // track lengths run, so far
    double m_speed = 0.5; // track lengths a second
    bool m_lastMissed = false;
    QTimer m_frames;
    QElapsedTimer m_clock;
};

} // namespace vantry::demo

#include "ToyWindow.h"

#include "IconPainter.h"

#include <QKeyEvent>
#include <QPainter>

#include <cmath>

namespace vantry::demo {

namespace {

constexpr double startSpeed = 0.5;
constexpr double markHalfWidth = 0.05;

} // namespace

ToyWindow::ToyWindow(GameIdentity identity, int bestScore)
    : m_identity(std::move(identity)), m_best(bestScore)
{
    setTitle(m_identity.title());
    resize(480, 320);
    m_frames.setTimerType(Qt::PreciseTimer);
    m_frames.setInterval(16);
    connect(&m_frames, &QTimer::timeout, this, &ToyWindow::advance);
    m_clock.start();
    m_frames.start();
}

double ToyWindow::ballPosition() const
{
    const double along = std::fmod(m_phase, 2.0);
    return along < 1.0 ? along : 2.0 - along;
}

void ToyWindow::advance()
{
    m_phase += m_speed * double(m_clock.restart()) / 1000.0;
    update();
}

void ToyWindow::strike()
{
    if (std::abs(ballPosition() - 0.5) <= markHalfWidth) {
        ++m_score;
        m_best = std::max(m_best, m_score);
        m_speed *= 1.12;
        m_lastMissed = false;
    } else {
        const bool wasRunning = m_score > 0;
        m_lastMissed = true;
        m_score = 0;
        m_speed = startSpeed;
        if (wasRunning)
            Q_EMIT runEnded();
    }
    update();
}

void ToyWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat())
        strike();
}

void ToyWindow::mousePressEvent(QMouseEvent *)
{
    strike();
}

void ToyWindow::paintEvent(QPaintEvent *)
{
    const QColor ink = IconPainter::readableInk(m_identity.colour);
    const double w = width();
    const double h = height();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRectF(0, 0, w, h), m_identity.colour);

    QFont font = painter.font();
    font.setPixelSize(26);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(QRectF(0, 16, w, 40), Qt::AlignCenter, m_identity.title());

    const double left = 40;
    const double track = w - 2 * left;
    const double y = h / 2;
    QColor faint = ink;
    faint.setAlphaF(0.35f);
    painter.setPen(QPen(faint, 4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(left, y), QPointF(left + track, y));
    painter.fillRect(
        QRectF(left + track * (0.5 - markHalfWidth), y - 22, track * 2 * markHalfWidth, 44), faint);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ink);
    painter.drawEllipse(QPointF(left + track * ballPosition(), y), 12, 12);

    font.setPixelSize(18);
    font.setBold(false);
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(QRectF(0, h - 90, w, 30), Qt::AlignCenter,
                     tr("Score %1    Best %2").arg(m_score).arg(m_best));
    painter.drawText(QRectF(0, h - 56, w, 30), Qt::AlignCenter,
                     m_lastMissed ? tr("Missed. Press Space or click to try again.")
                                  : tr("Press Space or click when the ball is on the mark."));
}

} // namespace vantry::demo

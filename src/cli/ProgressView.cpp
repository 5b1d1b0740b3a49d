#include <cli/ProgressView.h>

#include <cli/Console.h>
#include <cli/Reports.h>
#include <cli/Texts.h>

#include <QLocale>

#include <cmath>

namespace vantry::Cli {

namespace {

constexpr int barWidth = 30;
constexpr qint64 redrawInterval = 100; // ms: a terminal needs no more

QString duration(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ProgressView::ProgressView(Console &console, qint64 expectedLength)
    : m_console(console), m_expectedLength(expectedLength)
{
}

void ProgressView::show(const TitleState &state)
{
    const TitleState::Case now = state.discriminator();
    switch (now) {
    case TitleState::Case::downloading:
        if (!m_downloadClock.isValid())
            m_downloadClock.start();
        if (m_console.outputIsTerminal()) {
            drawBar(state.fraction());
        } else if (const int tenths = int(state.fraction() * 10); tenths > m_tenthsShown) {
            m_tenthsShown = tenths;
            m_console.print(text("Downloading %1%").arg(tenths * 10));
        }
        break;
    case TitleState::Case::queued:
    case TitleState::Case::verifying:
    case TitleState::Case::installing:
        if (m_shown && m_shown->discriminator() == now && m_shown->step() == state.step())
            break;
        finish();
        m_console.print(state.step() ? stepName(*state.step()) : Reports::statusText(state));
        break;
    case TitleState::Case::available:
    case TitleState::Case::requiresNewerMacOS:
    case TitleState::Case::unavailable:
    case TitleState::Case::installed:
    case TitleState::Case::updateAvailable:
    case TitleState::Case::running:
    case TitleState::Case::failed:
        finish();
        break;
    }
    m_shown = state;
}

void ProgressView::finish()
{
    if (m_barOpen)
        m_console.write(QStringLiteral("\n"));
    m_barOpen = false;
}

void ProgressView::drawBar(double fraction)
{
    const qint64 elapsed = m_downloadClock.elapsed();
    if (m_barOpen && fraction < 1.0 && elapsed - m_lastDrawn < redrawInterval)
        return;
    m_lastDrawn = elapsed;
    const qint64 done = qint64(fraction * double(m_expectedLength));
    const int filled = int(fraction * barWidth);
    QString line = u"\r\x1b[K["_qs + QString(filled, u'#') + QString(barWidth - filled, u'-') +
                   u"] "_qs + QString::number(int(fraction * 100)).rightJustified(3) + u"% "_qs;
    const QLocale locale;
    line +=
        text("%1 of %2")
            .arg(locale.formattedDataSize(done, 1), locale.formattedDataSize(m_expectedLength, 1));
    if (elapsed > 0 && done > 0) {
        const double perSecond = double(done) * 1000.0 / double(elapsed);
        const qint64 left = std::llround(double(m_expectedLength - done) / perSecond);
        line += text("  %1/s  %2 left")
                    .arg(locale.formattedDataSize(qint64(perSecond), 1), duration(left));
    }
    m_console.write(line);
    m_barOpen = true;
}

} // namespace vantry::Cli

#include <services/SoundManager.h>

#include <core/DefaultsKeys.h>
#include <platform/AudioOutput.h>
#include <platform/UserDefaults.h>

namespace vantry {

SoundManager::SoundManager(UserDefaults &defaults, std::unique_ptr<AudioEngine> engine,
                           Uptime uptime, std::chrono::milliseconds idleShutdown)
    : m_defaults(defaults), m_engine(std::move(engine)), m_uptime(std::move(uptime))
{
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(idleShutdown);
    connect(&m_idleTimer, &QTimer::timeout, this, &SoundManager::shutDownWhenIdle);
    // Queued onto this object's thread, and dropped with it.
    connect(m_engine.get(), &AudioEngine::configurationChanged, this,
            &SoundManager::restartIfStopped, Qt::QueuedConnection);
}

SoundManager::~SoundManager()
{
    m_engine->stop();
}

SoundManager &SoundManager::shared()
{
    static auto *const manager =
        new SoundManager(UserDefaults::standard(), std::make_unique<AudioOutput>());
    return *manager;
}

double SoundManager::systemUptime()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool SoundManager::isEnabled() const
{
    if (m_overriddenEnabled)
        return *m_overriddenEnabled;
    return m_defaults.boolean(DefaultsKeys::soundEnabled()).value_or(true);
}

void SoundManager::playTone(const QList<double> &frequencies, double duration, float gain,
                            WaveShape shape, double stepInterval)
{
    if (!isEnabled())
        return;
    QList<float> samples = ToneSynthesis::tone(frequencies, duration, gain, shape, stepInterval);
    if (!samples.isEmpty())
        schedule(std::move(samples));
}

void SoundManager::playError()
{
    if (isEnabled())
        schedule(ToneSynthesis::errorSweep());
}

void SoundManager::play(InterfaceSound sound)
{
    switch (sound) {
    case InterfaceSound::click:
        playTone({660.0}, 0.04, 0.12f, WaveShape::sine, 0.0);
        return;
    case InterfaceSound::installFinished:
        playTone({523.0, 659.0, 784.0}, 0.09, 0.18f, WaveShape::sine, 0.08);
        return;
    case InterfaceSound::failure:
        playError();
        return;
    }
}

bool SoundManager::configureIfNeeded()
{
    if (m_configured) {
        restartIfStopped();
        return m_engine->isRunning();
    }
    m_configured = true;
    // Started even before any sound, so a warmed-up engine that stays silent stops too.
    m_idleTimer.start();
    return m_engine->start(&m_mixer);
}

void SoundManager::restartIfStopped()
{
    const double now = m_uptime();
    if (!m_configured || m_engine->isRunning()
        || (m_lastRestartAttempt && !(now - *m_lastRestartAttempt > 1.0)))
        return;
    m_lastRestartAttempt = now;
    m_mixer.stopAll();
    m_idleTimer.start();
    static_cast<void>(m_engine->start(&m_mixer));
}

void SoundManager::schedule(QList<float> samples)
{
    if (!configureIfNeeded())
        return;
    m_mixer.play(m_nextVoice, std::move(samples));
    m_nextVoice = (m_nextVoice + 1) % VoiceMixer::voiceCount;
    m_idleTimer.start();
}

void SoundManager::shutDownWhenIdle()
{
    if (!m_engine->isRunning())
        return;
    if (m_mixer.isSilent())
        m_engine->stop();
    else
        m_idleTimer.start();
}

} // namespace vantry

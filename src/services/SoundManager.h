#pragma once

#include <services/InterfaceSound.h>
#include <services/ToneSynthesis.h>
#include <services/VoiceMixer.h>

#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace vantry {

class AudioEngine;
class UserDefaults;

/// The launcher's interface sounds: each is synthesised when it plays and handed to the next of
/// the mixer's voices in turn, cutting off that voice's earlier sound, so at most four sound at
/// once. The engine starts on first need, stops itself after a few seconds of silence and wakes on
/// the next sound. Audio failures are never shown: a sound that cannot play is not heard.
/// Main thread only.
class SoundManager : public QObject
{
    Q_OBJECT

public:
    /// Seconds of a monotonic clock.
    using Uptime = std::function<double()>;

    SoundManager(UserDefaults &defaults, std::unique_ptr<AudioEngine> engine,
                 Uptime uptime = systemUptime,
                 std::chrono::milliseconds idleShutdown = std::chrono::seconds(3));
    ~SoundManager() override;

    /// The process-wide manager over the standard user defaults and the default output.
    [[nodiscard]] static SoundManager &shared();
    [[nodiscard]] static double systemUptime();

    /// The in-memory switch; when absent the stored preference decides.
    void setOverriddenEnabled(std::optional<bool> enabled) { m_overriddenEnabled = enabled; }
    /// The override when set, else the stored "soundEnabled" (on when absent or not a boolean).
    [[nodiscard]] bool isEnabled() const;

    void playTone(const QList<double> &frequencies, double duration, float gain, WaveShape shape,
                  double stepInterval);
    void playError();
    void play(InterfaceSound sound);

    /// Sets the engine up once; true when it runs.
    [[nodiscard]] bool configureIfNeeded();
    /// Starts a configured engine that stopped, at most once a second.
    void restartIfStopped();

private:
    void schedule(QList<float> samples);
    void shutDownWhenIdle();

    UserDefaults &m_defaults;
    std::optional<bool> m_overriddenEnabled;
    std::unique_ptr<AudioEngine> m_engine;
    VoiceMixer m_mixer;
    int m_nextVoice = 0;
    bool m_configured = false;
    Uptime m_uptime;
    std::optional<double> m_lastRestartAttempt;
    QTimer m_idleTimer;
};

} // namespace vantry

#pragma once

#include <QObject>

#include <memory>

class QAudioSink;
class QIODevice;
class QMediaDevices;

namespace vantry {

/// Where the launcher's sounds go: a stream that pulls mono 32-bit float samples at 44100 Hz
/// from a device the caller keeps open. Main thread only.
class AudioEngine : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    /// Starts pulling from `source`, replacing any earlier stream; false when nothing plays.
    virtual bool start(QIODevice *source) = 0;
    virtual void stop() = 0;
    [[nodiscard]] virtual bool isRunning() const = 0;

Q_SIGNALS:
    /// The machine's outputs changed (a device came, went or became the default).
    void configurationChanged();
};

/// The audio engine over the desktop's default output. With no output device it starts nothing
/// and says so only through `start`'s answer: no message, no wait.
class AudioOutput final : public AudioEngine
{
    Q_OBJECT

public:
    explicit AudioOutput(QObject *parent = nullptr);
    ~AudioOutput() override;

    bool start(QIODevice *source) override;
    void stop() override;
    [[nodiscard]] bool isRunning() const override;

private:
    QMediaDevices *m_devices = nullptr;
    std::unique_ptr<QAudioSink> m_sink;
};

} // namespace vantry

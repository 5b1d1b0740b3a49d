#include <platform/AudioOutput.h>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>

namespace vantry {

namespace {

constexpr int sampleRate = 44100;
// About 46 ms queued ahead: a click starts promptly, yet a busy main thread does not starve it.
constexpr qsizetype bufferFrames = 2048;

} // namespace

AudioOutput::AudioOutput(QObject *parent) : AudioEngine(parent) {}

AudioOutput::~AudioOutput()
{
    stop();
}

bool AudioOutput::start(QIODevice *source)
{
    stop();
    // The outputs are watched from the first start on: until then nothing depends on them, and a
    // launcher with sound off never reaches the audio system.
    if (!m_devices) {
        m_devices = new QMediaDevices(this);
        connect(m_devices, &QMediaDevices::audioOutputsChanged, this,
                &AudioEngine::configurationChanged);
    }
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull())
        return false;
    QAudioFormat format;
    format.setSampleRate(sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Float);
    if (!device.isFormatSupported(format))
        return false;
    m_sink = std::make_unique<QAudioSink>(device, format);
    m_sink->setBufferSize(format.bytesForFrames(bufferFrames));
    m_sink->start(source);
    if (isRunning())
        return true;
    stop();
    return false;
}

void AudioOutput::stop()
{
    if (!m_sink)
        return;
    m_sink->stop();
    m_sink.reset();
}

bool AudioOutput::isRunning() const
{
    if (!m_sink || m_sink->error() != QAudio::NoError)
        return false;
    switch (m_sink->state()) {
    case QAudio::ActiveState:
    case QAudio::IdleState:
        return true;
    case QAudio::SuspendedState:
    case QAudio::StoppedState:
        return false;
    }
    Q_UNREACHABLE();
}

} // namespace vantry

#include <services/VoiceMixer.h>

#include <QMutexLocker>

#include <algorithm>
#include <cstring>

namespace vantry {

VoiceMixer::VoiceMixer(QObject *parent) : QIODevice(parent)
{
    // Unbuffered: a read-ahead would delay a new sound by whatever silence it had taken.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void VoiceMixer::play(int voice, QList<float> samples)
{
    const QMutexLocker lock(&m_mutex);
    m_voices[std::size_t(voice)] = Voice{std::move(samples), 0};
}

void VoiceMixer::stopAll()
{
    const QMutexLocker lock(&m_mutex);
    m_voices.fill(Voice{});
}

bool VoiceMixer::isSilent() const
{
    const QMutexLocker lock(&m_mutex);
    return std::ranges::all_of(m_voices, [](const Voice &voice) {
        return voice.position >= voice.samples.size();
    });
}

qint64 VoiceMixer::bytesAvailable() const
{
    // Endless: silence is always there to read.
    return qint64(1) << 20;
}

qint64 VoiceMixer::readData(char *data, qint64 maxSize)
{
    const auto frames = qsizetype(maxSize / qint64(sizeof(float)));
    QList<float> mix(frames, 0.0f);
    {
        const QMutexLocker lock(&m_mutex);
        for (Voice &voice : m_voices) {
            const qsizetype count = std::min(frames, voice.samples.size() - voice.position);
            for (qsizetype i = 0; i < count; ++i)
                mix[i] += voice.samples[voice.position + i];
            voice.position += count;
        }
    }
    std::memcpy(data, mix.constData(), std::size_t(frames) * sizeof(float));
    return qint64(frames) * qint64(sizeof(float));
}

qint64 VoiceMixer::writeData(const char *, qint64)
{
    return -1;
}

} // namespace vantry

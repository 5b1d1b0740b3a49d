#pragma once

#include <QIODevice>
#include <QList>
#include <QMutex>

#include <array>

namespace vantry {

/// A small pool of voices mixed into one mono float stream that an audio output pulls. Each voice
/// plays one buffer once; giving a voice a new buffer cuts off what it was playing. Reading sums
/// the sounding voices sample by sample and fills silence with zeros, so the stream never ends.
class VoiceMixer final : public QIODevice
{
    Q_OBJECT

public:
    static constexpr int voiceCount = 4;

    explicit VoiceMixer(QObject *parent = nullptr);

    /// Plays `samples` on `voice` from its first sample, replacing what the voice was playing.
    void play(int voice, QList<float> samples);
    /// Silences every voice.
    void stopAll();
    /// True when no voice has anything left to play.
    [[nodiscard]] bool isSilent() const;

    [[nodiscard]] bool isSequential() const override { return true; }
    [[nodiscard]] qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    struct Voice {
        QList<float> samples;
        qsizetype position = 0;
    };

    mutable QMutex m_mutex; // an output may pull from its own thread
    std::array<Voice, voiceCount> m_voices;
};

} // namespace vantry

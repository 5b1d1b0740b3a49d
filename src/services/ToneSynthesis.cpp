#include <services/ToneSynthesis.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace vantry::ToneSynthesis {

namespace {

double wave(WaveShape shape, double phase)
{
    switch (shape) {
    case WaveShape::sine:
        return std::sin(phase);
    case WaveShape::triangle:
        return std::asin(std::sin(phase)) * 2.0 / std::numbers::pi;
    case WaveShape::square:
        return std::sin(phase) >= 0.0 ? 0.6 : -0.6;
    }
    Q_UNREACHABLE();
}

// Attack over the first twentieth (none for tones under 20 frames), release over the last third.
double envelope(std::int64_t i, std::int64_t n)
{
    const std::int64_t attack = n < 20 ? 1 : n / 20;
    const std::int64_t release = n < 3 ? 1 : n / 3;
    if (n >= 20 && i < attack)
        return double(i) / double(attack);
    if (i > n - release)
        return double(n - i) / double(release);
    return 1.0;
}

} // namespace

QList<float> tone(const QList<double> &frequencies, double duration, float gain, WaveShape shape,
                  double stepInterval)
{
    if (frequencies.isEmpty() || !(duration > 0.0))
        return {};
    const double total = stepInterval > 0.0
                             ? duration + double(frequencies.size() - 1) * stepInterval
                             : duration;
    // The frame count is held in 32 bits: an endless or longer total is not a sound.
    if (!(total > 0.0 && total * sampleRate < double(std::numeric_limits<std::uint32_t>::max())))
        return {};
    const auto frames = qsizetype(std::uint32_t(total * sampleRate));
    const auto n = std::int64_t(duration * sampleRate);
    if (n <= 0 || frames == 0)
        return {};
    QList<float> buffer(frames, 0.0f);
    for (qsizetype k = 0; k < frequencies.size(); ++k) {
        const double f = frequencies[k];
        const auto start = stepInterval > 0.0
                               ? std::int64_t(double(k) * stepInterval * sampleRate)
                               : std::int64_t(0);
        if (start >= frames)
            continue;
        for (std::int64_t i = 0; i < n && start + i < frames; ++i) {
            const double phase = 2.0 * std::numbers::pi * f * double(i) / sampleRate;
            buffer[start + i] += float(envelope(i, n) * wave(shape, phase)) * gain;
        }
    }
    return buffer;
}

QList<float> errorSweep()
{
    constexpr int frames = 4410;
    QList<float> buffer(frames, 0.0f);
    double phase = 0.0;
    for (int i = 0; i < frames; ++i) {
        const double f = 320.0 - 140.0 * double(i) / double(frames);
        phase += 2.0 * std::numbers::pi * f / sampleRate;
        const double envelope = i < 220     ? double(i) / 220.0
                                : i >= 2941 ? double(frames - i) / 1470.0
                                            : 1.0;
        buffer[i] = float(wave(WaveShape::triangle, phase) * envelope * 0.14);
    }
    return buffer;
}

} // namespace vantry::ToneSynthesis

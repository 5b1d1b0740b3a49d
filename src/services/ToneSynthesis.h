#pragma once

#include <QList>

namespace vantry {

enum class WaveShape { sine, triangle, square };

/// The interface sounds, computed sample by sample into mono float buffers at `sampleRate`.
/// Pure: no device, no state.
namespace ToneSynthesis {

inline constexpr double sampleRate = 44100.0;

/// Tones of `duration` seconds each, one per frequency, the k-th starting k × `stepInterval`
/// seconds in (all together when `stepInterval` is not positive), mixed by addition. Empty when
/// there is nothing to play: no frequency, no duration, or a total length that is not finite.
[[nodiscard]] QList<float> tone(const QList<double> &frequencies, double duration, float gain,
                                WaveShape shape, double stepInterval);

/// The error sound: a tenth of a second of triangle wave falling from 320 Hz towards 180 Hz.
[[nodiscard]] QList<float> errorSweep();

} // namespace ToneSynthesis

} // namespace vantry

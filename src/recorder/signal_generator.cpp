#include "recorder/signal_generator.h"

#include <cmath>

#include "recorder/stream_encoder.h"

namespace velt::recorder {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSineAmplitude = 2000;
constexpr double kSinePeriod = 4000;  // samples; the largest sine step is about 3
// Noise half-widths per class: the difference of two samples stays inside
// 4, 5, 6, 8, 10, 15 bits respectively (twice the noise plus the sine step).
constexpr int32_t kNoise[SignalGenerator::kClasses] = {1, 5, 12, 50, 200, 6000, 0};
constexpr int kStepClass = 6;
constexpr int kStepEvery = 8;
constexpr int32_t kStepMin = 1 << 20;
constexpr int32_t kMax24 = (1 << 23) - 1;
constexpr int32_t kMin24 = -(1 << 23);

}  // namespace

uint64_t SignalGenerator::splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

SignalGenerator::SignalGenerator(uint64_t seed) {
    uint64_t state = seed;
    for (int c = 0; c < kChannels; ++c) {
        channels_[c].rng = splitmix(state);
        channels_[c].phase = 2 * kPi * double(c) / kChannels;
        channels_[c].index = uint64_t(c) * 2 * kSegmentSamples;  // classes out of step between channels
    }
}

int32_t SignalGenerator::next(int channel) {
    if (channel < 0 || channel >= kChannels) return 0;
    Channel& ch = channels_[channel];
    const int cls = int((ch.index / kSegmentSamples) % kClasses);
    const uint64_t r = splitmix(ch.rng);
    if (cls == kStepClass && ch.index % kStepEvery == 0) {
        int32_t step = kStepMin + int32_t(r % uint64_t(kStepMin));
        if ((r >> 32) & 1) step = -step;
        if (ch.level + step > kMaxLevel || ch.level + step < -kMaxLevel) step = -step;
        ch.level += step;
    }
    const int32_t half = kNoise[cls];
    const int32_t noise = half > 0 ? int32_t((r >> 40) % uint64_t(2 * half + 1)) - half : 0;
    const double sine = kSineAmplitude * std::sin(ch.phase + 2 * kPi * double(ch.index) / kSinePeriod);
    ++ch.index;
    int64_t v = int64_t(ch.level) + noise + std::llround(sine);
    if (v > kMax24) v = kMax24;
    if (v < kMin24) v = kMin24;
    return int32_t(v);
}

void SignalGenerator::fill(BlockSamples& samples, int count) {
    for (int c = 0; c < kChannels; ++c) {
        samples.channel[c].resize(count < 0 ? 0 : std::size_t(count));
        for (int32_t& s : samples.channel[c]) s = next(c);
    }
}

}  // namespace velt::recorder

// Seeded, reproducible test signal for the simulator, tests and benchmarks:
// a slow sine, noise whose size changes every 48 samples, and steps. The noise
// classes are sized so that consecutive sample differences fill every
// Steim-2 width in turn (4, 5, 6, 8, 10 and 15 bits, and 30 bits at the
// steps). Samples always fit 24 bits. The same seed gives the same samples.
#pragma once

#include <array>
#include <cstdint>

#include "recorder/block_format.h"

namespace velt::recorder {

struct BlockSamples;

class SignalGenerator final {
public:
    /// @brief A generator whose three channels are independent streams of `seed`.
    explicit SignalGenerator(uint64_t seed);
    /// @brief Next sample of `channel` (0..2; other values return 0).
    int32_t next(int channel);
    /// @brief Replaces the samples of every channel of `samples` by the next `count` of each.
    void fill(BlockSamples& samples, int count);

    static constexpr int kSegmentSamples = 48;
    static constexpr int kClasses = 7;
    static constexpr int32_t kMaxLevel = 4'000'000;  // steps stay within this

private:
    struct Channel {
        uint64_t rng = 0;
        uint64_t index = 0;
        int32_t level = 0;
        double phase = 0;
    };
    static uint64_t splitmix(uint64_t& state);
    std::array<Channel, kChannels> channels_{};
};

}  // namespace velt::recorder

// Builds recorder byte streams exactly as the recorder sends them, for the
// simulator and for tests: blocks with their status record, time marks,
// four-lane configuration and restart numbers, and the DLE-framed
// configuration stream carried one byte per block. It is the inverse of the
// delimiter detector, the configuration stream decoder and the block decoder.
//
// Blocks of fewer than 25 samples per channel carry the status bytes that
// follow no row directly after the last row (see statusOffset()).
//
// False delimiters: sample and status bytes may legally form runs of 0x7F,
// and four of them inside a block would end the block early. With
// `avoidFalseDelimiters` (the default) the encoder lowers by one each sample
// whose last byte lies in such a run (0x7F becomes 0x7E) until the block has
// no run of four 0x7F before its delimiter; the changed samples are written
// back to the caller's BlockSamples and counted. Without it the bytes are
// written as given, which tests use to damage a stream on purpose.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "recorder/block_format.h"
#include "recorder/config_stream_codes.h"

namespace velt::recorder {

class SignalGenerator;

/// The samples of one block: the same number for each of the three channels.
struct BlockSamples {
    std::array<std::vector<int32_t>, kChannels> channel;
    /// @brief Samples per channel, or -1 when the channels differ in length.
    int count() const;
};

/// Everything of a block except its samples.
struct BlockFrame {
    std::array<uint8_t, 3> leading{};
    std::array<uint8_t, kStatusBytes> status{};
    uint8_t trailer = 0;
};

/// @brief Appends one complete block (checksum, trailer, delimiter) to `out`.
/// @return samples changed to avoid a false delimiter (0 or more), or -1 when
/// nothing was appended: sample count outside 1..1107 or unequal between
/// channels, a sample outside 24 bits, a trailer of 0x7F, or a run of 0x7F
/// that no sample change can break (for example in the leading bytes).
int formatBlock(const BlockFrame& frame, BlockSamples& samples, bool avoidFalseDelimiters, std::vector<uint8_t>& out);

/// @brief Offset of the first run of four 0x7F within data[0..size), or -1.
long findDelimiterRun(const uint8_t* data, std::size_t size);

// Configuration stream (codes in recorder/config_stream_codes.h).

/// @brief Appends DLE + `openingCode`, the payload with every 0x10 doubled, and DLE 0x03.
void appendConfigRecord(std::vector<uint8_t>& out, uint8_t openingCode, const std::vector<uint8_t>& payload);
/// @brief One framed record (see appendConfigRecord).
std::vector<uint8_t> configRecord(uint8_t openingCode, const std::vector<uint8_t>& payload);

struct EncoderSettings {
    std::string stationName = "VELT1";
    std::vector<std::string> channelNames = {"HHZ", "HHN", "HHE"};  // up to 6 are sent
    std::vector<std::string> sensorTexts = {"SENSOR_0", "SENSOR_1", "SENSOR_2"};  // 8 bytes each, zero padded
    int sampleRate = 100;                 // samples per channel per block, 1..1107
    uint32_t delay = 0xD623;
    uint32_t configNumber = 0x20260001;
    uint32_t restartNumber = 0x000001;    // 24 bits are sent
    uint8_t startStatus = 0x01;           // S[23] of lane 3
    uint8_t device = 42;
    uint8_t firstMarker = 0xA5;           // S[0]
    uint32_t firstBlockNumber = 0;
    // Time mark carried by the first block. A mark of block n is
    // firstMarkSeconds + (n - firstBlockNumber); the converter stamps block n
    // with that plus one (see StreamEncoder::blockTime).
    uint32_t firstMarkSeconds = 1767225599;  // the first block is stamped 2026-01-01 00:00:00
    int markInterval = 10;                // blocks from one new time mark to the next; 0 = never
    bool repeatConfiguration = true;      // queue the full configuration whenever the queue runs empty
    bool avoidFalseDelimiters = true;
    std::array<uint8_t, 3> leading = {0x00, 0x00, 0x00};
    uint8_t trailer = 0x00;
};

/// @brief The full configuration cycle: begin, sample rate, station, channel
/// names, delay, sensor texts, end with the configuration number.
std::vector<uint8_t> configurationSequence(const EncoderSettings& settings);

/// Damage applied to the next encoded block only.
struct BlockDamage {
    bool badChecksum = false;  // checksum off by one
    int dropBytes = 0;         // bytes removed after the status record (a link losing bytes)
};

class StreamEncoder final {
public:
    /// @brief An encoder whose first block is settings.firstBlockNumber.
    explicit StreamEncoder(const EncoderSettings& settings);

    /// @brief Settings in use; changes apply from the next block on.
    EncoderSettings& settings() { return settings_; }
    const EncoderSettings& settings() const { return settings_; }

    /// @brief Encodes one block of `samples` and appends it to `out`.
    /// @return as formatBlock; on failure the encoder state is unchanged.
    int encodeBlock(BlockSamples& samples, std::vector<uint8_t>& out);
    /// @brief Encodes `count` blocks of settings().sampleRate samples from `source`.
    /// @return samples changed in total, or -1 at the first failing block.
    int encodeBlocks(int count, SignalGenerator& source, std::vector<uint8_t>& out);

    /// @brief Number of the next block.
    uint32_t nextBlockNumber() const { return next_; }
    /// @brief The time the converter gives block `blockNumber`: its mark plus one.
    int64_t blockTime(uint32_t blockNumber) const;
    /// @brief Makes the next block numbers jump ahead by `count` (lost blocks).
    void skipBlockNumbers(uint32_t count) { next_ += count; }
    /// @brief Damages the next encoded block.
    void damageNextBlock(const BlockDamage& damage) { damage_ = damage; }
    /// @brief Called with each block's status record before it is written, to change any byte.
    void setStatusHook(std::function<void(uint32_t blockNumber, std::array<uint8_t, kStatusBytes>&)> hook) {
        hook_ = std::move(hook);
    }

    /// @brief Appends raw bytes to the configuration stream queue.
    void queueConfigBytes(const std::vector<uint8_t>& bytes) { queue_.insert(queue_.end(), bytes.begin(), bytes.end()); }
    /// @brief Queues the full configuration of the current settings.
    void queueConfiguration() { queueConfigBytes(configurationSequence(settings_)); }
    /// @brief Samples changed so far to avoid false delimiters.
    uint64_t adjustedSamples() const { return adjusted_; }

    /// @brief Appends `count` random bytes that are never 0x7F.
    static void appendGarbage(std::vector<uint8_t>& out, std::size_t count, uint64_t seed);
    /// @brief Appends `count` bytes 0x7F.
    static void appendDelimiterRun(std::vector<uint8_t>& out, std::size_t count);

private:
    EncoderSettings settings_;
    uint32_t next_;
    bool first_ = true;
    uint8_t markCounter_ = 0;
    uint32_t markSeconds_ = 0;
    std::deque<uint8_t> queue_;
    BlockDamage damage_;
    std::function<void(uint32_t, std::array<uint8_t, kStatusBytes>&)> hook_;
    uint64_t adjusted_ = 0;
};

}  // namespace velt::recorder

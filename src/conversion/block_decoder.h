// Checks and decodes the blocks of one input: checksum, block-number
// continuity, configuration and restart numbers over the four lanes, the
// time base from the time marks, the configuration record from the
// configuration stream, and (once data flow is on) the samples, handed
// channel by channel to the input's outputs.
//
// Block length vs sample rate: the number of samples per channel comes from
// the current configuration record, not from the block length. When
// 9*N + 35 differs from the bytes received, the rows cannot be located with
// confidence, so the block's samples are skipped (the outputs see a gap); the
// block still counts for continuity and time keeping. Each such block is
// counted in lengthMismatches(), and the first of a series is logged.
//
// A block whose status record cannot be located at all (shorter than a block
// of one sample, or a short length that is not 9*N + 35) is rejected like a
// bad checksum. Block numbers and block times wrap at 32 bits, as the
// recorder's counters do.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "conversion/output_sink.h"
#include "platform/clock.h"
#include "recorder/block_format.h"
#include "recorder/config_stream_decoder.h"
#include "recorder/configuration_record.h"
#include "recorder/status_monitor.h"

namespace velt::conversion {

using recorder::ConfigStreamDecoder;
using recorder::ConfigurationRecord;
using recorder::kMaxBlockBytes;
using recorder::StatusMonitor;

class BlockDecoder final {
public:
    static constexpr int kBuffers = 4;
    static constexpr int kDisagreeLimit = 10;
    static constexpr int kMarksMissingLimit = 100;
    static constexpr int kAgreeCap = 100;

    // Results of endOfBlock.
    static constexpr int kAccepted = 0;
    static constexpr int kRejectedBlock = 1;      // number not consecutive, or checksum wrong
    static constexpr int kRestartChanged = 2;
    static constexpr int kConfigChanged = 3;
    static constexpr int kTimeBaseLost = 50;

    /// @brief `clock` (not owned) stamps "last active" reports.
    explicit BlockDecoder(const platform::Clock& clock = platform::systemClock());

    /// @brief Sets the input index, status monitor and output list (neither owned).
    void attach(int input, StatusMonitor* monitor, OutputSink* sinks);

    /// @brief Appends `b` to the block being filled; bytes beyond 10000 are dropped.
    void pushByte(uint8_t b) {
        if (count_ < kMaxBlockBytes) buffers_[index_][count_++] = b;
    }
    /// @brief pushByte() for each of the `n` bytes at `bytes`.
    void pushBytes(const uint8_t* bytes, std::size_t n) {
        const std::size_t room = count_ < kMaxBlockBytes ? std::size_t(kMaxBlockBytes - count_) : 0;
        if (n > room) n = room;
        if (n == 0) return;
        std::memcpy(&buffers_[index_][count_], bytes, n);
        count_ += int(n);
    }
    /// @brief Ends the block of `length` bytes and decodes it. @return 0 or a rejection code.
    int endOfBlock(int length);
    /// @brief After a damaged or missing piece of stream: takes the last
    /// bytes of what was pushed since the last block, as many as the last
    /// accepted block had, as a block
    /// that continues what was verified before the break. It needs a right
    /// checksum, a block number above the last accepted one (at most
    /// `maxJump` above) and the restart and configuration numbers already
    /// known; the time base stays. Accepted, it is decoded and delivered as
    /// usual and starts a new group of four. Rejected, the pushed bytes are
    /// dropped and nothing else changes. @return kAccepted or kRejectedBlock.
    int endOfBlockAfterGap(uint32_t maxJump);
    /// @brief Drops the bytes pushed since the last block.
    void dropBlock() { count_ = 0; }

    /// @brief Forgets blocks, lanes, time base and the open configuration
    /// record (not the record contents) before a resynchronisation.
    void reset();
    /// @brief Accepts the next block without the continuity test (data re-read).
    void rewindBlocks();
    /// @brief Card archives: files of one device follow each other with gaps
    /// where files are missing, so block numbers are not tested for
    /// continuity (a rejection means a wrong checksum), and a block whose
    /// restart lane disagrees also makes the restart number unknown until it
    /// is read again from four blocks.
    void setCardMode(bool on) { cardMode_ = on; }
    /// @brief From now on accepted blocks go to the outputs.
    void startData() { dataOn_ = true; }
    /// @brief Stops the data flow and closes the outputs.
    void stopData();
    /// @brief The next counter value seen is taken as the current one, not as a new mark.
    void forgetTimeMark() { lastMarkCounter_ = 0; }

    /// @brief Consecutive marks that agreed with the reference (at most 100).
    int agreeCount() const { return agreeCount_; }
    bool timeSettled() const { return timeSettled_; }
    /// @brief Takes the reference of the agreeing marks as settled; it is kept
    /// through a pause of the marks until reset().
    void setTimeSettled() { timeSettled_ = settledFromMarks_ = true; }
    /// @brief The current record's number equals the number the lanes carry.
    bool configVerified() const { return configVerified_; }
    bool timeLost() const { return timeLost_; }
    bool dataOn() const { return dataOn_; }

    const ConfigurationRecord& currentRecord() const { return current_; }
    ConfigStreamDecoder& configStream() { return configStream_; }
    uint32_t configNumber() const { return configNumber_; }
    uint32_t restartNumber() const { return restartNumber_; }
    int32_t timeBase() const { return referenceOffset_; }
    static constexpr int64_t kNoTime = INT64_MIN;
    /// @brief Time given to the last block handed to the outputs (kNoTime: none yet).
    int64_t lastDataTime() const { return lastDataTime_; }
    /// @brief When the first block handed to the outputs is stamped
    /// `blockTime`, the outputs are told first (resumeFrom) that it and the
    /// blocks after it may be in their files already. -1: no such block.
    void setReplayStart(int64_t blockTime) { replayStart_ = blockTime; }
    /// @brief setReplayStart() value: whatever time the first block handed to the outputs has.
    static constexpr int64_t kReplayAtFirstBlock = -2;
    /// @brief Blocks whose samples were skipped because the length did not fit the rate.
    uint32_t lengthMismatches() const { return lengthMismatches_; }

private:
    int decode();
    void fourBlockStep();
    void deliver(const uint8_t* block, int length, uint32_t blockNumber);

    const platform::Clock& clock_;
    StatusMonitor* monitor_ = nullptr;
    OutputSink* sinks_ = nullptr;
    int input_ = 0;

    uint8_t buffers_[kBuffers][kMaxBlockBytes] = {};
    int held_[kBuffers] = {};  // bytes held in each buffer at its end of block
    int index_ = 0;
    int count_ = 0;

    ConfigStreamDecoder configStream_;
    ConfigurationRecord current_;

    int64_t lastBlockNumber_ = -1;
    int64_t lastAcceptedNumber_ = -1;  // block number of the last accepted block
    int lastAcceptedLength_ = 0;       // and its bytes
    int firstStatus0_ = -1;
    uint32_t configNumber_ = 0;
    bool configValid_ = false;
    uint32_t restartNumber_ = 0;
    bool restartValid_ = false;
    uint8_t startStatus_ = 0;
    uint32_t groups_ = 0;
    bool configVerified_ = false;

    // Time-mark state and the last status bytes kept for display.
    uint8_t lastMarkCounter_ = 0;
    uint32_t lastMarkSeconds_ = 0;
    uint8_t markQuality_[2] = {};
    uint8_t timeStatus_ = 0;
    uint8_t timeStatusCounter_ = 0;
    int32_t delT_ = 0;
    uint16_t cpar_ = 0;
    uint8_t counters_[2] = {};
    uint8_t device_ = 0;
    uint8_t lastConfigByte_ = 0;

    // Time base.
    int32_t currentOffset_ = -1;
    int32_t referenceOffset_ = -1;
    int agreeCount_ = 0;
    int disagreeCount_ = 0;
    int blocksSinceMark_ = 0;
    bool timeSettled_ = false;
    bool settledFromMarks_ = false;  // by setTimeSettled(), not by the fallback
    bool timeLost_ = false;

    bool dataOn_ = false;
    bool cardMode_ = false;
    int64_t lastDataTime_ = kNoTime;
    int64_t replayStart_ = -1;  // one-shot, looked at by the first delivery
    uint32_t lengthMismatches_ = 0;
    bool mismatchLogged_ = false;
};

}  // namespace velt::conversion

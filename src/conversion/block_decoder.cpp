#include "conversion/block_decoder.h"

#include <cstdio>
#include <cstring>

#include "platform/log.h"

namespace velt::conversion {

// The block layout, status record and time base are the recorder's wire format.
using namespace recorder;

using platform::get_i24le;
using platform::get_u16le;

BlockDecoder::BlockDecoder(const platform::Clock& clock) : clock_(clock) {}

void BlockDecoder::attach(int input, StatusMonitor* monitor, OutputSink* sinks) {
    input_ = input;
    monitor_ = monitor;
    sinks_ = sinks;
    configStream_.setMonitor(monitor, input);
}

void BlockDecoder::reset() {
    index_ = 0;
    count_ = 0;
    groups_ = 0;
    firstStatus0_ = -1;
    lastBlockNumber_ = -1;
    lastAcceptedNumber_ = -1;
    lastMarkCounter_ = 0;
    configStream_.reset();
    currentOffset_ = -1;
    referenceOffset_ = -1;
    agreeCount_ = 0;
    timeSettled_ = false;
    settledFromMarks_ = false;
    configVerified_ = false;
    configValid_ = false;
    restartValid_ = false;
    dataOn_ = false;
    blocksSinceMark_ = 0;
}

void BlockDecoder::rewindBlocks() {
    lastBlockNumber_ = -1;
    index_ = 0;
    count_ = 0;
}

void BlockDecoder::stopData() {
    dataOn_ = false;
    if (sinks_) sinks_->closeOutputs();
}

int BlockDecoder::endOfBlock(int /*length*/) {
    // The block is judged by the bytes actually held (a block longer than the
    // buffer is cut), in decode() and again in the four-block step; the
    // announced length adds nothing to that.
    held_[index_] = count_;
    const int result = decode();
    if (result != kAccepted) return result;
    lastAcceptedNumber_ = lastBlockNumber_;
    lastAcceptedLength_ = held_[index_];
    if (++index_ == kBuffers) {
        fourBlockStep();
        index_ = 0;
    }
    count_ = 0;
    return kAccepted;
}

int BlockDecoder::endOfBlockAfterGap(uint32_t maxJump) {
    const int length = lastAcceptedLength_;
    const int held = count_;
    count_ = 0;
    // A piece longer than the buffer lost its end: its last bytes are not there.
    if (length <= 0 || held < length || held >= kMaxBlockBytes || lastAcceptedNumber_ < 0) return kRejectedBlock;
    const uint8_t* piece = buffers_[index_] + (held - length);
    const int rows = statusLayoutRows(length);
    if (rows < 0 || byteSum(piece, std::size_t(length - 7)) != get_u16le(piece + checksumOffset(length)))
        return kRejectedBlock;
    uint8_t s[kStatusBytes];
    readStatus(piece, rows, s);
    const uint32_t jump = statusBlockNumber(s) - uint32_t(lastAcceptedNumber_);  // wraps like the counter
    if (jump == 0 || jump > maxJump) return kRejectedBlock;
    const int lane = s[kStBlockNumber] & 3;
    if (lane < 3 && ((restartValid_ && uint8_t(restartNumber_ >> (8 * lane)) != s[kStRestartByte]) ||
                     (configValid_ && uint8_t(configNumber_ >> (8 * lane)) != s[kStConfigByte])))
        return kRejectedBlock;
    // The lanes of a group of four must come from consecutive blocks: a new
    // group starts with this one.
    std::memmove(buffers_[0], piece, std::size_t(length));
    index_ = 0;
    count_ = length;
    lastBlockNumber_ = -1;
    return endOfBlock(length);
}

int BlockDecoder::decode() {
    const uint8_t* block = buffers_[index_];
    const int n = count_;
    timeLost_ = false;

    // A block whose status record cannot be located (too short, or a short
    // length that is not 9*N + 35) cannot be checked at all.
    const int rows = statusLayoutRows(n);
    if (rows < 0) return kRejectedBlock;

    const bool checksumOk = byteSum(block, std::size_t(n - 7)) == get_u16le(block + checksumOffset(n));

    uint8_t s[kStatusBytes];
    readStatus(block, rows, s);
    const uint32_t b = statusBlockNumber(s);

    if (!cardMode_ && lastBlockNumber_ != -1 && int64_t(b) != ((lastBlockNumber_ + 1) & 0xFFFFFFFF)) return kRejectedBlock;
    lastBlockNumber_ = b;
    if (monitor_) monitor_->setBlockNumber(input_, long(b));
    if (!checksumOk) return kRejectedBlock;

    // Time marks: a change of the counter announces a new mark.
    if (lastMarkCounter_ == 0) lastMarkCounter_ = s[kStMarkCounter];
    if (s[kStMarkCounter] != lastMarkCounter_) {
        lastMarkCounter_ = s[kStMarkCounter];
        lastMarkSeconds_ = statusMarkSeconds(s);
        markQuality_[0] = s[kStMarkQuality];
        markQuality_[1] = s[kStMarkQuality2];
        currentOffset_ = int32_t(lastMarkSeconds_ - b);
        if (currentOffset_ == referenceOffset_) {
            blocksSinceMark_ = 0;
            if (!timeSettled_) {
                if (agreeCount_ < kAgreeCap) ++agreeCount_;
            } else {
                disagreeCount_ = 0;
            }
        } else if (!timeSettled_) {
            referenceOffset_ = currentOffset_;
            agreeCount_ = 0;
            disagreeCount_ = 0;
        } else if (++disagreeCount_ > kDisagreeLimit) {
            timeSettled_ = false;
            timeLost_ = true;
            return kTimeBaseLost;
        }
    } else if (++blocksSinceMark_ > kMarksMissingLimit && !settledFromMarks_) {
        // Only a stream whose marks never settled a time base falls back to
        // the fixed one. A base settled from the marks outlives a pause of
        // them (a GPS outage): the block counter carries the time on, and the
        // marks that come back agree with it again.
        timeSettled_ = true;
        currentOffset_ = referenceOffset_ = kFallbackTimeBase;
    }

    if (s[kStTimeStatusCounter] != timeStatusCounter_) {
        timeStatusCounter_ = s[kStTimeStatusCounter];
        timeStatus_ = s[kStTimeStatus];
    }
    delT_ = get_i24le(&s[kStDelT]);
    cpar_ = get_u16le(&s[kStCPar]);
    counters_[0] = s[kStCounter];
    counters_[1] = s[kStCounter2];

    device_ = s[kStDevice];
    if (monitor_) monitor_->setDeviceNumber(input_, long(device_));
    lastConfigByte_ = s[kStConfigStream];
    configStream_.feed(lastConfigByte_);
    if (cardMode_) VELT_LOG_DEBUG("card stream", "block %ld configuration byte %2.2X", long(b), lastConfigByte_);

    if (!configVerified_ && configStream_.complete()) {
        current_ = configStream_.collected();
        if (current_.configNumber == (configValid_ ? configNumber_ : 0)) configVerified_ = true;
    }

    const int lane = s[kStBlockNumber] & 3;
    if (restartValid_ && lane < 3 && uint8_t(restartNumber_ >> (8 * lane)) != s[kStRestartByte]) {
        if (cardMode_) restartValid_ = false;
        return kRestartChanged;
    }
    if (configValid_ && lane < 3 && uint8_t(configNumber_ >> (8 * lane)) != s[kStConfigByte]) return kConfigChanged;

    if (dataOn_) deliver(block, n, b);
    return kAccepted;
}

void BlockDecoder::deliver(const uint8_t* block, int length, uint32_t blockNumber) {
    // The stamp wraps like the recorder's own 32-bit counters; converting the
    // sum through uint32_t keeps garbage numbers from overflowing a signed int.
    const int32_t t = int32_t(uint32_t(referenceOffset_) + blockNumber + 1u);
    lastDataTime_ = t;
    if (monitor_) {
        monitor_->setLastBlockTime(input_, t);
        monitor_->setLastActive(input_, clock_.now());
    }
    if (!sinks_) return;
    if (replayStart_ != -1) {
        if (t == replayStart_ || replayStart_ == kReplayAtFirstBlock) sinks_->resumeFrom(t);
        replayStart_ = -1;
    }
    sinks_->clearSamples();
    sinks_->setTime(t);
    sinks_->setConfiguration(current_);

    const uint32_t rate = current_.sampleRate;
    if (rate == 0 || rate > uint32_t(kMaxSampleRate) || blockLength(int(rate)) != length) {
        ++lengthMismatches_;
        if (!mismatchLogged_ && monitor_) {
            char text[100];
            std::snprintf(text, sizeof text, "block of %d bytes does not fit %u samples per second: samples skipped",
                          length, unsigned(rate));
            monitor_->logLine(input_, text);
        }
        mismatchLogged_ = true;
        return;
    }
    mismatchLogged_ = false;
    for (int c = 0; c < kChannels; ++c) {
        sinks_->clearSamples();
        sinks_->selectChannel(c);
        for (int r = 0; r < int(rate); ++r) sinks_->putSample(platform::get_i24be(block + sampleOffset(r, c)));
        sinks_->flushChannel();
    }
}

void BlockDecoder::fourBlockStep() {
    uint32_t config = 0;
    uint32_t restart = 0;
    for (int i = 0; i < kBuffers; ++i) {
        // A group only completes after four accepted blocks, each of which
        // passed the length check in decode().
        uint8_t s[kStatusBytes];
        readStatus(buffers_[i], statusLayoutRows(held_[i]), s);
        if (firstStatus0_ < 0) firstStatus0_ = s[kStFirstMarker];
        const int lane = s[kStBlockNumber] & 3;
        config |= uint32_t(s[kStConfigByte]) << (8 * lane);
        if (lane < 3) {
            restart |= uint32_t(s[kStRestartByte]) << (8 * lane);
        } else {
            startStatus_ = s[kStRestartByte];
        }
    }
    ++groups_;
    configNumber_ = config;
    configValid_ = true;
    if (monitor_) monitor_->setConfigNumber(input_, long(configNumber_));
    restartNumber_ = restart;
    restartValid_ = true;
    if (monitor_) monitor_->setRestartNumber(input_, long(restartNumber_));
}

}  // namespace velt::conversion

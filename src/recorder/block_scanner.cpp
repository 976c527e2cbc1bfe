#include "recorder/block_scanner.h"

namespace velt::recorder {

BlockScanner::BlockScanner() { buffer_.reserve(kMaxBlockBytes); }

bool BlockScanner::push(uint8_t b) {
    ++totals_.bytes;
    if (buffer_.size() < std::size_t(kMaxBlockBytes)) buffer_.push_back(b);
    detector_.push(b);
    if (!detector_.check()) return false;
    inspect();
    buffer_.clear();
    blockStart_ = totals_.bytes;
    return true;
}

void BlockScanner::inspect() {
    ScannedBlock k;
    k.index = totals_.blocks++;
    k.streamOffset = blockStart_;
    k.length = detector_.length();
    k.samples = samplesForLength(k.length);
    k.oversize = k.length > kMaxBlockBytes;
    if (k.oversize) ++totals_.oversizeBlocks;
    k.lengthChanged = lastLength_ >= 0 && k.length != lastLength_;
    if (k.lengthChanged) ++totals_.lengthChanges;
    lastLength_ = k.length;

    // A truncated block is checked over what the buffer holds, as the
    // converter does; it then normally fails.
    const int held = int(buffer_.size());
    const uint8_t* data = buffer_.data();
    const int rows = statusLayoutRows(held);
    k.hasStatus = rows > 0;
    if (!k.hasStatus) {
        ++totals_.shortBlocks;
        block_ = k;
        return;
    }
    k.checksumOk = byteSum(data, std::size_t(checksumOffset(held))) == platform::get_u16le(data + checksumOffset(held));
    if (!k.checksumOk) ++totals_.badChecksums;

    uint8_t s[kStatusBytes];
    readStatus(data, rows, s);
    k.blockNumber = statusBlockNumber(s);
    k.device = s[kStDevice];
    k.markSeconds = statusMarkSeconds(s);
    k.numberGap = haveNumber_ && k.blockNumber != lastNumber_ + 1;
    if (k.numberGap) ++totals_.numberGaps;
    haveNumber_ = true;
    lastNumber_ = k.blockNumber;

    // Marks, lanes and the configuration stream only from intact blocks.
    if (k.checksumOk) {
        if (markCounter_ == 0) markCounter_ = s[kStMarkCounter];
        if (s[kStMarkCounter] != markCounter_) {
            markCounter_ = s[kStMarkCounter];
            k.newMark = true;
            haveBase_ = true;
            timeBase_ = int64_t(k.markSeconds) - int64_t(k.blockNumber);
        }
        const int lane = int(k.blockNumber & 3);
        configLanes_[lane] = s[kStConfigByte];
        if (lane < 3) restartLanes_[lane] = s[kStRestartByte];
        lanesSeen_ |= 1u << lane;
        const bool wasComplete = config_.complete();
        config_.feed(s[kStConfigStream]);
        if (config_.complete() && !wasComplete) {
            k.configurationCompleted = true;
            lastConfig_ = config_.collected();
            ++totals_.configurations;
        }
    }
    if (haveBase_) k.blockTime = timeBase_ + int64_t(k.blockNumber) + 1;
    block_ = k;
}

bool BlockScanner::laneConfigNumber(uint32_t& value) const {
    if (lanesSeen_ != 0xF) return false;
    value = platform::get_u32le(configLanes_);
    return true;
}

bool BlockScanner::laneRestartNumber(uint32_t& value) const {
    if ((lanesSeen_ & 0x7) != 0x7) return false;
    value = uint32_t(restartLanes_[0]) | (uint32_t(restartLanes_[1]) << 8) | (uint32_t(restartLanes_[2]) << 16);
    return true;
}

}  // namespace velt::recorder

// Looks at a raw recorder stream block by block without any state machine:
// finds delimiters, checks each block's checksum, block number and length,
// follows time marks and the configuration stream, and keeps totals. Used by
// veltdump to show what a stream holds, including damaged streams; it never
// rejects anything.
#pragma once

#include <cstdint>
#include <vector>

#include "recorder/block_format.h"
#include "recorder/config_stream_decoder.h"
#include "recorder/delimiter_detector.h"

namespace velt::recorder {

/// One block as found in the stream (the bytes up to and including a delimiter).
struct ScannedBlock {
    uint64_t index = 0;         // 0 for the first block of the stream
    uint64_t streamOffset = 0;  // offset of the block's first byte
    int length = 0;
    int samples = -1;           // N when length = 9*N + 35, else -1
    bool oversize = false;      // longer than the 10000-byte block buffer
    bool hasStatus = false;     // long enough for the status record
    bool checksumOk = false;
    uint32_t blockNumber = 0;   // valid with hasStatus
    bool numberGap = false;     // number is not the previous one plus one
    bool lengthChanged = false; // length differs from the previous block's
    uint32_t markSeconds = 0;
    bool newMark = false;
    int64_t blockTime = -1;     // mark-based time of the block, -1 before any mark
    uint8_t device = 0;
    bool configurationCompleted = false;  // this block's byte ended a configuration
};

struct ScanTotals {
    uint64_t bytes = 0;
    uint64_t blocks = 0;
    uint64_t badChecksums = 0;
    uint64_t numberGaps = 0;
    uint64_t lengthChanges = 0;
    uint64_t shortBlocks = 0;     // too short for the status record
    uint64_t oversizeBlocks = 0;
    uint64_t configurations = 0;  // completed configuration records
};

class BlockScanner final {
public:
    BlockScanner();
    /// @brief Takes the next stream byte. @return true when it ended a block;
    /// block() then describes it.
    bool push(uint8_t b);
    /// @brief The block ended by the last push that returned true.
    const ScannedBlock& block() const { return block_; }
    const ScanTotals& totals() const { return totals_; }
    /// @brief Bytes after the last delimiter (an unfinished block).
    uint64_t pendingBytes() const { return totals_.bytes - blockStart_; }
    /// @brief The last completed configuration; valid once totals().configurations > 0.
    const ConfigurationRecord& configuration() const { return lastConfig_; }
    const ConfigStreamDecoder& configStream() const { return config_; }
    /// @brief Configuration number assembled from the lanes of the last four
    /// good blocks; false until all four lanes were seen.
    bool laneConfigNumber(uint32_t& value) const;
    /// @brief Restart number (24 bits) from lanes 0..2; false until seen.
    bool laneRestartNumber(uint32_t& value) const;

private:
    void inspect();

    DelimiterDetector detector_;
    ConfigStreamDecoder config_;
    ConfigurationRecord lastConfig_;  // copy taken at completion: the next begin clears the collected one
    std::vector<uint8_t> buffer_;  // the current block, at most kMaxBlockBytes
    ScannedBlock block_;
    ScanTotals totals_;
    uint64_t blockStart_ = 0;
    bool haveNumber_ = false;
    uint32_t lastNumber_ = 0;
    int lastLength_ = -1;
    uint8_t markCounter_ = 0;
    bool haveBase_ = false;
    int64_t timeBase_ = 0;
    uint8_t configLanes_[4] = {};
    uint8_t restartLanes_[3] = {};
    unsigned lanesSeen_ = 0;
};

}  // namespace velt::recorder

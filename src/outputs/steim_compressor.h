// Steim-2 compression (SEED data encoding 11) of one run of samples into
// complete 512-byte data records.
//
// Record geometry: frame 0 (bytes 0..63) holds the 48-byte header and the
// blockettes; frames 1..7 are data frames of sixteen big-endian 32-bit words.
// Word 0 of a frame holds the 2-bit codes of words 0..15 (word k in bits
// 31-2k and 30-2k, code 0 = unused). In frame 1, words 1 and 2 hold the
// forward (X0, first sample of the record) and reverse (Xn, last sample of
// the record) integration constants; data start at word 3 there and at word 1
// in frames 2..7: 13 + 6 x 15 = 103 data words per record.
//
// Difference classes (d = sample - previous sample):
//
//   class  range of d           fields        code  top bits
//     1    -8 .. 7              7 x 4 bits     3     10
//     2    -16 .. 15            6 x 5 bits     3     01
//     3    -32 .. 31            5 x 6 bits     3     00
//     4    -128 .. 127          4 x 8 bits     1     -
//     5    -511 .. 511          3 x 10 bits    2     11
//     6    -16383 .. 16383      2 x 15 bits    2     10
//     7    anything else        1 x 30 bits    2     01
//
// Packing is greedy: a difference joins the pending ones while the widest
// class among them still holds one more; otherwise the pending ones are
// emitted as one word (in the class whose count per word equals theirs, so
// no field is ever empty) and the sample is taken again. A record closes when
// its 103 words are full or the run ends, so n samples need at most
// ceil(n / 103) records. The difference chain starts at 0 for every run and
// runs on across the records of the run.
//
// Differences beyond the 30-bit range cannot arise from the recorder's 24-bit
// samples; should they occur, the field keeps the low 30 bits and the
// compressor counts them (truncatedDifferences) so that the caller can log it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "outputs/mseed_header.h"

namespace velt::outputs {

class SteimCompressor final {
public:
    static constexpr int kFrameBytes = 64;
    static constexpr int kWordsPerFrame = 16;
    static constexpr int kFramesPerRecord = mseed::kRecordLength / kFrameBytes;  // 8
    static constexpr int kDataWordsPerRecord = 13 + (kFramesPerRecord - 2) * 15;  // 103
    static_assert(kDataWordsPerRecord == 103);

    /// @brief Records needed at most for `samples` samples.
    static constexpr std::size_t maxRecords(std::size_t samples) {
        return (samples + kDataWordsPerRecord - 1) / kDataWordsPerRecord;
    }

    /// @brief Compresses `count` samples into records of `recordLength` (512)
    /// bytes written to `out` (each record is zeroed before use), with the
    /// header from `header` (advanced after every record) followed by the
    /// `blocketteBytes` bytes of `blockettes`. Allocates nothing.
    /// @return the number of records written, or -1 (nothing written) when
    /// recordLength is not 512, the blockettes do not fit before the first
    /// data frame or `outBytes` is less than maxRecords(count) records.
    int compress(const int32_t* samples, std::size_t count, MseedHeader& header,
                 int recordLength, uint8_t* out, std::size_t outBytes,
                 const uint8_t* blockettes, std::size_t blocketteBytes);

    /// @brief Differences of the last compress() that exceeded 30 bits.
    uint64_t truncatedDifferences() const { return truncated_; }

private:
    void emitWord();
    void putWord(uint32_t word, uint32_t code);
    void completeRecord();
    void startRecord();

    // Per-call state; nothing survives from one run to the next.
    int32_t pending_[7] = {};
    int pendingCount_ = 0;
    int level_ = 0;
    int32_t lastJoined_ = 0;
    bool firstOfRecord_ = true;
    int32_t x0_ = 0;
    uint8_t* record_ = nullptr;
    int frame_ = 1;
    int word_ = 3;
    uint32_t codeWord_ = 0;
    uint32_t recordSamples_ = 0;
    int records_ = 0;
    uint8_t* out_ = nullptr;
    MseedHeader* header_ = nullptr;
    const uint8_t* blockettes_ = nullptr;
    std::size_t blocketteBytes_ = 0;
    uint64_t truncated_ = 0;
};

}  // namespace velt::outputs

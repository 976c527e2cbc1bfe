#include "outputs/steim_compressor.h"

#include <bit>
#include <cstring>

#include "platform/endian.h"

namespace velt::outputs {

namespace {

// Word layout by the number of differences it carries (index 1..7).
struct WordLayout {
    uint32_t bits;     // field width
    uint32_t top;      // the two top bits of the word (unused for 4 x 8)
    uint32_t code;     // 2-bit code in the frame's code word
    bool hasTop;
};
constexpr WordLayout kLayout[8] = {
    {0, 0, 0, false},
    {30, 1, 2, true},  // 1 difference:  class 7
    {15, 2, 2, true},  // 2 differences: class 6
    {10, 3, 2, true},  // 3 differences: class 5
    {8, 0, 1, false},  // 4 differences: class 4
    {6, 0, 3, true},   // 5 differences: class 3
    {5, 1, 3, true},   // 6 differences: class 2
    {4, 2, 3, true},   // 7 differences: class 1
};

// Class of a difference from the bit width of d ^ (d >> 63) (the two's-
// complement range -2^(w-1) .. 2^(w-1)-1 for width w + 1): widths 0..3 are
// class 1, 4 class 2, 5 class 3, 6..7 class 4, 8..9 class 5, 10..14 class 6,
// beyond class 7. The 10- and 15-bit classes are symmetric, so -512 and
// -16384 move up one class.
constexpr int8_t kClassByWidth[65] = {1, 1, 1, 1, 2, 3, 4, 4, 5, 5, 6, 6, 6, 6, 6,
                                      7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                      7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                      7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
                                      7, 7, 7, 7, 7};

inline int classOf(int64_t d) {
    const uint64_t folded = uint64_t(d ^ (d >> 63));
    return kClassByWidth[std::bit_width(folded)] + int(d == -512 || d == -16384);
}

constexpr int64_t kMin30 = -(int64_t(1) << 29);
constexpr int64_t kMax30 = (int64_t(1) << 29) - 1;

constexpr int kXnWordOffset = SteimCompressor::kFrameBytes + 8;
constexpr int kX0WordOffset = SteimCompressor::kFrameBytes + 4;

}  // namespace

int SteimCompressor::compress(const int32_t* samples, std::size_t count, MseedHeader& header,
                              int recordLength, uint8_t* out, std::size_t outBytes,
                              const uint8_t* blockettes, std::size_t blocketteBytes) {
    if (recordLength != mseed::kRecordLength) return -1;
    if (blocketteBytes > std::size_t(mseed::kDataOffset - mseed::kFixedHeaderSize)) return -1;
    if (blocketteBytes > 0 && blockettes == nullptr) return -1;
    const std::size_t needed = maxRecords(count);
    if (needed > outBytes / mseed::kRecordLength) return -1;
    if (count == 0) return 0;
    if (samples == nullptr || out == nullptr) return -1;

    out_ = out;
    header_ = &header;
    blockettes_ = blockettes;
    blocketteBytes_ = blocketteBytes;
    records_ = 0;
    truncated_ = 0;
    pendingCount_ = 0;
    level_ = 0;
    startRecord();

    int32_t previous = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int32_t x = samples[i];
        const int64_t d = int64_t(x) - previous;
        const int cls = classOf(d);
        // The difference joins while the widest class among the pending ones
        // still holds one more (8 - class differences per word; a class-7
        // difference therefore never shares a word). Otherwise the pending
        // ones go out first and the difference is taken again against the
        // same previous sample.
        const int widest = cls > level_ ? cls : level_;
        if (pendingCount_ + widest > 7) emitWord();
        if (firstOfRecord_) {
            x0_ = x;
            firstOfRecord_ = false;
        }
        if (cls == 7 && (d < kMin30 || d > kMax30)) ++truncated_;
        pending_[pendingCount_++] = int32_t(uint32_t(uint64_t(d)));
        if (cls > level_) level_ = cls;
        lastJoined_ = x;
        previous = x;
        if (pendingCount_ + level_ == 8) emitWord();
    }
    if (pendingCount_ != 0) emitWord();
    if (recordSamples_ != 0) {
        platform::put_u32be(record_ + frame_ * kFrameBytes, codeWord_);
        completeRecord();
    }
    return records_;
}

void SteimCompressor::startRecord() {
    record_ = out_ + std::size_t(records_) * mseed::kRecordLength;
    frame_ = 1;
    word_ = 3;
    codeWord_ = 0;
    recordSamples_ = 0;
    firstOfRecord_ = true;
}

void SteimCompressor::emitWord() {
    const WordLayout& layout = kLayout[pendingCount_];
    const uint32_t mask = layout.bits >= 32 ? 0xFFFFFFFFu : (1u << layout.bits) - 1u;
    uint32_t word = 0;
    for (int i = 0; i < pendingCount_; ++i)
        word = (word << layout.bits) | (uint32_t(pending_[i]) & mask);
    if (layout.hasTop) word |= layout.top << 30;
    recordSamples_ += uint32_t(pendingCount_);
    pendingCount_ = 0;
    level_ = 0;
    putWord(word, layout.code);
}

void SteimCompressor::putWord(uint32_t word, uint32_t code) {
    if (frame_ == 1 && word_ == 3) std::memset(record_, 0, mseed::kRecordLength);
    uint8_t* frame = record_ + frame_ * kFrameBytes;
    platform::put_u32be(frame + word_ * 4, word);
    codeWord_ |= code << (30 - 2 * word_);
    if (++word_ < kWordsPerFrame) return;
    platform::put_u32be(frame, codeWord_);
    codeWord_ = 0;
    word_ = 1;
    if (++frame_ == kFramesPerRecord) completeRecord();
}

void SteimCompressor::completeRecord() {
    platform::put_u32be(record_ + kX0WordOffset, uint32_t(x0_));
    platform::put_u32be(record_ + kXnWordOffset, uint32_t(lastJoined_));
    setRecordSampleCount(header_->bytes.data(), uint16_t(recordSamples_));
    std::memcpy(record_, header_->bytes.data(), mseed::kFixedHeaderSize);
    if (blocketteBytes_ > 0)
        std::memcpy(record_ + mseed::kFixedHeaderSize, blockettes_, blocketteBytes_);
    ++records_;
    advanceHeader(*header_, recordSamples_);
    startRecord();
}

}  // namespace velt::outputs

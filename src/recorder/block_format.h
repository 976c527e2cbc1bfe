// Layout of one recorder block: one second of three 24-bit channels with the
// 25-byte status record interleaved and a 16-bit sum at the end.
//
//   offset            size  content
//   0                 3     leading bytes (covered by the checksum, not interpreted)
//   3                 ...   N sample rows: ch0 ch1 ch2 as 24-bit big-endian;
//                           rows 0..24 are each followed by status byte S[row]
//   L-7               2     checksum: byte sum of offsets 0..L-8, little-endian
//   L-5               1     trailer byte (never 0x7F)
//   L-4               4     delimiter 7F 7F 7F 7F
//
// L = 9*N + 35. Status byte S[i] stands at 12 + 10*i, after sample row i.
// A block of fewer than 25 rows (N < 25) still carries all 25 status bytes
// in its 9*N + 35 bytes: rows 0..N-1 are each followed by S[row], and
// S[N..24] follow the last row directly. (Reading them at 12 + 10*i would run
// past the end of such a block.) statusOffset() takes N for that reason.
// Status bytes:
//   S[0] first-seen marker, S[1] device number, S[2..5] block number (u32 LE,
//   low two bits = lane), S[6..9] time-mark seconds (u32 BE), S[10..11] mark
//   quality, S[12] time-mark counter, S[13..14] time status and its counter,
//   S[15..17] DelT (i24 LE), S[18..19] CPar (u16 LE), S[20..21] counters,
//   S[22] config-number byte of the lane, S[23] restart-number byte of the
//   lane, S[24] next configuration-stream byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/endian.h"

namespace velt::recorder {

constexpr int kChannels = 3;
constexpr int kStatusBytes = 25;
constexpr int kBlockOverhead = 35;
constexpr int kBytesPerRow = 9;
constexpr int kMaxBlockBytes = 10000;          // the converter's block buffer
constexpr int kMaxSampleRate = (kMaxBlockBytes - kBlockOverhead) / kBytesPerRow;  // 1107
constexpr uint8_t kDelimiterByte = 0x7F;
constexpr int kDelimiterLength = 4;
constexpr int kFallbackTimeBase = 1000000000;

// Status-record indices.
enum StatusIndex : int {
    kStFirstMarker = 0,
    kStDevice = 1,
    kStBlockNumber = 2,     // 4 bytes, little-endian
    kStMarkSeconds = 6,     // 4 bytes, big-endian
    kStMarkQuality = 10,
    kStMarkQuality2 = 11,
    kStMarkCounter = 12,
    kStTimeStatus = 13,
    kStTimeStatusCounter = 14,
    kStDelT = 15,           // 3 bytes, little-endian, signed
    kStCPar = 18,           // 2 bytes, little-endian
    kStCounter = 20,
    kStCounter2 = 21,
    kStConfigByte = 22,
    kStRestartByte = 23,
    kStConfigStream = 24,
};

constexpr int blockLength(int samplesPerChannel) { return kBytesPerRow * samplesPerChannel + kBlockOverhead; }
/// Offset of status byte S[index] in a block of `samplesPerChannel` rows.
constexpr int statusOffset(int index, int samplesPerChannel) {
    return index < samplesPerChannel || samplesPerChannel >= kStatusBytes
               ? 12 + 10 * index
               : 3 + 10 * samplesPerChannel + (index - samplesPerChannel);
}
/// Rows per channel of a well-formed block of `length` bytes, or -1.
constexpr int samplesForLength(int length) {
    return (length > kBlockOverhead && (length - kBlockOverhead) % kBytesPerRow == 0)
               ? (length - kBlockOverhead) / kBytesPerRow
               : -1;
}
/// Rows used to locate the status bytes of a block of `length` bytes: the
/// exact row count when the length is well formed; for other lengths the
/// full-rate layout applies, which needs at least 253 bytes; -1 when the
/// status record cannot be located at all.
constexpr int statusLayoutRows(int length) {
    const int n = samplesForLength(length);
    if (n > 0) return n;
    return length >= 12 + 10 * (kStatusBytes - 1) + 1 + 7 ? kStatusBytes : -1;
}
constexpr int sampleOffset(int row, int channel) {
    return row < kStatusBytes ? 3 + 10 * row + 3 * channel
                              : 3 + 10 * kStatusBytes + kBytesPerRow * (row - kStatusBytes) + 3 * channel;
}
constexpr int checksumOffset(int length) { return length - 7; }
constexpr int trailerOffset(int length) { return length - 5; }

static_assert(blockLength(100) == 935);
static_assert(statusOffset(24, 100) == 252);
static_assert(statusOffset(24, 1) == 3 + 10 + 23);
static_assert(statusOffset(24, 1) + 1 + 7 == blockLength(1));
static_assert(samplesForLength(935) == 100);
static_assert(kMaxSampleRate == 1107);
static_assert(sampleOffset(25, 0) == 253);
static_assert(blockLength(kMaxSampleRate) <= kMaxBlockBytes);

/// Byte sum (mod 65536) of the first `count` bytes.
inline uint16_t byteSum(const uint8_t* data, std::size_t count) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += data[i];
    return uint16_t(sum);
}

/// The 25 status bytes of a block laid out with `rows` rows (statusLayoutRows).
inline void readStatus(const uint8_t* block, int rows, uint8_t (&status)[kStatusBytes]) {
    for (int i = 0; i < kStatusBytes; ++i) status[i] = block[statusOffset(i, rows)];
}

inline uint32_t statusBlockNumber(const uint8_t (&s)[kStatusBytes]) { return platform::get_u32le(&s[kStBlockNumber]); }
inline uint32_t statusMarkSeconds(const uint8_t (&s)[kStatusBytes]) { return platform::get_u32be(&s[kStMarkSeconds]); }

}  // namespace velt::recorder

// The fixed section of data header (48 bytes) and blockette 1000 of the
// 512-byte Steim-2 data records the miniSEED store writes, and the per-record
// update of the header within one run.
//
// Fixed section of data header (multi-byte numbers big-endian):
//
//   offset size field                          value written
//   ------ ---- ------------------------------ ---------------------------------
//    0     6    sequence number, ASCII digits   see below
//    6     1    data quality indicator          'D'
//    7     1    reserved                        ' '
//    8     5    station code                    stationName, space padded, cut to 5
//   13     2    location identifier             "  "
//   15     3    channel identifier              channelName[c], space padded, cut to 3
//   18     2    network code                    "  "
//   20     2    start time: year
//   22     2               day of year (1 = 1 January)
//   24     1               hour
//   25     1               minute
//   26     1               second
//   27     1               unused (0)
//   28     2               fraction, 0.0001 s
//   30     2    number of samples               samples in the record
//   32     2    sample rate factor              sampleRate
//   34     2    sample rate multiplier          1
//   36     1    activity flags                  0
//   37     1    I/O and clock flags             0
//   38     1    data quality flags              0
//   39     1    number of blockettes that follow 1
//   40     4    time correction                 0
//   44     2    beginning of data               64
//   46     2    first blockette                 48
//
// Blockette 1000 (8 bytes, at offset 48):
//
//   0  2  blockette type     1000
//   2  2  next blockette     0
//   4  1  encoding format    11 (Steim-2)
//   5  1  word order         1 (big-endian)
//   6  1  record length      9 (2^9 = 512 bytes)
//   7  1  reserved           0
//
// Sequence numbers: the first record of a run gets (run counter mod 1000) x
// 1000 + 1, so the runs of one channel are told apart by the leading three
// digits for a thousand runs; every further record of the run counts up by
// one, and 999999 is followed by 000001.
//
// The start time is held beside the bytes as whole seconds and ticks of
// 0.0001 s, together with the run's carried remainder, so that advancing the
// header never drifts however many records a run has.
#pragma once

#include <array>
#include <cstdint>

#include "recorder/configuration_record.h"

namespace velt::outputs {

namespace mseed {

constexpr int kRecordLength = 512;
constexpr int kRecordLengthExponent = 9;
constexpr int kFixedHeaderSize = 48;
constexpr int kBlockette1000Size = 8;
constexpr int kDataOffset = 64;  // the first data frame
static_assert(kFixedHeaderSize + kBlockette1000Size <= kDataOffset);
static_assert((1 << kRecordLengthExponent) == kRecordLength);

// Fixed section of data header.
constexpr int kOffSequence = 0;
constexpr int kSequenceDigits = 6;
constexpr int kOffQuality = 6;
constexpr int kOffReserved = 7;
constexpr int kOffStation = 8;
constexpr int kStationChars = 5;
constexpr int kOffLocation = 13;
constexpr int kLocationChars = 2;
constexpr int kOffChannel = 15;
constexpr int kChannelChars = 3;
constexpr int kOffNetwork = 18;
constexpr int kNetworkChars = 2;
constexpr int kOffYear = 20;
constexpr int kOffDayOfYear = 22;
constexpr int kOffHour = 24;
constexpr int kOffMinute = 25;
constexpr int kOffSecond = 26;
constexpr int kOffTimeUnused = 27;
constexpr int kOffFraction = 28;
constexpr int kOffSampleCount = 30;
constexpr int kOffRateFactor = 32;
constexpr int kOffRateMultiplier = 34;
constexpr int kOffActivityFlags = 36;
constexpr int kOffIoFlags = 37;
constexpr int kOffQualityFlags = 38;
constexpr int kOffBlocketteCount = 39;
constexpr int kOffTimeCorrection = 40;
constexpr int kOffDataBegin = 44;
constexpr int kOffFirstBlockette = 46;
static_assert(kOffFirstBlockette + 2 == kFixedHeaderSize);

// Blockette 1000, relative to its own start.
constexpr int kB1000OffType = 0;
constexpr int kB1000OffNext = 2;
constexpr int kB1000OffEncoding = 4;
constexpr int kB1000OffWordOrder = 5;
constexpr int kB1000OffLength = 6;
constexpr int kB1000OffReserved = 7;
static_assert(kB1000OffReserved + 1 == kBlockette1000Size);

constexpr uint16_t kBlockette1000Type = 1000;
constexpr uint8_t kEncodingSteim2 = 11;
constexpr uint8_t kWordOrderBigEndian = 1;
constexpr int kTicksPerSecond = 10000;

}  // namespace mseed

/// Header template of the records of one run: the 48 header bytes plus the
/// record start time and the tick remainder carried from record to record.
struct MseedHeader {
    std::array<uint8_t, mseed::kFixedHeaderSize> bytes{};
    int64_t startSeconds = 0;    // whole seconds since 1970 UTC of the record start
    int32_t startTicks = 0;      // 0 .. 9999, units of 0.0001 s
    uint64_t tickRemainder = 0;  // carried part of a tick, in units of 1/rate tick
};

/// @brief Header template of the first record of a run of channel `channel`
/// (any index; channels without a name entry get a blank channel code) that
/// starts at `runStart` seconds since 1970, with `delay` read as microseconds
/// and the sequence number derived from `runCounter`. Never fails.
MseedHeader buildRunHeader(const recorder::ConfigurationRecord& config, int channel,
                           int64_t runStart, uint32_t runCounter);

/// @brief Prepares `header` for the next record of its run after a record of
/// `samples` samples: start time, sequence number, sample count 0.
void advanceHeader(MseedHeader& header, uint32_t samples);

/// @brief Writes `samples` into the sample-count field of a header or record.
void setRecordSampleCount(uint8_t* header, uint16_t samples);

/// @brief The blockette 1000 this system places after every header.
std::array<uint8_t, mseed::kBlockette1000Size> blockette1000();

}  // namespace velt::outputs

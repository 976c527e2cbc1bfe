// The simulated recorder's station parameters: the 512-byte image of its
// EEPROM, as the editor reads it with "EPR?" and changes it with "EPRW".
// Integers and floats are little-endian, floats IEEE-754 single precision.
//
//   offset  size    content
//   0       2       signature 55 AA
//   2       2       device number, u16
//   4       18      not interpreted
//   22      2       phase-loop word, u16: bits 0-14 value, bit 15 flag
//   24      4       configuration number, u32
//   28      4       restart number, u32
//   32      1       number of channels
//   33      1       bits 0-2 sample-rate code: 0 = 50, 1 = 100, 2 = 200 per second
//   34      1       not interpreted
//   35      13      station name (text field)
//   48      3 x 8   channel names (text fields)
//   72      3 x 8   sensor names or comments (text fields)
//   96      3 x 16  channel records (below), channel c at 96 + 16 c
//   144     1       pulse-calibration item count, 0..7
//   145     7 x 2   pulse-calibration items
//   159     1       not interpreted
//   160     96      response area: tables of one length byte L and L data bytes
//   256     256     not interpreted
//
// Channel record:
//   0   1   units code: 1 m/count, 2 (m/sec)/count, 3 (m/sec**2)/count, 0 unknown, FF none
//   1   4   calibration value, float; FF FF FF FF when not set
//   5   4   calibration period in seconds, float; FF FF FF FF when not set
//   9   5   not interpreted
//   14  2   address of the channel's response table in the image, u16
//
// Text field: the characters, then 00 when the text is shorter than the
// field, then FF up to the end of the field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "recorder/stream_encoder.h"

namespace veltsim::eeprom {

constexpr std::size_t kImageBytes = 512;
using Image = std::array<uint8_t, kImageBytes>;

constexpr std::size_t kSignature = 0;
constexpr std::size_t kDevice = 2;
constexpr std::size_t kPhaseLoop = 22;
constexpr std::size_t kConfigNumber = 24;
constexpr std::size_t kRestartNumber = 28;
constexpr std::size_t kChannelCount = 32;
constexpr std::size_t kRateByte = 33;
constexpr std::size_t kStationName = 35;
constexpr std::size_t kStationNameBytes = 13;
constexpr std::size_t kChannelNames = 48;
constexpr std::size_t kSensorNames = 72;
constexpr std::size_t kNameBytes = 8;  // a channel or sensor name
constexpr std::size_t kChannelRecords = 96;
constexpr std::size_t kChannelRecordBytes = 16;
constexpr std::size_t kPulseCount = 144;
constexpr std::size_t kPulseItems = 145;
constexpr std::size_t kPulseItemBytes = 2;
constexpr std::size_t kMaxPulseItems = 7;
constexpr std::size_t kResponseArea = 160;
constexpr std::size_t kResponseAreaBytes = 96;
constexpr int kChannels = 3;

// Within a channel record.
constexpr std::size_t kRecUnits = 0;
constexpr std::size_t kRecCalibration = 1;
constexpr std::size_t kRecPeriod = 5;
constexpr std::size_t kRecResponse = 14;

constexpr uint8_t kSignature0 = 0x55;
constexpr uint8_t kSignature1 = 0xAA;
constexpr uint8_t kErased = 0xFF;  // uninterpreted bytes of a fresh image
constexpr uint8_t kRateCodeNone = 7;  // a rate other than 50, 100 or 200

static_assert(kChannelRecords + kChannels * kChannelRecordBytes == kPulseCount);
static_assert(kPulseItems + kMaxPulseItems * kPulseItemBytes + 1 == kResponseArea);
static_assert(kResponseArea + kResponseAreaBytes == 256);

/// @brief Bytes of the answer to "EPR?" per data line.
constexpr std::size_t kDumpBytesPerLine = 16;

/// @brief A fresh image for a station streaming with `settings`: signature,
/// device, numbers, names and rate code of the stream, three channel records
/// that share one response table, and three pulse-calibration items.
Image makeImage(const velt::recorder::EncoderSettings& settings);

/// @brief Reads `path` into `image`.
/// @return 0 read, 1 no such file (image untouched), -1 unreadable or not 512 bytes.
int loadImage(const std::string& path, Image& image);

/// @brief Replaces `path` by the image atomically. @return 0, or -1 (errno set).
int saveImage(const std::string& path, const Image& image);

/// @brief Appends the 32 data lines of the answer to "EPR?":
/// "!AAAA: HH HH ... HH\r\n", the address of the line's first byte and its
/// sixteen bytes in upper-case hexadecimal; bytes at positions 7 + 3 i.
void appendDump(const Image& image, std::string& out);

}  // namespace veltsim::eeprom

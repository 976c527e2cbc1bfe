// The recorder's station parameters: the 512-byte image of its EEPROM.
// Multi-byte integers and floats are little-endian, floats IEEE-754 single
// precision.
//
//   offset  size    content                                        editor
//   0       2       signature 55 AA                                kept
//   2       2       device number, u16                             shown
//   4       18      not interpreted                                kept
//   22      2       phase-loop word: bits 0-14 value, bit 15 flag  hidden controls
//   24      4       configuration number, 32-bit                   shown
//   28      4       restart number, 32-bit                         shown
//   32      1       number of channels (the editor handles 3)      shown
//   33      1       bits 0-2 sample-rate code 0/1/2 = 50/100/200   code edited
//   34      1       not interpreted                                kept
//   35      13      station name (text field)                      edited
//   48      3 x 8   channel names (text fields)                    edited
//   72      3 x 8   sensor names or comments (text fields)         edited
//   96      3 x 16  channel records, channel c at 96 + 16 c        edited
//   144     1       pulse-calibration item count, 0..7             edited
//   145     7 x 2   pulse-calibration items                        edited
//   159     1       not interpreted                                kept
//   160     96      response area: tables of a length byte L and L bytes
//   256     256     not interpreted                                kept
//
// Channel record:
//   0   1   units code (1 m/count, 2 (m/sec)/count, 3 (m/sec**2)/count, 0 unknown, FF none)
//   1   4   calibration value, float; FF FF FF FF: not set
//   5   4   calibration period in seconds, float; FF FF FF FF: not set
//   9   5   not interpreted, kept
//   14  2   address of the channel's response table, u16; 0, 00FF and
//           200 or more: none
//
// Text field: the characters, then 00 when the text is shorter than the
// field, then FF up to its end; a text that fills the field has no end mark.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velt::veltedit {

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
constexpr std::size_t kNameBytes = 8;
constexpr std::size_t kChannelRecords = 96;
constexpr std::size_t kChannelRecordBytes = 16;
constexpr std::size_t kPulseCount = 144;
constexpr std::size_t kPulseItems = 145;
constexpr std::size_t kPulseItemBytes = 2;
constexpr int kMaxPulseItems = 7;
constexpr std::size_t kResponseArea = 160;
constexpr std::size_t kResponseAreaBytes = 96;
constexpr int kMaxChannels = 3;

// Within a channel record.
constexpr std::size_t kRecUnits = 0;
constexpr std::size_t kRecCalibration = 1;
constexpr std::size_t kRecPeriod = 5;
constexpr std::size_t kRecResponse = 14;

constexpr uint8_t kRateCodeMask = 0x07;
constexpr uint16_t kPhaseLoopFlag = 0x8000;
constexpr uint16_t kPhaseLoopValueMask = 0x7FFF;
constexpr uint8_t kTextEnd = 0x00;
constexpr uint8_t kTextFill = 0xFF;
constexpr uint8_t kUnitsNone = 0xFF;

static_assert(kStationName + kStationNameBytes == kChannelNames);
static_assert(kChannelNames + kMaxChannels * kNameBytes == kSensorNames);
static_assert(kSensorNames + kMaxChannels * kNameBytes == kChannelRecords);
static_assert(kChannelRecords + kMaxChannels * kChannelRecordBytes == kPulseCount);
static_assert(kPulseItems + kMaxPulseItems * kPulseItemBytes + 1 == kResponseArea);
static_assert(kResponseArea + kResponseAreaBytes == 256);
static_assert(kRecResponse + 2 == kChannelRecordBytes);

/// @brief Offset of channel `c`'s record.
constexpr std::size_t channelRecord(int c) { return kChannelRecords + kChannelRecordBytes * std::size_t(c); }

}  // namespace velt::veltedit

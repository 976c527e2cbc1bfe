// SeedLink packets as they go on the wire, and the miniSEED record fields the
// server reads to route them.
//
// Protocol 3 packet (8-byte header, then one 512-byte record):
//   0  2  "SL"
//   2  6  sequence number, six upper-case hexadecimal digits (24 bits)
// Protocol 3 INFO packet: "SLINFO" then " *" while more follow, "  " on the last.
//
// Protocol 4 packet (17-byte header + station identifier, then the payload):
//   0  2  "SE"
//   2  1  format ('2' miniSEED 2, 'J' JSON)
//   3  1  subformat ('D' data, 'I' info, 'E' error)
//   4  4  payload length, little-endian
//   8  8  sequence number, little-endian
//  16  1  length of the station identifier
//  17  n  station identifier ("NET_STA")
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/endian.h"

namespace velt::serve {

namespace packet {
constexpr int kV3HeaderSize = 8;
constexpr int kV3SequenceDigits = 6;
constexpr uint64_t kV3SequenceModulus = uint64_t(1) << 24;
constexpr int kV4FixedHeaderSize = 17;
constexpr int kV4OffFormat = 2;
constexpr int kV4OffSubformat = 3;
constexpr int kV4OffPayloadLength = 4;
constexpr int kV4OffSequence = 8;
constexpr int kV4OffStationLength = 16;
constexpr int kMaxStationIdChars = 255;
constexpr int kRecordLength = 512;
constexpr std::string_view kDialUpEnd = "END";
}  // namespace packet

/// @brief The protocol-3 header of a record with sequence number `sequence`
/// (its 24 least significant bits).
std::string v3Header(uint64_t sequence);

/// @brief The protocol-4 header of a payload of `length` bytes.
std::string v4Header(char format, char subformat, uint32_t length, uint64_t sequence, std::string_view stationId);
/// @brief Both headers appended to `out` (which keeps its capacity: no
/// allocation per packet when it is reused).
void appendV3Header(std::string& out, uint64_t sequence);
void appendV4Header(std::string& out, char format, char subformat, uint32_t length, uint64_t sequence,
                    std::string_view stationId);

/// @brief Reads a protocol-4 header at the start of `bytes`. @return the
/// header's length (17 + station identifier), or 0 when `bytes` does not
/// hold a whole one.
std::size_t parseV4Header(std::string_view bytes, char& format, char& subformat, uint32_t& length,
                          uint64_t& sequence, std::string& stationId);

/// The fields of a miniSEED 2 record that select and time it.
struct RecordFields {
    std::string network;   // blanks trimmed
    std::string station;   // blanks trimmed
    std::string location;  // blanks trimmed
    std::string channel;   // blanks trimmed
    char quality = 'D';
    int64_t startMicros = 0;  // first sample, microseconds since 1970
    int64_t endMicros = 0;    // the sample after the last
};

/// @brief Reads the routing fields of a 512-byte record. @return false when
/// the header is not one of a data record (no valid time or rate).
bool readRecordFields(const uint8_t* record, RecordFields& fields);

/// @brief The stream identifier of protocol 4: "LOC_B_S_SS" for a
/// three-letter channel, "LOC_CHANNEL" otherwise.
std::string streamId(const RecordFields& fields);

}  // namespace velt::serve

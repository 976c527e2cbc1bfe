#include "serve/seedlink_packet.h"

#include <cstdio>

#include "outputs/mseed_header.h"
#include "platform/calendar.h"

namespace velt::serve {

namespace {

void putU64le(uint8_t* p, uint64_t v) {
    platform::put_u32le(p, uint32_t(v));
    platform::put_u32le(p + 4, uint32_t(v >> 32));
}

std::string trimmedField(const uint8_t* p, int chars) {
    std::string text(reinterpret_cast<const char*>(p), std::size_t(chars));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    std::size_t lead = 0;
    while (lead < text.size() && text[lead] == ' ') ++lead;
    return text.substr(lead);
}

}  // namespace

std::string v3Header(uint64_t sequence) {
    std::string header;
    appendV3Header(header, sequence);
    return header;
}

void appendV3Header(std::string& out, uint64_t sequence) {
    char text[packet::kV3HeaderSize + 1];
    std::snprintf(text, sizeof text, "SL%06X", unsigned(sequence % packet::kV3SequenceModulus));
    out.append(text, packet::kV3HeaderSize);
}

std::string v4Header(char format, char subformat, uint32_t length, uint64_t sequence, std::string_view stationId) {
    std::string header;
    appendV4Header(header, format, subformat, length, sequence, stationId);
    return header;
}

void appendV4Header(std::string& out, char format, char subformat, uint32_t length, uint64_t sequence,
                    std::string_view stationId) {
    const std::size_t idLength = std::min<std::size_t>(stationId.size(), packet::kMaxStationIdChars);
    uint8_t p[packet::kV4FixedHeaderSize];
    p[0] = 'S';
    p[1] = 'E';
    p[packet::kV4OffFormat] = uint8_t(format);
    p[packet::kV4OffSubformat] = uint8_t(subformat);
    platform::put_u32le(p + packet::kV4OffPayloadLength, length);
    putU64le(p + packet::kV4OffSequence, sequence);
    p[packet::kV4OffStationLength] = uint8_t(idLength);
    out.append(reinterpret_cast<const char*>(p), sizeof p);
    out.append(stationId.substr(0, idLength));
}

std::size_t parseV4Header(std::string_view bytes, char& format, char& subformat, uint32_t& length,
                          uint64_t& sequence, std::string& stationId) {
    if (bytes.size() < std::size_t(packet::kV4FixedHeaderSize) || bytes[0] != 'S' || bytes[1] != 'E') return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const std::size_t idLength = p[packet::kV4OffStationLength];
    if (bytes.size() < std::size_t(packet::kV4FixedHeaderSize) + idLength) return 0;
    format = char(p[packet::kV4OffFormat]);
    subformat = char(p[packet::kV4OffSubformat]);
    length = platform::get_u32le(p + packet::kV4OffPayloadLength);
    sequence = uint64_t(platform::get_u32le(p + packet::kV4OffSequence)) |
               (uint64_t(platform::get_u32le(p + packet::kV4OffSequence + 4)) << 32);
    stationId.assign(bytes.substr(std::size_t(packet::kV4FixedHeaderSize), idLength));
    return std::size_t(packet::kV4FixedHeaderSize) + idLength;
}

bool readRecordFields(const uint8_t* record, RecordFields& fields) {
    namespace m = outputs::mseed;
    using platform::get_u16be;
    const int year = get_u16be(record + m::kOffYear);
    const int day = get_u16be(record + m::kOffDayOfYear);
    const int factor = int16_t(get_u16be(record + m::kOffRateFactor));
    const int multiplier = int16_t(get_u16be(record + m::kOffRateMultiplier));
    if (year < 1900 || year > 2500 || day < 1 || day > 366 || record[m::kOffHour] > 23 ||
        record[m::kOffMinute] > 59 || record[m::kOffSecond] > 60)
        return false;
    fields.quality = char(record[m::kOffQuality]);
    fields.network = trimmedField(record + m::kOffNetwork, m::kNetworkChars);
    fields.station = trimmedField(record + m::kOffStation, m::kStationChars);
    fields.location = trimmedField(record + m::kOffLocation, m::kLocationChars);
    fields.channel = trimmedField(record + m::kOffChannel, m::kChannelChars);
    const int64_t second = (platform::daysFromCivil(year, 1, 1) + day - 1) * 86400 + record[m::kOffHour] * 3600 +
                           record[m::kOffMinute] * 60 + record[m::kOffSecond];
    fields.startMicros = second * 1'000'000 + int64_t(get_u16be(record + m::kOffFraction)) * 100;
    // Rate as the SEED header gives it: a positive factor is samples per
    // second, a negative one seconds per sample; the multiplier likewise.
    double rate = factor > 0 ? factor : (factor < 0 ? -1.0 / factor : 0.0);
    if (multiplier > 0) rate *= multiplier;
    else if (multiplier < 0) rate /= -multiplier;
    const int samples = get_u16be(record + m::kOffSampleCount);
    fields.endMicros = fields.startMicros + (rate > 0 ? int64_t(samples * 1e6 / rate) : 0);
    return true;
}

std::string streamId(const RecordFields& fields) {
    const std::string& c = fields.channel;
    if (c.size() == 3) return fields.location + "_" + c[0] + "_" + c[1] + "_" + c[2];
    return fields.location + "_" + c;
}

}  // namespace velt::serve

#include "veltedit/station_parameters.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/endian.h"

namespace velt::veltedit {

namespace {

struct Units {
    uint8_t code;
    const char* text;
};
constexpr Units kUnits[kUnitsEntries] = {
    {1, "m/count"}, {2, "(m/sec)/count"}, {3, "(m/sec**2)/count"}, {0, "unkn."}, {kUnitsNone, "none"}};
constexpr const char* kRates[kRateEntries] = {"50", "100", "200"};
constexpr uint32_t kNotSet = 0xFFFFFFFFu;
constexpr std::size_t kNumberChars = 100;

float getFloat(const uint8_t* p) {
    const uint32_t bits = platform::get_u32le(p);
    if (bits == kNotSet) return 0;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void putFloat(uint8_t* p, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    platform::put_u32le(p, bits);
}

// A field's text up to the first character outside 33..127, at most `limit`.
std::string printablePrefix(const std::string& text, std::size_t limit) {
    std::size_t n = 0;
    while (n < text.size() && n < limit && uint8_t(text[n]) >= 33 && uint8_t(text[n]) <= 127) ++n;
    return text.substr(0, n);
}

// A leading number as "%e" and "%f" read it; `value` is kept when there is none.
void readFloat(const std::string& text, float& value) {
    char* end = nullptr;
    const float v = std::strtof(text.c_str(), &end);
    if (end != text.c_str()) value = v;
}

std::string format(const char* fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

}  // namespace

uint8_t unitsCode(int index) { return index >= 0 && index < kUnitsEntries ? kUnits[index].code : kUnitsNone; }

int unitsIndex(uint8_t code) {
    for (int i = 0; i < kUnitsEntries; ++i)
        if (kUnits[i].code == code) return i;
    return kUnitsNoneIndex;
}

const char* unitsText(int index) { return index >= 0 && index < kUnitsEntries ? kUnits[index].text : ""; }

const char* rateText(int index) { return index >= 0 && index < kRateEntries ? kRates[index] : ""; }

int StationParameters::rateIndex() const {
    const int code = rateByte & kRateCodeMask;
    return code < kRateEntries ? code : -1;
}

std::string readTextField(const Image& image, std::size_t offset, std::size_t size, bool stopAtFill) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t b = image[offset + i];
        if (b == kTextEnd || (stopAtFill && b == kTextFill)) break;
        text += char(b);
    }
    return text;
}

void writeTextField(Image& image, std::size_t offset, std::size_t size, const std::string& text) {
    const std::size_t n = text.size() < size ? text.size() : size;
    for (std::size_t i = 0; i < size; ++i) {
        if (i < n) image[offset + i] = uint8_t(text[i]);
        else image[offset + i] = i == n ? kTextEnd : kTextFill;
    }
}

StationParameters decodeStation(const Image& image) {
    StationParameters p;
    p.device = platform::get_u16le(&image[kDevice]);
    p.rateByte = image[kRateByte];
    p.restartNumber = int32_t(platform::get_u32le(&image[kRestartNumber]));
    p.configNumber = int32_t(platform::get_u32le(&image[kConfigNumber]));
    p.channelCount = image[kChannelCount];
    const uint16_t loop = platform::get_u16le(&image[kPhaseLoop]);
    p.phaseLoopValue = loop & kPhaseLoopValueMask;
    p.phaseLoopFlag = (loop & kPhaseLoopFlag) != 0 ? 1 : 0;
    p.station = readTextField(image, kStationName, kStationNameBytes, false);
    for (int c = 0; c < p.shown(); ++c) {
        ChannelParameters& ch = p.channels[std::size_t(c)];
        ch.name = readTextField(image, kChannelNames + kNameBytes * std::size_t(c), kNameBytes, true);
        ch.sensor = readTextField(image, kSensorNames + kNameBytes * std::size_t(c), kNameBytes, true);
        const uint8_t* rec = &image[channelRecord(c)];
        ch.units = rec[kRecUnits];
        ch.calibration = getFloat(rec + kRecCalibration);
        ch.period = getFloat(rec + kRecPeriod);
        const int address = platform::get_u16le(rec + kRecResponse);
        if (isTableAddress(address)) {
            ch.responseAddress = address;
            ch.responseSize = image[std::size_t(address)];
            if (!p.responses.contains(address)) p.responses.append(ResponseTable{address, ch.responseSize + 1});
        }
    }
    return p;
}

std::string channelSummary(const StationParameters& p) {
    std::string text;
    for (int c = 0; c < p.shown(); ++c) {
        const ChannelParameters& ch = p.channels[std::size_t(c)];
        char head[64];
        std::snprintf(head, sizeof head, "%d:  %s  %s ", c + 1, ch.name.c_str(), ch.sensor.c_str());
        text += head;
        if (ch.units == kUnitsNone) {
            text += " no resp. ";
        } else {
            const int index = unitsIndex(ch.units);
            const char* units = kUnits[index].code == ch.units ? kUnits[index].text : "unk.";
            char line[128];
            std::snprintf(line, sizeof line, "\r\n    %.3e %s (%.3f sec.) ", double(ch.calibration), units,
                          double(ch.period));
            text += line;
        }
        text += "\r\n";
    }
    return text;
}

void StationEditor::load(const Image& image) {
    p_ = decodeStation(image);
    current_ = 0;
}

void StationEditor::clear() {
    p_ = StationParameters{};
    current_ = 0;
}

ChannelFields StationEditor::channelFields() const {
    ChannelFields f;
    if (!hasChannel()) return f;
    const ChannelParameters& ch = p_.channels[std::size_t(current_)];
    f.number = std::to_string(current_ + 1);
    f.name = ch.name;
    f.sensor = ch.sensor;
    f.calibration = format("%e", double(ch.calibration));
    f.period = format("%f", double(ch.period));
    f.unitsIndex = unitsIndex(ch.units);
    return f;
}

StationFields StationEditor::stationFields() const {
    StationFields f;
    f.station = p_.station;
    f.rateIndex = p_.rateIndex();
    f.phaseLoop = std::to_string(p_.phaseLoopValue);
    f.phaseLoopFlag = p_.phaseLoopFlag != 0;
    return f;
}

void StationEditor::takeBack(const ChannelFields& fields) {
    if (!hasChannel() || fields.number != std::to_string(current_ + 1)) return;
    ChannelParameters& ch = p_.channels[std::size_t(current_)];
    ch.name = printablePrefix(fields.name, kNameBytes);
    ch.sensor = printablePrefix(fields.sensor, kNameBytes);
    // A text left as shown keeps the value's exact bits: "%e" and "%f" do
    // not carry every digit of a float, and a save must not change what the
    // operator did not touch.
    if (fields.calibration != format("%e", double(ch.calibration)))
        readFloat(printablePrefix(fields.calibration, kNumberChars), ch.calibration);
    if (fields.period != format("%f", double(ch.period))) readFloat(printablePrefix(fields.period, kNumberChars), ch.period);
    ch.units = fields.unitsIndex >= 0 && fields.unitsIndex < kUnitsEntries ? unitsCode(fields.unitsIndex) : kUnitsNone;
}

void StationEditor::prev(const ChannelFields& fields) {
    if (p_.shown() == 0) return;
    takeBack(fields);
    current_ = current_ - 1 < 0 ? p_.shown() - 1 : current_ - 1;
}

void StationEditor::next(const ChannelFields& fields) {
    if (p_.shown() == 0) return;
    takeBack(fields);
    current_ = current_ + 1 >= p_.shown() ? 0 : current_ + 1;
}

std::string StationEditor::responseText() const {
    if (!hasChannel()) return std::string();
    const ChannelParameters& ch = p_.channels[std::size_t(current_)];
    if (ch.responseAddress == 0) return " ";
    char text[32];
    std::snprintf(text, sizeof text, "%4.4X (%d)", unsigned(ch.responseAddress), ch.responseSize);
    return text;
}

void StationEditor::encode(const StationFields& station, const ChannelFields& fields, Image& image) {
    takeBack(fields);
    p_.station = station.station.substr(0, kStationNameBytes);
    writeTextField(image, kStationName, kStationNameBytes, p_.station);
    if (station.rateIndex >= 0 && station.rateIndex < kRateEntries)
        p_.rateByte = uint8_t((p_.rateByte & ~kRateCodeMask) | station.rateIndex);
    image[kRateByte] = p_.rateByte;
    // "%d": a leading decimal number; its low 16 bits, 0 meaning "leave it".
    const long loop = std::strtol(station.phaseLoop.c_str(), nullptr, 10);
    const uint16_t word = uint16_t(static_cast<unsigned long>(loop) & 0xFFFFu);
    if (word != 0) platform::put_u16le(&image[kPhaseLoop], station.phaseLoopFlag ? uint16_t(word | kPhaseLoopFlag) : word);
    for (int c = 0; c < p_.shown(); ++c) {
        const ChannelParameters& ch = p_.channels[std::size_t(c)];
        writeTextField(image, kChannelNames + kNameBytes * std::size_t(c), kNameBytes, ch.name);
        writeTextField(image, kSensorNames + kNameBytes * std::size_t(c), kNameBytes, ch.sensor);
        uint8_t* rec = &image[channelRecord(c)];
        rec[kRecUnits] = ch.units;
        putFloat(rec + kRecCalibration, ch.calibration);
        putFloat(rec + kRecPeriod, ch.period);
    }
}

void StationEditor::applyResponseForm(const ResponseForm& form, Image& image) {
    const ResponseList& tables = form.tables();
    for (int i = tables.count() - form.added(); i < tables.count(); ++i) p_.responses.append(tables.at(i));
    if (form.selected() < 0 || !hasChannel()) return;
    const ResponseTable& chosen = tables.at(form.selected());
    ChannelParameters& ch = p_.channels[std::size_t(current_)];
    ch.responseAddress = chosen.address;
    ch.responseSize = chosen.size;
    platform::put_u16le(&image[channelRecord(current_) + kRecResponse], uint16_t(chosen.address));
}

}  // namespace velt::veltedit

#include "veltedit/station_parameters.h"

#include <charconv>
#include <cmath>
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

// "%e" (scientific) or "%f" (fixed) with `precision` digits, in C notation
// whatever the locale.
std::string format(double value, std::chars_format style, int precision) {
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, style, precision);
    return error == std::errc() ? std::string(text, end) : std::string();
}
std::string scientific(double value, int precision = 6) { return format(value, std::chars_format::scientific, precision); }
std::string fixed(double value, int precision = 6) { return format(value, std::chars_format::fixed, precision); }

// The whole text (blanks around it allowed) as a finite float in C
// notation; otherwise a problem for `control` ("Calib") is added.
bool readNumber(const std::string& text, const char* control, const char* label, float& value, FieldProblems& problems) {
    std::size_t from = text.find_first_not_of(' ');
    const std::size_t to = text.find_last_not_of(' ') + 1;
    if (from != std::string::npos && text[from] == '+') ++from;
    float v = 0;
    const char* first = text.data() + (from == std::string::npos ? text.size() : from);
    const char* last = text.data() + (from == std::string::npos ? text.size() : to);
    const auto [end, error] = std::from_chars(first, last, v);
    std::string why;
    if (first == last) why = "is empty: type a number such as 6.25e-10";
    else if (error == std::errc::result_out_of_range) why = "\"" + text + "\" is out of the range of the field (1.2e-38 to 3.4e38)";
    else if (error != std::errc() || end != last) why = "\"" + text + "\" is not a number (C notation: 6.25e-10)";
    else if (!std::isfinite(v)) why = "\"" + text + "\" is not a finite number";
    if (why.empty()) {
        value = v;
        return true;
    }
    problems.push_back(FieldProblem{control, std::string(label) + ": " + why});
    return false;
}

// A name typed into a field of `size` bytes.
bool nameFits(const std::string& text, std::size_t size, const char* control, const char* label, FieldProblems& problems) {
    if (text.size() <= size) return true;
    problems.push_back(FieldProblem{control, std::string(label) + ": \"" + text + "\" is longer than the " +
                                                 std::to_string(size) + " characters the station keeps"});
    return false;
}

std::string channelName(const char* what, int c) { return "channel " + std::to_string(c + 1) + " " + what; }

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

ImageField fieldAt(std::size_t a) {
    auto in = [a](std::size_t begin, std::size_t size) { return a >= begin && a < begin + size; };
    auto field = [](std::size_t begin, std::size_t size, std::string name) {
        return ImageField{begin, begin + size, std::move(name)};
    };
    if (in(kSignature, 2)) return field(kSignature, 2, "signature");
    if (in(kDevice, 2)) return field(kDevice, 2, "device number");
    if (in(kPhaseLoop, 2)) return field(kPhaseLoop, 2, "phase loop");
    if (in(kConfigNumber, 4)) return field(kConfigNumber, 4, "configuration number");
    if (in(kRestartNumber, 4)) return field(kRestartNumber, 4, "restart number");
    if (a == kChannelCount) return field(a, 1, "number of channels");
    if (a == kRateByte) return field(a, 1, "sample rate");
    if (in(kStationName, kStationNameBytes)) return field(kStationName, kStationNameBytes, "station name");
    for (int c = 0; c < kMaxChannels; ++c) {
        const std::size_t name = kChannelNames + kNameBytes * std::size_t(c);
        const std::size_t sensor = kSensorNames + kNameBytes * std::size_t(c);
        const std::size_t rec = channelRecord(c);
        if (in(name, kNameBytes)) return field(name, kNameBytes, channelName("name", c));
        if (in(sensor, kNameBytes)) return field(sensor, kNameBytes, channelName("sensor name", c));
        if (a == rec + kRecUnits) return field(a, 1, channelName("units", c));
        if (in(rec + kRecCalibration, 4)) return field(rec + kRecCalibration, 4, channelName("calibration", c));
        if (in(rec + kRecPeriod, 4)) return field(rec + kRecPeriod, 4, channelName("calibration period", c));
        if (in(rec + kRecResponse, 2)) return field(rec + kRecResponse, 2, channelName("response address", c));
    }
    if (a == kPulseCount) return field(a, 1, "pulse-calibration count");
    if (in(kPulseItems, kPulseItemBytes * kMaxPulseItems)) {
        const std::size_t k = (a - kPulseItems) / kPulseItemBytes;
        return field(kPulseItems + k * kPulseItemBytes, kPulseItemBytes, "pulse-calibration item " + std::to_string(k + 1));
    }
    // Tables and the channels' addresses of them are written as one whole.
    if (in(kResponseArea, kResponseAreaBytes)) return field(kResponseArea, kResponseAreaBytes, "response tables");
    return field(a, 1, "byte");
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
            text += "\r\n    " + scientific(double(ch.calibration), 3) + " " + units + " (" + fixed(double(ch.period), 3) +
                    " sec.) ";
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
    f.calibration = scientific(double(ch.calibration));
    f.period = fixed(double(ch.period));
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

FieldProblems StationEditor::takeBack(const ChannelFields& fields) {
    FieldProblems problems;
    if (!hasChannel() || fields.number != std::to_string(current_ + 1)) return problems;
    // A text left as shown is not taken back at all: "%e" and "%f" do not
    // carry every digit of a float, a value not set shows as 0, and a name
    // may hold bytes a field cannot show.
    const ChannelFields shown = channelFields();
    ChannelParameters ch = p_.channels[std::size_t(current_)];
    if (fields.name != shown.name && nameFits(fields.name, kNameBytes, "channelName", "Channel Name", problems)) {
        ch.name = printablePrefix(fields.name, kNameBytes);
        ch.edited |= kEditedName;
    }
    if (fields.sensor != shown.sensor && nameFits(fields.sensor, kNameBytes, "sensor", "Sensor name/comment", problems)) {
        ch.sensor = printablePrefix(fields.sensor, kNameBytes);
        ch.edited |= kEditedSensor;
    }
    if (fields.calibration != shown.calibration && readNumber(fields.calibration, "calib", "Calib", ch.calibration, problems))
        ch.edited |= kEditedCalibration;
    if (fields.period != shown.period && readNumber(fields.period, "calper", "Calper", ch.period, problems)) {
        if (ch.period < 0) problems.push_back(FieldProblem{"calper", "Calper: \"" + fields.period + "\" is negative: a period cannot be"});
        ch.edited |= kEditedPeriod;
    }
    if (fields.unitsIndex != shown.unitsIndex) {
        ch.units = fields.unitsIndex >= 0 && fields.unitsIndex < kUnitsEntries ? unitsCode(fields.unitsIndex) : kUnitsNone;
        ch.edited |= kEditedUnits;
    }
    if (problems.empty()) p_.channels[std::size_t(current_)] = ch;
    return problems;
}

FieldProblems StationEditor::prev(const ChannelFields& fields) {
    if (p_.shown() == 0) return {};
    FieldProblems problems = takeBack(fields);
    if (problems.empty()) current_ = current_ - 1 < 0 ? p_.shown() - 1 : current_ - 1;
    return problems;
}

FieldProblems StationEditor::next(const ChannelFields& fields) {
    if (p_.shown() == 0) return {};
    FieldProblems problems = takeBack(fields);
    if (problems.empty()) current_ = current_ + 1 >= p_.shown() ? 0 : current_ + 1;
    return problems;
}

std::string StationEditor::responseText() const {
    if (!hasChannel()) return std::string();
    const ChannelParameters& ch = p_.channels[std::size_t(current_)];
    if (ch.responseAddress == 0) return " ";
    char text[32];
    std::snprintf(text, sizeof text, "%4.4X (%d)", unsigned(ch.responseAddress), ch.responseSize);
    return text;
}

FieldProblems StationEditor::encode(const StationFields& station, const ChannelFields& fields, Image& image) {
    FieldProblems problems = takeBack(fields);
    const bool stationChanged = station.station != p_.station;
    if (stationChanged) nameFits(station.station, kStationNameBytes, "station", "Station name", problems);
    if (!problems.empty()) return problems;
    if (stationChanged) {
        p_.station = station.station;
        stationEdited_ = true;
    }
    if (stationEdited_) writeTextField(image, kStationName, kStationNameBytes, p_.station);
    if (station.rateIndex >= 0 && station.rateIndex < kRateEntries)
        p_.rateByte = uint8_t((p_.rateByte & ~kRateCodeMask) | station.rateIndex);
    image[kRateByte] = p_.rateByte;
    // "%d": a leading decimal number; its low 16 bits, 0 meaning "leave it".
    const long loop = std::strtol(station.phaseLoop.c_str(), nullptr, 10);
    const uint16_t word = uint16_t(static_cast<unsigned long>(loop) & 0xFFFFu);
    if (word != 0) platform::put_u16le(&image[kPhaseLoop], station.phaseLoopFlag ? uint16_t(word | kPhaseLoopFlag) : word);
    for (int c = 0; c < p_.shown(); ++c) {
        const ChannelParameters& ch = p_.channels[std::size_t(c)];
        if (ch.edited & kEditedName) writeTextField(image, kChannelNames + kNameBytes * std::size_t(c), kNameBytes, ch.name);
        if (ch.edited & kEditedSensor) writeTextField(image, kSensorNames + kNameBytes * std::size_t(c), kNameBytes, ch.sensor);
        uint8_t* rec = &image[channelRecord(c)];
        if (ch.edited & kEditedUnits) rec[kRecUnits] = ch.units;
        if (ch.edited & kEditedCalibration) putFloat(rec + kRecCalibration, ch.calibration);
        if (ch.edited & kEditedPeriod) putFloat(rec + kRecPeriod, ch.period);
    }
    return problems;
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

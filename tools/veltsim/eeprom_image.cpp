#include "eeprom_image.h"

#include <bit>
#include <cstdio>
#include <string_view>

#include "platform/endian.h"
#include "platform/file_util.h"

namespace veltsim::eeprom {

using namespace velt::veltedit;

namespace {

using velt::platform::put_u16le;
using velt::platform::put_u32le;

constexpr uint8_t kSignature0 = 0x55;
constexpr uint8_t kSignature1 = 0xAA;
constexpr uint8_t kErased = 0xFF;     // uninterpreted bytes of a fresh image
constexpr uint8_t kRateCodeNone = 7;  // a rate other than 50, 100 or 200
constexpr int kChannels = velt::recorder::kChannels;  // each channel of the stream has its names and record
static_assert(kChannels <= kMaxChannels);

// The response table every channel of a fresh image points to: its length
// byte and opaque contents, which only the recorder interprets.
constexpr uint8_t kTableLength = 20;
constexpr uint8_t kUnitsVelocity = 2;  // (m/sec)/count
constexpr float kCalibration[kChannels] = {6.25e-10f, 6.30e-10f, 6.20e-10f};
constexpr float kCalibrationPeriod = 1.0f;
constexpr uint8_t kPulses[][kPulseItemBytes] = {{0x1F, 10}, {0x20, 20}, {0xA0, 255}};
constexpr std::size_t kPulseCountFresh = sizeof kPulses / sizeof kPulses[0];
static_assert(kPulseCountFresh <= std::size_t(kMaxPulseItems));
static_assert(kTableLength + 1u <= kResponseAreaBytes);

void putText(Image& image, std::size_t offset, std::size_t size, const std::string& text) {
    for (std::size_t i = 0; i < size; ++i) {
        if (i < text.size()) {
            image[offset + i] = uint8_t(text[i]);
        } else {
            image[offset + i] = i == text.size() ? kTextEnd : kTextFill;
        }
    }
}

void putFloat(Image& image, std::size_t offset, float value) {
    put_u32le(&image[offset], std::bit_cast<uint32_t>(value));
}

uint8_t rateCode(int samplesPerSecond) {
    switch (samplesPerSecond) {
        case 50: return 0;
        case 100: return 1;
        case 200: return 2;
        default: return kRateCodeNone;
    }
}

}  // namespace

Image makeImage(const velt::recorder::EncoderSettings& s) {
    Image image;
    image.fill(kErased);
    image[kSignature] = kSignature0;
    image[kSignature + 1] = kSignature1;
    put_u16le(&image[kDevice], s.device);
    put_u16le(&image[kPhaseLoop], 0);
    put_u32le(&image[kConfigNumber], s.configNumber);
    put_u32le(&image[kRestartNumber], s.restartNumber);
    image[kChannelCount] = kChannels;
    image[kRateByte] = rateCode(s.sampleRate);
    putText(image, kStationName, kStationNameBytes, s.stationName);
    for (int c = 0; c < kChannels; ++c) {
        const std::size_t i = std::size_t(c);
        putText(image, kChannelNames + kNameBytes * i, kNameBytes, i < s.channelNames.size() ? s.channelNames[i] : "");
        putText(image, kSensorNames + kNameBytes * i, kNameBytes, i < s.sensorTexts.size() ? s.sensorTexts[i] : "");
        const std::size_t rec = channelRecord(c);
        image[rec + kRecUnits] = kUnitsVelocity;
        putFloat(image, rec + kRecCalibration, kCalibration[i]);
        putFloat(image, rec + kRecPeriod, kCalibrationPeriod);
        put_u16le(&image[rec + kRecResponse], uint16_t(kResponseArea));
    }
    image[kPulseCount] = uint8_t(kPulseCountFresh);
    for (std::size_t k = 0; k < kPulseCountFresh; ++k) {
        for (std::size_t b = 0; b < kPulseItemBytes; ++b) image[kPulseItems + kPulseItemBytes * k + b] = kPulses[k][b];
    }
    image[kResponseArea] = kTableLength;
    for (uint8_t b = 1; b <= kTableLength; ++b) image[kResponseArea + b] = b;
    return image;
}

int loadImage(const std::string& path, Image& image) {
    if (!velt::platform::fileExists(path)) return 1;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    Image read;
    const std::size_t got = std::fread(read.data(), 1, read.size(), f);
    const bool atEnd = std::fgetc(f) == EOF && !std::ferror(f);
    std::fclose(f);
    if (got != read.size() || !atEnd) return -1;
    image = read;
    return 0;
}

int saveImage(const std::string& path, const Image& image) {
    return velt::platform::writeFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
}

void appendDump(const Image& image, std::string& out) {
    char field[8];
    for (std::size_t line = 0; line < kImageBytes; line += kDumpBytesPerLine) {
        std::snprintf(field, sizeof field, "!%4.4X:", unsigned(line));
        out += field;
        for (std::size_t i = 0; i < kDumpBytesPerLine; ++i) {
            std::snprintf(field, sizeof field, " %2.2X", unsigned(image[line + i]));
            out += field;
        }
        out += "\r\n";
    }
}

}  // namespace veltsim::eeprom

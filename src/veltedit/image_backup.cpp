#include "veltedit/image_backup.h"

#include <cstdio>
#include <string_view>

#include "platform/file_util.h"
#include "veltedit/response_tables.h"
#include "veltedit/station_parameters.h"

namespace velt::veltedit {

namespace {

/// The bits of each byte the editor may change, for `channels` channels.
Image editableMask(int channels) {
    Image mask{};
    auto all = [&mask](std::size_t from, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) mask[from + i] = 0xFF;
    };
    all(kPhaseLoop, 2);
    mask[kRateByte] = kRateCodeMask;
    all(kStationName, kStationNameBytes);
    for (int c = 0; c < channels; ++c) {
        all(kChannelNames + kNameBytes * std::size_t(c), kNameBytes);
        all(kSensorNames + kNameBytes * std::size_t(c), kNameBytes);
        all(channelRecord(c) + kRecUnits, 1 + 4 + 4);
        all(channelRecord(c) + kRecResponse, 2);
    }
    all(kPulseCount, 1 + std::size_t(kMaxPulseItems) * kPulseItemBytes);
    all(kResponseArea, kResponseAreaBytes);
    return mask;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const uint8_t c = uint8_t(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += ch;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%2.2X", unsigned(c));
            out += hex;
        }
    }
    return out;
}

}  // namespace

int loadImageFile(const std::string& path, Image& image) {
    uint8_t bytes[kImageBytes + 1];
    const long n = readFileStart(path, bytes, sizeof bytes);
    if (n < 0) return -1;
    if (n != long(kImageBytes)) return -2;
    std::copy(bytes, bytes + kImageBytes, image.begin());
    return 0;
}

int saveImageFile(const std::string& path, const Image& image) {
    return platform::writeFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
}

std::string describeImage(const Image& image) {
    const StationParameters p = decodeStation(image);
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "Signature: %2.2X %2.2X%s\n", unsigned(image[kSignature]),
                  unsigned(image[kSignature + 1]),
                  image[kSignature] == 0x55 && image[kSignature + 1] == 0xAA ? "" : " (not 55 AA)");
    out += line;
    std::snprintf(line, sizeof line, "Device number: %4.4Xh\nRestart Number: %ld\nConfig Number: %ld\n",
                  unsigned(p.device), long(p.restartNumber), long(p.configNumber));
    out += line;
    out += "Station name: " + escaped(p.station) + "\n";
    const int rate = p.rateIndex();
    std::snprintf(line, sizeof line, "SPS: %s (rate byte %2.2Xh)\nN of channels: %d%s\n",
                  rate < 0 ? "none" : rateText(rate), unsigned(p.rateByte), p.channelCount,
                  p.channelCount > kMaxChannels ? " (three handled)" : "");
    out += line;
    std::snprintf(line, sizeof line, "Phloop: %d, flag %d\n", int(p.phaseLoopValue), p.phaseLoopFlag);
    out += line;
    for (int c = 0; c < p.shown(); ++c) {
        const ChannelParameters& ch = p.channels[std::size_t(c)];
        const int units = unitsIndex(ch.units);
        const bool known = unitsCode(units) == ch.units;
        std::snprintf(line, sizeof line, "Channel %d: name \"%s\", sensor \"%s\", calib %e %s, calper %f sec., ",
                      c + 1, escaped(ch.name).c_str(), escaped(ch.sensor).c_str(), double(ch.calibration),
                      known ? unitsText(units) : "unk.", double(ch.period));
        out += line;
        if (ch.responseAddress == 0) {
            out += "no response table\n";
        } else {
            std::snprintf(line, sizeof line, "response %4.4X (%d)\n", unsigned(ch.responseAddress), ch.responseSize);
            out += line;
        }
    }
    for (int i = 0; i < p.responses.count(); ++i) {
        std::snprintf(line, sizeof line, "Response table: %4.4X, %d bytes\n", unsigned(p.responses.at(i).address),
                      p.responses.at(i).size);
        out += line;
    }
    const int items = image[kPulseCount];
    std::snprintf(line, sizeof line, "Pulse calibration: %d items", items);
    out += line;
    for (int k = 0; k < items && k < kMaxPulseItems; ++k) {
        const std::size_t at = kPulseItems + kPulseItemBytes * std::size_t(k);
        std::snprintf(line, sizeof line, "%s%2.2X %d", k == 0 ? ": " : ", ", unsigned(image[at]), int(image[at + 1]));
        out += line;
    }
    out += "\n";
    return out;
}

int restoreEditable(const Image& backup, Image& edit) {
    const int channels = edit[kChannelCount] < kMaxChannels ? edit[kChannelCount] : kMaxChannels;
    const Image mask = editableMask(channels);
    int changed = 0;
    for (std::size_t a = 0; a < kImageBytes; ++a) {
        const uint8_t b = uint8_t((edit[a] & ~mask[a]) | (backup[a] & mask[a]));
        changed += b != edit[a] ? 1 : 0;
        edit[a] = b;
    }
    return changed;
}

}  // namespace velt::veltedit

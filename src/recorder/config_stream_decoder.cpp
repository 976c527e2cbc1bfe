#include "recorder/config_stream_decoder.h"

#include <cstring>

#include "platform/endian.h"

namespace velt::recorder {

namespace {

struct CodeEntry {
    uint8_t code;
    ConfigRecordType type;
};

constexpr CodeEntry kCodes[] = {
    {kCodeSampleRate, ConfigRecordType::SampleRate},   {kCodeStationName, ConfigRecordType::StationName},
    {kCodeChannelName, ConfigRecordType::ChannelName}, {kCodeBegin, ConfigRecordType::Begin},
    {kCodeEnd, ConfigRecordType::End},                 {kCodeDelay, ConfigRecordType::Delay},
    {kCodeSensorText, ConfigRecordType::SensorText},   {kCodeChannelParams, ConfigRecordType::ChannelParams},
    {kCodeIgnored, ConfigRecordType::Ignored},         {kCodePosition, ConfigRecordType::Position},
};

// Copies at most `maxChars` characters of a text payload (which ends at its
// first zero byte or at `count`) and pads the whole field with zeros.
void copyText(char* field, std::size_t fieldSize, const uint8_t* text, int count, int maxChars) {
    std::memset(field, 0, fieldSize);
    for (int i = 0; i < count && i < maxChars && text[i] != 0; ++i) field[i] = char(text[i]);
}

}  // namespace

ConfigRecordType recordTypeForCode(uint8_t code) {
    for (const CodeEntry& e : kCodes) {
        if (e.code == code) return e.type;
    }
    return ConfigRecordType::None;
}

uint8_t openingCodeFor(ConfigRecordType type) {
    for (const CodeEntry& e : kCodes) {
        if (e.type == type) return e.code;
    }
    return 0;
}

ConfigFraming::Event ConfigFraming::feed(uint8_t b) {
    if (escape_) {
        escape_ = false;
        if (b == kEtx) return Event::End;
        if (b != kDle) {
            code_ = b;
            return Event::Opening;
        }
    } else if (b == kDle) {
        escape_ = true;
        return Event::None;
    }
    if (count_ < kConfigBufferBytes) {
        buffer_[count_++] = b;
    } else {
        overflowed_ = true;
    }
    return Event::None;
}

void ConfigStreamDecoder::feed(uint8_t b) {
    switch (framing_.feed(b)) {
    case ConfigFraming::Event::Opening: {
        // Any other byte after a DLE is dropped with it.
        const ConfigRecordType type = recordTypeForCode(framing_.code());
        if (type != ConfigRecordType::None) {
            open_ = type;
            framing_.startRecord();
        }
        return;
    }
    case ConfigFraming::Event::End:
        apply();
        open_ = ConfigRecordType::None;
        return;
    case ConfigFraming::Event::None:
        return;
    }
}

void ConfigStreamDecoder::reset() {
    framing_.reset();
    open_ = ConfigRecordType::None;
    collecting_ = false;
    complete_ = false;
}

void ConfigStreamDecoder::apply() {
    if (open_ == ConfigRecordType::None) return;
    if (framing_.overflowed()) {
        ++overlong_;
        return;
    }
    const uint8_t* p = framing_.payload();
    const int n = framing_.size();
    switch (open_) {
    case ConfigRecordType::SampleRate: {
        if (n < 3) break;
        const uint32_t rate = platform::get_u16le(p + 1);
        live_.sampleRate = rate;
        if (collecting_) collected_.sampleRate = rate;
        return;
    }
    case ConfigRecordType::StationName:
        copyText(live_.stationName, sizeof live_.stationName, p, n, kStationNameChars);
        if (collecting_) {
            std::memcpy(collected_.stationName, live_.stationName, sizeof live_.stationName);
            if (monitor_) monitor_->setStationName(input_, collected_.stationName);
        }
        return;
    case ConfigRecordType::ChannelName: {
        if (n < 1) break;
        const int c = p[0];
        if (c >= kConfigChannels) return;
        copyText(live_.channelName[c], sizeof live_.channelName[c], p + 1, n - 1, kChannelNameChars);
        if (collecting_) {
            std::memcpy(collected_.channelName[c], live_.channelName[c], sizeof live_.channelName[c]);
            if (monitor_) monitor_->setChannelName(input_, c, collected_.channelName[c]);
        }
        return;
    }
    case ConfigRecordType::Begin:
        collecting_ = true;
        complete_ = false;
        collected_.configNumber = 0;
        std::memset(collected_.stationName, 0, sizeof collected_.stationName);
        std::memset(collected_.channelName, 0, sizeof collected_.channelName);
        collected_.delay = 0;
        for (int c = 0; c < kConfigChannels; ++c) {
            std::memset(collected_.sensorText[c], 0, kSensorTextBytes);
            collected_.channelTextLength[c] = 0;
            std::memset(collected_.channelText[c], 0, 9);
        }
        return;
    case ConfigRecordType::End: {
        if (n < 4) break;
        const uint32_t number = platform::get_u32le(p);
        live_.configNumber = number;
        if (collecting_) {
            collected_.configNumber = number;
            complete_ = true;
            collecting_ = false;
        }
        return;
    }
    case ConfigRecordType::Delay: {
        if (n < 2) break;
        const uint32_t delay = platform::get_u16le(p);
        live_.delay = delay;
        if (collecting_) collected_.delay = delay;
        return;
    }
    case ConfigRecordType::SensorText: {
        if (n < 1 + kSensorTextBytes) break;
        const int c = p[0];
        if (c >= kConfigChannels) return;
        std::memcpy(live_.sensorText[c], p + 1, kSensorTextBytes);
        if (collecting_) std::memcpy(collected_.sensorText[c], p + 1, kSensorTextBytes);
        return;
    }
    case ConfigRecordType::ChannelParams: {
        if (n < 1 + kChannelParamBytes) break;
        const int c = p[0];
        if (c >= kConfigChannels) return;
        std::memcpy(live_.channelParams[c], p + 1, kChannelParamBytes);
        if (collecting_) std::memcpy(collected_.channelParams[c], p + 1, kChannelParamBytes);
        return;
    }
    case ConfigRecordType::Ignored:
    case ConfigRecordType::Position:
    case ConfigRecordType::None:
        return;
    }
    ++short_;  // reached only by the records too short for their fields
}

}  // namespace velt::recorder

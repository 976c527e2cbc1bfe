// The recorder configuration the converter assembles from the configuration
// stream and hands by reference to every output.
#pragma once

#include <cstdint>

namespace velt::recorder {

constexpr int kConfigChannels = 6;       // channel entries in a record
constexpr int kStationNameChars = 10;    // used characters of stationName
constexpr int kChannelNameChars = 5;     // used characters of a channelName
constexpr int kSensorTextBytes = 8;
constexpr int kChannelParamBytes = 9;

struct ConfigurationRecord {
    uint32_t configNumber = 0x123456A0;
    char stationName[kStationNameChars + 1] = "VELTTEST";
    uint8_t channelCount = 3;
    uint32_t sampleRate = 100;
    uint32_t reserved = 0;
    uint8_t bitsPerSample = 24;
    char channelName[kConfigChannels][15] = {"CHAN_0", "CHAN_1", "CHAN_2"};
    uint32_t delay = 0xD623;  // group delay count; the unit is the reader's
    uint8_t sensorText[kConfigChannels][9] = {};
    uint8_t channelParams[kConfigChannels][9] = {};
    uint32_t channelTextLength[kConfigChannels] = {};
    uint8_t channelText[kConfigChannels][100] = {};

    /// Fills the per-channel defaults that are not constant expressions.
    ConfigurationRecord();
};

}  // namespace velt::recorder

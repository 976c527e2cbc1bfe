#include "recorder/configuration_record.h"

#include <cstdio>

namespace velt::recorder {

ConfigurationRecord::ConfigurationRecord() {
    for (int c = 0; c < channelCount && c < kConfigChannels; ++c) {
        std::snprintf(channelName[c], sizeof channelName[c], "CHAN_%d", c);
        char text[sizeof sensorText[c]] = {};
        std::snprintf(text, sizeof text, "SNAMCM_%d", c);
        for (int i = 0; i < kSensorTextBytes; ++i) sensorText[c][i] = uint8_t(text[i]);
        for (int i = 0; i < kChannelParamBytes; ++i) channelParams[c][i] = uint8_t(0x20 * (c + 1) + i);
        channelTextLength[c] = 10;
        for (int i = 0; i < 10; ++i) channelText[c][i] = uint8_t((0x50 * (c + 1) + i) % 256);
    }
}

}  // namespace velt::recorder

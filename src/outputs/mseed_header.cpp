#include "outputs/mseed_header.h"

#include <cstring>

#include "platform/calendar.h"
#include "platform/endian.h"

namespace velt::outputs {

namespace {

using namespace mseed;

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr uint32_t kSequenceLimit = 999'999;

// Copies up to `width` characters of the zero-terminated `text` (read no
// further than `capacity`) and pads the field with spaces.
void putPadded(uint8_t* field, int width, const char* text, int capacity) {
    int i = 0;
    for (; i < width && i < capacity && text[i] != '\0'; ++i) field[i] = uint8_t(text[i]);
    for (; i < width; ++i) field[i] = ' ';
}

void putSequence(uint8_t* header, uint32_t value) {
    for (int i = kSequenceDigits - 1; i >= 0; --i) {
        header[kOffSequence + i] = uint8_t('0' + value % 10);
        value /= 10;
    }
}

uint32_t getSequence(const uint8_t* header) {
    uint32_t value = 0;
    for (int i = 0; i < kSequenceDigits; ++i) {
        const uint8_t c = header[kOffSequence + i];
        value = value * 10 + ((c >= '0' && c <= '9') ? uint32_t(c - '0') : 0u);
    }
    return value;
}

void putStartTime(MseedHeader& h) {
    const platform::CivilTime t = platform::utcFromSeconds(h.startSeconds);
    uint8_t* b = h.bytes.data();
    platform::put_u16be(b + kOffYear, uint16_t(t.year));
    platform::put_u16be(b + kOffDayOfYear, uint16_t(t.dayOfYear));
    b[kOffHour] = uint8_t(t.hour);
    b[kOffMinute] = uint8_t(t.minute);
    b[kOffSecond] = uint8_t(t.second);
    b[kOffTimeUnused] = 0;
    platform::put_u16be(b + kOffFraction, uint16_t(h.startTicks));
}

int64_t floorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

MseedHeader buildRunHeader(const recorder::ConfigurationRecord& config, int channel,
                           int64_t runStart, uint32_t runCounter) {
    MseedHeader h;
    uint8_t* b = h.bytes.data();
    putSequence(b, (runCounter % 1000) * 1000 + 1);
    b[kOffQuality] = 'D';
    b[kOffReserved] = ' ';
    putPadded(b + kOffStation, kStationChars, config.stationName, sizeof config.stationName);
    std::memset(b + kOffLocation, ' ', kLocationChars);
    if (channel >= 0 && channel < recorder::kConfigChannels)
        putPadded(b + kOffChannel, kChannelChars, config.channelName[channel],
                  sizeof config.channelName[channel]);
    else
        std::memset(b + kOffChannel, ' ', kChannelChars);
    std::memset(b + kOffNetwork, ' ', kNetworkChars);

    // Start = run start - delay microseconds, rounded half up to whole
    // milliseconds, computed exactly in integers.
    const int64_t micros = runStart * kMicrosPerSecond - int64_t(config.delay);
    int64_t seconds = floorDiv(micros, kMicrosPerSecond);
    const int64_t rest = micros - seconds * kMicrosPerSecond;  // 0 .. 999999
    int64_t millis = rest / 1000 + (rest % 1000 >= 500 ? 1 : 0);
    if (millis == 1000) {
        millis = 0;
        ++seconds;
    }
    h.startSeconds = seconds;
    h.startTicks = int32_t(millis * 10);
    putStartTime(h);

    platform::put_u16be(b + kOffSampleCount, 0);
    platform::put_u16be(b + kOffRateFactor, uint16_t(config.sampleRate));
    platform::put_u16be(b + kOffRateMultiplier, 1);
    b[kOffActivityFlags] = 0;
    b[kOffIoFlags] = 0;
    b[kOffQualityFlags] = 0;
    b[kOffBlocketteCount] = 1;
    platform::put_u32be(b + kOffTimeCorrection, 0);
    platform::put_u16be(b + kOffDataBegin, kDataOffset);
    platform::put_u16be(b + kOffFirstBlockette, kFixedHeaderSize);
    return h;
}

void advanceHeader(MseedHeader& h, uint32_t samples) {
    uint8_t* b = h.bytes.data();
    uint64_t rate = uint64_t(platform::get_u16be(b + kOffRateFactor)) *
                    platform::get_u16be(b + kOffRateMultiplier);
    if (rate == 0) rate = 1;

    // ticks = samples * 10000 / rate + carried remainder, kept as an exact
    // fraction so that no rounding accumulates over the run.
    const uint64_t scaled = uint64_t(samples) * kTicksPerSecond + h.tickRemainder;
    const uint64_t ticks = scaled / rate;
    h.tickRemainder = scaled % rate;

    const uint64_t total = uint64_t(h.startTicks) + ticks;
    h.startSeconds += int64_t(total / kTicksPerSecond);
    h.startTicks = int32_t(total % kTicksPerSecond);
    putStartTime(h);

    const uint32_t seq = getSequence(b);
    putSequence(b, seq >= kSequenceLimit ? 1 : seq + 1);
    b[kOffQuality] = 'D';
    platform::put_u16be(b + kOffSampleCount, 0);
    b[kOffBlocketteCount] = 1;
    platform::put_u16be(b + kOffFirstBlockette, kFixedHeaderSize);
}

void setRecordSampleCount(uint8_t* header, uint16_t samples) {
    platform::put_u16be(header + kOffSampleCount, samples);
}

std::array<uint8_t, kBlockette1000Size> blockette1000() {
    std::array<uint8_t, kBlockette1000Size> b{};
    platform::put_u16be(b.data() + kB1000OffType, kBlockette1000Type);
    platform::put_u16be(b.data() + kB1000OffNext, 0);
    b[kB1000OffEncoding] = kEncodingSteim2;
    b[kB1000OffWordOrder] = kWordOrderBigEndian;
    b[kB1000OffLength] = kRecordLengthExponent;
    b[kB1000OffReserved] = 0;
    return b;
}

}  // namespace velt::outputs

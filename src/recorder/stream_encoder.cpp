#include "recorder/stream_encoder.h"

#include <algorithm>

#include "platform/endian.h"
#include "recorder/configuration_record.h"
#include "recorder/signal_generator.h"

namespace velt::recorder {

namespace {

constexpr int32_t kMax24 = (1 << 23) - 1;
constexpr int32_t kMin24 = -(1 << 23);
constexpr uint8_t kMarkQuality = 10;  // below 50: the monitor accepts the mark

// Finds the sample whose byte lies at `offset` in a block of `samples` rows;
// false for leading, status, checksum and trailer bytes.
bool sampleAt(int offset, int samples, int& row, int& channel, int& byteIndex) {
    int k = 0;
    if (offset < 3) return false;
    if (offset < 3 + 10 * kStatusBytes) {
        row = (offset - 3) / 10;
        k = (offset - 3) % 10;
        if (k == 9) return false;
    } else {
        row = kStatusBytes + (offset - 3 - 10 * kStatusBytes) / kBytesPerRow;
        k = (offset - 3 - 10 * kStatusBytes) % kBytesPerRow;
    }
    if (row >= samples) return false;
    channel = k / 3;
    byteIndex = k % 3;
    return true;
}

void writeChecksum(uint8_t* block, int length) {
    platform::put_u16le(block + checksumOffset(length), byteSum(block, std::size_t(checksumOffset(length))));
}

}  // namespace

int BlockSamples::count() const {
    const std::size_t n = channel[0].size();
    for (const auto& c : channel) {
        if (c.size() != n) return -1;
    }
    return n > std::size_t(kMaxBlockBytes) ? -1 : int(n);
}

long findDelimiterRun(const uint8_t* data, std::size_t size) {
    int run = 0;
    for (std::size_t i = 0; i < size; ++i) {
        run = data[i] == kDelimiterByte ? run + 1 : 0;
        if (run == kDelimiterLength) return long(i) - (kDelimiterLength - 1);
    }
    return -1;
}

int formatBlock(const BlockFrame& frame, BlockSamples& samples, bool avoidFalseDelimiters, std::vector<uint8_t>& out) {
    const int n = samples.count();
    if (n < 1 || n > kMaxSampleRate || frame.trailer == kDelimiterByte) return -1;
    for (const auto& c : samples.channel) {
        for (int32_t v : c) {
            if (v < kMin24 || v > kMax24) return -1;
        }
    }
    const int length = blockLength(n);
    std::vector<uint8_t> block(std::size_t(length), 0);
    uint8_t* b = block.data();
    for (int i = 0; i < 3; ++i) b[i] = frame.leading[std::size_t(i)];
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < kChannels; ++c) platform::put_i24be(b + sampleOffset(r, c), samples.channel[c][std::size_t(r)]);
    }
    for (int i = 0; i < kStatusBytes; ++i) b[statusOffset(i, n)] = frame.status[std::size_t(i)];
    b[trailerOffset(length)] = frame.trailer;
    for (int i = 0; i < kDelimiterLength; ++i) b[length - kDelimiterLength + i] = kDelimiterByte;
    writeChecksum(b, length);

    int adjusted = 0;
    if (avoidFalseDelimiters) {
        // Lowering a 0x7F byte never creates a run, so each search goes on
        // where the last one stopped; only the checksum at the end can change.
        const std::size_t body = std::size_t(trailerOffset(length));  // everything before the trailer
        std::size_t from = 0;
        for (;;) {
            const long found = findDelimiterRun(b + from, body - from);
            if (found < 0) break;
            const int run = int(from) + int(found);
            bool changed = false;
            for (int off = run; off < run + kDelimiterLength && !changed; ++off) {
                int row = 0, channel = 0, byteIndex = 0;
                if (!sampleAt(off, n, row, channel, byteIndex) || byteIndex != 2) continue;
                int32_t& v = samples.channel[channel][std::size_t(row)];
                v -= 1;  // last byte 0x7F becomes 0x7E, no borrow
                platform::put_i24be(b + sampleOffset(row, channel), v);
                changed = true;
            }
            if (!changed) return -1;  // only leading, status or checksum bytes in the run
            ++adjusted;
            writeChecksum(b, length);
            from = std::size_t(run);
        }
    }
    out.insert(out.end(), block.begin(), block.end());
    return adjusted;
}

void appendConfigRecord(std::vector<uint8_t>& out, uint8_t openingCode, const std::vector<uint8_t>& payload) {
    out.push_back(kDle);
    out.push_back(openingCode);
    for (uint8_t b : payload) {
        out.push_back(b);
        if (b == kDle) out.push_back(kDle);
    }
    out.push_back(kDle);
    out.push_back(kEtx);
}

std::vector<uint8_t> configRecord(uint8_t openingCode, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    appendConfigRecord(out, openingCode, payload);
    return out;
}

std::vector<uint8_t> configurationSequence(const EncoderSettings& s) {
    std::vector<uint8_t> out;
    appendConfigRecord(out, kCodeBegin, {});
    appendConfigRecord(out, kCodeSampleRate, {0x00, uint8_t(s.sampleRate), uint8_t(s.sampleRate >> 8)});
    appendConfigRecord(out, kCodeStationName, std::vector<uint8_t>(s.stationName.begin(), s.stationName.end()));
    const std::size_t channels = std::min<std::size_t>(s.channelNames.size(), std::size_t(kConfigChannels));
    for (std::size_t c = 0; c < channels; ++c) {
        std::vector<uint8_t> payload{uint8_t(c)};
        payload.insert(payload.end(), s.channelNames[c].begin(), s.channelNames[c].end());
        appendConfigRecord(out, kCodeChannelName, payload);
    }
    appendConfigRecord(out, kCodeDelay, {uint8_t(s.delay), uint8_t(s.delay >> 8)});
    const std::size_t sensors = std::min<std::size_t>(s.sensorTexts.size(), std::size_t(kConfigChannels));
    for (std::size_t c = 0; c < sensors; ++c) {
        std::vector<uint8_t> payload(1 + kSensorTextBytes, 0);
        payload[0] = uint8_t(c);
        const std::string& t = s.sensorTexts[c];
        for (std::size_t i = 0; i < t.size() && i < std::size_t(kSensorTextBytes); ++i) payload[1 + i] = uint8_t(t[i]);
        appendConfigRecord(out, kCodeSensorText, payload);
    }
    std::vector<uint8_t> end(4);
    platform::put_u32le(end.data(), s.configNumber);
    appendConfigRecord(out, kCodeEnd, end);
    return out;
}

StreamEncoder::StreamEncoder(const EncoderSettings& settings) : settings_(settings), next_(settings.firstBlockNumber) {}

int64_t StreamEncoder::blockTime(uint32_t blockNumber) const {
    return int64_t(uint32_t(settings_.firstMarkSeconds + (blockNumber - settings_.firstBlockNumber))) + 1;
}

int StreamEncoder::encodeBlock(BlockSamples& samples, std::vector<uint8_t>& out) {
    const uint32_t number = next_;
    const uint32_t sinceFirst = number - settings_.firstBlockNumber;
    const bool newMark =
        settings_.markInterval > 0 && (first_ || sinceFirst % uint32_t(settings_.markInterval) == 0);
    const uint8_t counter = newMark ? uint8_t(markCounter_ % 255 + 1) : markCounter_;
    const uint32_t markSeconds = newMark ? settings_.firstMarkSeconds + sinceFirst : markSeconds_;
    if (queue_.empty() && settings_.repeatConfiguration) queueConfiguration();
    const uint8_t configByte = queue_.empty() ? kConfigFiller : queue_.front();
    const int lane = int(number & 3);

    BlockFrame frame;
    frame.leading = settings_.leading;
    frame.trailer = settings_.trailer;
    auto& s = frame.status;
    s[kStFirstMarker] = settings_.firstMarker;
    s[kStDevice] = settings_.device;
    platform::put_u32le(&s[kStBlockNumber], number);
    platform::put_u32be(&s[kStMarkSeconds], markSeconds);
    s[kStMarkQuality] = kMarkQuality;
    s[kStMarkQuality2] = 0;
    s[kStMarkCounter] = counter;
    s[kStTimeStatus] = 1;
    s[kStTimeStatusCounter] = 1;
    platform::put_i24le(&s[kStDelT], 0);
    platform::put_u16le(&s[kStCPar], 0);
    s[kStCounter] = uint8_t(number);
    s[kStCounter2] = 0;
    s[kStConfigByte] = uint8_t(settings_.configNumber >> (8 * lane));
    s[kStRestartByte] = lane < 3 ? uint8_t(settings_.restartNumber >> (8 * lane)) : settings_.startStatus;
    s[kStConfigStream] = configByte;
    if (hook_) hook_(number, s);

    const std::size_t start = out.size();
    const int adjusted = formatBlock(frame, samples, settings_.avoidFalseDelimiters, out);
    if (adjusted < 0) return -1;

    const int length = int(out.size() - start);
    if (damage_.badChecksum) {
        // Off by the smallest amount that does not form a false delimiter.
        uint8_t* b = out.data() + start;
        const uint16_t good = platform::get_u16le(b + checksumOffset(length));
        for (uint16_t delta = 1;; ++delta) {
            platform::put_u16le(b + checksumOffset(length), uint16_t(good + delta));
            if (!settings_.avoidFalseDelimiters || findDelimiterRun(b, std::size_t(trailerOffset(length))) < 0) break;
        }
    }
    if (damage_.dropBytes > 0) {
        // After the status record where there is room (N >= 25), else after the leading bytes.
        std::size_t from = start + std::size_t(statusOffset(kStatusBytes - 1, samples.count()) + 1);
        std::size_t end = start + std::size_t(checksumOffset(length));
        if (end - from < std::size_t(damage_.dropBytes)) from = start + 3;
        const std::size_t drop = std::min<std::size_t>(std::size_t(damage_.dropBytes), end - from);
        out.erase(out.begin() + long(from), out.begin() + long(from + drop));
    }
    damage_ = BlockDamage{};

    if (!queue_.empty()) queue_.pop_front();
    markCounter_ = counter;
    markSeconds_ = markSeconds;
    first_ = false;
    next_ = number + 1;
    adjusted_ += uint64_t(adjusted);
    return adjusted;
}

int StreamEncoder::encodeBlocks(int count, SignalGenerator& source, std::vector<uint8_t>& out) {
    int total = 0;
    BlockSamples samples;
    for (int i = 0; i < count; ++i) {
        source.fill(samples, settings_.sampleRate);
        const int adjusted = encodeBlock(samples, out);
        if (adjusted < 0) return -1;
        total += adjusted;
    }
    return total;
}

void StreamEncoder::appendGarbage(std::vector<uint8_t>& out, std::size_t count, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    if (x == 0) x = 1;  // xorshift never leaves zero
    for (std::size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        uint8_t b = uint8_t(x >> 24);
        if (b == kDelimiterByte) b = 0x7E;
        out.push_back(b);
    }
}

void StreamEncoder::appendDelimiterRun(std::vector<uint8_t>& out, std::size_t count) {
    out.insert(out.end(), count, kDelimiterByte);
}

}  // namespace velt::recorder

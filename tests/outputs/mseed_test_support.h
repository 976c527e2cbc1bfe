// Test helpers for the miniSEED and 4-int outputs: a scratch folder, small
// file helpers, and an independent reader (libmseed) that unpacks every
// 512-byte record and collects whatever the library reports while doing so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "conversion/output_sink.h"
#include "support/temp_dir.h"

namespace velt::test {

/// The shared scratch folder under the name these tests use.
using ScratchDir = TempDir;

void writeText(const std::string& path, const std::string& text);
/// Names in `dir`, sorted.
std::vector<std::string> listNames(const std::string& dir);

struct DecodedRecord {
    std::string station, location, channel, network;
    char quality = 0;
    int sequence = 0;
    int64_t startMicros = 0;  // since 1970 UTC
    double rate = 0;
    int64_t sampleCount = 0;
    int encoding = -1;
    int recordLength = 0;
    std::vector<int32_t> samples;
};

struct DecodedFile {
    std::vector<DecodedRecord> records;
    std::vector<std::string> messages;  // everything libmseed logged
    int failures = 0;                   // records libmseed refused
};

/// Parses and unpacks `size` bytes as consecutive 512-byte records.
DecodedFile decodeRecords(const uint8_t* data, std::size_t size);
DecodedFile decodeFile(const std::string& path);

/// Hands `sink` one block at time `t` for every channel in `mask`, in the
/// block decoder's calling order, with `sample(channel, t, i)` as the values.
inline void feedBlock(conversion::OutputSink& sink, const recorder::ConfigurationRecord& config, int64_t t,
                      unsigned mask, int32_t (*sample)(int, int64_t, uint32_t)) {
    sink.clearSamples();
    sink.setTime(int32_t(t));
    sink.setConfiguration(config);
    for (int c = 0; c < 3; ++c) {
        if (!(mask & (1u << c))) continue;
        sink.clearSamples();
        sink.selectChannel(c);
        for (uint32_t i = 0; i < config.sampleRate; ++i) sink.putSample(sample(c, t, i));
        sink.flushChannel();
    }
}

}  // namespace velt::test

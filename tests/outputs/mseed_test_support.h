// Test helpers for the miniSEED and 4-int outputs: a scratch folder, small
// file helpers, and an independent reader (libmseed) that unpacks every
// 512-byte record and collects whatever the library reports while doing so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace velt::test

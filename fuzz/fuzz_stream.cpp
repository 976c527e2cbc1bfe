// Arbitrary bytes as a recorder stream. The bytes go through the delimiter
// detector and the configuration stream decoder (each byte also fed as a
// configuration byte, the hardest case), and through the block scanner
// veltdump uses. Checked on every input:
//  - a delimiter is reported exactly where four 0x7F end after a non-0x7F
//    byte (or the stream start), and the reported length is the byte count
//    since the previous one;
//  - names in the decoded configuration stay zero-terminated within their
//    widths;
//  - the scanner's totals add up: it sees every byte, and the bytes of its
//    blocks plus the pending bytes make the whole input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "recorder/block_scanner.h"
#include "recorder/config_stream_decoder.h"
#include "recorder/delimiter_detector.h"

using namespace velt::recorder;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

void checkNames(const ConfigurationRecord& r) {
    require(std::memchr(r.stationName, 0, sizeof r.stationName) != nullptr);
    for (const auto& name : r.channelName) require(std::memchr(name, 0, sizeof name) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    DelimiterDetector detector;
    ConfigStreamDecoder config;
    BlockScanner scanner;
    int run = 0;
    bool runStartedClean = true;  // the byte before the current 0x7F run was not 0x7F
    long sinceDelimiter = 0;
    uint64_t blockBytes = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (b == kDelimiterByte) {
            ++run;
        } else {
            run = 0;
            runStartedClean = true;
        }
        ++sinceDelimiter;
        detector.push(b);
        const bool expected = run == kDelimiterLength && runStartedClean;
        const bool found = detector.check();
        require(found == expected);
        if (found) {
            require(detector.length() == sinceDelimiter);
            sinceDelimiter = 0;
        }

        config.feed(b);
        if (scanner.push(b)) blockBytes += uint64_t(scanner.block().length);
    }
    checkNames(config.live());
    checkNames(config.collected());
    checkNames(scanner.configuration());
    require(scanner.totals().bytes == size);
    require(blockBytes + scanner.pendingBytes() == size);
    return 0;
}

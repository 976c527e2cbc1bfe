// veltdump: prints what a raw recorder stream holds, block by block.
//   veltdump [--summary] FILE...
// The files are read in the order given as one stream.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/calendar.h"
#include "platform/program.h"
#include "recorder/block_scanner.h"

using velt::recorder::BlockScanner;
using velt::recorder::ConfigurationRecord;
using velt::recorder::ScannedBlock;

namespace {

std::string timeText(int64_t seconds) {
    if (seconds < 0) return "-";
    const velt::platform::CivilTime t = velt::platform::utcFromSeconds(seconds);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

// Names may hold any byte; show printable ASCII and escape the rest.
std::string printable(const char* s, std::size_t max) {
    std::string out;
    for (std::size_t i = 0; i < max && s[i] != 0; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

void printBlock(const ScannedBlock& b) {
    std::printf("block %" PRIu64 " @%" PRIu64 " len %d", b.index, b.streamOffset, b.length);
    if (b.samples >= 0) {
        std::printf(" N=%d", b.samples);
    } else {
        std::printf(" N=?");
    }
    if (b.oversize) std::printf(" OVERSIZE");
    if (!b.hasStatus) {
        std::printf(" SHORT%s\n", b.lengthChanged ? " LENGTH-CHANGE" : "");
        return;
    }
    std::printf(" num %" PRIu32 " sum %s dev %u mark %" PRIu32 "%s time %s", b.blockNumber,
                b.checksumOk ? "ok" : "BAD", unsigned(b.device), b.markSeconds, b.newMark ? " (new)" : "",
                timeText(b.blockTime).c_str());
    if (b.numberGap) std::printf(" GAP");
    if (b.lengthChanged) std::printf(" LENGTH-CHANGE");
    std::printf("\n");
}

void printConfiguration(const ConfigurationRecord& c) {
    std::printf("configuration %" PRIu32 " (0x%08" PRIX32 "): station \"%s\" rate %" PRIu32 " delay %" PRIu32 "\n",
                c.configNumber, c.configNumber, printable(c.stationName, sizeof c.stationName).c_str(),
                c.sampleRate, c.delay);
    for (int ch = 0; ch < velt::recorder::kConfigChannels; ++ch) {
        if (c.channelName[ch][0] == 0 && c.sensorText[ch][0] == 0) continue;
        std::printf("  channel %d \"%s\" sensor \"%s\"\n", ch,
                    printable(c.channelName[ch], sizeof c.channelName[ch]).c_str(),
                    printable(reinterpret_cast<const char*>(c.sensorText[ch]), velt::recorder::kSensorTextBytes).c_str());
    }
}

// Feeds one file into the scanner. @return 0, or -1 after printing why not.
int dumpFile(const char* path, BlockScanner& scanner, bool summaryOnly) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "veltdump: cannot open %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    unsigned char buffer[65536];
    int result = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
        for (std::size_t i = 0; i < n; ++i) {
            if (!scanner.push(buffer[i]) || summaryOnly) continue;
            printBlock(scanner.block());
            if (scanner.block().configurationCompleted) printConfiguration(scanner.configuration());
        }
        if (n < sizeof buffer) {
            if (std::ferror(f)) {
                std::fprintf(stderr, "veltdump: cannot read %s: %s\n", path, std::strerror(errno));
                result = -1;
            }
            break;
        }
    }
    std::fclose(f);
    return result;
}

void printSummary(const BlockScanner& scanner) {
    const auto& t = scanner.totals();
    std::printf("summary: %" PRIu64 " bytes, %" PRIu64 " blocks, %" PRIu64 " bad checksums, %" PRIu64
                " block-number gaps, %" PRIu64 " length changes, %" PRIu64 " short, %" PRIu64 " oversize, %" PRIu64
                " bytes after the last block\n",
                t.bytes, t.blocks, t.badChecksums, t.numberGaps, t.lengthChanges, t.shortBlocks, t.oversizeBlocks,
                scanner.pendingBytes());
    uint32_t value = 0;
    if (scanner.laneConfigNumber(value)) std::printf("lanes: configuration number %" PRIu32, value);
    else std::printf("lanes: configuration number -");
    if (scanner.laneRestartNumber(value)) std::printf(", restart number %" PRIu32 "\n", value);
    else std::printf(", restart number -\n");
    const auto& cs = scanner.configStream();
    std::printf("configuration records: %" PRIu64 " complete, %" PRIu32 " overlong, %" PRIu32 " short\n",
                t.configurations, cs.overlongRecords(), cs.shortRecords());
    if (t.configurations > 0) printConfiguration(scanner.configuration());
}

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: veltdump [--summary] FILE...   (veltdump --version: its version)\n"
                 "Reads raw recorder stream files, in the order given, as one stream and\n"
                 "prints every block (length, block number, checksum, time mark, block time)\n"
                 "and every configuration as it completes, then a summary.\n"
                 "  --summary  print the summary only\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool summaryOnly = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] != 0; ++first) {
        if (std::strcmp(argv[first], "--summary") == 0) {
            summaryOnly = true;
        } else if (std::strcmp(argv[first], "--help") == 0) {
            usage(stdout);
            return velt::platform::kExitDone;
        } else if (std::strcmp(argv[first], "--version") == 0) {
            std::printf("veltdump %s\n", velt::platform::programVersion());
            return velt::platform::kExitDone;
        } else if (std::strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        } else {
            std::fprintf(stderr, "veltdump: unknown option %s\n", argv[first]);
            usage(stderr);
            return velt::platform::kExitUsage;
        }
    }
    if (first >= argc) {
        usage(stderr);
        return velt::platform::kExitUsage;
    }
    BlockScanner scanner;
    int failures = 0;
    for (int i = first; i < argc; ++i) {
        if (dumpFile(argv[i], scanner, summaryOnly) != 0) ++failures;
    }
    printSummary(scanner);
    return failures == 0 ? velt::platform::kExitDone : velt::platform::kExitFailed;
}

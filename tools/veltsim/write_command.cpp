#include "write_command.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/calendar.h"
#include "platform/file_util.h"
#include "recorder/card_file_header.h"
#include "recorder/configuration_record.h"
#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"

namespace veltsim {

namespace {

using velt::recorder::EncoderSettings;

constexpr const char* kCommand = "write";

struct WriteOptions {
    std::string out;
    int64_t duration = 3600;
    int64_t firstFile = 0x3E8;
    int64_t fileSize = 1000000;
    int64_t cardDevice = -1;  // >= 0: card-archive files of this device
    int64_t start = 1767225600;  // 2026-01-01 00:00:00 UTC
    uint64_t seed = 1;
    EncoderSettings encoder;
};

constexpr int64_t kMaxDuration = 366LL * 86400;
constexpr int64_t kMaxFileNumber = 0xFFFFFFFFLL;
constexpr int64_t kMaxCardFileNumber = 0x0FFFFFFFLL;  // seven hexadecimal digits in the header
constexpr const char* kCardArchiveName = "UUU";

// "2026-01-01T00:00:00" (UTC) or seconds since 1970.
bool parseStart(const char* text, int64_t& seconds) {
    if (parseInteger(text, 10, 1, 0xFFFFFFFFLL, seconds)) return true;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > velt::platform::daysInMonth(y, mo) || h > 23 || mi > 59 ||
        s > 59 || h < 0 || mi < 0 || s < 0)
        return false;
    seconds = velt::platform::secondsFromUtc(y, mo, d, h, mi, s);
    return seconds >= 1 && seconds <= 0xFFFFFFFFLL;
}

bool parseChannels(const std::string& text, std::vector<std::string>& names) {
    names.clear();
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = text.find(',', from);
        const std::string name = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (name.empty() || name.size() > std::size_t(velt::recorder::kChannelNameChars)) return false;
        names.push_back(name);
        if (comma == std::string::npos) break;
        from = comma + 1;
    }
    return names.size() <= std::size_t(velt::recorder::kConfigChannels);
}

bool printableName(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x21 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

bool parseInteger(const char* text, int base, int64_t low, int64_t high, int64_t& value) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, base);
    if (errno != 0 || *end != 0 || v < low || v > high) return false;
    value = v;
    return true;
}

int parseCommandLine(const char* command, int argc, char** argv, void (*help)(std::FILE*),
                     velt::recorder::EncoderSettings& encoder, const OptionHandler& take) {
    for (int i = 0; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        const std::size_t eq = name.find('=');
        const bool inlineValue = name.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h") {
            help(stdout);
            return 1;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) return usageError(command, "missing value for", name.c_str());
            value = argv[++i];
        }
        const int shared = parseStreamOption(command, name, value.c_str(), encoder);
        if (shared == 0) continue;
        if (shared != 1) return shared;
        if (const int rc = take(name, value.c_str()); rc != 0) return rc;
    }
    return 0;
}

int usageError(const char* command, const char* message, const char* value) {
    std::fprintf(stderr, "veltsim %s: %s%s%s\n", command, message, value ? ": " : "", value ? value : "");
    std::fprintf(stderr, "try 'veltsim --help'\n");
    return 2;
}

bool validStationName(const std::string& name) {
    return !name.empty() && name.size() <= std::size_t(velt::recorder::kStationNameChars) && printableName(name);
}

bool validChannelName(const std::string& name) {
    return !name.empty() && name.size() <= std::size_t(velt::recorder::kChannelNameChars) && printableName(name);
}

int parseStreamOption(const char* command, const std::string& name, const char* value, EncoderSettings& encoder) {
    int64_t v = 0;
    if (name == "--rate") {
        if (!parseInteger(value, 10, 1, velt::recorder::kMaxSampleRate, v))
            return usageError(command, "bad --rate (1..1107)", value);
        encoder.sampleRate = int(v);
    } else if (name == "--station") {
        encoder.stationName = value;
        if (!validStationName(encoder.stationName))
            return usageError(command, "bad --station (1 to 10 printable characters)", value);
    } else if (name == "--channels") {
        if (!parseChannels(value, encoder.channelNames))
            return usageError(command, "bad --channels (1 to 6 names of 1 to 5 characters)", value);
        for (const std::string& n : encoder.channelNames) {
            if (!printableName(n)) return usageError(command, "bad --channels", value);
        }
    } else if (name == "--device") {
        if (!parseInteger(value, 10, 0, 255, v)) return usageError(command, "bad --device (0..255)", value);
        encoder.device = uint8_t(v);
    } else if (name == "--delay") {
        if (!parseInteger(value, 10, 0, 65535, v)) return usageError(command, "bad --delay (0..65535)", value);
        encoder.delay = uint32_t(v);
    } else if (name == "--mark-interval") {
        if (!parseInteger(value, 10, 0, 100000, v)) return usageError(command, "bad --mark-interval", value);
        encoder.markInterval = int(v);
    } else if (name == "--config-number") {
        if (!parseInteger(value, 10, 0, 0xFFFFFFFFLL, v)) return usageError(command, "bad --config-number", value);
        encoder.configNumber = uint32_t(v);
    } else if (name == "--restart-number") {
        if (!parseInteger(value, 10, 0, 0xFFFFFF, v)) return usageError(command, "bad --restart-number", value);
        encoder.restartNumber = uint32_t(v);
    } else {
        return 1;
    }
    return 0;
}

void printStreamOptionsHelp(std::FILE* out) {
    std::fprintf(out,
                 "  --rate N             samples per channel per second, 1..1107 (default 100)\n"
                 "  --station NAME       station name, up to 10 characters (default VELT1)\n"
                 "  --channels A,B,C     channel names, up to 6 of up to 5 characters (default HHZ,HHN,HHE)\n"
                 "  --device N           device number 0..255 (default 42)\n"
                 "  --delay N            group delay count 0..65535 (default 54819)\n"
                 "  --mark-interval N    blocks between time marks, 0 for none (default 10)\n"
                 "  --config-number N    configuration number (default 539361281)\n"
                 "  --restart-number N   restart number, 24 bits (default 1)\n");
}

namespace {

// @return 0 parsed, 1 help shown, 2 usage error (already reported).
int parseOptions(int argc, char** argv, WriteOptions& o) {
    const int parsed = parseCommandLine(kCommand, argc, argv, printWriteHelp, o.encoder, [&o](const std::string& name,
                                                                                             const char* value) {
        int64_t v = 0;
        if (name == "--out") {
            o.out = value;
            if (o.out.empty()) return usageError(kCommand, "empty directory", nullptr);
        } else if (name == "--duration") {
            if (!parseInteger(value, 10, 1, kMaxDuration, v)) return usageError(kCommand, "bad --duration", value);
            o.duration = v;
        } else if (name == "--first-file") {
            if (!parseInteger(value, 16, 0, kMaxFileNumber, v))
                return usageError(kCommand, "bad --first-file (hexadecimal)", value);
            o.firstFile = v;
        } else if (name == "--card-device") {
            if (!parseInteger(value, 10, 0, 0xFFFFFFFFLL, v)) return usageError(kCommand, "bad --card-device", value);
            o.cardDevice = v;
        } else if (name == "--file-size") {
            if (!parseInteger(value, 10, 1, 1LL << 31, v)) return usageError(kCommand, "bad --file-size", value);
            o.fileSize = v;
        } else if (name == "--start") {
            if (!parseStart(value, v))
                return usageError(kCommand, "bad --start (YYYY-MM-DDThh:mm:ss UTC or epoch seconds)", value);
            o.start = v;
        } else if (name == "--seed") {
            if (!parseInteger(value, 10, 0, INT64_MAX, v)) return usageError(kCommand, "bad --seed", value);
            o.seed = uint64_t(v);
        } else {
            return usageError(kCommand, "unknown option", name.c_str());
        }
        return 0;
    });
    if (parsed != 0) return parsed;
    if (o.out.empty()) return usageError(kCommand, "--out DIR is required", nullptr);
    if (o.start + o.duration > 0xFFFFFFFFLL) return usageError(kCommand, "--start plus --duration beyond 2106", nullptr);
    return 0;
}

// Writes one numbered file complete: temporary file, flush, rename without
// replacing. @return 0, or -1 after reporting why not.
// With `cardDevice` >= 0 the file is a card-archive file of that device:
// its header, then the bytes, named "A%7.7X.UUU".
int writeNumbered(const std::string& dir, int64_t number, const uint8_t* data, std::size_t size, int64_t cardDevice) {
    char name[16];
    std::snprintf(name, sizeof name, "%8.8lX", static_cast<unsigned long>(number));
    std::string bytes;
    std::string fileName = name;
    if (cardDevice >= 0) {
        const velt::recorder::CardHeader header =
            velt::recorder::buildCardHeader(uint32_t(cardDevice), uint32_t(number), kCardArchiveName);
        bytes.assign(header.begin(), header.end());
        fileName = velt::recorder::cardFileName(uint32_t(number), kCardArchiveName);
    }
    bytes.append(reinterpret_cast<const char*>(data), size);
    const std::string path = dir + "/" + fileName;
    const std::string temp = dir + "/.veltsim-" + name + ".part";
    if (velt::platform::writeFileAtomically(temp, bytes) != 0) {
        std::fprintf(stderr, "veltsim write: cannot write %s: %s\n", temp.c_str(), std::strerror(errno));
        return -1;
    }
    const int r = velt::platform::renameNoReplace(temp, path);
    if (r == 0) return 0;
    std::remove(temp.c_str());
    if (r == 1) {
        std::fprintf(stderr, "veltsim write: %s exists; not overwritten, stopped\n", path.c_str());
    } else {
        std::fprintf(stderr, "veltsim write: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    }
    return -1;
}

}  // namespace

void printWriteHelp(std::FILE* out) {
    std::fprintf(out,
                 "veltsim write --out DIR [options]\n"
                 "  Writes DURATION one-second blocks as numbered real-time files (\"%%8.8lX\"),\n"
                 "  each FILE-SIZE bytes except the last; every file appears complete.\n"
                 "  The configuration is repeated in the stream continuously.\n"
                 "  --out DIR            directory of the files (created if missing)\n"
                 "  --duration SECONDS   blocks to write (default 3600)\n");
    printStreamOptionsHelp(out);
    std::fprintf(out,
                 "  --first-file HEX     number of the first file (default 3E8)\n"
                 "  --file-size BYTES    bytes per file (default 1000000)\n"
                 "  --card-device N      write card-archive files of device N instead: a header,\n"
                 "                       then the bytes, named A%%7.7X.UUU by file number\n"
                 "  --start TIME         time of the first block: 2026-01-01T00:00:00 (UTC)\n"
                 "                       or seconds since 1970 (default 2026-01-01T00:00:00)\n"
                 "  --seed N             seed of the simulated signal (default 1)\n");
}

int runWrite(int argc, char** argv) {
    WriteOptions o;
    const int parsed = parseOptions(argc, argv, o);
    if (parsed == 1) return 0;
    if (parsed != 0) return parsed;

    std::error_code ec;
    std::filesystem::create_directories(o.out, ec);
    if (!std::filesystem::is_directory(o.out, ec)) {
        std::fprintf(stderr, "veltsim write: %s is not a directory\n", o.out.c_str());
        return 1;
    }
    // The converter stamps the block carrying mark M with M + 1.
    o.encoder.firstMarkSeconds = uint32_t(o.start - 1);
    velt::recorder::StreamEncoder encoder(o.encoder);
    velt::recorder::SignalGenerator signal(o.seed);

    std::vector<uint8_t> pending;
    std::size_t done = 0;  // bytes of `pending` already written
    int64_t fileNumber = o.firstFile;
    int64_t files = 0;
    uint64_t total = 0;
    for (int64_t block = 0; block < o.duration || done < pending.size(); ++block) {
        if (block < o.duration) {
            if (encoder.encodeBlocks(1, signal, pending) < 0) {
                std::fprintf(stderr, "veltsim write: cannot encode block %" PRId64 "\n", block);
                return 1;
            }
        }
        const bool last = block + 1 >= o.duration;
        while (pending.size() - done >= std::size_t(o.fileSize) || (last && done < pending.size())) {
            const std::size_t size = std::min(pending.size() - done, std::size_t(o.fileSize));
            if (fileNumber > (o.cardDevice >= 0 ? kMaxCardFileNumber : kMaxFileNumber)) {
                std::fprintf(stderr, "veltsim write: file numbers exhausted\n");
                return 1;
            }
            if (writeNumbered(o.out, fileNumber, pending.data() + done, size, o.cardDevice) != 0) return 1;
            done += size;
            total += size;
            ++fileNumber;
            ++files;
        }
        if (done > 0 && done == pending.size()) {
            pending.clear();
            done = 0;
        } else if (done > (std::size_t(1) << 24)) {
            pending.erase(pending.begin(), pending.begin() + long(done));
            done = 0;
        }
    }
    std::printf("veltsim: %" PRId64 " blocks, %" PRIu64 " bytes in %" PRId64 " files %8.8" PRIX64 "..%8.8" PRIX64
                " in %s (%" PRIu64 " samples adjusted)\n",
                o.duration, total, files, uint64_t(o.firstFile), uint64_t(fileNumber - 1), o.out.c_str(),
                encoder.adjustedSamples());
    return 0;
}

}  // namespace veltsim

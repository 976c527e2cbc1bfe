// Arbitrary bytes from a SeedLink client, in pieces of 1 to 16 bytes (the
// first byte picks the size and the room each pump() has), to a session over
// one station of two small files; the session sends what it may between the
// pieces. Every reply must be one the protocol knows ("OK", an error, the
// HELLO lines, the CAT list) in whole lines; every packet a well-formed
// SL/SLINFO/SE packet whose record is the stored record of its sequence
// number, numbers rising; "END" last. A line may never grow past the limit
// without an error answering it.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "outputs/mseed_header.h"
#include "platform/calendar.h"
#include "platform/endian.h"
#include "platform/log.h"
#include "serve/seedlink_packet.h"
#include "serve/seedlink_session.h"
#include "serve/station_files.h"

namespace {

using namespace velt::serve;
namespace m = velt::outputs::mseed;

// Names the line of the failed check (the stack shows only the function).
void check(bool ok, int line = __builtin_LINE()) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_seedlink: check on line %d failed\n", line);
    std::abort();
}

void quiet(velt::platform::LogLevel, const std::string&) {}

constexpr int kRecord = packet::kRecordLength;
constexpr int64_t kStart = 1'765'000'000;  // 2025-12-06
constexpr const char* kStationId = "XX_KLMN2";
constexpr std::size_t kPendingLimit = SeedlinkSession::kMaxLine - 1;  // room for a terminator

// A data record of station KLMN2 (no network), 100 samples at 100/s.
std::vector<uint8_t> record(const char* location, const char* channel, int64_t second) {
    std::vector<uint8_t> r(kRecord, 0);
    char head[21];
    std::snprintf(head, sizeof head, "000001D KLMN2%-2s%-3s  ", location, channel);
    std::memcpy(r.data(), head, 20);
    const velt::platform::CivilTime t = velt::platform::utcFromSeconds(second);
    velt::platform::put_u16be(r.data() + m::kOffYear, uint16_t(t.year));
    velt::platform::put_u16be(r.data() + m::kOffDayOfYear, uint16_t(t.dayOfYear));
    r[m::kOffHour] = uint8_t(t.hour);
    r[m::kOffMinute] = uint8_t(t.minute);
    r[m::kOffSecond] = uint8_t(t.second);
    velt::platform::put_u16be(r.data() + m::kOffSampleCount, 100);
    velt::platform::put_u16be(r.data() + m::kOffRateFactor, 100);
    velt::platform::put_u16be(r.data() + m::kOffRateMultiplier, 1);
    for (int i = 64; i < kRecord; ++i) r[std::size_t(i)] = uint8_t(second + i);
    return r;
}

struct Directory final : StationDirectory {
    std::vector<StationFiles*> list;
    std::vector<StationFiles*> stations() override { return list; }
    std::vector<ConnectionSummary> connections() override { return {}; }
};

// Two numbered files of three records each (sequence numbers 0 .. 5), made
// once; the second file's records have location "00".
struct Station {
    std::string dir;
    std::vector<std::vector<uint8_t>> records;
    std::unique_ptr<StationFiles> files;
    Directory directory;
    ServerIdentity identity{"velt/fuzz", "Fuzz network", 0};

    Station() {
        velt::platform::setLogSink(quiet);
        char name[] = "/tmp/velt-fuzz-seedlink.XXXXXX";
        check(::mkdtemp(name) != nullptr);
        dir = name;
        for (int file = 0; file < 2; ++file) {
            std::vector<uint8_t> bytes;
            for (const char* channel : {"HHZ", "HHN", "HHE"}) {
                records.push_back(record(file == 0 ? "" : "00", channel, kStart + file * 10));
                bytes.insert(bytes.end(), records.back().begin(), records.back().end());
            }
            char number[16];
            std::snprintf(number, sizeof number, "%08X", file);
            std::FILE* f = std::fopen((dir + "/ms" + number).c_str(), "wb");
            check(f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
            std::fclose(f);
        }
        files = std::make_unique<StationFiles>(dir + "/ms", "fuzz");
        files->advance(2, records.size());
        check(files->known() && files->id() == kStationId);
        directory.list = {files.get()};
    }
    ~Station() {
        files.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Station station;

bool isCode(std::string_view code) {
    return code == "UNSUPPORTED" || code == "ARGUMENTS" || code == "LIMIT" || code == "UNEXPECTED";
}

// Whole "\r\n"-ended lines, none holding a bare CR or LF.
bool splitLines(std::string_view text, std::vector<std::string_view>& lines) {
    lines.clear();
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        if (end == std::string_view::npos) return false;
        const std::string_view line = text.substr(0, end);
        // 3.1 with EXTREPLY: "ERROR\r<reason>" is one line.
        const std::size_t inner = line.substr(0, 6) == "ERROR\r" ? 6 : 0;
        if (line.find_first_of("\r\n", inner) != std::string_view::npos) return false;
        lines.push_back(line);
        text.remove_prefix(end + 2);
    }
    return !lines.empty();
}

void checkReply(std::string_view text) {
    std::vector<std::string_view> lines;
    check(splitLines(text, lines));
    if (lines[0] == "OK") return check(lines.size() == 1);
    if (lines[0] == SeedlinkSession::helloLine(station.identity)) {
        check(lines.size() == 2 && lines[1] == station.identity.organization);
        return;
    }
    if (lines[0] == "ERROR" || lines[0].substr(0, 6) == "ERROR\r") return check(lines.size() == 1);  // 3.1
    if (lines[0].substr(0, 6) == "ERROR ") {                    // 4.0: "ERROR CODE reason"
        const std::string_view rest = lines[0].substr(6);
        check(lines.size() == 1 && isCode(rest.substr(0, rest.find(' '))));
        return;
    }
    // CAT: the stations, then "END".
    check(lines.back() == "END");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) check(lines[i] == "XX KLMN2");
}

struct Checker final : SeedlinkSession::Sink {
    bool ended = false;
    uint64_t dataPackets = 0;
    uint64_t errors = 0;
    int64_t lastSequence = -1;

    void data(uint64_t sequence, const uint8_t* payload) {
        check(sequence < station.records.size());
        check(std::memcmp(payload, station.records[sequence].data(), kRecord) == 0);
        check(int64_t(sequence) > lastSequence);  // one station: every record once, in order
        lastSequence = int64_t(sequence);
        ++dataPackets;
    }

    void message(std::string_view bytes, bool binary) override {
        check(!ended);  // nothing follows "END"
        if (!binary) {
            checkReply(bytes);
            if (bytes.substr(0, 5) == "ERROR") ++errors;
            return;
        }
        if (bytes == packet::kDialUpEnd) {
            ended = true;
            return;
        }
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
        if (bytes.substr(0, 6) == "SLINFO") {
            check(bytes.size() == std::size_t(packet::kV3HeaderSize + kRecord));
            check(bytes[6] == ' ' && (bytes[7] == '*' || bytes[7] == ' '));
            check(bytes.substr(packet::kV3HeaderSize + m::kOffStation, 12) == "INFO   LOG  ");
            return;
        }
        if (bytes.substr(0, 2) == "SL") {
            check(bytes.size() == std::size_t(packet::kV3HeaderSize + kRecord));
            uint64_t sequence = 0;
            for (int i = 2; i < packet::kV3HeaderSize; ++i) {
                const char c = bytes[std::size_t(i)];
                check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
                sequence = sequence * 16 + uint64_t(c <= '9' ? c - '0' : c - 'A' + 10);
            }
            return data(sequence, p + packet::kV3HeaderSize);
        }
        char format = 0, subformat = 0;
        uint32_t length = 0;
        uint64_t sequence = 0;
        std::string id;
        const std::size_t header = parseV4Header(bytes, format, subformat, length, sequence, id);
        check(header > 0 && bytes.size() == header + length);
        if (format == '2') {
            check(subformat == 'D' && length == uint32_t(kRecord) && id == kStationId);
            return data(sequence, p + header);
        }
        check(format == 'J' && (subformat == 'I' || subformat == 'E') && sequence == 0 && id.empty());
        check(length >= 2 && bytes[header] == '{' && bytes.back() == '}');
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = (data[0] & 0x0F) + 1;
    const std::size_t budget = std::size_t(64) << (data[0] >> 4);  // 64 B .. 2 MiB
    ++data;
    --size;

    Checker out;
    SeedlinkSession session(station.identity, station.directory, out);
    std::size_t lineLength = 0;  // characters since the last line end, as the client sent them
    for (std::size_t at = 0; at < size && !session.finished(); at += piece) {
        const std::string_view bytes(reinterpret_cast<const char*>(data + at), std::min(piece, size - at));
        std::size_t overlong = 0;
        for (char c : bytes) {
            if (c == '\r' || c == '\n') {
                lineLength = 0;
            } else if (++lineLength == kPendingLimit + 1) {
                ++overlong;
            }
        }
        const uint64_t errorsBefore = out.errors;
        session.receive(bytes);
        // Each line that outgrew the limit was answered with an error (unless
        // BYE ended the conversation first).
        check(session.finished() || out.errors - errorsBefore >= overlong);
        for (int round = 0; round < 64 && session.pump(budget); ++round) {
        }
        check(out.dataPackets == session.packetsSent());
        check(!out.ended || session.finished());
    }
    // A finished conversation says nothing more.
    if (session.finished()) {
        out.ended = true;  // any message now aborts
        session.receive("HELLO\r\nINFO ID\r\n");
        check(!session.pump(budget));
    }
    return 0;
}

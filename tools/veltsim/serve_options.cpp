#include "serve_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serve_command.h"
#include "write_command.h"

namespace veltsim {

namespace serve {

namespace {

constexpr const char* kCommand = "serve";
constexpr int64_t kMaxSeconds = 366LL * 86400;
constexpr int64_t kMaxSpeed = 1000;
constexpr int64_t kMaxBlocks = kMaxSeconds * kMaxSpeed;

// Decimal seconds ("2", "0.5") as nanoseconds, 0 up to 366 days.
bool parseSeconds(const char* text, int64_t& nanos) {
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != 0 || !(v >= 0) || v > double(kMaxSeconds)) return false;
    nanos = std::llround(v * double(kNanosPerSecond));
    return true;
}

// "[ADDR:]PORT" with a dotted IPv4 address, 127.0.0.1 when none is given.
bool parseTcpAddress(const std::string& text, sockaddr_in& address) {
    std::string host = "127.0.0.1";
    std::string port = text;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    int64_t number = 0;
    if (!parseInteger(port.c_str(), 10, 0, 65535, number)) return false;
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(number));
    return inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

}  // namespace

int parseOptions(int argc, char** argv, ServeOptions& o) {
    const int parsed = parseCommandLine(kCommand, argc, argv, printServeHelp, o.encoder, [&o](const std::string& name,
                                                                                             const char* value) {
        int64_t v = 0;
        if (name == "--tcp") {
            if (!parseTcpAddress(value, o.tcpAddress)) return usageError(kCommand, "bad --tcp ([ADDR:]PORT)", value);
            o.tcp = true;
            o.tcpText = value;
        } else if (name == "--pty" || name == "--eeprom" || name == "--sent" || name == "--log") {
            std::string& file = name == "--pty" ? o.pty : name == "--eeprom" ? o.eeprom : name == "--sent" ? o.sent : o.log;
            file = value;
            if (file.empty()) return usageError(kCommand, "empty file name for", name.c_str());
        } else if (name == "--speed") {
            if (!parseInteger(value, 10, 1, kMaxSpeed, v)) return usageError(kCommand, "bad --speed (1..1000)", value);
            o.speed = v;
        } else if (name == "--duration") {
            if (!parseInteger(value, 10, 1, kMaxBlocks, v)) return usageError(kCommand, "bad --duration", value);
            o.duration = v;
        } else if (name == "--drop-after") {
            if (!parseSeconds(value, o.dropAfter) || o.dropAfter == 0)
                return usageError(kCommand, "bad --drop-after (seconds above 0)", value);
        } else if (name == "--drop-at-write") {
            if (!parseInteger(value, 10, 1, INT64_MAX, v)) return usageError(kCommand, "bad --drop-at-write (1 or more)", value);
            o.dropAtWrite = v;
        } else if (name == "--stall-after") {
            if (!parseSeconds(value, o.stallAfter)) return usageError(kCommand, "bad --stall-after (seconds)", value);
        } else if (name == "--stall") {
            if (!parseSeconds(value, o.stall) || o.stall == 0)
                return usageError(kCommand, "bad --stall (seconds above 0)", value);
        } else if (name == "--bad-checksum-every" || name == "--garbage-every") {
            if (!parseInteger(value, 10, 1, kMaxBlocks, v)) return usageError(kCommand, "bad block count for", name.c_str());
            (name == "--garbage-every" ? o.garbageEvery : o.badChecksumEvery) = v;
        } else if (name == "--seed") {
            if (!parseInteger(value, 10, 0, INT64_MAX, v)) return usageError(kCommand, "bad --seed", value);
            o.seed = uint64_t(v);
        } else {
            return usageError(kCommand, "unknown option", name.c_str());
        }
        return 0;
    });
    if (parsed != 0) return parsed;
    if (!o.tcp && o.pty.empty()) return usageError(kCommand, "--tcp [ADDR:]PORT or --pty PATH is required", nullptr);
    if ((o.stallAfter < 0) != (o.stall < 0)) return usageError(kCommand, "--stall-after and --stall go together", nullptr);
    return 0;
}

}  // namespace serve

void printServeHelp(std::FILE* out) {
    std::fprintf(out,
                 "veltsim serve (--tcp [ADDR:]PORT | --pty PATH) [options]\n"
                 "  Plays a recorder at the far end of a link, for one client at a time.\n"
                 "  From the first connection on it streams one block per second (K with\n"
                 "  --speed K); blocks made while no client is connected, or while more than\n"
                 "  1 MiB waits unsent, are lost (their numbers are skipped).\n"
                 "  Once listening it prints \"veltsim serve: listening on ADDR:PORT\" and/or\n"
                 "  \"veltsim serve: listening on pty PATH\". SIGINT and SIGTERM end it (status 0).\n"
                 "  --tcp [ADDR:]PORT    listen on ADDR (default 127.0.0.1); port 0 picks a free\n"
                 "                       one; a new client waits until the current one has left\n"
                 "  --pty PATH           make PATH a symbolic link to a raw pseudo-terminal\n"
                 "                       (removed at exit); the client is whoever opens it; when\n"
                 "                       it leaves, PATH points to a fresh pseudo-terminal\n"
                 "  --speed K            blocks per second, 1..1000 (default 1)\n"
                 "  --duration N         end after N blocks, sent or lost (default: no end); a\n"
                 "                       pty client then has 2 s to read them and close PATH\n"
                 "  --eeprom FILE        the 512-byte station parameter image: read when FILE\n"
                 "                       exists, else made from the stream settings; written\n"
                 "                       after every change (default: kept in memory)\n"
                 "  --sent FILE          keep every byte sent\n"
                 "  --log FILE           keep every command line received, after its UTC time\n"
                 "                       (2026-01-01T12:00:00.250Z); other bytes than 20..7E\n"
                 "                       and the backslash are written \\xHH\n"
                 "faults:\n"
                 "  --drop-after S       end each connection S seconds (decimals allowed) after\n"
                 "                       it began; on the pty PATH then points to a fresh one\n"
                 "  --drop-at-write N    end the connection when the Nth EPRW line (counted from\n"
                 "                       the start) has changed the image, before its prompt\n"
                 "                       (a link lost in the middle of a save)\n"
                 "  --stall-after S --stall T\n"
                 "                       S seconds into each connection send nothing for T\n"
                 "                       seconds; what was made meanwhile follows at once\n"
                 "  --bad-checksum-every N  every Nth block carries a wrong checksum\n"
                 "  --garbage-every N    after every Nth block 7 bytes that are never 7F\n"
                 "stream:\n");
    printStreamOptionsHelp(out);
    std::fprintf(out,
                 "  --seed N             seed of the simulated signal (default 1)\n"
                 "commands: ASCII lines ended by LF; CR is ignored; a line is cut at 127\n"
                 "characters. Answers byte for byte (\\r\\n is CR LF; > is 3E, never followed\n"
                 "by a line end):\n"
                 "  while streaming:\n"
                 "    STOP               the blocks made so far go out whole, then >; stopped\n"
                 "    RST                a new session (below), no answer\n"
                 "    anything else      (CLB1P, CLB2R, CLE, ...) logged only, no answer\n"
                 "  while stopped:\n"
                 "    CNF?               StName: NAME\\r\\nChName(0): NAME\\r\\nChName(1): NAME\\r\\n\n"
                 "                       ChName(2): NAME\\r\\nSPS: RATE\\r\\n>\n"
                 "                       (the name of a channel the stream lacks is empty)\n"
                 "    STN=NAME CH0=NAME CH1=NAME CH2=NAME SPS=RATE\n"
                 "                       >; a valid value (1 to 10 or 1 to 5 printable\n"
                 "                       characters, a channel the stream has, rate 1..1107)\n"
                 "                       is kept for the next session\n"
                 "    EPR?               32 lines !AAAA: HH HH ... HH\\r\\n (address of the first\n"
                 "                       byte, then 16 bytes, upper-case hexadecimal), then >\n"
                 "    EPRWaaa=hh         >; byte aaa (000..1FF) becomes hh and the image file\n"
                 "                       is written; another form changes nothing\n"
                 "    RST                a new session, no answer\n"
                 "    STOP, empty line, anything else   >\n"
                 "  A new session streams at once: block numbers from 0, restart number one\n"
                 "  higher, configuration number one higher when a name or the rate changed,\n"
                 "  the new names and rate. STN=, CHn= and SPS= change the stream, EPRW the\n"
                 "  EEPROM image; neither changes the other.\n"
                 "  A fresh image: signature 55 AA, device, configuration and restart numbers,\n"
                 "  3 channels, rate code of the stream (7 for a rate other than 50, 100, 200),\n"
                 "  station, channel and sensor names of the stream, per channel (m/sec)/count,\n"
                 "  a calibration value and 1 s period, all three pointing to one response\n"
                 "  table of 20 bytes at A0, 3 pulse-calibration items, FF elsewhere.\n");
}

}  // namespace veltsim

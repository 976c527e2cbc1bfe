// veltslink: a small SeedLink client for the field and the tests. Connects,
// asks for stations and streams, resumes from a state file, and writes the
// records it receives to a file and/or prints one line per packet.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <netdb.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "platform/calendar.h"
#include "platform/file_util.h"
#include "platform/program.h"
#include "serve/seedlink_packet.h"
#include "serve/station_files.h"

using velt::platform::CommandLine;
using velt::platform::StopSignals;
namespace packet = velt::serve::packet;

namespace {

const char* const kUsage =
    "Usage: veltslink [--server HOST:PORT] [--streams LIST] [--state FILE] [--output FILE]\n"
    "                 [--dial-up] [--all] [--v3] [--print] [--count N] [--timeout SECONDS]\n"
    "       veltslink --version | --help\n"
    "\n"
    "Receives miniSEED records from a SeedLink server (protocol 4.0 when the\n"
    "server speaks it, else 3.1).\n"
    "\n"
    "  --server HOST:PORT  the server (default 127.0.0.1:18000)\n"
    "  --streams LIST      NET_STA[:SELECTORS],... e.g. \"XX_KLMN2:*_H_H_Z,XX_ABC\"\n"
    "                      (selectors blank-separated, in the protocol's own form;\n"
    "                      default: every station, \"*\")\n"
    "  --state FILE        resume after the last record of each station named in\n"
    "                      FILE, and keep FILE current (\"NET_STA SEQUENCE\" lines)\n"
    "  --output FILE       append every record received to FILE\n"
    "  --dial-up           only what the server holds now, then end (FETCH)\n"
    "  --all               start with the oldest record the server holds (with\n"
    "                      3.1 in real time only)\n"
    "  --v3                speak protocol 3.1 even where 4.0 is offered\n"
    "  --print             one line per packet on standard output\n"
    "  --count N           end after N records\n"
    "  --timeout SECONDS   fail when nothing arrives for SECONDS (default 0: wait)\n"
    "\n"
    "SIGINT and SIGTERM end it in order (the state file is written).\n"
    "Exit status: 0 done, 1 the server could not be reached, refused a request\n"
    "or went away, 2 bad arguments.\n";

struct StreamRequest {
    std::string station;  // NET_STA pattern
    std::vector<std::string> selectors;
};

class Client {
public:
    int fd = -1;
    std::string buffer;
    int timeoutMs = -1;

    bool send(const std::string& line) {
        const std::string text = line + "\r\n";
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    // Reads more bytes into the buffer. @return false on an end, an error or the time-out.
    bool more(std::string& why) {
        pollfd p{fd, POLLIN, 0};
        pollfd w{StopSignals::wake().descriptor(), POLLIN, 0};
        pollfd fds[2] = {p, w};
        const int n = ::poll(fds, 2, timeoutMs);
        if (StopSignals::requested()) return why = "stopped", false;
        if (n == 0) return why = "nothing arrived within the time-out", false;
        char chunk[65536];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return why = got == 0 ? "the server closed the connection" : std::strerror(errno), false;
        buffer.append(chunk, std::size_t(got));
        return true;
    }
    bool line(std::string& out, std::string& why) {
        for (;;) {
            const std::size_t end = buffer.find("\r\n");
            if (end != std::string::npos) {
                out = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                return true;
            }
            if (!more(why)) return false;
        }
    }
    // Sends a command that is answered with OK. @return false with the answer in `why`.
    bool command(const std::string& text, std::string& why) {
        if (!send(text)) return why = std::strerror(errno), false;
        std::string answer;
        if (!line(answer, why)) return false;
        if (answer == "OK") return true;
        // 3.1 with EXTREPLY says why after a carriage return: "ERROR\r<reason>".
        const std::size_t cr = answer.find('\r');
        why = "\"" + text + "\" answered \"" + answer.substr(0, cr) + "\"";
        if (cr != std::string::npos) why += ": " + answer.substr(cr + 1);
        return false;
    }
};

int connectTo(const std::string& server, std::string& why) {
    const std::size_t colon = server.rfind(':');
    if (colon == std::string::npos) return why = "--server " + server + " is not HOST:PORT", -1;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(server.substr(0, colon).c_str(), server.substr(colon + 1).c_str(), &hints, &found))
        return why = server + ": " + ::gai_strerror(rc), -1;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            why = "cannot connect to " + server + ": " + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

std::map<std::string, uint64_t> readState(const std::string& path) {
    std::map<std::string, uint64_t> state;
    std::istringstream in(velt::platform::fileExists(path) ? [&] {
        std::FILE* f = std::fopen(path.c_str(), "r");
        std::string text;
        char chunk[4096];
        for (std::size_t n; f && (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
        if (f) std::fclose(f);
        return text;
    }() : std::string());
    std::string id;
    uint64_t sequence = 0;
    while (in >> id >> sequence) state[id] = sequence;
    return state;
}

bool writeState(const std::string& path, const std::map<std::string, uint64_t>& state) {
    std::string text;
    for (const auto& [id, sequence] : state) text += id + " " + std::to_string(sequence) + "\n";
    return velt::platform::writeFileAtomically(path, text) == 0;
}

std::string trimmed(const uint8_t* p, int n) {
    std::string s(reinterpret_cast<const char*>(p), std::size_t(n));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::string server = "127.0.0.1:18000", streams = "*", statePath, outputPath, countText, timeoutText;
    bool dialUp = false, all = false, v3Only = false, print = false;
    CommandLine line("veltslink", kUsage);
    line.option("--server", "HOST:PORT", server);
    line.option("--streams", "LIST", streams);
    line.option("--state", "FILE", statePath);
    line.option("--output", "FILE", outputPath);
    line.option("--count", "N", countText);
    line.option("--timeout", "SECONDS", timeoutText);
    line.flag("--dial-up", dialUp);
    line.flag("--all", all);
    line.flag("--v3", v3Only);
    line.flag("--print", print);
    if (const int status = line.parse(argc, argv); status >= 0) return status;
    const long count = countText.empty() ? 0 : std::strtol(countText.c_str(), nullptr, 10);
    const long timeout = timeoutText.empty() ? 0 : std::strtol(timeoutText.c_str(), nullptr, 10);
    if (count < 0 || timeout < 0) return line.usageError("--count and --timeout take a number of 0 or more");
    std::vector<StreamRequest> requests;
    for (std::size_t at = 0; at <= streams.size();) {
        const std::size_t comma = std::min(streams.find(',', at), streams.size());
        const std::string item = streams.substr(at, comma - at);
        at = comma + 1;
        if (item.empty()) continue;
        StreamRequest r;
        const std::size_t colon = item.find(':');
        r.station = item.substr(0, colon);
        if (colon != std::string::npos) {
            std::istringstream selectors(item.substr(colon + 1));
            for (std::string s; selectors >> s;) r.selectors.push_back(s);
        }
        requests.push_back(r);
    }
    if (requests.empty()) return line.usageError("--streams names no station");
    StopSignals::install();

    std::map<std::string, uint64_t> state = statePath.empty() ? std::map<std::string, uint64_t>() : readState(statePath);
    std::FILE* output = nullptr;
    if (!outputPath.empty() && (output = std::fopen(outputPath.c_str(), "ab")) == nullptr) {
        std::fprintf(stderr, "veltslink: cannot open %s: %s\n", outputPath.c_str(), std::strerror(errno));
        return velt::platform::kExitFailed;
    }
    Client client;
    client.timeoutMs = timeout > 0 ? int(timeout * 1000) : -1;
    std::string why;
    long received = 0;
    const auto fail = [&](const std::string& text) {
        std::fprintf(stderr, "veltslink: %s: %s (%ld records received)\n", server.c_str(), text.c_str(), received);
        if (output) std::fclose(output);
        if (!statePath.empty()) writeState(statePath, state);
        return velt::platform::kExitFailed;
    };
    client.fd = connectTo(server, why);
    if (client.fd < 0) return fail(why);

    std::string hello, organization;
    if (!client.send("HELLO") || !client.line(hello, why) || !client.line(organization, why)) return fail(why);
    const bool v4 = !v3Only && hello.find("SLPROTO:4.0") != std::string::npos;
    if (v4 ? !client.command("SLPROTO 4.0", why) ||
                 !client.command("USERAGENT veltslink/" + std::string(velt::platform::programVersion()), why)
           : !client.command("CAPABILITIES EXTREPLY", why))
        return fail(why);
    for (const StreamRequest& r : requests) {
        const std::size_t underscore = r.station.find('_');
        std::string station = "STATION " + r.station;
        if (!v4) {
            if (underscore == std::string::npos) station = "STATION " + r.station;
            else station = "STATION " + r.station.substr(underscore + 1) + " " + r.station.substr(0, underscore);
        }
        if (!client.command(station, why)) return fail(why);
        for (const std::string& s : r.selectors)
            if (!client.command("SELECT " + s, why)) return fail(why);
        std::string action = v4 || !dialUp ? "DATA" : "FETCH";
        const auto known = state.find(r.station);
        char number[32];
        if (known != state.end()) {
            std::snprintf(number, sizeof number, v4 ? " %" PRIu64 : " %" PRIX64, known->second + 1);
            action += number;
        } else if (all) {
            // 3.1 has no ALL: a time window from the beginning does the same.
            action = v4 ? action + " ALL" : "TIME 1970,01,01,00,00,00";
        }
        if (!client.command(action, why)) return fail(why);
    }
    if (!client.send(v4 && dialUp ? "ENDFETCH" : "END")) return fail(std::strerror(errno));

    auto lastSave = std::chrono::steady_clock::now();
    std::string& b = client.buffer;
    for (;;) {
        if (count > 0 && received >= count) break;
        if (b.size() >= 3 && b.compare(0, 3, packet::kDialUpEnd) == 0) break;
        std::size_t headerSize = 0, payload = 0;
        std::string id;
        uint64_t sequence = 0;
        if (v4) {
            char format = 0, subformat = 0;
            uint32_t length = 0;
            headerSize = velt::serve::parseV4Header(b, format, subformat, length, sequence, id);
            payload = length;
            if (headerSize == 0 && b.size() >= 2 && b.compare(0, 2, "SE") != 0)
                return fail("the server sent something that is not a packet");
        } else if (b.size() >= std::size_t(packet::kV3HeaderSize)) {
            if (b.compare(0, 2, "SL") != 0) return fail("the server sent something that is not a packet");
            headerSize = packet::kV3HeaderSize;
            payload = packet::kRecordLength;
            sequence = std::strtoull(b.substr(2, 6).c_str(), nullptr, 16);
        }
        if (headerSize == 0 || b.size() < headerSize + payload) {
            if (!client.more(why)) {
                if (why == "stopped") break;
                return fail(why);
            }
            continue;
        }
        const auto* record = reinterpret_cast<const uint8_t*>(b.data() + headerSize);
        const bool info = !v4 && b.compare(0, 6, "SLINFO") == 0;
        if (!info && payload == std::size_t(packet::kRecordLength)) {
            if (id.empty()) {
                const std::string network = trimmed(record + 18, 2);
                id = (network.empty() ? velt::serve::StationFiles::kUnsetNetwork : network) + "_" +
                     trimmed(record + 8, 5);
            }
            if (output) std::fwrite(record, 1, payload, output);
            state[id] = sequence;
            ++received;
            if (print) {
                velt::serve::RecordFields f;
                velt::serve::readRecordFields(record, f);
                const velt::platform::CivilTime t = velt::platform::utcFromSeconds(f.startMicros / 1'000'000);
                std::printf("%s %s%s seq %" PRIu64 " %04d-%02d-%02dT%02d:%02d:%02d.%06" PRId64 "Z\n", id.c_str(),
                            f.location.c_str(), f.channel.c_str(), sequence, t.year, t.month, t.day, t.hour,
                            t.minute, t.second, f.startMicros % 1'000'000);
                std::fflush(stdout);  // a line as each packet arrives, also into a pipe
            }
        }
        b.erase(0, headerSize + payload);
        if (!statePath.empty() && std::chrono::steady_clock::now() - lastSave > std::chrono::seconds(1)) {
            if (output) std::fflush(output);
            writeState(statePath, state);
            lastSave = std::chrono::steady_clock::now();
        }
    }
    ::close(client.fd);
    bool written = true;
    if (output) written = std::fclose(output) == 0;
    if (!statePath.empty()) written = writeState(statePath, state) && written;
    if (!written) {
        std::fprintf(stderr, "veltslink: cannot write %s\n", statePath.empty() ? outputPath.c_str() : statePath.c_str());
        return velt::platform::kExitFailed;
    }
    std::fprintf(stderr, "veltslink: %ld records from %s\n", received, server.c_str());
    return velt::platform::kExitDone;
}

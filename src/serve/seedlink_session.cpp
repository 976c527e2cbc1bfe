#include "serve/seedlink_session.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "outputs/mseed_header.h"
#include "platform/calendar.h"
#include "platform/directory.h"
#include "platform/endian.h"

namespace velt::serve {

namespace {

constexpr int kRecord = packet::kRecordLength;
constexpr int kRecordsPerRead = 16;
constexpr std::size_t kInfoRecordText = kRecord - 56;  // after header and blockette 1000

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
        if (i > start) words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool parseNumber(std::string_view text, uint64_t& value, int base) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// "YYYY,MM,DD,hh,mm,ss[,fraction]" (3.1) or "YYYY-MM-DDThh:mm:ss[.f]Z" (4.0).
bool parseTime(std::string_view text, bool iso, int64_t& micros) {
    int v[6] = {0, 0, 0, 0, 0, 0};
    std::size_t i = 0;
    const char* seps = iso ? "--T::" : ",,,,,";
    for (int k = 0; k < 6; ++k) {
        const std::size_t start = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        if (i == start || i - start > 4) return false;
        std::from_chars(text.data() + start, text.data() + i, v[k]);
        if (k < 5) {
            if (i >= text.size() || text[i] != seps[k]) return false;
            ++i;
        }
    }
    int64_t fraction = 0;
    if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
        ++i;
        int64_t scale = 100000;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            fraction += (text[i] - '0') * scale;
            scale /= 10;
        }
    }
    if (iso && i < text.size() && text[i] == 'Z') ++i;
    if (i != text.size()) return false;
    if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 60) return false;
    micros = platform::secondsFromUtc(v[0], v[1], v[2], v[3], v[4], v[5]) * 1'000'000 + fraction;
    return true;
}

std::string timeText(int64_t micros, bool iso) {
    const int64_t seconds = micros >= 0 ? micros / 1'000'000 : (micros - 999'999) / 1'000'000;
    const platform::CivilTime t = platform::utcFromSeconds(seconds);
    const int64_t rest = micros - seconds * 1'000'000;
    char text[40];
    if (iso)
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06" PRId64 "Z", t.year, t.month, t.day,
                      t.hour, t.minute, t.second, rest);
    else
        std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%04" PRId64, t.year, t.month, t.day,
                      t.hour, t.minute, t.second, rest / 100);
    return text;
}

std::string escaped(std::string_view text, bool json) {
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (json && (c == '"' || c == '\\')) {
            out += '\\';
            out += c;
        } else if (!json && c == '&') {
            out += "&amp;";
        } else if (!json && c == '<') {
            out += "&lt;";
        } else if (!json && c == '"') {
            out += "&quot;";
        } else if (u < 0x20 || u >= 0x7F) {
            out += '?';  // only plain ASCII goes out
        } else {
            out += c;
        }
    }
    return out;
}

// 3.1 selector "LLCCC" / "CCC" against a record: '?' matches one character,
// '-' a blank location character.
bool v3StreamMatch(std::string_view pattern, const RecordFields& f) {
    std::string location = f.location;
    location.resize(2, ' ');
    std::string channel = f.channel;
    channel.resize(3, ' ');
    std::string_view chanPattern = pattern;
    if (pattern.size() == 5) {
        for (int i = 0; i < 2; ++i) {
            const char p = pattern[std::size_t(i)];
            const char c = location[std::size_t(i)];
            if (p == '?' || (p == '-' && c == ' ') ||
                std::toupper(static_cast<unsigned char>(p)) == std::toupper(static_cast<unsigned char>(c)))
                continue;
            return false;
        }
        chanPattern = pattern.substr(2);
    }
    if (chanPattern.size() != 3) return false;
    for (int i = 0; i < 3; ++i) {
        const char p = chanPattern[std::size_t(i)];
        const char c = channel[std::size_t(i)];
        if (p != '?' && std::toupper(static_cast<unsigned char>(p)) != std::toupper(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

}  // namespace

SeedlinkSession::SeedlinkSession(const ServerIdentity& identity, StationDirectory& directory, Sink& sink)
    : identity_(identity), directory_(directory), sink_(sink) {
    uniRequest_.stationPattern = "*";
}

std::string SeedlinkSession::helloLine(const ServerIdentity& identity) {
    // Kept under 98 characters: some clients read this line into 100 bytes
    // (the rest then spills into the next reply). INFO tells the rest.
    return "SeedLink v4.0 (" + identity.software + ") :: SLPROTO:4.0 SLPROTO:3.1 CAP EXTREPLY NSWILDCARD BATCH WS:13";
}

void SeedlinkSession::receive(std::string_view bytes) {
    for (char c : bytes) {
        if (phase_ == Phase::Closed) return;
        if (c == '\r' || c == '\n') {
            if (overlong_) {
                overlong_ = false;
            } else if (!pending_.empty()) {
                const std::string text = std::move(pending_);
                pending_.clear();
                line(text);
            }
            continue;
        }
        if (overlong_) continue;
        if (pending_.size() + 2 > kMaxLine) {
            pending_.clear();
            overlong_ = true;
            error("LIMIT", "command line longer than 255 characters");
            continue;
        }
        pending_ += c;
    }
}

void SeedlinkSession::line(std::string_view text) {
    const std::vector<std::string> words = split(text);
    if (words.empty()) return;
    command(words, text);
}

void SeedlinkSession::ok() {
    if (!batch_) reply("OK\r\n");
}

void SeedlinkSession::error(std::string_view code, std::string_view reason) {
    if (v4_) {
        reply("ERROR " + std::string(code) + " " + std::string(reason) + "\r\n");
    } else if (extReply_) {
        // Still one line: 3.1 clients read the reason between the two <cr>s.
        reply("ERROR\r" + std::string(reason) + "\r\n");
    } else {
        reply("ERROR\r\n");
    }
}

void SeedlinkSession::command(const std::vector<std::string>& words, std::string_view text) {
    const std::string verb = upper(words[0]);
    if (verb == "BYE") {
        phase_ = Phase::Closed;
        return;
    }
    if (verb == "INFO") return info(words);
    if (phase_ == Phase::Transfer) return;  // nothing else is taken while data flow
    if (verb == "HELLO") return hello();
    if (verb == "SLPROTO") {
        if (words.size() == 2 && (words[1] == "4.0" || words[1] == "4")) {
            v4_ = true;
            return ok();
        }
        if (words.size() == 2 && (words[1] == "3.1" || words[1] == "3.0" || words[1] == "3")) {
            v4_ = false;
            return ok();
        }
        return error("UNSUPPORTED", "protocol versions 4.0 and 3.1 are spoken");
    }
    if (verb == "USERAGENT") {
        userAgent_ = std::string(text.substr(std::min(text.size(), text.find_first_not_of(" \t", 9))));
        userAgent_.resize(std::min<std::size_t>(userAgent_.size(), 200));
        return ok();
    }
    if (verb == "CAPABILITIES" || verb == "ENABLE") {
        for (std::size_t i = 1; i < words.size(); ++i)
            if (upper(words[i]) == "EXTREPLY") extReply_ = true;
        return ok();
    }
    if (verb == "BATCH" && !v4_) {
        reply("OK\r\n");
        batch_ = true;
        return;
    }
    if (verb == "AUTH") return error("UNSUPPORTED", "no authentication here: keep the port on a trusted network");
    if (verb == "CAT" && !v4_) return cat();
    if (verb == "STATION") return station(words);
    if (verb == "SELECT") return select(words);
    if (verb == "DATA") return action(words, false, false);
    if (verb == "FETCH" && !v4_) return action(words, true, false);
    if (verb == "TIME" && !v4_) return action(words, false, true);
    if (verb == "END") return startTransfer(dialUp_);
    if (verb == "ENDFETCH" && v4_) return startTransfer(true);
    error("UNSUPPORTED", "unknown command " + verb.substr(0, 40));
}

void SeedlinkSession::hello() {
    // Said as configured, but never with a line end or other control
    // character, and never empty: some clients (the browser's among them)
    // refuse a HELLO answer whose second line is blank.
    std::string organization = identity_.organization;
    if (organization.empty()) organization = identity_.software.substr(0, identity_.software.find('/'));
    for (char& c : organization)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    reply(helloLine(identity_) + "\r\n" + organization + "\r\n");
}

void SeedlinkSession::station(const std::vector<std::string>& words) {
    if (words.size() < 2 || words.size() > 3) return error("ARGUMENTS", "STATION takes a station");
    if (requests_.size() >= kMaxRequests) return error("LIMIT", "too many STATION commands");
    uniStation_ = false;
    Request request;
    // 4.0 "NET_STA" (wildcards); 3.1 "STA [NET]"; a missing network is any.
    if (words.size() == 3) request.stationPattern = upper(words[2]) + "_" + upper(words[1]);
    else if (v4_) request.stationPattern = upper(words[1]);
    else request.stationPattern = "*_" + upper(words[1]);
    bool wildcard = false;  // as the client wrote it: the network we fill in for 3.1 does not count
    for (std::size_t i = 1; i < words.size(); ++i) wildcard = wildcard || words[i].find_first_of("*?") != std::string::npos;
    bool found = false;
    for (StationFiles* s : directory_.stations())
        if (s->known() && platform::matchesPattern(request.stationPattern, s->id())) found = true;
    if (!found && !wildcard) {
        request.rejected = true;
        requests_.push_back(std::move(request));
        return error("ARGUMENTS", "unknown station " + requests_.back().stationPattern.substr(0, 40));
    }
    requests_.push_back(std::move(request));
    ok();
}

void SeedlinkSession::select(const std::vector<std::string>& words) {
    Request& request = uniStation_ ? uniRequest_ : requests_.back();
    // Ignored after a refused STATION, yet answered: clients pair replies with commands.
    if (!uniStation_ && request.rejected) return error("UNEXPECTED", "the station before was not accepted");
    if (words.size() == 1) {
        if (v4_) return error("ARGUMENTS", "empty SELECT is not allowed in v4");
        request.selectors.clear();
        return ok();
    }
    // 3.1 clients may list several selectors on one line.
    std::vector<Selector> added;
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string text = upper(words[i]);
        Selector s;
        if (!text.empty() && text[0] == '!') {
            s.negative = true;
            text.erase(0, 1);
        }
        if (v4_) {
            const std::size_t colon = text.find(':');
            if (colon != std::string::npos) {
                if (s.negative || text.substr(colon + 1) != "NATIVE")
                    return error("ARGUMENTS", "the only filter is native miniSEED 2");
                text.erase(colon);
            }
        }
        const std::size_t dot = text.find('.');
        if (dot != std::string::npos) {
            s.type = text.substr(dot + 1);
            text.erase(dot);
        }
        s.stream = text;
        const bool valid = v4_ ? !s.stream.empty() || !s.type.empty()
                               : (s.stream.size() == 3 || s.stream.size() == 5 || s.stream.empty()) &&
                                     s.type.size() <= 1;
        if (!valid) return error("ARGUMENTS", "selector " + words[i].substr(0, 40) + " is not [!][LL]CCC[.T]");
        added.push_back(std::move(s));
    }
    if (request.selectors.size() + added.size() > kMaxSelectors) return error("LIMIT", "too many selectors");
    request.selectors.insert(request.selectors.end(), added.begin(), added.end());
    ok();
}

void SeedlinkSession::action(const std::vector<std::string>& words, bool dialUp, bool timeOnly) {
    Request& request = uniStation_ ? uniRequest_ : requests_.back();
    // Ignored after a refused STATION, yet answered: clients pair replies with commands.
    if (!uniStation_ && request.rejected) return error("UNEXPECTED", "the station before was not accepted");
    if (v4_ && uniStation_) return error("UNEXPECTED", "STATION must come first");
    std::size_t next = 1;
    request.start = Start::Next;
    request.beginMicros = INT64_MIN;
    request.endMicros = INT64_MAX;
    if (!timeOnly && words.size() > next) {
        const std::string seq = upper(words[next++]);
        uint64_t value = 0;
        if (seq == "ALL") {
            request.start = Start::All;
        } else if (seq == "-1") {
            request.start = Start::Next;
        } else if (parseNumber(seq, value, v4_ ? 10 : 16)) {
            request.start = Start::Sequence;
            request.sequence = value;
            request.v3Sequence = !v4_;
        } else {
            return error("ARGUMENTS", "sequence number " + seq.substr(0, 40) + " cannot be read");
        }
    }
    if (words.size() > next && !parseTime(words[next++], v4_, request.beginMicros))
        return error("ARGUMENTS", "start time " + words[next - 1].substr(0, 40) + " cannot be read");
    if (words.size() > next && !parseTime(words[next++], v4_, request.endMicros))
        return error("ARGUMENTS", "end time " + words[next - 1].substr(0, 40) + " cannot be read");
    if (words.size() > next) return error("ARGUMENTS", "too many arguments");
    if (timeOnly && request.beginMicros == INT64_MIN) return error("ARGUMENTS", "TIME needs a start time");
    // 3.1 clients resume with the next number and the time of the last record
    // they got: the number places the start; the time filters nothing, since
    // other channels' records after that number may well start earlier.
    if (!v4_ && request.start == Start::Sequence) request.beginMicros = INT64_MIN;
    request.actionGiven = true;
    dialUp_ = dialUp;
    if (uniStation_) return startTransfer(dialUp);  // 3.1 uni-station: no reply, data follow
    ok();
}

void SeedlinkSession::startTransfer(bool dialUp) {
    dialUp_ = dialUp;
    phase_ = Phase::Transfer;
    if (uniStation_) {
        requests_.clear();
        requests_.push_back(uniRequest_);
    }
    bindStations();
}

void SeedlinkSession::bindStations() {
    const std::vector<StationFiles*> stations = directory_.stations();
    std::size_t knownCount = 0;
    for (StationFiles* s : stations) knownCount += s->known() ? 1 : 0;
    if (knownCount == boundStations_) return;
    for (StationFiles* s : stations) {
        if (!s->known()) continue;
        if (std::any_of(cursors_.begin(), cursors_.end(), [s](const Cursor& c) { return c.station == s; })) continue;
        const std::string id = s->id();
        for (const Request& r : requests_) {
            if (!platform::matchesPattern(r.stationPattern, id)) continue;
            if (r.rejected) break;
            Cursor c;
            c.station = s;
            c.request = &r;
            const uint64_t first = s->firstSequence(), end = s->endSequence();
            switch (r.start) {
                case Start::All: c.next = first; break;
                case Start::Next:
                    c.next = r.beginMicros != INT64_MIN ? s->sequenceNear(r.beginMicros) : end;
                    break;
                case Start::Sequence:
                    if (r.v3Sequence) {
                        // The newest number whose 24 low bits are the ones asked for.
                        const uint64_t bits = r.sequence % packet::kV3SequenceModulus;
                        const uint64_t back = (end - bits) % packet::kV3SequenceModulus;
                        c.next = end >= back ? end - back : bits;
                    } else {
                        c.next = std::min(r.sequence, end);
                    }
                    c.next = std::max(c.next, first);
                    break;
            }
            if (dialUp_) c.limit = end;
            cursors_.push_back(c);
            break;
        }
    }
    boundStations_ = knownCount;
}

bool SeedlinkSession::wanted(const Request& request, const RecordFields& f) const {
    if (request.selectors.empty()) return true;
    const std::string id = streamId(f);
    const std::string formatCode = std::string("2") + f.quality;
    const char type = 'D';  // every record served is a data record
    bool positive = false, anyPositive = false;
    for (const Selector& s : request.selectors) {
        bool match;
        if (v4_) {
            match = (s.stream.empty() || platform::matchesPattern(s.stream, id)) &&
                    (s.type.empty() || platform::matchesPattern(s.type + "*", formatCode));
        } else {
            match = (s.stream.empty() || v3StreamMatch(s.stream, f)) &&
                    (s.type.empty() || s.type[0] == '?' || s.type[0] == type);
        }
        if (s.negative) {
            if (match) return false;
        } else {
            anyPositive = true;
            positive = positive || match;
        }
    }
    return positive || !anyPositive;
}

// The files hold each channel's records in turn, so records of other channels
// inside the window may follow one past its end: the window has passed once
// every selected stream of the station has.
bool SeedlinkSession::windowPassed(const Cursor& c) const {
    for (const auto& [id, stream] : c.station->streams()) {
        if (std::find(c.pastEnd.begin(), c.pastEnd.end(), id) != c.pastEnd.end()) continue;
        RecordFields f;
        f.location = stream.location;
        f.channel = stream.channel;
        if (wanted(*c.request, f)) return false;
    }
    return true;
}

bool SeedlinkSession::finishedAll() const {
    if (!std::all_of(cursors_.begin(), cursors_.end(), [](const Cursor& c) { return c.done; })) return false;
    if (dialUp_) return true;
    // Real time with a window: over once every request's window has passed.
    return !cursors_.empty() && std::all_of(requests_.begin(), requests_.end(), [](const Request& r) {
               return r.rejected || r.endMicros != INT64_MAX;
           });
}

bool SeedlinkSession::pump(std::size_t budget) {
    if (phase_ != Phase::Transfer) return false;
    bindStations();
    records_.resize(std::size_t(kRecordsPerRead) * kRecord);
    std::size_t sent = 0;
    std::string packetBytes;
    bool more = false;
    std::size_t idle = 0;
    while (!cursors_.empty() && idle < cursors_.size()) {
        Cursor& c = cursors_[turn_++ % cursors_.size()];
        const uint64_t stop = std::min(c.station->endSequence(), c.limit);
        if (c.done || c.next >= stop) {
            if (!c.done && dialUp_ && c.next >= c.limit) c.done = true;
            ++idle;
            continue;
        }
        if (sent >= budget) {
            more = true;
            break;
        }
        idle = 0;
        uint64_t first = 0;
        const int max = int(std::min<uint64_t>(kRecordsPerRead, stop - c.next));
        const int n = c.station->read(c.next, records_.data(), max, first);
        if (n == 0) {
            c.next = stop;  // nothing left in the files below the horizon
            continue;
        }
        const std::string stationId = c.station->id();
        for (int i = 0; i < n; ++i) {
            const uint8_t* record = records_.data() + std::size_t(i) * kRecord;
            const uint64_t seq = first + uint64_t(i);
            c.next = seq + 1;
            RecordFields f;
            if (!readRecordFields(record, f)) continue;
            if (f.startMicros >= c.request->endMicros) {
                const std::string id = streamId(f);
                if (std::find(c.pastEnd.begin(), c.pastEnd.end(), id) == c.pastEnd.end()) c.pastEnd.push_back(id);
                c.done = windowPassed(c);
                if (c.done) break;
                continue;
            }
            if (c.request->beginMicros != INT64_MIN && f.endMicros <= c.request->beginMicros) continue;
            if (!wanted(*c.request, f)) continue;
            packetBytes.clear();
            if (v4_) appendV4Header(packetBytes, '2', f.quality, kRecord, seq, stationId);
            else appendV3Header(packetBytes, seq);
            packetBytes.append(reinterpret_cast<const char*>(record), kRecord);
            sink_.message(packetBytes, true);
            ++packetsSent_;
            sent += packetBytes.size();
        }
    }
    if (finishedAll() && (dialUp_ || !cursors_.empty())) {
        sink_.message(packet::kDialUpEnd, true);
        phase_ = Phase::Closed;
        return false;
    }
    return more;
}

void SeedlinkSession::cat() {
    std::string text;
    for (StationFiles* s : directory_.stations())
        if (s->known()) text += s->network() + " " + s->station() + "\r\n";
    reply(text + "END\r\n");
}

void SeedlinkSession::info(const std::vector<std::string>& words) {
    const std::string level = words.size() > 1 ? upper(words[1]) : std::string();
    if (v4_) {
        bool failed = false;
        const std::string json = v4Info(level, words, failed);
        sink_.message(v4Header('J', failed ? 'E' : 'I', uint32_t(json.size()), 0, "") + json, true);
        return;
    }
    static const char* const kLevels[] = {"ID", "CAPABILITIES", "STATIONS", "STREAMS", "GAPS", "CONNECTIONS", "ALL"};
    if (std::find(std::begin(kLevels), std::end(kLevels), level) == std::end(kLevels))
        return error("ARGUMENTS", "INFO levels: ID CAPABILITIES STATIONS STREAMS GAPS CONNECTIONS ALL");
    sendV3Info(v3Info(level));
}

std::string SeedlinkSession::v3Info(const std::string& level) {
    std::string xml = "<?xml version=\"1.0\"?>\n<seedlink software=\"" + escaped(helloLine(identity_), false) +
                      "\" organization=\"" + escaped(identity_.organization, false) + "\" started=\"" +
                      timeText(identity_.startedMicros, false) + "\">\n";
    if (level == "CAPABILITIES" || level == "ALL") {
        for (const char* cap : {"dialup", "multistation", "window-extraction", "info:id", "info:capabilities",
                                "info:stations", "info:streams", "info:connections"})
            xml += " <capability name=\"" + std::string(cap) + "\"/>\n";
    }
    const bool stations = level == "STATIONS" || level == "STREAMS" || level == "GAPS" || level == "ALL";
    if (stations) {
        char seq[64];
        for (StationFiles* s : directory_.stations()) {
            if (!s->known()) continue;
            std::snprintf(seq, sizeof seq, "begin_seq=\"%06" PRIX64 "\" end_seq=\"%06" PRIX64 "\"",
                          s->firstSequence() % packet::kV3SequenceModulus,
                          s->endSequence() % packet::kV3SequenceModulus);
            xml += " <station name=\"" + escaped(s->station(), false) + "\" network=\"" +
                   escaped(s->network(), false) + "\" description=\"\" " + seq + " stream_check=\"enabled\"";
            if (level == "STATIONS") {
                xml += "/>\n";
                continue;
            }
            xml += ">\n";
            for (const auto& [id, stream] : s->streams())
                xml += "  <stream location=\"" + escaped(stream.location, false) + "\" seedname=\"" +
                       escaped(stream.channel, false) + "\" type=\"D\" begin_time=\"" +
                       timeText(stream.startMicros, false) + "\" end_time=\"" + timeText(stream.endMicros, false) +
                       "\" begin_recno=\"0\" end_recno=\"0\" gap_check=\"disabled\" gap_treshold=\"0\"/>\n";
            xml += " </station>\n";
        }
    }
    if (level == "CONNECTIONS" || level == "ALL") {
        for (const ConnectionSummary& c : directory_.connections())
            xml += " <connection host=\"" + escaped(c.address, false) + "\" ctime=\"" +
                   timeText(c.connectedMicros, false) + "\" useragent=\"" + escaped(c.userAgent, false) +
                   "\" protocol=\"" + std::to_string(c.protocol) + "\" txcount=\"" + std::to_string(c.packetsSent) +
                   "\" realtime=\"" + (c.transferring ? "yes" : "no") + "\"/>\n";
    }
    return xml + "</seedlink>\n";
}

void SeedlinkSession::sendV3Info(const std::string& xml) {
    namespace m = outputs::mseed;
    using platform::put_u16be;
    const platform::CivilTime t = platform::utcFromSeconds(nowMicros() / 1'000'000);
    for (std::size_t at = 0; at < xml.size(); at += kInfoRecordText) {
        const std::size_t n = std::min(kInfoRecordText, xml.size() - at);
        uint8_t record[kRecord] = {};
        std::memcpy(record, "000000D ", 8);
        std::memcpy(record + m::kOffStation, "INFO   LOG  ", 12);  // station, location, channel, network
        put_u16be(record + m::kOffYear, uint16_t(t.year));
        put_u16be(record + m::kOffDayOfYear, uint16_t(t.dayOfYear));
        record[m::kOffHour] = uint8_t(t.hour);
        record[m::kOffMinute] = uint8_t(t.minute);
        record[m::kOffSecond] = uint8_t(t.second);
        put_u16be(record + m::kOffSampleCount, uint16_t(n));
        record[m::kOffBlocketteCount] = 1;
        put_u16be(record + m::kOffDataBegin, uint16_t(kRecord - kInfoRecordText));
        put_u16be(record + m::kOffFirstBlockette, m::kFixedHeaderSize);
        uint8_t* b1000 = record + m::kFixedHeaderSize;
        put_u16be(b1000 + m::kB1000OffType, 1000);
        b1000[m::kB1000OffEncoding] = 0;  // ASCII text
        b1000[m::kB1000OffWordOrder] = 1;
        b1000[m::kB1000OffLength] = m::kRecordLengthExponent;
        std::memcpy(record + kRecord - kInfoRecordText, xml.data() + at, n);
        const bool last = at + n >= xml.size();
        std::string packet = last ? "SLINFO  " : "SLINFO *";
        packet.append(reinterpret_cast<const char*>(record), kRecord);
        sink_.message(packet, true);
    }
}

std::string SeedlinkSession::v4Info(const std::string& level, const std::vector<std::string>& words, bool& failed) {
    std::string json = "{\"software\":\"" + escaped(helloLine(identity_), true) + "\",\"organization\":\"" +
                       escaped(identity_.organization, true) + "\"";
    const std::string stationPattern = words.size() > 2 ? upper(words[2]) : "*";
    const std::string streamPattern = words.size() > 3 ? upper(words[3]) : "*";
    if (level == "ID") {
    } else if (level == "FORMATS") {
        json += ",\"format\":{\"2\":{\"mimetype\":\"application/vnd.fdsn.mseed\",\"subformat\":{\"D\":\"data\"}},"
                "\"J\":{\"mimetype\":\"application/json\",\"subformat\":{\"I\":\"seedlink-info\",\"E\":"
                "\"seedlink-error\"}}},\"filter\":{\"native\":\"miniSEED 2 as stored\"}";
    } else if (level == "CAPABILITIES") {
        json += ",\"capability\":[\"SLPROTO:4.0\",\"SLPROTO:3.1\",\"TIME\",\"WS:13\"]";
    } else if (level == "STATIONS" || level == "STREAMS") {
        json += ",\"station\":[";
        bool firstStation = true;
        for (StationFiles* s : directory_.stations()) {
            if (!s->known() || !platform::matchesPattern(stationPattern, s->id())) continue;
            json += std::string(firstStation ? "" : ",") + "{\"id\":\"" + escaped(s->id(), true) +
                    "\",\"description\":\"\",\"start_seq\":" + std::to_string(s->firstSequence()) +
                    ",\"end_seq\":" + std::to_string(s->endSequence()) + ",\"backfill\":0";
            firstStation = false;
            if (level == "STREAMS") {
                json += ",\"stream\":[";
                bool firstStream = true;
                for (const auto& [id, stream] : s->streams()) {
                    if (!platform::matchesPattern(streamPattern, id)) continue;
                    json += std::string(firstStream ? "" : ",") + "{\"id\":\"" + escaped(id, true) +
                            "\",\"format\":\"2\",\"subformat\":\"D\",\"origin\":\"native\",\"start_time\":\"" +
                            timeText(stream.startMicros, true) + "\",\"end_time\":\"" +
                            timeText(stream.endMicros, true) + "\"}";
                    firstStream = false;
                }
                json += "]";
            }
            json += "}";
        }
        json += "]";
    } else if (level == "CONNECTIONS") {
        json += ",\"connections\":{\"client\":[";
        bool first = true;
        for (const ConnectionSummary& c : directory_.connections()) {
            json += std::string(first ? "" : ",") + "{\"address\":\"" + escaped(c.address, true) +
                    "\",\"useragent\":\"" + escaped(c.userAgent, true) + "\",\"protocol\":" +
                    std::to_string(c.protocol) + ",\"connected\":\"" + timeText(c.connectedMicros, true) +
                    "\",\"packets\":" + std::to_string(c.packetsSent) +
                    ",\"transferring\":" + (c.transferring ? "true" : "false") + "}";
            first = false;
        }
        json += "]}";
    } else {
        failed = true;
        json += ",\"error\":{\"code\":\"ARGUMENTS\",\"message\":\"INFO items: ID FORMATS CAPABILITIES STATIONS "
                "STREAMS CONNECTIONS\"}";
    }
    return json + "}";
}

}  // namespace velt::serve

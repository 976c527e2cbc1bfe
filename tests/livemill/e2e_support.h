// End-to-end test support for the converter: a complete site on disk (the
// encoder's stream cut into real-time files, livemill.ini, one INI file per
// input with all three outputs, the miniSEED store settings, qrx.ini and a
// SQLite FILELIST data source), readers for every output that work from the
// documented file layouts alone (libmseed for miniSEED), and a per-sample
// tally that says, for every channel, which of the encoder's samples an
// output holds, how often, and whether with the right value.
//
// Times: every input keeps the recorder's default delay of 0xD623 = 54819,
// so a block stamped T starts at T - 0.54819 s in a QRX4.0 file (10 us
// units), at T - 0.054819 s in miniSEED (1 us units) and at (T - 1).452 in a
// 4-int file name (delay / 100 ms). A QRX4.0 name or header therefore shows
// the second T - 1 of the first block T, and so does a 4-int name.
#pragma once

#include <fcntl.h>
#include <libmseed.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "livemill/input_reader.h"
#include "livemill/livemill_config.h"
#include "livemill/worker.h"
#include "platform/endian.h"
#include "platform/ini_file.h"
#include "recorder/block_format.h"
#include "stream_fixture.h"
#include "support/child_process.h"
#include "support/odbc_fixture.h"
#include "support/temp_dir.h"

namespace velt::test::e2e {

constexpr uint32_t kDelay = 0xD623;
constexpr double kQrxDelaySeconds = kDelay * 0.00001;
constexpr int64_t kMseedDelayMicros = kDelay;
constexpr int kFourIntMillis = 1000 - int(kDelay / 100);  // 452
constexpr int kQrxHeaderBytes = 512;
constexpr int kMseedRecordBytes = 512;

// ---------------------------------------------------------------- calendar

/// Days since 1970-01-01 of a proleptic Gregorian date.
inline int64_t daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

inline int64_t utcSeconds(int y, int mo, int d, int h, int mi, int s) {
    return daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

// ------------------------------------------------------------------ inputs

struct InputPlan {
    std::string station;
    std::vector<std::string> channels;  // three names
    int rate = 100;
    int blocks = 500;
    uint32_t firstMark = 1767225599;  // first block stamped 2026-01-01 00:00:00
    uint32_t firstBlockNumber = 0;
    uint64_t seed = 1;
    std::string naming = "TEST";  // FILENAMEMEODE
    long secondsInFile = 0;       // SECINFILE; 0 = key absent
    int maxBlock = 0;             // MAXBLOCK; 0 = key absent
    int secondsPerRun = 10;       // SECINSEEDBUF
    int runsPerFile = 1;          // SEEDBUFINFILE
    bool wait = true;             // COMMON/WAIT
    int writtenBlocks = 0;        // blocks in the files at the start; 0 = all (see Site::writeStream)
};

struct Input {
    InputPlan plan;
    EncodedStream stream;
    int blockBytes = 0;
    long firstFile = 0x100;
    std::size_t fileSize = 0;
    std::string ini, rtDir, fourIntDir, mseedDir, mseedConf;

    int64_t firstTime() const { return stream.times.front(); }
    int blocks() const { return int(stream.times.size()); }
    int64_t samplesPerChannel() const { return int64_t(blocks()) * plan.rate; }
    int channelIndex(const std::string& name) const {
        for (int c = 0; c < 3; ++c)
            if (plan.channels[std::size_t(c)] == name) return c;
        return -1;
    }
    /// Block index of the stored reading position, or -1 when it is not on a block boundary.
    long persistedBlock() const {
        const std::string num = platform::readProfileString(ini, "WORK", "FILENUM", "", 100);
        if (num.empty()) return 0;
        const long file = livemill::InputReader::parseFileNumber(num);
        const long offset = platform::readProfileInt(ini, "WORK", "OFFSET", 0);
        const long byte = (file - firstFile) * long(fileSize) + offset;
        return byte % blockBytes == 0 ? byte / blockBytes : -1;
    }
};

// Station ALPHA: 100 samples/s, first block stamped 2026-01-01 00:00:00,
// 4-int test naming with 300-second files, QRX4.0 default MAXBLOCK (runs
// written at the 49900-sample limit and every 600 blocks), miniSEED runs of
// 10 s, one run per file.
inline InputPlan alphaPlan(int blocks) {
    InputPlan s;
    s.station = "ALPHA";
    s.channels = {"HHZ", "HHN", "HHE"};
    s.rate = 100;
    s.blocks = blocks;
    s.seed = 17;
    s.naming = "TEST";
    s.secondsInFile = 300;
    return s;
}

// Station BRAVO: 40 samples/s, first block stamped 2026-03-15 12:30:46,
// default 4-int naming, MAXBLOCK 250, miniSEED runs of 20 s, three runs
// per file, WAIT off.
inline InputPlan bravoPlan(int blocks) {
    InputPlan s;
    s.station = "BRAVO";
    s.channels = {"BHZ", "BHN", "BHE"};
    s.rate = 40;
    s.blocks = blocks;
    s.firstMark = 1773577845;
    s.firstBlockNumber = 70000;
    s.seed = 29;
    s.naming = "GNX";
    s.maxBlock = 250;
    s.secondsPerRun = 20;
    s.runsPerFile = 3;
    s.wait = false;
    return s;
}

// ---------------------------------------------------------------- coverage

/// How the samples an output holds for one channel compare with the encoder's.
struct Tally {
    int64_t lost = 0;        // samples the encoder sent that the output does not hold
    int64_t doubled = 0;     // extra copies
    int64_t mismatched = 0;  // samples at a valid time whose value is wrong
    int64_t outside = 0;     // samples at a time the encoder never sent
};

class Coverage {
public:
    explicit Coverage(const Input& input) : rate_(input.plan.rate) {
        for (int c = 0; c < 3; ++c) {
            auto& e = expected_[std::size_t(c)];
            for (const auto& block : input.stream.samples)
                e.insert(e.end(), block.channel[std::size_t(c)].begin(), block.channel[std::size_t(c)].end());
            count_[std::size_t(c)].assign(e.size(), 0);
        }
    }

    /// Adds samples held by an output, the first at sample `index` of the channel.
    void add(int channel, int64_t index, const std::vector<int32_t>& samples) {
        if (channel < 0 || channel > 2) {
            outsideAll_ += int64_t(samples.size());
            return;
        }
        const auto& e = expected_[std::size_t(channel)];
        auto& n = count_[std::size_t(channel)];
        Tally& t = extra_[std::size_t(channel)];
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const int64_t at = index + int64_t(i);
            if (at < 0 || at >= int64_t(e.size())) {
                ++t.outside;
            } else if (samples[i] != e[std::size_t(at)]) {
                ++t.mismatched;
            } else {
                ++n[std::size_t(at)];
            }
        }
    }

    /// The tally of `channel`; samples of unknown channels count as outside on channel 0.
    Tally tally(int channel) const {
        Tally t = extra_[std::size_t(channel)];
        t.outside += channel == 0 ? outsideAll_ : 0;
        for (uint32_t n : count_[std::size_t(channel)]) {
            if (n == 0) ++t.lost;
            if (n > 1) t.doubled += n - 1;
        }
        return t;
    }
    /// True when every sample from `index` on is held at least once.
    bool completeFrom(int channel, int64_t index) const {
        const auto& n = count_[std::size_t(channel)];
        for (std::size_t i = std::size_t(std::max<int64_t>(index, 0)); i < n.size(); ++i)
            if (n[i] == 0) return false;
        return true;
    }
    /// Index one past the last sample held, 0 when none.
    int64_t end(int channel) const {
        const auto& n = count_[std::size_t(channel)];
        for (std::size_t i = n.size(); i > 0; --i)
            if (n[i - 1] != 0) return int64_t(i);
        return 0;
    }
    int rate() const { return rate_; }

private:
    int rate_;
    std::array<std::vector<int32_t>, 3> expected_;
    std::array<std::vector<uint32_t>, 3> count_;
    std::array<Tally, 3> extra_{};
    int64_t outsideAll_ = 0;
};

// ------------------------------------------------------------------ readers

inline std::vector<std::string> regularFiles(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(s.begin());
    return s;
}

/// A QRX4.0 file as its header and samples say.
struct QrxFile {
    std::string relativePath;  // "<station>/<name>"
    int channel = -1;
    int64_t nameSecond = 0;    // whole start second from the file name
    int64_t firstBlockTime = 0;
    std::vector<int32_t> samples;
    std::vector<std::string> faults;  // layout departures
};

/// Reads every complete QRX4.0 file of `input` under `dataDir` (temporary
/// names of interrupted writes are left out).
inline std::vector<QrxFile> readQrx(const std::string& dataDir, const Input& input) {
    std::vector<QrxFile> files;
    const std::string& station = input.plan.station;
    for (const std::string& name : regularFiles(dataDir + "/" + station)) {
        if (name.find(".tmp") != std::string::npos) continue;
        QrxFile f;
        f.relativePath = station + "/" + name;
        int d, mo, y, h, mi, s;
        char chan[16] = {}, sta[16] = {};
        if (std::sscanf(name.c_str(), "%2d%2d%4d-%2d%2d%2d-%15[^.].%15s", &d, &mo, &y, &h, &mi, &s, chan, sta) != 8) {
            f.faults.push_back("name " + name);
            files.push_back(f);
            continue;
        }
        f.nameSecond = utcSeconds(y, mo, d, h, mi, s);
        f.firstBlockTime = f.nameSecond + 1;  // the delay moves the start less than a second back
        f.channel = input.channelIndex(trimmed(chan));
        if (trimmed(sta) != station) f.faults.push_back("station in name " + name);

        const std::vector<uint8_t> bytes = readFile(dataDir + "/" + f.relativePath);
        if (bytes.size() < std::size_t(kQrxHeaderBytes) || (bytes.size() - kQrxHeaderBytes) % 4 != 0) {
            f.faults.push_back("size " + std::to_string(bytes.size()));
            files.push_back(f);
            continue;
        }
        const std::string header(bytes.begin(), bytes.begin() + kQrxHeaderBytes);
        const std::size_t zero = header.find('\0');
        if (zero == std::string::npos || header.find_first_not_of(' ', zero + 1) != std::string::npos)
            f.faults.push_back("header padding");
        const std::size_t count = (bytes.size() - kQrxHeaderBytes) / 4;
        const double duration = double(count) / input.plan.rate;
        const int64_t whole = int64_t(duration);
        char expected[512];
        char rate[32];
        std::snprintf(rate, sizeof rate, "%f", double(input.plan.rate));
        std::snprintf(expected, sizeof expected,
                      "[QRX4.0]\r\nData offset=512\r\nStart time=%02d %02d %02d\r\nStart date=%02d %02d %04d\r\n"
                      "Time duration=%02d %02d %02d\r\nData Type=FLOAT\r\nSpS=%s\r\nGain=1\r\nStation=%s\r\n"
                      "Channels=\"%s\"\r\n",
                      h, mi, s, d, mo, y, int(whole / 3600), int(whole / 60 % 60), int(whole % 60), rate,
                      station.c_str(), trimmed(chan).c_str());
        if (header.substr(0, zero) != expected) f.faults.push_back("header of " + name + ":\n" + header.substr(0, zero));
        for (std::size_t i = 0; i < count; ++i) {
            const float v = std::bit_cast<float>(platform::get_u32le(bytes.data() + kQrxHeaderBytes + 4 * i));
            if (v != std::nearbyint(v)) f.faults.push_back("fractional sample");
            f.samples.push_back(int32_t(v));
        }
        files.push_back(std::move(f));
    }
    return files;
}

/// A 4-int file: samples and the first-sample time its name gives.
struct FourIntFile {
    std::string name;
    int channel = -1;
    int64_t firstBlockTime = 0;
    std::vector<int32_t> samples;
    std::vector<std::string> faults;
};

/// Station, channel and first block time from a 4-int file name. @return false when the name does not parse.
inline bool parseFourIntName(const Input& input, const std::string& name, FourIntFile& f) {
    f.name = name;
    int y, mo, d, h, mi, s, fraction;
    if (input.plan.naming == "TEST") {
        // station "_" channel "_YYYYMMDD_HHMMSS_mmm"
        const std::string head = input.plan.station + "_";
        const std::size_t sep = name.find('_', head.size());
        if (name.rfind(head, 0) != 0 || sep == std::string::npos ||
            std::sscanf(name.c_str() + sep, "_%4d%2d%2d_%2d%2d%2d_%3d", &y, &mo, &d, &h, &mi, &s, &fraction) != 7)
            return false;
        f.channel = input.channelIndex(name.substr(head.size(), sep - head.size()));
        if (fraction != kFourIntMillis) f.faults.push_back("milliseconds in " + name);
    } else {
        // "YYMMDDBHH" component "MMSS_hh" "." station
        char component = 0;
        char station[32] = {};
        if (std::sscanf(name.c_str(), "%2d%2d%2dB%2d%c%2d%2d_%2d.%31s", &y, &mo, &d, &h, &component, &mi, &s,
                        &fraction, station) != 9)
            return false;
        // Data converted again go to a free name beside the first file: "NAME.1", "NAME.2", ...
        std::string base = station;
        const std::size_t dot = base.rfind('.');
        if (dot != std::string::npos && dot + 1 < base.size() &&
            base.find_first_not_of("0123456789", dot + 1) == std::string::npos)
            base.resize(dot);
        if (base != input.plan.station) return false;
        y += 2000;
        for (int c = 0; c < 3; ++c)
            if (input.plan.channels[std::size_t(c)].back() == component) f.channel = c;
        if (fraction != (kFourIntMillis + 5) / 10) f.faults.push_back("hundredths in " + name);
    }
    f.firstBlockTime = utcSeconds(y, mo, d, h, mi, s) + 1;
    return true;
}

inline std::vector<FourIntFile> readFourInt(const Input& input) {
    std::vector<FourIntFile> files;
    for (const std::string& name : regularFiles(input.fourIntDir)) {
        FourIntFile f;
        if (!parseFourIntName(input, name, f)) {
            f.faults.push_back("name " + name);
            files.push_back(f);
            continue;
        }
        const std::vector<uint8_t> bytes = readFile(input.fourIntDir + "/" + name);
        if (bytes.size() % 4 != 0) f.faults.push_back("partial sample in " + name);
        for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4)
            f.samples.push_back(int32_t(platform::get_u32le(bytes.data() + i)));
        files.push_back(std::move(f));
    }
    return files;
}

/// Bytes in the 4-int files of `channel` of `input`: its progress, block by block.
inline std::uintmax_t fourIntBytes(const Input& input, int channel) {
    std::uintmax_t total = 0;
    for (const std::string& name : regularFiles(input.fourIntDir)) {
        FourIntFile f;
        std::error_code ec;
        if (parseFourIntName(input, name, f) && f.channel == channel) {
            const auto size = std::filesystem::file_size(input.fourIntDir + "/" + name, ec);
            if (!ec) total += size;
        }
    }
    return total;
}

struct MseedRecord {
    std::string file, station, channel;
    int64_t startMicros = 0;
    double rate = 0;
    std::vector<int32_t> samples;
};

struct MseedFiles {
    std::vector<MseedRecord> records;
    std::vector<std::string> names;
    int refused = 0;       // records libmseed could not parse or unpack
    int partialFiles = 0;  // files whose size is not a multiple of 512
};

/// Reads every record of every file in the store's folder with libmseed.
inline MseedFiles readMseed(const Input& input) {
    MseedFiles out;
    out.names = regularFiles(input.mseedDir);
    for (const std::string& name : out.names) {
        std::vector<uint8_t> bytes = readFile(input.mseedDir + "/" + name);
        if (bytes.size() % kMseedRecordBytes != 0) ++out.partialFiles;
        for (std::size_t at = 0; at + kMseedRecordBytes <= bytes.size(); at += kMseedRecordBytes) {
            MSRecord* msr = nullptr;
            if (msr_parse(reinterpret_cast<char*>(bytes.data() + at), kMseedRecordBytes, &msr, 0, 1, 0) != MS_NOERROR ||
                msr == nullptr || msr->sampletype != 'i' || msr->numsamples != msr->samplecnt) {
                ++out.refused;
                msr_free(&msr);
                continue;
            }
            MseedRecord r;
            r.file = name;
            r.station = msr->station;
            r.channel = msr->channel;
            r.startMicros = msr->starttime;
            r.rate = msr->samprate;
            const auto* s = static_cast<const int32_t*>(msr->datasamples);
            r.samples.assign(s, s + msr->numsamples);
            out.records.push_back(std::move(r));
            msr_free(&msr);
        }
    }
    return out;
}

/// Every output of one input, read back and laid against the encoder's samples.
struct OutputCheck {
    explicit OutputCheck(const Input& in) : qrx(in), fourInt(in), mseed(in) {}
    Coverage qrx, fourInt, mseed;
    std::vector<QrxFile> qrxFiles;
    std::vector<FourIntFile> fourIntFiles;
    MseedFiles mseedFiles;
    std::vector<std::string> faults;
    int64_t mseedTimeErrors = 0;  // records more than 0.6 ms off the time of their first sample
};

inline OutputCheck checkOutputs(const std::string& qrxDir, const Input& in) {
    OutputCheck out(in);
    const int64_t t0 = in.firstTime();
    const int rate = in.plan.rate;
    out.qrxFiles = readQrx(qrxDir, in);
    for (const QrxFile& f : out.qrxFiles) {
        for (const auto& fault : f.faults) out.faults.push_back("QRX " + fault);
        out.qrx.add(f.channel, (f.firstBlockTime - t0) * rate, f.samples);
    }
    out.fourIntFiles = readFourInt(in);
    for (const FourIntFile& f : out.fourIntFiles) {
        for (const auto& fault : f.faults) out.faults.push_back("4-int " + fault);
        out.fourInt.add(f.channel, (f.firstBlockTime - t0) * rate, f.samples);
    }
    out.mseedFiles = readMseed(in);
    // Sample i of a channel starts at t0 - delay + i / rate; records carry
    // their start rounded to the millisecond plus the carried tick rest.
    const int64_t origin = t0 * 1'000'000 - kMseedDelayMicros;
    for (const MseedRecord& r : out.mseedFiles.records) {
        const int64_t index = std::llround(double(r.startMicros - origin) * rate / 1e6);
        const int64_t exact = origin + index * 1'000'000 / rate;
        if (std::llabs(r.startMicros - exact) > 600) ++out.mseedTimeErrors;
        if (r.station != in.plan.station.substr(0, 5) || r.rate != rate)
            out.faults.push_back("miniSEED header " + r.station + " " + std::to_string(r.rate));
        out.mseed.add(in.channelIndex(r.channel), index, r.samples);
    }
    return out;
}

// -------------------------------------------------------------------- site

/// Folders, settings and streams of a converter with its inputs, plus the
/// FILELIST data source (SQLite, or PostgreSQL on the server at `pgPort`,
/// default VELT_PG_PORT), all under one temporary folder.
class Site {
public:
    Site(std::vector<InputPlan> plans, std::size_t fileSize, Backend backend = Backend::SQLite,
         const std::string& pgPort = "") {
        cfg = root.file("cfg");
        qrxDir = root.file("qrx");
        std::filesystem::create_directories(cfg);
        std::filesystem::create_directories(qrxDir);
        std::string main = "[LIVEMILL]\nMAXNOFINPSTREAM=" + std::to_string(plans.size()) + "\n";
        for (std::size_t i = 0; i < plans.size(); ++i) {
            Input in;
            in.plan = plans[i];
            in.fileSize = fileSize;
            const std::string n = std::to_string(i);
            in.ini = cfg + "/input" + n + ".ini";
            in.rtDir = root.file("rt" + n);
            in.fourIntDir = root.file("int" + n);
            in.mseedDir = root.file("ms" + n);
            in.mseedConf = cfg + "/mseed" + n + ".ini";
            for (const auto* d : {&in.rtDir, &in.fourIntDir, &in.mseedDir}) std::filesystem::create_directories(*d);

            recorder::EncoderSettings es;
            es.stationName = in.plan.station;
            es.channelNames = in.plan.channels;
            es.sampleRate = in.plan.rate;
            es.firstMarkSeconds = in.plan.firstMark;
            es.firstBlockNumber = in.plan.firstBlockNumber;
            es.delay = kDelay;
            recorder::StreamEncoder encoder(es);
            recorder::SignalGenerator signal(in.plan.seed);
            encode(encoder, signal, in.plan.blocks, in.stream);
            in.blockBytes = recorder::blockLength(in.plan.rate);
            writeBlocks(in, in.plan.writtenBlocks > 0 ? in.plan.writtenBlocks : in.plan.blocks);

            std::string text = "[INPUT]\nINDIR=" + in.rtDir + "\n";
            if (!in.plan.wait) text += "[COMMON]\nWAIT=NO\n";
            text += "[OUT4INTFILE]\nTODO=YES\nOUTDIR=" + in.fourIntDir + "/\nFILENAMEMEODE=" + in.plan.naming + "\n";
            if (in.plan.secondsInFile > 0) text += "SECINFILE=" + std::to_string(in.plan.secondsInFile) + "\n";
            text += "[OUTQRX]\nTODO=YES\n";
            if (in.plan.maxBlock > 0) text += "MAXBLOCK=" + std::to_string(in.plan.maxBlock) + "\n";
            text += "[OUTMSEEDFS]\nCONFFILE=" + in.mseedConf + "\n";
            std::ofstream(in.ini) << text;
            std::ofstream(in.mseedConf) << "[COMMON]\nSECINSEEDBUF=" << in.plan.secondsPerRun
                                        << "\nOUTFILEPREFIX=" << in.mseedDir << "/\nSEEDBUFINFILE="
                                        << in.plan.runsPerFile << "\n";
            main += "INP" + n + "=" + in.ini + "\n";
            inputs.push_back(std::move(in));
        }
        std::ofstream(cfg + "/livemill.ini") << main;
        std::ofstream(cfg + "/qrx.ini") << "[DATA]\nDIR=" << qrxDir << "\n";
        dbProblem = db.setUp(backend, root.path(), pgPort);
    }

    /// Writes the first `blocks` blocks of input `i`'s stream into its
    /// real-time files, as a recorder that has got that far would have.
    void writeStream(std::size_t i, int blocks) { writeBlocks(inputs[i], blocks); }
    /// Appends blocks [from, to) of input `i`'s stream to its real-time
    /// files, as a recorder writing on would: the last file grows, then new
    /// files follow.
    void extendStream(std::size_t i, int from, int to) {
        const Input& in = inputs[i];
        const std::size_t end = std::size_t(to) * std::size_t(in.blockBytes);
        for (std::size_t at = std::size_t(from) * std::size_t(in.blockBytes); at < end;) {
            const std::size_t file = at / in.fileSize;
            const std::size_t stop = std::min(end, (file + 1) * in.fileSize);
            std::ofstream(in.rtDir + "/" + rtName(in.firstFile + long(file)), std::ios::binary | std::ios::app)
                .write(reinterpret_cast<const char*>(in.stream.bytes.data() + at), std::streamsize(stop - at));
            at = stop;
        }
    }
    static void writeBlocks(const Input& in, int blocks) {
        const auto end = in.stream.bytes.begin() + long(std::size_t(blocks) * std::size_t(in.blockBytes));
        writeRealTimeFiles(in.rtDir, std::vector<uint8_t>(in.stream.bytes.begin(), end), in.firstFile, in.fileSize);
    }

    livemill::LivemillConfig config() const {
        livemill::LivemillConfig c;
        std::string error;
        EXPECT_EQ(livemill::readLivemillConfig(cfg + "/livemill.ini", c, error), 0) << error;
        return c;
    }

    livemill::WorkerOptions options() const {
        livemill::WorkerOptions o;
        o.untilIdle = true;
        o.idleSleepMilliseconds = 10;
        o.qrx.dataDirectory = qrxDir;
        o.qrx.connectionString = db.connection();
        return o;
    }

    /// Environment of a converter process (the variables that differ from the
    /// test's own, which replace them): the data source "QRX" on the same
    /// database, in ODBC files of its own. The SQLite driver unloads the
    /// installer library with the settings it cached still allocated, which
    /// the leak checker of a sanitizer build reports against an unknown
    /// module; preloading the library keeps it loaded, so that memory stays
    /// reachable and is named, and only it is suppressed.
    std::vector<std::string> childEnvironment() const {
        const std::string odbc = root.file("odbc-child");
        std::filesystem::create_directories(odbc);
        std::ofstream(odbc + "/odbcinst.ini")
            << "[SQLite3]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n"
               "[PostgreSQL]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so\n";
        std::ofstream(odbc + "/odbc.ini") << "[QRX]\n" << db.dataSource();
        // psqlODBC's small loss on a failed statement is the driver's, as in the fixture.
        std::ofstream(odbc + "/lsan.supp") << "leak:libodbcinst.so\nleak:psqlodbcw.so\n";
        return {"ODBCSYSINI=" + odbc,
                "ODBCINI=" + odbc + "/odbc.ini",
                "XDG_CONFIG_HOME=" + odbc,
                "LSAN_OPTIONS=suppressions=" + odbc + "/lsan.supp",
                "LD_PRELOAD=libodbcinst.so.2",
                "ASAN_OPTIONS=verify_asan_link_order=0"};
    }

    TempDir root;
    std::string cfg, qrxDir;
    std::vector<Input> inputs;
    OdbcFixture db;
    std::string dbProblem;  // empty when the data source works
};

// --------------------------------------------------------------- FILELIST

/// How the FILELIST rows agree with the QRX4.0 files on disk.
struct FileListAgreement {
    int files = 0;
    int rows = 0;
    int filesWithoutRow = 0;
    int rowsWithoutFile = 0;
    int wrongRows = 0;  // a value differs from the file (start, duration, names, rate...)
    std::vector<std::string> faults;
};

inline FileListAgreement compareFileList(Site& site, const std::vector<OutputCheck>& checks) {
    FileListAgreement a;
    const auto rows = site.db.rows();
    a.rows = int(rows.size());
    std::map<std::string, const outputs::FileListRecord*> byPath;
    for (const auto& r : rows) byPath[r.cpath] = &r;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < checks.size(); ++i) {
        const Input& in = site.inputs[i];
        for (const QrxFile& f : checks[i].qrxFiles) {
            ++a.files;
            seen.insert(f.relativePath);
            const auto it = byPath.find(f.relativePath);
            if (it == byPath.end()) {
                ++a.filesWithoutRow;
                a.faults.push_back("no row for " + f.relativePath);
                continue;
            }
            const outputs::FileListRecord& r = *it->second;
            const double start = double(f.firstBlockTime) - kQrxDelaySeconds;
            const double duration = double(f.samples.size()) / in.plan.rate;
            if (r.sta != in.plan.station || f.channel < 0 || r.ch != in.plan.channels[std::size_t(f.channel)] ||
                r.sps != in.plan.rate || r.gain != 1 || r.dataType != 3 || r.foff != 512 || r.creater != "2QRX" ||
                std::fabs(r.tbegin - start) > 1e-5 || std::fabs(r.tqty - duration) > 1e-6) {
                ++a.wrongRows;
                std::ostringstream why;
                why.precision(17);
                why << "row " << r.cpath << ": STA " << r.sta << " CH " << r.ch << " SPS " << r.sps << " TBEGIN "
                    << r.tbegin << " (file " << start << ") TQTY " << r.tqty << " (file " << duration << ")";
                a.faults.push_back(why.str());
            }
        }
    }
    for (const auto& r : rows)
        if (seen.count(r.cpath) == 0) {
            ++a.rowsWithoutFile;
            a.faults.push_back("row without file " + r.cpath);
        }
    return a;
}

// ------------------------------------------------------------ expectations

/// Every output of every input holds every sample exactly once, with the
/// right value at the right time, and FILELIST has one right row per file.
inline void expectEveryOutputExact(Site& site) {
    std::vector<OutputCheck> checks;
    for (const Input& in : site.inputs) {
        SCOPED_TRACE("station " + in.plan.station);
        OutputCheck c = checkOutputs(site.qrxDir, in);
        EXPECT_TRUE(c.faults.empty()) << ::testing::PrintToString(c.faults);
        EXPECT_EQ(c.mseedFiles.refused, 0);
        EXPECT_EQ(c.mseedFiles.partialFiles, 0);
        EXPECT_EQ(c.mseedTimeErrors, 0);
        for (int ch = 0; ch < 3; ++ch) {
            const std::pair<const char*, const Coverage*> outputs[] = {
                {"QRX4.0", &c.qrx}, {"4-int", &c.fourInt}, {"miniSEED", &c.mseed}};
            for (const auto& [name, cov] : outputs) {
                const Tally t = cov->tally(ch);
                EXPECT_EQ(t.lost, 0) << name << " channel " << ch;
                EXPECT_EQ(t.doubled, 0) << name << " channel " << ch;
                EXPECT_EQ(t.mismatched, 0) << name << " channel " << ch;
                EXPECT_EQ(t.outside, 0) << name << " channel " << ch;
            }
        }
        checks.push_back(std::move(c));
    }
    if (site.dbProblem.empty()) {
        const FileListAgreement a = compareFileList(site, checks);
        EXPECT_GT(a.files, 0);
        EXPECT_EQ(a.rows, a.files);
        EXPECT_TRUE(a.faults.empty()) << ::testing::PrintToString(a.faults);
    }
}

/// Counts the blocks each input delivers to its outputs.
class DeliveryMonitor final : public recorder::NullStatusMonitor {
public:
    void setLastBlockTime(int input, int64_t) override {
        if (input >= 0 && input < livemill::kMaxInputs) ++delivered[std::size_t(input)];
    }
    std::array<long, livemill::kMaxInputs> delivered{};
};

// ---------------------------------------------------------------- processes

/// A livemill process run headless on a site's configuration folder, its
/// standard output and error appended to `log`.
class Converter : public ChildProcess {
public:
    /// `extraEnvironment` adds variables; an LD_PRELOAD there is added to the site's.
    Converter(const Site& site, const std::string& log, bool untilIdle,
              const std::vector<std::string>& extraEnvironment = {})
        : ChildProcess(launch(site, log, untilIdle, extraEnvironment)) {}

private:
    static Launch launch(const Site& site, const std::string& log, bool untilIdle,
                         const std::vector<std::string>& extraEnvironment) {
        Launch l{.args = {VELT_BIN_DIR "/livemill", "--config", site.cfg, "--headless"},
                 .environment = site.childEnvironment(),
                 .output = log,
                 .errorsToOutput = true,
                 .append = true};
        if (untilIdle) l.args.push_back("--until-idle");
        const std::string preload = "LD_PRELOAD=";
        for (const std::string& extra : extraEnvironment) {
            auto it = std::find_if(l.environment.begin(), l.environment.end(),
                                   [&](const std::string& e) { return e.rfind(preload, 0) == 0; });
            if (extra.rfind(preload, 0) == 0 && it != l.environment.end())
                *it += ":" + extra.substr(preload.size());
            else
                l.environment.push_back(extra);
        }
        return l;
    }
};

// ------------------------------------------------------------- after crashes

/// Names in `dir` that show a sample written twice or a number skipped:
/// free names ("NAME.1") and gaps in the miniSEED numbering.
inline std::vector<std::string> numberingFaults(const Input& in) {
    std::vector<std::string> faults;
    for (const std::string& dir : {in.fourIntDir, in.mseedDir})
        for (const std::string& name : regularFiles(dir))
            if (name.size() > 2 && name.compare(name.size() - 2, 2, ".1") == 0) faults.push_back(name);
    long expected = 0;
    for (const std::string& name : regularFiles(in.mseedDir)) {
        if (name == "tmpfile") continue;
        if (name != rtName(expected)) faults.push_back("miniSEED " + name + " where " + rtName(expected) + " was due");
        ++expected;
    }
    return faults;
}

/// Polls `done` every `pollMillis` ms until it holds (true), or `seconds`
/// pass or the program ends first (false).
template <typename Condition>
inline bool waitFor(Converter& program, Condition done, double seconds, int pollMillis = 1) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until && !program.exited()) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMillis));
    }
    return false;
}

inline int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace velt::test::e2e

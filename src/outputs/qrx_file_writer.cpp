#include "outputs/qrx_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "outputs/filelist_database.h"
#include "platform/calendar.h"
#include "platform/directory.h"
#include "platform/endian.h"
#include "platform/file_util.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace velt::outputs {

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "samples are IEEE-754 single");

namespace {

bool sameChannel(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// Without trailing separators; an empty name (or "/") means the working
// directory, so that files never land in the root.
std::string usableDirectory(std::string dir) {
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    return dir.empty() ? std::string(".") : dir;
}

int64_t wholeSeconds(double t) { return int64_t(std::floor(t)); }

// Writes all of `data` at `offset`, retrying short writes. @return success.
bool writeAt(int fd, const uint8_t* data, size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
        offset += n;
    }
    return true;
}

}  // namespace

std::string qrxHeader(double fileStart, double fileDuration, double rate, int32_t gain,
                      std::string_view station, std::string_view channel) {
    const platform::CivilTime t = platform::utcFromSeconds(wholeSeconds(fileStart));
    // A whole number of seconds, guarded against sums like 3599.9999999.
    const int64_t duration = std::max<int64_t>(0, wholeSeconds(fileDuration + 1e-6));
    const std::string sta(station), cha(channel);
    char text[kQrxHeaderBytes + 1];
    const int length = std::snprintf(
        text, sizeof text,
        "[QRX4.0]\r\nData offset=512\r\nStart time=%02d %02d %02d\r\nStart date=%02d %02d %04d\r\n"
        "Time duration=%02d %02d %02d\r\nData Type=FLOAT\r\nSpS=%f\r\nGain=%d\r\nStation=%s\r\n"
        "Channels=\"%s\"\r\n",
        t.hour, t.minute, t.second, t.day, t.month, t.year, int(duration / 3600), int(duration / 60 % 60),
        int(duration % 60), rate, int(gain), sta.c_str(), cha.c_str());
    if (length < 0 || length >= kQrxHeaderBytes) return {};  // the zero byte must fit too
    std::string header(kQrxHeaderBytes, ' ');
    std::memcpy(header.data(), text, size_t(length));
    header[size_t(length)] = '\0';
    return header;
}

std::string qrxFileName(double fileStart, std::string_view channel, std::string_view station) {
    const platform::CivilTime t = platform::utcFromSeconds(wholeSeconds(fileStart));
    const std::string sta(station), cha(channel);
    std::string name(32 + cha.size() + sta.size(), '\0');
    const int length = std::snprintf(name.data(), name.size(), "%02d%02d%04d-%02d%02d%02d-%3s.%3s", t.day,
                                     t.month, t.year, t.hour, t.minute, t.second, cha.c_str(), sta.c_str());
    name.resize(size_t(std::clamp(length, 0, int(name.size()) - 1)));
    return name;
}

QrxFileWriter::QrxFileWriter(std::string dataDirectory, FileListDatabase* database)
    : dataDirectory_(usableDirectory(std::move(dataDirectory))), database_(database) {}

std::string QrxFileWriter::fullPath(const std::string& relativePath) const {
    return dataDirectory_ + "/" + relativePath;
}

int QrxFileWriter::addSamples(std::string_view station, std::string_view channel, int32_t gain, double rate,
                              double start, int count, const int32_t* samples) {
    if (count <= 0) return count == 0 ? 0 : -1;
    if (samples == nullptr) return -1;
    if (!(rate > 0) || !std::isfinite(rate) || !std::isfinite(start)) {
        VELT_LOG_ERROR(logName_, "rate %g or start %g refused: %d samples lost", rate, start, count);
        return -1;
    }
    const std::string safeStation = platform::sanitiseComponent(station);
    const std::string safeChannel = platform::sanitiseComponent(channel);
    int rc = 0;
    for (int k = 0, offset = 0; offset < count; ++k, offset += kQrxPortionSamples) {
        const int n = std::min(kQrxPortionSamples, count - offset);
        const double portionStart = start + (double(kQrxPortionSamples) * k) / rate;
        if (addPortion(safeStation, safeChannel, gain, rate, portionStart, n, samples + offset) != 0) rc = -1;
    }
    return rc;
}

QrxTrace* QrxFileWriter::findTrace(const std::string& station, const std::string& channel, double rate,
                                   QrxStation*& owner) {
    auto st = std::find_if(stations_.begin(), stations_.end(),
                           [&](const QrxStation& s) { return s.name == station; });
    if (st == stations_.end()) {
        stations_.push_back(QrxStation{station, kQrxMinutesPerFile, {}});
        st = stations_.end() - 1;
    }
    owner = &*st;
    for (QrxTrace& t : st->traces)
        if (sameChannel(t.channel, channel) && t.rate == rate) return &t;
    if (traceCount_ >= kQrxMaxTraces) {
        if (!tableFullLogged_)
            VELT_LOG_ERROR(logName_, "more than %d traces; samples of further channels are dropped", kQrxMaxTraces);
        tableFullLogged_ = true;
        return nullptr;
    }
    QrxTrace& t = st->traces.emplace_back();
    t.channel = channel;
    t.rate = rate;
    t.run.resize(kQrxPortionSamples);
    ++traceCount_;
    return &t;
}

int QrxFileWriter::addPortion(const std::string& station, const std::string& channel, int32_t gain, double rate,
                              double start, int count, const int32_t* samples) {
    QrxStation* st = nullptr;
    QrxTrace* tr = findTrace(station, channel, rate, st);
    if (tr == nullptr) return -1;
    const double d = 1.0 / rate;
    const bool continues = tr->runCount > 0 && std::fabs(tr->runStart + tr->runDuration - start) <= 2 * d;
    if (continues && tr->runCount + count <= kQrxRunLimit && rate > 1.0) {
        std::transform(samples, samples + count, tr->run.begin() + tr->runCount,
                       [](int32_t s) { return float(s); });
        tr->runDuration += count * d;
        tr->runCount += count;
        tr->gain = gain;
        return 0;
    }
    writeTrace(*st, *tr);
    std::transform(samples, samples + count, tr->run.begin(), [](int32_t s) { return float(s); });
    tr->runStart = start;
    tr->runDuration = count * d;
    tr->runCount = count;
    tr->gain = gain;
    return 0;
}

void QrxFileWriter::writeAll() {
    for (QrxStation& st : stations_)
        for (QrxTrace& tr : st.traces) writeTrace(st, tr);
}

int QrxFileWriter::writeTrace(QrxStation& station, QrxTrace& trace) {
    int rc = 0;
    if (trace.runCount > 0) {
        const double d = 1.0 / trace.rate;
        const bool continues = !trace.relativePath.empty() &&
                               std::fabs(trace.fileStart + trace.fileDuration - trace.runStart) <= d;
        if (!continues) {
            rc = createFile(station, trace);
        } else {
            rc = appendRun(station, trace);
            if (rc == 1) {
                VELT_LOG_WARNING(logName_, "cannot reopen %s; its data continue in a new file",
                                 fullPath(trace.relativePath).c_str());
                rc = createFile(station, trace);
            }
        }
    }
    trace.runStart = 0;
    trace.runDuration = 0;
    trace.runCount = 0;
    return rc;
}

void QrxFileWriter::encodeRun(const QrxTrace& trace) {
    const size_t base = bytes_.size();
    bytes_.resize(base + 4 * size_t(trace.runCount));
    uint8_t* p = bytes_.data() + base;
    for (int i = 0; i < trace.runCount; ++i, p += 4) platform::put_u32le(p, std::bit_cast<uint32_t>(trace.run[size_t(i)]));
}

int QrxFileWriter::createFile(QrxStation& station, QrxTrace& trace) {
    trace.fileStart = trace.runStart;
    trace.fileDuration = trace.runDuration;
    trace.relativePath = station.name + "/" + qrxFileName(trace.fileStart, trace.channel, station.name);
    const std::string header =
        qrxHeader(trace.fileStart, trace.fileDuration, trace.rate, trace.gain, station.name, trace.channel);
    bytes_.assign(header.begin(), header.end());
    encodeRun(trace);
    const std::string_view data(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
    const std::string wanted = fullPath(trace.relativePath);
    std::string path = wanted;
    int rc = header.empty() || platform::makeDirectories(dataDirectory_ + "/" + station.name) != 0
                 ? -1
                 : platform::createFileAtomically(path, data);
    const auto ahead = std::find(replaceable_.begin(), replaceable_.end(), trace.relativePath);
    if (rc == 1 && ahead != replaceable_.end()) {
        // This writer's own file beyond a gap that a crash left: it is
        // written again from the same samples, in one atomic replacement.
        replaceable_.erase(ahead);
        rc = platform::writeFileAtomically(path, data);
        if (rc == 0) VELT_LOG_INFO(logName_, "%s rewritten: it lay beyond samples a crash lost", path.c_str());
    }
    if (rc == 1) {
        // A file of that name that is not ours is never replaced: the new
        // file takes a free name beside it.
        path = platform::freeName(wanted);
        rc = platform::createFileAtomically(path, data);
        if (rc == 0) {
            trace.relativePath += path.substr(wanted.size());
            VELT_LOG_WARNING(logName_, "%s exists, writing %s", wanted.c_str(), path.c_str());
        }
    }
    if (rc != 0) {
        VELT_LOG_ERROR(logName_, "cannot write %s: %d samples lost", path.c_str(), trace.runCount);
        trace.fileStart = 0;
        trace.fileDuration = 0;
        trace.relativePath.clear();
        return -1;
    }
    ++filesBegun_;
    bytesWritten_ += data.size();
    if (database_ != nullptr)
        database_->insertFile(trace.relativePath, station.name, trace.channel, trace.fileStart, trace.runDuration,
                              trace.rate, trace.gain, kQrxDataType);
    return 0;
}

int QrxFileWriter::appendRun(QrxStation& station, QrxTrace& trace) {
    const std::string path = fullPath(trace.relativePath);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < kQrxHeaderBytes) {
        ::close(fd);
        return 1;
    }
    // A partial sample left by an interrupted write is cut off, so the new
    // samples stay aligned.
    const off_t end = kQrxHeaderBytes + (info.st_size - kQrxHeaderBytes) / 4 * 4;
    if (end != info.st_size)
        VELT_LOG_WARNING(logName_, "%s ended in a partial sample, %lld bytes cut off", path.c_str(),
                         static_cast<long long>(info.st_size - end));
    bytes_.clear();
    encodeRun(trace);
    if ((end != info.st_size && ::ftruncate(fd, end) != 0) || !writeAt(fd, bytes_.data(), bytes_.size(), end)) {
        // Cut back to whole samples so the file stays readable as it was.
        const int cut = ::ftruncate(fd, end);
        ::close(fd);
        VELT_LOG_ERROR(logName_, "cannot append to %s: %d samples lost%s", path.c_str(), trace.runCount,
                       cut == 0 ? "" : " (and the file may end in a partial sample)");
        return -1;
    }
    bytesWritten_ += bytes_.size();
    trace.fileDuration += trace.runDuration;
    const std::string header =
        qrxHeader(trace.fileStart, trace.fileDuration, trace.rate, trace.gain, station.name, trace.channel);
    if (header.empty() ||
        !writeAt(fd, reinterpret_cast<const uint8_t*>(header.data()), header.size(), 0))
        VELT_LOG_WARNING(logName_, "header of %s not updated", path.c_str());
    if (::close(fd) != 0)
        VELT_LOG_ERROR(logName_, "closing %s failed: its last %d samples may be lost", path.c_str(), trace.runCount);
    noteAppended(path);
    if (database_ != nullptr)
        database_->updateFile(trace.relativePath, station.name, trace.channel, trace.fileStart, trace.fileDuration,
                              trace.rate, trace.gain, kQrxDataType);
    if (trace.fileDuration > station.minutesPerFile * 60 - 1) {
        trace.fileStart = 0;
        trace.fileDuration = 0;
        trace.relativePath.clear();
    }
    return 0;
}

void QrxFileWriter::noteAppended(const std::string& path) {
    if (std::find(appended_.begin(), appended_.end(), path) == appended_.end()) appended_.push_back(path);
}

int QrxFileWriter::syncAppended() {
    std::vector<int> fds;
    for (const std::string& path : appended_) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) fds.push_back(fd);
    }
    const int rc = platform::syncFiles(fds);
    if (rc != 0)
        VELT_LOG_ERROR(logName_, "cannot sync %zu files (%s): their last samples may not survive a power cut",
                       fds.size(), std::strerror(errno));
    for (int fd : fds) ::close(fd);
    appended_.clear();
    return rc;
}

double QrxFileWriter::resumeTrace(std::string_view station, std::string_view channel, double rate, double start) {
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    if (!(rate >= 1.0) || !std::isfinite(start)) return kNone;
    QrxStation* st = nullptr;
    QrxTrace* tr = findTrace(platform::sanitiseComponent(station), platform::sanitiseComponent(channel), rate, st);
    if (tr == nullptr) return kNone;
    std::vector<std::string> names;
    if (platform::listDirectory(dataDirectory_ + "/" + st->name, "*", names) != 0) return kNone;

    // Every file of the trace (only names this writer gives, and only files
    // of this rate), cut to whole blocks: a power cut can leave part of one.
    struct Held {
        std::string relative;
        double start = 0;
        double end = 0;
        int32_t gain = 0;
    };
    std::vector<Held> files;
    for (const std::string& name : names) {
        int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
        if (std::sscanf(name.c_str(), "%2d%2d%4d-%2d%2d%2d-", &day, &month, &year, &hour, &minute, &second) != 6)
            continue;
        const int64_t seconds = platform::secondsFromUtc(year, month, day, hour, minute, second);
        if (qrxFileName(double(seconds), tr->channel, st->name) != name) continue;
        // A file spans at most its hour: one that starts earlier than that
        // before the first delivered block can neither hold it nor end at it,
        // and a station's years of files are not opened at every restart.
        if (double(seconds) + st->minutesPerFile * 60 + 1 < start) continue;
        Held h{st->name + "/" + name, double(seconds) + (start - std::floor(start)), 0, 0};
        const int64_t samples = wholeBlocksOf(fullPath(h.relative), rate, h.gain);
        if (samples < 0) continue;
        h.end = h.start + double(samples) / rate;
        files.push_back(std::move(h));
    }
    if (files.empty()) return kNone;

    // What the files hold decides, never which was changed last: from the
    // first delivered block on, follow the files that hold the next sample.
    // After a power cut the next hour's file may exist with data while the
    // tail of the one before it is lost; the run stops at that gap, and the
    // files beyond it are replaced when the conversion gets there.
    const double half = 0.5 / rate;
    double next = start;
    std::vector<const Held*> chain;
    for (;;) {
        const Held* step = nullptr;
        for (const Held& h : files)
            if (h.start <= next + half && h.end > next + half && (step == nullptr || h.end > step->end)) step = &h;
        if (step == nullptr) break;
        chain.push_back(step);
        next = step->end;
    }
    if (chain.empty())  // none holds the first block: the file ending right before it goes on
        for (const Held& h : files)
            if (chain.empty() && std::fabs(h.end - next) <= half) chain.push_back(&h);
    for (const Held& h : files)
        if (h.start > next - half && (chain.empty() || &h != chain.back())) replaceable_.push_back(h.relative);

    // The files the run went through are rewritten as they stand (header
    // and row), since a cut may have kept their data but not their last
    // header or row; the last one is the trace's current file again.
    for (const Held* h : chain) {
        const double duration = h->end - h->start;
        rewriteHeader(*st, *tr, h->relative, h->start, duration, h->gain);
        if (database_ != nullptr)
            database_->updateFile(h->relative, st->name, tr->channel, h->start, duration, rate, h->gain, kQrxDataType);
    }
    if (chain.empty()) return next;
    const Held& last = *chain.back();
    tr->gain = last.gain;
    if (last.end - last.start <= st->minutesPerFile * 60 - 1) {
        tr->fileStart = last.start;
        tr->fileDuration = last.end - last.start;
        tr->relativePath = last.relative;
    }
    return next;
}

int64_t QrxFileWriter::wholeBlocksOf(const std::string& path, double rate, int32_t& gain) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    char header[kQrxHeaderBytes + 1] = {};
    struct stat info {};
    double fileRate = 0;
    const bool readable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= kQrxHeaderBytes &&
                          ::pread(fd, header, kQrxHeaderBytes, 0) == kQrxHeaderBytes;
    const char* sps = readable ? std::strstr(header, "SpS=") : nullptr;
    const char* gainText = readable ? std::strstr(header, "Gain=") : nullptr;
    if (sps == nullptr || std::sscanf(sps, "SpS=%lf", &fileRate) != 1 || fileRate != rate) {
        ::close(fd);
        return -1;  // another rate: another trace
    }
    gain = 0;
    if (gainText != nullptr) std::sscanf(gainText, "Gain=%d", &gain);
    const int64_t perBlock = int64_t(rate);
    const int64_t samples = (info.st_size - kQrxHeaderBytes) / 4;
    const int64_t whole = samples - samples % perBlock;
    if (info.st_size != kQrxHeaderBytes + 4 * whole) {
        if (::ftruncate(fd, kQrxHeaderBytes + 4 * whole) == 0) {
            VELT_LOG_WARNING(logName_, "%s ended in a partial block, %lld bytes cut", path.c_str(),
                             static_cast<long long>(info.st_size - kQrxHeaderBytes - 4 * whole));
            noteAppended(path);
        }
    }
    ::close(fd);
    return whole;
}

void QrxFileWriter::rewriteHeader(const QrxStation& station, const QrxTrace& trace, const std::string& relative,
                                  double fileStart, double duration, int32_t gain) {
    const std::string path = fullPath(relative);
    const std::string header = qrxHeader(fileStart, duration, trace.rate, gain, station.name, trace.channel);
    char old[kQrxHeaderBytes];
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || header.empty()) {
        if (fd >= 0) ::close(fd);
        return;
    }
    if (::pread(fd, old, sizeof old, 0) != ssize_t(sizeof old) || std::memcmp(old, header.data(), sizeof old) != 0) {
        if (writeAt(fd, reinterpret_cast<const uint8_t*>(header.data()), header.size(), 0))
            noteAppended(path);
        else
            VELT_LOG_WARNING(logName_, "header of %s not updated", path.c_str());
    }
    ::close(fd);
}

}  // namespace velt::outputs

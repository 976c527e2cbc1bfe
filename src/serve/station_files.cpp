#include "serve/station_files.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log.h"

namespace velt::serve {

namespace {
constexpr int kRecord = packet::kRecordLength;
// How far back (in time) a file may hold a record older than the first
// record of the file before it: runs of several channels end in turn.
constexpr int64_t kTimeSearchMarginMicros = int64_t(3600) * 1'000'000;
}  // namespace

StationFiles::StationFiles(std::string prefix, std::string logName)
    : prefix_(std::move(prefix)), logName_(std::move(logName)) {}

StationFiles::~StationFiles() {
    if (fd_ >= 0) ::close(fd_);
}

std::string StationFiles::pathOf(uint32_t number) const {
    char name[16];
    std::snprintf(name, sizeof name, "%8.8" PRIX32, number);
    return prefix_ + name;
}

int StationFiles::descriptorOf(uint32_t number) {
    if (fd_ >= 0 && fdNumber_ == number) return fd_;
    if (fd_ >= 0) ::close(fd_);
    fd_ = ::open(pathOf(number).c_str(), O_RDONLY | O_CLOEXEC);
    fdNumber_ = number;
    return fd_;
}

bool StationFiles::advance(uint32_t endFile, uint64_t endSequence) {
    if (indexed_ && endFile == endFile_ && endSequence == end_) return false;
    // Files between the last horizon and this one, newest first.
    std::vector<File> added;
    uint64_t next = endSequence;
    for (uint32_t number = endFile; number > 0 && (!indexed_ || number > endFile_);) {
        --number;
        struct stat st {};
        if (::stat(pathOf(number).c_str(), &st) != 0) {
            if (!indexed_) break;  // the oldest files are gone: the index starts here
            continue;              // lost under another name (logged by the store)
        }
        const uint32_t count = uint32_t(st.st_size / kRecord);
        if (count > next) break;  // counted before this file existed: not ours to number
        next -= count;
        if (count > 0) added.push_back(File{number, count, next});
    }
    if (indexed_ && !files_.empty() && !added.empty() && added.back().first < files_.back().first + files_.back().count) {
        VELT_LOG_WARNING(logName_, "sequence numbers of %s went back; the index starts again", prefix_.c_str());
        files_.clear();
    }
    std::reverse(added.begin(), added.end());
    // The streams and identity come from what is new; at start-up from the
    // newest files only, so that a long history is indexed quickly.
    const std::size_t learnFrom = indexed_ ? 0 : (added.size() > 1000 ? added.size() - 1000 : 0);
    for (std::size_t i = learnFrom; i < added.size(); ++i) learn(added[i]);
    files_.insert(files_.end(), added.begin(), added.end());
    endFile_ = endFile;
    end_ = endSequence;
    indexed_ = true;
    return !added.empty();
}

void StationFiles::learn(const File& file) {
    std::vector<uint8_t> bytes(std::size_t(file.count) * kRecord);
    const int fd = descriptorOf(file.number);
    if (fd < 0) return;
    const ssize_t got = ::pread(fd, bytes.data(), bytes.size(), 0);
    for (ssize_t at = 0; at + kRecord <= got; at += kRecord) {
        RecordFields f;
        if (!readRecordFields(bytes.data() + at, f)) continue;
        station_ = f.station;
        network_ = f.network.empty() ? std::string(kUnsetNetwork) : f.network;
        Stream& s = streams_[streamId(f)];
        if (s.channel.empty()) {
            s.location = f.location;
            s.channel = f.channel;
            s.startMicros = f.startMicros;
        }
        s.startMicros = std::min(s.startMicros, f.startMicros);
        s.endMicros = std::max(s.endMicros, f.endMicros);
    }
}

void StationFiles::forgetBefore(std::size_t index) {
    if (index == 0) return;
    VELT_LOG_INFO(logName_, "files before %s are gone; records from %" PRIu64 " on are served",
                  pathOf(files_[index - 1].number + 1).c_str(),
                  index < files_.size() ? files_[index].first : end_);
    files_.erase(files_.begin(), files_.begin() + std::ptrdiff_t(index));
}

int StationFiles::read(uint64_t from, uint8_t* out, int maxRecords, uint64_t& first) {
    while (!files_.empty() && maxRecords > 0) {
        // The file holding `from`, or the first after it.
        auto it = std::upper_bound(files_.begin(), files_.end(), from,
                                   [](uint64_t seq, const File& f) { return seq < f.first; });
        if (it != files_.begin() && from < std::prev(it)->first + std::prev(it)->count) --it;
        if (it == files_.end()) return 0;
        const File& file = *it;
        const uint64_t start = std::max(from, file.first);
        const int count = int(std::min<uint64_t>(uint64_t(maxRecords), file.first + file.count - start));
        const int fd = descriptorOf(file.number);
        const ssize_t want = ssize_t(count) * kRecord;
        const ssize_t got = fd < 0 ? -1 : ::pread(fd, out, std::size_t(want), off_t(start - file.first) * kRecord);
        if (got == want) {
            first = start;
            return count;
        }
        if (fd >= 0 && got >= kRecord) {
            first = start;
            return int(got / kRecord);
        }
        // Gone or cut short: what lies before it can no longer be served.
        VELT_LOG_WARNING(logName_, "%s cannot be read (%s); its records are skipped", pathOf(file.number).c_str(),
                         fd < 0 ? std::strerror(errno) : "shorter than indexed");
        const std::size_t index = std::size_t(it - files_.begin());
        from = file.first + file.count;
        forgetBefore(index + 1);
    }
    return 0;
}

int64_t StationFiles::startOf(File& file) {
    if (file.start != kUnknownStart) return file.start;
    uint8_t record[kRecord];
    const int fd = descriptorOf(file.number);
    RecordFields f;
    file.start = (fd >= 0 && ::pread(fd, record, kRecord, 0) == kRecord && readRecordFields(record, f))
                     ? f.startMicros
                     : INT64_MAX;
    return file.start;
}

uint64_t StationFiles::sequenceNear(int64_t micros) {
    const int64_t target = micros - kTimeSearchMarginMicros;
    std::size_t lo = 0, hi = files_.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (startOf(files_[mid]) < target) lo = mid + 1;
        else hi = mid;
    }
    if (lo > 0) --lo;
    return lo < files_.size() ? files_[lo].first : end_;
}

}  // namespace velt::serve

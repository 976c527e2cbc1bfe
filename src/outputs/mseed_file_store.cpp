#include "outputs/mseed_file_store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/calendar.h"
#include "platform/directory.h"
#include "platform/endian.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace velt::outputs {

namespace {

// Reads a hexadecimal number the way "%X" does: leading blanks, an optional
// "0x", then hexadecimal digits; 0 when there are none. Clamped to 32 bits.
uint32_t parseHex(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else break;
        value = value * 16 + uint64_t(digit);
        if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
    }
    return uint32_t(value);
}

// Station, location, channel and network: what tells a channel's records apart.
constexpr int kIdentityBytes = mseed::kOffYear - mseed::kOffStation;

}  // namespace

MseedFileStore::MseedFileStore(const std::string& confPath, std::string logName)
    : logName_(std::move(logName)), confPath_(platform::normaliseSeparators(confPath)) {
    const long perRun = platform::readProfileInt(confPath_, "COMMON", "SECINSEEDBUF",
                                                 kDefaultSecondsPerRun);
    secondsPerRun_ = perRun < 1 ? kDefaultSecondsPerRun
                                : (perRun > kMaxSecondsPerRun ? kMaxSecondsPerRun : perRun);
    prefix_ = platform::normaliseSeparators(platform::readProfileString(
        confPath_, "COMMON", "OUTFILEPREFIX", "", kConfPathChars + 1));
    const std::size_t slash = prefix_.find_last_of('/');
    folder_ = slash == std::string::npos ? std::string() : prefix_.substr(0, slash + 1);
    const long perFile = platform::readProfileInt(confPath_, "COMMON", "SEEDBUFINFILE", 1);
    runsPerFile_ = perFile < 1 ? 1 : perFile;
    fileNumber_ = parseHex(platform::readProfileString(confPath_, "WORK", "OUTFILENUM", "", 64));
    network_ = platform::readProfileString(confPath_, "COMMON", "NETWORK", "", 64);
    if (!validNetworkCode(network_)) {
        VELT_LOG_ERROR(logName_, "NETWORK=%s in %s is not a network code (one or two letters or digits); records keep blanks",
                       network_.c_str(), confPath_.c_str());
        network_.clear();
    }
    workPath_ = prefix_ + "tmpfile";
    committedFile_ = fileNumber_;
    const std::string records = platform::readProfileString(confPath_, "WORK", "OUTRECORDNUM", "", 64);
    if (!records.empty()) {
        recordNumber_ = std::strtoull(records.c_str(), nullptr, 10);
    } else {
        // Stored before records were counted: count the files below the
        // stored number, as far back as they follow one another.
        for (uint32_t number = committedFile_; number > 0; --number) {
            const int64_t size = platform::fileSize(finishedFilePath(number - 1));
            if (size < 0) break;
            recordNumber_ += uint64_t(size / mseed::kRecordLength);
        }
    }
    takeOverFiles();
    writer_ = std::make_unique<FinishedFileWriter>(platform::directoryOf(workPath_), logName_);
}

MseedFileStore::~MseedFileStore() { shutdown(); }

std::string MseedFileStore::finishedFilePath(uint32_t number) const {
    char name[16];
    std::snprintf(name, sizeof name, "%8.8" PRIX32, number);
    return prefix_ + name;
}

std::string MseedFileStore::pendingPath(uint32_t number) const {
    char name[16];
    std::snprintf(name, sizeof name, ".%8.8" PRIX32, number);
    return workPath_ + name;
}

void MseedFileStore::takeOverFiles() {
    const std::string lead = prefix_.substr(folder_.size());
    std::vector<std::string> names;
    if (platform::listDirectory(folder_.empty() ? std::string(".") : folder_, lead + "*", names) != 0) return;
    const auto hexNumber = [](const std::string& text, uint32_t& number) {
        if (text.size() != 8) return false;
        for (char c : text)
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        number = parseHex(text);
        return true;
    };
    const std::string pendingLead = lead + "tmpfile.";
    int64_t highest = -1;
    std::vector<std::pair<uint32_t, std::string>> leftovers;
    for (const std::string& name : names) {
        if (name.compare(0, lead.size(), lead) != 0) continue;
        uint32_t number = 0;
        if (hexNumber(name.substr(lead.size()), number)) {
            highest = std::max<int64_t>(highest, number);
        } else if (name.compare(0, pendingLead.size(), pendingLead) == 0 &&
                   hexNumber(name.substr(pendingLead.size()), number)) {
            leftovers.emplace_back(number, folder_ + name);
        }
    }
    if (highest >= int64_t(fileNumber_) && highest < 0xFFFFFFFF) {
        VELT_LOG_INFO(logName_, "OUTFILENUM %" PRIX32 " is behind the files present; numbering goes on at %" PRIX32,
                      fileNumber_, uint32_t(highest + 1));
        fileNumber_ = uint32_t(highest + 1);
        counterUnsaved_ = true;
    }
    // Finished files a crash left unnumbered are newer than every numbered
    // one: they take the next numbers, in the order they were finished. One
    // that also has another name (a rename done as link and unlink, cut in
    // between) is that file already. One found empty never reached the disk
    // (a power cut came before its sync): it is removed, and so is every
    // later one and the work file's records, which all came after the last
    // stored position and are converted again; numbering them would leave a
    // gap in the records that a restart takes as delivered.
    std::sort(leftovers.begin(), leftovers.end());
    bool lost = false;
    for (const auto& [number, path] : leftovers) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        if (st.st_nlink > 1 || lost || st.st_size < mseed::kRecordLength) {
            lost = lost || st.st_nlink == 1;
            if (::unlink(path.c_str()) == 0)
                VELT_LOG_INFO(logName_, "%s removed: %s", path.c_str(),
                              st.st_nlink > 1 ? "the file has its other name"
                                              : "its records did not survive a stop and are converted again");
            continue;
        }
        const int64_t size = int64_t(st.st_size);
        if (size % mseed::kRecordLength != 0 && ::truncate(path.c_str(), size - size % mseed::kRecordLength) == 0)
            VELT_LOG_WARNING(logName_, "%s ended in a torn record, %lld bytes cut", path.c_str(),
                             static_cast<long long>(size % mseed::kRecordLength));
        const std::string target = finishedFilePath(fileNumber_);
        if (platform::renameNoReplace(path, target) != 0) {
            VELT_LOG_ERROR(logName_, "cannot number %s as %s: %s", path.c_str(), target.c_str(), std::strerror(errno));
            continue;
        }
        VELT_LOG_INFO(logName_, "%s finished before a stop, numbered %s", path.c_str(), target.c_str());
        ++fileNumber_;
        counterUnsaved_ = true;
    }
    if (lost && platform::fileSize(workPath_) > 0 && ::truncate(workPath_.c_str(), 0) == 0)
        VELT_LOG_INFO(logName_, "%s emptied: its records came after records a stop lost", workPath_.c_str());
    if (!leftovers.empty()) platform::syncDirectory(platform::directoryOf(workPath_));
}

bool validNetworkCode(const std::string& code) {
    if (code.size() > std::size_t(mseed::kNetworkChars)) return false;
    for (char c : code)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

MseedHeader MseedFileStore::runHeader(int channel, int64_t start, uint32_t counter) const {
    MseedHeader header = buildRunHeader(*config_, channel, start, counter);
    if (!network_.empty()) {
        uint8_t* field = header.bytes.data() + mseed::kOffNetwork;
        std::memset(field, ' ', mseed::kNetworkChars);
        std::memcpy(field, network_.data(), network_.size());
    }
    return header;
}

void MseedFileStore::putSample(int32_t sample) { block_.put(sample); }

void MseedFileStore::clearSamples() { block_.clear(); }

void MseedFileStore::resumeFrom(int64_t) {
    for (Run& run : runs_) run.learn = true;
}

bool MseedFileStore::recordsIn(const std::string& path, const uint8_t* identity, std::vector<HeldRecord>& held,
                               int64_t& newestEnd) const {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool any = false;
    uint8_t record[mseed::kFixedHeaderSize];
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        for (off_t at = 0; at + mseed::kRecordLength <= st.st_size; at += mseed::kRecordLength) {
            if (::pread(fd, record, sizeof record, at) != ssize_t(sizeof record)) break;
            using platform::get_u16be;
            const int rate = int16_t(get_u16be(record + mseed::kOffRateFactor));
            if (rate <= 0) continue;
            const int64_t second = platform::daysFromCivil(get_u16be(record + mseed::kOffYear), 1, 1) * 86400 +
                                   int64_t(get_u16be(record + mseed::kOffDayOfYear) - 1) * 86400 +
                                   record[mseed::kOffHour] * 3600 + record[mseed::kOffMinute] * 60 +
                                   record[mseed::kOffSecond];
            HeldRecord r;
            r.start = second * 1'000'000 + int64_t(get_u16be(record + mseed::kOffFraction)) * 100;
            r.end = r.start + int64_t(get_u16be(record + mseed::kOffSampleCount)) * 1'000'000 / rate;
            r.rate = rate;
            for (int i = 0; i < mseed::kSequenceDigits; ++i)
                r.sequence = r.sequence * 10 + uint32_t(std::isdigit(record[i]) ? record[i] - '0' : 0);
            any = true;
            newestEnd = std::max(newestEnd, r.end);
            if (std::memcmp(record + mseed::kOffStation, identity, kIdentityBytes) == 0) held.push_back(r);
        }
    }
    ::close(fd);
    return any;
}

void MseedFileStore::learnChannel(int channel) {
    Run& run = runs_[std::size_t(channel)];
    const MseedHeader mine = runHeader(channel, time_, 0);
    const uint8_t* identity = mine.bytes.data() + mseed::kOffStation;
    writer_->flush();  // every finished file under its number
    // Microseconds: the first delivered block starts at `from`.
    const int64_t delay = int64_t(config_->delay);
    const int64_t from = time_ * 1'000'000 - delay;
    // The channel's records from the work file and the numbered files, newest
    // file first, until a file holds only records that ended a file's span
    // before `from` (files are numbered in the order they were finished).
    // Empty files say nothing and are passed over, however many there are.
    const int64_t fileSpan = (secondsPerRun_ * runsPerFile_ + 2) * int64_t(1'000'000);
    std::vector<HeldRecord> held;
    int64_t newest = INT64_MIN;
    recordsIn(workPath_, identity, held, newest);
    for (uint32_t number = fileNumber_; number > 0;) {
        --number;
        newest = INT64_MIN;
        if (recordsIn(finishedFilePath(number), identity, held, newest) && newest < from - fileSpan) break;
    }
    if (held.empty()) return;

    // What the records hold decides: from the first delivered block on,
    // follow the records that hold the next sample. A gap ends it, so data
    // a crash lost are converted again rather than taken as delivered.
    std::sort(held.begin(), held.end(), [](const HeldRecord& a, const HeldRecord& b) { return a.start < b.start; });
    int64_t next = from;
    const HeldRecord* last = nullptr;
    for (const HeldRecord& r : held) {
        const int64_t half = 500'000 / r.rate;
        if (r.end <= next + half) {
            last = &r;  // before the first delivered block, or held already
            continue;
        }
        if (r.start > next + half) break;
        next = r.end;
        last = &r;
    }
    if (last == nullptr) return;
    // Runs end with a block: blocks wholly held are skipped.
    const int64_t half = 500'000 / last->rate;
    run.replay.arm((next + delay + half) / 1'000'000 - 1);
    // Sequence numbers go on from the run held last: (counter mod 1000) * 1000 + n.
    run.counter = last->sequence / 1000 + 1;
}

void MseedFileStore::flushChannel() {
    if (channel_ < 0 || channel_ >= kChannels || config_ == nullptr) return;
    block_.report(logName_, channel_);
    Run& run = runs_[std::size_t(channel_)];
    if (run.learn) {
        run.learn = false;
        learnChannel(channel_);
    }
    if (run.replay.armed()) {
        if (run.replay.skip(time_)) return;
        if (run.replay.skipped() != 0)
            VELT_LOG_INFO(logName_, "channel %d: %" PRIu64 " blocks already in the files skipped", int(channel_),
                          run.replay.skipped());
    }
    const uint32_t rate = config_->sampleRate;
    const std::size_t n = std::size_t(block_.count());

    // A gap, a jump or a new sample rate ends the run gathered so far.
    if (run.blocks > 0 && (run.start + run.blocks != time_ || run.rate != rate)) writeRun(channel_);
    if (run.blocks == 0) {
        run.start = time_;
        run.rate = rate;
        run.header = runHeader(channel_, run.start, run.counter);
    }
    // Room for a full run at the larger of the rate and this block's size; a
    // block never holds more than kBlockCapacity samples, so a corrupt rate
    // cannot ask for more than that.
    std::size_t perBlock = rate > n ? rate : n;
    if (perBlock > std::size_t(kBlockCapacity)) perBlock = kBlockCapacity;
    std::size_t needed = std::size_t(secondsPerRun_) * perBlock;
    if (needed < run.count + n) needed = run.count + n;
    if (run.samples.size() < needed) run.samples.resize(needed);

    std::copy(block_.data(), block_.data() + n, run.samples.begin() + std::ptrdiff_t(run.count));
    run.count += n;
    ++run.blocks;
    if (run.blocks >= secondsPerRun_) writeRun(channel_);
}

void MseedFileStore::writeRun(int channel) {
    Run& run = runs_[std::size_t(channel)];
    if (run.count > 0) {
        const std::size_t bytes = SteimCompressor::maxRecords(run.count) * mseed::kRecordLength;
        if (recordBuffer_.size() < bytes) recordBuffer_.resize(bytes);
        const auto b1000 = blockette1000();
        const int k = compressor_.compress(run.samples.data(), run.count, run.header,
                                           mseed::kRecordLength, recordBuffer_.data(),
                                           recordBuffer_.size(), b1000.data(), b1000.size());
        if (compressor_.truncatedDifferences() != 0)
            VELT_LOG_WARNING(logName_, "%" PRIu64 " differences of channel %d beyond 30 bits stored truncated",
                             compressor_.truncatedDifferences(), channel);
        if (k > 0) appendRecords(recordBuffer_.data(), k);
    }
    ++run.counter;
    run.count = 0;
    run.blocks = 0;
}

void MseedFileStore::appendRecords(const uint8_t* records, int count) {
    if (workFd_ < 0) {
        finishWorkFile();
        openWorkFile();
    }
    const std::size_t bytes = std::size_t(count) * mseed::kRecordLength;
    if (runsPerFile_ == 1) {
        // A whole file by itself: the writer creates, syncs and names it.
        writer_->submit(finishedFilePath(fileNumber_), pendingPath(fileNumber_),
                        std::vector<uint8_t>(records, records + bytes));
        ++fileNumber_;
        ++tally_.files;
        tally_.bytes += bytes;
        counterUnsaved_ = true;
        return;
    }
    if (workFd_ < 0) {
        VELT_LOG_ERROR(logName_, "no work file, %d records dropped", count);
        return;
    }
    if (platform::writeFully(workFd_, records, bytes)) {
        if (workSize_ == 0) ++tally_.files;
        tally_.bytes += bytes;
        workSize_ += int64_t(bytes);
        workUnsynced_ = true;
    } else {
        // A torn record would misalign every record after it: cut back to
        // the last whole run.
        VELT_LOG_ERROR(logName_, "writing %s failed (%s), %d records lost", workPath_.c_str(), std::strerror(errno),
                       count);
        if (::ftruncate(workFd_, workSize_) == 0) {
            ::lseek(workFd_, workSize_, SEEK_SET);
        } else {
            // Cannot cut it back: number the file as it is (its end is
            // trimmed to whole records) and go on in a fresh one.
            finishWorkFile();
            openWorkFile();
            return;
        }
    }
    if (++runsWritten_ >= runsPerFile_) {
        finishWorkFile();
        openWorkFile();
    }
}

void MseedFileStore::finishWorkFile() {
    int fd = workFd_;
    workFd_ = -1;
    if (fd < 0) {
        // A work file left by a crash may end in a torn record: only whole
        // records are given a number.
        const int64_t size = platform::fileSize(workPath_);
        if (size < 0) return;  // none there
        if (size % mseed::kRecordLength != 0) {
            const int64_t whole = size - size % mseed::kRecordLength;
            if (::truncate(workPath_.c_str(), whole) == 0)
                VELT_LOG_WARNING(logName_, "%s ended in a torn record, %lld bytes cut", workPath_.c_str(),
                                 static_cast<long long>(size - whole));
        }
        fd = ::open(workPath_.c_str(), O_RDONLY | O_CLOEXEC);  // for the commit's sync
    }
    const std::string pending = pendingPath(fileNumber_);
    const int rc = platform::renameNoReplace(workPath_, pending);
    if (rc != 0) {
        VELT_LOG_ERROR(logName_, "cannot rename %s to %s: %s", workPath_.c_str(), pending.c_str(),
                       rc == 1 ? "the name is taken" : std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return;
    }
    writer_->adopt(finishedFilePath(fileNumber_), pending, fd);
    ++fileNumber_;
    counterUnsaved_ = true;
}

int MseedFileStore::commit() {
    int rc = 0;
    if (workFd_ >= 0 && workUnsynced_) {
        if (::fsync(workFd_) == 0) {
            workUnsynced_ = false;
        } else {
            VELT_LOG_ERROR(logName_, "cannot sync %s: %s", workPath_.c_str(), std::strerror(errno));
            rc = -1;
        }
    }
    // A file that could not be named keeps the counter where it was: the
    // records after it are counted once it has its number.
    if (writer_->flush() != 0) return -1;
    if (counterUnsaved_) saveFileNumber();
    return rc;
}

void MseedFileStore::countCommittedRecords() {
    for (; committedFile_ != fileNumber_; ++committedFile_) {
        const int64_t size = platform::fileSize(finishedFilePath(committedFile_));
        if (size > 0) recordNumber_ += uint64_t(size / mseed::kRecordLength);
    }
}

void MseedFileStore::saveFileNumber() {
    const uint32_t fromFile = committedFile_;
    const uint64_t fromRecord = recordNumber_;
    countCommittedRecords();
    char file[16];
    std::snprintf(file, sizeof file, "%" PRIX32, fileNumber_);
    char records[32];
    std::snprintf(records, sizeof records, "%" PRIu64, recordNumber_);
    if (platform::writeProfileStrings(confPath_, "WORK", {{"OUTFILENUM", file}, {"OUTRECORDNUM", records}}) != 0) {
        VELT_LOG_ERROR(logName_, "cannot write OUTFILENUM=%s to %s", file, confPath_.c_str());
        // Not stored: the sequence numbers of these files are not given out.
        committedFile_ = fromFile;
        recordNumber_ = fromRecord;
        return;
    }
    counterUnsaved_ = false;
    if (listener_) listener_(committedFile_, recordNumber_);
}

void MseedFileStore::openWorkFile() {
    runsWritten_ = 0;
    workSize_ = 0;
    workFd_ = ::open(workPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (workFd_ < 0 && errno == EEXIST) {
        // A work file whose rename failed still holds records: move it aside
        // rather than create the new one over it.
        const std::string aside = platform::freeName(workPath_);
        if (platform::renameNoReplace(workPath_, aside) != 0) {
            VELT_LOG_ERROR(logName_, "cannot move %s aside, no work file", workPath_.c_str());
            return;
        }
        VELT_LOG_WARNING(logName_, "earlier work file kept as %s", aside.c_str());
        workFd_ = ::open(workPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (workFd_ < 0) VELT_LOG_ERROR(logName_, "cannot create %s: %s", workPath_.c_str(), std::strerror(errno));
}

int64_t MseedFileStore::oldestPendingTime() const {
    int64_t oldest = kNothingPending;
    for (const Run& run : runs_)
        if (run.blocks > 0 && run.start < oldest) oldest = run.start;
    return oldest;
}

void MseedFileStore::closeOutputs() {
    finishWorkFile();
    commit();
}

void MseedFileStore::shutdown() {
    for (int c = 0; c < kChannels; ++c)
        if (runs_[std::size_t(c)].blocks > 0) writeRun(c);
    closeOutputs();
}

std::unique_ptr<MseedFileStore> makeMseedFileStore(const std::string& iniPath, const std::string& logName) {
    const std::string conf = platform::readProfileString(iniPath, "OUTMSEEDFS", "CONFFILE", "",
                                                         MseedFileStore::kConfPathChars + 1);
    if (conf.empty()) return nullptr;
    return std::make_unique<MseedFileStore>(conf, logName);
}

}  // namespace velt::outputs

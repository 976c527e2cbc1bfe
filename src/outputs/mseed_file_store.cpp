#include "outputs/mseed_file_store.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/file_util.h"
#include "platform/ini_file.h"
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

}  // namespace

MseedFileStore::MseedFileStore(const std::string& confPath)
    : confPath_(platform::normaliseSeparators(confPath)) {
    const long perRun = platform::readProfileInt(confPath_, "COMMON", "SECINSEEDBUF",
                                                 kDefaultSecondsPerRun);
    secondsPerRun_ = perRun < 1 ? kDefaultSecondsPerRun
                                : (perRun > kMaxSecondsPerRun ? kMaxSecondsPerRun : perRun);
    prefix_ = platform::normaliseSeparators(platform::readProfileString(
        confPath_, "COMMON", "OUTFILEPREFIX", "", kConfPathChars + 1));
    const long perFile = platform::readProfileInt(confPath_, "COMMON", "SEEDBUFINFILE", 1);
    runsPerFile_ = perFile < 1 ? 1 : perFile;
    fileNumber_ = parseHex(platform::readProfileString(confPath_, "WORK", "OUTFILENUM", "", 64));
    workPath_ = prefix_ + "tmpfile";
}

MseedFileStore::~MseedFileStore() { shutdown(); }

std::string MseedFileStore::finishedFilePath(uint32_t number) const {
    char name[16];
    std::snprintf(name, sizeof name, "%8.8" PRIX32, number);
    return prefix_ + name;
}

void MseedFileStore::putSample(int32_t sample) {
    if (blockCount_ < kBlockCapacity)
        block_[std::size_t(blockCount_++)] = sample;
    else
        ++blockDropped_;
}

void MseedFileStore::clearSamples() {
    blockCount_ = 0;
    blockDropped_ = 0;
}

void MseedFileStore::flushChannel() {
    if (channel_ < 0 || channel_ >= kChannels || config_ == nullptr) return;
    if (blockDropped_ != 0) {
        std::fprintf(stderr, "miniSEED store: block of channel %d too long, %" PRIu64
                     " samples beyond %d dropped\n", int(channel_), blockDropped_, kBlockCapacity);
        blockDropped_ = 0;
    }
    Run& run = runs_[std::size_t(channel_)];
    const uint32_t rate = config_->sampleRate;
    const std::size_t n = std::size_t(blockCount_);

    // A gap, a jump or a new sample rate ends the run gathered so far.
    if (run.blocks > 0 && (run.start + run.blocks != time_ || run.rate != rate)) writeRun(channel_);
    if (run.blocks == 0) {
        run.start = time_;
        run.rate = rate;
        run.header = buildRunHeader(*config_, channel_, run.start, run.counter);
    }
    // Room for a full run at the larger of the rate and this block's size; a
    // block never holds more than kBlockCapacity samples, so a corrupt rate
    // cannot ask for more than that.
    std::size_t perBlock = rate > n ? rate : n;
    if (perBlock > std::size_t(kBlockCapacity)) perBlock = kBlockCapacity;
    std::size_t needed = std::size_t(secondsPerRun_) * perBlock;
    if (needed < run.count + n) needed = run.count + n;
    if (run.samples.size() < needed) run.samples.resize(needed);

    for (std::size_t i = 0; i < n; ++i) run.samples[run.count + i] = block_[i];
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
            std::fprintf(stderr, "miniSEED store: %" PRIu64 " differences of channel %d beyond "
                         "30 bits stored truncated\n", compressor_.truncatedDifferences(), channel);
        if (k > 0) appendRecords(recordBuffer_.data(), k);
    }
    ++run.counter;
    run.count = 0;
    run.blocks = 0;
}

void MseedFileStore::appendRecords(const uint8_t* records, int count) {
    if (workFd_ < 0) {
        finishFile();
        openWorkFile();
    }
    if (workFd_ < 0) {
        std::fprintf(stderr, "miniSEED store: no work file, %d records dropped\n", count);
        return;
    }
    const std::size_t bytes = std::size_t(count) * mseed::kRecordLength;
    if (platform::writeFully(workFd_, records, bytes)) {
        workSize_ += int64_t(bytes);
    } else {
        // A torn record would misalign every record after it: cut back to
        // the last whole run.
        std::fprintf(stderr, "miniSEED store: writing %s failed, %d records lost\n", workPath_.c_str(), count);
        if (::ftruncate(workFd_, workSize_) == 0) {
            ::lseek(workFd_, workSize_, SEEK_SET);
        } else {
            // Cannot cut it back: number the file as it is (its end is
            // trimmed to whole records) and go on in a fresh one.
            closeWorkFile();
            finishFile();
            openWorkFile();
            return;
        }
    }
    if (++runsWritten_ >= runsPerFile_) {
        closeWorkFile();
        finishFile();
        openWorkFile();
    }
}

void MseedFileStore::finishFile() {
    // A work file left by a crash may end in a torn record: only whole
    // records are given a number.
    const int64_t size = platform::fileSize(workPath_);
    if (size > 0 && size % mseed::kRecordLength != 0) {
        const int64_t whole = size - size % mseed::kRecordLength;
        if (::truncate(workPath_.c_str(), whole) == 0)
            std::fprintf(stderr, "miniSEED store: %s ended in a torn record, %lld bytes cut\n", workPath_.c_str(),
                         static_cast<long long>(size - whole));
    }
    const std::string target = finishedFilePath(fileNumber_);
    int rc = platform::renameNoReplace(workPath_, target);
    if (rc == 1) {
        // The number is taken by a file that is not ours: keep the records
        // under a free name beside it and leave the number behind.
        const std::string aside = platform::freeName(target);
        rc = platform::renameNoReplace(workPath_, aside);
        if (rc == 0)
            std::fprintf(stderr, "miniSEED store: %s exists, records kept as %s\n",
                         target.c_str(), aside.c_str());
    }
    if (rc != 0) {
        if (rc < 0 && errno != ENOENT)
            std::fprintf(stderr, "miniSEED store: cannot rename %s: %s\n", workPath_.c_str(), std::strerror(errno));
        return;
    }
    ++fileNumber_;
    saveFileNumber();
}

void MseedFileStore::saveFileNumber() {
    char text[16];
    std::snprintf(text, sizeof text, "%" PRIX32, fileNumber_);
    if (platform::writeProfileString(confPath_, "WORK", "OUTFILENUM", text) != 0)
        std::fprintf(stderr, "miniSEED store: cannot write OUTFILENUM=%s to %s\n", text,
                     confPath_.c_str());
}

void MseedFileStore::openWorkFile() {
    runsWritten_ = 0;
    if (platform::fileExists(workPath_)) {
        // A work file whose rename failed still holds records: move it aside
        // rather than create the new one over it.
        const std::string aside = platform::freeName(workPath_);
        if (platform::renameNoReplace(workPath_, aside) != 0) {
            std::fprintf(stderr, "miniSEED store: cannot move %s aside, no work file\n",
                         workPath_.c_str());
            return;
        }
        std::fprintf(stderr, "miniSEED store: earlier work file kept as %s\n", aside.c_str());
    }
    workFd_ = ::open(workPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    workSize_ = 0;
    if (workFd_ < 0)
        std::fprintf(stderr, "miniSEED store: cannot create %s\n", workPath_.c_str());
}

void MseedFileStore::closeWorkFile() {
    if (workFd_ < 0) return;
    ::fsync(workFd_);
    ::close(workFd_);
    workFd_ = -1;
}

int64_t MseedFileStore::oldestPendingTime() const {
    int64_t oldest = kNothingPending;
    for (const Run& run : runs_)
        if (run.blocks > 0 && run.start < oldest) oldest = run.start;
    return oldest;
}

void MseedFileStore::closeOutputs() {
    closeWorkFile();
    finishFile();
}

void MseedFileStore::shutdown() {
    for (int c = 0; c < kChannels; ++c)
        if (runs_[std::size_t(c)].blocks > 0) writeRun(c);
    closeOutputs();
}

std::unique_ptr<MseedFileStore> makeMseedFileStore(const std::string& iniPath) {
    const std::string conf = platform::readProfileString(iniPath, "OUTMSEEDFS", "CONFFILE", "",
                                                         MseedFileStore::kConfPathChars + 1);
    if (conf.empty()) return nullptr;
    return std::make_unique<MseedFileStore>(conf);
}

}  // namespace velt::outputs

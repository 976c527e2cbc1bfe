#include "outputs/four_int_output.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "platform/calendar.h"
#include "platform/directory.h"
#include "platform/endian.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace velt::outputs {

namespace {

// The channel's name as a zero-terminated string of at most its field width,
// or empty for channels without a name entry.
std::string channelNameOf(const ConfigurationRecord& config, int channel) {
    if (channel < 0 || channel >= recorder::kConfigChannels) return {};
    const char* name = config.channelName[channel];
    std::size_t len = 0;
    while (len < sizeof config.channelName[channel] && name[len] != '\0') ++len;
    return std::string(name, len);
}

std::string stationNameOf(const ConfigurationRecord& config) {
    std::size_t len = 0;
    while (len < sizeof config.stationName && config.stationName[len] != '\0') ++len;
    return std::string(config.stationName, len);
}

}  // namespace

FourIntOutput::~FourIntOutput() {
    closeOutputs();
    commit();
}

void FourIntOutput::setOutputPrefix(const std::string& prefix) {
    prefix_ = platform::normaliseSeparators(prefix.substr(0, kPrefixChars));
    // "out/4int" naming an existing folder means that folder: joined as it
    // is, the files would land beside it as "out/4intALPHA_...".
    struct stat st {};
    if (prefix_.empty() || prefix_.back() == '/' || ::stat(prefix_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    prefix_ += '/';
    // Said once per folder, not once per output (cardmill makes one per device).
    static std::mutex reportedLock;
    static std::set<std::string> reported;
    const std::lock_guard<std::mutex> hold(reportedLock);
    if (reported.insert(prefix_).second)
        VELT_LOG_INFO(logName_, "OUTDIR %s is a folder: 4-int files go into %s", prefix.c_str(), prefix_.c_str());
}

void FourIntOutput::setBlocksPerFile(long blocks) {
    if (blocks > 0) blocksPerFile_ = blocks;
}

void FourIntOutput::setNamingMode(const std::string& mode) {
    if (mode == "GNX") naming_ = Naming::Gnx;
    else if (mode == "TEST") naming_ = Naming::Test;
}

void FourIntOutput::putSample(int32_t sample) { block_.put(sample); }

void FourIntOutput::clearSamples() { block_.clear(); }

std::string FourIntOutput::fileNameFor(int channel, int64_t blockTime) const {
    // Time of the first sample: the block's second less the group delay.
    int64_t seconds = blockTime;
    long millis = 0;
    const uint32_t delay = config_ != nullptr ? config_->delay : 0;
    if (delay != 0) {
        seconds = blockTime - 1;
        millis = 1000 - long(delay / 100);
    }
    const platform::CivilTime t = platform::utcFromSeconds(seconds);

    char text[128];
    if (naming_ == Naming::Test) {
        std::string station, chan;
        if (config_ != nullptr) {
            station = platform::sanitiseComponent(stationNameOf(*config_));
            chan = platform::sanitiseComponent(channelNameOf(*config_, channel));
        } else {
            station = std::to_string(channel);
            chan = station;
        }
        std::snprintf(text, sizeof text, "_%4.4d%2.2d%2.2d_%2.2d%2.2d%2.2d_%3.3ld", t.year,
                      t.month, t.day, t.hour, t.minute, t.second, millis);
        return prefix_ + station + "_" + chan + text;
    }

    char letter = 'U';
    std::string station = "UNKN";
    if (config_ != nullptr) {
        const std::string chan = channelNameOf(*config_, channel);
        if (!chan.empty()) letter = platform::sanitiseComponent(chan.substr(chan.size() - 1))[0];
        station = platform::sanitiseComponent(stationNameOf(*config_));
    }
    std::snprintf(text, sizeof text, "%2.2d%2.2d%2.2dB%2.2d%c%2.2d%2.2d_%2.2ld", t.year % 100,
                  t.month, t.day, t.hour, letter, t.minute, t.second, (millis + 5) / 10);
    return prefix_ + text + "." + station;
}

void FourIntOutput::flushChannel() {
    if (channel_ < 0 || channel_ >= kChannels) return;
    const int c = channel_;
    block_.report(logName_, c);
    ChannelFile& file = files_[std::size_t(c)];
    const int n = block_.count();
    if (file.learn) {
        file.learn = false;
        learnLastFile(file, c, n);
    }
    if (file.replay.armed()) {
        if (file.replay.skip(time_)) return;
        if (file.replay.skipped() != 0)
            VELT_LOG_INFO(logName_, "channel %d: %" PRIu64 " blocks already in %s skipped", c, file.replay.skipped(),
                          file.resumePath.c_str());
        if (file.resumable && time_ == file.resumeLast + 1) continueLastFile(file, c, n);
        file.resumable = false;
    }
    if (file.lastTime != -1 && time_ != file.lastTime + 1) closeChannel(file, c);
    file.lastTime = time_;

    if (file.fd < 0) {
        openFile(file, c);
        if (file.fd < 0) return;
    }
    const std::size_t base = file.gathered.size();
    file.gathered.resize(base + std::size_t(n) * 4);
    uint8_t* p = file.gathered.data() + base;
    for (int i = 0; i < n; ++i, p += 4) platform::put_u32le(p, uint32_t(block_.data()[i]));
    ++file.gatheredBlocks;
    if (file.gathered.size() >= kWriteChunk) writeGathered(file, c);
    if (++file.blocks >= blocksPerFile_) closeChannel(file, c);
}

void FourIntOutput::openFile(ChannelFile& file, int channel) {
    // A new file never overwrites one that exists (another channel whose
    // name maps to the same file name, or a file some other program put
    // there): its samples go to a free name beside it instead.
    const std::string wanted = fileNameFor(channel, time_);
    std::string name = wanted;
    file.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const auto ahead = std::find(file.replaceable.begin(), file.replaceable.end(), wanted);
    if (file.fd < 0 && errno == EEXIST && (ahead != file.replaceable.end() || platform::fileSize(wanted) == 0)) {
        // This output's own file beyond a gap that a crash left, or an empty
        // one (made at its first block, its data lost in a crash before any
        // position was stored): the same blocks are written into it again.
        if (ahead != file.replaceable.end()) file.replaceable.erase(ahead);
        file.fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (file.fd >= 0) VELT_LOG_INFO(logName_, "%s written again: a crash lost its blocks", name.c_str());
    }
    if (file.fd < 0 && errno == EEXIST) {
        name = platform::freeName(wanted);
        file.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (file.fd >= 0) VELT_LOG_WARNING(logName_, "%s exists, writing %s", wanted.c_str(), name.c_str());
    }
    file.blocks = 0;
    file.size = 0;
    file.path = name;
    if (file.fd < 0) {
        // Said once per outage, not once per block: the count follows when files open again.
        if (file.dropped++ == 0)
            VELT_LOG_ERROR(logName_, "cannot open %s (%s): blocks of channel %d dropped", name.c_str(),
                           std::strerror(errno), channel);
        return;
    }
    ++tally_.files;
    if (file.dropped != 0) {
        VELT_LOG_WARNING(logName_, "channel %d writing again after %ld dropped blocks", channel, file.dropped);
        file.dropped = 0;
    }
}

bool FourIntOutput::writeGathered(ChannelFile& file, int channel) {
    if (file.gathered.empty() || file.fd < 0) return true;
    const bool ok = platform::writeFully(file.fd, file.gathered.data(), file.gathered.size());
    if (ok) {
        tally_.bytes += file.gathered.size();
        file.size += int64_t(file.gathered.size());
        file.unsynced = true;
    } else {
        // A partial block would shift every later sample: cut it off again.
        VELT_LOG_ERROR(logName_, "writing %s failed (%s): %ld blocks of channel %d lost", file.path.c_str(),
                       std::strerror(errno), file.gatheredBlocks, channel);
        if (::ftruncate(file.fd, file.size) == 0) {
            ::lseek(file.fd, file.size, SEEK_SET);
        } else {
            // Cannot cut it back: the next block starts a new file rather than a shifted one.
            ::close(file.fd);
            file.fd = -1;
        }
    }
    file.gathered.clear();
    file.gatheredBlocks = 0;
    return ok;
}

void FourIntOutput::closeChannel(ChannelFile& file, int channel) {
    writeGathered(file, channel);
    if (file.fd < 0) return;
    if (file.unsynced) {
        closedUnsynced_.push_back(file.fd);  // synced and closed by the next commit
        file.unsynced = false;
    } else {
        ::close(file.fd);
    }
    file.fd = -1;
    if (closedUnsynced_.size() >= kMaxUnsyncedClosed) commit();
}

void FourIntOutput::closeOutputs() {
    for (int c = 0; c < kChannels; ++c) closeChannel(files_[std::size_t(c)], c);
}

int FourIntOutput::commit() {
    std::vector<int> fds = closedUnsynced_;
    for (int c = 0; c < kChannels; ++c) {
        ChannelFile& file = files_[std::size_t(c)];
        writeGathered(file, c);
        if (file.fd >= 0 && file.unsynced) fds.push_back(file.fd);
    }
    const int rc = platform::syncFiles(fds);
    if (rc != 0)
        VELT_LOG_ERROR(logName_, "cannot sync %zu files (%s): their last samples may not survive a power cut",
                       fds.size(), std::strerror(errno));
    for (int fd : closedUnsynced_) ::close(fd);
    closedUnsynced_.clear();
    for (ChannelFile& file : files_) file.unsynced = false;
    return rc;
}

void FourIntOutput::resumeFrom(int64_t) {
    for (ChannelFile& file : files_) file.learn = true;
}

int64_t FourIntOutput::blockTimeOfName(const std::string& path, int channel) const {
    if (path.compare(0, prefix_.size(), prefix_) != 0) return -1;
    const std::string rest = path.substr(prefix_.size());
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (naming_ == Naming::Test) {
        constexpr std::size_t kTimeChars = 20;  // "_YYYYMMDD_HHMMSS_mmm"
        int millis = 0;
        if (rest.size() < kTimeChars ||
            std::sscanf(rest.c_str() + rest.size() - kTimeChars, "_%4d%2d%2d_%2d%2d%2d_%3d", &year, &month, &day,
                        &hour, &minute, &second, &millis) != 7)
            return -1;
    } else {
        char letter = 0;
        if (std::sscanf(rest.c_str(), "%2d%2d%2dB%2d%c%2d%2d_", &year, &month, &day, &hour, &letter, &minute,
                        &second) != 7)
            return -1;
        year += 2000;  // the name keeps two digits of the year
    }
    const int64_t seconds = platform::secondsFromUtc(year, month, day, hour, minute, second);
    const int64_t blockTime = (config_ != nullptr && config_->delay != 0) ? seconds + 1 : seconds;
    // Only the name this output gives a file starting with that block counts.
    return fileNameFor(channel, blockTime) == path ? blockTime : -1;
}

void FourIntOutput::learnLastFile(ChannelFile& file, int channel, int samplesPerBlock) {
    file.resumePath.clear();
    file.resumable = false;
    file.replaceable.clear();
    if (samplesPerBlock <= 0) return;
    const std::size_t slash = prefix_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : prefix_.substr(0, slash + 1);
    const std::string lead = prefix_.substr(folder.size());
    std::vector<std::string> names;
    if (platform::listDirectory(folder.empty() ? std::string(".") : folder, lead + "*", names) != 0) return;
    struct Held {
        std::string path;
        int64_t start = 0;  // time of its first block
        int64_t end = 0;    // one past its last whole block
    };
    const int64_t blockBytes = int64_t(samplesPerBlock) * 4;
    std::vector<Held> files;
    for (const std::string& name : names) {
        const std::string path = folder + name;
        const int64_t start = blockTimeOfName(path, channel);
        // A file holds at most SECINFILE blocks: one that starts earlier than
        // that before the first delivered block can neither hold it nor end at it.
        if (start < 0 || start + blocksPerFile_ < time_) continue;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        files.push_back(Held{path, start, start + st.st_size / blockBytes});
    }
    // What the files hold decides, never which was changed last: from the
    // first delivered block on, follow the files that hold the next block.
    // After a power cut a file made for the next span may exist, even with
    // data, while the tail of the one before it is lost; the run stops at
    // that gap, and the files beyond it are rewritten when the conversion
    // gets there rather than kept beside new ".1" copies.
    int64_t next = time_;
    const Held* last = nullptr;
    for (;;) {
        const Held* step = nullptr;
        for (const Held& h : files)
            if (h.start <= next && h.end > next && (step == nullptr || h.end > step->end)) step = &h;
        if (step == nullptr) break;
        last = step;
        next = step->end;
    }
    // None holds the first block: the file that ends right before it (or an
    // empty one made for it) goes on.
    for (const Held& h : files)
        if (last == nullptr && h.end == next) last = &h;
    for (const Held& h : files)
        if (h.start >= next && &h != last) file.replaceable.push_back(h.path);
    if (last == nullptr) return;
    file.resumePath = last->path;
    file.resumeBlocks = long(last->end - last->start);
    file.resumeLast = last->end - 1;
    file.replay.arm(file.resumeLast);
    file.resumable = file.resumeBlocks < blocksPerFile_;  // a full file is followed by a new one
}

void FourIntOutput::continueLastFile(ChannelFile& file, int channel, int samplesPerBlock) {
    closeChannel(file, channel);
    const int fd = ::open(file.resumePath.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;  // gone: the block opens a new file
    const int64_t whole = int64_t(file.resumeBlocks) * samplesPerBlock * 4;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_size != whole && ::ftruncate(fd, whole) != 0) ||
        ::lseek(fd, whole, SEEK_SET) != whole) {
        ::close(fd);
        return;
    }
    if (st.st_size != whole)
        VELT_LOG_WARNING(logName_, "%s ended in a partial block, %lld bytes cut", file.resumePath.c_str(),
                         static_cast<long long>(st.st_size - whole));
    file.fd = fd;
    file.path = file.resumePath;
    file.blocks = file.resumeBlocks;
    file.size = whole;
    file.lastTime = file.resumeLast;
}

std::unique_ptr<FourIntOutput> makeFourIntOutput(const std::string& iniPath) {
    if (platform::readProfileString(iniPath, "OUT4INTFILE", "TODO", "NO", 30) != "YES")
        return nullptr;
    auto output = std::make_unique<FourIntOutput>();
    output->setOutputPrefix(platform::readProfileString(iniPath, "OUT4INTFILE", "OUTDIR", "",
                                                        FourIntOutput::kPrefixChars + 1));
    output->setBlocksPerFile(platform::readProfileInt(iniPath, "OUT4INTFILE", "SECINFILE", -1));
    const std::string mode =
        platform::readProfileString(iniPath, "OUT4INTFILE", "FILENAMEMEODE", "", 30);
    if (!mode.empty()) output->setNamingMode(mode);
    return output;
}

}  // namespace velt::outputs

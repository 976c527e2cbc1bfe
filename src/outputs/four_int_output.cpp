#include "outputs/four_int_output.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/calendar.h"
#include "platform/endian.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
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

FourIntOutput::~FourIntOutput() { closeOutputs(); }

void FourIntOutput::setOutputPrefix(const std::string& prefix) {
    prefix_ = platform::normaliseSeparators(prefix.substr(0, kPrefixChars));
}

void FourIntOutput::setBlocksPerFile(long blocks) {
    if (blocks > 0) blocksPerFile_ = blocks;
}

void FourIntOutput::setNamingMode(const std::string& mode) {
    if (mode == "GNX") naming_ = Naming::Gnx;
    else if (mode == "TEST") naming_ = Naming::Test;
}

void FourIntOutput::putSample(int32_t sample) {
    if (blockCount_ < kBlockCapacity)
        block_[std::size_t(blockCount_++)] = sample;
    else
        ++blockDropped_;
}

void FourIntOutput::clearSamples() {
    blockCount_ = 0;
    blockDropped_ = 0;
}

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
    if (blockDropped_ != 0) {
        std::fprintf(stderr, "4-int output: block of channel %d too long, %" PRIu64
                     " samples beyond %d dropped\n", int(channel_), blockDropped_, kBlockCapacity);
        blockDropped_ = 0;
    }
    ChannelFile& file = files_[std::size_t(channel_)];
    if (file.lastTime != -1 && time_ != file.lastTime + 1) closeChannel(file);
    file.lastTime = time_;

    if (file.fd < 0) {
        // A new file never overwrites one that exists (the same data converted
        // again after a crash, or another channel whose name maps to the same
        // file name): its samples go to a free name beside it instead.
        const std::string wanted = fileNameFor(channel_, time_);
        std::string name = wanted;
        file.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (file.fd < 0 && errno == EEXIST) {
            name = platform::freeName(wanted);
            file.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (file.fd >= 0) std::fprintf(stderr, "4-int output: %s exists, writing %s\n", wanted.c_str(), name.c_str());
        }
        file.blocks = 0;
        file.size = 0;
        if (file.fd < 0) {
            // Said once per outage, not once per block: the count follows when files open again.
            if (file.dropped++ == 0)
                std::fprintf(stderr, "4-int output: cannot open %s (%s): blocks of channel %d dropped\n", name.c_str(),
                             std::strerror(errno), int(channel_));
            return;
        }
        if (file.dropped != 0) {
            std::fprintf(stderr, "4-int output: channel %d writing again after %ld dropped blocks\n", int(channel_),
                         file.dropped);
            file.dropped = 0;
        }
    }

    const std::size_t n = std::size_t(blockCount_);
    for (std::size_t i = 0; i < n; ++i) platform::put_u32le(&bytes_[i * 4], uint32_t(block_[i]));
    if (platform::writeFully(file.fd, bytes_.data(), n * 4)) {
        file.size += int64_t(n * 4);
    } else {
        // A partial block would shift every later sample: cut it off again.
        std::fprintf(stderr, "4-int output: write of channel %d failed, block lost\n", int(channel_));
        if (::ftruncate(file.fd, file.size) == 0) {
            ::lseek(file.fd, file.size, SEEK_SET);
        } else {
            closeChannel(file);  // the next block starts a new file rather than a shifted one
            return;
        }
    }
    if (++file.blocks >= blocksPerFile_) closeChannel(file);
}

void FourIntOutput::closeChannel(ChannelFile& file) {
    if (file.fd < 0) return;
    ::close(file.fd);
    file.fd = -1;
}

void FourIntOutput::closeOutputs() {
    for (ChannelFile& file : files_) closeChannel(file);
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

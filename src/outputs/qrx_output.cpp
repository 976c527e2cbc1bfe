#include "outputs/qrx_output.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace velt::outputs {

namespace {

constexpr std::size_t kDirectoryChars = 4096;
constexpr std::size_t kTodoChars = 30;

// The database when it opened, or null: then files are written unregistered.
FileListDatabase* connect(FileListDatabase& database, const std::string& connectionString) {
    if (connectionString.empty()) return nullptr;
    if (database.open(connectionString) == 0) return &database;
    std::fprintf(stderr,
                 "QRX: the FILELIST database could not be opened; QRX4.0 files are written but not registered\n");
    return nullptr;
}

std::string boundedText(const char* text, std::size_t capacity) { return std::string(text, strnlen(text, capacity)); }

}  // namespace

std::vector<std::string> qrxIniCandidates(const char* xdgConfigHome, const char* home) {
    std::vector<std::string> paths{"./qrx.ini"};
    if (xdgConfigHome != nullptr && *xdgConfigHome != '\0')
        paths.push_back(platform::withTrailingSeparator(xdgConfigHome) + "qrx.ini");
    else if (home != nullptr && *home != '\0')
        paths.push_back(platform::withTrailingSeparator(home) + ".config/qrx.ini");
    paths.push_back("/etc/qrx.ini");
    return paths;
}

std::string qrxDataDirectory(const std::vector<std::string>& candidates) {
    for (const std::string& path : candidates) {
        if (!platform::fileExists(path)) continue;
        std::string dir = platform::normaliseSeparators(
            platform::readProfileString(path, "DATA", "DIR", "\\", kDirectoryChars));
        if (!dir.empty() && dir.back() == '/') dir.pop_back();
        return dir;
    }
    return {};
}

std::string qrxDataDirectory() {
    return qrxDataDirectory(qrxIniCandidates(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")));
}

QrxOutput::QrxOutput(const QrxSettings& settings, int maxBlock)
    : maxBlock_(maxBlock > 0 ? maxBlock : kDefaultMaxBlock),
      writer_(settings.dataDirectory, connect(database_, settings.connectionString)) {
    lastTime_.fill(-1);
}

QrxOutput::~QrxOutput() { writePending(); }

void QrxOutput::putSample(int32_t sample) {
    if (count_ < kBlockCapacity)
        block_[size_t(count_++)] = sample;
    else
        ++overflow_;
}

void QrxOutput::setTime(int32_t seconds) { time_ = seconds; }

void QrxOutput::clearSamples() { count_ = 0; }

void QrxOutput::setConfiguration(const ConfigurationRecord& record) { record_ = &record; }

void QrxOutput::selectChannel(int32_t channel) { channel_ = channel; }

void QrxOutput::closeOutputs() { writePending(); }

void QrxOutput::writePending() {
    writer_.writeAll();
    pendingSince_ = kNothingPending;
}

void QrxOutput::flushChannel() {
    if (overflow_ > 0) {
        std::fprintf(stderr, "QRX: %lld samples beyond the block capacity of %d dropped\n",
                     static_cast<long long>(overflow_), kBlockCapacity);
        overflow_ = 0;
    }
    const int c = channel_;
    if (record_ == nullptr || c < 0 || c >= kChannels || c >= recorder::kConfigChannels) {
        if (count_ > 0) std::fprintf(stderr, "QRX: %d samples of unnamed channel %d dropped\n", count_, c);
        return;
    }
    const int64_t t = time_;
    // A gap on any channel ends every pending run.
    if (lastTime_[size_t(c)] != -1 && lastTime_[size_t(c)] != t - 1) writePending();
    lastTime_[size_t(c)] = t;
    if (c == 0) {
        if (blockCounter_ >= maxBlock_) {
            writePending();
            blockCounter_ = 0;
        }
        ++blockCounter_;
    }
    // The recorder's group delay counts 10-microsecond units.
    const double start = double(t) - double(uint32_t(record_->delay)) * 0.00001;
    if (pendingSince_ == kNothingPending) pendingSince_ = t;
    writer_.addSamples(boundedText(record_->stationName, sizeof record_->stationName),
                       boundedText(record_->channelName[c], sizeof record_->channelName[c]), 1,
                       double(float(record_->sampleRate)), start, count_, block_.data());
}

std::unique_ptr<QrxOutput> makeQrxOutput(const std::string& iniPath, const QrxSettings& settings) {
    if (platform::readProfileString(iniPath, "OUTQRX", "TODO", "NO", kTodoChars) != "YES") return nullptr;
    const long maxBlock = platform::readProfileInt(iniPath, "OUTQRX", "MAXBLOCK", QrxOutput::kDefaultMaxBlock);
    return std::make_unique<QrxOutput>(settings, maxBlock > 0 && maxBlock <= INT32_MAX ? int(maxBlock)
                                                                                        : QrxOutput::kDefaultMaxBlock);
}

}  // namespace velt::outputs

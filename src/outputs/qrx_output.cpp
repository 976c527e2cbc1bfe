#include "outputs/qrx_output.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace velt::outputs {

namespace {

constexpr std::size_t kDirectoryChars = 4096;
constexpr std::size_t kTodoChars = 30;

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

std::string qrxJournalName(const std::string& iniPath) {
    char* resolved = ::realpath(iniPath.c_str(), nullptr);
    const std::string full = resolved != nullptr ? std::string(resolved) : iniPath;
    std::free(resolved);
    uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : full) hash = (hash ^ uint8_t(c)) * 16777619u;
    std::string name = full.substr(full.find_last_of('/') + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08" PRIx32, hash);
    return "filelist-" + platform::sanitiseComponent(name) + "-" + digits + ".journal";
}

QrxOutput::QrxOutput(const QrxSettings& settings, int maxBlock, std::string journalName)
    : maxBlock_(maxBlock > 0 ? maxBlock : kDefaultMaxBlock),
      writer_(settings.dataDirectory, settings.connectionString.empty() ? nullptr : &database_) {
    lastTime_.fill(-1);
    database_.setGroupCommit(true);
    if (settings.connectionString.empty()) return;
    // A database away at start is an outage like a later one: its rows wait
    // and the connection is tried again on the same pauses.
    const bool away = database_.openOrWait(settings.connectionString) != 0;
    const std::string journal = journalName.empty() ? std::string() : writer_.dataDirectory() + "/" + journalName;
    if (!journal.empty()) database_.setJournal(journal);
    if (away)
        VELT_LOG_WARNING("QRX", "the FILELIST database cannot be opened: FILELIST rows wait in %s and are written "
                         "when it answers",
                         journal.empty() ? "memory" : journal.c_str());
}

QrxOutput::~QrxOutput() {
    writePending();
    commit();
}

void QrxOutput::setLogName(std::string name) {
    logName_ = name;
    database_.setLogName(name);
    writer_.setLogName(std::move(name));
}

void QrxOutput::putSample(int32_t sample) { block_.put(sample); }

void QrxOutput::setTime(int32_t seconds) { time_ = seconds; }

void QrxOutput::clearSamples() { block_.clear(); }

void QrxOutput::setConfiguration(const ConfigurationRecord& record) { record_ = &record; }

void QrxOutput::selectChannel(int32_t channel) { channel_ = channel; }

void QrxOutput::closeOutputs() {
    writePending();
    commit();
}

int QrxOutput::commit() {
    const int synced = writer_.syncAppended();
    // Rows are written even when a sync failed: the files exist either way.
    // Rows the database does not take are kept in the journal by the same
    // commit, so the position stored next passes no row that exists nowhere.
    const int kept = database_.isOpen() ? database_.commit() : 0;
    return synced != 0 || kept != 0 ? -1 : 0;
}

void QrxOutput::resumeFrom(int64_t) { learn_.fill(true); }

void QrxOutput::writePending() {
    writer_.writeAll();
    pendingSince_ = kNothingPending;
}

void QrxOutput::flushChannel() {
    const int c = channel_;
    block_.report(logName_, c);
    if (record_ == nullptr || c < 0 || c >= kChannels || c >= recorder::kConfigChannels) {
        if (block_.count() > 0)
            VELT_LOG_WARNING(logName_, "%d samples of unnamed channel %d dropped", block_.count(), c);
        return;
    }
    const int64_t t = time_;
    // The recorder's group delay counts 10-microsecond units.
    const double delay = double(uint32_t(record_->delay)) * 0.00001;
    const double start = double(t) - delay;
    const std::string station = boundedText(record_->stationName, sizeof record_->stationName);
    const std::string channel = boundedText(record_->channelName[c], sizeof record_->channelName[c]);
    const double rate = double(float(record_->sampleRate));
    if (learn_[size_t(c)]) {
        learn_[size_t(c)] = false;
        const double end = writer_.resumeTrace(station, channel, rate, start);
        // Block t covers [t - delay, t - delay + 1): the last one held ends where the file does.
        if (std::isfinite(end)) replay_[size_t(c)].arm(std::llround(end + delay) - 1);
    }
    ReplayFilter& replay = replay_[size_t(c)];
    if (replay.armed()) {
        if (replay.skip(t)) return;
        if (replay.skipped() != 0)
            VELT_LOG_INFO(logName_, "channel %d: %" PRIu64 " blocks already in the files skipped", c, replay.skipped());
    }
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
    if (pendingSince_ == kNothingPending) pendingSince_ = t;
    writer_.addSamples(station, channel, 1, rate, start, block_.count(), block_.data());
}

std::unique_ptr<QrxOutput> makeQrxOutput(const std::string& iniPath, const QrxSettings& settings) {
    if (platform::readProfileString(iniPath, "OUTQRX", "TODO", "NO", kTodoChars) != "YES") return nullptr;
    const long maxBlock = platform::readProfileInt(iniPath, "OUTQRX", "MAXBLOCK", QrxOutput::kDefaultMaxBlock);
    return std::make_unique<QrxOutput>(
        settings, maxBlock > 0 && maxBlock <= INT32_MAX ? int(maxBlock) : QrxOutput::kDefaultMaxBlock,
        qrxJournalName(iniPath));
}

}  // namespace velt::outputs

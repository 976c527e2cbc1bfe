#include "cardmill/card_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/directory.h"
#include "platform/file_util.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "recorder/card_file_header.h"

namespace velt::cardmill {

namespace {

constexpr const char* kWho = "cardmill";

uint64_t key(uint32_t device, uint32_t number) { return uint64_t(device) << 32 | number; }

bool readWhole(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.clear();
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) bytes.append(buffer, std::size_t(in.gcount()));
    return !in.bad();
}

}  // namespace

int CardDirectory::scan(const std::string& dir) {
    dir_ = platform::withTrailingSeparator(platform::normaliseSeparators(dir));
    entries_.clear();
    first_.clear();
    headerReads_ = 0;
    std::vector<std::string> names;
    if (platform::listDirectory(dir_, "*.*", names) != 0) return -1;
    for (std::string& name : names) {
        if (name.empty() || name[0] == '.') continue;
        struct stat st {};
        if (::stat((dir_ + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // never open a pipe or device
        recorder::CardFile file;
        if (file.open(dir_ + name) != 0) continue;
        ++headerReads_;
        if (file.fullCheck() != 1) continue;
        CardEntry entry{std::move(name), file.deviceNumber(), file.fileNumber()};
        first_.try_emplace(key(entry.device, entry.number), entries_.size());
        entries_.push_back(std::move(entry));
    }
    return 0;
}

const CardEntry* CardDirectory::find(uint32_t device, uint32_t number) const {
    const auto at = first_.find(key(device, number));
    return at == first_.end() ? nullptr : &entries_[at->second];
}

std::vector<DeviceRange> listDevices(const CardDirectory& dir, std::vector<DeviceRange>* notListed) {
    std::vector<DeviceRange> devices;
    std::unordered_map<uint32_t, std::size_t> at;  // device -> its place in `devices`
    for (const CardEntry& e : dir.entries()) {
        const auto [place, added] = at.try_emplace(e.device, devices.size());
        if (added) devices.push_back(DeviceRange{e.device});
        DeviceRange& range = devices[place->second];
        if (e.number == 0) continue;  // never part of a range
        if (range.first == 0 || e.number < range.first) range.first = e.number;
        if (e.number > range.last) range.last = e.number;
    }
    if (devices.size() > kMaxDevices) {
        if (notListed != nullptr) notListed->assign(devices.begin() + long(kMaxDevices), devices.end());
        devices.resize(kMaxDevices);
    } else if (notListed != nullptr) {
        notListed->clear();
    }
    return devices;
}

std::string deviceLine(const DeviceRange& range) {
    char line[64];
    std::snprintf(line, sizeof line, "%d (%.4lXh) (%8.8lX-%8.8lX)", int(range.device), (unsigned long)range.device,
                  (unsigned long)range.first, (unsigned long)range.last);
    return line;
}

namespace {

enum class Copied { New, Renamed, Completed, Identical, Failed, Stopped };

constexpr std::size_t kChunkBytes = 1 << 20;  // progress and the stop-now flag between chunks

bool isSet(const std::atomic<bool>* flag) { return flag != nullptr && flag->load(); }

// Writes `bytes` under a fresh hidden name in `archive` and syncs it.
// @return its path, or "" when it failed or `stopNow` was set (then nothing
// is left behind and `stopped` tells which).
std::string writeHiddenTemporary(const std::string& archive, const std::string& name, const std::string& bytes,
                                 const CopyControl& control, CopyProgress& progress, bool& stopped) {
    static std::atomic<unsigned> counter{0};
    stopped = false;
    std::string path;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        path = archive + "." + name + ".part" + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return {};
    bool ok = true;
    for (std::size_t at = 0; ok && at < bytes.size(); at += kChunkBytes) {
        if (isSet(control.stopNow)) {
            stopped = true;
            break;
        }
        const std::size_t n = std::min(kChunkBytes, bytes.size() - at);
        ok = platform::writeFully(fd, bytes.data() + at, n);
        progress.bytesDone += int64_t(n);
        if (ok && control.progress) control.progress(progress);
    }
    ok = ok && !stopped && ::fsync(fd) == 0;
    const int saved = errno;
    if (::close(fd) != 0) ok = false;
    if (!ok) {
        ::unlink(path.c_str());
        errno = saved;
        return {};
    }
    return path;
}

// True when `there` is an earlier copy of `bytes` that was cut short: at
// least the header (so the same device and number) and a true beginning.
bool cutShortCopyOf(const std::string& there, const std::string& bytes) {
    return there.size() >= recorder::card::kHeaderBytes && there.size() < bytes.size() &&
           bytes.compare(0, there.size(), there) == 0;
}

Copied copyOne(const std::string& source, const std::string& archive, const std::string& name,
               const CopyControl& control, CopyProgress& progress) {
    std::string bytes;
    if (!readWhole(source, bytes)) {
        VELT_LOG_ERROR(kWho, "cannot read %s: %s", source.c_str(), std::strerror(errno));
        return Copied::Failed;
    }
    // Names repeat across recorders: a name holding other bytes is kept
    // and the next of NAME.1, NAME.2, ... is tried; one holding these bytes
    // means the file is archived already (a conversion run again); one
    // holding their beginning is a copy that was cut short.
    const std::string base = archive + name;
    std::string temporary;
    for (int n = 0;;) {
        const std::string target = n == 0 ? base : base + "." + std::to_string(n);
        std::string there;
        const bool taken = platform::fileExists(target);
        bool complete = false;
        if (taken) {
            if (readWhole(target, there) && there == bytes) {
                if (!temporary.empty()) ::unlink(temporary.c_str());
                progress.bytesDone += int64_t(bytes.size());
                return Copied::Identical;
            }
            complete = cutShortCopyOf(there, bytes);
            if (!complete) {
                ++n;
                continue;
            }
        }
        if (temporary.empty()) {
            bool stopped = false;
            temporary = writeHiddenTemporary(archive, name, bytes, control, progress, stopped);
            if (stopped) return Copied::Stopped;
            if (temporary.empty()) {
                VELT_LOG_ERROR(kWho, "cannot copy %s to %s: %s", source.c_str(), target.c_str(), std::strerror(errno));
                return Copied::Failed;
            }
        }
        // A completion replaces the cut-short file in one step; anything
        // else never replaces, and a name taken meanwhile is looked at again.
        const int rc = complete ? (::rename(temporary.c_str(), target.c_str()) == 0 ? 0 : -1)
                                : platform::renameNoReplace(temporary, target);
        if (rc == 1) continue;
        if (rc != 0) {
            VELT_LOG_ERROR(kWho, "cannot copy %s to %s: %s", source.c_str(), target.c_str(), std::strerror(errno));
            ::unlink(temporary.c_str());
            return Copied::Failed;
        }
        platform::syncDirectory(platform::directoryOf(target));
        if (complete) {
            VELT_LOG_WARNING(kWho, "%s was a copy of %s cut short after %zu of %zu bytes; completed", target.c_str(),
                             source.c_str(), there.size(), bytes.size());
            return Copied::Completed;
        }
        if (target != base) {
            VELT_LOG_WARNING(kWho, "%s holds other data; %s copied as %s", base.c_str(), source.c_str(),
                             target.c_str());
            return Copied::Renamed;
        }
        return Copied::New;
    }
}

}  // namespace

CopyPhase copyDevicesToArchive(const CardDirectory& in, const std::string& archiveDir,
                               const std::vector<DeviceRange>& ranges, const CopyControl& control) {
    CopyPhase phase;
    phase.devices.resize(ranges.size());
    std::vector<std::pair<const CardEntry*, std::size_t>> files;  // and the index of its range
    CopyProgress progress;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const DeviceRange& range = ranges[r];
        int found = 0;
        for (uint64_t k = range.first; k <= range.last; ++k)
            if (const CardEntry* entry = in.find(range.device, uint32_t(k))) {
                files.emplace_back(entry, r);
                progress.bytes += std::max<int64_t>(0, platform::fileSize(in.pathOf(*entry)));
                ++found;
            }
        if (archiveDir.empty() && found > 0) {
            // Copying to "" would put the files in the working directory.
            phase.devices[r].failed = found;
            phase.totals.failed += found;
            VELT_LOG_ERROR(kWho, "no archive directory (DATAARCHDIR) is set: %d files of device %u not copied", found,
                           unsigned(range.device));
        }
    }
    progress.files = int(files.size());
    if (archiveDir.empty()) return phase;
    const std::string archive = platform::withTrailingSeparator(platform::normaliseSeparators(archiveDir));
    for (const auto& [entry, r] : files) {
        const std::string source = in.pathOf(*entry);
        CopyTotals& device = phase.devices[r];
        if (isSet(control.stopAfterFile) || isSet(control.stopNow)) {
            phase.interrupted = true;
            phase.notCopied.push_back(source);
            continue;
        }
        progress.file = source;
        const int64_t before = progress.bytesDone;
        if (control.progress) control.progress(progress);
        switch (copyOne(source, archive, entry->name, control, progress)) {
            case Copied::Renamed: ++device.renamed, ++device.copied; break;
            case Copied::Completed: ++device.completed, ++device.copied; break;
            case Copied::New: ++device.copied; break;
            case Copied::Identical: ++device.identical; break;
            case Copied::Failed: ++device.failed; break;
            case Copied::Stopped:
                phase.interrupted = true;
                phase.notCopied.push_back(source);
                progress.bytesDone = before;
                continue;
        }
        // A file looked at counts as done, whatever became of it.
        progress.bytesDone = before + std::max<int64_t>(0, platform::fileSize(source));
        ++progress.filesDone;
    }
    for (const CopyTotals& d : phase.devices) {
        phase.totals.copied += d.copied;
        phase.totals.identical += d.identical;
        phase.totals.renamed += d.renamed;
        phase.totals.completed += d.completed;
        phase.totals.failed += d.failed;
    }
    progress.file.clear();
    if (control.progress) control.progress(progress);
    return phase;
}

CopyTotals copyDeviceToArchive(const CardDirectory& in, const std::string& archiveDir, const DeviceRange& range) {
    return copyDevicesToArchive(in, archiveDir, {range}, CopyControl{}).totals;
}

}  // namespace velt::cardmill

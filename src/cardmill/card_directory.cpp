#include "cardmill/card_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

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
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

std::vector<DeviceRange> listDevices(const CardDirectory& dir) {
    std::vector<DeviceRange> devices;
    for (const CardEntry& e : dir.entries()) {
        DeviceRange* range = nullptr;
        for (DeviceRange& d : devices)
            if (d.device == e.device) range = &d;
        if (range == nullptr) {
            if (devices.size() == kMaxDevices) continue;
            range = &devices.emplace_back(DeviceRange{e.device});
        }
        if (e.number == 0) continue;  // never part of a range
        if (range->first == 0 || e.number < range->first) range->first = e.number;
        if (e.number > range->last) range->last = e.number;
    }
    return devices;
}

std::string deviceLine(const DeviceRange& range) {
    char line[64];
    std::snprintf(line, sizeof line, "%d (%.4lXh) (%8.8lX-%8.8lX)", int(range.device), (unsigned long)range.device,
                  (unsigned long)range.first, (unsigned long)range.last);
    return line;
}

CopyTotals copyDeviceToArchive(const CardDirectory& in, const std::string& archiveDir, const DeviceRange& range) {
    CopyTotals totals;
    if (archiveDir.empty()) {
        // Copying to "" would put the files in the working directory.
        for (uint64_t k = range.first; k <= range.last; ++k) totals.failed += in.find(range.device, uint32_t(k)) != nullptr;
        VELT_LOG_ERROR(kWho, "no archive directory (DATAARCHDIR) is set: %d files of device %u not copied", totals.failed,
                       unsigned(range.device));
        return totals;
    }
    const std::string archive = platform::withTrailingSeparator(platform::normaliseSeparators(archiveDir));
    for (uint64_t k = range.first; k <= range.last; ++k) {
        const CardEntry* entry = in.find(range.device, uint32_t(k));
        if (entry == nullptr) continue;
        std::string bytes;
        if (!readWhole(in.pathOf(*entry), bytes)) {
            ++totals.failed;
            VELT_LOG_ERROR(kWho, "cannot read %s: %s", in.pathOf(*entry).c_str(), std::strerror(errno));
            continue;
        }
        // Names repeat across recorders: a name holding other bytes is kept
        // and the next of NAME.1, NAME.2, ... is tried; one holding these
        // bytes means the file is archived already (a conversion run again).
        const std::string base = archive + entry->name;
        std::string target = base;
        int rc = 1;
        bool identical = false;
        for (int n = 1; rc == 1; ++n) {
            rc = platform::createFileAtomically(target, bytes);
            if (rc != 1) break;
            std::string there;
            if (readWhole(target, there) && there == bytes) {
                identical = true;
                break;
            }
            target = base + "." + std::to_string(n);
        }
        if (identical) {
            ++totals.identical;
            continue;
        }
        if (rc == 0 && target != base) {
            ++totals.renamed;
            VELT_LOG_WARNING(kWho, "%s holds other data; %s copied as %s", base.c_str(), in.pathOf(*entry).c_str(),
                             target.c_str());
        }
        if (rc != 0) {
            ++totals.failed;
            VELT_LOG_ERROR(kWho, "cannot copy %s to %s: %s", in.pathOf(*entry).c_str(), target.c_str(),
                           rc == 1 ? "the name was taken meanwhile" : std::strerror(errno));
            continue;
        }
        ++totals.copied;
    }
    return totals;
}

}  // namespace velt::cardmill

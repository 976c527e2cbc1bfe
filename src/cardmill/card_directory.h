// The card-archive files of a directory, found by their headers (never by
// their names), and what cardmill does with them: the device list with each
// device's range of file numbers, the file of a device and number, and the
// copy of a device's files into the archive directory.
//
// Decisions taken here:
//  - A directory is read once per operation: every header is read once, in
//    listing order (names sorted), into an index, and lookups use the index.
//    Results are those of walking the directory for each lookup, duplicates
//    included (the first valid file in listing order wins), at the cost of
//    one header read per file instead of one per file and lookup.
//  - The copy never replaces a file: an identical file in the archive is
//    left as it is, a different one (another recorder's file of the same
//    name) is kept and the copy goes under the first of "NAME.1",
//    "NAME.2", ... that is free (logged), unless one of them already holds
//    the same bytes. Each copy is written under a temporary name, synced and
//    renamed, so the archive never holds a torn file. Failures are counted
//    and logged; without an archive directory nothing is copied (failures).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace velt::cardmill {

constexpr std::size_t kMaxDevices = 50;

/// One valid card-archive file.
struct CardEntry {
    std::string name;  // entry name in the directory
    uint32_t device = 0;
    uint32_t number = 0;
};

class CardDirectory final {
public:
    /// @brief Lists `dir` and reads the header of every entry not beginning
    /// with '.'; entries that cannot be opened or fail the header check are
    /// left out. @return 0, or -1 when `dir` cannot be listed (then empty).
    int scan(const std::string& dir);

    /// @brief Valid files in listing order.
    const std::vector<CardEntry>& entries() const { return entries_; }
    /// @brief The first valid file (listing order) of `device` numbered `number`, or nullptr.
    const CardEntry* find(uint32_t device, uint32_t number) const;
    /// @brief Directory, separator and entry name.
    std::string pathOf(const CardEntry& entry) const { return dir_ + entry.name; }
    /// @brief Headers read by the last scan (one per entry opened).
    std::size_t headerReads() const { return headerReads_; }

private:
    std::string dir_;
    std::vector<CardEntry> entries_;
    std::unordered_map<uint64_t, std::size_t> first_;  // (device, number) -> index of its first entry
    std::size_t headerReads_ = 0;
};

/// A device of the device list with the range of its file numbers.
struct DeviceRange {
    uint32_t device = 0;
    uint32_t first = 0;  // smallest number above 0, or 0 when there is none
    uint32_t last = 0;   // largest number (0 when the device has no number above 0)
};

/// @brief The devices of `dir` in order of first discovery, at most
/// kMaxDevices (further devices are dropped), each with its range.
std::vector<DeviceRange> listDevices(const CardDirectory& dir);

/// @brief The list-box line of a device: "%d (%.4lXh) (%8.8lX-%8.8lX)".
std::string deviceLine(const DeviceRange& range);

struct CopyTotals {
    int copied = 0;     // new files in the archive
    int identical = 0;  // already there with the same bytes
    int renamed = 0;    // of `copied`: put under a free name beside a different file
    int failed = 0;
};

/// @brief Copies the files numbered `range.first` to `range.last` of
/// `range.device` from `in` into `archiveDir` under their own names (missing
/// numbers are skipped). The sources stay where they are.
CopyTotals copyDeviceToArchive(const CardDirectory& in, const std::string& archiveDir, const DeviceRange& range);

}  // namespace velt::cardmill

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
//  - The copy never replaces another file: an identical file in the archive
//    is left as it is, a different one (another recorder's file of the same
//    name) is kept and the copy goes under the first of "NAME.1",
//    "NAME.2", ... that is free (logged), unless one of them already holds
//    the same bytes. The one file replaced is an earlier copy that was cut
//    short: a file at least a header long whose bytes begin the card file
//    (so same device and number) is completed by the full copy (logged).
//  - Each copy is written under a hidden temporary name in the archive
//    (".NAME.part<pid>.<n>": names beginning with a dot are never scanned),
//    synced and renamed without replacing, so a copy killed half way leaves
//    nothing that a scan lists. Failures are counted and logged; without an
//    archive directory nothing is copied (failures).
//  - The device list holds kMaxDevices devices, as the window's list always
//    did; the devices past it are handed back separately so that whoever
//    shows the list can say which were left out. Conversion itself has no
//    such limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace velt::cardmill {

/// Lines of the device list (the window's and --list).
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
/// kMaxDevices, each with its range; the devices past the list go to
/// `notListed` when given (else they are dropped).
std::vector<DeviceRange> listDevices(const CardDirectory& dir, std::vector<DeviceRange>* notListed = nullptr);

/// @brief The list-box line of a device: "%d (%.4lXh) (%8.8lX-%8.8lX)".
std::string deviceLine(const DeviceRange& range);

struct CopyTotals {
    int copied = 0;     // new files in the archive
    int identical = 0;  // already there with the same bytes
    int renamed = 0;    // of `copied`: put under a free name beside a different file
    int completed = 0;  // of `copied`: replaced a cut-short earlier copy of the same file
    int failed = 0;
};

/// How far a copy phase has got, for a progress display.
struct CopyProgress {
    std::string file;  // path of the file being copied, "" once the phase has ended
    int filesDone = 0;
    int files = 0;
    int64_t bytesDone = 0;
    int64_t bytes = 0;
};

/// How a copy phase is stopped and who hears how far it got. The flags may
/// be set from a signal handler or another thread.
struct CopyControl {
    const std::atomic<bool>* stopAfterFile = nullptr;  // finish the file being copied, then stop
    const std::atomic<bool>* stopNow = nullptr;        // give up the file being copied (nothing of it stays)
    std::function<void(const CopyProgress&)> progress;  // at each file and every megabyte
};

struct CopyPhase {
    CopyTotals totals;
    std::vector<CopyTotals> devices;     // the same, range by range, in the order given
    bool interrupted = false;            // a stop flag ended the phase before its last file
    std::vector<std::string> notCopied;  // paths of the files the stop left out
};

/// @brief Copies the files numbered `range.first` to `range.last` of each
/// range's device, range after range, from `in` into `archiveDir` under
/// their own names (missing numbers are skipped). The sources stay where
/// they are. A stop flag is looked at before every file (and `stopNow` at
/// every megabyte written).
CopyPhase copyDevicesToArchive(const CardDirectory& in, const std::string& archiveDir,
                               const std::vector<DeviceRange>& ranges, const CopyControl& control);

/// @brief copyDevicesToArchive for one device, without stops or progress.
CopyTotals copyDeviceToArchive(const CardDirectory& in, const std::string& archiveDir, const DeviceRange& range);

}  // namespace velt::cardmill

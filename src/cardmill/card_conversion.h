// Converting the selected devices one after another: each device's card
// stream goes through fresh outputs (4-int and QRX4.0 as cardmill.ini
// enables them), then, when AUTOCOPYTOARCH is "YES", its files are copied to
// the archive directory. An abort ends the device being converted within
// 10000 bytes; the devices left are not converted, but still copied.
// Each output learns what its files already hold of the device's blocks and
// skips those: converting a card again adds nothing, and a card that
// continues an earlier one continues its files and rows.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cardmill/card_directory.h"
#include "cardmill/cardmill_settings.h"

namespace velt::cardmill {

/// Where a conversion shows how it goes (the window or the terminal).
class ConversionView {
public:
    virtual ~ConversionView() = default;
    /// @brief "Conversion in progress ...", then "Conversion complited".
    virtual void showStatus(const std::string& text) = 0;
    /// @brief "device:%lXh  file: %lXh", "Copy files to archive", or "".
    virtual void showProgress(const std::string& text) = 0;
    /// @brief Stream bytes read so far of all selected devices' files (at
    /// least every 10000 bytes and at every new file).
    virtual void showBytes(uint32_t device, int64_t file, int64_t done, int64_t total) {
        (void)device, (void)file, (void)done, (void)total;
    }
    /// @brief The copy phase begins (true) or ends (false): a stop request
    /// then stops the copy after the file being copied.
    virtual void showCopying(bool on) { (void)on; }
    /// @brief The copy phase's progress, before every file and at the end.
    virtual void showCopy(const CopyProgress& progress) { (void)progress; }
};

/// What became of one device's blocks and files.
struct DeviceResult {
    uint32_t device = 0;
    bool converted = false;      // read to its end
    uint64_t written = 0;        // blocks handed to the outputs
    uint64_t damaged = 0;        // pieces of stream rejected between good blocks
    uint64_t notPlaced = 0;      // blocks read at the end that could not be verified
    bool outputsFailed = false;  // an output lost data or could not be made durable
    std::size_t rowsWaiting = 0; // FILELIST rows waiting for the database after it
    CopyTotals copies;
};

struct ConversionSummary {
    int devicesConverted = 0;  // devices read to their end
    int outputFailures = 0;    // devices whose outputs could not all be written
    bool aborted = false;
    CopyTotals copies;
    bool copyInterrupted = false;        // a stop request ended the copy early
    std::vector<std::string> notCopied;  // the files it left out
    std::size_t rowsWaiting = 0;         // FILELIST rows still waiting for the database at the end
    std::vector<DeviceResult> devices;   // in conversion order
    bool failed() const {
        if (rowsWaiting > 0) return true;
        for (const DeviceResult& d : devices)
            if (d.outputsFailed || d.copies.failed > 0) return true;
        return false;
    }
};

/// @brief One line for `d`: "device 15h: 3599 blocks written, 1 damaged,
/// 0 not placed; files 14 copied, 0 skipped, 0 not copied; 0 FILELIST rows waiting".
std::string describe(const DeviceResult& d);

/// @brief Converts `selected` (in their order) with `settings`, looking at
/// `abort` every 4096 bytes, then (AUTOCOPYTOARCH) copies their files to the
/// archive, stopped by the flags of `copyControl`.
ConversionSummary convertDevices(const CardmillSettings& settings, const std::vector<DeviceRange>& selected,
                                 const std::atomic<bool>& abort, ConversionView& view,
                                 const CopyControl& copyControl = {});

}  // namespace velt::cardmill

// Converting the selected devices one after another: each device's card
// stream goes through fresh outputs (4-int and QRX4.0 as cardmill.ini
// enables them), then, when AUTOCOPYTOARCH is "YES", its files are copied to
// the archive directory. An abort ends the device being converted within
// 10000 bytes; the devices left are not converted, but still copied.
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
};

struct ConversionSummary {
    int devicesConverted = 0;  // devices read to their end
    int outputFailures = 0;    // devices whose outputs could not all be written
    bool aborted = false;
    CopyTotals copies;
};

/// @brief Converts and copies `selected` (in their order) with `settings`,
/// looking at `abort` every 1000 passes of 10 bytes.
ConversionSummary convertDevices(const CardmillSettings& settings, const std::vector<DeviceRange>& selected,
                                 const std::atomic<bool>& abort, ConversionView& view);

}  // namespace velt::cardmill

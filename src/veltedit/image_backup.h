// EEPROM images kept in files: the 512 raw bytes, their decoded text for a
// technician, and the restore rule. A restore puts back only what the
// editor itself may change (phase loop, rate code, names, the records of
// the channels handled, pulse calibration, response area), never the
// signature, device, configuration or restart numbers, the channel count
// or the bytes the editor does not interpret.
#pragma once

#include <string>

#include "veltedit/eeprom_image.h"

namespace velt::veltedit {

/// @brief Reads an image file. @return 0, -1 unreadable, -2 not 512 bytes.
int loadImageFile(const std::string& path, Image& image);
/// @brief Writes `image` to `path` atomically. @return 0 or -1.
int saveImageFile(const std::string& path, const Image& image);

/// @brief The decoded parameters, one item a line, names escaped where not printable.
std::string describeImage(const Image& image);

/// @brief Copies into `edit` the editable bytes of `backup`, for the
/// channels `edit` itself has (at most 3). @return the bytes that changed.
int restoreEditable(const Image& backup, Image& edit);

}  // namespace velt::veltedit

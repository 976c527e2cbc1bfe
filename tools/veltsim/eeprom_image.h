// The simulated recorder's station parameters: the 512-byte image of its
// EEPROM, as the editor reads it with "EPR?" and changes it with "EPRW".
// The offsets and sizes are the editor's (veltedit/eeprom_image.h, which
// describes the layout); what a fresh image holds and how it is dumped are
// the simulator's own. The simulator's tests hold a fresh image against one
// built byte by byte, so a slip in the shared layout does not go unseen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "recorder/stream_encoder.h"
#include "veltedit/eeprom_image.h"

namespace veltsim::eeprom {

using velt::veltedit::Image;
using velt::veltedit::kImageBytes;

/// @brief Bytes of the answer to "EPR?" per data line.
constexpr std::size_t kDumpBytesPerLine = 16;

/// @brief A fresh image for a station streaming with `settings`: signature,
/// device, numbers, names and rate code of the stream, three channel records
/// that share one response table, and three pulse-calibration items.
Image makeImage(const velt::recorder::EncoderSettings& settings);

/// @brief Reads `path` into `image`.
/// @return 0 read, 1 no such file (image untouched), -1 unreadable or not 512 bytes.
int loadImage(const std::string& path, Image& image);

/// @brief Replaces `path` by the image atomically. @return 0, or -1 (errno set).
int saveImage(const std::string& path, const Image& image);

/// @brief Appends the 32 data lines of the answer to "EPR?":
/// "!AAAA: HH HH ... HH\r\n", the address of the line's first byte and its
/// sixteen bytes in upper-case hexadecimal; bytes at positions 7 + 3 i.
void appendDump(const Image& image, std::string& out);

}  // namespace veltsim::eeprom

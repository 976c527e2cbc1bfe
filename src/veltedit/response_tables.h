// Sensor response tables and the pulse-calibration table of an EEPROM image.
//
// Response area 160..255: tables of one length byte L and L opaque bytes,
// one after another. A channel's record points at a table's length byte.
// New tables are only ever appended after the last byte in use, loaded
// byte for byte from a file; nothing removes a table.
//
// Pulse-calibration table: count N (0..7) at 144, seven two-byte items from
// 145. Its text file: "%d\r\n" with N, then per item "%2.2X %d\r\n".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "veltedit/eeprom_image.h"

namespace velt::veltedit {

constexpr int kMaxTables = 3;
constexpr std::size_t kMaxFileBytes = 1000;  // read from a response or pulse file

struct ResponseTable {
    int address = 0;  // of its length byte
    int size = 0;     // L + 1
};

/// The distinct tables in use, in the order channels first point to them,
/// then tables loaded from files.
class ResponseList final {
public:
    int count() const { return count_; }
    const ResponseTable& at(int i) const { return tables_[std::size_t(i)]; }
    bool contains(int address) const;
    /// @brief Adds `table` unless the list is full. @return false when full.
    bool append(ResponseTable table);
    /// @brief Bytes of the area in use: the largest end of a table less 160, at least 0.
    int usedSize() const;

private:
    std::array<ResponseTable, kMaxTables> tables_{};
    int count_ = 0;
};

/// @brief True when a channel's table address `address` names a table
/// (not 0, not 00FF, below 200h).
bool isTableAddress(int address);

/// The "Set Response Form" dialog without its widgets.
class ResponseForm final {
public:
    static constexpr int kLoaded = 0;
    static constexpr int kNoRoom = -1;   // three tables, or the area cannot hold it
    static constexpr int kNoData = -2;   // an empty or unreadable file

    /// @brief Starts from `tables`; loads go into `image` (not owned).
    ResponseForm(const ResponseList& tables, Image& image);

    const ResponseList& tables() const { return tables_; }
    /// @brief Tables loaded while the form was open (the last `added()` of tables()).
    int added() const { return added_; }
    /// @brief Whether "Load from file" is enabled.
    bool canLoad() const;
    /// @brief Row `i` text: "%4.4X (%d)" with address and total size.
    std::string rowText(int i) const;
    /// @brief Appends `size` bytes as a new table. @return kLoaded, kNoRoom or kNoData.
    int load(const uint8_t* data, std::size_t size);
    /// @brief Reads at most 1000 bytes of `path` and loads them. @return as load().
    int loadFile(const std::string& path);
    /// @brief "Set" of row `i`: it becomes the selection (ignored when no such row).
    void select(int row);
    /// @brief The row chosen, -1 for none (Cancel).
    int selected() const { return selected_; }

private:
    ResponseList tables_;
    Image& image_;
    int added_ = 0;
    int selected_ = -1;
};

/// @brief The pulse-calibration file text of `image`.
std::string formatPulseFile(const Image& image);
/// @brief Writes the pulse-calibration file. @return 0, or -1 (nothing replaced).
int savePulseFile(const std::string& path, const Image& image);
/// @brief Reads a pulse-calibration file text into `image`: LF-ended lines
/// only, characters below 20h and from 80h dropped; the count (low 8 bits,
/// at most 7) and up to seven "%X %d" items. Items not given keep their
/// bytes. @return the item lines used, or -1 when there was no count line.
int parsePulseFile(const uint8_t* data, std::size_t size, Image& image);
/// @brief Reads at most 1000 bytes of `path` and parses them. @return as
/// parsePulseFile, -1 also when the file is empty or unreadable.
int loadPulseFile(const std::string& path, Image& image);

/// @brief Reads at most `limit` bytes of `path` into `out`. @return the
/// count, or -1 when it cannot be opened.
long readFileStart(const std::string& path, uint8_t* out, std::size_t limit);

}  // namespace velt::veltedit

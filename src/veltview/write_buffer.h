// Received bytes on their way into one of the monitor's files: written when
// 5000 have gathered, when the oldest is a second old, or when the file
// changes. A failed write is logged once per outage with the bytes lost,
// and again when writing works again; it is never silent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace velt::veltview {

class WriteBuffer final {
public:
    static constexpr std::size_t kBytes = 5000;

    /// @brief `who` starts every message; `clock` (not owned) dates the bytes.
    WriteBuffer(std::string who, const platform::Clock& clock);

    void add(uint8_t b) {
        if (bytes_.empty()) since_ = clock_.now();
        bytes_.push_back(b);
    }
    bool full() const { return bytes_.size() >= kBytes; }
    /// @brief True when the oldest byte waits for a second or more.
    bool stale() const { return !bytes_.empty() && clock_.now() - since_ >= 1; }
    void clear() { bytes_.clear(); }
    /// @brief Writes the bytes to `fd` (-1: no file, they are lost) and empties
    /// the buffer; `file` names it in messages.
    void writeTo(int fd, const std::string& file);

private:
    std::string who_;
    const platform::Clock& clock_;
    std::vector<uint8_t> bytes_;
    int64_t since_ = 0;
    uint64_t lost_ = 0;  // in the current outage
};

}  // namespace velt::veltview

// Received bytes on their way into one of the monitor's files: written when
// 5000 have gathered, when the oldest is a second old, or when the file
// changes. A failed write is logged once per outage with the bytes lost,
// and again when writing works again; it is never silent.
//
// What reached the file is made durable (fdatasync) at most once a second,
// on the writer's tick, and at once before the file is finished: a power
// cut costs at most the last second, and a file without new bytes costs no
// sync. A failed sync is logged like a failed write, once per outage.
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
    /// @brief From the writer's tick (every turn of the main loop): writes
    /// bytes that waited a second and, at most once a second, syncs what
    /// reached `fd` since its last sync.
    void tick(int fd, const std::string& file) {
        if (stale()) writeTo(fd, file);
        if (unsynced_ && clock_.now() - syncedAt_ >= 1) sync(fd, file);
    }
    /// @brief Bytes reached the file other than through the buffer (a header,
    /// a file left by an earlier run): the next sync covers them.
    void markUnsynced() { unsynced_ = true; }
    /// @brief Syncs what reached `fd` since its last sync, if anything: before
    /// the file is closed or renamed. Buffered bytes are not written.
    void sync(int fd, const std::string& file);

private:
    std::string who_;
    const platform::Clock& clock_;
    std::vector<uint8_t> bytes_;
    int64_t since_ = 0;
    uint64_t lost_ = 0;  // in the current outage
    bool unsynced_ = false;     // bytes reached the file since its last sync
    int64_t syncedAt_ = 0;      // clock second of the last sync
    bool syncFailing_ = false;  // a sync outage is under way (already logged)
};

}  // namespace velt::veltview

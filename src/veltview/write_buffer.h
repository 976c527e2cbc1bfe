// Received bytes on their way into one of the monitor's files. They are
// written when 5000 have gathered, when the oldest is a second old, or when
// the file changes. When the file cannot be written (a folder removed, a
// card full or taken out) the bytes stay here and the writer tries again
// once a second; only past kMaxBytes are the oldest dropped, and those are
// counted and logged. The start and the end of each outage are logged.
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
    static constexpr std::size_t kMaxBytes = std::size_t(64) << 20;  // held through an outage

    /// @brief `who` starts every message; `clock` (not owned) dates the bytes.
    WriteBuffer(std::string who, const platform::Clock& clock);
    /// @brief Bytes still held are lost; says so.
    ~WriteBuffer();

    void add(uint8_t b) {
        if (empty()) since_ = clock_.now();
        bytes_.push_back(b);
        if (bytes_.size() - head_ > kMaxBytes) dropOldest();
    }
    bool empty() const { return head_ == bytes_.size(); }
    std::size_t size() const { return bytes_.size() - head_; }
    /// @brief Enough bytes gathered to write them now (never during an outage,
    /// which is retried on the tick only).
    bool full() const { return !failing_ && size() >= kBytes; }
    /// @brief Time to write: the oldest byte waited a second, or an outage's
    /// next try is due.
    bool due() const;
    /// @brief Writes at most `most` of the oldest bytes to `fd` and forgets
    /// those that reached it; `file` names it in messages. @return the bytes
    /// written; fewer than asked means the write failed (the rest are kept).
    std::size_t writeTo(int fd, const std::string& file, std::size_t most);
    /// @brief The file cannot be opened: the bytes wait (`why` is logged once per outage).
    void cannotWrite(const std::string& file, const std::string& why);
    /// @brief At most once a second, syncs what reached `fd` since its last sync.
    void tickSync(int fd, const std::string& file) {
        if (unsynced_ && clock_.now() - syncedAt_ >= 1) sync(fd, file);
    }
    /// @brief Bytes reached the file other than through the buffer (a header,
    /// a file left by an earlier run): the next sync covers them.
    void markUnsynced() { unsynced_ = true; }
    /// @brief Syncs what reached `fd` since its last sync, if anything: before
    /// the file is closed or renamed. Buffered bytes are not written.
    void sync(int fd, const std::string& file);

    /// @brief An outage is under way: the bytes wait.
    bool failing() const { return failing_; }
    /// @brief Bytes dropped since the program started (the oldest, past kMaxBytes).
    uint64_t lost() const { return lost_; }
    /// @brief The state in words: "writing" or "waiting for folder <folder>",
    /// then ", N bytes lost" once any were.
    std::string state(const std::string& folder) const;

private:
    void dropOldest();
    void failed(const std::string& file, const std::string& why);

    std::string who_;
    const platform::Clock& clock_;
    std::vector<uint8_t> bytes_;  // waiting bytes are [head_, end)
    std::size_t head_ = 0;
    int64_t since_ = 0;
    bool failing_ = false;      // a write outage is under way (already logged)
    int64_t triedAt_ = 0;       // clock second of the last failed try
    uint64_t lost_ = 0;
    uint64_t lostBefore_ = 0;   // lost_ when the outage began
    bool dropping_ = false;     // bytes were dropped in this outage (already logged)
    bool unsynced_ = false;     // bytes reached the file since its last sync
    int64_t syncedAt_ = 0;      // clock second of the last sync
    bool syncFailing_ = false;  // a sync outage is under way (already logged)
};

/// @brief True while `fd` is still the file at `path`: false once the file
/// or its folder was removed or replaced, when bytes written to `fd` would
/// reach no file anyone can read.
bool stillNamed(int fd, const std::string& path);

}  // namespace velt::veltview

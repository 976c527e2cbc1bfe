// A byte source with positions: the stream converter reads the recorder's
// stream through this interface, one byte at a time, and can go back to an
// earlier block boundary.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt::conversion {

/// A position in a sequence of numbered files: (file number, byte offset).
struct StreamPosition {
    long file = -1;
    long offset = -1;
    friend bool operator==(const StreamPosition&, const StreamPosition&) = default;
};

/// Asked by a source before it stores a position: the stream converter makes
/// its outputs durable and holds the position back behind blocks they still
/// keep in memory.
class PositionGuard {
public:
    virtual ~PositionGuard() = default;
    /// @brief Commits the outputs and turns the requested `position` into the
    /// one to store, with `blockTime` set to the time of the block that starts
    /// there (-1 when not known). @return false: store nothing now.
    virtual bool prepareToStore(StreamPosition& position, int64_t& blockTime) = 0;
};

// The converter reads one byte at a time, millions of times a second during a
// backlog. Like a stream buffer, a source exposes the bytes it has already
// buffered through two pointers, so the common case (a byte is buffered) is
// an inline test without a virtual call; available() is called only when the
// buffer is empty. A source that buffers nothing leaves the pointers null.
class InputSource {
public:
    virtual ~InputSource() = default;

    /// @brief True when a byte is buffered: readByte() may follow without available().
    bool hasBuffered() const { return next_ < end_; }
    /// @brief The next buffered byte, consumed; only when hasBuffered().
    uint8_t takeBuffered() { return *next_++; }
    /// @brief The buffered bytes, not consumed: bufferedCount() of them.
    const uint8_t* buffered() const { return next_; }
    std::size_t bufferedCount() const { return std::size_t(end_ - next_); }
    /// @brief Consumes `n` <= bufferedCount() buffered bytes.
    void consumeBuffered(std::size_t n) { next_ += n; }

    /// @brief Opens the file of the current number. @return 0, -1 when it cannot be opened.
    virtual int open() = 0;
    /// @brief Closes the current file if open. @return 0.
    virtual int close() = 0;
    /// @brief > 0 when a byte can be read now; 0 otherwise (never blocks).
    virtual int available() = 0;
    /// @brief The next byte, consumed; only after available() > 0 (else 0).
    virtual uint8_t readByte() = 0;
    /// @brief The next byte, not consumed; only after available() > 0 (else 0).
    virtual uint8_t peekByte() = 0;
    /// @brief Position of the next byte. @return 0 on success.
    virtual int getPosition(StreamPosition& position) = 0;
    /// @brief Moves to `position`. @return 0.
    virtual int seek(const StreamPosition& position) = 0;
    /// @brief Records `position` as the place to resume after a restart.
    /// @return 0 accepted, 1 declined (an earlier file than the stored one).
    virtual int persist(const StreamPosition& position) = 0;
    /// @brief 1 when seek() can go back to earlier positions.
    virtual int canRewind() = 0;
    /// @brief Consulted before every stored position (not owned; null: none).
    virtual void setPositionGuard(PositionGuard* guard) { (void)guard; }
    /// @brief The position `bytes` before `position`, or as far back as the
    /// source goes (`position` itself for a source that cannot go back).
    virtual StreamPosition positionBefore(const StreamPosition& position, long bytes) {
        (void)bytes;
        return position;
    }
    /// @brief Time of the block at the position stored by the last run, -1 when unknown.
    virtual int64_t storedBlockTime() const { return -1; }
    /// @brief False while the bytes being read may not reach the outputs (a
    /// card's neighbour files, read from the archive only to learn from).
    virtual bool deliverable() const { return true; }

protected:
    const uint8_t* next_ = nullptr;  // next buffered byte
    const uint8_t* end_ = nullptr;   // one past the last buffered byte
};

}  // namespace velt::conversion

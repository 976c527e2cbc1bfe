// Reads a directory of numbered real-time files ("%8.8lX", no extension) as
// one endless byte stream: in number order, following a file while it grows,
// waiting for the next number (looking again every 20 seconds), and
// keeping the reading position in the input's INI file (WORK/FILENUM as
// "%lXh", WORK/OFFSET as "%ld", and WORK/BLOCKTIME, the time of the block
// that starts there, so that a restart can tell that it delivers those blocks
// again).
//
// Persisting: the converter asks to persist after every delivered block,
// which during a backlog means thousands of times a second. Writing the INI
// file (temp file, fsync, rename) each time would dominate the conversion, so
// a request is kept in memory and written at most once per `persistInterval`
// seconds of wall-clock time, and always by flush() (called at shutdown, by
// the destructor and when the reader has caught up with its files). A
// position is stored only when it is not in an earlier file than the stored
// one (the stored FILENUM is read back as hexadecimal, as at start-up), and
// the offset is always kept current. After a crash a
// restart therefore resumes at a block boundary at or before the last block
// delivered; what it repeats is at most the blocks delivered during the last
// `persistInterval` seconds (one block when following a recorder in real
// time, up to about 40000 blocks in the middle of a fast backlog).
//
// Durability: before a position is stored, the input files up to it are
// synced (nearly free when their writer synced them already; the file read
// as "tmpfile" through the reader's own descriptor), so a stored position
// never passes input bytes that a power cut could still take from the
// writer's files.
//
// The monitor's growing file: the monitor appends to "tmpfile" and renames
// it to its next number when it is full; read by number alone, its bytes
// would reach the converter only then (about 18 minutes late). So when the
// current number N is known (stored, or the one after a file read), file N
// does not exist, "tmpfile" does, and no number from N on exists, "tmpfile"
// is read as file N: positions (N, offset) stay valid, because the monitor
// only appends to it and later gives that same file the name N. The
// descriptor is kept, so the rename costs nothing: no byte is read twice or
// skipped. When no new bytes come, the reader looks whether its file (by
// device and inode) is still "tmpfile" or has its number. When the monitor
// gave it another number M (N was taken, or its count is ahead), that is
// logged and the reader goes on as file M (earlier positions in N are taken
// to M by seek()). A file that disappears altogether (its folder removed) is
// logged as a loss, and number N is looked for afresh from its start.
//
// End of a file: a file whose bytes have all been read counts as complete
// only once it carries its number and something follows it: the next number,
// or a "tmpfile" that is not the file being read. Until then it stays open
// and its length is checked again at every look, so bytes appended to a file
// are never skipped.
//
// Looks: new bytes of the open file are taken whenever the converter asks.
// A missing file, or the end of a file, is looked at again every 20 seconds,
// or at once after lookNow() (the worker calls it when the folder changes).
//
// Start-up without a stored number takes the lowest numbered file in the
// directory. When the directory has none yet (or does not exist), the lowest
// number is looked up again at every look, so the input starts with the
// first numbered file the monitor writes rather than waiting for number
// 7FFFFFFF. Without a number the reader cannot tell which number "tmpfile"
// will get, so it does not read it: such an input starts up to one file
// (about 18 minutes) late. A station that wants every byte from the first
// stores FILENUM as the monitor's first number (CURRENTFILENUM 1000 is
// FILENUM=3E8h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "conversion/input_source.h"
#include "platform/clock.h"

namespace velt::livemill {

using conversion::InputSource;
using conversion::PositionGuard;
using conversion::StreamPosition;

class InputReader final : public InputSource {
public:
    static constexpr int kBufferBytes = 5000;
    static constexpr int kRetrySeconds = 20;
    // Paths are kept whole (up to 4096 characters): a path cut short would
    // silently name another folder, or make persist() create a stray file.
    static constexpr int kPathChars = 4096;

    /// @brief Reads INDIR, FILENUM and OFFSET from `iniPath` (empty: all
    /// defaults, nothing persisted). The file is not opened yet.
    explicit InputReader(const std::string& iniPath, const platform::Clock& clock = platform::systemClock(),
                         int persistInterval = 1);
    ~InputReader() override;
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    int open() override;
    int close() override;
    int available() override;
    uint8_t readByte() override;
    uint8_t peekByte() override;
    int getPosition(StreamPosition& position) override;
    int seek(const StreamPosition& position) override;
    int persist(const StreamPosition& position) override;
    int canRewind() override { return 1; }
    /// @brief A guard that goes away takes a request it could not store with
    /// it: without the guard's commit that position could pass data that
    /// are not durable.
    void setPositionGuard(PositionGuard* guard) override;
    int64_t storedBlockTime() const override { return storedBlockTime_; }
    /// @brief Goes back through the earlier numbered files as far as they exist.
    StreamPosition positionBefore(const StreamPosition& position, long bytes) override;

    /// @brief Stores the last requested position now (through the guard),
    /// also when the last one stored was held back. @return 0, -1 when
    /// nothing could be stored.
    int flush();

    /// @brief New data may have come (the folder changed): the next
    /// available() looks for the next file or a missing one at once rather
    /// than at the next timed look.
    void lookNow() { retryTime_ = 0; }

    /// @brief Name that starts every message of this input ("INP0 input").
    void setLogName(std::string name) { logName_ = std::move(name); }
    long fileNumber() const { return fileNumber_; }
    /// @brief The folder of the files ("" = the working folder).
    const std::string& folder() const { return inDir_; }
    /// @brief The lowest hexadecimal file number in `dir`: 0 when it cannot be
    /// listed, 0x7FFFFFFF when it holds no numbered file.
    static long lowestFileNumber(const std::string& dir);
    /// @brief FILENUM text to a number: hexadecimal with a trailing H/h, else decimal; 0 if unreadable.
    static long parseFileNumber(const std::string& text);

private:
    std::string pathOf(long number) const;
    /// Opens "tmpfile" as file fileNumber_ when it stands for it (see the
    /// header), or that file when it was numbered just now. @return the
    /// descriptor, or -1.
    int openGrowing();
    /// True when the open file has all its bytes: numbered, and followed.
    bool complete();
    /// The open file was "tmpfile": true once it carries a number (taken on
    /// as fileNumber_); false while it grows, or when it went away.
    bool numbered();
    /// True when `path` names the open file.
    bool isOpenFile(const std::string& path) const;
    std::string growingPath() const { return inDir_ + "tmpfile"; }
    /// Syncs the input files from the first not yet synced to the one of
    /// `target`. @return false (logged) when one could not be synced.
    bool syncInputBefore(const StreamPosition& target);
    int refill();
    /// Reads bytes appended behind the buffer, if any. @return true when some arrived.
    bool readGrowth();
    int bufIndex() const { return int(next_ - buffer_); }
    void setBuffer(int count) {
        bufCount_ = count;
        next_ = buffer_;
        end_ = buffer_ + count;
    }

    const platform::Clock& clock_;
    std::string iniPath_;
    std::string inDir_;
    long fileNumber_ = 0;
    long fileOffset_ = 0;
    int fd_ = -1;
    dev_t openDevice_ = 0;
    ino_t openInode_ = 0;
    bool growing_ = false;  // the open file is still named "tmpfile"
    // The number the monitor gave the file read as "tmpfile" instead of the
    // one expected: earlier positions in it are taken to the new number.
    long renamedFrom_ = -1;
    long renamedTo_ = -1;
    int64_t retryTime_ = 0;
    uint8_t buffer_[kBufferBytes] = {};
    int bufCount_ = 0;  // bytes in buffer_; the next one is at next_ (see InputSource)

    int persistInterval_;
    PositionGuard* guard_ = nullptr;
    bool pendingPersist_ = false;
    bool heldBack_ = false;  // the stored position lies before the requested one
    StreamPosition pending_;
    StreamPosition written_;
    int64_t writtenBlockTime_ = -1;
    int64_t storedBlockTime_ = -1;
    int64_t lastPersistWrite_ = 0;
    long storedFile_ = -1;  // FILENUM as last read or written (-1: none stored)
    bool scanPending_ = false;
    long syncFrom_ = -1;  // first input file not known to be durable (-1: none opened yet)
    std::string logName_ = "input";
};

}  // namespace velt::livemill

// The real-time file writer: the received stream, exactly as received, into
// a directory that livemill follows: a growing "tmpfile" that is renamed to
// the next eight-digit hexadecimal number ("%8.8lX") when it reaches
// FILESIZE bytes. Settings file (the QDATACOL/CONFIGFILE of veltView.ini;
// an empty path switches the writer off):
//   [COMMON] DESTDIR   directory of the files
//            FILESIZE  stream bytes per file, default 1000000
//   [WORK]   CURRENTFILENUM  number of the next numbered file, "%d", default 1000
//
// Every byte offered is written, from the first byte of each connection.
//
// Decisions taken here:
//  - When "tmpfile" cannot take its number because a file of that name
//    exists, the writer takes the next free number after it (logged), so no
//    byte is lost and livemill, which follows the numbers one by one, finds
//    the file next to the ones before it.
//  - A "tmpfile" that could not be renamed at all is appended to, never
//    truncated.
//  - Bytes wait in a 5000-byte buffer, but never longer than a second
//    (tick()), so a crash of the monitor loses at most the last second.
//  - A folder that cannot be written (removed, full, not allowed) keeps the
//    bytes waiting in memory (at most WriteBuffer::kMaxBytes; the oldest
//    beyond are dropped, counted and logged) and is tried again every
//    second; a "tmpfile" removed while open is noticed before the next
//    write. The state ("writing", "waiting for folder ...", "N bytes lost")
//    is shown beside the file number.
//  - What was written is synced to disk at most once a second (tick(), one
//    fdatasync, none without new bytes), so a power cut also costs at most
//    the last second. Before "tmpfile" is numbered its data are synced, also
//    when an earlier run left it, and the directory after the rename: a
//    number livemill has converted keeps its bytes.
//  - A failed write or sync is logged once per outage, and the writer goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "veltview/write_buffer.h"
#include "veltview/writer_window.h"

namespace velt::veltview {

class RealtimeWriter final {
public:
    static constexpr long kDefaultFileSize = 1000000;
    static constexpr long kDefaultFileNumber = 1000;
    static constexpr int kMaxFreeNumberTries = 10000;

    /// @brief `window` and `clock` are not owned and outlive the writer.
    RealtimeWriter(WriterWindow& window, const platform::Clock& clock = platform::systemClock());
    ~RealtimeWriter();
    RealtimeWriter(const RealtimeWriter&) = delete;
    RealtimeWriter& operator=(const RealtimeWriter&) = delete;

    /// @brief At every start of monitoring: reads `settingsPath` ("" = off)
    /// and gives a leftover "tmpfile" its number. Bytes still waiting from
    /// the run before go first into the new file.
    void startRealtime(const std::string& settingsPath);
    void addByte(uint8_t b);
    /// @brief Writes buffered bytes older than a second and, at most once a
    /// second, syncs what was written (call from the main loop).
    void tick();
    /// @brief End of monitoring: writes what is buffered (what cannot be
    /// written waits for the next run), syncs and closes "tmpfile".
    void stopRealtime();

    bool enabled() const { return enabled_; }
    long fileNumber() const { return fileNumber_; }

private:
    void drain();
    bool openTmp();
    void numberTmp();
    void showState();
    std::string pathOf(long number) const;

    WriterWindow& window_;
    const platform::Clock& clock_;
    std::string settings_;
    std::string dir_;
    std::string tmp_ = "tmpfile";  // dir_ + "tmpfile"
    bool enabled_ = false;
    long fileNumber_ = kDefaultFileNumber;
    long fileSize_ = kDefaultFileSize;
    int fd_ = -1;
    long fileBytes_ = 0;  // in the open "tmpfile"
    WriteBuffer buffer_;
    std::string state_;   // last shown
};

}  // namespace velt::veltview

// The real-time file writer: the received stream, exactly as received, into
// a directory that livemill follows: a growing "tmpfile" that is renamed to
// the next eight-digit hexadecimal number ("%8.8lX") when it reaches
// FILESIZE bytes. Settings file (the QDATACOL/CONFIGFILE of veltView.ini;
// an empty path switches the writer off):
//   [COMMON] DESTDIR   directory of the files
//            FILESIZE  stream bytes per file, default 1000000
//   [WORK]   CURRENTFILENUM  number of the next numbered file, "%d", default 1000
//
// The very first byte offered after the program starts is not written (the
// skip count), as the recorder family's monitor has always done.
//
// Decisions taken here:
//  - When "tmpfile" cannot take its number because a file of that name
//    exists, the writer moves on to the first number above every numbered
//    file in the directory and renames there (logged), so no byte is lost
//    and livemill, which follows the numbers, still finds every file.
//  - A "tmpfile" that could not be renamed at all is appended to, never
//    truncated.
//  - Bytes wait in a 5000-byte buffer, but never longer than a second
//    (tick()), so a crash of the monitor loses at most the last second.
//  - What was written is synced to disk at most once a second (tick(), one
//    fdatasync, none without new bytes), so a power cut also costs at most
//    the last second. Before "tmpfile" is numbered its data are synced, also
//    when an earlier run left it, and the directory after the rename: a
//    number livemill has converted keeps its bytes.
//  - A failed write is logged once per outage with the bytes lost; a failed
//    sync once per outage too, and the writer goes on.
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
    static constexpr long kBytesShownEvery = 1000;

    /// @brief `window` and `clock` are not owned and outlive the writer.
    RealtimeWriter(WriterWindow& window, const platform::Clock& clock = platform::systemClock());
    ~RealtimeWriter();
    RealtimeWriter(const RealtimeWriter&) = delete;
    RealtimeWriter& operator=(const RealtimeWriter&) = delete;

    /// @brief At every start of monitoring: reads `settingsPath` ("" = off)
    /// and gives a leftover "tmpfile" its number.
    void startRealtime(const std::string& settingsPath);
    void addByte(uint8_t b);
    /// @brief Writes buffered bytes older than a second and, at most once a
    /// second, syncs what was written (call from the main loop).
    void tick();
    /// @brief End of monitoring: writes what is buffered, syncs and closes "tmpfile".
    void stopRealtime();

    bool enabled() const { return enabled_; }
    long fileNumber() const { return fileNumber_; }

private:
    void rollFile();
    void flush();
    std::string pathOf(long number) const;
    long firstNumberAboveAll() const;

    WriterWindow& window_;
    const platform::Clock& clock_;
    std::string settings_;
    std::string dir_;
    std::string tmp_ = "tmpfile";  // dir_ + "tmpfile"
    bool enabled_ = false;
    long fileNumber_ = kDefaultFileNumber;
    long fileSize_ = kDefaultFileSize;
    int fd_ = -1;
    bool rolled_ = false;  // a file was started in this monitoring run
    long bytes_ = 0;
    WriteBuffer buffer_;
    int skip_ = 1;
};

}  // namespace velt::veltview

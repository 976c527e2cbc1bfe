// The card-archive writer: the received stream, exactly as received, into
// card-archive files ("A%7.7X.%3.3s": a 64-byte header, then FILESIZE stream
// bytes) on one of four destination directories, the devices, which the
// operator ticks ready and moves through with Next Card. Settings file (the
// ARCHIVE/CONFIGFILE of veltView.ini):
//   [ARCH0]..[ARCH3] DESTDIR, STARTMODE ("ON": ticked at start)
//   [COMMON] ARCHID (hexadecimal), ARCHNUM (decimal, wins), ARCHNAME ("UUU",
//            first 3 characters used), STARTDEVICE (-1: none), FILESIZE (1000000)
//   [WORK]   CURRENTFILENUM  next file number, "%d", default 1000
//
// The very first byte offered after the program starts is not written (the
// skip count); the file number advances even when a file cannot be created.
//
// Decisions taken here:
//  - A file whose name exists is never overwritten; instead of losing every
//    byte until the next file change, the writer takes the next number that
//    is free (logged), so the bytes are kept and numbers never repeat.
//  - Other failures (a missing directory, a full card) are logged once per
//    outage with the bytes lost.
//  - Bytes wait in a 5000-byte buffer, but never longer than a second (tick()).
//  - What was written is synced to disk at most once a second (tick(), one
//    fdatasync, none without new bytes), and at once when the file is
//    closed or rolled; the directory is synced when a file is created. A
//    power cut costs at most the last second. A failed sync is logged once
//    per outage, and the writer goes on.
//  - The "Pause" button is not acted on (its key codes are ignored).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "veltview/write_buffer.h"
#include "veltview/writer_window.h"

namespace velt::veltview {

class ArchiveWriter final {
public:
    static constexpr int kDevices = 4;
    static constexpr long kDefaultFileSize = 1000000;
    static constexpr long kDefaultFileNumber = 1000;
    static constexpr int kBlinkEvery = 1001;
    static constexpr int kMaxFreeNumberTries = 10000;
    enum DeviceState { kOff = 0, kReady = 1, kUsed = 2, kWriting = 3 };

    ArchiveWriter(WriterWindow& window, const platform::Clock& clock = platform::systemClock());
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    /// @brief At every start of monitoring, with the settings file ("" = defaults).
    void startArchive(const std::string& settingsPath);
    void addByte(uint8_t b);
    /// @brief Reads the device check boxes, at most once a second.
    void pollDevices();
    void nextFile();
    void nextDevice();
    /// @brief Writes buffered bytes older than a second and, at most once a
    /// second, syncs what was written.
    void tick();
    void stopArchive();

    int currentDevice() const { return current_; }
    int deviceState(int d) const { return devices_[std::size_t(d)].state; }
    long fileNumber() const { return fileNumber_; }
    uint32_t archiveNumber() const { return archiveNumber_; }
    const std::string& archiveName() const { return archiveName_; }

private:
    struct Device {
        std::string dir;
        int state = kOff;
        int lastReading = -1;  // matches no check-box state: the first poll sees every box as changed
    };
    void openNextFile();
    void closeFile();
    void flush();
    std::string pathOf(int device, long number) const;

    WriterWindow& window_;
    const platform::Clock& clock_;
    std::string settings_;
    std::array<Device, kDevices> devices_{};
    int current_ = -1;
    uint32_t archiveNumber_ = 0;
    std::string archiveName_ = "UUU";
    long fileSize_ = kDefaultFileSize;
    long fileNumber_ = kDefaultFileNumber;
    int fd_ = -1;
    bool needFile_ = false;  // no device was current at the last file change
    std::string path_;
    long bytes_ = 0;
    WriteBuffer buffer_;
    long blink_ = 0;
    bool blinkOn_ = false;
    int skip_ = 1;
    int64_t nextPoll_ = 0;
};

}  // namespace velt::veltview

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
// Every byte offered is written, from the first byte of each connection.
//
// Decisions taken here:
//  - The current device, its file number and the devices' states carry over
//    from one start of monitoring to the next (a reconnect, the end of the
//    parameter screen): the settings' STARTDEVICE and STARTMODE count at the
//    program's first start only, so a reconnect goes on with the same card
//    and the same numbers, never back to a card already used. Each start
//    begins a new file. Without a current device a ticked ready device
//    becomes current at the next poll.
//  - Bytes that arrive while no device is current are not archived: they
//    are counted, logged once per such spell and shown.
//  - A file whose name exists is never overwritten; instead of losing every
//    byte until the next file change, the writer takes the next number that
//    is free (logged), so the bytes are kept and numbers never repeat.
//  - A file that cannot be created or written (a missing directory, a full
//    or removed card) keeps the bytes waiting in memory (at most
//    WriteBuffer::kMaxBytes; the oldest beyond are dropped, counted and
//    logged) and is tried again every second; its number is used only once
//    the file exists. The state ("writing", "waiting for folder ...",
//    "N bytes lost") is shown in the Archive group.
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
    static constexpr long kDefaultFileSize = 1000000;
    static constexpr long kDefaultFileNumber = 1000;
    static constexpr int kBlinkEvery = 1001;
    static constexpr int kMaxFreeNumberTries = 10000;
    enum DeviceState { kOff = 0, kReady = 1, kUsed = 2, kWriting = 3 };

    ArchiveWriter(WriterWindow& window, const platform::Clock& clock = platform::systemClock());
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    /// @brief At every start of monitoring, with the settings file ("" =
    /// defaults); the same file as before carries the devices and numbers over.
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
    /// @brief Bytes offered while no device was current.
    uint64_t notArchived() const { return notArchived_; }

private:
    struct Device {
        std::string dir;
        int state = kOff;
        int lastReading = -1;  // matches no check-box state: the first poll sees every box as changed
    };
    bool openFile();
    void closeFile();
    void drain();
    void showState();
    std::string pathOf(int device, long number) const;

    WriterWindow& window_;
    const platform::Clock& clock_;
    std::string settings_;
    std::array<Device, kArchiveDevices> devices_{};
    int current_ = -1;
    uint32_t archiveNumber_ = 0;
    std::string archiveName_ = "UUU";
    long fileSize_ = kDefaultFileSize;
    long fileNumber_ = kDefaultFileNumber;
    int fd_ = -1;
    std::string path_;
    long bytes_ = 0;  // stream bytes in the open file
    WriteBuffer buffer_;
    long blink_ = 0;
    bool blinkOn_ = false;
    int64_t nextPoll_ = 0;
    bool started_ = false;        // a start of monitoring read settings_ already
    uint64_t notArchived_ = 0;    // offered while no device was current
    uint64_t spellStart_ = 0;     // notArchived_ when the current spell without a device began
    bool withoutDevice_ = false;  // such a spell is under way (logged)
    std::string state_;           // last shown
};

}  // namespace velt::veltview

#include "veltview/archive_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "recorder/card_file_header.h"

namespace velt::veltview {

namespace {
constexpr const char* kWho = "card archive";
constexpr std::size_t kDirChars = 999;
}  // namespace

ArchiveWriter::ArchiveWriter(WriterWindow& window, const platform::Clock& clock) : window_(window), clock_(clock), buffer_(kWho, clock) {}

ArchiveWriter::~ArchiveWriter() { stopArchive(); }

std::string ArchiveWriter::pathOf(int device, long number) const {
    const std::string& dir = devices_[std::size_t(device)].dir;
    return (dir.empty() ? std::string() : platform::withTrailingSeparator(dir)) +
           recorder::cardFileName(uint32_t(number), archiveName_);
}

void ArchiveWriter::startArchive(const std::string& settingsPath) {
    stopArchive();
    settings_ = platform::normaliseSeparators(settingsPath);
    archiveNumber_ = 0;
    archiveName_ = "UUU";
    fileSize_ = kDefaultFileSize;
    fileNumber_ = kDefaultFileNumber;
    current_ = -1;
    if (!settings_.empty()) {
        for (int d = 0; d < kDevices; ++d) {
            const std::string section = "ARCH" + std::to_string(d);
            devices_[std::size_t(d)].dir = platform::normaliseSeparators(
                platform::readProfileString(settings_, section, "DESTDIR", "", kDirChars + 1));
            window_.setDeviceDirectory(d, devices_[std::size_t(d)].dir);
            window_.setDeviceChecked(d, platform::readProfileString(settings_, section, "STARTMODE", "", 30) == "ON");
        }
        const std::string id = platform::readProfileString(settings_, "COMMON", "ARCHID", "", 30);
        if (!id.empty()) archiveNumber_ = uint32_t(std::strtoul(id.c_str(), nullptr, 16));
        const std::string num = platform::readProfileString(settings_, "COMMON", "ARCHNUM", "", 30);
        if (!num.empty()) archiveNumber_ = uint32_t(std::strtol(num.c_str(), nullptr, 10));
        archiveName_ = platform::readProfileString(settings_, "COMMON", "ARCHNAME", "UUU", 10).substr(0, 3);
        current_ = int(platform::readProfileInt(settings_, "COMMON", "STARTDEVICE", -1));
        if (current_ < -1 || current_ >= kDevices) current_ = -1;
        fileSize_ = platform::readProfileInt(settings_, "COMMON", "FILESIZE", kDefaultFileSize);
        if (fileSize_ <= 0) fileSize_ = kDefaultFileSize;
        fileNumber_ = platform::readProfileInt(settings_, "WORK", "CURRENTFILENUM", kDefaultFileNumber);
    }
    buffer_.clear();
    bytes_ = 0;
    openNextFile();
}

void ArchiveWriter::flush() { buffer_.writeTo(fd_, path_); }

void ArchiveWriter::closeFile() {
    flush();
    buffer_.sync(fd_, path_);  // a finished file is durable before the next one starts
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void ArchiveWriter::openNextFile() {
    closeFile();
    // Without a device nothing opens; the first byte after one is ticked does.
    needFile_ = current_ < 0;
    if (needFile_) return;
    path_ = pathOf(current_, fileNumber_);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    // A taken name: the next free number keeps the bytes and never repeats one.
    for (int tries = 0; fd_ < 0 && errno == EEXIST && tries < kMaxFreeNumberTries; ++tries) {
        const std::string taken = path_;
        ++fileNumber_;
        path_ = pathOf(current_, fileNumber_);
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0) VELT_LOG_WARNING(kWho, "%s exists; writing %s", taken.c_str(), path_.c_str());
    }
    if (fd_ >= 0) {
        const recorder::CardHeader header = recorder::buildCardHeader(archiveNumber_, uint32_t(fileNumber_), archiveName_);
        if (!platform::writeFully(fd_, header.data(), header.size()))
            VELT_LOG_ERROR(kWho, "cannot write the header of %s: %s", path_.c_str(), std::strerror(errno));
        buffer_.markUnsynced();
        // The new name is made durable at once: the data synced each second
        // are worth nothing under a name a power cut takes.
        platform::syncDirectory(platform::directoryOf(path_));
    } else {
        VELT_LOG_ERROR(kWho, "cannot create %s: %s", path_.c_str(), std::strerror(errno));
    }
    ++fileNumber_;  // advanced even when the file could not be created
    if (!settings_.empty())
        platform::writeProfileString(settings_, "WORK", "CURRENTFILENUM", std::to_string(fileNumber_));
    buffer_.clear();
    bytes_ = 0;
}

void ArchiveWriter::addByte(uint8_t b) {
    if (current_ < 0) return;
    if (skip_ > 0) {
        --skip_;
        return;
    }
    if (needFile_) openNextFile();
    buffer_.add(b);
    if (++blink_ % kBlinkEvery == 0) {
        blinkOn_ = !blinkOn_;
        window_.setDeviceDot(current_, blinkOn_ ? kWriting : kOff);
    }
    ++bytes_;
    if (!buffer_.full() && bytes_ < fileSize_) return;
    flush();
    if (bytes_ >= fileSize_) openNextFile();
}

void ArchiveWriter::pollDevices() {
    const int64_t now = clock_.now();
    if (now < nextPoll_) return;
    nextPoll_ = now + 1;
    for (int d = 0; d < kDevices; ++d) {
        Device& dev = devices_[std::size_t(d)];
        const int reading = window_.deviceChecked(d) ? 1 : 0;
        if (reading == dev.lastReading) continue;
        dev.lastReading = reading;
        if (reading == 1 && dev.state == kOff) {
            dev.state = kReady;
            window_.setDeviceDot(d, kReady);
            if (current_ < 0) current_ = d;
        } else if (reading == 0 && (dev.state == kReady || dev.state == kUsed) && d != current_) {
            dev.state = kOff;
            window_.setDeviceDot(d, kOff);
        }
    }
}

void ArchiveWriter::nextDevice() {
    if (current_ < 0) return;
    devices_[std::size_t(current_)].state = kUsed;
    window_.setDeviceDot(current_, kUsed);
    int next = -1;
    for (int step = 1; step <= kDevices && next < 0; ++step) {
        const int d = (current_ + step) % kDevices;
        if (devices_[std::size_t(d)].state == kReady) next = d;
    }
    current_ = next;
    openNextFile();
}

void ArchiveWriter::nextFile() { openNextFile(); }

void ArchiveWriter::tick() { buffer_.tick(fd_, path_); }

void ArchiveWriter::stopArchive() {
    if (current_ >= 0) closeFile();
}

}  // namespace velt::veltview

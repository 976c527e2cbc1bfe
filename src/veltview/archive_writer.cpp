#include "veltview/archive_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
    const std::string settings = platform::normaliseSeparators(settingsPath);
    // A new start of the same program with the same settings goes on where
    // the run before stopped: its device, its numbers, the operator's ticks.
    const bool again = started_ && settings == settings_;
    started_ = true;
    settings_ = settings;
    archiveNumber_ = 0;
    archiveName_ = "UUU";
    fileSize_ = kDefaultFileSize;
    if (!again) {
        fileNumber_ = kDefaultFileNumber;
        current_ = -1;
        for (Device& dev : devices_) dev = Device{};
    }
    if (!settings_.empty()) {
        for (int d = 0; d < kArchiveDevices; ++d) {
            const std::string section = "ARCH" + std::to_string(d);
            devices_[std::size_t(d)].dir = platform::normaliseSeparators(
                platform::readProfileString(settings_, section, "DESTDIR", "", kDirChars + 1));
            window_.setDeviceDirectory(d, devices_[std::size_t(d)].dir);
            if (!again)
                window_.setDeviceChecked(d, platform::readProfileString(settings_, section, "STARTMODE", "", 30) == "ON");
        }
        const std::string id = platform::readProfileString(settings_, "COMMON", "ARCHID", "", 30);
        if (!id.empty()) archiveNumber_ = uint32_t(std::strtoul(id.c_str(), nullptr, 16));
        const std::string num = platform::readProfileString(settings_, "COMMON", "ARCHNUM", "", 30);
        if (!num.empty()) archiveNumber_ = uint32_t(std::strtol(num.c_str(), nullptr, 10));
        archiveName_ = platform::readProfileString(settings_, "COMMON", "ARCHNAME", "UUU", 10).substr(0, 3);
        fileSize_ = platform::readProfileInt(settings_, "COMMON", "FILESIZE", kDefaultFileSize);
        if (fileSize_ <= 0) fileSize_ = kDefaultFileSize;
        if (!again) {
            current_ = int(platform::readProfileInt(settings_, "COMMON", "STARTDEVICE", -1));
            if (current_ < -1 || current_ >= kArchiveDevices) current_ = -1;
            fileNumber_ = platform::readProfileInt(settings_, "WORK", "CURRENTFILENUM", kDefaultFileNumber);
        }
    }
    if (again && current_ >= 0)
        VELT_LOG_INFO(kWho, "going on with device %d, file number %ld", current_, fileNumber_);
    bytes_ = 0;
    showState();
}

bool ArchiveWriter::openFile() {
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
    if (fd_ < 0) {
        // The bytes wait; the same number is tried again in a second.
        buffer_.cannotWrite(path_, std::strerror(errno));
        return false;
    }
    const recorder::CardHeader header = recorder::buildCardHeader(archiveNumber_, uint32_t(fileNumber_), archiveName_);
    if (!platform::writeFully(fd_, header.data(), header.size()))
        VELT_LOG_ERROR(kWho, "cannot write the header of %s: %s", path_.c_str(), std::strerror(errno));
    buffer_.markUnsynced();
    // The new name is made durable at once: the data synced each second
    // are worth nothing under a name a power cut takes.
    platform::syncDirectory(platform::directoryOf(path_));
    ++fileNumber_;
    if (!settings_.empty())
        platform::writeProfileString(settings_, "WORK", "CURRENTFILENUM", std::to_string(fileNumber_));
    bytes_ = 0;
    return true;
}

void ArchiveWriter::closeFile() {
    buffer_.sync(fd_, path_);  // a finished file is durable before the next one starts
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void ArchiveWriter::drain() {
    while (!buffer_.empty() && current_ >= 0) {
        if (fd_ >= 0 && !stillNamed(fd_, path_)) {
            // Removed with its card or folder: what it held went with it, what waits must not.
            VELT_LOG_ERROR(kWho, "%s was removed while open; its bytes went with it", path_.c_str());
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0 && !openFile()) break;
        const std::size_t room = bytes_ < fileSize_ ? std::size_t(fileSize_ - bytes_) : 0;
        const std::size_t asked = std::min(room, buffer_.size());
        const std::size_t written = buffer_.writeTo(fd_, path_, asked);
        bytes_ += long(written);
        if (bytes_ >= fileSize_) closeFile();
        if (written < asked) break;  // the write failed: tried again on the tick
    }
    showState();
}

void ArchiveWriter::showState() {
    std::string text;
    if (current_ < 0) {
        text = "no device";
        if (notArchived_ > 0) text += ", " + std::to_string(notArchived_) + " bytes not archived";
        if (buffer_.lost() > 0) text += ", " + std::to_string(buffer_.lost()) + " bytes lost";
    } else {
        text = buffer_.state(devices_[std::size_t(current_)].dir.empty() ? std::string(".")
                                                                          : devices_[std::size_t(current_)].dir);
        if (notArchived_ > 0) text += ", " + std::to_string(notArchived_) + " bytes not archived";
    }
    if (text == state_) return;
    state_ = text;
    window_.setArchiveState(text);
}

void ArchiveWriter::addByte(uint8_t b) {
    if (current_ < 0) {
        // Nothing to archive on: counted and said, never silent.
        if (!withoutDevice_) {
            withoutDevice_ = true;
            spellStart_ = notArchived_;
            VELT_LOG_ERROR(kWho, "no device is current: received bytes are not archived until one is ticked");
        }
        if (++notArchived_ % kBlinkEvery == 1) showState();
        return;
    }
    if (withoutDevice_) {
        withoutDevice_ = false;
        VELT_LOG_WARNING(kWho, "archiving on device %d again; %llu bytes were not archived", current_,
                         static_cast<unsigned long long>(notArchived_ - spellStart_));
        showState();
    }
    buffer_.add(b);
    if (++blink_ % kBlinkEvery == 0) {
        blinkOn_ = !blinkOn_;
        window_.setDeviceDot(current_, blinkOn_ ? kWriting : kOff);
    }
    if (buffer_.full()) drain();
}

void ArchiveWriter::pollDevices() {
    const int64_t now = clock_.now();
    if (now < nextPoll_) return;
    nextPoll_ = now + 1;
    for (int d = 0; d < kArchiveDevices; ++d) {
        Device& dev = devices_[std::size_t(d)];
        const int reading = window_.deviceChecked(d) ? 1 : 0;
        if (reading == dev.lastReading) continue;
        dev.lastReading = reading;
        if (reading == 1 && dev.state == kOff) {
            dev.state = kReady;
            window_.setDeviceDot(d, kReady);
        } else if (reading == 0 && (dev.state == kReady || dev.state == kUsed) && d != current_) {
            dev.state = kOff;
            window_.setDeviceDot(d, kOff);
        }
    }
    // Without a current device the first ready one takes over.
    for (int d = 0; d < kArchiveDevices && current_ < 0; ++d)
        if (devices_[std::size_t(d)].state == kReady) current_ = d;
    showState();
}

void ArchiveWriter::nextDevice() {
    if (current_ < 0) return;
    drain();
    closeFile();
    devices_[std::size_t(current_)].state = kUsed;
    window_.setDeviceDot(current_, kUsed);
    int next = -1;
    for (int step = 1; step <= kArchiveDevices && next < 0; ++step) {
        const int d = (current_ + step) % kArchiveDevices;
        if (devices_[std::size_t(d)].state == kReady) next = d;
    }
    current_ = next;
    showState();
}

void ArchiveWriter::nextFile() {
    drain();
    closeFile();
}

void ArchiveWriter::tick() {
    if (buffer_.due()) drain();
    buffer_.tickSync(fd_, path_);
}

void ArchiveWriter::stopArchive() {
    drain();
    closeFile();
}

}  // namespace velt::veltview

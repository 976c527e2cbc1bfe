#include "veltview/realtime_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/directory.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace velt::veltview {

namespace {
constexpr const char* kWho = "real-time files";
constexpr std::size_t kDirChars = 999;
}  // namespace

RealtimeWriter::RealtimeWriter(WriterWindow& window, const platform::Clock& clock) : window_(window), clock_(clock), buffer_(kWho, clock) {}

RealtimeWriter::~RealtimeWriter() { stopRealtime(); }

std::string RealtimeWriter::pathOf(long number) const {
    char name[16];
    std::snprintf(name, sizeof name, "%8.8lX", static_cast<unsigned long>(number) & 0xFFFFFFFFul);
    return dir_ + name;
}

void RealtimeWriter::startRealtime(const std::string& settingsPath) {
    stopRealtime();
    enabled_ = !settingsPath.empty();
    if (!enabled_) return;
    settings_ = platform::normaliseSeparators(settingsPath);
    const std::string dir = platform::normaliseSeparators(
        platform::readProfileString(settings_, "COMMON", "DESTDIR", "", kDirChars + 1));
    dir_ = dir.empty() ? std::string() : platform::withTrailingSeparator(dir);
    tmp_ = dir_ + "tmpfile";
    window_.setRealtimeDirectory(dir);
    window_.setRealtimeCaption("RTdata       on");
    fileNumber_ = platform::readProfileInt(settings_, "WORK", "CURRENTFILENUM", kDefaultFileNumber);
    char number[16];
    std::snprintf(number, sizeof number, "%8.8lX", static_cast<unsigned long>(fileNumber_) & 0xFFFFFFFFul);
    window_.setRealtimeFileNumber(number);
    fileSize_ = platform::readProfileInt(settings_, "COMMON", "FILESIZE", kDefaultFileSize);
    if (fileSize_ <= 0) fileSize_ = kDefaultFileSize;
    buffer_.clear();
    bytes_ = 0;
    rollFile();
}

long RealtimeWriter::firstNumberAboveAll() const {
    std::vector<std::string> names;
    platform::listDirectory(dir_.empty() ? std::string(".") : dir_, "*", names);
    long highest = fileNumber_ - 1;
    for (const std::string& name : names) {
        if (name.size() != 8) continue;
        bool hex = true;
        for (char c : name) hex = hex && std::isxdigit(static_cast<unsigned char>(c));
        if (hex) highest = std::max(highest, std::strtol(name.c_str(), nullptr, 16));
    }
    return highest + 1;
}

void RealtimeWriter::rollFile() {
    // The bytes are durable before the number livemill follows appears.
    const std::string& tmp = tmp_;
    if (fd_ >= 0) {
        flush();
        buffer_.sync(fd_, tmp);
        ::close(fd_);
        fd_ = -1;
    } else if (const int left = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC); left >= 0) {
        // Left by an earlier run, which may have ended before syncing it.
        buffer_.markUnsynced();
        buffer_.sync(left, tmp);
        ::close(left);
    }
    int rc = platform::renameNoReplace(tmp, pathOf(fileNumber_));
    if (rc == 1) {
        const long free = firstNumberAboveAll();
        VELT_LOG_WARNING(kWho, "%s exists; tmpfile numbered %s instead", pathOf(fileNumber_).c_str(),
                         pathOf(free).c_str());
        fileNumber_ = free;
        rc = platform::renameNoReplace(tmp, pathOf(fileNumber_));
    }
    if (rc == 0) {
        ++fileNumber_;
        platform::writeProfileString(settings_, "WORK", "CURRENTFILENUM", std::to_string(fileNumber_));
        char number[16];
        std::snprintf(number, sizeof number, "%8.8lX", static_cast<unsigned long>(fileNumber_) & 0xFFFFFFFFul);
        window_.setRealtimeFileNumber(number);
    } else if (errno != ENOENT) {
        VELT_LOG_ERROR(kWho, "cannot number %s: %s; new bytes are appended to it", tmp.c_str(), std::strerror(errno));
    }
    // Appending, never truncating: a tmpfile that kept its name keeps its bytes.
    fd_ = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) VELT_LOG_ERROR(kWho, "cannot create %s: %s", tmp.c_str(), std::strerror(errno));
    // One directory sync makes the new number and the new tmpfile durable.
    if (rc == 0 || fd_ >= 0) platform::syncDirectory(dir_.empty() ? std::string(".") : dir_);
    rolled_ = true;
    bytes_ = 0;
    buffer_.clear();
    window_.setRealtimeBytes("0");
}

void RealtimeWriter::flush() { buffer_.writeTo(fd_, tmp_); }

void RealtimeWriter::addByte(uint8_t b) {
    if (!enabled_) return;
    if (skip_ > 0) {
        --skip_;
        return;
    }
    if (!rolled_) rollFile();  // a tmpfile that could not be created is tried again at the next roll
    buffer_.add(b);
    ++bytes_;
    if (bytes_ % kBytesShownEvery == 0) window_.setRealtimeBytes(std::to_string(bytes_));
    if (!buffer_.full() && bytes_ < fileSize_) return;
    flush();
    if (bytes_ >= fileSize_) rollFile();
}

void RealtimeWriter::tick() { buffer_.tick(fd_, tmp_); }

void RealtimeWriter::stopRealtime() {
    rolled_ = false;
    flush();
    buffer_.sync(fd_, tmp_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace velt::veltview

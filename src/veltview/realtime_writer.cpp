#include "veltview/realtime_writer.h"

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
    window_.setRealtimeFileNumber(pathOf(fileNumber_).substr(dir_.size()));
    fileSize_ = platform::readProfileInt(settings_, "COMMON", "FILESIZE", kDefaultFileSize);
    if (fileSize_ <= 0) fileSize_ = kDefaultFileSize;
    numberTmp();  // a leftover of the run before
    window_.setRealtimeBytes("0");
    showState();
}

void RealtimeWriter::numberTmp() {
    // The bytes are durable before the number livemill follows appears.
    if (fd_ >= 0) {
        buffer_.sync(fd_, tmp_);
        ::close(fd_);
        fd_ = -1;
    } else if (const int left = ::open(tmp_.c_str(), O_RDONLY | O_CLOEXEC); left >= 0) {
        // Left by an earlier run, which may have ended before syncing it.
        buffer_.markUnsynced();
        buffer_.sync(left, tmp_);
        ::close(left);
    } else {
        return;  // nothing to number
    }
    fileBytes_ = 0;
    const std::string wanted = pathOf(fileNumber_);
    int rc = platform::renameNoReplace(tmp_, wanted);
    // A taken number: the next free one after it, so that no number is skipped
    // that livemill would wait for.
    for (int tries = 0; rc == 1 && tries < kMaxFreeNumberTries; ++tries) {
        ++fileNumber_;
        rc = platform::renameNoReplace(tmp_, pathOf(fileNumber_));
    }
    if (rc == 0) {
        if (pathOf(fileNumber_) != wanted)
            VELT_LOG_WARNING(kWho, "%s exists; tmpfile numbered %s instead", wanted.c_str(), pathOf(fileNumber_).c_str());
        ++fileNumber_;
        platform::writeProfileString(settings_, "WORK", "CURRENTFILENUM", std::to_string(fileNumber_));
        window_.setRealtimeFileNumber(pathOf(fileNumber_).substr(dir_.size()));
        platform::syncDirectory(dir_.empty() ? std::string(".") : dir_);
    } else if (rc == 1 || errno != ENOENT) {
        VELT_LOG_ERROR(kWho, "cannot number %s: %s; new bytes are appended to it", tmp_.c_str(),
                       rc == 1 ? "no free number" : std::strerror(errno));
    }
}

bool RealtimeWriter::openTmp() {
    // Appending, never truncating: a tmpfile that kept its name keeps its bytes.
    fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        buffer_.cannotWrite(tmp_, std::strerror(errno));
        return false;
    }
    const off_t size = ::lseek(fd_, 0, SEEK_END);
    fileBytes_ = size > 0 ? long(size) : 0;
    platform::syncDirectory(dir_.empty() ? std::string(".") : dir_);  // the new name is durable
    return true;
}

void RealtimeWriter::drain() {
    while (!buffer_.empty()) {
        if (fd_ >= 0 && !stillNamed(fd_, tmp_)) {
            // Removed with its folder: what it held went with it, what waits must not.
            VELT_LOG_ERROR(kWho, "%s was removed while open; its bytes went with it", tmp_.c_str());
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0 && !openTmp()) break;
        const std::size_t room = fileBytes_ < fileSize_ ? std::size_t(fileSize_ - fileBytes_) : 0;
        const std::size_t asked = std::min(room, buffer_.size());
        const std::size_t written = buffer_.writeTo(fd_, tmp_, asked);
        fileBytes_ += long(written);
        if (fileBytes_ >= fileSize_) numberTmp();
        if (written < asked) break;  // the write failed: tried again on the tick
    }
    window_.setRealtimeBytes(std::to_string(fileBytes_));
    showState();
}

void RealtimeWriter::showState() {
    const std::string text = buffer_.state(dir_.empty() ? std::string(".") : dir_);
    if (text == state_) return;
    state_ = text;
    window_.setRealtimeState(text);
}

void RealtimeWriter::addByte(uint8_t b) {
    if (!enabled_) return;
    buffer_.add(b);
    if (buffer_.full()) drain();
}

void RealtimeWriter::tick() {
    if (!enabled_) return;
    if (buffer_.due()) drain();
    buffer_.tickSync(fd_, tmp_);
}

void RealtimeWriter::stopRealtime() {
    if (enabled_) drain();
    buffer_.sync(fd_, tmp_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace velt::veltview

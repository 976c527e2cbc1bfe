#include "veltview/write_buffer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"

namespace velt::veltview {

namespace {
// Dropping makes room for this many more bytes at once, so that a long
// outage moves the held bytes once a megabyte, not once a byte.
constexpr std::size_t kDropStep = std::size_t(1) << 20;
}  // namespace

WriteBuffer::WriteBuffer(std::string who, const platform::Clock& clock) : who_(std::move(who)), clock_(clock) {
    bytes_.reserve(kBytes);
}

WriteBuffer::~WriteBuffer() {
    if (!empty())
        VELT_LOG_ERROR(who_, "%zu bytes that could not be written are lost at the end of the program", size());
}

bool WriteBuffer::due() const {
    if (empty()) return false;
    const int64_t now = clock_.now();
    return failing_ ? now - triedAt_ >= 1 : now - since_ >= 1;
}

void WriteBuffer::dropOldest() {
    const std::size_t drop = std::min(size(), kDropStep);
    if (!dropping_)
        VELT_LOG_ERROR(who_, "more than %zu bytes wait for their file: the oldest are dropped", kMaxBytes);
    dropping_ = true;
    lost_ += drop;
    head_ += drop;
    bytes_.erase(bytes_.begin(), bytes_.begin() + long(head_));
    head_ = 0;
}

void WriteBuffer::failed(const std::string& file, const std::string& why) {
    triedAt_ = clock_.now();
    if (!failing_) lostBefore_ = lost_;
    if (!failing_)
        VELT_LOG_ERROR(who_, "cannot write %s (%s): bytes wait in memory and it is tried again every second",
                       file.c_str(), why.c_str());
    failing_ = true;
}

void WriteBuffer::cannotWrite(const std::string& file, const std::string& why) { failed(file, why); }

std::size_t WriteBuffer::writeTo(int fd, const std::string& file, std::size_t most) {
    const std::size_t want = std::min(most, size());
    std::size_t done = 0;
    if (fd >= 0 && want > 0) unsynced_ = true;  // even a failed write may leave some bytes
    int error = 0;
    while (done < want) {
        const ssize_t n = ::write(fd, bytes_.data() + head_ + done, want - done);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
    }
    head_ += done;
    if (empty()) {
        bytes_.clear();
        head_ = 0;
    } else if (head_ >= kBytes && head_ * 2 >= bytes_.size()) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + long(head_));
        head_ = 0;
    }
    if (done > 0) since_ = clock_.now();  // what is left goes on the next tick
    if (done < want) {
        failed(file, fd < 0 ? "not open" : std::strerror(error));
    } else if (failing_) {
        if (lost_ == lostBefore_)
            VELT_LOG_WARNING(who_, "writing %s again; no byte was lost", file.c_str());
        else
            VELT_LOG_ERROR(who_, "writing %s again; %llu bytes were lost", file.c_str(),
                           static_cast<unsigned long long>(lost_ - lostBefore_));
        failing_ = dropping_ = false;
    }
    return done;
}

bool stillNamed(int fd, const std::string& path) {
    struct stat open {}, named {};
    if (::fstat(fd, &open) != 0 || ::stat(path.c_str(), &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

std::string WriteBuffer::state(const std::string& folder) const {
    std::string text = failing_ ? "waiting for folder " + folder : std::string("writing");
    if (lost_ > 0) text += ", " + std::to_string(lost_) + " bytes lost";
    return text;
}

void WriteBuffer::sync(int fd, const std::string& file) {
    if (!unsynced_) return;
    unsynced_ = false;
    syncedAt_ = clock_.now();
    if (fd < 0) return;
    // Only the data and the size matter: livemill reads the bytes, not the times.
    if (::fdatasync(fd) == 0) {
        if (syncFailing_) VELT_LOG_WARNING(who_, "syncing %s again", file.c_str());
        syncFailing_ = false;
    } else {
        if (!syncFailing_)
            VELT_LOG_ERROR(who_, "cannot sync %s (%s): a power cut may take its latest bytes until it works again",
                           file.c_str(), std::strerror(errno));
        syncFailing_ = true;
    }
}

}  // namespace velt::veltview

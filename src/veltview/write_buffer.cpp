#include "veltview/write_buffer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_util.h"
#include "platform/log.h"

namespace velt::veltview {

WriteBuffer::WriteBuffer(std::string who, const platform::Clock& clock) : who_(std::move(who)), clock_(clock) {
    bytes_.reserve(kBytes);
}

void WriteBuffer::writeTo(int fd, const std::string& file) {
    if (bytes_.empty()) return;
    // Even a failed write may have left some bytes in the file.
    if (fd >= 0) unsynced_ = true;
    if (fd >= 0 && platform::writeFully(fd, bytes_.data(), bytes_.size())) {
        if (lost_ != 0)
            VELT_LOG_WARNING(who_, "writing %s again after %llu bytes were lost", file.c_str(),
                             static_cast<unsigned long long>(lost_));
        lost_ = 0;
    } else {
        if (lost_ == 0)
            VELT_LOG_ERROR(who_, "cannot write %s (%s): bytes are lost until it works again", file.c_str(),
                           fd < 0 ? "not open" : std::strerror(errno));
        lost_ += bytes_.size();
    }
    bytes_.clear();
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

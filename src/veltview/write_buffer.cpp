#include "veltview/write_buffer.h"

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

}  // namespace velt::veltview

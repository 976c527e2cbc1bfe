#include "platform/wake_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace velt::platform {

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeEvent::~WakeEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void WakeEvent::signal() const {
    const uint64_t one = 1;
    if (fd_ >= 0) (void)!::write(fd_, &one, sizeof one);
}

bool WakeEvent::consume() const {
    uint64_t count = 0;
    return fd_ >= 0 && ::read(fd_, &count, sizeof count) == ssize_t(sizeof count) && count > 0;
}

bool WakeEvent::pending() const {
    pollfd p{fd_, POLLIN, 0};
    return fd_ >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

int waitFor(int fd, short events, const WakeEvent* wake, int milliseconds) {
    pollfd fds[2] = {{fd, events, 0}, {wake != nullptr ? wake->descriptor() : -1, POLLIN, 0}};
    int rc;
    do {
        rc = ::poll(fds, 2, milliseconds < 0 ? 0 : milliseconds);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && fd >= 0 ? fds[0].revents : 0;
}

}  // namespace velt::platform

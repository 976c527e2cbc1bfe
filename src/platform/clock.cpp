#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace velt::platform {

namespace {

class SystemClock final : public Clock {
public:
    int64_t now() const override { return int64_t(std::time(nullptr)); }
};

}  // namespace

const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

void sleepMilliseconds(int milliseconds) {
    if (milliseconds <= 0) return;
    timespec left{milliseconds / 1000, long(milliseconds % 1000) * 1'000'000L};
    // A signal interrupts the wait; go on sleeping for what is left.
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace velt::platform

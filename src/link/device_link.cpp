#include "link/device_link.h"

namespace velt::link {

int DeviceLink::waitReadable(int milliseconds, const platform::WakeEvent* wake) {
    if (available() > 0) return 1;
    // No descriptor to watch: sleep on the wake-up alone, then look again.
    platform::waitFor(-1, 0, wake, milliseconds);
    return available() > 0 ? 1 : 0;
}

}  // namespace velt::link

#include "veltedit/pacer.h"

#include "platform/clock.h"

namespace velt::veltedit {

int64_t SystemPacer::seconds() { return platform::systemClock().now(); }

void SystemPacer::pause(int milliseconds) { platform::sleepMilliseconds(milliseconds); }

void SystemPacer::idle(link::DeviceLink& link, int milliseconds) { link.waitReadable(milliseconds, wake_); }

}  // namespace velt::veltedit

// The editor's sense of time: the calendar clock in whole seconds that
// every protocol wait is measured on, the fixed pauses between bytes, and
// the idle wait while nothing has arrived. Behind an interface so that the
// protocol runs in virtual time under test.
#pragma once

#include <cstdint>

#include "link/device_link.h"
#include "platform/wake_event.h"

namespace velt::veltedit {

class Pacer {
public:
    virtual ~Pacer() = default;
    /// @brief Calendar seconds since 1970.
    virtual int64_t seconds() = 0;
    /// @brief Pauses `milliseconds` (the 100 ms between stop bytes and restarts).
    virtual void pause(int milliseconds) = 0;
    /// @brief Waits at most `milliseconds` for a byte on `link` (not owned).
    virtual void idle(link::DeviceLink& link, int milliseconds) = 0;
};

/// Real time: the system clock, sleeps, and a poll(2) on the link that a
/// wake event (may be null, not owned) ends early.
class SystemPacer final : public Pacer {
public:
    explicit SystemPacer(const platform::WakeEvent* wake = nullptr) : wake_(wake) {}
    int64_t seconds() override;
    void pause(int milliseconds) override;
    void idle(link::DeviceLink& link, int milliseconds) override;

private:
    const platform::WakeEvent* wake_;
};

}  // namespace velt::veltedit

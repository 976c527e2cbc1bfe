// The editor's sense of time: the calendar clock in whole seconds that
// every protocol wait is measured on, the fixed pauses between bytes, and
// the idle wait while nothing has arrived. Behind an interface so that the
// protocol runs in virtual time under test.
#pragma once

#include <atomic>
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
    /// @brief True once the conversation is asked to end (an interrupt):
    /// every wait then ends as if timed out.
    virtual bool stopRequested() = 0;
};

/// Real time: the system clock, sleeps, and a poll(2) on the link that a
/// wake event ends early; `stop` (both may be null, neither owned) asks the
/// conversation to end.
class SystemPacer final : public Pacer {
public:
    explicit SystemPacer(const platform::WakeEvent* wake = nullptr, const std::atomic<bool>* stop = nullptr)
        : wake_(wake), stop_(stop) {}
    int64_t seconds() override;
    void pause(int milliseconds) override;
    void idle(link::DeviceLink& link, int milliseconds) override;
    bool stopRequested() override { return stop_ != nullptr && stop_->load(); }

private:
    const platform::WakeEvent* wake_;
    const std::atomic<bool>* stop_;
};

}  // namespace velt::veltedit

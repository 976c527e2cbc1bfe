// A wake-up that another thread can signal and an idle wait can poll(2) on
// beside the descriptor it waits for (an eventfd): key presses and stop
// requests end a worker's idle wait at once instead of after its time-out.
#pragma once

namespace velt::platform {

class WakeEvent final {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    /// @brief Wakes the waiter (any thread; harmless when repeated).
    void signal() const;
    /// @brief True while a signal waits (it is left for consume()).
    bool pending() const;
    /// @brief Takes the signals seen so far. @return true when there were any.
    bool consume() const;
    /// @brief The descriptor to poll for reading; -1 when none could be made.
    int descriptor() const { return fd_; }

private:
    int fd_;
};

/// @brief Waits up to `milliseconds` until `fd` (-1: none) has `events` or
/// `wake` (may be null) is signalled. @return the poll(2) revents of `fd`,
/// 0 on a time-out or a wake-up.
int waitFor(int fd, short events, const WakeEvent* wake, int milliseconds);

}  // namespace velt::platform

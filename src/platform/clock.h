// Wall clock behind a small interface so that waits (20-second retries,
// idle periods) and "last active" stamps can be tested without sleeping.
#pragma once

#include <cstdint>

namespace velt::platform {

class Clock {
public:
    virtual ~Clock() = default;
    /// @brief Wall-clock seconds since 1970-01-01 UTC.
    virtual int64_t now() const = 0;
};

/// @brief The process-wide real clock; never null, never destroyed.
const Clock& systemClock();

/// @brief A clock that only moves when told to; for tests and simulations.
class ManualClock final : public Clock {
public:
    explicit ManualClock(int64_t start = 1'000'000'000) : now_(start) {}
    int64_t now() const override { return now_; }
    void set(int64_t t) { now_ = t; }
    void advance(int64_t seconds) { now_ += seconds; }

private:
    int64_t now_;
};

/// @brief Sleeps for `milliseconds` on the calling thread.
void sleepMilliseconds(int milliseconds);

}  // namespace velt::platform

// The last minute of samples the monitor received, for the status page's
// traces: rows of the three channels numbered from the start, a ring of
// fixed size, and the recorder's time where it is known. The worker adds;
// the HTTP server's thread reads a copy under a short lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace velt::veltview {

/// Where the receiver hands every sample row it takes apart.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    /// @brief The stream's rows (one sample of each channel) a second; a change starts a new series.
    virtual void setRate(int rowsPerSecond) = 0;
    virtual void addRow(const int32_t values[3]) = 0;
    /// @brief The rows so far end at `seconds` since 1970 UTC (the end of a
    /// block, once the recorder's time is known).
    virtual void markTime(int64_t seconds) = 0;
};

class RecentSamples final : public SampleSink {
public:
    static constexpr int kSeconds = 60;
    static constexpr int kMaxRate = 1200;  // above the fastest stream a recorder sends

    void setRate(int rowsPerSecond) override;
    void addRow(const int32_t values[3]) override;
    void markTime(int64_t seconds) override;
    /// @brief Channel names for the answer (taken as the window shows them).
    void setChannels(std::vector<std::string> names);

    /// @brief The rows numbered `after` and later that are still kept, as
    /// JSON: rate, channels, first, next, start_time (of row `first`, or
    /// null), rows.
    std::string json(uint64_t after) const;
    /// @brief The last time marked (0: none yet) and the rows taken so far.
    int64_t lastTime() const;
    uint64_t rows() const;

private:
    mutable std::mutex mutex_;
    int rate_ = 0;
    std::vector<int32_t> ring_;  // kSeconds * rate_ rows of 3
    uint64_t next_ = 0;          // number of the next row
    uint64_t seriesStart_ = 0;   // number of the first row at the current rate
    uint64_t markRow_ = 0;       // row number at which markTime_ holds
    int64_t markTime_ = 0;       // 0: no time yet
    std::vector<std::string> channels_;
};

}  // namespace velt::veltview

// The converter's worker: builds every input (reader, outputs, stream
// converter) from the configuration, converts the inputs in turn, a few
// blocks per input and pass, and on stop closes every output, writes what
// is still gathered and persists every position.
//
// Waiting: an input without new data idles (WAIT) and its reader looks for
// the next file on a timer. The worker watches every input's folder, so an
// input whose folder changes looks again at once, also while other inputs
// convert (checked every kPassesPerReportFlush passes). When every input
// idles the worker sleeps until a folder changes, wake() is called, a stop
// signal comes (when the stop flag is the program's) or
// idleSleepMilliseconds pass; the timed looks remain where a folder cannot
// be watched.
//
// All conversion, file, INI and database work runs on the thread that calls
// run(); the status monitor is the only way out.
#pragma once

#include <array>
#include <atomic>
#include <memory>

#include "livemill/folder_watch.h"
#include "livemill/input_reader.h"
#include "livemill/livemill_config.h"
#include "conversion/stream_converter.h"
#include "outputs/four_int_output.h"
#include "outputs/mseed_file_store.h"
#include "conversion/output_sink.h"
#include "outputs/qrx_output.h"
#include "platform/clock.h"
#include "platform/wake_event.h"
#include "recorder/status_monitor.h"

namespace velt::livemill {

struct WorkerOptions {
    // Bytes per pass and input: each input gets at most this many before the
    // next one's turn, so a busy input cannot hold up the others, and a pass
    // still takes a few blocks in one piece.
    int stepsPerPass = 4096;
    int idleSleepMilliseconds = 2000;
    int persistIntervalSeconds = 1;
    /// Stop in order once every input has no new data (converting a backlog).
    bool untilIdle = false;
    outputs::QrxSettings qrx;
};

class Worker final {
public:
    /// Reports gathered by the monitor are handed on at least this often
    /// (every 64 KiB of each input's stream by default, and whenever every
    /// input idles).
    static constexpr uint32_t kPassesPerReportFlush = 16;

    /// @brief `monitor` and `clock` are not owned and must outlive the worker.
    Worker(const LivemillConfig& config, recorder::StatusMonitor& monitor, WorkerOptions options,
           const platform::Clock& clock = platform::systemClock());
    /// @brief Shuts down in order if run() did not.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    /// @brief Builds every input and opens its reader.
    void setUp();
    /// @brief One pass: runPass() on every input. @return true when every input idles.
    bool passOverInputs();
    /// @brief Converts until `stopRequested` is set (tested after each pass) or,
    /// with untilIdle, until every input idles; then shuts down in order.
    void run(const std::atomic<bool>& stopRequested);
    /// @brief Closes every output (pending runs written, work files numbered),
    /// persists every position and destroys the inputs. Idempotent.
    void shutdown();
    /// @brief Ends the worker's idle wait at once (any thread): the next pass
    /// runs now. Whoever sets the stop flag calls it to be heard at once.
    void wake() { wake_.signal(); }

    int inputCount() const { return config_.inputCount; }
    conversion::StreamConverter* converter(int input) { return inputs_[std::size_t(input)].converter.get(); }
    /// @brief The input's miniSEED store after setUp() (null: none).
    outputs::MseedFileStore* mseedStore(int input) { return inputs_[std::size_t(input)].mseed.get(); }

private:
    struct Input {
        std::unique_ptr<InputReader> reader;
        std::unique_ptr<conversion::SinkList> sinks;
        std::unique_ptr<outputs::FourIntOutput> fourInt;
        std::unique_ptr<outputs::QrxOutput> qrx;
        std::unique_ptr<outputs::MseedFileStore> mseed;
        std::unique_ptr<conversion::StreamConverter> converter;
        bool waitAllowed = true;
        long rowsWaiting = 0;  // as last reported to the monitor
    };

    bool idle(const Input& input) const;
    /// Hands every output's tally to the monitor.
    void reportTallies();
    /// Waits up to `milliseconds` (0: only looks) for a folder change, a
    /// wake-up or `stopWake` (may be null); inputs whose folder changed look
    /// again at once.
    void waitForData(int milliseconds, const platform::WakeEvent* stopWake);

    LivemillConfig config_;
    recorder::StatusMonitor& monitor_;
    WorkerOptions options_;
    const platform::Clock& clock_;
    std::array<Input, kMaxInputs> inputs_;
    FolderWatch watch_;
    platform::WakeEvent wake_;
    bool built_ = false;
};

}  // namespace velt::livemill

#include "livemill/worker.h"

#include "platform/program.h"

namespace velt::livemill {

static_assert(kMaxInputs <= FolderWatch::kMaxFolders, "every input's folder is watched as its number");

Worker::Worker(const LivemillConfig& config, recorder::StatusMonitor& monitor, WorkerOptions options,
               const platform::Clock& clock)
    : config_(config), monitor_(monitor), options_(std::move(options)), clock_(clock) {}

Worker::~Worker() { shutdown(); }

void Worker::setUp() {
    for (int n = 0; n < config_.inputCount; ++n) {
        if (config_.skipped[std::size_t(n)]) continue;
        Input& in = inputs_[std::size_t(n)];
        const std::string& ini = config_.inputIni[std::size_t(n)];
        in.reader = std::make_unique<InputReader>(ini, clock_, options_.persistIntervalSeconds);
        in.waitAllowed = readWaitAllowed(ini);
        in.sinks = std::make_unique<conversion::SinkList>();
        const std::string name = "INP" + std::to_string(n);
        in.reader->setLogName(name + " input");
        in.fourInt = outputs::makeFourIntOutput(ini);
        if (in.fourInt) {
            in.fourInt->setLogName(name + " 4-int");
            in.sinks->add(in.fourInt.get());
        }
        in.qrx = outputs::makeQrxOutput(ini, options_.qrx);
        if (in.qrx) {
            in.qrx->setLogName(name + " QRX");
            in.sinks->add(in.qrx.get());
        }
        in.mseed = outputs::makeMseedFileStore(ini, name + " miniSEED");
        if (in.mseed) in.sinks->add(in.mseed.get());
        in.converter = std::make_unique<conversion::StreamConverter>(*in.reader, options_.stepsPerPass, clock_);
        in.converter->setWaitAllowed(in.waitAllowed);
        in.converter->attach(n, &monitor_, in.sinks.get());
    }
    for (int n = 0; n < config_.inputCount; ++n) {
        if (config_.skipped[std::size_t(n)]) continue;
        InputReader& reader = *inputs_[std::size_t(n)].reader;
        reader.open();
        watch_.add(n, reader.folder(), "INP" + std::to_string(n) + " input");
    }
    built_ = true;
}

bool Worker::idle(const Input& input) const {
    // With WAIT off an input never idle-waits; for stopping at the end of a
    // backlog it counts as idle once its reader has nothing more to give.
    return input.converter->isWaiting() || (options_.untilIdle && input.converter->starved());
}

bool Worker::passOverInputs() {
    bool allIdle = true;
    for (int n = 0; n < config_.inputCount; ++n) {
        if (config_.skipped[std::size_t(n)]) continue;
        Input& in = inputs_[std::size_t(n)];
        in.converter->runPass();
        if (!idle(in)) allIdle = false;
        const long rows = in.qrx ? long(in.qrx->rowsWaiting()) : 0;
        if (rows != in.rowsWaiting) {
            in.rowsWaiting = rows;
            monitor_.setRowsWaiting(n, rows);
        }
    }
    return allIdle;
}

void Worker::run(const std::atomic<bool>& stopRequested) {
    if (!built_) setUp();
    // A stop signal sets the program's flag and then signals this event.
    const platform::WakeEvent* stopWake =
        &stopRequested == &platform::StopSignals::flag() ? &platform::StopSignals::wake() : nullptr;
    uint32_t passes = 0;
    while (!stopRequested.load()) {
        const bool allIdle = passOverInputs();
        const bool due = ++passes % kPassesPerReportFlush == 0;
        if (allIdle || due) {
            reportTallies();
            monitor_.flush();
        }
        if (allIdle && options_.untilIdle) break;
        if (allIdle || due) waitForData(allIdle ? options_.idleSleepMilliseconds : 0, stopWake);
    }
    reportTallies();
    shutdown();
    monitor_.flush();
}

void Worker::reportTallies() {
    for (int n = 0; n < config_.inputCount; ++n) {
        const Input& in = inputs_[std::size_t(n)];
        const auto report = [this, n](const char* name, const conversion::OutputSink* output) {
            if (output == nullptr) return;
            const conversion::OutputSink::Tally t = output->tally();
            monitor_.setOutputTally(n, name, t.files, t.bytes);
        };
        report("qrx", in.qrx.get());
        report("int4", in.fourInt.get());
        report("mseed", in.mseed.get());
    }
}

void Worker::waitForData(int milliseconds, const platform::WakeEvent* stopWake) {
    const FolderWatch::Changes changed = watch_.wait(milliseconds, {&wake_, stopWake});
    wake_.consume();
    for (int n = 0; n < config_.inputCount; ++n) {
        Input& in = inputs_[std::size_t(n)];
        if (!changed.test(std::size_t(n)) || !in.converter) continue;
        in.reader->lookNow();
        in.converter->lookNow();
    }
}

void Worker::shutdown() {
    if (!built_) return;
    built_ = false;
    for (auto& in : inputs_) {
        if (in.fourInt) in.fourInt->closeOutputs();
        if (in.qrx) in.qrx->closeOutputs();
        // Runs still being gathered are written too: an orderly stop loses nothing.
        if (in.mseed) in.mseed->shutdown();
    }
    // The converter goes first: it holds references to the reader and the list.
    for (auto& in : inputs_) {
        // Everything is written now: the exact position is stored.
        if (in.reader) in.reader->flush();
        in.converter.reset();
        in.reader.reset();
        in.fourInt.reset();
        in.qrx.reset();
        in.mseed.reset();
        in.sinks.reset();
    }
}

}  // namespace velt::livemill

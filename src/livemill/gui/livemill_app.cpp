#include "livemill/gui/livemill_app.h"

#include <QApplication>

#include "gui_common/worker_job.h"
#include "livemill/gui/status_window.h"
#include "livemill/gui/window_status_monitor.h"
#include "platform/clock.h"
#include "platform/program.h"

namespace velt::livemill::gui {

int runWithWindow(int& argc, char** argv, const LivemillConfig& config, const WorkerOptions& options,
                  std::atomic<bool>& stopRequested, const platform::SettingsCheck& check,
                  SeedlinkService& seedlink) {
    QApplication app(argc, argv);
    StatusWindow window(stopRequested);
    // The settings are read before the window opens (a bad input count is
    // refused on the command line), so the window is live, with its input
    // count and start time, before the worker's first report.
    window.setInputCount(config.inputCount);
    window.openWindow(platform::systemClock().now());
    window.setSettingsProblems(config, check.problems());

    gui_common::WorkerJob worker(window);
    worker.start(
        [&] {
            WindowStatusMonitor monitor(window);
            Worker w(config, seedlink.monitorFor(monitor, config.inputCount), options);
            w.setUp();
            seedlink.attach(w);
            w.run(stopRequested);
        },
        // A worker that ends without the window's Stop (nothing left to
        // convert, or a signal) closes the window.
        [&window] { window.closeWithoutAsking(); });

    window.show();
    app.exec();
    stopRequested.store(true);
    platform::StopSignals::wake().signal();  // the worker's idle wait ends at once
    worker.join();
    return check.ok() ? platform::kExitDone : platform::kExitUsage;
}

}  // namespace velt::livemill::gui

#include "livemill/gui/livemill_app.h"

#include <QApplication>

#include <atomic>
#include <thread>

#include "livemill/gui/status_window.h"
#include "livemill/gui/window_status_monitor.h"
#include "platform/clock.h"

namespace velt::livemill::gui {

int runWithWindow(int& argc, char** argv, const LivemillConfig& config, const WorkerOptions& options,
                  std::atomic<bool>& stopRequested) {
    QApplication app(argc, argv);
    StatusWindow window(stopRequested);
    // The settings are read before the window opens (a bad input count is
    // refused on the command line), so the window is live, with its input
    // count and start time, before the worker's first report.
    window.setInputCount(config.inputCount);
    window.openWindow(platform::systemClock().now());

    std::thread worker([&] {
        {
            WindowStatusMonitor monitor(&window);
            Worker w(config, monitor, options);
            w.run(stopRequested);
        }
        // A worker that ends without the window's Stop (nothing left to
        // convert, or a signal) closes the window.
        QMetaObject::invokeMethod(&window, [&window] { window.closeWithoutAsking(); }, Qt::QueuedConnection);
    });

    window.show();
    app.exec();
    stopRequested.store(true);
    worker.join();
    return 0;
}

}  // namespace velt::livemill::gui

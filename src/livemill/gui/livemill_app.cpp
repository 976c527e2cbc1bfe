#include "livemill/gui/livemill_app.h"

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <thread>

#include "livemill/gui/status_window.h"
#include "livemill/gui/window_status_monitor.h"
#include "platform/clock.h"

namespace velt::livemill::gui {

int runWithWindow(int& argc, char** argv, const LivemillConfig& config, const WorkerOptions& options) {
    QApplication app(argc, argv);
    std::atomic<bool> stopRequested{false};
    StatusWindow window(stopRequested);
    window.setInputCount(config.inputCount);
    window.openWindow(platform::systemClock().now());

    std::atomic<bool> workerRunning{true};
    std::thread worker([&] {
        {
            WindowStatusMonitor monitor(&window);
            Worker w(config, monitor, options);
            w.run(stopRequested);
        }
        workerRunning.store(false);
        // A worker that ends by itself (nothing left to convert) closes the window.
        QMetaObject::invokeMethod(&window, [&window] { window.closeWithoutAsking(); }, Qt::QueuedConnection);
    });

    window.show();
    app.exec();
    stopRequested.store(true);
    worker.join();
    return 0;
}

}  // namespace velt::livemill::gui

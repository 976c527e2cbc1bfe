#include "gui_common/window_log.h"

#include <QThread>

#include <cstdio>
#include <mutex>

#include "platform/log.h"

namespace velt::gui_common {

namespace {
std::mutex lock;  // guards `current` against a window closing while a worker logs
WindowLog* current = nullptr;
}  // namespace

struct WindowLogSink {
    static void write(platform::LogLevel, const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
        const std::lock_guard<std::mutex> hold(lock);
        if (current != nullptr && QThread::currentThread() != current->window_.thread()) current->show_(line);
    }
};

WindowLog::WindowLog(QObject& window, Show show) : window_(window), show_(std::move(show)) {
    const std::lock_guard<std::mutex> hold(lock);
    previous_ = current;
    current = this;
    platform::setLogSink(&WindowLogSink::write);
}

WindowLog::~WindowLog() {
    const std::lock_guard<std::mutex> hold(lock);
    current = previous_;
    if (current == nullptr) platform::setLogSink(nullptr);
}

}  // namespace velt::gui_common

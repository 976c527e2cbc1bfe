#include "livemill/gui/window_status_monitor.h"

#include <QMetaObject>

namespace velt::livemill::gui {

void WindowStatusMonitor::add(Report report, bool urgent) {
    pending_.push_back(std::move(report));
    const auto now = std::chrono::steady_clock::now();
    if (urgent || now - lastSend_ >= std::chrono::milliseconds(50)) send();
}

void WindowStatusMonitor::send() {
    lastSend_ = std::chrono::steady_clock::now();
    if (pending_.empty() || window_.isNull()) return;
    QPointer<StatusWindow> target = window_;
    QMetaObject::invokeMethod(
        window_.data(),
        [target, batch = std::move(pending_)] {
            if (target) apply(*target, batch);
        },
        Qt::QueuedConnection);
    pending_.clear();
}

void WindowStatusMonitor::apply(StatusWindow& w, const std::vector<Report>& batch) {
    for (const Report& r : batch) {
        switch (r.op) {
            case Op::LastActive: w.setLastActive(r.input, r.a); break;
            case Op::InputFile: w.setInputFile(r.input, long(r.a)); break;
            case Op::Offset: w.setOffset(r.input, long(r.a)); break;
            case Op::Device: w.setDeviceNumber(r.input, long(r.a)); break;
            case Op::Config: w.setConfigNumber(r.input, long(r.a)); break;
            case Op::Block: w.setBlockNumber(r.input, long(r.a)); break;
            case Op::BlockTime: w.setLastBlockTime(r.input, r.a); break;
            case Op::Restart: w.setRestartNumber(r.input, long(r.a)); break;
            case Op::Station: w.setStationName(r.input, r.text.c_str()); break;
            case Op::Log: w.logLine(r.input, int(r.a), r.text.c_str()); break;
            case Op::Counter: w.setCounter(r.input, long(r.a)); break;
            case Op::Waiting: w.setWaiting(r.input, int(r.a)); break;
            case Op::Position: w.setPosition(r.input, long(r.a), long(r.b)); break;
        }
    }
}

}  // namespace velt::livemill::gui

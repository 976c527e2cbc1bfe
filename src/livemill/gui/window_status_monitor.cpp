#include "livemill/gui/window_status_monitor.h"

#include <QMetaObject>

namespace velt::livemill::gui {

void WindowStatusMonitor::set(int input, Field field, int64_t value, bool urgent) {
    if (!valid(input)) return;
    Latest& l = latest_[std::size_t(input)];
    l.value[field] = value;
    l.dirty |= 1u << field;
    changed(urgent);
}

void WindowStatusMonitor::setStationName(int input, const char* name) {
    if (!valid(input)) return;
    latest_[std::size_t(input)].station = name ? name : "";
    latest_[std::size_t(input)].dirty |= 1u << Station;
    changed(false);
}

void WindowStatusMonitor::logLine(int input, const char* text) {
    if (!valid(input)) return;
    latest_[std::size_t(input)].log = text ? text : "";
    latest_[std::size_t(input)].dirty |= 1u << Log;
    changed(true);
}

void WindowStatusMonitor::setPosition(int input, long file, long offset) {
    if (!valid(input)) return;
    Latest& l = latest_[std::size_t(input)];
    l.value[PositionFile] = file;
    l.value[PositionOffset] = offset;
    l.dirty |= (1u << PositionFile) | (1u << PositionOffset);
    changed(false);
}

void WindowStatusMonitor::changed(bool urgent) {
    if (urgent || std::chrono::steady_clock::now() - lastSend_ >= std::chrono::milliseconds(50)) send();
}

void WindowStatusMonitor::send() {
    lastSend_ = std::chrono::steady_clock::now();
    std::vector<Update> batch;
    for (int i = 0; i < StatusWindow::kSlots; ++i) {
        Latest& l = latest_[std::size_t(i)];
        if (l.dirty == 0) continue;
        batch.push_back({i, l});
        l.dirty = 0;
    }
    if (batch.empty() || window_.isNull()) return;
    QPointer<StatusWindow> target = window_;
    QMetaObject::invokeMethod(
        window_.data(), [target, batch = std::move(batch)] { if (target) apply(*target, batch); },
        Qt::QueuedConnection);
}

void WindowStatusMonitor::apply(StatusWindow& w, const std::vector<Update>& batch) {
    for (const Update& u : batch) {
        const Latest& l = u.fields;
        const auto has = [&l](Field f) { return (l.dirty >> f) & 1u; };
        const int i = u.input;
        if (has(LastActive)) w.setLastActive(i, l.value[LastActive]);
        if (has(InputFile)) w.setInputFile(i, long(l.value[InputFile]));
        if (has(Offset)) w.setOffset(i, long(l.value[Offset]));
        if (has(Device)) w.setDeviceNumber(i, long(l.value[Device]));
        if (has(Config)) w.setConfigNumber(i, long(l.value[Config]));
        if (has(Block)) w.setBlockNumber(i, long(l.value[Block]));
        if (has(BlockTime)) w.setLastBlockTime(i, l.value[BlockTime]);
        if (has(Restart)) w.setRestartNumber(i, long(l.value[Restart]));
        if (has(Waiting)) w.setWaiting(i, int(l.value[Waiting]));
        if (has(PositionFile)) w.setPosition(i, long(l.value[PositionFile]), long(l.value[PositionOffset]));
        if (has(Station)) w.setStationName(i, l.station.c_str());
        if (has(Log)) w.logLine(i, l.log.c_str());
    }
}

}  // namespace velt::livemill::gui

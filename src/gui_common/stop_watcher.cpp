#include "gui_common/stop_watcher.h"

#include <QEvent>
#include <QSocketNotifier>
#include <QWidget>

#include "platform/program.h"

namespace velt::gui_common {

using platform::StopSignals;

StopWatcher::StopWatcher(QWidget& window, OnStop onStop) : window_(window), onStop_(std::move(onStop)) {
    window_.installEventFilter(this);
    const int wake = StopSignals::wake().descriptor();
    if (wake < 0) return;  // no eventfd: the program's worker still sees the stop flag
    signals_ = new QSocketNotifier(wake, QSocketNotifier::Read, this);
    connect(signals_, &QSocketNotifier::activated, this, [this] {
        StopSignals::wake().consume();
        onStop_(StopCause::Signal);
    });
}

void StopWatcher::closeWindow() {
    closing_ = true;
    if (!inClose_) window_.close();
}

bool StopWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &window_ || event->type() != QEvent::Close) return false;
    if (!closing_) {
        inClose_ = true;
        onStop_(StopCause::Closed);
        inClose_ = false;
    }
    // Taken here either way: the window's own close handling (a dialog's
    // reject) must not run a second stop.
    event->setAccepted(closing_);
    return true;
}

}  // namespace velt::gui_common

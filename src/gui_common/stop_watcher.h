// The two ways a window program is asked to end: its window is closed (the
// close button, a Stop or Exit button that closes it, close()) or SIGINT or
// SIGTERM arrives. Both reach one callback on the window thread, and that
// decides: ask first, abort a conversion, stop a worker in order. The window
// closes only once the program lets it (closeWindow()), so no window keeps a
// close-event handler and flags of its own for this.
//
// Signals are seen through the wake event of platform::StopSignals, which
// the program's main installed; the watcher installs no handler itself, so
// a hook the program gave stays in place. A signal that came before the
// watcher existed is still seen: the wake event keeps it until consumed.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;
class QWidget;

namespace velt::gui_common {

enum class StopCause {
    Closed,  // the window was closed by a person (or by code that closes it)
    Signal,  // SIGINT or SIGTERM: nobody is there to answer a question
};

class StopWatcher final : public QObject {
public:
    using OnStop = std::function<void(StopCause cause)>;

    /// @brief Watches `window` (not owned) and the stop signals.
    StopWatcher(QWidget& window, OnStop onStop);

    /// @brief Closes the window: now, or at the end of the close being
    /// handled. Every later close passes without a call.
    void closeWindow();
    /// @brief True once closeWindow() was called.
    bool closing() const { return closing_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget& window_;
    OnStop onStop_;
    QSocketNotifier* signals_ = nullptr;
    bool closing_ = false;
    bool inClose_ = false;
};

}  // namespace velt::gui_common

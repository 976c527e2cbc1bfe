// Log lines in a program with a window: every line still goes to standard
// error, as without a window, and a line logged by a worker thread also goes
// to the window line its person watches (through the window's FieldPoster).
// A line the window thread logs is the window's own doing and sits beside a
// text the window shows itself at that moment, so it goes to standard error
// only.
#pragma once

#include <QObject>

#include <functional>
#include <string>

namespace velt::gui_common {

class WindowLog final {
public:
    /// Hands a line to the window; called on the logging thread.
    using Show = std::function<void(const std::string& line)>;

    /// @brief Sends log lines to `show` for `window` (not owned) until destroyed.
    /// A later WindowLog takes over until it is destroyed (the newest first).
    WindowLog(QObject& window, Show show);
    ~WindowLog();
    WindowLog(const WindowLog&) = delete;
    WindowLog& operator=(const WindowLog&) = delete;

private:
    friend struct WindowLogSink;
    QObject& window_;
    Show show_;
    WindowLog* previous_;
};

}  // namespace velt::gui_common

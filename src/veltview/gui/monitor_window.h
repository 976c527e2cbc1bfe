// The monitor's main window "VeltView v.2.5": the drawing area (repainted
// from the worker's off-screen canvas, at most 30 times a second and only
// when something was drawn), the channel boxes and scale labels beside it,
// the scaling, calibration and archive controls, the status fields, and a
// keypad of the twelve front-panel keys (the panel's parameter editing is
// reached only through them). The worker never touches a widget: texts,
// check boxes and dots reach the window in batches, the newest value of each
// winning, and the check boxes it reads are kept in atomics. Below the link
// line, the latest message the monitor logged (also on standard error).
//
// Stop (or closing the window) asks first while the monitor records; the
// question holds nobody: recording goes on until Yes, and No leaves it all
// running. SIGINT and SIGTERM stop in order without asking.
#pragma once

#include <QWidget>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <variant>

#include "gui_common/field_poster.h"
#include "gui_common/stop_watcher.h"
#include "gui_common/window_log.h"
#include "gui_common/window_parts.h"
#include "veltview/gui/qt_canvas.h"
#include "veltview/monitor.h"
#include "veltview/monitor_fields.h"
#include "veltview/writer_window.h"

class QCheckBox;
class QGroupBox;
class QMessageBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace velt::veltview::gui {

class MonitorWindow final : public QWidget, public MonitorUi, public MonitorFields, public WriterWindow {
    Q_OBJECT
public:
    static constexpr int kAreaX = 82, kAreaY = 50;

    explicit MonitorWindow(QtCanvas& canvas);
    /// @brief The monitor the buttons press keys on (not owned).
    void attach(Monitor* monitor) { monitor_ = monitor; }

    // From the worker thread.
    void setDeviceLabel(const std::string& text) override { shown_.post(Shown::Device, text); }
    void setPauseText(const std::string& text) override { shown_.post(Shown::PauseText, text); }
    void setPaused(bool paused) override { shown_.post(Shown::Paused, int(paused)); }
    void setLinkText(const std::string& text) override { shown_.post(Shown::Link, text); }
    void showNotice(const std::string& text) override { shown_.post(Shown::Notice, text); }
    void setField(Field field, const std::string& text) override { shown_.post(Shown::StatusField, int(field), text); }
    void setRealtimeCaption(const std::string& t) override { shown_.post(Shown::RealtimeCaption, t); }
    void setRealtimeDirectory(const std::string& t) override { shown_.post(Shown::RealtimeDirectory, t); }
    void setRealtimeFileNumber(const std::string& t) override { shown_.post(Shown::RealtimeNumber, t); }
    void setRealtimeBytes(const std::string& t) override { shown_.post(Shown::RealtimeBytes, t); }
    void setRealtimeState(const std::string& t) override { shown_.post(Shown::RealtimeState, t); }
    void setArchiveState(const std::string& t) override { shown_.post(Shown::ArchiveState, t); }
    void setDeviceDirectory(int d, const std::string& t) override { shown_.post(Shown::DeviceDirectory, d, t); }
    void setDeviceChecked(int d, bool c) override;
    bool deviceChecked(int d) override { return d >= 0 && d < kArchiveDevices && checked_[std::size_t(d)].load(); }
    void setDeviceDot(int d, int state) override { shown_.post(Shown::DeviceDot, d, state); }

    /// @brief The text shown by the control named `name` (for tests).
    QString text(const QString& name) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    /// What the worker shows; StatusField comes in a copy per Field, the
    /// Device ones in a copy per archive device.
    enum class Shown { Device, PauseText, Paused, Link, Notice, Message, RealtimeCaption, RealtimeDirectory,
                       RealtimeNumber, RealtimeBytes, RealtimeState, ArchiveState, StatusField, DeviceDirectory,
                       DeviceChecked, DeviceDot, Count };
    static constexpr int kCopies = std::max(int(Field::Count), kArchiveDevices);
    /// A text, or a number (a flag, a dot's state).
    using Value = std::variant<std::string, int>;

    void apply(Shown what, int copy, const Value& value);
    void stopAsked(gui_common::StopCause cause);
    /// Stops the monitor (it closes its files on its thread) and closes the window.
    void stopNow();
    QRect area() const;
    QPushButton* button(const QString& caption, int code, QWidget* parent, int x, int y, int w = 80);
    QLineEdit* field(QWidget* parent, const QString& caption, int x, int y, int w, const QString& name);

    QtCanvas& canvas_;
    Monitor* monitor_ = nullptr;
    QWidget* page_ = nullptr;
    std::array<std::atomic<bool>, kArchiveDevices> checked_{};
    std::array<QCheckBox*, kArchiveDevices> deviceBoxes_{};
    std::array<QLineEdit*, kArchiveDevices> deviceDirectories_{};
    std::array<QLabel*, kArchiveDevices> dots_{};
    std::array<QLineEdit*, std::size_t(Field::Count)> fields_{};
    std::array<QCheckBox*, 3> activeBoxes_{};
    std::vector<QPushButton*> scalingButtons_;
    QPushButton* pauseButton_ = nullptr;
    QLabel *device_ = nullptr, *pauseText_ = nullptr, *link_ = nullptr, *message_ = nullptr;
    QLabel *realtimeState_ = nullptr, *archiveState_ = nullptr;
    QLineEdit *realtimeDirectory_ = nullptr, *realtimeNumber_ = nullptr, *realtimeBytes_ = nullptr;
    QGroupBox* realtime_ = nullptr;
    bool paused_ = false;
    QMessageBox* notice_ = nullptr;  // one non-modal box at a time, updated

    gui_common::FieldPoster<Shown, Value, kCopies> shown_{
        *this, [this](Shown what, int copy, const Value& value) { apply(what, copy, value); }};
    gui_common::WindowLog log_{*this, [this](const std::string& line) { shown_.post(Shown::Message, line); }};
    // The Calibration group has a "Stop" of its own: the question names what this one ends.
    gui_common::Question stopQuestion_{*this,
                                       "Do you really want to stop recording?\n"
                                       "The monitor closes its files and ends; the recorder goes on.",
                                       QMessageBox::No};
    gui_common::StopWatcher watcher_{*this, [this](gui_common::StopCause cause) { stopAsked(cause); }};
};

/// @brief Runs the monitor with its window until the window closes or
/// SIGINT or SIGTERM arrives (the window watches them). @return the exit status.
int runWithWindow(int& argc, char** argv, const std::string& iniPath);

}  // namespace velt::veltview::gui

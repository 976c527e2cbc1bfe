// The monitor's main window "VeltView v.2.5": the drawing area (repainted
// from the worker's off-screen canvas, at most 30 times a second and only
// when something was drawn), the channel boxes and scale labels beside it,
// the scaling, calibration and archive controls, the status fields, and a
// keypad of the twelve front-panel keys (the panel's parameter editing is
// reached only through them). The worker never touches a widget: texts,
// check boxes and dots reach the window by queued calls, the newest value of
// each winning, and the check boxes it reads are kept in atomics.
#pragma once

#include <QWidget>

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "veltview/gui/qt_canvas.h"
#include "veltview/monitor.h"
#include "veltview/monitor_fields.h"
#include "veltview/writer_window.h"

class QCheckBox;
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
    void setDeviceLabel(const std::string& text) override { post("device", text); }
    void setPauseText(const std::string& text) override { post("pauseText", text); }
    void setPaused(bool paused) override { post("paused", paused ? "1" : "0"); }
    void setLinkText(const std::string& text) override { post("link", text); }
    void showNotice(const std::string& text) override { post("notice", text); }
    void setField(Field field, const std::string& text) override { post("field" + std::to_string(int(field)), text); }
    void setRealtimeCaption(const std::string& t) override { post("rtCaption", t); }
    void setRealtimeDirectory(const std::string& t) override { post("rtDir", t); }
    void setRealtimeFileNumber(const std::string& t) override { post("rtNumber", t); }
    void setRealtimeBytes(const std::string& t) override { post("rtBytes", t); }
    void setRealtimeState(const std::string& t) override { post("rtState", t); }
    void setArchiveState(const std::string& t) override { post("archState", t); }
    void setDeviceDirectory(int d, const std::string& t) override { post("devDir" + std::to_string(d), t); }
    void setDeviceChecked(int d, bool c) override;
    bool deviceChecked(int d) override { return d >= 0 && d < kArchiveDevices && checked_[std::size_t(d)].load(); }
    void setDeviceDot(int d, int state) override { post("dot" + std::to_string(d), std::to_string(state)); }

    /// @brief The text shown by the control named `name` (for tests).
    QString text(const QString& name) const;
    /// @brief The next close stops without asking (a stop signal, not a person).
    void closeWithoutAsking() { ask_ = false; }
    /// @brief The operator's stop: asks first while the monitor records.
    void stopAsked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void post(const std::string& key, const std::string& value);
    void apply();
    QPushButton* button(const QString& caption, int code, QWidget* parent, int x, int y, int w = 80);
    QLineEdit* field(QWidget* parent, const QString& caption, int x, int y, int w, const QString& name);

    QtCanvas& canvas_;
    Monitor* monitor_ = nullptr;
    std::mutex lock_;
    std::map<std::string, std::string> pending_;
    bool flushQueued_ = false;
    std::array<std::atomic<bool>, kArchiveDevices> checked_{};
    std::array<QCheckBox*, kArchiveDevices> deviceBoxes_{};
    std::array<QLabel*, kArchiveDevices> dots_{};
    std::array<int, kArchiveDevices> dotStates_{};
    std::array<QCheckBox*, 3> activeBoxes_{};
    std::vector<QPushButton*> scalingButtons_;
    QPushButton* pauseButton_ = nullptr;
    bool paused_ = false;
    QMessageBox* notice_ = nullptr;  // one non-modal box at a time, updated
    bool ask_ = true;
    bool confirmed_ = false;         // the operator said yes to the stop question
};

/// @brief Runs the monitor with its window until the window closes or
/// `stopRequested` is set. @return the exit status.
int runWithWindow(int& argc, char** argv, const std::string& iniPath, std::atomic<bool>& stopRequested);

}  // namespace velt::veltview::gui

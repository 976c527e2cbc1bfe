// The editor's window "VeltEdit v.2.5" and its "Set Response Form".
//
// The recorder family's editor talked to the station on its window thread
// in busy loops, so the desktop took it for hung for 8 to 90 s. Here every
// conversation (connect, save, cancel) runs on a worker thread with the
// fields disabled and a progress line in the status text; the bytes on the
// link and their timing are those of the session. The window touches the
// session's images only while no conversation runs. Cancel stays live: it
// ends a running conversation (the stop attempts, a save between two
// values) and restarts the station.
//
// A Save is proven or reported: the station's image is read back before
// the restart. When a value is wrong, a file cannot be written, the link
// drops or the read back differs, a message says what and where, the
// dialog stays open with the edits, and the operator chooses: Save again
// (reconnecting when the link was lost, writing what is still missing),
// Cancel (restart the station as it is) or "Cancel without restart VELT".
//
// The status line shows the conversation's steps and whatever it logs (the
// lines also go to standard error). SIGINT and SIGTERM end the conversation
// as Cancel does: the station is restarted.
#pragma once

#include <QDialog>

#include <array>
#include <string>

#include "gui_common/field_poster.h"
#include "gui_common/stop_watcher.h"
#include "gui_common/window_log.h"
#include "gui_common/window_parts.h"
#include "gui_common/worker_job.h"
#include "link/device_link.h"
#include "veltedit/eeprom_session.h"
#include "veltedit/pacer.h"
#include "veltedit/response_tables.h"
#include "veltedit/station_parameters.h"

class QCheckBox;
class QMessageBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace velt::veltedit::gui {

/// "Set Response Form": three rows of tables, "Load from file", "Cancel".
class ResponseFormDialog final : public QDialog {
    Q_OBJECT
public:
    /// @brief Works on `form` (not owned).
    explicit ResponseFormDialog(ResponseForm& form, QWidget* parent = nullptr);
    /// @brief Loads `path` as a new table and refreshes the rows (the chooser's part).
    void loadFile(const std::string& path);
    QString rowText(int i) const;

private:
    void refresh();

    ResponseForm& form_;
    std::array<QLineEdit*, kMaxTables> rows_{};
    std::array<QPushButton*, kMaxTables> views_{};
    std::array<QPushButton*, kMaxTables> sets_{};
    QPushButton* load_ = nullptr;
};

class EditorWindow final : public QDialog, private Progress {
    Q_OBJECT
public:
    /// @brief Talks over `link` in `pacer`'s time (neither owned); write
    /// backs leave `files`.
    EditorWindow(link::DeviceLink& link, Pacer& pacer, WriteBackFiles files = {});

    /// @brief Starts the connect sequence on the worker.
    void start();
    /// @brief True while a conversation runs.
    bool busy() const { return worker_.running(); }
    /// @brief True once Save, Cancel or "Cancel without restart VELT" has finished.
    bool finished() const { return finished_; }
    /// @brief The program's exit status: 0, or 1 when the image was never
    /// read, the last Save was not proven, or the session was interrupted.
    int exitStatus() const { return failed_ || interrupted_ ? 1 : 0; }
    /// @brief SIGINT or SIGTERM: ends the conversation as Cancel does.
    void interrupt();
    /// @brief The text of the control named `name` (for tests).
    QString text(const QString& name) const;

    // The buttons, also for tests.
    void save();
    void cancel();
    void prev();
    void next();
    /// @brief Opens "Set Response Form" modally and applies its outcome.
    void setResponse();
    /// @brief Applies a closed form, as after the modal one.
    void applyResponseForm(const ResponseForm& form);
    void savePulse(const std::string& path);
    void loadPulse(const std::string& path);

protected:
    /// Escape is Cancel too.
    void reject() override { cancel(); }

private:
    enum class Line { Status, Count };
    void step(const std::string& text) override { lines_.post(Line::Status, text); }
    void showStatus(const std::string& text);
    /// Runs `job` on the worker with the window disabled; `done` then on the window thread.
    template <typename Job, typename Done>
    void run(Job job, Done done);
    void connected(bool read);
    void saved(bool proven, const WriteBackReport& report);
    /// Marks the controls of `problems` and explains them; false when there are any.
    bool accepted(const FieldProblems& problems);
    /// A message that informs and never waits: the dialog goes on at once.
    void notify(const QString& text);
    void showAll();
    void showChannel();
    ChannelFields channelFields() const;
    StationFields stationFields() const;
    void finish();
    QLineEdit* field(const QString& name, bool readOnly);

    link::DeviceLink& link_;
    EepromSession session_;
    WriteBackFiles files_;
    StationEditor editor_;
    bool finished_ = false;
    bool failed_ = false;       // no image, or the last Save not proven
    bool retry_ = false;        // a Save failed: the next one reads the station first
    bool cancelPending_ = false;  // Cancel pressed while a conversation ran
    bool interrupted_ = false;

    QLineEdit *device_, *restart_, *config_, *station_, *channels_, *channelNumber_, *channelName_, *sensor_;
    QLineEdit *calib_, *calper_, *response_, *pulseItems_, *phaseLoop_;
    QComboBox *rate_, *units_;
    QCheckBox* phaseLoopFlag_;
    QGroupBox* phaseLoopGroup_;
    QPlainTextEdit* summary_;
    QPushButton *clearResponse_, *setResponse_;
    QLabel* status_;
    QLabel* state_;  // whether the station is stopped
    QWidget* form_;  // every field; disabled while a conversation runs
    QPushButton *saveButton_, *noRestart_;
    QMessageBox* notice_ = nullptr;

    gui_common::FieldPoster<Line, std::string> lines_{
        *this, [this](Line, int, const std::string& text) { showStatus(text); }};
    gui_common::WindowLog log_{*this, [this](const std::string& line) { lines_.post(Line::Status, line); }};
    gui_common::Question noRestartQuestion_;
    gui_common::WorkerJob worker_{*this};
    gui_common::StopWatcher watcher_{*this, [this](gui_common::StopCause cause) {
        if (cause == gui_common::StopCause::Signal) interrupt();
        else cancel();  // closing the window is Cancel: the station is restarted first
    }};
};

/// @brief The whole program with its window: question, link, dialog.
/// @return the exit status.
int runEditorWindow(int argc, char** argv);

}  // namespace velt::veltedit::gui

// The converter's status window: for one selected input at a time it shows
// what the worker last reported (position, waiting, device, configuration,
// block and restart numbers, station, last log line), and below them the
// latest message the converter logged. Prev/Next step through the inputs,
// Stop ends the program after a confirmation. Every close of the window
// (close button, Escape) goes through Stop; SIGINT and SIGTERM stop the
// worker in order without asking, and the window closes when it has ended.
#pragma once

#include <QDialog>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "gui_common/field_poster.h"
#include "gui_common/stop_watcher.h"
#include "gui_common/window_log.h"
#include "gui_common/window_parts.h"
#include "livemill/livemill_config.h"

class QCheckBox;
class QLabel;
class QMessageBox;
class QLineEdit;
class QPushButton;

namespace velt::livemill::gui {

class StatusWindow final : public QDialog {
    Q_OBJECT
public:
    // The window's own table of inputs, a limit of the window and not the
    // converter's: livemill.ini names at most kMaxInputs, fewer than the
    // window holds; setInputCount cuts a larger count to kSlots.
    static constexpr int kSlots = 20;
    static_assert(kSlots >= kMaxInputs, "every input the converter runs has a slot");
    static constexpr int kTextChars = 100;
    static constexpr const char* kStopQuestion = "Do you really want to Stop \nVELT rt converter?";

    /// What the worker reports, per input (Message: the window's one line).
    enum class Report { LastActive, InputFile, Offset, Device, Config, Block, BlockTime, Restart, Waiting, Position,
                        Station, Log, RowsWaiting, Message, Count };
    /// A report's value: a number (a position: file and offset) or a text.
    struct Value {
        int64_t number = 0;
        int64_t offset = 0;
        std::string text;
    };

    /// @brief `stopRequested` (not owned) is set when the operator confirms
    /// Stop or a stop signal arrives.
    explicit StatusWindow(std::atomic<bool>& stopRequested, QWidget* parent = nullptr);

    /// @brief Any thread: the newest report of its kind for `input` is shown
    /// (batches at most every 50 ms; a backlog reports far faster).
    void report(Report kind, int input, Value value) { reports_.post(kind, input, std::move(value)); }

    void setInputCount(int count);
    /// @brief Inputs that do not run for their settings: each shows its
    /// problem in red where its log line goes, and a message lists them all.
    void setSettingsProblems(const LivemillConfig& config, const std::vector<platform::SettingsProblem>& problems);
    int inputCount() const { return inputCount_; }
    int selected() const { return selected_; }
    bool live() const { return live_; }
    /// @brief Initialises every slot, shows the header fields and goes live.
    void openWindow(int64_t startTime);

    // Store-and-show operations; indexes outside 0..inputCount-1 are ignored,
    // and nothing is stored unless the window is live.
    void setLastActive(int input, int64_t seconds);
    void setInputFile(int input, long file);
    void setOffset(int input, long offset);
    void setDeviceNumber(int input, long value);
    void setConfigNumber(int input, long value);
    void setBlockNumber(int input, long value);
    void setLastBlockTime(int input, int64_t seconds);
    void setRestartNumber(int input, long value);
    void setWaiting(int input, int flag);
    void setPosition(int input, long file, long offset);
    void setStationName(int input, const char* name);
    void logLine(int input, const char* text);
    /// @brief Refreshes every field of the selected input.
    void refreshAll();

    /// Field texts, for tests and screenshots.
    QString fieldText(const char* name) const;

public slots:
    void previous();
    void next();
    /// @brief Asks the Stop question (it holds nobody); on Yes leaves live,
    /// requests the stop and closes.
    void stop();
    void about();
    /// @brief Closes after the worker has already ended (nothing to confirm).
    void closeWithoutAsking();

protected:
    /// Escape is Stop too.
    void reject() override { stop(); }

private:
    struct Slot {
        int64_t lastActive = 1000;
        long inputFile = 0;
        long offset = 0;
        long positionFile = 0;
        long positionOffset = 0;
        long device = 0;
        long config = 0;
        long block = 0;
        int64_t blockTime = 0;
        long restart = 0;
        bool waiting = false;
        int64_t waitingSince = 0;
        long rowsWaiting = 0;
        std::string station;
        std::string log;
        std::string problem;  // why the input does not run ("" when it runs)
    };
    void showWaiting(const Slot& s);
    void showLog(const Slot& s);
    bool accepts(int input) const { return live_ && input >= 0 && input < inputCount_; }
    bool isSelected(int input) const { return input == selected_; }
    QLineEdit* addField(const char* name);
    void apply(Report kind, int input, const Value& value);
    void stopAsked(gui_common::StopCause cause);

    std::atomic<bool>& stopRequested_;
    std::array<Slot, kSlots> slots_{};
    int inputCount_ = 0;
    int selected_ = 0;
    int64_t startTime_ = 1000000000;
    bool live_ = false;

    QLineEdit *threads_, *startTimeField_, *threadNumber_, *lastActive_, *fileNumber_, *offset_, *positionFile_,
        *positionOffset_, *device_, *config_, *blockNumber_, *blockTime_, *restart_, *station_, *log_, *counter_,
        *message_;
    QCheckBox* waiting_;
    QLabel* waitingText_;  // when a waiting input looks for new data again
    QMessageBox* problems_ = nullptr;

    gui_common::FieldPoster<Report, Value, kSlots> reports_{
        *this, [this](Report kind, int input, const Value& value) { apply(kind, input, value); },
        std::chrono::milliseconds(50)};
    gui_common::WindowLog logSink_{*this,
                                   [this](const std::string& line) { reports_.post(Report::Message, {0, 0, line}); }};
    gui_common::Question stopQuestion_{*this, kStopQuestion};
    gui_common::StopWatcher watcher_{*this, [this](gui_common::StopCause cause) { stopAsked(cause); }};
};

/// "%2.2d:%2.2d:%2.2d %2.2d/%2.2d/%2.2d" of `seconds`, in local time or UTC.
QString formatTime(int64_t seconds, bool local);

}  // namespace velt::livemill::gui

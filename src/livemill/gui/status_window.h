// The converter's status window: for one selected input at a time it shows
// what the worker last reported (position, waiting, device, configuration,
// block and restart numbers, station, last log line). Prev/Next step through
// the inputs, Stop ends the program after a confirmation. Every close of the
// window (close button, Escape) goes through Stop.
#pragma once

#include <QDialog>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "livemill/livemill_config.h"

class QCheckBox;
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

    /// @brief `stopRequested` (not owned) is set when the operator confirms Stop.
    explicit StatusWindow(std::atomic<bool>& stopRequested, QWidget* parent = nullptr);

    /// @brief Replaces the Yes/No question (tests answer it themselves).
    void setConfirm(std::function<bool(const QString&)> confirm) { confirm_ = std::move(confirm); }

    void setInputCount(int count);
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
    /// @brief Asks the Stop question; on Yes leaves live, requests the stop and closes.
    void stop();
    void about();
    /// @brief Closes after the worker has already ended (nothing to confirm).
    void closeWithoutAsking();

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

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
        std::string station;
        std::string log;
    };
    bool accepts(int input) const { return live_ && input >= 0 && input < inputCount_; }
    bool isSelected(int input) const { return input == selected_; }
    QLineEdit* addField(const char* name);

    std::atomic<bool>& stopRequested_;
    std::function<bool(const QString&)> confirm_;
    std::array<Slot, kSlots> slots_{};
    int inputCount_ = 0;
    int selected_ = 0;
    int64_t startTime_ = 1000000000;
    bool live_ = false;
    bool closing_ = false;

    QLineEdit *threads_, *startTimeField_, *threadNumber_, *lastActive_, *fileNumber_, *offset_, *positionFile_,
        *positionOffset_, *device_, *config_, *blockNumber_, *blockTime_, *restart_, *station_, *log_, *counter_;
    QCheckBox* waiting_;
};

/// "%2.2d:%2.2d:%2.2d %2.2d/%2.2d/%2.2d" of `seconds`, in local time or UTC.
QString formatTime(int64_t seconds, bool local);

}  // namespace velt::livemill::gui

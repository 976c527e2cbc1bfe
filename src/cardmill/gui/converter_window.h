// The card converter's window "VELT archive file converter": the device
// list, the settings it works with, Start and Abort, and the status and
// progress lines. The conversion runs on a worker thread; its texts reach
// the window in batches (the newest of each line wins), so a long
// conversion never freezes the window. A message the conversion logs shows
// in the status line (and on standard error).
//
// Decisions taken here:
//  - The About text "cardmill Version 1.0" is behind Help > About, as in
//    every window of the station software.
//  - The hidden "Cancel" button of the original dialog is left out: it can
//    never be seen or pressed.
//  - The list holds kMaxDevices devices; the status line names the devices
//    left out (the command line converts them).
//  - The copy to the archive follows the conversion on the worker thread
//    and shows the file being copied; "Abort convertion" (or a signal)
//    during the copy lets the file being copied finish and stops there.
//  - Closing the window while converting is refused (Exit is disabled
//    then: Abort first); a signal aborts and closes once the worker ended.
#pragma once

#include <QWidget>

#include <atomic>
#include <string>
#include <vector>

#include "cardmill/card_conversion.h"
#include "cardmill/card_directory.h"
#include "cardmill/cardmill_settings.h"
#include "gui_common/field_poster.h"
#include "gui_common/stop_watcher.h"
#include "gui_common/window_log.h"
#include "gui_common/worker_job.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace velt::cardmill::gui {

class ConverterWindow final : public QWidget, private ConversionView {
    Q_OBJECT
public:
    /// @brief Works with the settings of `iniPath` (read again by "Read Device List").
    explicit ConverterWindow(std::string iniPath);
    ~ConverterWindow() override;

    /// @brief The text of the control named `name`, or the list lines joined by '\n' (for tests).
    QString text(const QString& name) const;
    bool converting() const { return worker_.running(); }

private:
    enum class Line { Status, Progress, Count };
    /// Aborts a conversion in progress and closes the window once it has ended.
    void stopSoon();
    void readSettings();
    void readDeviceList();
    void startConversion();
    void conversionEnded();
    void abortConversion();
    void showStatus(const std::string& text) override { lines_.post(Line::Status, text); }
    void showProgress(const std::string& text) override { lines_.post(Line::Progress, text); }
    void showCopying(bool on) override { copying_.store(on); }
    void showCopy(const CopyProgress& p) override;
    void showLine(Line line, const std::string& text);
    void stopAsked(gui_common::StopCause cause);

    std::string iniPath_;
    CardmillSettings settings_;
    std::vector<DeviceRange> devices_;
    QListWidget* list_ = nullptr;
    QLineEdit *inDir_ = nullptr, *archDir_ = nullptr, *outDir_ = nullptr, *seconds_ = nullptr;
    QPushButton *read_ = nullptr, *start_ = nullptr, *abort_ = nullptr, *exit_ = nullptr;
    QLabel *status_ = nullptr, *progress_ = nullptr;
    std::atomic<bool> abortRequested_{false};
    std::atomic<bool> copying_{false};
    std::atomic<bool> copyStop_{false};
    int copyShown_ = -1;  // the worker's own: the file last shown
    bool closeWhenDone_ = false;
    gui_common::FieldPoster<Line, std::string> lines_{
        *this, [this](Line line, int, const std::string& text) { showLine(line, text); }};
    gui_common::WindowLog log_{*this, [this](const std::string& line) { lines_.post(Line::Status, line); }};
    gui_common::WorkerJob worker_{*this};
    gui_common::StopWatcher watcher_{*this, [this](gui_common::StopCause cause) { stopAsked(cause); }};
};

/// @brief Runs the window until it is closed, or until SIGINT or SIGTERM
/// (the window watches them): a conversion in progress is then aborted
/// first. @return the exit status.
int runWindow(int& argc, char** argv, const std::string& iniPath);

}  // namespace velt::cardmill::gui

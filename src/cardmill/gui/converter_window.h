// The card converter's window "VELT archive file converter": the device
// list, the settings it works with, Start and Abort, and the status and
// progress lines. The conversion runs on a worker thread; its texts reach
// the window by queued calls (the newest of each line wins), so a long
// conversion never freezes the window.
//
// Decisions taken here:
//  - The desktop gives a program no system-menu entry of its own, so the
//    About text "cardmill Version 1.0" is behind an "About" button.
//  - The hidden "Cancel" button of the original dialog is left out: it can
//    never be seen or pressed.
//  - The list holds kMaxDevices devices; the status line names the devices
//    left out (the command line converts them).
//  - The copy to the archive follows the conversion on the worker thread
//    and shows the file being copied; "Abort convertion" (or a signal)
//    during the copy lets the file being copied finish and stops there.
#pragma once

#include <QWidget>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cardmill/card_conversion.h"
#include "cardmill/card_directory.h"
#include "cardmill/cardmill_settings.h"

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
    bool converting() const { return worker_.joinable(); }
    /// @brief Aborts a conversion in progress and closes the window once it has ended.
    void stopSoon();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void readSettings();
    void readDeviceList();
    void startConversion();
    void conversionEnded();
    void abortConversion();
    void showStatus(const std::string& text) override { post(0, text); }
    void showProgress(const std::string& text) override { post(1, text); }
    void showCopying(bool on) override { copying_.store(on); }
    void showCopy(const CopyProgress& p) override;
    void post(int line, const std::string& text);

    std::string iniPath_;
    CardmillSettings settings_;
    std::vector<DeviceRange> devices_;
    QListWidget* list_ = nullptr;
    QLineEdit *inDir_ = nullptr, *archDir_ = nullptr, *outDir_ = nullptr, *seconds_ = nullptr;
    QPushButton *read_ = nullptr, *start_ = nullptr, *abort_ = nullptr, *exit_ = nullptr;
    QLabel *status_ = nullptr, *progress_ = nullptr;
    std::thread worker_;
    std::atomic<bool> abortRequested_{false};
    std::atomic<bool> copying_{false};
    std::atomic<bool> copyStop_{false};
    int copyShown_ = -1;  // the worker's own: the file last shown
    bool closeWhenDone_ = false;
    std::mutex lock_;
    std::string pending_[2];
    bool queued_[2] = {false, false};
};

/// @brief Runs the window until it is closed, or until `stopRequested` is
/// set (by a signal): a conversion in progress is then aborted first.
/// @return the exit status.
int runWindow(int& argc, char** argv, const std::string& iniPath, const std::atomic<bool>& stopRequested);

}  // namespace velt::cardmill::gui

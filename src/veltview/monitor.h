// One recorder watched: the worker of the monitor program. It reads
// veltView.ini, builds and opens the link, learns the stream, and then, pass
// after pass, feeds every received byte to the receiver (and through it to
// the trace, the fields and both file writers), moves the panel image's
// write queue, polls the archive devices and executes the operator's
// commands from the key cell. A run ends on a stop request, when the
// operator asks for parameter editing (the dialogue runs, then a new run
// starts), or when the recorder goes away.
//
// Decisions taken here:
//  - A recorder that goes away (the link notices a closed or reset
//    connection, or an unplugged serial adapter) ends the run in order
//    (files written and closed) and a new run reconnects after a growing
//    pause: 1 s, 2 s, 4 s ... at most 30 s, shown on the window's link line.
//    Opening is retried the same way; the "Input Stream not opened" notice
//    is given once per run, not at every retry. A notice never waits for the
//    operator: the worker goes on with its retries at once, so nothing a
//    person has not read yet stops the recording.
//  - While the recorder's parameter screen is open the recorder is stopped;
//    the link line says so until monitoring resumes.
//  - The main loop sleeps on the link and a wake event (key presses and
//    stop requests signal it) when nothing has arrived, instead of polling
//    the link continuously: a watched recorder costs almost no processor time.
//  - The calibration entries of the panel menu send their command, as the
//    buttons do.
//  - There is no socket library to start on Linux, so "Socket initialization
//    failed" cannot happen.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "link/device_link.h"
#include "platform/clock.h"
#include "platform/wake_event.h"
#include "veltview/archive_writer.h"
#include "veltview/canvas.h"
#include "veltview/monitor_fields.h"
#include "veltview/panel_image.h"
#include "veltview/parameter_form.h"
#include "veltview/realtime_writer.h"
#include "veltview/receiver.h"
#include "veltview/recorder_commands.h"
#include "platform/settings_check.h"
#include "veltview/trace_display.h"
#include "veltview/writer_window.h"

namespace velt::veltview {

struct MonitorSettings {
    std::string device, deviceConfig, symbolicName;
    long autoPauseSeconds = -1;
    std::string imagePath = "./lcdeeprom.dat";
    std::string archivePath = "./arch.ini";
    std::string realtimePath;  // "" = no real-time files
    std::string httpListen;    // [HTTP] LISTEN, "ADDR:PORT" of the status page; "" = none
};

/// @brief veltView.ini (its VELTVIEW, LCDEEPROM, ARCHIVE, QDATACOL and HTTP sections).
MonitorSettings readMonitorSettings(const std::string& iniPath);

/// @brief Checks veltView.ini and the files it names before monitoring
/// starts: the file and its sections, INDEVICE naming a kind of link, a
/// card-archive or real-time settings file that is named but missing, their
/// sections, DESTDIR folders and FILESIZE values. Each problem is one line.
platform::SettingsCheck checkMonitorSettings(const std::string& iniPath);

/// What the worker shows beyond the drawing area and the fields.
class MonitorUi {
public:
    virtual ~MonitorUi() = default;
    /// @brief "%s: %s(%s)": symbolic name, device, device configuration.
    virtual void setDeviceLabel(const std::string& text) = 0;
    /// @brief The text beside the Pause button.
    virtual void setPauseText(const std::string& text) = 0;
    /// @brief Pause button caption ("Pause"/"Resume") and the scaling buttons' state.
    virtual void setPaused(bool paused) = 0;
    /// @brief The state of the link (connected, reconnecting in N s, why).
    virtual void setLinkText(const std::string& text) = 0;
    /// @brief A notice for the operator; returns at once, never waits for
    /// anyone to read it.
    virtual void showNotice(const std::string& text) = 0;
};

/// Operator command codes of the key cell.
namespace key_code {
constexpr int kChannel0 = 0x80, kUp = 0x90, kDown = 0x91, kVerticalIncrease = 0x92, kVerticalDecrease = 0x93,
              kAutoScale = 0x94, kScaleToActive = 0x95, kHorizontalIncrease = 0x96, kHorizontalDecrease = 0x97,
              kSaveScale = 0x98, kPause = 0x99, kResume = 0x9A, kPulse = 0x9B, kRandom = 0x9C, kCalibrationStop = 0x9D,
              kNextFile = 0x9E, kNextCard = 0x9F, kArchivePause = 0xA0, kArchiveResume = 0xA1;
constexpr int kPanelShift = 9;
}  // namespace key_code

class Monitor final : private PanelKeys {
public:
    static constexpr int kIdleWaitMs = 100;
    static constexpr int kMaxReconnectSeconds = 30;

    /// @brief Works in the settings of `iniPath`, draws on `canvas`; none owned.
    Monitor(std::string iniPath, Canvas& canvas, MonitorFields& fields, WriterWindow& writers, MonitorUi& ui,
            const platform::Clock& clock = platform::systemClock());
    ~Monitor() override;

    /// @brief Monitoring runs one after another until stop() (the worker
    /// thread); the first starts once setReady() was called.
    void run();
    /// @brief The window is built and may be drawn on (any thread).
    void setReady();
    /// @brief run() has ended: the last run closed its files (any thread).
    bool done() const { return done_.load(); }
    /// @brief Ends run() (any thread).
    void stop();
    /// @brief Puts an operator command into the key cell (any thread); a
    /// code not yet taken is replaced.
    void press(int code);

    bool stopping() const { return stop_.load(); }
    const ArchiveWriter& archive() const { return archive_; }
    /// @brief Longest sleep when nothing arrives (0: poll without sleeping).
    void setIdleWait(int milliseconds) { idleWaitMs_ = milliseconds; }
    const Receiver& receiver() const { return receiver_; }
    /// @brief Before run(): every sample row also goes to `sink` (not owned).
    void setSampleSink(SampleSink* sink) { receiver_.setSampleSink(sink); }
    int runs() const { return runs_.load(); }
    /// @brief With `on`, run() ends when INDEVICE names no link, instead of
    /// idling until stop() (a headless monitor has nobody to read the message).
    void setEndWithoutLink(bool on) { endWithoutLink_ = on; }
    /// @brief The last run found no link to build.
    bool linkMissing() const { return linkMissing_.load(); }

private:
    enum class RunEnd { Stopped, Edit, Dropped, NoLink };
    RunEnd monitoringRun();
    bool openLink(const MonitorSettings& settings);
    void execute(int code, bool& editRequested);
    void panelKey(int key, bool& editRequested);
    void menuAction(MenuAction action, bool& editRequested);
    void setPause(bool on, const char* why);
    void waitSeconds(int seconds);
    int nextKey(int milliseconds) override;

    std::string iniPath_;
    Canvas& canvas_;
    MonitorFields& fields_;
    MonitorUi& ui_;
    const platform::Clock& clock_;
    // The threads meet in these and the key cell only. A stop request also
    // ends the run in progress (there is no shutdown that stops one but
    // not the other, so one flag serves as both).
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<int> key_{0};
    platform::WakeEvent wake_;

    TraceDisplay display_;
    PanelImage image_;
    ArchiveWriter archive_;
    RealtimeWriter realtime_;
    Receiver receiver_;
    std::unique_ptr<link::DeviceLink> link_;
    std::string imagePath_;
    bool redrawFlag_ = false;
    bool paused_ = false;
    int64_t autoPauseAt_ = -1;
    int64_t shownPauseSeconds_ = -1;
    int reconnectSeconds_ = 1;
    int idleWaitMs_ = kIdleWaitMs;
    std::atomic<int> runs_{0};
    std::atomic<bool> linkMissing_{false};
    bool endWithoutLink_ = false;
};

}  // namespace velt::veltview

#include "veltview/monitor.h"

#include <algorithm>
#include <cstdio>

#include "link/link_factory.h"
#include "link/serial_link.h"
#include "link/socket_link.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "serve/seedlink_server.h"

namespace velt::veltview {

namespace {

constexpr const char* kWho = "veltview";

std::string path(const std::string& ini, const char* section, const char* fallback) {
    return platform::normaliseSeparators(platform::readProfileString(ini, section, "CONFIGFILE", fallback, 1000));
}

}  // namespace

MonitorSettings readMonitorSettings(const std::string& ini) {
    MonitorSettings s;
    s.device = platform::readProfileString(ini, "VELTVIEW", "INDEVICE", "", 100);
    s.deviceConfig = platform::readProfileString(ini, "VELTVIEW", "INDEVICECONFIGSTRING", "", 500);
    s.symbolicName = platform::readProfileString(ini, "VELTVIEW", "INDEVICESYMBOLICNAME", "", 100);
    s.autoPauseSeconds = platform::readProfileInt(ini, "VELTVIEW", "AUTOPAUSESEC", -1);
    s.imagePath = path(ini, "LCDEEPROM", ".\\lcdeeprom.dat");
    s.archivePath = path(ini, "ARCHIVE", ".\\arch.ini");
    s.realtimePath = path(ini, "QDATACOL", "");
    s.httpListen = platform::readProfileString(ini, "HTTP", "LISTEN", "", 256);
    return s;
}

namespace {

// FILESIZE of a writer's settings: absent is the default, anything else a positive byte count.
void checkFileSize(platform::SettingsCheck& check, const std::string& file) {
    const std::string text = platform::readProfileString(file, "COMMON", "FILESIZE", "", 30);
    if (!text.empty() && platform::leadingInteger(text) <= 0)
        check.add(platform::SettingsProblem{file, "COMMON", "FILESIZE", "'" + text + "': a number of bytes above 0"});
}

// A folder that is named must be there; an empty DESTDIR is the working folder.
void checkDestination(platform::SettingsCheck& check, const std::string& file, const std::string& section) {
    const std::string dir =
        platform::normaliseSeparators(platform::readProfileString(file, section, "DESTDIR", "", 1000));
    if (!dir.empty()) check.folder(file, section, "DESTDIR", dir);
}

}  // namespace

platform::SettingsCheck checkMonitorSettings(const std::string& ini) {
    platform::SettingsCheck check;
    if (!check.file(ini, "the monitor's settings; give their folder with --config DIR")) return check;
    check.sections(ini, {"VELTVIEW", "LCDEEPROM", "ARCHIVE", "QDATACOL", "HTTP"});
    const MonitorSettings s = readMonitorSettings(ini);
    std::string error;
    if (!link::makeDeviceLink(s.device, s.deviceConfig, error))
        check.add(platform::SettingsProblem{ini, "VELTVIEW", "INDEVICE", error});
    std::string host;
    uint16_t port = 0;
    if (!s.httpListen.empty() && !serve::parseListenAddress(s.httpListen, host, port, error))
        check.add(platform::SettingsProblem{ini, "HTTP", "LISTEN", error});
    // The card-archive settings may be absent at their default name (no
    // archiving); a name given on purpose must exist.
    const bool archiveNamed = !path(ini, "ARCHIVE", "").empty();
    if (platform::fileExists(s.archivePath) || archiveNamed) {
        if (check.file(s.archivePath, ini + " [ARCHIVE] CONFIGFILE names it")) {
            check.sections(s.archivePath, {"COMMON", "WORK", "ARCH0", "ARCH1", "ARCH2", "ARCH3"});
            for (int d = 0; d < kArchiveDevices; ++d) checkDestination(check, s.archivePath, "ARCH" + std::to_string(d));
            checkFileSize(check, s.archivePath);
        }
    }
    if (!s.realtimePath.empty() && check.file(s.realtimePath, ini + " [QDATACOL] CONFIGFILE names it")) {
        check.sections(s.realtimePath, {"COMMON", "WORK"});
        checkDestination(check, s.realtimePath, "COMMON");
        checkFileSize(check, s.realtimePath);
    }
    return check;
}

Monitor::Monitor(std::string iniPath, Canvas& canvas, MonitorFields& fields, WriterWindow& writers, MonitorUi& ui,
                 const platform::Clock& clock)
    : iniPath_(std::move(iniPath)),
      canvas_(canvas),
      fields_(fields),
      ui_(ui),
      clock_(clock),
      display_(canvas),
      archive_(writers, clock),
      realtime_(writers, clock),
      receiver_({display_, canvas, fields, &archive_, &realtime_, &image_, ""}) {}

Monitor::~Monitor() = default;

void Monitor::stop() {
    stop_.store(true);
    wake_.signal();
}

void Monitor::press(int code) {
    key_.store(code);  // a code not yet taken is replaced
    wake_.signal();
}

int Monitor::nextKey(int milliseconds) {
    const int code = key_.exchange(0);
    if (code != 0) return code;
    platform::waitFor(-1, 0, &wake_, milliseconds);
    wake_.consume();
    const int later = key_.exchange(0);
    return later != 0 ? later : -1;
}

void Monitor::waitSeconds(int seconds) {
    const int64_t until = clock_.now() + seconds;
    while (!stopping() && clock_.now() < until) {
        platform::waitFor(-1, 0, &wake_, 200);
        wake_.consume();
    }
}

void Monitor::setReady() {
    ready_.store(true);
    wake_.signal();
}

void Monitor::run() {
    while (!ready_.load() && !stopping()) {
        platform::waitFor(-1, 0, &wake_, 200);
        wake_.consume();
    }
    while (!stopping()) {
        const RunEnd end = monitoringRun();
        ++runs_;
        linkMissing_.store(end == RunEnd::NoLink);
        if (end == RunEnd::NoLink) {
            if (endWithoutLink_) break;
            while (!stopping()) waitSeconds(1);
        } else if (end == RunEnd::Dropped && !stopping()) {
            ui_.setLinkText("reconnecting in " + std::to_string(reconnectSeconds_) + " s");
            waitSeconds(reconnectSeconds_);
            reconnectSeconds_ = std::min(kMaxReconnectSeconds, reconnectSeconds_ * 2);
        }
    }
    image_.storeImage(imagePath_);
    done_.store(true);
}

bool Monitor::openLink(const MonitorSettings& settings) {
    bool told = false;
    int pause = 1;
    while (!stopping()) {
        if (link_->open() == 0) {
            ui_.setLinkText("connected to " + settings.device + " " + settings.deviceConfig);
            return true;
        }
        VELT_LOG_WARNING(kWho, "%s", link_->lastError().c_str());
        if (!told) {
            told = true;
            ui_.showNotice("Input Stream not opened");
        }
        ui_.setLinkText("Input Stream not opened: " + link_->lastError() + "; again in " + std::to_string(pause) + " s");
        waitSeconds(pause);
        pause = std::min(kMaxReconnectSeconds, pause * 2);
    }
    return false;
}

Monitor::RunEnd Monitor::monitoringRun() {
    const MonitorSettings settings = readMonitorSettings(iniPath_);
    ui_.setDeviceLabel(settings.symbolicName + ": " + settings.device + "(" + settings.deviceConfig + ")");
    autoPauseAt_ = settings.autoPauseSeconds > 0 ? clock_.now() + settings.autoPauseSeconds : -1;
    shownPauseSeconds_ = -1;
    imagePath_ = settings.imagePath;
    receiver_.setImagePath(imagePath_);
    archive_.startArchive(settings.archivePath);
    realtime_.startRealtime(settings.realtimePath);

    std::string why;
    link_ = link::makeDeviceLink(settings.device, settings.deviceConfig, why);
    if (!link_) {
        VELT_LOG_ERROR(kWho, "%s", why.c_str());
        ui_.showNotice("input stream have not been opened");
        archive_.stopArchive();
        realtime_.stopRealtime();
        return RunEnd::NoLink;
    }
    if (auto* socket = dynamic_cast<link::SocketLink*>(link_.get())) socket->setWakeEvent(&wake_);
    receiver_.startReception();
    RunEnd end = RunEnd::Stopped;
    if (openLink(settings)) {
        bool edit = false;
        uint8_t chunk[4096];
        while (!stopping() && !edit) {
            if (autoPauseAt_ >= 0) {
                const int64_t left = autoPauseAt_ - clock_.now();
                if (left <= 0) {
                    autoPauseAt_ = -1;
                    setPause(true, "Paused automatically");
                } else if (left != shownPauseSeconds_) {
                    shownPauseSeconds_ = left;
                    ui_.setPauseText("time to pause: " + std::to_string(left) + " sec");
                }
            }
            image_.queueStep();
            archive_.pollDevices();
            archive_.tick();
            realtime_.tick();
            if (link_->available() == 0) {
                const int code = key_.exchange(0);
                if (code != 0) {
                    execute(code, edit);
                    continue;
                }
                if (!link_->isOpen()) {
                    end = RunEnd::Dropped;
                    VELT_LOG_WARNING(kWho, "%s", link_->lastError().c_str());
                    ui_.setLinkText(link_->lastError());
                    break;
                }
                if (idleWaitMs_ > 0) {
                    link_->waitReadable(idleWaitMs_, &wake_);
                    wake_.consume();
                }
                continue;
            }
            reconnectSeconds_ = 1;  // the recorder answers again
            const int n = link_->read(chunk, int(sizeof chunk));
            for (int i = 0; i < n; ++i) receiver_.receiveByte(chunk[i]);
        }
        if (edit) end = RunEnd::Edit;
    }
    archive_.stopArchive();
    realtime_.stopRealtime();
    image_.storeImage(imagePath_);
    if (end == RunEnd::Edit && !stopping()) {
        if (auto* serial = dynamic_cast<link::SerialLink*>(link_.get())) serial->setReadChunk(1);
        canvas_.fillBox(0, 0, Canvas::kWidth - 1, Canvas::kHeight - 1, Ink::Background);
        CanvasStatus status(canvas_);
        RecorderCommands commands(*link_, status, stop_);
        FormScreen screen(canvas_, *this, stop_);
        ParameterSet parameters;
        ui_.setLinkText("recorder stopped while its parameters are edited");
        commands.editParameters(parameters, screen);
    }
    link_->close();
    link_.reset();
    return end;
}

void Monitor::setPause(bool on, const char* why) {
    paused_ = on;
    display_.freeze(on);
    ui_.setPaused(on);
    ui_.setPauseText(on ? why : "");
}

void Monitor::menuAction(MenuAction action, bool& edit) {
    CanvasStatus status(canvas_);
    RecorderCommands commands(*link_, status, stop_);
    switch (action) {
        case MenuAction::NextDevice: archive_.nextDevice(); break;
        case MenuAction::NextFile: archive_.nextFile(); break;
        case MenuAction::EditParameters: edit = true; break;
        case MenuAction::CalibrationPulse: commands.calibrate(Calibration::Pulse, display_.activeChannel()); break;
        case MenuAction::CalibrationRandom: commands.calibrate(Calibration::Random, display_.activeChannel()); break;
        case MenuAction::CalibrationStop: commands.calibrate(Calibration::Stop, display_.activeChannel()); break;
        case MenuAction::None: break;
    }
}

void Monitor::panelKey(int key, bool& edit) {
    using namespace key_code;
    if (key == kPanelShift) {
        display_.toggleShift();
        return;
    }
    if (display_.shifted()) {
        switch (key) {
            case 1: setPause(!paused_, "Paused manually"); break;
            case 2: display_.stepCardMenu(); break;
            case 3: execute(kUp, edit); break;
            case 4: display_.stepCalibrationMenu(); break;
            case 5: execute(kVerticalIncrease, edit); break;
            case 6: execute(kHorizontalIncrease, edit); break;
            case 7: execute(kAutoScale, edit); break;
            case 8: execute(kHorizontalDecrease, edit); break;
            case 10: execute(kVerticalDecrease, edit); break;
            case 11: execute(kDown, edit); break;
            case 12: display_.redraw(); break;
            default: break;
        }
        return;
    }
    switch (key) {
        case 1: execute(kScaleToActive, edit); break;
        case 2: case 3: case 4: execute(kChannel0 + key - 2, edit); break;
        case 5: menuAction(display_.runCardMenu(), edit); break;
        case 6: execute(kSaveScale, edit); break;
        case 8: menuAction(display_.runCalibrationMenu(), edit); break;
        case 10: receiver_.stepStatusMode(); break;
        case 12:
            // Every second press redraws.
            redrawFlag_ = !redrawFlag_;
            if (!redrawFlag_) display_.redraw();
            break;
        default: break;  // 7 and 11 do nothing without shift
    }
}

void Monitor::execute(int code, bool& edit) {
    using namespace key_code;
    if (code >= 1 && code <= 12) {
        panelKey(code, edit);
        return;
    }
    CanvasStatus status(canvas_);
    RecorderCommands commands(*link_, status, stop_);
    const bool scaling = !paused_;  // the scaling buttons are disabled while paused
    switch (code) {
        case kChannel0: case kChannel0 + 1: case kChannel0 + 2:
            if (scaling) display_.selectChannel(code - kChannel0);
            break;
        case kUp: if (scaling) display_.scale(ScaleCommand::Up); break;
        case kDown: if (scaling) display_.scale(ScaleCommand::Down); break;
        case kVerticalIncrease: if (scaling) display_.scale(ScaleCommand::VerticalIncrease); break;
        case kVerticalDecrease: if (scaling) display_.scale(ScaleCommand::VerticalDecrease); break;
        case kAutoScale: if (scaling) display_.scale(ScaleCommand::AutoScale); break;
        case kScaleToActive: if (scaling) display_.scale(ScaleCommand::ScaleToActive); break;
        case kHorizontalIncrease: if (scaling) display_.scale(ScaleCommand::HorizontalIncrease); break;
        case kHorizontalDecrease: if (scaling) display_.scale(ScaleCommand::HorizontalDecrease); break;
        case kSaveScale: if (scaling) image_.queueScale(display_); break;
        case kPause: setPause(true, "Paused manually"); break;
        case kResume: setPause(false, ""); break;
        case kPulse: commands.calibrate(Calibration::Pulse, display_.activeChannel()); break;
        case kRandom: commands.calibrate(Calibration::Random, display_.activeChannel()); break;
        case kCalibrationStop: commands.calibrate(Calibration::Stop, display_.activeChannel()); break;
        case kNextFile: archive_.nextFile(); break;
        case kNextCard: archive_.nextDevice(); break;
        default: break;  // the archive's Pause (A0/A1) and unknown codes do nothing
    }
    (void)edit;
}

}  // namespace velt::veltview

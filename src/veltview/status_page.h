// The headless monitor's status for its HTTP pages: it stands between the
// worker and the headless outputs (status fields, writers' states, link
// line), keeps a copy of what they show under a short lock and hands every
// call on; the HTTP server's thread builds /status.json, /metrics and
// /samples.json from copies, so a request never holds up the recording.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "serve/seedlink_server.h"
#include "veltview/monitor.h"
#include "veltview/monitor_fields.h"
#include "veltview/recent_samples.h"
#include "veltview/writer_window.h"

namespace velt::veltview {

class MonitorStatusPage final : public MonitorFields, public WriterWindow, public MonitorUi, public serve::StatusPages {
public:
    /// @brief Hands every call on to `fields`, `writers` and `ui` (not owned).
    MonitorStatusPage(MonitorFields& fields, WriterWindow& writers, MonitorUi& ui, const platform::Clock& clock);

    /// Where the receiver's sample rows go (Monitor::setSampleSink).
    SampleSink& samples() { return samples_; }

    void setField(Field field, const std::string& text) override;

    void setRealtimeCaption(const std::string& text) override { writers_.setRealtimeCaption(text); }
    void setRealtimeDirectory(const std::string& text) override { writers_.setRealtimeDirectory(text); }
    void setRealtimeFileNumber(const std::string& text) override;
    void setRealtimeBytes(const std::string& text) override;
    void setRealtimeState(const std::string& text) override;
    void setArchiveState(const std::string& text) override;
    void setDeviceDirectory(int device, const std::string& text) override { writers_.setDeviceDirectory(device, text); }
    void setDeviceChecked(int device, bool checked) override { writers_.setDeviceChecked(device, checked); }
    bool deviceChecked(int device) override { return writers_.deviceChecked(device); }
    void setDeviceDot(int device, int state) override { writers_.setDeviceDot(device, state); }

    void setDeviceLabel(const std::string& text) override { ui_.setDeviceLabel(text); }
    void setPauseText(const std::string& text) override { ui_.setPauseText(text); }
    void setPaused(bool paused) override { ui_.setPaused(paused); }
    void setLinkText(const std::string& text) override;
    void showNotice(const std::string& text) override { ui_.showNotice(text); }

    bool answer(std::string_view path, std::string_view query, serve::HttpAnswer& answer) override;
    std::string statusJson() const;
    std::string metricsText() const;

private:
    // What the page shows; copied whole for each answer.
    struct Shown {
        std::array<std::string, std::size_t(Field::Count)> fields;
        std::string linkState = "starting", linkText;
        int connects = 0;  // link made; each after the first is a reconnect
        std::string realtimeState = "off", realtimeFile, realtimeBytes, archiveState;
    };
    Shown copy() const;

    MonitorFields& fields_;
    WriterWindow& writers_;
    MonitorUi& ui_;
    const platform::Clock& clock_;
    const int64_t started_;
    mutable std::mutex mutex_;
    Shown shown_;
    RecentSamples samples_;
};

}  // namespace velt::veltview

// What the monitor's file writers show in the window (the "RTdata" and
// "Archive" groups) and read from it (the device check boxes). The Qt
// window implements it; MemoryWriterWindow keeps the values, for the
// headless monitor and for tests.
#pragma once

#include <array>
#include <string>

namespace velt::veltview {

/// The card archive's destination directories (devices), each with its check
/// box and state dot in the window.
constexpr int kArchiveDevices = 4;

class WriterWindow {
public:
    virtual ~WriterWindow() = default;
    virtual void setRealtimeCaption(const std::string& text) = 0;
    virtual void setRealtimeDirectory(const std::string& text) = 0;
    virtual void setRealtimeFileNumber(const std::string& text) = 0;
    virtual void setRealtimeBytes(const std::string& text) = 0;
    /// @brief What each writer is doing, in words: "writing", "waiting for
    /// folder <path>", "N bytes lost" (a writer's state).
    virtual void setRealtimeState(const std::string& text) = 0;
    virtual void setArchiveState(const std::string& text) = 0;
    virtual void setDeviceDirectory(int device, const std::string& text) = 0;
    virtual void setDeviceChecked(int device, bool checked) = 0;
    /// @brief The operator's tick of the device's check box.
    virtual bool deviceChecked(int device) = 0;
    /// @brief The state dot: 0 black (off), 1 green (ready), 2 red (used), 3 yellow (writing).
    virtual void setDeviceDot(int device, int state) = 0;
};

class MemoryWriterWindow final : public WriterWindow {
public:
    void setRealtimeCaption(const std::string& t) override { realtimeCaption = t; }
    void setRealtimeDirectory(const std::string& t) override { realtimeDirectory = t; }
    void setRealtimeFileNumber(const std::string& t) override { realtimeFileNumber = t; }
    void setRealtimeBytes(const std::string& t) override { realtimeBytes = t; }
    void setRealtimeState(const std::string& t) override { realtimeState = t; }
    void setArchiveState(const std::string& t) override { archiveState = t; }
    void setDeviceDirectory(int d, const std::string& t) override {
        if (d >= 0 && d < kArchiveDevices) deviceDirectory[std::size_t(d)] = t;
    }
    void setDeviceChecked(int d, bool c) override {
        if (d >= 0 && d < kArchiveDevices) checked[std::size_t(d)] = c;
    }
    bool deviceChecked(int d) override { return d >= 0 && d < kArchiveDevices && checked[std::size_t(d)]; }
    void setDeviceDot(int d, int state) override {
        if (d >= 0 && d < kArchiveDevices) dot[std::size_t(d)] = state;
    }

    std::string realtimeCaption, realtimeDirectory, realtimeFileNumber, realtimeBytes;
    std::string realtimeState, archiveState;
    std::array<std::string, kArchiveDevices> deviceDirectory;
    std::array<bool, kArchiveDevices> checked{};
    std::array<int, kArchiveDevices> dot{};
};

}  // namespace velt::veltview

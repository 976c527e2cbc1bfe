#include "veltview/recorder_commands.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace velt::veltview {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(int milliseconds) { return Clock::now() + std::chrono::milliseconds(milliseconds); }

int millisecondsUntil(Clock::time_point t) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

}  // namespace

std::string commandValue(const std::string& value) { return value.substr(0, value.find(' ')); }

RecorderCommands::RecorderCommands(link::DeviceLink& link, PanelStatus& panel, const std::atomic<bool>& stop,
                                   CommandTimings timings)
    : link_(link), panel_(panel), stop_(stop), timings_(timings) {}

void RecorderCommands::sendByte(uint8_t b) {
    if (link_.writeSpace() > 0) link_.write(&b, 1);
}

void RecorderCommands::sendText(const std::string& text) {
    const auto until = after(timings_.giveUpMs);
    for (const char c : text) {
        // The queues hold far more than any command: room comes at once
        // unless the link is stuck, and then the wait is bounded.
        while (link_.writeSpace() == 0 && !stopping() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const uint8_t b = uint8_t(c);
        link_.write(&b, 1);
    }
}

void RecorderCommands::sendBytes(const std::string& text) {
    for (const char c : text) sendByte(uint8_t(c));
}

bool RecorderCommands::waitPrompt() {
    const auto until = after(timings_.promptMs);
    for (;;) {
        while (link_.available() > 0)
            if (link_.readByte() == '>') return true;
        if (Clock::now() >= until) return false;
        link_.waitReadable(millisecondsUntil(until), nullptr);
    }
}

void RecorderCommands::drainInput() {
    while (link_.available() > 0) link_.readByte();
}

void RecorderCommands::drainFor(int milliseconds) {
    const auto until = after(milliseconds);
    do {
        drainInput();
        link_.waitReadable(millisecondsUntil(until), nullptr);
    } while (Clock::now() < until && !stopping());
    drainInput();
}

void RecorderCommands::shortPause() { std::this_thread::sleep_for(std::chrono::milliseconds(timings_.shortPauseMs)); }

void RecorderCommands::calibrate(Calibration what, int channel) {
    if (what == Calibration::Stop) {
        sendText("CLE\n");
        return;
    }
    if (channel < 0 || channel > 2) return;
    char text[8];
    std::snprintf(text, sizeof text, "CLB%1.1d%c\n", channel + 1, what == Calibration::Pulse ? 'P' : 'R');
    sendText(text);
}

int RecorderCommands::giveUp() {
    panel_.showStatus(kStatusLine, "recorder does not answer");
    return kNoAnswer;
}

int RecorderCommands::sendUntilPrompt(const std::string& line, bool drainFirst, bool pauseBetween) {
    const auto until = after(timings_.giveUpMs);
    for (;;) {
        if (stopping()) return kStopped;
        if (drainFirst) drainInput();
        sendBytes(line);
        if (waitPrompt()) return kDone;
        if (Clock::now() >= until) return giveUp();
        if (pauseBetween) shortPause();
    }
}

int RecorderCommands::stopAndReadConfiguration(ParameterSet& parameters) {
    panel_.showStatus(kStatusLine, "please wait ....");
    int rc = sendUntilPrompt("STOP\n", false, false);
    if (rc != kDone) return rc;
    drainFor(timings_.settleMs);

    ConfigurationAnswer answer(parameters);
    sendBytes("CNF?\n");
    answer.clear();
    const auto giveUpAt = after(timings_.giveUpMs);
    auto askAgainAt = after(timings_.answerMs);
    while (!answer.complete()) {
        if (stopping()) return kStopped;
        if (Clock::now() >= giveUpAt) return giveUp();
        if (Clock::now() >= askAgainAt) {
            sendBytes("CNF?\n");
            askAgainAt = after(timings_.answerMs);
        }
        link_.waitReadable(millisecondsUntil(askAgainAt), nullptr);
        while (link_.available() > 0 && !answer.complete()) answer.push(link_.readByte());
    }
    panel_.showStatus(kStatusLine, std::string(16, ' '));
    return kDone;
}

int RecorderCommands::save(const ParameterSet& p) {
    panel_.showStatus(kStepLine, "1        ");
    int rc = sendUntilPrompt("\n", true, false);
    if (rc == kDone) rc = sendUntilPrompt("STN=" + commandValue(p.station) + "\n", false, true);
    if (rc != kDone) return rc;
    shortPause();
    panel_.showStatus(kStepLine, "2       ");
    rc = sendUntilPrompt("CH0=" + commandValue(p.channels[0]) + "\n", false, true);
    if (rc != kDone) return rc;
    shortPause();
    rc = sendUntilPrompt("CH1=" + commandValue(p.channels[1]) + "\n", false, true);
    if (rc != kDone) return rc;
    shortPause();
    panel_.showStatus(kStepLine, "3       ");
    rc = sendUntilPrompt("CH2=" + commandValue(p.channels[2]) + "\n", false, true);
    if (rc != kDone) return rc;
    shortPause();
    panel_.showStatus(kStepLine, "4       ");
    rc = sendUntilPrompt("SPS=" + commandValue(p.rate) + "\n", false, true);
    if (rc != kDone) return rc;
    shortPause();
    drainInput();
    panel_.showStatus(kStepLine, "Saved!!!!");
    return kDone;
}

void RecorderCommands::restart() {
    sendBytes("\n\n\nRST\n");
    drainFor(timings_.restartDrainMs);
}

int RecorderCommands::editParameters(ParameterSet& parameters, ParameterScreen& screen) {
    int rc = stopAndReadConfiguration(parameters);
    if (rc == kDone && screen.edit(parameters)) rc = save(parameters);
    // The recorder is restarted whatever happened: it may have taken the STOP.
    restart();
    return rc;
}

}  // namespace velt::veltview

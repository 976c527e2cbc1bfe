// Every command the monitor sends to the recorder: the three calibration
// commands and the parameter-editing dialogue (stop the recorder, read its
// configuration, write it back, restart it), over any DeviceLink. Commands
// are ASCII lines ended by one line feed; the recorder's prompt is '>'.
//
// Decisions taken here:
//  - The poll counts and CPU delay loops the recorder's protocol was first
//    written with become timed waits of comparable length (CommandTimings),
//    which sleep on the link instead of spinning a core.
//  - Every resend loop also ends when monitoring is asked to stop, and a
//    recorder that never answers does not hang the monitor: after
//    `giveUpMs` without the awaited answer the dialogue says so on the
//    panel's status line 29 and returns kNoAnswer; monitoring then restarts.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "link/device_link.h"
#include "veltview/configuration_answer.h"

namespace velt::veltview {

/// The two status lines of the panel the dialogue writes to.
class PanelStatus {
public:
    virtual ~PanelStatus() = default;
    /// @brief Shows `text` at the start of panel line `line` (28 or 29).
    virtual void showStatus(int line, const std::string& text) = 0;
};

/// The parameter screen: lets the operator edit `parameters`.
class ParameterScreen {
public:
    virtual ~ParameterScreen() = default;
    /// @brief Runs until the operator chooses. @return true for SAVE, false
    /// for CANCEL or a stop request.
    virtual bool edit(ParameterSet& parameters) = 0;
};

struct CommandTimings {
    int promptMs = 200;          // one prompt wait (10000 polls)
    int shortPauseMs = 20;       // between a failed attempt and the next (120000 loop steps)
    int settleMs = 100;          // draining after the recorder stopped (100000 polls)
    int answerMs = 1000;         // the CNF? answer before it is asked again (1000001 polls)
    int restartDrainMs = 1000;   // draining after the restart command (1000 x 1 ms)
    int giveUpMs = 15000;        // a recorder silent this long is given up
};

enum class Calibration { Pulse, Random, Stop };

class RecorderCommands final {
public:
    static constexpr int kStatusLine = 29;
    static constexpr int kStepLine = 28;
    static constexpr int kDone = 0;
    static constexpr int kStopped = -1;   // monitoring was asked to stop
    static constexpr int kNoAnswer = -2;  // the recorder did not answer in time

    /// @brief Uses `link`, `panel` and `stop` (none owned; they outlive this).
    RecorderCommands(link::DeviceLink& link, PanelStatus& panel, const std::atomic<bool>& stop,
                     CommandTimings timings = {});

    /// @brief Writes `b` when the transmit queue has room, else drops it.
    void sendByte(uint8_t b);
    /// @brief Writes `text` a character at a time, waiting for room.
    void sendText(const std::string& text);
    /// @brief Reads and discards until '>' arrives. @return true when it did
    /// within one prompt wait.
    bool waitPrompt();
    /// @brief Discards whatever has arrived.
    void drainInput();
    /// @brief The pause between a failed attempt and the next.
    void shortPause();

    /// @brief "CLB%dP\n", "CLB%dR\n" (channel 0..2 as the digit 1..3) or "CLE\n".
    void calibrate(Calibration what, int channel);

    /// @brief The whole parameter-editing dialogue: stop the recorder, read
    /// its configuration into `parameters`, let `screen` edit it, save on
    /// SAVE, restart the recorder. @return kDone, kStopped or kNoAnswer.
    int editParameters(ParameterSet& parameters, ParameterScreen& screen);
    /// @brief Steps up to the complete CNF? answer. @return kDone, kStopped or kNoAnswer.
    int stopAndReadConfiguration(ParameterSet& parameters);
    /// @brief The save sequence. @return kDone, kStopped or kNoAnswer.
    int save(const ParameterSet& parameters);
    /// @brief "\n\n\nRST\n", then about a second of draining.
    void restart();

private:
    /// Sends `line` byte by byte and waits for the prompt, again after a
    /// short pause until it comes. @return kDone, kStopped or kNoAnswer.
    int sendUntilPrompt(const std::string& line, bool drainFirst, bool pauseBetween);
    void sendBytes(const std::string& text);
    void drainFor(int milliseconds);
    bool stopping() const { return stop_.load(); }
    int giveUp();

    link::DeviceLink& link_;
    PanelStatus& panel_;
    const std::atomic<bool>& stop_;
    CommandTimings timings_;
};

/// @brief The value of an "=" command: up to its first space or its end.
std::string commandValue(const std::string& value);

}  // namespace velt::veltview

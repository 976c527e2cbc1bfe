// The drawing area's trace plot: three channel bands swept left to right,
// S seconds a sweep, each sample row drawn as one short line per channel
// (never a redraw of the whole plot), with erase-ahead clearing the columns
// in front of the cursor; per-channel scaling with its "m:"/"d:" labels;
// the panel texts the plot owns (" %ds" on row 28, the channel menus and
// the shift layer's indicator on row 29).
//
// Decisions taken here:
//  - Clearing the panel clears the whole 480 x 360 area, not only its
//    upper-left 320 x 240, which would leave stale pixels to the right and
//    below.
//  - The top tick strip is cleared from y 13 to 14: clearing down to 15, the
//    frame's top line, would wipe that line at every redraw.
//  - The calibration entries of the on-panel menu return the calibration
//    they name, and the monitor sends it like the buttons do: an operator
//    who picks "7 - calib pulse" expects a pulse.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "veltview/canvas.h"

namespace velt::veltview {

enum class ScaleCommand { Up, Down, VerticalIncrease, VerticalDecrease, AutoScale, ScaleToActive,
                          HorizontalIncrease, HorizontalDecrease };

enum class MenuAction { None, NextDevice, NextFile, EditParameters, CalibrationPulse, CalibrationRandom,
                        CalibrationStop };

struct ChannelScale {
    int32_t low = -1000;
    int32_t high = 1000;
    int32_t span = 2000;
    bool set = false;
    int lastY = 0;
};

class TraceDisplay final {
public:
    // Geometry of the plot, in drawing-area pixels.
    static constexpr int kFrameLeft = 12, kFrameTop = 15, kFrameRight = 479, kFrameBottom = 330;
    static constexpr int kSeparator1 = 120, kSeparator2 = 225;
    static constexpr std::array<int, 3> kBandTop{16, 121, 226};
    static constexpr std::array<int, 3> kBandBottom{119, 224, 329};
    static constexpr int kFirstColumn = 13, kLastColumn = 478;
    static constexpr int kColumns = kLastColumn - kFirstColumn;  // 465 steps across
    static constexpr int kBandHeight = 102;                        // o of a value at the high limit
    static constexpr int kTopTickFirst = 13, kTopTickLast = 14, kBottomTickFirst = 331, kBottomTickLast = 333;
    static constexpr int kEraseStep = 12;
    static constexpr int kLimitBound = 300000000;
    static constexpr int kMinSeconds = 5, kMaxSeconds = 2560;
    static constexpr int kTimeRow = 28, kStatusRow = 29, kMenuColumn = 22, kMenuChars = 16, kShiftColumn = 38;

    /// @brief Draws on `canvas` (not owned).
    explicit TraceDisplay(Canvas& canvas) : canvas_(canvas) {}

    /// @brief After the block length is learned or the rate changes: clears
    /// the panel, draws frame and ticks, resets the sweep, channel 2 active.
    void resetDisplay(int samplesPerSecond);
    /// @brief One sample row of the three channels.
    void addRow(const int32_t values[3]);
    /// @brief Once per good block. @return true when a new sweep begins and
    /// the block time belongs on row 28.
    bool blockDone();
    /// @brief Ignored beyond +-300000000 and when `low` > `high`; equal
    /// limits are widened by one each way.
    void setLimits(int channel, int32_t low, int32_t high);
    void selectChannel(int channel);
    void scale(ScaleCommand command);
    void freeze(bool on);
    /// @brief The panel's shift layer (key 9) and its "Sh" indicator on row
    /// 29; a display reset turns it off with the indicator.
    void setShift(bool on);
    void toggleShift() { setShift(!shift_); }
    bool shifted() const { return shift_; }
    /// @brief Clears the bands and starts a new sweep at the next block.
    void redraw();

    void stepCardMenu();
    MenuAction runCardMenu();
    void stepCalibrationMenu();
    MenuAction runCalibrationMenu();

    /// @brief Seconds per sweep and limits (for "Save scale info"), and what
    /// the panel parameter image restores.
    int secondsPerSweep() const { return seconds_; }
    void setSecondsPerSweep(int seconds);
    const ChannelScale& channel(int c) const { return channels_[std::size_t(c)]; }
    int activeChannel() const { return active_; }
    int cursorX() const { return x_; }
    bool frozen() const { return frozen_; }

private:
    void clearPanel();
    void drawFrame();
    void drawTicks();
    void resetSweep();
    void showSeconds();
    void eraseColumns(int from, int to);
    void showMenu(const char* const entries[4], int step);

    Canvas& canvas_;
    std::array<ChannelScale, 3> channels_{};
    int active_ = 2;
    int seconds_ = 10;
    int rate_ = 100;
    int rowsPerSweep_ = 1000;
    int step_ = 0, remainder_ = 0, accumulator_ = 0;
    int x_ = kFrameLeft;
    int erase_ = kFirstColumn;
    int counter_ = -1;
    bool sweepActive_ = false;
    bool firstRow_ = true;
    bool frozen_ = false;
    bool shift_ = false;
    enum class Auto { Off, Armed, Tracking } auto_ = Auto::Off;
    int32_t trackMin_ = 0, trackMax_ = 0;
    int cardMenu_ = 0, calibrationMenu_ = 0;
};

}  // namespace velt::veltview

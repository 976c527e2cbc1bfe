#include "veltview/trace_display.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace velt::veltview {

namespace {

const char* const kCardMenu[4] = {"4 - next card", "4 - next file", "4 - mmc pause", "4 - mmc renew"};
const char* const kCalibrationMenu[4] = {"7 - par.s edit", "7 - calib pulse", "7 - calib rand", "7 - calib stop"};

std::string formatLong(const char* format, long value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

void TraceDisplay::clearPanel() { canvas_.fillBox(0, 0, Canvas::kWidth - 1, Canvas::kHeight - 1, Ink::Background); }

void TraceDisplay::drawFrame() {
    canvas_.drawLine(kFrameLeft, kFrameTop, kFrameRight, kFrameTop, Ink::Foreground);
    canvas_.drawLine(kFrameRight, kFrameTop, kFrameRight, kFrameBottom, Ink::Foreground);
    canvas_.drawLine(kFrameRight, kFrameBottom, kFrameLeft, kFrameBottom, Ink::Foreground);
    canvas_.drawLine(kFrameLeft, kFrameBottom, kFrameLeft, kFrameTop, Ink::Foreground);
    canvas_.drawLine(kFrameLeft, kSeparator1, kFrameRight, kSeparator1, Ink::Foreground);
    canvas_.drawLine(kFrameLeft, kSeparator2, kFrameRight, kSeparator2, Ink::Foreground);
}

void TraceDisplay::drawTicks() {
    canvas_.fillBox(kFrameLeft, kTopTickFirst, kFrameRight, kTopTickLast, Ink::Background);
    canvas_.fillBox(kFrameLeft, kBottomTickFirst, kFrameRight, kBottomTickLast, Ink::Background);
    const int spacing = kColumns / seconds_, rest = kColumns % seconds_;
    int x = kFirstColumn, accumulator = 0;
    for (int i = 0; i <= seconds_; ++i) {
        canvas_.drawLine(x, kTopTickFirst, x, kTopTickFirst + 1, Ink::Foreground);
        canvas_.drawLine(x, kBottomTickFirst, x, kBottomTickFirst + 1, Ink::Foreground);
        x += spacing;
        accumulator += rest;
        if (accumulator >= seconds_) {
            accumulator -= seconds_;
            ++x;
        }
    }
}

void TraceDisplay::showSeconds() {
    const std::string text = formatLong(" %lds", seconds_);
    canvas_.putText(Canvas::kColumns - int(text.size()), kTimeRow, text);
}

void TraceDisplay::resetSweep() {
    rowsPerSweep_ = std::max(1, rate_ * seconds_);
    step_ = kColumns / rowsPerSweep_;
    remainder_ = kColumns % rowsPerSweep_;
    accumulator_ = 0;
    x_ = kFrameLeft;
    erase_ = kFirstColumn;
    counter_ = -1;
    firstRow_ = true;
}

void TraceDisplay::resetDisplay(int samplesPerSecond) {
    rate_ = samplesPerSecond > 0 ? samplesPerSecond : 1;
    clearPanel();
    drawFrame();
    drawTicks();
    resetSweep();
    canvas_.setRateText(std::to_string(samplesPerSecond));
    showSeconds();
    selectChannel(2);
    setShift(false);
}

void TraceDisplay::setShift(bool on) {
    shift_ = on;
    canvas_.putText(kShiftColumn, kStatusRow, on ? "Sh" : "  ");
}

void TraceDisplay::eraseColumns(int from, int to) {
    if (frozen_) return;
    to = std::min(to, kLastColumn);
    for (int c = 0; c < 3; ++c) canvas_.fillBox(from, kBandTop[std::size_t(c)], to, kBandBottom[std::size_t(c)], Ink::Background);
}

void TraceDisplay::addRow(const int32_t values[3]) {
    if (!sweepActive_) return;
    int newX = x_ + step_;
    accumulator_ += remainder_;
    if (accumulator_ >= rowsPerSweep_) {
        accumulator_ -= rowsPerSweep_;
        ++newX;
    }
    if (newX >= erase_ && (newX <= 300 || erase_ > 74)) {
        eraseColumns(erase_, erase_ + kEraseStep);
        erase_ = std::min(erase_ + kEraseStep, kLastColumn);
        if (erase_ == kLastColumn) {
            eraseColumns(kFirstColumn, kFirstColumn + kEraseStep);
            erase_ = kFirstColumn + kEraseStep;
        }
    }
    if (auto_ == Auto::Tracking) {
        trackMin_ = std::min(trackMin_, values[active_]);
        trackMax_ = std::max(trackMax_, values[active_]);
    }
    for (int c = 0; c < 3; ++c) {
        ChannelScale& s = channels_[std::size_t(c)];
        const int64_t value = std::clamp<int64_t>(values[c], s.low, s.high);
        const int64_t v = value - s.low;
        const int64_t span = s.span > 0 ? s.span : 1;
        // Large spans: the product would not fit the recorder's 32-bit arithmetic.
        const int64_t o = std::llabs(v) > 2999999 ? (v / 100) * kBandHeight / std::max<int64_t>(1, span / 100)
                                                   : v * kBandHeight / span;
        const int y = kBandBottom[std::size_t(c)] - int(o);
        if (!firstRow_ && !frozen_) {
            if (newX == x_ && y == s.lastY) canvas_.setDot(x_, y, Ink::Foreground);
            else canvas_.drawLine(x_, s.lastY, newX, y, Ink::Foreground);
        }
        s.lastY = y;
    }
    firstRow_ = false;
    x_ = newX;
}

bool TraceDisplay::blockDone() {
    if (auto_ == Auto::Tracking) {
        auto_ = Auto::Off;
        // No row was tracked (a redraw or a pause stopped the sweep): there
        // is nothing to scale to, and the start values would invert the limits.
        if (trackMin_ <= trackMax_) setLimits(active_, trackMin_, trackMax_);
    } else if (auto_ == Auto::Armed) {
        auto_ = Auto::Tracking;
        trackMin_ = 2100000000;
        trackMax_ = -2100000000;
    }
    ++counter_;
    const bool wasActive = sweepActive_;
    sweepActive_ = true;
    if (counter_ >= seconds_) {
        x_ = kFrameLeft;
        counter_ = 0;
        accumulator_ = 0;
        erase_ = 15;
        return true;
    }
    return !wasActive;  // the first block of a sweep after a redraw shows its time too
}

void TraceDisplay::setLimits(int channel, int32_t low, int32_t high) {
    if (channel < 0 || channel > 2 || low > high || low < -kLimitBound || high > kLimitBound) return;
    if (low == high) {
        --low;
        ++high;
    }
    ChannelScale& s = channels_[std::size_t(channel)];
    s.low = low;
    s.high = high;
    s.span = high - low;
    s.set = true;
    canvas_.setScaleLabels(channel, formatLong("m:%ld", long((int64_t(high) + low) / 2)),
                           formatLong("d:%ld", long((int64_t(high) - low) / 2)));
}

void TraceDisplay::selectChannel(int channel) {
    if (channel < 0 || channel > 2) return;
    active_ = channel;
    canvas_.setActiveChannel(channel);
}

void TraceDisplay::setSecondsPerSweep(int seconds) { seconds_ = std::clamp(seconds, kMinSeconds, kMaxSeconds); }

void TraceDisplay::scale(ScaleCommand command) {
    const ChannelScale a = channels_[std::size_t(active_)];
    const int64_t centre = (int64_t(a.high) + a.low) / 2;
    const auto limits = [&](int64_t low, int64_t high) {
        // Out of 32 bits means out of the +-300000000 bounds: ignored there.
        if (low < INT32_MIN || high > INT32_MAX) return;
        setLimits(active_, int32_t(low), int32_t(high));
    };
    switch (command) {
        case ScaleCommand::Up: limits(int64_t(a.low) - a.span / 4, int64_t(a.high) - a.span / 4); break;
        case ScaleCommand::Down: limits(int64_t(a.low) + a.span / 4, int64_t(a.high) + a.span / 4); break;
        case ScaleCommand::VerticalIncrease:
            if (a.span >= 3) limits(centre - a.span / 4, centre + a.span / 4);
            break;
        case ScaleCommand::VerticalDecrease:
            if (a.span <= 29999999) limits(centre - a.span, centre + a.span);
            break;
        case ScaleCommand::AutoScale: auto_ = Auto::Armed; break;
        case ScaleCommand::ScaleToActive:
            for (int c = 0; c < 3; ++c) {
                if (c == active_) continue;
                const ChannelScale& s = channels_[std::size_t(c)];
                const int64_t middle = (int64_t(s.high) + s.low) / 2, half = (int64_t(a.high) - a.low) / 2;
                if (middle - half >= INT32_MIN && middle + half <= INT32_MAX)
                    setLimits(c, int32_t(middle - half), int32_t(middle + half));
            }
            break;
        case ScaleCommand::HorizontalIncrease:
            seconds_ *= 2;
            if (seconds_ > 2558 && seconds_ != kMaxSeconds) seconds_ = kMaxSeconds;
            redraw();
            break;
        case ScaleCommand::HorizontalDecrease:
            seconds_ = std::max(kMinSeconds, seconds_ / 2);
            redraw();
            break;
    }
}

void TraceDisplay::redraw() {
    sweepActive_ = false;
    for (int c = 0; c < 3; ++c)
        canvas_.fillBox(kFirstColumn, kBandTop[std::size_t(c)], kLastColumn, kBandBottom[std::size_t(c)], Ink::Background);
    drawTicks();
    showSeconds();
    resetSweep();
}

void TraceDisplay::freeze(bool on) {
    const bool was = frozen_;
    frozen_ = on;
    if (was && !on) redraw();
}

void TraceDisplay::showMenu(const char* const entries[4], int step) {
    canvas_.putText(kMenuColumn, kStatusRow, std::string(kMenuChars, ' '));
    if (step > 0) canvas_.putText(kMenuColumn, kStatusRow, entries[step - 1]);
}

void TraceDisplay::stepCardMenu() {
    calibrationMenu_ = 0;
    cardMenu_ = (cardMenu_ + 1) % 5;
    showMenu(kCardMenu, cardMenu_);
}

MenuAction TraceDisplay::runCardMenu() {
    const int step = cardMenu_;
    cardMenu_ = 0;
    showMenu(kCardMenu, 0);
    return step == 1 ? MenuAction::NextDevice : step == 2 ? MenuAction::NextFile : MenuAction::None;
}

void TraceDisplay::stepCalibrationMenu() {
    cardMenu_ = 0;
    calibrationMenu_ = (calibrationMenu_ + 1) % 5;
    showMenu(kCalibrationMenu, calibrationMenu_);
}

MenuAction TraceDisplay::runCalibrationMenu() {
    const int step = calibrationMenu_;
    calibrationMenu_ = 0;
    showMenu(kCalibrationMenu, 0);
    switch (step) {
        case 1: return MenuAction::EditParameters;
        case 2: return MenuAction::CalibrationPulse;
        case 3: return MenuAction::CalibrationRandom;
        case 4: return MenuAction::CalibrationStop;
        default: return MenuAction::None;
    }
}

}  // namespace velt::veltview

// The trace plot on the pixel canvas, against coordinates worked out by hand
// from the plot's geometry: frame 12..479 x 15..330, bands 16..119,
// 121..224, 226..329, columns 13..478, ticks 465 / S apart.
#include <gtest/gtest.h>

#include "veltview/canvas.h"
#include "veltview/trace_display.h"

namespace velt::veltview {
namespace {

class TraceDisplayTest : public ::testing::Test {
protected:
    PixelCanvas canvas;
    TraceDisplay display{canvas};
};

TEST_F(TraceDisplayTest, ResetDrawsFrameTicksAndLabels) {
    display.resetDisplay(100);
    for (const auto& [x, y] : {std::pair{12, 15}, {479, 15}, {479, 330}, {12, 330}, {200, 120}, {200, 225}, {300, 15}})
        EXPECT_TRUE(canvas.ink(x, y)) << x << "," << y;
    EXPECT_FALSE(canvas.ink(200, 119));
    // S = 10: marks at 13, 59, 106, ..., 478 (46 apart, the 5 left over spread).
    for (int x : {13, 59, 106, 478})
        for (int y : {13, 14, 331, 332}) EXPECT_TRUE(canvas.ink(x, y)) << x << "," << y;
    EXPECT_FALSE(canvas.ink(60, 13));
    EXPECT_FALSE(canvas.ink(59, 333));
    EXPECT_EQ(canvas.row(28).substr(36), " 10s");
    EXPECT_EQ(canvas.rateText(), "100");
    EXPECT_EQ(canvas.activeChannel(), 2);
}

TEST_F(TraceDisplayTest, ASweepOf1000RowsCrosses465ColumnsAndClampsToTheBand) {
    display.resetDisplay(100);
    for (int c = 0; c < 3; ++c) display.setLimits(c, -1000, 1000);
    EXPECT_TRUE(display.blockDone());
    const int32_t row[3] = {2000, -5000, 0};  // above, below and in the middle
    for (int i = 0; i < 1000; ++i) display.addRow(row);
    EXPECT_EQ(display.cursorX(), 477);
    // Above the high limit: the band's top line (119 - 102); at the low
    // limit: its bottom line; 0 on -1000..1000: 329 - 1000 * 102 / 2000.
    for (int x : {30, 100, 465}) {
        EXPECT_TRUE(canvas.ink(x, 17)) << x;
        EXPECT_TRUE(canvas.ink(x, 224)) << x;
        EXPECT_TRUE(canvas.ink(x, 278)) << x;
        EXPECT_FALSE(canvas.ink(x, 18)) << x;
    }
    // The end of the sweep already cleared columns 13..25 for the next one.
    EXPECT_FALSE(canvas.ink(20, 17));
    EXPECT_TRUE(canvas.ink(27, 17));
    // Ten blocks end the sweep: the cursor goes back, and the new sweep
    // erases 12 columns ahead of it (15..27 once it reaches column 15).
    for (int b = 1; b < 10; ++b) EXPECT_FALSE(display.blockDone());
    EXPECT_TRUE(display.blockDone());
    EXPECT_EQ(display.cursorX(), 12);
    const int32_t quiet[3] = {0, 0, 0};
    while (display.cursorX() < 15) display.addRow(quiet);
    EXPECT_FALSE(canvas.ink(27, 17));
    EXPECT_TRUE(canvas.ink(40, 17));
}

TEST(TraceDisplayCost, ARowCostsOneLinePerChannelAndNothingWhileFrozen) {
    RecordingCanvas canvas;
    TraceDisplay display(canvas);
    display.resetDisplay(100);
    display.blockDone();
    const int32_t row[3] = {1, 2, 3};
    display.addRow(row);  // the first row of a sweep only takes its place
    canvas.counts = {};
    for (int i = 0; i < 100; ++i) display.addRow(row);
    EXPECT_EQ(canvas.counts.lines + canvas.counts.dots, 300);
    EXPECT_LE(canvas.counts.boxes, 3 * 5);  // a few erase steps, never the whole plot
    display.freeze(true);
    canvas.counts = {};
    for (int i = 0; i < 100; ++i) display.addRow(row);
    EXPECT_EQ(canvas.counts.lines + canvas.counts.dots + canvas.counts.boxes, 0);
}

TEST_F(TraceDisplayTest, ScalingCommandsKeepTheirBounds) {
    display.resetDisplay(100);
    display.setLimits(2, 5, 5);
    EXPECT_EQ(display.channel(2).low, 4);
    EXPECT_EQ(display.channel(2).high, 6);
    EXPECT_EQ(canvas.middleLabel(2), "m:5");
    EXPECT_EQ(canvas.halfLabel(2), "d:1");
    display.setLimits(2, 0, 2);
    display.scale(ScaleCommand::VerticalIncrease);  // a span of 2 is as small as it gets
    EXPECT_EQ(display.channel(2).high, 2);
    display.setLimits(2, 0, 100);
    display.scale(ScaleCommand::Up);
    EXPECT_EQ(display.channel(2).low, -25);
    display.setLimits(2, -300000001, 0);  // beyond the bounds: ignored
    EXPECT_EQ(display.channel(2).low, -25);
    display.setLimits(0, 1000, 3000);
    display.scale(ScaleCommand::ScaleToActive);
    EXPECT_EQ(display.channel(0).low, 2000 - 50);
    EXPECT_EQ(display.channel(0).high, 2000 + 50);

    display.setSecondsPerSweep(2000);
    display.scale(ScaleCommand::HorizontalIncrease);
    EXPECT_EQ(display.secondsPerSweep(), 2560);
    display.setSecondsPerSweep(6);
    display.scale(ScaleCommand::HorizontalDecrease);
    EXPECT_EQ(display.secondsPerSweep(), 5);
    EXPECT_EQ(canvas.row(28).substr(37), " 5s");

    // AutoScale: armed at one block end, tracks the next block, applied at its end.
    display.selectChannel(1);
    display.scale(ScaleCommand::AutoScale);
    display.blockDone();
    for (int32_t v : {-7, 30, 12}) {
        const int32_t row[3] = {0, v, 0};
        display.addRow(row);
    }
    display.blockDone();
    EXPECT_EQ(display.channel(1).low, -7);
    EXPECT_EQ(display.channel(1).high, 30);
    // Horiz. Dec right after AutoScale: the redraw leaves no row tracked,
    // and the limits stay as they were instead of being inverted.
    display.scale(ScaleCommand::AutoScale);
    display.blockDone();
    display.scale(ScaleCommand::HorizontalDecrease);
    display.blockDone();
    EXPECT_EQ(display.channel(1).low, -7);
    EXPECT_EQ(display.channel(1).high, 30);
}

TEST_F(TraceDisplayTest, PanelMenusStepAndRun) {
    display.resetDisplay(100);
    display.stepCalibrationMenu();
    EXPECT_EQ(canvas.row(29).substr(22, 16), "7 - par.s edit  ");
    display.stepCalibrationMenu();
    EXPECT_EQ(display.runCalibrationMenu(), MenuAction::CalibrationPulse);
    EXPECT_EQ(canvas.row(29).substr(22, 16), std::string(16, ' '));
    for (int i = 0; i < 5; ++i) display.stepCardMenu();  // past the fourth entry: blank
    EXPECT_EQ(display.runCardMenu(), MenuAction::None);
    display.stepCardMenu();
    display.stepCardMenu();
    EXPECT_EQ(canvas.row(29).substr(22, 16), "4 - next file   ");
    display.stepCalibrationMenu();  // the other menu goes blank
    EXPECT_EQ(display.runCardMenu(), MenuAction::None);
    // A display reset turns the shift layer off with its indicator.
    display.toggleShift();
    EXPECT_EQ(canvas.row(29).substr(38, 2), "Sh");
    display.resetDisplay(100);
    EXPECT_FALSE(display.shifted());
    EXPECT_EQ(canvas.row(29).substr(38, 2), "  ");
}

}  // namespace
}  // namespace velt::veltview

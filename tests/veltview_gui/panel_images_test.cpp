// The drawing area on the window's canvas: a sweep of the simulated signal
// on all three channels and a panel menu, saved as PNG images beside the
// test programs for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>

#include <algorithm>
#include <array>
#include <vector>

#include "recorder/signal_generator.h"
#include "support/gui_test.h"
#include "veltview/gui/qt_canvas.h"
#include "veltview/parameter_form.h"
#include "veltview/trace_display.h"

namespace velt::veltview::gui {
namespace {

QString imagePath(const char* name) { return QString(VELT_BIN_DIR) + "/../" + name; }

TEST(PanelImages, SweepOfTheSimulatedSignalAndAMenu) {
    QtCanvas canvas;
    TraceDisplay display(canvas);
    constexpr int kRate = 100;
    display.resetDisplay(kRate);
    recorder::SignalGenerator signal(7);
    std::vector<std::array<int32_t, 3>> rows(kRate * 11);
    for (auto& r : rows)
        for (int c = 0; c < 3; ++c) r[std::size_t(c)] = signal.next(c);
    // The first block sets each channel's limits the way reception does:
    // 2 min - max to 2 max - min of that block.
    for (int c = 0; c < 3; ++c) {
        int32_t low = rows[0][std::size_t(c)], high = low;
        for (int i = 0; i < kRate; ++i) {
            low = std::min(low, rows[std::size_t(i)][std::size_t(c)]);
            high = std::max(high, rows[std::size_t(i)][std::size_t(c)]);
        }
        display.setLimits(c, 2 * low - high, 2 * high - low);
    }
    for (int block = 0; block < 10; ++block) {
        if (display.blockDone()) canvas.putText(0, TraceDisplay::kTimeRow, "2026-01-01 00:00:00");
        for (int i = 0; i < kRate; ++i) display.addRow(rows[std::size_t(block * kRate + i)].data());
    }
    const QImage sweep = canvas.snapshot();
    EXPECT_EQ(sweep.size(), QSize(Canvas::kWidth, Canvas::kHeight));
    EXPECT_EQ(sweep.pixel(5, 5) & 0xFFFFFF, kBackgroundRgb);
    EXPECT_EQ(sweep.pixel(12, 15) & 0xFFFFFF, kForegroundRgb);
    EXPECT_TRUE(sweep.save(imagePath("veltview-sweep.png")));

    display.stepCalibrationMenu();
    display.stepCalibrationMenu();
    EXPECT_TRUE(canvas.snapshot().save(imagePath("veltview-menu.png")));
    EXPECT_EQ(canvas.labels().active, 2);
    EXPECT_EQ(canvas.labels().rate, "100");
}

TEST(PanelImages, ParameterScreenWithAFieldInEditing) {
    QtCanvas canvas;
    ParameterSet p;
    p.station = "ALPHA";
    p.channels = {"HHZ", "HHN", "HHE"};
    ParameterForm form(p, canvas);
    form.openForm();
    form.formKey(panel_key::kNextA);  // to channel 1's field
    form.formKey(panel_key::kEnter);  // editing, cursor on its first character
    form.formKey(panel_key::kRight);
    const QImage screen = canvas.snapshot();
    // "ALPHA" is drawn in the station's field, and the cursor underlines the
    // second cell of channel 1's field.
    const ParameterForm::Widget& station = form.widget(ParameterForm::kStation);
    const int k = Canvas::kCell;
    EXPECT_GT(test::darkPixels(screen, QRect(k * station.column, k * station.row, k * 5, k - 2)), 40);
    EXPECT_EQ(test::darkPixels(screen, QRect(k * (station.column + 5), k * station.row, k * 2, k - 2)), 0);
    const ParameterForm::Widget& channel = form.widget(ParameterForm::kStation + 3);
    EXPECT_TRUE(channel.editing);
    EXPECT_EQ(test::darkPixels(screen, QRect(k * (channel.column + 1), k * channel.row + k - 1, k, 1)), k);
    EXPECT_EQ(test::darkPixels(screen, QRect(k * channel.column, k * channel.row + k - 1, k, 1)), 0);
    EXPECT_TRUE(screen.save(imagePath("veltview-parameters.png")));
}

}  // namespace
}  // namespace velt::veltview::gui

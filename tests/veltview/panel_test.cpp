// The panel parameter image and the recorder-parameter screen.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>

#include "platform/endian.h"
#include "support/temp_dir.h"
#include "veltview/parameter_form.h"
#include "veltview/panel_image.h"

namespace velt::veltview {
namespace {

using namespace panel_key;

TEST(PanelImageTest, ScaleRecordIsAppliedQueuedAndStored) {
    const test::TempDir dir;
    const std::string path = dir.file("lcdeeprom.dat");
    std::vector<uint8_t> file(2100, 0xAB);  // longer than the image: the tail is kept
    file[32] = 0x17;
    file[33] = 0xE4;
    platform::put_u16le(&file[34], 2);  // too short a sweep: kept as it is
    const int32_t limits[6] = {-50, 50, 7, 7, 100, 200};  // channel 1: low >= high, kept
    for (int i = 0; i < 6; ++i) platform::put_u32le(&file[36 + 4 * std::size_t(i)], uint32_t(limits[i]));
    test::writeFile(path, file);

    PixelCanvas canvas;
    TraceDisplay display(canvas);
    display.setLimits(1, -1, 1);
    PanelImage image;
    image.loadImage(path);
    image.applyScale(display);
    EXPECT_EQ(display.secondsPerSweep(), 10);
    EXPECT_EQ(display.channel(0).low, -50);
    EXPECT_EQ(display.channel(1).high, 1);
    EXPECT_EQ(display.channel(2).high, 200);

    display.setSecondsPerSweep(40);
    display.setLimits(1, -3, 9);
    image.queueScale(display);
    image.queueScale(display);  // still moving: ignored
    image.queueStep();
    // A store (a close) while the record moves writes it whole.
    ASSERT_EQ(image.storeImage(path), 0);
    EXPECT_EQ(int32_t(platform::get_u32le(&test::readFile(path)[48])), 9);  // channel 1 high, not moved yet
    int steps = 1;
    while (!image.queueIdle()) image.queueStep(), ++steps;
    EXPECT_EQ(steps, 29);  // 28 bytes, then the queue sees it is done
    ASSERT_EQ(image.storeImage(path), 0);
    const std::vector<uint8_t> stored = test::readFile(path);
    ASSERT_EQ(stored.size(), 2100u);
    EXPECT_EQ(platform::get_u16le(&stored[34]), 40);
    EXPECT_EQ(int32_t(platform::get_u32le(&stored[44])), -3);
    EXPECT_EQ(stored[0], 0xAB);
    EXPECT_EQ(stored[2099], 0xAB);

    PanelImage missing;
    missing.loadImage(dir.file("absent.dat"));
    EXPECT_EQ(missing.bytes()[32], 0);
}

struct KeyScript final : PanelKeys {
    std::deque<int> keys;
    int nextKey(int) override {
        if (keys.empty()) return -1;
        const int k = keys.front();
        keys.pop_front();
        return k;
    }
};

TEST(ParameterFormTest, KeysEditNamesPickTheRateAndSave) {
    PixelCanvas canvas;
    ParameterSet p;
    p.station = "Z";
    p.channels = {"HHZ", "HHN", "HHE"};
    ParameterForm form(p, canvas);
    form.openForm();
    EXPECT_EQ(form.focusedWidget(), ParameterForm::kStation);
    EXPECT_EQ(canvas.row(0).substr(7, 22), "REGISTRATOR PARAMETERS");
    // The station field (column 20, row 3, width 7): outer box from
    // (238, 34) to (325, 49), inner box black while focused.
    EXPECT_TRUE(canvas.ink(238, 34));
    EXPECT_TRUE(canvas.ink(325, 49));
    EXPECT_TRUE(canvas.ink(239, 35));

    form.formKey(kEnter);  // edit
    EXPECT_FALSE(canvas.ink(239, 35));
    form.formKey(kUp);  // "Z" steps up to a space
    EXPECT_EQ(p.station, " ");
    form.formKey(kDown);
    form.formKey(kRight);
    form.formKey(kRight);  // past the end of the name
    form.formKey(kUp);
    EXPECT_EQ(p.station, "Z 0");
    form.formKey(kNextA);  // stops editing and moves on
    EXPECT_EQ(form.focusedWidget(), 5);
    for (int i = 0; i < 3; ++i) form.formKey(kNextA);
    EXPECT_EQ(form.focusedWidget(), ParameterForm::kRateList);
    form.formKey(kEnter);  // opens with the selected "100" highlighted
    EXPECT_EQ(canvas.row(8).substr(19, 5), " 50  ");
    EXPECT_EQ(canvas.row(9).substr(19, 5), "~100 ");
    form.formKey(kDown);
    form.formKey(kEnter);
    EXPECT_EQ(p.rate, "200");
    EXPECT_EQ(canvas.row(8).substr(19, 5), "     ");

    // The screen the dialogue opens: from the station field back (cyclically)
    // to CANCEL and SAVE.
    KeyScript keys;
    const std::atomic<bool> stop{false};
    FormScreen screen(canvas, keys, stop);
    keys.keys = {kPreviousA, kPreviousA, kEnter};
    EXPECT_TRUE(screen.edit(p));
    keys.keys = {kPreviousA, kEnter};
    EXPECT_FALSE(screen.edit(p));
}

}  // namespace
}  // namespace velt::veltview

// The status window offscreen: formats, Prev/Next wrapping, reports for
// unknown inputs, the Stop question, and reports and log lines marshalled
// from a worker thread. Saves a screenshot for a person to look at.
#include "livemill/gui/status_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>

#include <thread>

#include "livemill/gui/window_status_monitor.h"
#include "platform/log.h"
#include "support/gui_test.h"

namespace velt::livemill::gui {
namespace {

class StatusWindowTest : public ::testing::Test {
protected:
    StatusWindowTest() : window(stop) {
        window.setInputCount(3);
        window.openWindow(1'700'000'000);
    }
    std::atomic<bool> stop{false};
    StatusWindow window;
};

TEST_F(StatusWindowTest, AnInputLeftOutForItsSettingsSaysWhyInRed) {
    LivemillConfig config;
    config.inputCount = 3;
    config.inputIni = {"a.ini", "b.ini", "c.ini"};
    config.skipped[1] = true;
    window.setSettingsProblems(config, {platform::SettingsProblem{"b.ini", "INPUT", "INDIR", "'x': no such folder"}});
    EXPECT_EQ(window.fieldText("log"), "");
    window.next();
    EXPECT_EQ(window.fieldText("log"), "not running: b.ini: [INPUT] INDIR: 'x': no such folder");
    auto* box = window.findChild<QMessageBox*>("settingsProblems");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(box->text().contains("b.ini: [INPUT] INDIR"));
}

TEST_F(StatusWindowTest, ShowsTheSelectedInputInItsFormats) {
    EXPECT_EQ(window.windowTitle(), "VELT rt converter ver.2.5.");
    EXPECT_EQ(window.fieldText("threads"), "3");
    EXPECT_EQ(window.fieldText("threadNumber"), "1");
    // Before any data: last active 1000 s after 1970 (local time), numbers 0.
    EXPECT_EQ(window.fieldText("lastActive"), formatTime(1000, true));
    EXPECT_EQ(window.fieldText("blockNumber"), "0");

    window.setInputFile(0, 0x1A);
    window.setOffset(0, 4711);
    window.setPosition(0, 0x2B, 99);
    window.setConfigNumber(0, 123456);
    window.setLastBlockTime(0, 1767225600);  // 2026-01-01 00:00:00 UTC
    window.setStationName(0, "STA01");
    window.logLine(0, std::string(150, 'x').c_str());
    EXPECT_EQ(window.fieldText("fileNumber"), "1A");
    EXPECT_EQ(window.fieldText("offset"), "4711");
    EXPECT_EQ(window.fieldText("positionFile"), "2B");
    EXPECT_EQ(window.fieldText("config"), "123456");
    EXPECT_EQ(window.fieldText("blockTime"), "00:00:00 01/01/26");
    EXPECT_EQ(window.fieldText("station"), "STA01");
    EXPECT_EQ(window.fieldText("log"), QString(99, 'x'));
    window.setInputFile(0, -1);  // a 32-bit file number
    EXPECT_EQ(window.fieldText("fileNumber"), "FFFFFFFF");

    // Input 5 is not configured: nothing changes.
    window.setBlockNumber(5, 77);
    window.next(), window.next(), window.next();
    EXPECT_EQ(window.fieldText("blockNumber"), "0");
}

TEST_F(StatusWindowTest, PrevAndNextWrap) {
    window.setBlockNumber(2, 42);
    window.previous();
    EXPECT_EQ(window.fieldText("threadNumber"), "3");
    EXPECT_EQ(window.fieldText("blockNumber"), "42");
    window.next();
    EXPECT_EQ(window.fieldText("threadNumber"), "1");
    EXPECT_EQ(window.fieldText("blockNumber"), "0");
}

// The question showing over the window, answered as the operator would.
void answer(StatusWindow& window, QMessageBox::StandardButton button, QString* asked = nullptr) {
    QMessageBox* shown = test::shownQuestion(window);
    ASSERT_NE(shown, nullptr);
    if (asked != nullptr) *asked = shown->text();
    shown->button(button)->click();
}

TEST_F(StatusWindowTest, StopAsksAndOnlyYesStopsTheWorker) {
    window.show();
    window.close();  // the close button goes through Stop
    QString asked;
    answer(window, QMessageBox::No, &asked);
    EXPECT_EQ(asked, "Do you really want to Stop \nVELT rt converter?");
    EXPECT_FALSE(stop.load());
    EXPECT_TRUE(window.isVisible());
    window.stop();
    answer(window, QMessageBox::Yes);
    EXPECT_TRUE(stop.load());
    EXPECT_FALSE(window.live());
    EXPECT_FALSE(window.isVisible());
}

TEST_F(StatusWindowTest, ReportsAndLogLinesFromAWorkerThreadArrive) {
    WindowStatusMonitor monitor(window);
    std::thread worker([&] {
        for (long b = 1; b <= 5000; ++b) monitor.setBlockNumber(1, b);
        monitor.setWaiting(1, 1);
        VELT_LOG_WARNING("INP1 miniSEED", "disk full");
    });
    worker.join();
    EXPECT_TRUE(test::waitFor([&] { return window.fieldText("message") == "warning: INP1 miniSEED: disk full"; }));
    window.next();
    EXPECT_EQ(window.fieldText("blockNumber"), "5000");
    EXPECT_TRUE(window.findChild<QCheckBox*>()->isChecked());
}

TEST_F(StatusWindowTest, Screenshot) {
    window.setInputFile(0, 0x41A);
    window.setOffset(0, 1870);
    window.setPosition(0, 0x41A, 2805);
    window.setDeviceNumber(0, 42);
    window.setConfigNumber(0, 538312705);
    window.setBlockNumber(0, 86399);
    window.setLastBlockTime(0, 1767311999);
    window.setRestartNumber(0, 1);
    window.setStationName(0, "VELT1");
    window.setLastActive(0, 1767312000);
    window.logLine(0, "13 CONFIG -> DATAOPER 1050 2805");
    window.refreshAll();
    window.show();
    QApplication::processEvents();
    const QImage shot = window.grab().toImage();
    // The station's name is drawn in its field, and an empty field stays blank.
    const auto inside = [&](const char* name) {
        const QLineEdit* field = window.findChild<QLineEdit*>(name);
        return QRect(field->mapTo(&window, QPoint(0, 0)), field->size()).adjusted(4, 4, -4, -4);
    };
    EXPECT_GT(test::darkPixels(shot, inside("station")), 20);
    EXPECT_EQ(test::darkPixels(shot, inside("message")), 0);
    ASSERT_TRUE(shot.save(QString(VELT_BIN_DIR) + "/../livemill-status-window.png"));
}

}  // namespace
}  // namespace velt::livemill::gui

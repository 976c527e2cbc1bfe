// The monitor's window fed as the worker feeds it, from another thread:
// field texts, the RTdata caption, device dots and the pause state arrive
// through queued calls; a screenshot is saved for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPixmap>

#include <chrono>
#include <fstream>
#include <thread>

#include "link/simulator.h"
#include "support/temp_dir.h"
#include "veltview/gui/monitor_window.h"
#include "veltview/archive_writer.h"
#include "veltview/monitor.h"
#include "veltview/trace_display.h"

namespace velt::veltview::gui {
namespace {

TEST(MonitorWindowTest, ShowsWhatTheWorkerSetsAndSavesAScreenshot) {
    QtCanvas canvas;
    MonitorWindow window(canvas);
    window.show();
    TraceDisplay display(canvas);
    std::thread worker([&] {
        display.resetDisplay(100);
        for (int c = 0; c < 3; ++c) display.setLimits(c, -1000, 1000);
        window.setDeviceLabel("Station 7: INET(127.0.0.1 4001)");
        window.setField(Field::StationName, "VELT1");
        window.setField(Field::SampleRate, "99");
        window.setField(Field::SampleRate, "100");  // the newest value wins
        window.setField(Field::CurrentTime, "01/01/2026 00:00:10.452");
        window.setField(Field::ChannelName0, "HHZ");
        window.setRealtimeCaption("RTdata       on");
        window.setRealtimeFileNumber("000003E8");
        window.setDeviceDirectory(0, "/media/card0");
        window.setDeviceChecked(0, true);
        window.setDeviceDot(0, ArchiveWriter::kReady);
        window.setPaused(true);
        window.setPauseText("Paused manually");
    });
    worker.join();
    // Texts come by queued calls, the drawing area and its labels with the repaint timer.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(window.windowTitle(), "VeltView v.2.5");
    EXPECT_EQ(window.text("device"), "Station 7: INET(127.0.0.1 4001)");
    EXPECT_EQ(window.text("field" + QString::number(int(Field::SampleRate))), "100");
    EXPECT_EQ(window.text("rtCaption"), "RTdata       on");
    EXPECT_EQ(window.text("pause"), "Resume");
    EXPECT_EQ(window.text("m0"), "m:0");
    EXPECT_TRUE(window.deviceChecked(0));
    const QString path = QString(VELT_BIN_DIR) + "/../veltview-window.png";
    EXPECT_TRUE(window.grab().save(path));
}

}  // namespace
}  // namespace velt::veltview::gui

namespace velt::veltview::gui {
namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(MonitorWindowTest, MonitorsTheSimulatedRecorderAndSendsACalibrationPulse) {
    const test::TempDir dir;
    const std::string commands = dir.file("commands.log");
    test::Simulator sim({"--tcp", "127.0.0.1:0", "--speed", "20", "--log", commands});
    const std::string line = sim.firstLine();
    const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    std::ofstream(dir.file("veltView.ini")) << "[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 "
                                            << line.substr(prefix.size()) << "\nINDEVICESYMBOLICNAME=sim\n"
                                            << "[LCDEEPROM]\nCONFIGFILE=" << dir.file("lcdeeprom.dat") << "\n";
    QtCanvas canvas;
    MonitorWindow window(canvas);
    Monitor monitor(dir.file("veltView.ini"), canvas, window, window, window);
    window.attach(&monitor);
    window.show();
    std::thread worker([&monitor] { monitor.run(); });
    const auto waitFor = [](auto done, int seconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done() && std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
    };
    const QString station = "field" + QString::number(int(Field::StationName));
    EXPECT_TRUE(waitFor([&] { return window.text(station) == "VELT1"; }, 20));
    // A sweep's worth of blocks on the panel, then the Pulse button: channel
    // 3 (index 2) is the active one after a start.
    waitFor([] { return false; }, 3);
    monitor.press(key_code::kPulse);
    EXPECT_TRUE(waitFor([&] { return fileText(commands).find("CLB3P") != std::string::npos; }, 10))
        << fileText(commands);
    EXPECT_TRUE(window.grab().save(QString(VELT_BIN_DIR) + "/../veltview-monitoring.png"));
    monitor.stop();
    worker.join();
}

}  // namespace
}  // namespace velt::veltview::gui

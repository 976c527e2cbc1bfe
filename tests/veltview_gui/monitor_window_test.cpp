// The monitor's window fed as the worker feeds it, from another thread:
// field texts, the RTdata caption, device dots and the pause state arrive
// through queued calls; a screenshot is saved for a person to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "link/simulator.h"
#include "support/gui_test.h"
#include "support/temp_dir.h"
#include "veltview/gui/monitor_window.h"
#include "veltview/archive_writer.h"
#include "veltview/monitor.h"
#include "veltview/trace_display.h"

namespace velt::veltview::gui {
namespace {

using test::serveFor;
using test::waitFor;
using namespace std::chrono_literals;

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
    // Texts come in a batch, the drawing area and its labels with the repaint timer.
    serveFor(300ms);
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

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The command lines the simulator logged, without their times.
std::string linesOf(const std::string& log) {
    std::string lines;
    for (std::size_t at = 0; at < log.size();) {
        const std::size_t space = log.find(' ', at), end = log.find('\n', at);
        if (space == std::string::npos || end == std::string::npos) break;
        lines += log.substr(space + 1, end - space);
        at = end + 1;
    }
    return lines;
}

std::uintmax_t bytesIn(const std::string& dir) {
    std::uintmax_t total = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) total += e.file_size();
    return total;
}

// The monitor and its window run as the program runs them, on the settings
// of `iniPath`; the monitor is stopped in order at the end.
struct RunningMonitor {
    explicit RunningMonitor(const std::string& iniPath) : monitor(iniPath, canvas, window, window, window) {
        window.attach(&monitor);
        window.show();
        worker = std::thread([this] { monitor.run(); });
        monitor.setReady();
    }
    ~RunningMonitor() { stop(); }
    void stop() {
        monitor.stop();
        if (worker.joinable()) worker.join();
    }
    QtCanvas canvas;
    MonitorWindow window{canvas};
    Monitor monitor;
    std::thread worker;
};

// Clicks the window's buttons as an operator would, with the time between
// clicks a hand needs (a second click before the worker took the first
// would replace it).
void click(MonitorWindow& window, const QString& objectName) {
    QPushButton* button = window.findChild<QPushButton*>(objectName);
    ASSERT_NE(button, nullptr) << objectName.toStdString();
    button->click();
    serveFor(150ms);
}

void clickKeys(MonitorWindow& window, std::initializer_list<int> keys) {
    for (int k : keys) click(window, "key" + QString::number(k));
}

void save(MonitorWindow& window, const char* name) {
    EXPECT_TRUE(window.grab().save(QString(VELT_BIN_DIR) + "/../" + name));
}

// The whole monitor on the simulated recorder: fields and traces, a
// calibration pulse, the automatic and the manual pause (drawing stops,
// files keep growing), and the recorder's parameters edited with the panel
// keys, and Stop asked and answered. Screenshots of the three screens are
// saved for a person to look at.
TEST(MonitorWindowTest, MonitorsPausesAndEditsTheSimulatedRecorder) {
    const test::TempDir dir;
    const std::string commands = dir.file("commands.log");
    test::Simulator sim({"--tcp", "127.0.0.1:0", "--speed", "20", "--log", commands});
    const std::string line = sim.firstLine();
    const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    std::filesystem::create_directories(dir.file("rt"));
    std::ofstream(dir.file("veltView.ini")) << "[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 "
                                            << line.substr(prefix.size()) << "\nINDEVICESYMBOLICNAME=sim\n"
                                            << "AUTOPAUSESEC=8\n[LCDEEPROM]\nCONFIGFILE=" << dir.file("lcdeeprom.dat")
                                            << "\n[QDATACOL]\nCONFIGFILE=" << dir.file("rt.ini") << "\n";
    std::ofstream(dir.file("rt.ini")) << "[COMMON]\nDESTDIR=" << dir.file("rt") << "\n";
    RunningMonitor running(dir.file("veltView.ini"));
    MonitorWindow& window = running.window;
    const QtCanvas& canvas = running.canvas;
    const QString station = "field" + QString::number(int(Field::StationName));
    EXPECT_TRUE(waitFor([&] { return window.text(station) == "VELT1"; }, 20));
    EXPECT_TRUE(waitFor([&] { return window.text("pauseText").startsWith("time to pause: "); }, 5));

    // A sweep's worth of blocks, then Pulse: channel 3 (index 2) is the
    // active one after a start.
    serveFor(2s);
    click(window, "pulse");
    EXPECT_TRUE(waitFor([&] { return fileText(commands).find("CLB3P") != std::string::npos; }, 10))
        << fileText(commands);
    save(window, "veltview-monitoring.png");

    // Paused: the drawing area stands still while the files grow.
    const auto stillWhileFilesGrow = [&] {
        const QImage before = canvas.snapshot();
        const std::uintmax_t bytes = bytesIn(dir.file("rt"));
        serveFor(2s);
        EXPECT_EQ(canvas.snapshot(), before);
        EXPECT_GT(bytesIn(dir.file("rt")), bytes);
    };
    EXPECT_TRUE(waitFor([&] { return window.text("pauseText") == "Paused automatically"; }, 15));
    EXPECT_EQ(window.text("pause"), "Resume");
    stillWhileFilesGrow();
    save(window, "veltview-paused.png");
    click(window, "pause");
    EXPECT_TRUE(waitFor([&] { return window.text("pause") == "Pause" && window.text("pauseText").isEmpty(); }, 5));
    const QImage resumed = canvas.snapshot();
    EXPECT_TRUE(waitFor([&] { return canvas.snapshot() != resumed; }, 5));
    click(window, "pause");
    EXPECT_TRUE(waitFor([&] { return window.text("pauseText") == "Paused manually"; }, 5));
    stillWhileFilesGrow();
    click(window, "pause");

    // Shift, step the menu to its parameter entry, shift off, run it: the
    // recorder is stopped and asked for its configuration.
    clickKeys(window, {9, 4, 9, 8});
    EXPECT_TRUE(waitFor([&] { return fileText(commands).find("CNF?") != std::string::npos; }, 10)) << fileText(commands);
    serveFor(1s);
    EXPECT_EQ(window.text("link"), "recorder stopped while its parameters are edited");
    save(window, "veltview-parameter-screen.png");
    // Edit the station name's fifth character from 1 to 2, step to SAVE, press it.
    clickKeys(window, {12, 8, 8, 8, 8, 3, 12, 5, 5, 5, 5, 5, 12});
    EXPECT_TRUE(waitFor([&] { return fileText(commands).find(" RST") != std::string::npos; }, 20)) << fileText(commands);
    const std::string sent = linesOf(fileText(commands));
    EXPECT_NE(sent.find("STN=VELT2\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("SPS=100\n\n\n\nRST\n"), std::string::npos) << sent;
    EXPECT_TRUE(waitFor([&] { return window.text(station) == "VELT2"; }, 20)) << window.text(station).toStdString();

    // Stop asks first, and recording goes on while the question waits: No
    // leaves it running, Yes stops it in order and closes the window.
    click(window, "stopProgram");
    const std::uintmax_t asked = bytesIn(dir.file("rt"));
    EXPECT_TRUE(waitFor([&] { return bytesIn(dir.file("rt")) > asked; }, 5));
    ASSERT_NE(test::shownQuestion(window), nullptr);
    test::shownQuestion(window)->button(QMessageBox::No)->click();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(running.monitor.stopping());
    window.close();
    ASSERT_NE(test::shownQuestion(window), nullptr);
    test::shownQuestion(window)->button(QMessageBox::Yes)->click();
    EXPECT_TRUE(running.monitor.stopping());
    EXPECT_FALSE(window.isVisible());
    running.stop();
    EXPECT_TRUE(running.monitor.done());
}

// A recorder that goes away and comes back on the same port: while it is
// away the window shows the notice (in the link line and a box nobody
// clicks), and the worker reconnects on its own once it is back.
TEST(MonitorWindowTest, ReconnectsWhileTheNoticeShowsWithoutAClick) {
    const test::TempDir dir;
    auto sim = std::make_unique<test::Simulator>(std::vector<std::string>{"--tcp", "127.0.0.1:0", "--speed", "20"});
    const std::string line = sim->firstLine();
    const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const std::string port = line.substr(prefix.size());
    std::ofstream(dir.file("veltView.ini")) << "[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 " << port
                                            << "\n[LCDEEPROM]\nCONFIGFILE=" << dir.file("lcdeeprom.dat") << "\n";
    RunningMonitor running(dir.file("veltView.ini"));
    MonitorWindow& window = running.window;
    EXPECT_TRUE(waitFor([&] { return window.text("link").startsWith("connected to"); }, 10));

    sim->signal(SIGTERM);
    sim->wait(5);
    const auto noticeShown = [&] {
        for (QMessageBox* box : window.findChildren<QMessageBox*>())
            if (box->isVisible() && box->text() == "Input Stream not opened") return true;
        return false;
    };
    EXPECT_TRUE(waitFor([&] { return noticeShown() && window.text("link").startsWith("Input Stream not opened"); }, 15))
        << window.text("link").toStdString();
    sim = std::make_unique<test::Simulator>(std::vector<std::string>{"--tcp", "127.0.0.1:" + port, "--speed", "20"});
    EXPECT_EQ(sim->firstLine(), prefix + port);
    EXPECT_TRUE(waitFor([&] { return window.text("link").startsWith("connected to"); }, 20))
        << window.text("link").toStdString();
    EXPECT_TRUE(noticeShown());  // nobody clicked it
}

}  // namespace
}  // namespace velt::veltview::gui

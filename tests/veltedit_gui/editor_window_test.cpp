// The editor's window over a scripted recorder in virtual time: the
// conversation runs on the worker while the window stays live, the fields
// show the image read, Save sends exactly the edited byte; screenshots of
// the window and of "Set Response Form" are saved for a person to look at.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPixmap>

#include <clocale>
#include <cstring>

#include "link/editor_link.h"
#include "link/serial_link.h"
#include "link/simulator.h"
#include "platform/endian.h"
#include "platform/program.h"
#include "support/gui_test.h"
#include "support/temp_dir.h"
#include "veltedit/fake_recorder.h"
#include "veltedit/gui/editor_window.h"

namespace velt::veltedit::gui {
namespace {

using test::FakeRecorder;
using test::TempDir;
using test::VirtualPacer;
using test::waitFor;

Image stationImage() {
    Image image = test::sampleImage();
    const char* names[3] = {"HHZ", "HHN", "HHE"};
    for (int c = 0; c < 3; ++c) {
        writeTextField(image, kChannelNames + kNameBytes * std::size_t(c), kNameBytes, names[c]);
        writeTextField(image, kSensorNames + kNameBytes * std::size_t(c), kNameBytes, "L4C-3D");
        image[channelRecord(c)] = 2;
        const float values[2] = {6.25e-10f, 1.0f};  // calibration value and period
        uint32_t bits[2];
        std::memcpy(bits, values, sizeof bits);
        platform::put_u32le(&image[channelRecord(c) + kRecCalibration], bits[0]);
        platform::put_u32le(&image[channelRecord(c) + kRecPeriod], bits[1]);
        platform::put_u16le(&image[channelRecord(c) + kRecResponse], c < 2 ? 0xA0 : 0xFF);
    }
    image[kResponseArea] = 20;
    image[kPulseCount] = 2;
    return image;
}

void save(QWidget& widget, const char* name) {
    EXPECT_TRUE(widget.grab().save(QString(VELT_BIN_DIR) + "/../" + name));
}

TEST(EditorWindowTest, ShowsTheImageReadAndSavesOneEditedByte) {
    TempDir dir;
    FakeRecorder recorder(stationImage());
    VirtualPacer pacer;
    EditorWindow window(recorder, pacer, WriteBackFiles{dir.file("testeeprom"), dir.file("testeeprom.read")});
    window.show();
    window.start();
    EXPECT_TRUE(window.busy());
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }));
    EXPECT_EQ(window.text("title"), "VeltEdit v.2.5");
    EXPECT_EQ(window.text("status"), "");
    EXPECT_EQ(window.text("device"), "002A");
    EXPECT_EQ(window.text("station"), "VELT1");
    EXPECT_EQ(window.text("rate"), "100");
    EXPECT_EQ(window.text("channels"), "3");
    EXPECT_EQ(window.text("calib"), "6.250000e-10");
    EXPECT_EQ(window.text("units"), "(m/sec)/count");
    EXPECT_EQ(window.text("response"), "00A0 (20)");
    EXPECT_EQ(window.text("pulseItems"), "2");
    EXPECT_TRUE(window.text("summary").startsWith("1:  HHZ  L4C-3D \n    6.250e-10 (m/sec)/count (1.000 sec.) \n2:"));
    save(window, "veltedit-window.png");

    window.next();
    window.next();
    EXPECT_EQ(window.text("response"), " ");

    window.findChild<QLineEdit*>("station")->setText("VELTA");
    const std::size_t mark = recorder.sent.size();
    window.save();
    ASSERT_TRUE(waitFor([&] { return window.finished(); }));
    EXPECT_EQ(recorder.sentSince(mark), "EPRW027=41\nEPR?\nRST\n");  // written, read back, restarted
    EXPECT_EQ(recorder.image[0x27], 'A');
    EXPECT_EQ(window.exitStatus(), 0);
}

TEST(EditorWindowTest, ASaveWithoutEditsKeepsOddBytesAndSendsOnlyTheRestart) {
    Image image = stationImage();
    image[channelRecord(0)] = 0x05;  // a units code outside the list
    std::fill_n(image.begin() + long(channelRecord(0) + kRecCalibration), 8, 0xFF);  // value and period not set
    writeTextField(image, kSensorNames, kNameBytes, "L4C 3D");
    FakeRecorder recorder(image);
    VirtualPacer pacer;
    TempDir dir;
    EditorWindow window(recorder, pacer, WriteBackFiles{dir.file("testeeprom"), dir.file("testeeprom.read")});
    window.start();
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }));
    const std::size_t mark = recorder.sent.size();
    window.save();
    ASSERT_TRUE(waitFor([&] { return window.finished(); }));
    EXPECT_EQ(recorder.sentSince(mark), "RST\n");
    EXPECT_EQ(recorder.image, image);
}

TEST(EditorWindowTest, NumbersStayInCNotationUnderACommaLocale) {
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "no de_DE.UTF-8 locale: run scripts/bootstrap";
    FakeRecorder recorder(stationImage());
    VirtualPacer pacer;
    TempDir dir;
    EditorWindow window(recorder, pacer, WriteBackFiles{dir.file("testeeprom"), dir.file("testeeprom.read")});
    window.start();
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }));
    EXPECT_EQ(window.text("calib"), "6.250000e-10");
    window.findChild<QLineEdit*>("calib")->setText("6.3e-10");
    window.save();
    ASSERT_TRUE(waitFor([&] { return window.finished(); }));
    std::setlocale(LC_NUMERIC, before.c_str());
    float stored = 0;
    const uint32_t bits = platform::get_u32le(&recorder.image[channelRecord(0) + kRecCalibration]);
    std::memcpy(&stored, &bits, sizeof stored);
    EXPECT_EQ(stored, 6.3e-10f);
}

TEST(EditorWindowTest, AStationThatDoesNotAnswerLeavesTheFieldsEmpty) {
    FakeRecorder recorder(stationImage());
    recorder.silent = true;
    VirtualPacer pacer;
    EditorWindow window(recorder, pacer);
    window.start();
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }));
    EXPECT_EQ(window.text("status"), "EEPROOM not readen");
    EXPECT_EQ(window.text("station"), "");
    EXPECT_EQ(window.text("channelNumber"), "");
    window.cancel();
    ASSERT_TRUE(waitFor([&] { return window.finished(); }));
    EXPECT_EQ(recorder.sent.substr(recorder.sent.size() - 12), "RST\nRST\nRST\n");
}

// SIGINT or SIGTERM while the window is open ends it as Cancel does: the
// station is restarted, and the exit status says the session was interrupted.
TEST(EditorWindowTest, AStopSignalRestartsTheStationAndEnds) {
    FakeRecorder recorder(stationImage());
    VirtualPacer pacer;
    EditorWindow window(recorder, pacer);
    window.show();
    window.start();
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }));
    const std::size_t mark = recorder.sent.size();
    platform::StopSignals::wake().signal();  // what the signal handler does
    ASSERT_TRUE(waitFor([&] { return window.finished(); }));
    EXPECT_EQ(recorder.sentSince(mark), "RST\nRST\nRST\n");  // as Cancel sends
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.exitStatus(), 1);
}

// In real time on "veltsim serve": the window stays live while the station
// is stopped and read; a link lost in the middle of a Save is reported and
// keeps the dialog open, and Save again connects anew and writes the rest.
TEST(EditorWindowTest, ALinkLostDuringASaveIsReportedAndASecondSaveFinishesIt) {
    TempDir dir;
    test::Simulator simulator(
        {"--pty", dir.file("tty"), "--eeprom", dir.file("station.eep"), "--drop-at-write", "2"});
    ASSERT_NE(simulator.firstLine().find("listening"), std::string::npos);
    link::SerialLink serial("COM:" + dir.file("tty"), "19200,n,8,1", 50000, 50000);
    link::EditorLink link(serial);
    ASSERT_EQ(link.open(), 0);
    SystemPacer pacer;
    EditorWindow window(link, pacer, WriteBackFiles{dir.file("testeeprom"), dir.file("testeeprom.read")});
    window.show();
    window.start();
    ASSERT_TRUE(waitFor([&] { return window.text("status") == "stopping station, attempt 1 of 5"; }));
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }, 40));
    ASSERT_EQ(window.text("channelName"), "HHZ");
    window.findChild<QLineEdit*>("channelName")->setText("BHZ");
    window.findChild<QLineEdit*>("calib")->setText("716.53");
    window.save();
    ASSERT_TRUE(waitFor([&] { return !window.busy(); }, 10));
    EXPECT_FALSE(window.finished());
    EXPECT_TRUE(window.text("notice").startsWith("The link was lost after 2 of ")) << window.text("notice").toStdString();
    EXPECT_TRUE(window.text("notice").contains(QString::fromStdString(dir.file("testeeprom.read"))));
    EXPECT_EQ(window.exitStatus(), 1);

    window.save();
    ASSERT_TRUE(waitFor([&] { return window.finished(); }, 40));
    EXPECT_EQ(window.exitStatus(), 0);
    link.close();
    const std::vector<uint8_t> saved = test::readFile(dir.file("station.eep"));
    EXPECT_EQ(saved, test::readFile(dir.file("testeeprom")));
    ASSERT_EQ(saved.size(), kImageBytes);
    Image image{};
    std::copy(saved.begin(), saved.end(), image.begin());
    EXPECT_EQ(decodeStation(image).channels[0].name, "BHZ");
    EXPECT_EQ(decodeStation(image).channels[0].calibration, 716.53f);
}

TEST(ResponseFormDialogTest, ShowsTheTablesAndLoadsOneThatFits) {
    TempDir dir;
    Image image = stationImage();
    ResponseList tables;
    tables.append(ResponseTable{0xA0, 21});
    ResponseForm form(tables, image);
    ResponseFormDialog dialog(form);
    test::writeFile(dir.file("resp.bin"), std::vector<uint8_t>(30, 0x11));
    dialog.loadFile(dir.file("resp.bin"));
    EXPECT_EQ(dialog.rowText(0), "00A0 (21)");
    EXPECT_EQ(dialog.rowText(1), "00B5 (31)");
    EXPECT_EQ(image[0xB5], 30);
    dialog.show();
    ASSERT_TRUE(waitFor([&] { return dialog.isVisible(); }));
    save(dialog, "veltedit-response-form.png");
}

}  // namespace
}  // namespace velt::veltedit::gui

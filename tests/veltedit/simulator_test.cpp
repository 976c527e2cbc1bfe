// The editor against "veltsim serve" over a pseudo-terminal in real time:
// an edit reaches the simulator's EEPROM file byte for byte, and the
// program's --restore puts the station back as it was read.
#include <gtest/gtest.h>

#include "link/editor_link.h"
#include "link/serial_link.h"
#include "link/simulator.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "veltedit/editor_settings.h"
#include "veltedit/eeprom_session.h"
#include "veltedit/image_backup.h"
#include "veltedit/station_parameters.h"

namespace velt::test {
namespace {

using namespace veltedit;

std::vector<uint8_t> bytes(const Image& image) { return std::vector<uint8_t>(image.begin(), image.end()); }

TEST(StationOnSimulator, AnEditReachesTheEepromAndARestorePutsItBack) {
    TempDir dir;
    const std::string tty = dir.file("tty");
    const std::string eeprom = dir.file("station.eep");
    Simulator simulator({"--pty", tty, "--eeprom", eeprom});
    ASSERT_NE(simulator.firstLine().find("listening"), std::string::npos);

    Image received{};
    Image edited{};
    {
        link::SerialLink serial("COM:" + tty, "19200,n,8,1", kQueueBytes, kQueueBytes);
        link::EditorLink link(serial);
        ASSERT_EQ(link.open(), 0);
        SystemPacer pacer;
        EepromSession session(link, pacer);
        ASSERT_TRUE(session.connect());
        received = session.receivedImage();

        StationEditor editor;
        editor.load(session.editImage());
        StationFields station = editor.stationFields();
        station.station = "FIELD 7";
        station.rateIndex = 0;
        ChannelFields channel = editor.channelFields();
        channel.name = "BHZ";
        channel.calibration = "2.5e-9";
        ASSERT_TRUE(editor.encode(station, channel, session.editImage()).empty());
        edited = session.editImage();

        WriteBackFiles files{dir.file("testeeprom"), dir.file("testeeprom.read")};
        WriteBackReport report;
        ASSERT_TRUE(session.commit(files, report)) << report.describe(files);
        session.restart();
        EXPECT_EQ(report.unanswered, 0);
        int differing = 0;
        for (std::size_t a = 0; a < kImageBytes; ++a) differing += received[a] != edited[a] ? 1 : 0;
        EXPECT_EQ(report.sent, differing);
        EXPECT_GT(differing, 8);
        EXPECT_EQ(readFile(files.kept), bytes(received));
        link.close();
    }
    EXPECT_EQ(readFile(eeprom), bytes(edited));
    EXPECT_EQ(decodeStation(edited).station, "FIELD 7");

    ASSERT_EQ(saveImageFile(dir.file("backup.eep"), received), 0);
    const std::string ini = "[VELTEDIT]\r\nINDEVICE=COM:" + tty + "\r\nINDEVICECONFIGSTRING=19200,n,8,1\r\n";
    writeFile(dir.file("veltEdit.ini"), std::vector<uint8_t>(ini.begin(), ini.end()));
    const int status = runProgram({.args = {VELT_BIN_DIR "/veltedit", "--config", dir.path(), "--restore",
                                            dir.file("backup.eep"), "--yes"},
                                   .errors = dir.file("restore.err")})
                           .exit;
    ASSERT_NE(status, kSignalled);
    EXPECT_EQ(status, 0) << readText(dir.file("restore.err"));
    EXPECT_EQ(readFile(eeprom), bytes(received));
    // The restore kept what it read, beside the editor's first backup.
    EXPECT_EQ(readFile(dir.file("testeeprom.read.1")), bytes(edited));
}

}  // namespace
}  // namespace velt::test

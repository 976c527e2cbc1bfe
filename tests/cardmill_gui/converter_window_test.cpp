// The converter's window on a card of two recorders made by the simulator:
// the device list, a conversion of both with its progress shown while the
// window stays responsive, and a screenshot taken while it runs.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cardmill/gui/converter_window.h"
#include "support/gui_test.h"
#include "support/temp_dir.h"

namespace velt::cardmill::gui {
namespace {

using test::waitFor;

TEST(ConverterWindowTest, ListsConvertsAndShowsProgress) {
    const test::TempDir dir;
    for (const char* d : {"arch", "out"}) std::filesystem::create_directories(dir.file(d));
    for (const char* recorder : {"--card-device 21 --first-file 1", "--card-device 300 --first-file 100 --station BRAVO"}) {
        const std::string command = std::string(VELT_BIN_DIR) + "/veltsim write --out " + dir.file("card") +
                                    " --duration 7200 --file-size 500000 " + recorder + " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    std::ofstream(dir.file("cardmill.ini")) << "[CARDMILL]\nDATAINDIR=" << dir.file("card") << "\nDATAARCHDIR="
                                            << dir.file("arch") << "\n[OUT4INTFILE]\nTODO=YES\nOUTDIR="
                                            << dir.file("out") << "/\n";
    ConverterWindow window(dir.file("cardmill.ini"));
    window.show();
    EXPECT_EQ(window.windowTitle(), "VELT archive file converter");
    EXPECT_EQ(window.text("seconds"), "3600");
    window.findChild<QPushButton*>("Read Device List")->click();
    EXPECT_EQ(window.text("devices").toStdString(),
              "21 (0015h) (00000001-0000000E)\n300 (012Ch) (00000100-0000010D)");
    QPushButton* start = window.findChild<QPushButton*>("Start convertion");
    EXPECT_FALSE(start->isEnabled());
    window.findChild<QListWidget*>("devices")->selectAll();
    ASSERT_TRUE(start->isEnabled());
    start->click();
    EXPECT_TRUE(waitFor([&] { return window.text("progress").startsWith("device:"); }, 20));
    EXPECT_EQ(window.text("status"), "Conversion in progress ...");
    EXPECT_FALSE(window.findChild<QPushButton*>("Exit")->isEnabled());
    EXPECT_TRUE(window.grab().save(QString(VELT_BIN_DIR) + "/../cardmill-window.png"));
    EXPECT_TRUE(waitFor([&] { return window.text("status") == "Conversion complited" && !window.converting(); }, 120));
    EXPECT_TRUE(window.findChild<QPushButton*>("Exit")->isEnabled());
    EXPECT_FALSE(start->isEnabled());
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("out"))) files += e.is_regular_file();
    EXPECT_EQ(files, 2u * 3 * 2);  // two recorders, three channels, two files of 3600 blocks
    std::size_t archived = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("arch"))) archived += e.is_regular_file();
    EXPECT_EQ(archived, 28u);
}

}  // namespace
}  // namespace velt::cardmill::gui

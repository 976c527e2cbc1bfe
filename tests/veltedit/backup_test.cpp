// What a restore may change, and the image files.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "veltedit/image_backup.h"
#include "fake_recorder.h"

namespace velt::test {
namespace {

using namespace veltedit;

TEST(ImageBackup, ARestoreChangesOnlyWhatTheEditorMayChange) {
    Image station = sampleImage();
    station[kChannelCount] = 2;
    Image backup;
    for (std::size_t a = 0; a < kImageBytes; ++a) backup[a] = uint8_t(~station[a]);
    Image restored = station;
    restoreEditable(backup, restored);
    for (std::size_t a = 0; a < kImageBytes; ++a) {
        const bool channel2 = (a >= kChannelNames + 16 && a < kChannelNames + 24) ||
                              (a >= kSensorNames + 16 && a < kSensorNames + 24) || (a >= channelRecord(2) && a < channelRecord(3));
        const bool record = a >= kChannelRecords && a < kPulseCount && ((a - kChannelRecords) % 16 < 9 || (a - kChannelRecords) % 16 >= 14);
        bool editable = a == 22 || a == 23 || (a >= 35 && a < 96) || (a >= 144 && a < 159) || (a >= 160 && a < 256) || record;
        editable = editable && !channel2;
        if (a == kRateByte) {
            EXPECT_EQ(restored[a], uint8_t((station[a] & 0xF8) | (backup[a] & 7)));
        } else {
            EXPECT_EQ(restored[a], editable ? backup[a] : station[a]) << "offset " << a;
        }
    }
}

TEST(ImageBackup, OnlyFilesOfExactly512BytesAreImages) {
    TempDir dir;
    Image image = sampleImage();
    ASSERT_EQ(saveImageFile(dir.file("a.eep"), image), 0);
    Image loaded{};
    EXPECT_EQ(loadImageFile(dir.file("a.eep"), loaded), 0);
    EXPECT_EQ(loaded, image);
    writeFile(dir.file("a.eep"), {1}, std::ios::app);
    EXPECT_EQ(loadImageFile(dir.file("a.eep"), loaded), -2);
    EXPECT_EQ(loadImageFile(dir.file("none"), loaded), -1);
    EXPECT_NE(describeImage(image).find("Station name: VELT1\n"), std::string::npos);
}

/// Runs the program with `arguments` (standard input from `input` when
/// given); its exit status, standard error in `err`.
int runEditor(const TempDir& dir, std::vector<std::string> arguments, std::string& err, std::string input = "") {
    arguments.insert(arguments.begin(), VELT_BIN_DIR "/veltedit");
    const int status = runProgram({.args = std::move(arguments),
                                   .input = std::move(input),
                                   .output = "/dev/null",
                                   .errors = dir.file("err")})
                           .exit;
    err = readText(dir.file("err"));
    return status;
}

TEST(ImageBackup, TheProgramTellsBadArgumentsSettingsAndFilesApart) {
    TempDir dir;
    std::string err;
    EXPECT_EQ(runEditor(dir, {"--dump"}, err), 2);
    EXPECT_EQ(runEditor(dir, {"--print", dir.file("none")}, err), 1);
    ASSERT_EQ(saveImageFile(dir.file("a.eep"), sampleImage()), 0);
    EXPECT_EQ(runEditor(dir, {"--print", dir.file("a.eep")}, err), 0);
    const std::string ini = "[VELTEDIT]\nINDEVICE=tcp\nINDEVICECONFIGSTRING=127.0.0.1 4001\n";
    writeFile(dir.file("veltEdit.ini"), std::vector<uint8_t>(ini.begin(), ini.end()));
    EXPECT_EQ(runEditor(dir, {"--config", dir.path(), "--dump", dir.file("b.eep"), "--yes"}, err), 2);
    EXPECT_NE(err.find("veltEdit.ini: [VELTEDIT] INDEVICE: 'tcp'"), std::string::npos) << err;
    EXPECT_NE(err.find("\nConnect stream not found\n"), std::string::npos) << err;
    const std::string good = "[VELTEDIT]\nINDEVICE=TCP\nINDEVICECONFIGSTRING=127.0.0.1 4001\n";
    writeFile(dir.file("veltEdit.ini"), std::vector<uint8_t>(good.begin(), good.end()));
    EXPECT_EQ(runEditor(dir, {"--config", dir.path(), "--dump", dir.file("b.eep")}, err, "/dev/null"), 1);
    EXPECT_NE(err.find("Do you really want to terminate station\n on TCP 127.0.0.1 4001\n and start"), std::string::npos);
}

}  // namespace
}  // namespace velt::test

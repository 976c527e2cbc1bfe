// Where QRX4.0 files go (qrx.ini lookup) and when an input gets the output.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "outputs/qrx_output.h"
#include "support/temp_dir.h"

namespace velt::outputs {
namespace {

void writeText(const std::string& path, const std::string& text) {
    test::writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

TEST(QrxSettings, IniLookupOrderFollowsTheEnvironment) {
    EXPECT_EQ(qrxIniCandidates("/xdg", "/home/u"),
              (std::vector<std::string>{"./qrx.ini", "/xdg/qrx.ini", "/etc/qrx.ini"}));
    EXPECT_EQ(qrxIniCandidates("", "/home/u"),
              (std::vector<std::string>{"./qrx.ini", "/home/u/.config/qrx.ini", "/etc/qrx.ini"}));
    EXPECT_EQ(qrxIniCandidates(nullptr, nullptr), (std::vector<std::string>{"./qrx.ini", "/etc/qrx.ini"}));
}

TEST(QrxSettings, FirstExistingIniGivesTheDataDirectory) {
    test::TempDir dir;
    const std::string missing = dir.file("missing.ini"), a = dir.file("a.ini"), b = dir.file("b.ini");
    writeText(b, "[DATA]\nDIR=/srv/other\n");
    EXPECT_EQ(qrxDataDirectory({missing}), "");
    EXPECT_EQ(qrxDataDirectory({missing, b}), "/srv/other");

    writeText(a, "; written elsewhere\n[data]\ndir = D:\\qrx\\data\\\n");
    EXPECT_EQ(qrxDataDirectory({missing, a, b}), "D:/qrx/data");
    writeText(a, "[DATA]\nOTHER=1\n");  // the default "\" means no directory, not the root
    EXPECT_EQ(qrxDataDirectory({a, b}), "");
}

TEST(QrxSettings, NoDataDirectoryWritesUnderTheWorkingDirectory) {
    test::TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    {
        QrxOutput out({"", ""});
        ConfigurationRecord r;
        std::strcpy(r.stationName, "STA");
        std::strcpy(r.channelName[0], "BHZ");
        r.sampleRate = 1;
        r.delay = 0;
        out.setTime(1709632800);
        out.setConfiguration(r);
        out.selectChannel(0);
        out.putSample(42);
        out.flushChannel();
    }
    std::filesystem::current_path(previous);
    EXPECT_EQ(std::filesystem::file_size(dir.file("STA/05032024-100000-BHZ.STA")), 516u);
}

TEST(QrxSettings, OutputIsMadeOnlyForTodoYesWithPositiveMaxBlock) {
    test::TempDir dir;
    const std::string ini = dir.file("inp1.ini");
    const QrxSettings settings{dir.path(), ""};
    EXPECT_EQ(makeQrxOutput(ini, settings), nullptr);  // no file
    writeText(ini, "[OUTQRX]\nTODO=yes\n");
    EXPECT_EQ(makeQrxOutput(ini, settings), nullptr);
    writeText(ini, "[OUTQRX]\nTODO=YES\nMAXBLOCK=0\n");
    auto out = makeQrxOutput(ini, settings);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->maxBlock(), 600);
    writeText(ini, "[OUTQRX]\nTODO=YES\nMAXBLOCK=7\n");
    EXPECT_EQ(makeQrxOutput(ini, settings)->maxBlock(), 7);
}

}  // namespace
}  // namespace velt::outputs

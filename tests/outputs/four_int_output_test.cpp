// The 4-int output: file names from station, channel and first-sample time
// (both naming modes and the delay rules), and file contents sample by sample.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "mseed_test_support.h"
#include "outputs/four_int_output.h"
#include "platform/calendar.h"
#include "platform/endian.h"

namespace velt::outputs {
namespace {

int32_t sampleAt(int channel, int64_t t, uint32_t index) {
    const int i = int(index);
    return int32_t((t % 1000) * 10000 + i * 7 + channel * 1000) * (i % 2 ? -1 : 1) - 8388608 * (i == 3);
}

class FourIntTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::strcpy(config_.stationName, "ABC");
        std::strcpy(config_.channelName[0], "SHZ");
        std::strcpy(config_.channelName[1], "SHN");
        std::strcpy(config_.channelName[2], "SHE");
        config_.sampleRate = 10;
        config_.delay = 0;
    }

    void feed(OutputSink& sink, int64_t t, unsigned mask = 7) { test::feedBlock(sink, config_, t, mask, sampleAt); }

    // The file holds the blocks of `channel` stamped `times`, little-endian.
    void expectContent(const std::string& path, int channel, const std::vector<int64_t>& times) {
        const std::vector<uint8_t> bytes = test::readFile(path);
        ASSERT_EQ(bytes.size(), times.size() * config_.sampleRate * 4) << path;
        std::size_t off = 0;
        for (int64_t t : times)
            for (int i = 0; i < int(config_.sampleRate); ++i, off += 4)
                ASSERT_EQ(int32_t(platform::get_u32le(&bytes[off])), sampleAt(channel, t, i))
                    << path << " t=" << t << " i=" << i;
    }

    test::ScratchDir dir_;
    recorder::ConfigurationRecord config_;
    const int64_t t_ = platform::secondsFromUtc(2007, 3, 15, 12, 30, 45);
};

TEST_F(FourIntTest, NamesFollowModeAndDelay) {
    FourIntOutput out;
    out.setOutputPrefix("p/");
    out.setConfiguration(config_);
    // Delay 0: the block's own second, milliseconds 000.
    EXPECT_EQ(out.fileNameFor(0, t_), "p/070315B12Z3045_00.ABC");
    out.setNamingMode("TEST");
    EXPECT_EQ(out.fileNameFor(0, t_), "p/ABC_SHZ_20070315_123045_000");
    // 54819 x 10 us: 12:30:46 becomes 12:30:45.452.
    config_.delay = 54819;
    EXPECT_EQ(out.fileNameFor(1, t_ + 1), "p/ABC_SHN_20070315_123045_452");
    out.setNamingMode("test");  // not a mode: nothing changes
    EXPECT_EQ(out.naming(), FourIntOutput::Naming::Test);
    out.setNamingMode("GNX");
    EXPECT_EQ(out.fileNameFor(0, t_ + 1), "p/070315B12Z3045_45.ABC");
    // Milliseconds 995..999 give hundredths of 100, three digits.
    for (uint32_t delay : {500u, 100u}) {
        config_.delay = delay;
        EXPECT_EQ(out.fileNameFor(2, t_ + 1), "p/070315B12E3045_100.ABC");
    }
    // Recorder names are made safe; an empty channel name gives 'U'.
    std::strcpy(config_.stationName, "../X");
    std::strcpy(config_.channelName[0], "a/");
    config_.channelName[2][0] = '\0';
    config_.delay = 0;
    EXPECT_EQ(out.fileNameFor(0, t_), "p/070315B12_3045_00..._X");
    EXPECT_EQ(out.fileNameFor(2, t_), "p/070315B12U3045_00..._X");
    out.setNamingMode("TEST");
    EXPECT_EQ(out.fileNameFor(0, t_), "p/.._X_a__20070315_123045_000");
}

TEST_F(FourIntTest, FilesHoldTheSamplesAndSplitAtGapsAndLength) {
    FourIntOutput out;
    out.setOutputPrefix(dir_.path() + "\\");
    out.setNamingMode("TEST");
    out.setBlocksPerFile(3);
    // Channel 1 misses the block at t+2; the others go on in their files.
    for (int64_t t = t_; t < t_ + 5; ++t) feed(out, t, t == t_ + 2 ? 0b101u : 0b111u);
    out.closeOutputs();
    // t_ is 12:30:45, so block t_ + k starts at second 45 + k.
    const auto name = [&](const char* chan, int64_t t) {
        return dir_.file(std::string("ABC_") + chan + "_20070315_1230" + std::to_string(45 + t - t_) +
                         "_000");
    };
    expectContent(name("SHZ", t_), 0, {t_, t_ + 1, t_ + 2});
    expectContent(name("SHZ", t_ + 3), 0, {t_ + 3, t_ + 4});
    expectContent(name("SHN", t_), 1, {t_, t_ + 1});
    expectContent(name("SHN", t_ + 3), 1, {t_ + 3, t_ + 4});
    expectContent(name("SHE", t_), 2, {t_, t_ + 1, t_ + 2});
    EXPECT_EQ(test::listNames(dir_.path()).size(), 6u);
    // After closeOutputs the next block opens a new file; gathered blocks
    // are written by the next commit.
    feed(out, t_ + 5, 0b001u);
    EXPECT_EQ(test::readFile(name("SHZ", t_ + 5)).size(), 0u);
    EXPECT_EQ(out.commit(), 0);
    expectContent(name("SHZ", t_ + 5), 0, {t_ + 5});
}

TEST_F(FourIntTest, ExistingFileIsKeptAndNewDataGoToAFreeName) {
    FourIntOutput out;
    out.setOutputPrefix(dir_.path() + "/");
    out.setConfiguration(config_);
    const std::string path = out.fileNameFor(0, t_);
    test::writeText(path, std::string(1000, 'z'));
    feed(out, t_, 0b001u);
    out.closeOutputs();
    // Neither overwritten nor mixed with stale bytes.
    EXPECT_EQ(test::readText(path), std::string(1000, 'z'));
    expectContent(path + ".1", 0, {t_});
}

TEST_F(FourIntTest, FactoryAppliesSettings) {
    const std::string ini = dir_.file("input.ini");
    test::writeText(ini, "[OUT4INTFILE]\nTODO=yes\n");
    EXPECT_EQ(makeFourIntOutput(ini), nullptr);
    // OUTDIR without a trailing separator, naming no folder: the files land
    // in the parent folder, their names beginning with the last component.
    test::writeText(ini, "[OUT4INTFILE]\nTODO=YES\nOUTDIR=" + dir_.path() +
                             "\\sub\nSECINFILE=0\nFILENAMEMEODE=TEST\n");
    auto out = makeFourIntOutput(ini);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->blocksPerFile(), FourIntOutput::kDefaultBlocksPerFile);
    EXPECT_EQ(out->naming(), FourIntOutput::Naming::Test);
    feed(*out, t_, 0b001u);
    out.reset();
    expectContent(dir_.file("subABC_SHZ_20070315_123045_000"), 0, {t_});
    // The same OUTDIR once the folder exists: the files go into it.
    std::filesystem::create_directory(dir_.file("sub"));
    out = makeFourIntOutput(ini);
    feed(*out, t_ + 1, 0b001u);
    out.reset();
    expectContent(dir_.file("sub/ABC_SHZ_20070315_123046_000"), 0, {t_ + 1});

    test::writeText(ini, "[OUT4INTFILE]\nTODO=YES\nSECINFILE=60\nFILENAMEMEODE=\n");
    out = makeFourIntOutput(ini);
    EXPECT_EQ(out->blocksPerFile(), 60);
    EXPECT_EQ(out->naming(), FourIntOutput::Naming::Gnx);
}

}  // namespace
}  // namespace velt::outputs

#include "recorder/block_scanner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace velt::recorder {
namespace {

std::vector<ScannedBlock> scanAll(BlockScanner& scanner, const std::vector<uint8_t>& stream) {
    std::vector<ScannedBlock> blocks;
    for (uint8_t b : stream) {
        if (scanner.push(b)) blocks.push_back(scanner.block());
    }
    return blocks;
}

TEST(BlockScanner, CountsEveryKindOfDamage) {
    EncoderSettings s;
    StreamEncoder enc(s);
    SignalGenerator gen(5);
    std::vector<uint8_t> stream;
    StreamEncoder::appendGarbage(stream, 100, 1);
    StreamEncoder::appendDelimiterRun(stream, 4);  // garbage ends as a 104-byte "block"
    ASSERT_GE(enc.encodeBlocks(5, gen, stream), 0);  // 0..4
    enc.damageNextBlock({.badChecksum = true});
    ASSERT_GE(enc.encodeBlocks(4, gen, stream), 0);  // 5 (bad) .. 8
    enc.skipBlockNumbers(5);
    ASSERT_GE(enc.encodeBlocks(2, gen, stream), 0);  // 14, 15
    enc.settings().sampleRate = 50;
    ASSERT_GE(enc.encodeBlocks(1, gen, stream), 0);  // 16, 485 bytes
    enc.settings().sampleRate = 100;
    ASSERT_GE(enc.encodeBlocks(1, gen, stream), 0);  // 17
    enc.damageNextBlock({.dropBytes = 10});
    ASSERT_GE(enc.encodeBlocks(3, gen, stream), 0);  // 18 (925 bytes, bad), 19, 20
    StreamEncoder::appendGarbage(stream, 100, 2);

    BlockScanner scanner;
    const auto blocks = scanAll(scanner, stream);
    const ScanTotals& t = scanner.totals();
    EXPECT_EQ(t.bytes, stream.size());
    EXPECT_EQ(t.blocks, 17u);
    EXPECT_EQ(t.shortBlocks, 1u);
    EXPECT_EQ(t.badChecksums, 2u);
    EXPECT_EQ(t.numberGaps, 1u);
    EXPECT_EQ(t.lengthChanges, 5u);  // 104->935->485->935->925->935
    EXPECT_EQ(t.oversizeBlocks, 0u);
    EXPECT_EQ(scanner.pendingBytes(), 100u);

    ASSERT_EQ(blocks.size(), 17u);
    EXPECT_FALSE(blocks[0].hasStatus);
    EXPECT_EQ(blocks[0].length, 104);
    EXPECT_EQ(blocks[1].streamOffset, 104u);
    EXPECT_EQ(blocks[1].samples, 100);
    EXPECT_FALSE(blocks[6].checksumOk);
    EXPECT_EQ(blocks[10].blockNumber, 14u);
    EXPECT_TRUE(blocks[10].numberGap);
    EXPECT_EQ(blocks[12].samples, 50);
    EXPECT_EQ(blocks[14].samples, -1);
    EXPECT_EQ(blocks[14].blockNumber, 18u);  // the loss came after the status record
    // The mark of block 20 gives it the encoder's time.
    EXPECT_TRUE(blocks[16].newMark);
    EXPECT_EQ(blocks[16].blockTime, enc.blockTime(20));
}

TEST(BlockScanner, OversizeAndDelimiterRunsNeverOverrunTheBuffer) {
    std::vector<uint8_t> stream;
    StreamEncoder::appendGarbage(stream, 25000, 3);
    StreamEncoder::appendDelimiterRun(stream, 9);  // one delimiter only
    StreamEncoder::appendGarbage(stream, 10, 4);
    StreamEncoder::appendDelimiterRun(stream, 3);  // no delimiter
    BlockScanner scanner;
    const auto blocks = scanAll(scanner, stream);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(blocks[0].oversize);
    EXPECT_EQ(blocks[0].length, 25004);
    EXPECT_EQ(scanner.pendingBytes(), 5u + 10u + 3u);
}

TEST(BlockScanner, FollowsTheConfigurationAndTheLanes) {
    EncoderSettings s;
    s.stationName = "KONI";
    s.configNumber = 77;
    s.restartNumber = 0x030201;
    StreamEncoder enc(s);
    SignalGenerator gen(9);
    std::vector<uint8_t> stream;
    const int cycle = int(configurationSequence(s).size());
    ASSERT_GE(enc.encodeBlocks(2 * cycle, gen, stream), 0);
    BlockScanner scanner;
    const auto blocks = scanAll(scanner, stream);
    EXPECT_EQ(scanner.totals().configurations, 2u);
    EXPECT_TRUE(blocks[std::size_t(cycle - 1)].configurationCompleted);
    EXPECT_EQ(scanner.configuration().configNumber, 77u);
    EXPECT_STREQ(scanner.configuration().stationName, "KONI");
    uint32_t value = 0;
    ASSERT_TRUE(scanner.laneConfigNumber(value));
    EXPECT_EQ(value, 77u);
    ASSERT_TRUE(scanner.laneRestartNumber(value));
    EXPECT_EQ(value, 0x030201u);
}

#ifdef VELT_BIN_DIR
// The simulator's files, read back in order, form one clean stream.
TEST(Veltsim, WritesCompleteNumberedFilesOfOneCleanStream) {
    const std::string sim = std::string(VELT_BIN_DIR) + "/veltsim";
    if (std::FILE* f = std::fopen(sim.c_str(), "rb")) {
        std::fclose(f);
    } else {
        GTEST_SKIP() << "veltsim not built";
    }
    test::TempDir dir;
    const test::Launch write{.args = {sim, "write", "--out", dir.path(), "--duration", "30", "--rate", "50",
                                      "--file-size", "4000", "--first-file", "1F", "--start", "2026-02-03T04:05:06",
                                      "--station", "SIMU"},
                             .output = "/dev/null"};
    ASSERT_EQ(test::runProgram(write).exit, 0);
    std::vector<uint8_t> stream;
    const long sizes[] = {4000, 4000, 4000, 30 * 485 - 12000};
    for (long i = 0; i < 4; ++i) {
        const auto bytes = test::readFile(dir.file(test::rtName(0x1F + i)));
        EXPECT_EQ(long(bytes.size()), sizes[i]);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    BlockScanner scanner;
    const auto blocks = scanAll(scanner, stream);
    EXPECT_EQ(scanner.totals().blocks, 30u);
    EXPECT_EQ(scanner.totals().badChecksums + scanner.totals().numberGaps + scanner.totals().lengthChanges, 0u);
    ASSERT_EQ(blocks.size(), 30u);
    EXPECT_EQ(blocks[29].blockTime, 1770091506 + 29);  // 2026-02-03 04:05:06 is block 0
    // A second run into the same directory must not replace the files.
    EXPECT_NE(test::runProgram(write).exit, 0);
    EXPECT_EQ(test::readFile(dir.file(test::rtName(0x1F))), std::vector<uint8_t>(stream.begin(), stream.begin() + 4000));
}
#endif

}  // namespace
}  // namespace velt::recorder

// The stream state machine over real input directories: what reaches the
// outputs (times and samples) and the numbered log lines, in every state.
#include <gtest/gtest.h>

#include "stream_fixture.h"

namespace velt::test {
namespace {

using recorder::BlockDamage;
using recorder::EncoderSettings;
using recorder::SignalGenerator;
using recorder::StreamEncoder;

constexpr int kRate = 50;
constexpr int kBlockBytes = 9 * kRate + 35;

EncoderSettings settings() {
    EncoderSettings s;
    s.sampleRate = kRate;
    s.markInterval = 5;
    s.firstBlockNumber = 1000;
    return s;
}

class StreamConverterTest : public StreamFixture {};

TEST_F(StreamConverterTest, GarbageThenCleanStreamDeliversEveryBlockOnce) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(7);
    EncodedStream stream;
    StreamEncoder::appendGarbage(stream.bytes, 777, 3);
    const std::size_t garbage = stream.bytes.size();
    encode(encoder, signal, 300, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 0x1A, 4000);

    start();
    runToEnd();

    ASSERT_GE(monitor.logTexts().size(), 2u);
    // The first block merges with the garbage into one odd length; line 14
    // comes at the delimiter of the eleventh equal block after it.
    const long end11 = long(garbage) + 12 * kBlockBytes;
    char expected[100];
    std::snprintf(expected, sizeof expected, "14 BLOCKLENREQ -> CONFIGREQ %ld %ld", 0x1AL + end11 / 4000, end11 % 4000);
    EXPECT_EQ(monitor.logTexts()[0], expected);
    EXPECT_EQ(monitor.logTexts()[1].rfind("13 CONFIG -> DATAOPER ", 0), 0u);
    EXPECT_EQ(monitor.logTexts().size(), 2u);
    EXPECT_EQ(sink.blocks.size(), 3 * (stream.times.size() - 1));
    expectDelivered(stream, 1, stream.times.size());
    EXPECT_EQ(sink.closes, 0);
    EXPECT_EQ(converter->state(), conversion::StreamConverter::DATAOPER);
}

TEST_F(StreamConverterTest, RestartFromPersistedPositionDeliversEveryBlockExactlyOnce) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(11);
    EncodedStream stream;
    encode(encoder, signal, 600, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 10000);

    start(/*persistInterval=*/1000);  // only the flush at the stop writes
    for (long i = 0; i < 10'000'000 && sink.blocks.size() < 3 * 250; ++i) converter->step();
    const std::size_t firstRun = sink.blocks.size() / 3;
    stop();  // orderly: the reader writes its pending position

    start();
    runToEnd();
    ASSERT_EQ(sink.blocks.size(), 3 * stream.times.size());
    expectDelivered(stream, 0, stream.times.size());
    EXPECT_GT(firstRun, 0u);
}

TEST_F(StreamConverterTest, LengthChangeWhileConvertingKeepsOutputsOpenAndResumes) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(5);
    EncodedStream stream;
    encode(encoder, signal, 200, stream);
    encoder.damageNextBlock(BlockDamage{false, 10});
    EncodedStream damaged;
    encode(encoder, signal, 1, damaged);
    stream.bytes.insert(stream.bytes.end(), damaged.bytes.begin(), damaged.bytes.end());
    const std::size_t afterDamage = stream.times.size();
    encode(encoder, signal, 300, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);

    start();
    runToEnd();

    // The converter looks past the odd piece and goes on with the next
    // block, without learning the stream again.
    const long goodEnd = 200L * kBlockBytes;
    char expected[100];
    std::snprintf(expected, sizeof expected, "15 DALACOL -> RESYNC 1 %ld", goodEnd);
    ASSERT_EQ(monitor.logTexts().size(), 4u) << ::testing::PrintToString(monitor.logTexts());
    EXPECT_EQ(monitor.logTexts()[2], expected);
    EXPECT_EQ(monitor.logTexts()[3].rfind("16 RESYNC -> DALACOL 1 ", 0), 0u);
    EXPECT_EQ(sink.closes, 0);
    // Everything before the damaged block, and everything after it.
    expectDelivered(stream, 0, afterDamage);
    expectDelivered(stream, afterDamage, stream.times.size(), 3 * afterDamage);
    EXPECT_EQ(sink.blocks.size(), 3 * stream.times.size());
}

TEST_F(StreamConverterTest, LastingRateChangeWhileConvertingDeliversBothRatesOnce) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(19);
    EncodedStream stream;
    encode(encoder, signal, 200, stream);
    // The recorder restarts at another rate, with a new configuration number.
    encoder.settings().sampleRate = 60;
    encoder.settings().configNumber += 1;
    encode(encoder, signal, 400, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);

    start();
    runToEnd(5'000'000);

    // No block of the new rate continues the old stream: after looking a
    // few pieces ahead the converter learns it afresh from the break.
    char expected[100];
    std::snprintf(expected, sizeof expected, "10 DALACOL -> BLOCKLENREQ 1 %d", 200 * kBlockBytes);
    ASSERT_GE(monitor.logTexts().size(), 6u);
    EXPECT_EQ(monitor.logTexts()[2].rfind("15 DALACOL -> RESYNC ", 0), 0u);
    EXPECT_EQ(monitor.logTexts()[3], expected);
    EXPECT_EQ(monitor.countLines("13 "), 2) << ::testing::PrintToString(monitor.logTexts());
    ASSERT_EQ(sink.blocks.size(), 3 * stream.times.size());
    expectDelivered(stream, 0, stream.times.size());
}

TEST_F(StreamConverterTest, DamagedBlockCostsOnlyItselfAndJumpingNumbersGoOn) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(6);
    EncodedStream stream;
    encode(encoder, signal, 200, stream);
    encoder.damageNextBlock(BlockDamage{true, 0});
    encode(encoder, signal, 1, stream);  // index 200, bad checksum: lost
    encode(encoder, signal, 300, stream);
    encoder.skipBlockNumbers(3);         // index 501 jumps ahead: kept, at its own time
    encode(encoder, signal, 300, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);

    start();
    runToEnd();

    EXPECT_EQ(monitor.countLines("15 DALACOL -> RESYNC"), 2) << ::testing::PrintToString(monitor.logTexts());
    EXPECT_EQ(monitor.countLines("16 RESYNC -> DALACOL"), 2);
    EXPECT_EQ(monitor.countLines("13 "), 1);
    EXPECT_EQ(sink.closes, 0);  // the outputs see a gap of one block, nothing more
    expectDelivered(stream, 0, 200);
    expectDelivered(stream, 201, stream.times.size(), 3 * 200);
    EXPECT_EQ(sink.blocks.size(), 3 * (stream.times.size() - 1));
    EXPECT_EQ(converter->counts().damaged, 1u);
}

TEST_F(StreamConverterTest, FaultsWhileWaitingForConfigurationGoBackToLengthSearch) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(8);
    EncodedStream stream;
    encode(encoder, signal, 20, stream);           // into CONFIG
    encoder.damageNextBlock(BlockDamage{true, 0}); // rejected in CONFIG: line 30
    encode(encoder, signal, 1, stream);
    encode(encoder, signal, 15, stream);           // back into CONFIG
    encoder.damageNextBlock(BlockDamage{false, 9});  // length change in CONFIG: line 12
    encode(encoder, signal, 1, stream);
    const std::size_t cleanFrom = stream.times.size();
    encode(encoder, signal, 400, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);

    start();
    runToEnd();

    // The odd-length block is also handed to the decoder at the same
    // delimiter, which rejects it: a second line 30.
    EXPECT_EQ(monitor.countLines("30 CONFIG -> BLOCKLENREQ "), 2);
    EXPECT_EQ(monitor.countLines("12 CONFIG -> BLOCKLENREQ "), 1);
    EXPECT_EQ(monitor.countLines("13 "), 1);
    // Data start with the run of equal blocks that followed the last fault.
    expectDelivered(stream, cleanFrom, stream.times.size());
    EXPECT_EQ(sink.blocks.size(), 3 * (stream.times.size() - cleanFrom));
}

TEST_F(StreamConverterTest, TenEqualBlocksThenAShorterOneRestartTheRun) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(9);
    EncodedStream stream;
    encode(encoder, signal, 10, stream);
    encoder.damageNextBlock(BlockDamage{false, 18});
    encode(encoder, signal, 1, stream);
    encode(encoder, signal, 10, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);

    start();
    runToEnd();
    // 10 + 1 + 10 blocks never make 11 equal lengths in a row.
    EXPECT_TRUE(monitor.logTexts().empty());
    encode(encoder, signal, 1, stream);
    writeFile(rtDir() + "/" + rtName(1), stream.bytes);
    clock.advance(20);
    runToEnd();
    ASSERT_EQ(monitor.logTexts().size(), 1u);
    const long end = 11L * kBlockBytes - 18 + 11L * kBlockBytes;
    EXPECT_EQ(monitor.logTexts()[0], "14 BLOCKLENREQ -> CONFIGREQ 1 " + std::to_string(end));
}

TEST_F(StreamConverterTest, LongGarbageWritesCheckpointLines) {
    std::vector<uint8_t> bytes;
    StreamEncoder::appendGarbage(bytes, 250000, 1);
    writeRealTimeFiles(rtDir(), bytes, 1, 100000);
    start();
    runToEnd();
    // The first 100000 bytes only take a checkpoint; the second 100000 persist it.
    ASSERT_EQ(monitor.logTexts().size(), 1u);
    EXPECT_EQ(monitor.logTexts()[0].rfind("41 BLOCKLENREQ ERR ", 0), 0u);
    stop();
    EXPECT_EQ(platform::readProfileString(ini, "WORK", "FILENUM", "", 100), "2h");
    EXPECT_EQ(platform::readProfileInt(ini, "WORK", "OFFSET", -1), 1);
}

TEST_F(StreamConverterTest, ConfigurationMustMatchTheLaneNumbers) {
    EncoderSettings s = settings();
    s.repeatConfiguration = false;
    StreamEncoder encoder(s);
    SignalGenerator signal(12);
    EncodedStream stream;
    // The configuration stream announces a different number than the lanes carry.
    EncoderSettings other = s;
    other.configNumber = s.configNumber + 1;
    encoder.queueConfigBytes(recorder::configurationSequence(other));
    encode(encoder, signal, 200, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);
    start();
    runToEnd();
    EXPECT_EQ(monitor.countLines("13 "), 0);
    EXPECT_TRUE(sink.blocks.empty());

    // The right record arrives: data flow from the start of the run.
    encoder.queueConfiguration();
    encode(encoder, signal, 200, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);
    clock.advance(20);
    runToEnd();
    EXPECT_EQ(monitor.countLines("13 "), 1);
    expectDelivered(stream, 0, stream.times.size());
}

TEST_F(StreamConverterTest, WithoutTimeMarksTheFallbackTimeBaseIsUsed) {
    EncoderSettings s = settings();
    s.markInterval = 0;
    StreamEncoder encoder(s);
    SignalGenerator signal(13);
    EncodedStream stream;
    encode(encoder, signal, 250, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);
    start();
    runToEnd();
    ASSERT_FALSE(sink.blocks.empty());
    const auto first = sink.blocks.front();
    EXPECT_EQ(first.time, 1000000000 + int32_t(stream.blockNumbers[0]) + 1);
    EXPECT_EQ(sink.blocks.size(), 3 * stream.times.size());
}

TEST_F(StreamConverterTest, DisagreeingMarksLoseTheTimeBase) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(14);
    EncodedStream stream;
    encode(encoder, signal, 200, stream);
    // From here on every mark is one second off.
    encoder.setStatusHook([](uint32_t, std::array<uint8_t, recorder::kStatusBytes>& st) {
        const uint32_t m = platform::get_u32be(&st[recorder::kStMarkSeconds]);
        platform::put_u32be(&st[recorder::kStMarkSeconds], m + 1);
    });
    encode(encoder, signal, 100, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);
    start();
    runToEnd();
    // Eleven disagreeing marks (one every five blocks) end the data flow.
    EXPECT_EQ(monitor.countLines("11 DALACOL"), 1);
    EXPECT_EQ(sink.closes, 1);
    // Up to the eleventh bad mark the old time base stays in force.
    const std::size_t delivered = sink.blocks.size() / 3;
    EXPECT_GE(delivered, 200u + 50u);
    expectDelivered(stream, 0, 200);
}

TEST_F(StreamConverterTest, FollowsGrowingFilesAndStopsAtAMissingNumber) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(15);
    EncodedStream stream;
    encode(encoder, signal, 300, stream);
    const std::size_t half = stream.bytes.size() / 2;
    writeFile(rtDir() + "/" + rtName(5), std::vector<uint8_t>(stream.bytes.begin(), stream.bytes.begin() + long(half)));
    start();
    runToEnd();
    const std::size_t firstPart = sink.blocks.size();
    EXPECT_GT(firstPart, 0u);
    // The file grows while it is read.
    writeFile(rtDir() + "/" + rtName(5), std::vector<uint8_t>(stream.bytes.begin() + long(half), stream.bytes.end()),
              std::ios::app);
    clock.advance(20);
    runToEnd();
    expectDelivered(stream, 0, stream.times.size());

    // File 6 is missing: file 7 is not read, and the next look comes 20 s later.
    EncodedStream more;
    encode(encoder, signal, 20, more);
    writeFile(rtDir() + "/" + rtName(7), more.bytes);
    clock.advance(20);
    runToEnd();
    EXPECT_EQ(sink.blocks.size(), 3 * stream.times.size());
    writeFile(rtDir() + "/" + rtName(6), {});
    runToEnd();
    EXPECT_EQ(sink.blocks.size(), 3 * stream.times.size());
    clock.advance(20);
    runToEnd();
    EXPECT_EQ(sink.blocks.size(), 3 * (stream.times.size() + more.times.size()));
}

TEST_F(StreamConverterTest, InputStartedBeforeItsFirstFileConvertsItFromTheStart) {
    start();
    runToEnd();
    StreamEncoder encoder(settings());
    SignalGenerator signal(17);
    EncodedStream stream;
    encode(encoder, signal, 300, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 0x41A, 100000);
    clock.advance(20);
    runToEnd();
    expectDelivered(stream, 0, stream.times.size());
    EXPECT_EQ(sink.blocks.size(), 3 * stream.times.size());
}

// An output that keeps every block in memory until told to write it.
class HoldingSink final : public conversion::OutputSink {
public:
    void putSample(int32_t) override {}
    void setTime(int32_t t) override { time_ = t; }
    void clearSamples() override {}
    void flushChannel() override {
        if (pendingSince_ == kNothingPending) pendingSince_ = time_;
    }
    void setConfiguration(const recorder::ConfigurationRecord&) override {}
    void selectChannel(int32_t) override {}
    void closeOutputs() override { pendingSince_ = kNothingPending; }
    int64_t oldestPendingTime() const override { return pendingSince_; }

private:
    int32_t time_ = 0;
    int64_t pendingSince_ = kNothingPending;
};

TEST_F(StreamConverterTest, StoredPositionNeverPassesUnwrittenBlocks) {
    StreamEncoder encoder(settings());
    SignalGenerator signal(18);
    EncodedStream stream;
    encode(encoder, signal, 300, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);
    HoldingSink holding;
    start();
    converter->attach(0, &monitor, &holding);
    runToEnd();
    // Everything is still held: a restart must begin with the first block.
    EXPECT_EQ(platform::readProfileString(ini, "WORK", "FILENUM", "", 100), "1h");
    EXPECT_EQ(platform::readProfileInt(ini, "WORK", "OFFSET", -1), 0);
    // Once the output has written everything, the exact position is stored.
    holding.closeOutputs();
    reader->flush();
    EXPECT_EQ(platform::readProfileString(ini, "WORK", "FILENUM", "", 100), "2h");
    EXPECT_EQ(platform::readProfileInt(ini, "WORK", "OFFSET", -1), long(stream.bytes.size()) - 100000);
}

TEST_F(StreamConverterTest, WaitingInputIdlesForTwentySeconds) {
    start();
    converter->setWaitAllowed(true);
    converter->step();
    EXPECT_TRUE(converter->isWaiting());
    EXPECT_EQ(monitor.lastValue("setWaiting", -1), 1);
    StreamEncoder encoder(settings());
    SignalGenerator signal(16);
    EncodedStream stream;
    encode(encoder, signal, 20, stream);
    writeRealTimeFiles(rtDir(), stream.bytes, 1, 100000);
    clock.advance(19);
    for (int i = 0; i < 100; ++i) converter->step();
    EXPECT_TRUE(converter->isWaiting());
    clock.advance(1);
    converter->step();
    EXPECT_FALSE(converter->isWaiting());
    EXPECT_EQ(monitor.lastValue("setWaiting", -1), 0);
}

}  // namespace
}  // namespace velt::test

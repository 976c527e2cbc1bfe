// The receiver fed with the encoder's stream: both files hold the stream
// from its first byte on, livemill converts the real-time files
// without losing a block, and the fields show what the encoder put in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "livemill/input_reader.h"
#include "conversion/stream_converter.h"
#include "platform/calendar.h"
#include "platform/clock.h"
#include "platform/endian.h"
#include "recorder/card_file_header.h"
#include "recorder/signal_generator.h"
#include "recorder/status_monitor.h"
#include "recorder/stream_encoder.h"
#include "support/temp_dir.h"
#include "veltview/receiver.h"

namespace velt::veltview {
namespace {

/// Counts the block times a converter delivers.
class TimeSink final : public conversion::OutputSink {
public:
    void putSample(int32_t) override {}
    void setTime(int32_t t) override { times.insert(t); }
    void clearSamples() override {}
    void flushChannel() override {}
    void setConfiguration(const recorder::ConfigurationRecord&) override {}
    void selectChannel(int32_t) override {}
    void closeOutputs() override {}
    std::set<int64_t> times;
};

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ReceiverTest, FilesHoldTheStreamAndFieldsShowTheEncodersValues) {
    const test::TempDir dir;
    std::filesystem::create_directories(dir.file("rt"));
    std::filesystem::create_directories(dir.file("card"));
    std::ofstream(dir.file("rt.ini")) << "[COMMON]\nDESTDIR=" << dir.file("rt") << "\nFILESIZE=20000\n";
    std::ofstream(dir.file("arch.ini")) << "[ARCH0]\nDESTDIR=" << dir.file("card") << "\nSTARTMODE=ON\n[COMMON]\n"
                                        << "STARTDEVICE=0\nFILESIZE=50000\nARCHNUM=3\n";

    recorder::EncoderSettings settings;
    recorder::StreamEncoder encoder(settings);
    recorder::SignalGenerator signal(5);
    std::vector<uint8_t> stream;
    encoder.encodeBlocks(300, signal, stream);
    const std::size_t damaged = stream.size();
    const uint32_t damagedBlock = encoder.nextBlockNumber();
    encoder.damageNextBlock(recorder::BlockDamage{true, 0});
    encoder.encodeBlocks(1, signal, stream);
    encoder.encodeBlocks(20, signal, stream);

    PixelCanvas canvas;
    TraceDisplay display(canvas);
    MemoryMonitorFields fields;
    MemoryWriterWindow window;
    ArchiveWriter archive(window);
    RealtimeWriter realtime(window);
    archive.startArchive(dir.file("arch.ini"));
    archive.pollDevices();
    realtime.startRealtime(dir.file("rt.ini"));
    Receiver receiver({display, canvas, fields, &archive, &realtime, nullptr, ""});
    receiver.startReception();
    std::size_t firstWritten = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        const bool wasLearned = receiver.learned();
        receiver.receiveByte(stream[i]);
        if (!wasLearned && receiver.learned()) firstWritten = i + 1;  // the main phase starts with the next byte
    }
    archive.stopArchive();
    realtime.stopRealtime();
    realtime.startRealtime(dir.file("rt.ini"));  // numbers the last tmpfile
    realtime.stopRealtime();
    ASSERT_GT(firstWritten, 0u);
    EXPECT_EQ(receiver.blockLength(), 935);

    // Both files, joined, are the whole stream: every byte goes to them from
    // the first, before the block length is learned.
    const std::vector<uint8_t>& expected = stream;
    std::vector<uint8_t> rt, card;
    for (long n = 1000;; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "rt/%8.8lX", n);
        if (!std::filesystem::exists(dir.file(name))) break;
        const auto part = readAll(dir.file(name));
        rt.insert(rt.end(), part.begin(), part.end());
    }
    for (uint32_t n = 1000;; ++n) {
        recorder::CardFile file;
        if (file.open(dir.file("card/" + recorder::cardFileName(n, "UUU"))) != 0) break;
        EXPECT_EQ(file.fullCheck(), 1);
        EXPECT_EQ(file.deviceNumber(), 3u);
        std::vector<uint8_t> data(std::size_t(file.dataLength()));
        file.readData(0, data.data(), data.size());
        card.insert(card.end(), data.begin(), data.end());
    }
    EXPECT_TRUE(rt == expected) << rt.size() << " of " << expected.size();
    EXPECT_TRUE(card == expected) << card.size() << " of " << expected.size();

    // The damaged block reached the files but its status was not decoded.
    EXPECT_GT(damaged, firstWritten);
    EXPECT_EQ(fields[Field::ChecksumErrors], "1");
    EXPECT_EQ(canvas.row(26).substr(0, 5), "CSEEE");

    EXPECT_EQ(fields[Field::SampleRate], "100");
    EXPECT_EQ(fields[Field::StationName], "VELT1");
    EXPECT_EQ(fields[Field::ChannelName2], "HHE");
    EXPECT_EQ(fields[Field::Sensor1], "SENSOR_1");
    EXPECT_EQ(fields[Field::GroupDelay], "54819");
    EXPECT_EQ(fields[Field::ConfigNumber], "20260001");
    EXPECT_EQ(fields[Field::RestartCounter], "1");
    EXPECT_EQ(fields[Field::StartStatus], "01");
    EXPECT_EQ(fields[Field::SerialNumber], "002A");
    // The last block's time: its mark plus one; with a group delay the
    // seconds stand and the milliseconds are 1000 - (54819 + 50) / 100.
    const platform::CivilTime t = platform::utcFromSeconds(encoder.blockTime(encoder.nextBlockNumber() - 1));
    char time[40];
    std::snprintf(time, sizeof time, "%.2d/%.2d/%4.4d %.2d:%.2d:%.2d.452", t.day, t.month, t.year, t.hour, t.minute,
                  t.second);
    EXPECT_EQ(fields[Field::CurrentTime], time);

    // livemill follows the real-time files and loses no block of them up to
    // the damaged one (which it rejects, as it should).
    std::ofstream(dir.file("input.ini")) << "[INPUT]\nINDIR=" << dir.file("rt") << "\n";
    platform::ManualClock clock;
    livemill::InputReader reader(dir.file("input.ini"), clock);
    reader.open();
    conversion::StreamConverter converter(reader, 10, clock);
    converter.setWaitAllowed(false);
    recorder::NullStatusMonitor monitor;
    TimeSink sink;
    converter.attach(0, &monitor, &sink);
    for (int dry = 0; dry < 3;) {
        converter.step();
        dry = converter.starved() ? dry + 1 : 0;
    }
    ASSERT_FALSE(sink.times.empty());
    const int64_t first = encoder.blockTime(uint32_t(firstWritten / 935 + 1));  // the first complete block
    const int64_t beforeDamage = encoder.blockTime(damagedBlock - 1);
    for (int64_t t = first; t <= beforeDamage; ++t) ASSERT_EQ(sink.times.count(t), 1u) << "block time " << t;
}

}  // namespace
}  // namespace velt::veltview

namespace velt::veltview {
namespace {

TEST(ReceiverTest, FourMarksThatDisagreeReplaceTheLockedTimeBase) {
    recorder::EncoderSettings settings;
    recorder::StreamEncoder encoder(settings);
    // From block 100 on, the marks say 100 s later than before.
    encoder.setStatusHook([](uint32_t block, std::array<uint8_t, recorder::kStatusBytes>& s) {
        if (block >= 100)
            platform::put_u32be(&s[recorder::kStMarkSeconds], platform::get_u32be(&s[recorder::kStMarkSeconds]) + 100);
    });
    recorder::SignalGenerator signal(9);
    std::vector<uint8_t> stream;
    encoder.encodeBlocks(100 + 10 * 2 + 5, signal, stream);  // three disagreeing marks (100, 110, 120): the old base
    PixelCanvas canvas;
    TraceDisplay display(canvas);
    MemoryMonitorFields fields;
    Receiver receiver({display, canvas, fields, nullptr, nullptr, nullptr, ""});
    receiver.startReception();
    for (uint8_t b : stream) receiver.receiveByte(b);
    const auto timeOf = [](int64_t seconds) {
        const platform::CivilTime t = platform::utcFromSeconds(seconds);
        char text[40];
        std::snprintf(text, sizeof text, "%.2d/%.2d/%4.4d %.2d:%.2d:%.2d.452", t.day, t.month, t.year, t.hour,
                      t.minute, t.second);
        return std::string(text);
    };
    EXPECT_EQ(fields[Field::CurrentTime], timeOf(encoder.blockTime(encoder.nextBlockNumber() - 1)));
    stream.clear();
    encoder.encodeBlocks(10, signal, stream);  // the fourth (130) and no other: the base moves
    for (uint8_t b : stream) receiver.receiveByte(b);
    EXPECT_EQ(fields[Field::CurrentTime], timeOf(encoder.blockTime(encoder.nextBlockNumber() - 1) + 100));
}

}  // namespace
}  // namespace velt::veltview

namespace velt::veltview {
namespace {

TEST(ReceiverTest, DatesAfterFebruary2100AreRight) {
    recorder::EncoderSettings settings;
    settings.firstMarkSeconds = uint32_t(platform::secondsFromUtc(2100, 3, 1, 0, 0, 0) - 100);
    recorder::StreamEncoder encoder(settings);
    recorder::SignalGenerator signal(2);
    std::vector<uint8_t> stream;
    encoder.encodeBlocks(150, signal, stream);
    PixelCanvas canvas;
    TraceDisplay display(canvas);
    MemoryMonitorFields fields;
    Receiver receiver({display, canvas, fields, nullptr, nullptr, nullptr, ""});
    receiver.startReception();
    for (uint8_t b : stream) receiver.receiveByte(b);
    // 2100 is no leap year: the day after 28 February is 1 March.
    EXPECT_EQ(fields[Field::CurrentTime], "01/03/2100 00:00:50.452");
}

}  // namespace
}  // namespace velt::veltview

namespace velt::veltview {
namespace {

TEST(ReceiverTest, UnknownValuesStayBlankAndASmallGroupDelayCarriesIntoTheSeconds) {
    recorder::EncoderSettings settings;
    settings.delay = 20;  // rounds to 0 ms
    recorder::StreamEncoder encoder(settings);
    recorder::SignalGenerator signal(4);
    std::vector<uint8_t> stream;
    encoder.encodeBlocks(40, signal, stream);
    PixelCanvas canvas;
    TraceDisplay display(canvas);
    MemoryMonitorFields fields;
    Receiver receiver({display, canvas, fields, nullptr, nullptr, nullptr, ""});
    for (int run = 0; run < 2; ++run) {
        // Every run starts blank, whatever the last one showed.
        receiver.startReception();
        for (Field f : {Field::CurrentTime, Field::ConfigNumber, Field::RestartCounter}) EXPECT_EQ(fields[f], "");
        for (uint8_t b : stream) {
            if (!receiver.receiveByte(b)) continue;
            EXPECT_TRUE(fields[Field::ConfigNumber] == "" || fields[Field::ConfigNumber] == "20260001");
            EXPECT_TRUE(fields[Field::RestartCounter] == "" || fields[Field::RestartCounter] == "1");
            EXPECT_EQ(fields[Field::CurrentTime].find("1970"), std::string::npos) << fields[Field::CurrentTime];
        }
    }
    const platform::CivilTime t = platform::utcFromSeconds(encoder.blockTime(encoder.nextBlockNumber() - 1) + 1);
    char time[40];
    std::snprintf(time, sizeof time, "%.2d/%.2d/%4.4d %.2d:%.2d:%.2d.000", t.day, t.month, t.year, t.hour, t.minute,
                  t.second);
    EXPECT_EQ(fields[Field::CurrentTime], time);
    EXPECT_EQ(fields[Field::ConfigNumber], "20260001");
}

}  // namespace
}  // namespace velt::veltview

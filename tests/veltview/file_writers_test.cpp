// The monitor's two file writers fed with an encoded stream: the files hold
// exactly the bytes fed, in the sizes and names the settings give, also
// across a folder that is away for a while.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/clock.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "recorder/card_file_header.h"
#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"
#include "support/temp_dir.h"
#include "veltview/archive_writer.h"
#include "veltview/realtime_writer.h"

namespace velt::veltview {
namespace {

std::vector<uint8_t> encodedStream(int blocks) {
    recorder::StreamEncoder encoder(recorder::EncoderSettings{});
    recorder::SignalGenerator signal(3);
    std::vector<uint8_t> bytes;
    encoder.encodeBlocks(blocks, signal, bytes);
    return bytes;
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(CardFileHeaderTest, ChecksAndNumbers) {
    recorder::CardHeader h = recorder::buildCardHeader(26, 0x1A, "UUUUUU");
    EXPECT_TRUE(recorder::cardHeaderValid(h.data()));
    EXPECT_EQ(std::string(h.begin() + 16, h.begin() + 27), "A000001AUUU");
    EXPECT_EQ(recorder::cardFileNumber(h.data()), 0x1Au);
    EXPECT_EQ(recorder::quickCheckCardHeader(h.data(), 64, 26), 0);
    EXPECT_EQ(recorder::quickCheckCardHeader(h.data(), 63, 26), -2);
    EXPECT_EQ(recorder::quickCheckCardHeader(h.data(), 64, 27), 4);
    h[16] = 'B';  // the letter is ignored, but the copies now differ
    EXPECT_EQ(recorder::cardFileNumber(h.data()), 0x1Au);
    EXPECT_FALSE(recorder::cardHeaderValid(h.data()));
    h = recorder::buildCardHeader(1, 2, "ABC");
    h[62] = h[63] = 0;  // an unfinished header
    EXPECT_FALSE(recorder::cardHeaderValid(h.data()));
    h = recorder::buildCardHeader(1, 2, "ABC");
    h[0] = 'X';
    EXPECT_EQ(recorder::quickCheckCardHeader(h.data(), 64, 1), 1);
}

TEST(RealtimeWriterTest, NumberedFilesHoldTheStreamInFileSizeSlices) {
    const test::TempDir dir;
    const std::string ini = dir.file("rt.ini");
    std::ofstream(ini) << "[COMMON]\nDESTDIR=" << dir.path() << "\\rt\\\nFILESIZE=1000\n[WORK]\nCURRENTFILENUM=255\n";
    std::filesystem::create_directories(dir.file("rt"));
    const std::vector<uint8_t> stream = encodedStream(40);  // 9 * 100 + 35 bytes a block
    MemoryWriterWindow window;
    platform::ManualClock clock;
    RealtimeWriter writer(window, clock);
    writer.startRealtime(ini);
    EXPECT_EQ(window.realtimeCaption, "RTdata       on");
    EXPECT_EQ(window.realtimeFileNumber, "000000FF");
    for (uint8_t b : stream) writer.addByte(b);
    // Bytes wait at most a second in the buffer.
    const std::size_t full = stream.size() / 1000;
    EXPECT_LT(test::readFile(dir.file("rt/tmpfile")).size(), stream.size() % 1000);
    clock.advance(1);
    writer.tick();
    EXPECT_EQ(test::readFile(dir.file("rt/tmpfile")).size(), stream.size() % 1000);
    writer.stopRealtime();
    // A restart numbers the tmpfile, whatever it holds.
    writer.startRealtime(ini);
    writer.stopRealtime();
    std::vector<uint8_t> joined;
    for (std::size_t k = 0; k <= full; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "rt/%8.8zX", 255 + k);
        const auto part = test::readFile(dir.file(name));
        if (k < full) {
            EXPECT_EQ(part.size(), 1000u) << name;
        }
        joined.insert(joined.end(), part.begin(), part.end());
    }
    EXPECT_TRUE(joined == stream);
    EXPECT_EQ(platform::readProfileInt(ini, "WORK", "CURRENTFILENUM", 0), long(255 + full + 1));

    // A number that is taken: the tmpfile takes the next free one after it,
    // not one above every numbered file (livemill would wait for the gap).
    put(dir.file("rt/0000FFFF"), "someone else's");
    platform::writeProfileString(ini, "WORK", "CURRENTFILENUM", std::to_string(255 + full + 1));
    put(dir.file("rt/tmpfile"), "300 bytes or so");
    char next[32];
    std::snprintf(next, sizeof next, "rt/%8.8zX", 255 + full + 1);
    put(dir.file(next), "in the way");
    writer.startRealtime(ini);
    writer.stopRealtime();
    std::snprintf(next, sizeof next, "rt/%8.8zX", 255 + full + 2);
    EXPECT_EQ(test::readText(dir.file(next)), "300 bytes or so");
}

TEST(ArchiveWriterTest, CardFilesHoldHeaderAndStreamAndNextCardMovesOn) {
    const test::TempDir dir;
    for (const char* d : {"card0", "card2"}) std::filesystem::create_directories(dir.file(d));
    const std::string ini = dir.file("arch.ini");
    std::ofstream(ini) << "[ARCH0]\nDESTDIR=" << dir.file("card0") << "\nSTARTMODE=ON\n[ARCH2]\nDESTDIR="
                       << dir.file("card2") << "\nSTARTMODE=ON\n[COMMON]\nARCHID=1A\nARCHNUM=7\nARCHNAME=ABCDEF\n"
                       << "STARTDEVICE=0\nFILESIZE=2000\n";
    const std::vector<uint8_t> stream = encodedStream(10);
    MemoryWriterWindow window;
    platform::ManualClock clock;
    ArchiveWriter writer(window, clock);
    writer.startArchive(ini);
    writer.pollDevices();
    EXPECT_EQ(writer.archiveNumber(), 7u);
    EXPECT_EQ(writer.deviceState(2), ArchiveWriter::kReady);
    // A name that is taken is skipped, not overwritten.
    put(dir.file("card0/A00003E9.ABC"), "not ours");
    for (uint8_t b : stream) writer.addByte(b);
    writer.nextDevice();
    EXPECT_EQ(writer.currentDevice(), 2);
    EXPECT_EQ(window.dot[0], ArchiveWriter::kUsed);
    writer.nextDevice();  // no ready device left: writing stops
    EXPECT_EQ(writer.currentDevice(), -1);

    std::vector<uint8_t> joined;
    for (const char* name : {"A00003E8.ABC", "A00003EA.ABC", "A00003EB.ABC", "A00003EC.ABC", "A00003ED.ABC"}) {
        recorder::CardFile file;
        ASSERT_EQ(file.open(dir.file(std::string("card0/") + name)), 0) << name;
        EXPECT_EQ(file.fullCheck(), 1) << name;
        EXPECT_EQ(file.quickCheck(7), 0);
        std::vector<uint8_t> data(std::size_t(file.dataLength()));
        ASSERT_EQ(file.readData(0, data.data(), data.size()), long(data.size()));
        if (std::string(name) != "A00003ED.ABC") {
            EXPECT_EQ(data.size(), 2000u) << name;
        }
        joined.insert(joined.end(), data.begin(), data.end());
    }
    EXPECT_TRUE(joined == stream);
    EXPECT_EQ(test::readText(dir.file("card0/A00003E9.ABC")), "not ours");
}

std::vector<std::string> logged;
void keepLine(platform::LogLevel, const std::string& line) { logged.push_back(line); }

// The folder removed for five seconds and put back: what arrived meanwhile
// waits in memory, the state says so, the outage is logged once, and the
// folder holds every byte that arrived after the removal once it is back.
TEST(RealtimeWriterTest, AFolderAwayForAWhileLosesNoByte) {
    const test::TempDir dir;
    const std::string rt = dir.file("rt");
    const std::string ini = dir.file("rt.ini");
    std::ofstream(ini) << "[COMMON]\nDESTDIR=" << rt << "\nFILESIZE=4000\n";
    std::filesystem::create_directories(rt);
    const std::vector<uint8_t> stream = encodedStream(20);
    MemoryWriterWindow window;
    platform::ManualClock clock;
    logged.clear();
    platform::setLogSink(keepLine);
    {
        RealtimeWriter writer(window, clock);
        writer.startRealtime(ini);
        const std::size_t removedAt = 3000, backAt = stream.size() - 2000;
        for (std::size_t i = 0; i < stream.size(); ++i) {
            if (i == removedAt) {
                clock.advance(1);
                writer.tick();  // what came before the removal is written, and goes with the folder
                std::filesystem::remove_all(rt);
            }
            if (i == backAt) {
                EXPECT_EQ(window.realtimeState, "waiting for folder " + rt + "/");
                std::filesystem::create_directories(rt);
            }
            writer.addByte(stream[i]);
            if (i % 1000 == 999) {  // five seconds away
                clock.advance(1);
                writer.tick();
            }
        }
        clock.advance(1);
        writer.tick();
        EXPECT_EQ(window.realtimeState, "writing");
        writer.startRealtime(ini);  // numbers the last tmpfile
        writer.stopRealtime();
        std::vector<uint8_t> joined;
        for (const char* name : {"000003E8", "000003E9", "000003EA", "000003EB"}) {
            const auto part = test::readFile(rt + "/" + name);
            joined.insert(joined.end(), part.begin(), part.end());
        }
        EXPECT_TRUE(joined == std::vector<uint8_t>(stream.begin() + long(removedAt), stream.end()))
            << joined.size() << " of " << stream.size() - removedAt;
    }
    platform::setLogSink(nullptr);
    const auto outages = std::count_if(logged.begin(), logged.end(),
                                       [](const std::string& l) { return l.find("cannot write") != std::string::npos; });
    EXPECT_EQ(outages, 1) << ::testing::PrintToString(logged);
}

// A failed sync is the one sync a test can see: a tmpfile left as a link to
// a device that cannot sync fails when it is numbered; the new tmpfile syncs
// again, which shows on the second's tick and not with each buffer written.
TEST(RealtimeWriterTest, SyncsOnTheSecondsTickNotPerWrite) {
    const test::TempDir dir;
    const std::string ini = dir.file("rt.ini");
    std::ofstream(ini) << "[COMMON]\nDESTDIR=" << dir.path() << "\nFILESIZE=100000\n";
    std::filesystem::create_symlink("/dev/null", dir.file("tmpfile"));
    const auto count = [](const std::string& text) {
        return std::count_if(logged.begin(), logged.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    MemoryWriterWindow window;
    platform::ManualClock clock;
    logged.clear();
    platform::setLogSink(keepLine);
    {
        RealtimeWriter writer(window, clock);
        writer.startRealtime(ini);
        EXPECT_EQ(count("cannot sync " + dir.file("tmpfile")), 1);
        for (int i = 0; i < 20000; ++i) writer.addByte(uint8_t(i));  // three buffers written
        writer.tick();
        EXPECT_EQ(count("syncing"), 0);
        clock.advance(1);
        writer.tick();
        EXPECT_EQ(count("syncing"), 1);
    }
    platform::setLogSink(nullptr);
    EXPECT_EQ(logged.size(), 2u) << ::testing::PrintToString(logged);
}

}  // namespace
}  // namespace velt::veltview

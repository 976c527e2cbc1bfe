// The monitor program on the simulated recorder, over TCP and over a
// pseudo-terminal, with the recorder dropping every connection: the
// real-time and card-archive files hold every byte the recorder sent, from
// the first byte of each connection to its last, and the card archive goes
// on after every reconnect with the device STARTMODE ticked; the drop is
// noticed and the program reconnects; SIGTERM stops it in order; livemill
// converts the real-time files to the simulator's very samples.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/simulator.h"
#include "livemill/input_reader.h"
#include "conversion/stream_converter.h"
#include "platform/clock.h"
#include "recorder/block_scanner.h"
#include "recorder/card_file_header.h"
#include "recorder/signal_generator.h"
#include "recorder/status_monitor.h"
#include "recorder/stream_encoder.h"
#include "support/child_process.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "veltview/realtime_writer.h"
#include "veltview/writer_window.h"

namespace velt::veltview {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

/// The pieces of `sent` that `written` is made of, in order: each piece
/// ends where `written` stops agreeing with `sent`.
struct Piece {
    std::size_t sentBegin, sentEnd;
};
std::vector<Piece> piecesOf(const Bytes& written, const Bytes& sent) {
    constexpr std::size_t kKey = 64;  // long enough to be found in one place only
    std::vector<Piece> pieces;
    std::size_t w = 0, s = 0;
    while (w < written.size()) {
        const std::size_t key = std::min(kKey, written.size() - w);
        const auto at = std::search(sent.begin() + long(s), sent.end(), written.begin() + long(w),
                                    written.begin() + long(w + key));
        if (at == sent.end()) break;
        std::size_t begin = std::size_t(at - sent.begin()), end = begin;
        while (w < written.size() && end < sent.size() && written[w] == sent[end]) ++w, ++end;
        pieces.push_back({begin, end});
        s = end;
    }
    if (w < written.size()) pieces.push_back({sent.size(), sent.size()});  // bytes the recorder never sent
    return pieces;
}

class VeltviewProgram : public ::testing::TestWithParam<bool> {};

TEST_P(VeltviewProgram, FilesHoldEverySentByteOfEveryRunAndLivemillGetsTheSignal) {
    const bool pty = GetParam();
    const test::TempDir dir;
    const std::string sentPath = dir.file("sent.bin");
    std::vector<std::string> simArgs = {"--speed", "50", "--drop-after", "6", "--sent", sentPath};
    if (pty) simArgs.insert(simArgs.end(), {"--pty", dir.file("recorder")});
    else simArgs.insert(simArgs.end(), {"--tcp", "127.0.0.1:0"});
    test::Simulator sim(simArgs);
    const std::string line = sim.firstLine();
    std::string device, config;
    if (pty) {
        ASSERT_EQ(line, "veltsim serve: listening on pty " + dir.file("recorder"));
        device = "COM:" + dir.file("recorder");
        config = "115200,n,8,1";
    } else {
        const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        device = "INET";
        config = "127.0.0.1 " + line.substr(prefix.size());
    }
    for (const char* d : {"rt", "card"}) std::filesystem::create_directories(dir.file(d));
    std::ofstream(dir.file("veltView.ini")) << "[VELTVIEW]\nINDEVICE=" << device << "\nINDEVICECONFIGSTRING=" << config
                                            << "\n[QDATACOL]\nCONFIGFILE=rt.ini\n";
    std::ofstream(dir.file("rt.ini")) << "[COMMON]\nDESTDIR=" << dir.file("rt") << "\nFILESIZE=20000\n";
    std::ofstream(dir.file("arch.ini")) << "[ARCH0]\nDESTDIR=card\nSTARTMODE=ON\n";

    const std::string log = dir.file("veltview.log");
    test::ChildProcess veltview({.args = {VELT_BIN_DIR "/veltview", "--config", dir.path(), "--headless"},
                                 .output = log,
                                 .errorsToOutput = true});
    ASSERT_TRUE(veltview.started()) << veltview.problem();

    // Three connections of 300 blocks (room for livemill to take in the
    // configuration, which takes about 100 blocks), with the reconnections
    // between; stopped while it waits to reconnect after the third.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (count(test::readText(log), "link: reconnecting in") < 3 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    veltview.signal(SIGTERM);
    const int status = veltview.wait();
    const std::string text = test::readText(log);
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(count(text, "link: connected"), 3u) << text;
    EXPECT_NE(text.find("reconnecting in 1 s"), std::string::npos) << text;
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(5), 0);

    // Real-time files in number order, the last "tmpfile"; card files in number order.
    std::vector<std::string> rtFiles, cardFiles;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("rt"))) rtFiles.push_back(e.path().string());
    for (const auto& e : std::filesystem::directory_iterator(dir.file("card"))) cardFiles.push_back(e.path().string());
    std::sort(rtFiles.begin(), rtFiles.end());  // upper-case hexadecimal sorts before "tmpfile"
    std::sort(cardFiles.begin(), cardFiles.end());
    Bytes rt, card;
    for (const std::string& f : rtFiles) {
        const Bytes part = readBytes(f);
        rt.insert(rt.end(), part.begin(), part.end());
    }
    for (const std::string& f : cardFiles) {
        recorder::CardFile file;
        ASSERT_EQ(file.open(f), 0) << f;
        EXPECT_EQ(file.fullCheck(), 1) << f;
        Bytes data(std::size_t(file.dataLength()));
        ASSERT_EQ(file.readData(0, data.data(), data.size()), long(data.size())) << f;
        card.insert(card.end(), data.begin(), data.end());
    }
    EXPECT_TRUE(card == rt) << card.size() << " card bytes, " << rt.size() << " real-time bytes";

    // Every byte sent, in order: one piece per connection at most, with
    // nothing missing before, between or after them.
    const Bytes sent = readBytes(sentPath);
    const std::vector<Piece> pieces = piecesOf(rt, sent);
    ASSERT_GE(pieces.size(), 1u);
    ASSERT_LE(pieces.size(), 3u) << rt.size() << " bytes written of " << sent.size() << " sent";
    EXPECT_EQ(pieces.front().sentBegin, 0u);
    for (std::size_t i = 1; i < pieces.size(); ++i)
        EXPECT_EQ(pieces[i].sentBegin, pieces[i - 1].sentEnd) << "before run " << i;
    EXPECT_EQ(pieces.back().sentEnd, sent.size()) << rt.size() << " bytes written of " << sent.size() << " sent";

    // livemill follows the real-time files: every whole block there comes
    // out with the simulator's samples, in order. "tmpfile" is numbered, as
    // the monitor's next start does, so that livemill takes it too.
    MemoryWriterWindow window;
    RealtimeWriter numbering(window);
    numbering.startRealtime(dir.file("rt.ini"));
    numbering.stopRealtime();
    std::ofstream(dir.file("input.ini")) << "[INPUT]\nINDIR=" << dir.file("rt") << "\n";
    platform::ManualClock clock;
    livemill::InputReader reader(dir.file("input.ini"), clock);
    reader.open();
    conversion::StreamConverter converter(reader, 10, clock);
    converter.setWaitAllowed(false);
    recorder::NullStatusMonitor monitor;
    test::RecordingSink sink;
    converter.attach(0, &monitor, &sink);
    for (int dry = 0; dry < 3;) {
        converter.step();
        dry = converter.starved() ? dry + 1 : 0;
    }
    recorder::BlockScanner inSent;
    for (uint8_t b : sent) inSent.push(b);
    recorder::SignalGenerator signal(1);  // veltsim's default seed
    std::vector<recorder::BlockSamples> made(inSent.totals().blocks);
    for (auto& block : made) signal.fill(block, 100);
    std::size_t next = 0, jumps = 0, converted = 0;
    for (std::size_t b = 0; b + 2 < sink.blocks.size(); b += 3) {
        std::size_t k = next;
        while (k < made.size() && made[k].channel[0] != sink.blocks[b].samples) ++k;
        ASSERT_LT(k, made.size()) << "block " << b / 3 << " at " << sink.blocks[b].time << " is not the simulator's";
        for (int c = 1; c < 3; ++c) EXPECT_EQ(sink.blocks[b + std::size_t(c)].samples, made[k].channel[std::size_t(c)]);
        // Nothing is missing (a block cut by a drop at most).
        EXPECT_LE(k - next, 1u) << "before block " << k;
        jumps += k != next && b > 0;
        next = k + 1;
        ++converted;
    }
    EXPECT_LE(jumps, 2u);
    EXPECT_EQ(next, made.size()) << "the last blocks sent were not converted";
    EXPECT_GE(converted, 850u);
}

INSTANTIATE_TEST_SUITE_P(Links, VeltviewProgram, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pty" : "Tcp"; });

}  // namespace
}  // namespace velt::veltview

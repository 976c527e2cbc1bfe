// The card converter on card-archive files made from the stream encoder:
// the device list and the lookups by header, the copy to the archive that
// never replaces another recorder's file, the stream over both directories
// with its written and unwritten blocks, and the program itself.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>

#include "cardmill/card_conversion.h"
#include "cardmill/card_directory.h"
#include "cardmill/card_stream.h"
#include "conversion/stream_converter.h"
#include "cardmill/cardmill_settings.h"
#include "platform/endian.h"
#include "recorder/card_file_header.h"
#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"
#include "support/child_process.h"
#include "support/odbc_fixture.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

namespace velt::cardmill {
namespace {

using Bytes = std::vector<uint8_t>;

void writeCard(const std::string& path, uint32_t device, uint32_t number, const Bytes& data) {
    const recorder::CardHeader header = recorder::buildCardHeader(device, number, "UUU");
    Bytes bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    test::writeFile(path, bytes);
}

/// An encoded stream with each block's samples, time and place in it.
struct EncodedStream {
    Bytes bytes;
    std::vector<recorder::BlockSamples> samples;
    std::vector<int64_t> times;
    std::vector<std::size_t> ends;  // one past each block's last byte
};

/// `damaged`: the index of a block written with a wrong checksum (-1: none).
EncodedStream encode(int blocks, const std::string& station, uint64_t seed, int damaged = -1) {
    recorder::EncoderSettings settings;
    settings.stationName = station;
    recorder::StreamEncoder encoder(settings);
    recorder::SignalGenerator signal(seed);
    EncodedStream s;
    for (int b = 0; b < blocks; ++b) {
        recorder::BlockSamples block;
        signal.fill(block, settings.sampleRate);
        if (b == damaged) encoder.damageNextBlock(recorder::BlockDamage{true, 0});
        const uint32_t number = encoder.nextBlockNumber();
        encoder.encodeBlock(block, s.bytes);
        s.samples.push_back(block);
        s.times.push_back(encoder.blockTime(number));
        s.ends.push_back(s.bytes.size());
    }
    return s;
}

/// Cuts `s` into card files of `size` bytes numbered from `first`, each in
/// the directory `where(number)` returns ("" = none).
template <typename Where>
void cutIntoCards(const EncodedStream& s, std::size_t size, uint32_t device, uint32_t first, Where where) {
    for (std::size_t at = 0, n = first; at < s.bytes.size(); at += size, ++n) {
        const std::string dir = where(uint32_t(n));
        if (dir.empty()) continue;
        const Bytes part(s.bytes.begin() + long(at), s.bytes.begin() + long(std::min(at + size, s.bytes.size())));
        writeCard(dir + "/" + recorder::cardFileName(uint32_t(n), "UUU"), device, uint32_t(n), part);
    }
}

/// Runs `reader`'s stream through the card converter into `sink`, to its end.
conversion::StreamConverter::Counts convertCard(CardStreamReader& reader, test::RecordingSink& sink) {
    conversion::StreamConverter converter(reader, 4096);
    converter.setCardMode();
    converter.attach(0, nullptr, &sink);
    reader.open();
    do converter.runPass();
    while (!converter.starved());
    return converter.counts();
}

/// `sink` holds the blocks `expected` of `s`, in order, with their times and samples.
void expectBlocks(const test::RecordingSink& sink, const EncodedStream& s, const std::vector<std::size_t>& expected) {
    ASSERT_EQ(sink.blocks.size(), 3 * expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        for (int c = 0; c < 3; ++c) {
            const test::RecordedBlock& got = sink.blocks[3 * i + std::size_t(c)];
            EXPECT_EQ(got.time, s.times[expected[i]]);
            ASSERT_EQ(got.samples, s.samples[expected[i]].channel[std::size_t(c)]) << "block " << expected[i];
        }
}

TEST(CardDirectoryTest, DevicesRangesAndLookupsComeFromHeadersReadOnce) {
    const test::TempDir dir;
    const Bytes data(100, 0x11);
    writeCard(dir.file("b"), 7, 4, data);
    writeCard(dir.file("a"), 7, 3, data);
    writeCard(dir.file("c"), 12, 2, data);
    writeCard(dir.file("d"), 7, 6, data);
    writeCard(dir.file("e"), 9, 0, data);
    writeCard(dir.file("f"), 7, 4, Bytes(5, 0x22));  // a duplicate: "b" comes first
    writeCard(dir.file(".hidden"), 99, 1, data);     // never opened
    test::writeFile(dir.file("g"), Bytes(200, 0x55));  // no header
    writeCard(dir.file("h"), 13, 1, data);
    std::fstream(dir.file("h"), std::ios::in | std::ios::out | std::ios::binary).seekp(40).put('\x01');

    CardDirectory cards;
    ASSERT_EQ(cards.scan(dir.path()), 0);
    EXPECT_EQ(cards.headerReads(), 8u);
    std::vector<std::string> lines;
    for (const DeviceRange& d : listDevices(cards)) lines.push_back(deviceLine(d));
    EXPECT_EQ(lines, (std::vector<std::string>{"7 (0007h) (00000003-00000006)", "12 (000Ch) (00000002-00000002)",
                                               "9 (0009h) (00000000-00000000)"}));
    ASSERT_NE(cards.find(7, 4), nullptr);
    EXPECT_EQ(cards.find(7, 4)->name, "b");
    EXPECT_EQ(cards.find(7, 5), nullptr);
    EXPECT_EQ(cards.find(12, 4), nullptr);
    CardDirectory missing;
    EXPECT_EQ(missing.scan(dir.file("nothing")), -1);
}

TEST(CardDirectoryTest, CopyKeepsEveryOtherFileAndCountsFailures) {
    const test::TempDir dir;
    std::filesystem::create_directories(dir.file("in"));
    std::filesystem::create_directories(dir.file("arch"));
    for (uint32_t n : {3u, 4u, 6u}) writeCard(dir.file("in/" + recorder::cardFileName(n, "UUU")), 7, n, Bytes(50, uint8_t(n)));
    // Already archived with the same bytes; another recorder's file of the same name.
    std::filesystem::copy_file(dir.file("in/A0000003.UUU"), dir.file("arch/A0000003.UUU"));
    writeCard(dir.file("arch/A0000004.UUU"), 8, 4, Bytes(50, 0x99));
    const Bytes other = test::readFile(dir.file("arch/A0000004.UUU"));

    CardDirectory in;
    ASSERT_EQ(in.scan(dir.file("in")), 0);
    const DeviceRange range = listDevices(in).at(0);
    const CopyTotals totals = copyDeviceToArchive(in, dir.file("arch"), range);
    EXPECT_EQ(totals.copied, 2);
    EXPECT_EQ(totals.renamed, 1);
    EXPECT_EQ(totals.identical, 1);
    EXPECT_EQ(totals.failed, 0);
    EXPECT_EQ(test::readFile(dir.file("arch/A0000004.UUU")), other);
    EXPECT_EQ(test::readFile(dir.file("arch/A0000004.UUU.1")), test::readFile(dir.file("in/A0000004.UUU")));
    EXPECT_EQ(test::readFile(dir.file("arch/A0000006.UUU")), test::readFile(dir.file("in/A0000006.UUU")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("in/A0000006.UUU")));  // sources stay
    EXPECT_EQ(copyDeviceToArchive(in, dir.file("arch"), range).identical, 3);  // run again: nothing new
    EXPECT_EQ(copyDeviceToArchive(in, dir.file("no-such-dir"), range).failed, 3);
    EXPECT_EQ(copyDeviceToArchive(in, "", range).failed, 3);
}

// A copy seen half way, as a kill would leave it, is nothing a scan lists,
// and a stop there keeps nothing of it; an archive file holding the first
// bytes of a card file (a copy cut short) is completed, not kept beside a
// NAME.1.
TEST(CardDirectoryTest, CopyIsInvisibleUntilCompleteAndCompletesCutShortCopies) {
    const test::TempDir dir;
    std::filesystem::create_directories(dir.file("in"));
    std::filesystem::create_directories(dir.file("arch"));
    writeCard(dir.file("in/A0000003.UUU"), 7, 3, Bytes(1'500'000, 0x33));  // more than one write of the copy
    writeCard(dir.file("in/A0000004.UUU"), 7, 4, Bytes(500, 0x44));
    const Bytes card4 = test::readFile(dir.file("in/A0000004.UUU"));
    test::writeFile(dir.file("arch/A0000004.UUU"), Bytes(card4.begin(), card4.begin() + 80));
    CardDirectory in;
    ASSERT_EQ(in.scan(dir.file("in")), 0);
    const std::vector<DeviceRange> devices = listDevices(in);

    std::atomic<bool> stopNow{false};
    CopyControl control;
    control.stopNow = &stopNow;
    std::size_t listedHalfWay = 99;
    control.progress = [&](const CopyProgress& p) {
        if (p.filesDone != 0 || p.bytesDone == 0 || stopNow) return;  // only once the first write is done
        CardDirectory archive;
        archive.scan(dir.file("arch"));
        listedHalfWay = archive.entries().size();  // the cut-short file 4 only
        stopNow = true;
    };
    const CopyPhase stopped = copyDevicesToArchive(in, dir.file("arch"), devices, control);
    EXPECT_EQ(listedHalfWay, 1u);
    EXPECT_TRUE(stopped.interrupted);
    EXPECT_EQ(stopped.notCopied, (std::vector<std::string>{dir.file("in/A0000003.UUU"), dir.file("in/A0000004.UUU")}));
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("arch"))) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"A0000004.UUU"});  // no temporary either

    const CopyTotals totals = copyDeviceToArchive(in, dir.file("arch"), devices.at(0));
    EXPECT_EQ(totals.copied, 2);
    EXPECT_EQ(totals.completed, 1);
    EXPECT_EQ(test::readFile(dir.file("arch/A0000004.UUU")), card4);
    EXPECT_FALSE(std::filesystem::exists(dir.file("arch/A0000004.UUU.1")));
}

// Files 5 and 6 in the data-in directory, 4 and 7 only in the archive: the
// stream starts in 4 (decoded, not written), every block with a byte in 5
// or 6 is written with the encoder's samples, the blocks wholly in 4 or 7
// are not.
TEST(CardStreamTest, WritesTheBlocksOfDataInFilesAndReadsTheArchiveForContext) {
    const test::TempDir dir;
    std::filesystem::create_directories(dir.file("in"));
    std::filesystem::create_directories(dir.file("arch"));
    const EncodedStream s = encode(400, "VELT1", 4);
    constexpr std::size_t kFileBytes = 93'000;  // about 100 blocks, cut inside one
    cutIntoCards(s, kFileBytes, 7, 4, [&](uint32_t n) { return dir.file(n == 5 || n == 6 ? "in" : "arch"); });
    writeCard(dir.file("in/other"), 8, 5, Bytes(100, 0));  // another device's file 5

    CardDirectory in, archive;
    ASSERT_EQ(in.scan(dir.file("in")), 0);
    ASSERT_EQ(archive.scan(dir.file("arch")), 0);
    const DeviceRange range = listDevices(in).at(0);
    ASSERT_EQ(range.first, 5u);
    ASSERT_EQ(range.last, 6u);
    CardStreamReader reader(in, archive, range.device, range.first, range.last);
    test::RecordingSink sink;
    const conversion::StreamConverter::Counts counts = convertCard(reader, sink);

    std::vector<std::size_t> expected;  // blocks with their first or last byte in file 5 or 6
    for (std::size_t b = 0; b < s.ends.size(); ++b) {
        const std::size_t begin = b == 0 ? 0 : s.ends[b - 1], last = s.ends[b] - 1;
        const auto inDataIn = [&](std::size_t at) { return at >= kFileBytes && at < 3 * kFileBytes; };
        if (inDataIn(begin) || inDataIn(last)) expected.push_back(b);
    }
    ASSERT_GE(expected.size(), 190u);
    expectBlocks(sink, s, expected);
    EXPECT_GE(sink.closes, 1);  // the first block wholly in file 7 closed the outputs
    EXPECT_EQ(counts.delivered, expected.size());
}

// A damaged block near the end of the card and a missing file in the middle
// cost only the blocks they held: block 500 of 600, and file 3 with the two
// blocks that straddle its edges. Everything else reaches the outputs with
// its own time and samples, although too few blocks follow either break to
// learn the stream afresh.
TEST(CardStreamTest, ADamagedBlockOrAMissingFileCostsOnlyTheBlocksItHeld) {
    const test::TempDir dir;
    const EncodedStream s = encode(600, "VELT1", 9, /*damaged=*/500);
    constexpr std::size_t kFileBytes = 93'000;
    constexpr uint32_t kMissing = 3;
    cutIntoCards(s, kFileBytes, 7, 1, [&](uint32_t n) { return n == kMissing ? std::string() : dir.path(); });
    CardDirectory in, archive;
    ASSERT_EQ(in.scan(dir.path()), 0);
    CardStreamReader reader(in, archive, 7, 1, 7);
    test::RecordingSink sink;
    const conversion::StreamConverter::Counts counts = convertCard(reader, sink);

    const std::size_t gapBegin = (kMissing - 1) * kFileBytes, gapEnd = kMissing * kFileBytes;
    std::vector<std::size_t> expected;
    for (std::size_t b = 0; b < s.ends.size(); ++b) {
        const std::size_t begin = b == 0 ? 0 : s.ends[b - 1];
        if (b != 500 && (s.ends[b] <= gapBegin || begin >= gapEnd)) expected.push_back(b);
    }
    expectBlocks(sink, s, expected);
    EXPECT_EQ(counts.delivered, expected.size());
    EXPECT_EQ(counts.damaged, 2u);  // the piece across the missing file, and block 500
    EXPECT_EQ(counts.notPlaced, 0u);
}

// A file without data, and a position at the very end of a file (where the
// converter goes back to when a block ended with the file), lead on to the
// next file.
TEST(CardStreamTest, EndsOfFilesAndFilesWithoutDataDoNotEndTheStream) {
    const test::TempDir dir;
    writeCard(dir.file("a"), 7, 1, {});
    writeCard(dir.file("b"), 7, 2, Bytes(100, 0x42));
    writeCard(dir.file("c"), 7, 3, Bytes(50, 0x43));
    CardDirectory in, archive;
    ASSERT_EQ(in.scan(dir.path()), 0);
    const auto bytesLeft = [](CardStreamReader& reader) {
        std::size_t n = 0;
        for (; reader.available() > 0; reader.readByte()) ++n;
        return n;
    };
    CardStreamReader fromStart(in, archive, 7, 1, 3);
    fromStart.open();
    fromStart.seek({1, 0});
    EXPECT_EQ(bytesLeft(fromStart), 150u);
    CardStreamReader again(in, archive, 7, 1, 3);
    again.open();
    for (int i = 0; i < 10 && again.available() > 0; ++i) again.readByte();
    again.seek({2, 100});
    EXPECT_EQ(bytesLeft(again), 50u);
}

// The program on a card of two recorders: the list, then both converted to
// 4-int files and copied; an abort still copies; an unknown device and a
// missing cardmill.ini are refused, naming what is wrong.
TEST(CardmillProgram, ListsConvertsAndCopiesTwoRecorders) {
    const test::TempDir dir;
    for (const char* d : {"card", "arch", "out"}) std::filesystem::create_directories(dir.file(d));
    const EncodedStream alpha = encode(250, "ALPHA", 1);
    cutIntoCards(alpha, 60'000, 21, 1, [&](uint32_t) { return dir.file("card"); });
    const EncodedStream bravo = encode(250, "BRAVO", 2);
    for (std::size_t at = 0, n = 1; at < bravo.bytes.size(); at += 60'000, ++n) {
        const Bytes part(bravo.bytes.begin() + long(at), bravo.bytes.begin() + long(std::min(at + 60'000, bravo.bytes.size())));
        writeCard(dir.file("card/B" + std::to_string(n)), 300, uint32_t(n), part);
    }
    const auto writeSettings = [&](const char* qrx) {
        std::ofstream(dir.file("cardmill.ini")) << "[CARDMILL]\nDATAINDIR=card\nDATAARCHDIR=arch\n[OUT4INTFILE]\nTODO=YES\n"
                                                << "OUTDIR=out/\n[QRX]\nTODO=" << qrx << "\n";
    };
    std::string out;  // what the last run printed on standard output and error
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {VELT_BIN_DIR "/cardmill", "--config", dir.path()});
        test::Finished finished =
            test::runProgram({.args = std::move(args), .errorsToOutput = true, .pipeOutput = true});
        out = std::move(finished.output);
        return finished.exit;
    };
    // A switch that would leave an output off without a word is refused.
    writeSettings("yes");
    EXPECT_EQ(run({"--list"}), 2);
    EXPECT_NE(out.find("cardmill.ini: [QRX] TODO: 'yes'"), std::string::npos);
    writeSettings("NO");
    EXPECT_EQ(run({"--list"}), 0);
    EXPECT_EQ(out, "21 (0015h) (00000001-00000004)\n300 (012Ch) (00000001-00000004)\n");
    EXPECT_EQ(run({"--headless", "--devices", "21,300"}), 0) << out;
    EXPECT_NE(out.find("device:15h  file: 1h"), std::string::npos) << out;
    EXPECT_NE(out.find("2 of 2 devices converted; files copied 8"), std::string::npos) << out;
    EXPECT_NE(out.find("Conversion complited"), std::string::npos) << out;
    // One 4-int file per channel of each recorder ("yes" left QRX4.0 off),
    // each holding every sample the encoder put in, little-endian.
    std::size_t fourInt = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("out"))) {
        const std::string name = e.path().filename().string();
        const EncodedStream& s = name.ends_with(".ALPHA") ? alpha : bravo;
        const std::size_t channel = std::string("ZNE").find(name.at(9));
        ASSERT_LT(channel, 3u) << name;
        std::vector<int32_t> expected;
        for (const auto& block : s.samples)
            expected.insert(expected.end(), block.channel[channel].begin(), block.channel[channel].end());
        const Bytes bytes = test::readFile(e.path().string());
        std::vector<int32_t> got(bytes.size() / 4);
        for (std::size_t i = 0; i < got.size(); ++i) got[i] = int32_t(platform::get_u32le(&bytes[4 * i]));
        EXPECT_TRUE(got == expected) << name << ": " << got.size() << " samples of " << expected.size();
        ++fourInt;
    }
    EXPECT_EQ(fourInt, 6u);
    EXPECT_EQ(run({"--headless", "--devices", "301"}), 2);
    EXPECT_NE(out.find("device 301 in DATAINDIR 'card'; the devices there: 21, 300"), std::string::npos) << out;
    EXPECT_EQ(run({"--list", "--config", dir.file("out")}), 2);  // the later --config: a folder without cardmill.ini
    EXPECT_NE(out.find(dir.file("out") + "/cardmill.ini: no such settings file"), std::string::npos) << out;
    EXPECT_EQ(run({"--headless", "--devices", "x"}), 2);

    const CardmillSettings settings = readCardmillSettings(dir.file("cardmill.ini"));
    EXPECT_FALSE(settings.qrxOn);
    EXPECT_EQ(settings.secondsInFile, 3600);
    CardDirectory cards;
    cards.scan(dir.file("card"));
    struct Quiet final : ConversionView {
        void showStatus(const std::string&) override {}
        void showProgress(const std::string&) override {}
    } view;
    std::atomic<bool> abort{true};
    CardmillSettings here = settings;
    here.dataInDir = dir.file("card");
    here.dataArchDir = dir.file("arch");
    here.fourIntDir = dir.file("out2/");
    const ConversionSummary aborted = convertDevices(here, listDevices(cards), abort, view);
    EXPECT_TRUE(aborted.aborted);
    EXPECT_EQ(aborted.devicesConverted, 0);
    EXPECT_EQ(aborted.copies.identical, 8);  // both devices visited and copied (already there)
}

// A card converted while the database is away, then when it answers, then
// once more. The first run writes the files, keeps the rows in its journal
// and ends with status 1 saying so; the second writes the rows and no file;
// the third changes no file and no row.
TEST(CardmillProgram, RowsWaitForTheDatabaseAndARerunAddsNothing) {
    const test::TempDir dir;
    test::OdbcFixture db;
    const std::string problem = db.setUp(test::Backend::SQLite, dir.path());
    if (!problem.empty()) GTEST_SKIP() << problem;
    for (const char* d : {"card", "out", "qrx"}) std::filesystem::create_directories(dir.file(d));
    cutIntoCards(encode(400, "ALPHA", 3), 60'000, 21, 1, [&](uint32_t) { return dir.file("card"); });
    std::ofstream(dir.file("cardmill.ini")) << "[CARDMILL]\nDATAINDIR=card\nAUTOCOPYTOARCH=NO\n[OUT4INTFILE]\nTODO=YES\n"
                                            << "OUTDIR=out/\n[QRX]\nTODO=YES\n";
    std::ofstream(dir.file("qrx.ini")) << "[DATA]\nDIR=" << dir.file("qrx") << "\n";
    std::ofstream(dir.file("away.ini")) << "[QRX]\nDriver=SQLite3\nDatabase=" << dir.file("missing/qrx.db") << "\n";
    std::ofstream(dir.file("here.ini")) << "[QRX]\n" << db.dataSource();
    // As for every program on the SQLite driver under the leak checker: the
    // driver's installer library stays loaded, and its cache is not ours.
    std::ofstream(dir.file("lsan.supp")) << "leak:libodbcinst.so\n";
    std::string out;  // what the last run printed on standard output and error
    const auto run = [&](const std::string& odbcIni) {
        test::Finished finished = test::runProgram(
            {.args = {VELT_BIN_DIR "/cardmill", "--config", dir.path(), "--headless", "--devices", "all"},
             .environment = {"ODBCINI=" + dir.file(odbcIni), "LSAN_OPTIONS=suppressions=" + dir.file("lsan.supp"),
                             "LD_PRELOAD=libodbcinst.so.2", "ASAN_OPTIONS=verify_asan_link_order=0"},
             .errorsToOutput = true,
             .pipeOutput = true});
        out = std::move(finished.output);
        return finished.exit;
    };
    const auto files = [&] {
        std::map<std::string, Bytes> all;
        for (const char* d : {"out", "qrx"})
            for (const auto& e : std::filesystem::recursive_directory_iterator(dir.file(d)))
                if (e.is_regular_file() && e.path().extension() != ".journal")
                    all[e.path().string()] = test::readFile(e.path().string());
        return all;
    };
    const auto rows = [&] {
        std::vector<std::string> all;
        for (const auto& r : db.rows())
            all.push_back(r.cpath + " " + std::to_string(r.tbegin) + " " + std::to_string(r.tqty));
        return all;
    };

    EXPECT_EQ(run("away.ini"), 1) << out;
    EXPECT_NE(out.find("3 FILELIST rows wait for the database"), std::string::npos) << out;
    const auto written = files();
    EXPECT_EQ(written.size(), 6u);  // a 4-int and a QRX4.0 file per channel
    EXPECT_TRUE(rows().empty());

    EXPECT_EQ(run("here.ini"), 0) << out;
    const auto registered = rows();
    EXPECT_EQ(registered.size(), 3u);
    EXPECT_TRUE(files() == written);

    EXPECT_EQ(run("here.ini"), 0) << out;
    EXPECT_TRUE(files() == written);
    EXPECT_EQ(rows(), registered);
}

}  // namespace
}  // namespace velt::cardmill

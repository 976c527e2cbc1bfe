// The miniSEED file store, checked through its files: every record is read
// back with libmseed and compared with the blocks that went in.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mseed_test_support.h"
#include "outputs/mseed_file_store.h"
#include "platform/calendar.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"

namespace velt::outputs {
namespace {

using test::DecodedFile;
using test::DecodedRecord;

// Deterministic test signal: a channel- and time-dependent walk with steps
// of every size class.
int32_t sampleAt(int channel, int64_t t, uint32_t i) {
    const uint64_t h = uint64_t(t) * 2654435761u + uint64_t(channel) * 40503u + i * 2246822519u;
    const int32_t step = int32_t((h >> 7) % 4001) - 2000;
    return int32_t(((t * 977 + i * 13 + channel * 100000) % 50000)) + (i % 5 == 0 ? step * 64 : step);
}

struct ExpectedRun {
    int64_t start;  // block time of the first block
    int blocks;
    uint32_t rate;
};

class MseedStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        config_.delay = 0;
        std::strcpy(config_.stationName, "VELT01");
        std::strcpy(config_.channelName[0], "SHZ");
        std::strcpy(config_.channelName[1], "SHN");
        std::strcpy(config_.channelName[2], "SHE");
        confPath_ = dir_.file("seed.ini");
    }

    // Store configuration with the prefix written the way other systems do.
    void writeConf(const std::string& common, const std::string& work = "") {
        std::string prefix = dir_.path() + "/";
        for (char& c : prefix) if (c == '/') c = '\\';
        test::writeText(confPath_, "[COMMON]\nOUTFILEPREFIX=" + prefix + "\n" + common +
                                       (work.empty() ? "" : "[WORK]\n" + work));
    }

    // One block of every channel in `mask`, in the decoder's calling order.
    void feed(OutputSink& sink, int64_t t, unsigned mask = 7) { test::feedBlock(sink, config_, t, mask, sampleAt); }

    std::string finished(uint32_t n) const {
        char name[16];
        std::snprintf(name, sizeof name, "%08X", n);
        return dir_.file(name);
    }

    // The records of `channel` in `file` hold exactly `runs`, with the
    // station, rate and start time of each record right.
    void expectRuns(const DecodedFile& file, int channel, const std::vector<ExpectedRun>& runs) {
        EXPECT_EQ(file.failures, 0);
        for (const auto& m : file.messages) ADD_FAILURE() << "libmseed: " << m;
        const std::string chan = config_.channelName[channel];
        std::size_t run = 0;
        uint32_t within = 0;  // samples of the current run already seen
        for (const DecodedRecord& r : file.records) {
            if (r.channel != chan) continue;
            ASSERT_LT(run, runs.size()) << "more records than runs on " << chan;
            const ExpectedRun& expected = runs[run];
            EXPECT_EQ(r.station, "VELT0");
            EXPECT_EQ(r.network, "");
            EXPECT_EQ(r.quality, 'D');
            EXPECT_DOUBLE_EQ(r.rate, double(expected.rate));
            const int64_t startMicros = expected.start * 1000000 - int64_t(config_.delay);
            const int64_t roundedMs = (startMicros + 500) / 1000;  // half up, positive times
            const int64_t ticks = int64_t(within) * 10000 / expected.rate;
            EXPECT_EQ(r.startMicros, roundedMs * 1000 + ticks * 100) << chan << " run " << run;
            for (std::size_t k = 0; k < r.samples.size(); ++k) {
                const int64_t t = expected.start + (within + k) / expected.rate;
                const uint32_t i = (within + uint32_t(k)) % expected.rate;
                ASSERT_EQ(r.samples[k], sampleAt(channel, t, i)) << chan << " t=" << t << " i=" << i;
            }
            within += uint32_t(r.samples.size());
            if (within == uint32_t(expected.blocks) * expected.rate) {
                ++run;
                within = 0;
            }
        }
        EXPECT_EQ(run, runs.size()) << "runs missing on " << chan;
        EXPECT_EQ(within, 0u);
    }

    test::ScratchDir dir_;
    std::string confPath_;
    recorder::ConfigurationRecord config_;
};

TEST_F(MseedStoreTest, DefaultsGiveOneFilePerChannelRunAcrossYearEnd) {
    writeConf("");
    const int64_t t0 = platform::secondsFromUtc(2023, 12, 31, 23, 59, 55);
    {
        MseedFileStore store(confPath_);
        for (int64_t t = t0; t < t0 + 20; ++t) feed(store, t);
        // Finished files get their numbers at the commit.
        EXPECT_FALSE(platform::fileExists(finished(0)));
        EXPECT_EQ(store.commit(), 0);
        // Six finished files and a freshly opened, empty work file.
        EXPECT_EQ(test::listNames(dir_.path()),
                  (std::vector<std::string>{"00000000", "00000001", "00000002", "00000003",
                                            "00000004", "00000005", "seed.ini", "tmpfile"}));
        EXPECT_EQ(test::readFile(dir_.file("tmpfile")).size(), 0u);
        EXPECT_EQ(platform::readProfileString(confPath_, "WORK", "OUTFILENUM", "", 20), "6");
        for (uint32_t k = 0; k < 6; ++k) {
            const DecodedFile f = test::decodeFile(finished(k));
            const int c = int(k % 3);
            for (const auto& r : f.records) EXPECT_EQ(r.channel, config_.channelName[c]);
            expectRuns(f, c, {{t0 + 10 * (k / 3), 10, 100}});
        }
        // The first run crosses into 2024: a later record starts on day 1.
        const DecodedFile f = test::decodeFile(finished(0));
        ASSERT_GT(f.records.size(), 2u);
        EXPECT_GE(f.records.back().startMicros, platform::secondsFromUtc(2024, 1, 1, 0, 0, 0) * 1000000);
    }
}

TEST_F(MseedStoreTest, GapEndsOneChannelsRunAndShutdownWritesPendingRuns) {
    writeConf("");
    const int64_t t0 = platform::secondsFromUtc(2022, 3, 1, 10, 0, 0);
    {
        MseedFileStore store(confPath_);
        for (int64_t t = t0; t < t0 + 15; ++t) feed(store, t, t == t0 + 3 ? 0b101u : 0b111u);
        EXPECT_EQ(store.nextFileNumber(), 4u);
    }  // orderly stop: the five-second runs still gathered are written
    expectRuns(test::decodeFile(finished(0)), 1, {{t0, 3, 100}});
    expectRuns(test::decodeFile(finished(1)), 0, {{t0, 10, 100}});
    expectRuns(test::decodeFile(finished(2)), 2, {{t0, 10, 100}});
    expectRuns(test::decodeFile(finished(3)), 1, {{t0 + 4, 10, 100}});
    expectRuns(test::decodeFile(finished(4)), 0, {{t0 + 10, 5, 100}});
    expectRuns(test::decodeFile(finished(5)), 1, {{t0 + 14, 1, 100}});
    expectRuns(test::decodeFile(finished(6)), 2, {{t0 + 10, 5, 100}});
    // The work file opened after the last run becomes an empty last file.
    EXPECT_EQ(test::readFile(finished(7)).size(), 0u);
    EXPECT_FALSE(platform::fileExists(dir_.file("tmpfile")));
    EXPECT_EQ(platform::readProfileString(confPath_, "WORK", "OUTFILENUM", "", 20), "8");
}

TEST_F(MseedStoreTest, CloseOutputsKeepsRunsAndNumbersTheWorkFile) {
    writeConf("SECINSEEDBUF=4\nSEEDBUFINFILE=2\n");
    const int64_t t0 = platform::secondsFromUtc(2022, 3, 1, 10, 0, 0);
    MseedFileStore store(confPath_);
    for (int64_t t = t0; t < t0 + 6; ++t) feed(store, t);
    // Runs of 4 s, two runs per file: channels 0 and 1 fill file 0, channel
    // 2's first run waits in the work file; the 2-s runs are still gathered.
    store.closeOutputs();
    EXPECT_FALSE(platform::fileExists(dir_.file("tmpfile")));
    DecodedFile f0 = test::decodeFile(finished(0));
    expectRuns(f0, 0, {{t0, 4, 100}});
    expectRuns(f0, 1, {{t0, 4, 100}});
    expectRuns(test::decodeFile(finished(1)), 2, {{t0, 4, 100}});
    // Data go on: the gathered halves complete their runs normally.
    for (int64_t t = t0 + 6; t < t0 + 8; ++t) feed(store, t);
    store.closeOutputs();
    DecodedFile f2 = test::decodeFile(finished(2));
    expectRuns(f2, 0, {{t0 + 4, 4, 100}});
    expectRuns(f2, 1, {{t0 + 4, 4, 100}});
    expectRuns(test::decodeFile(finished(3)), 2, {{t0 + 4, 4, 100}});
    EXPECT_EQ(store.nextFileNumber(), 4u);
}

TEST_F(MseedStoreTest, LeftoverWorkFileAndCounterSurviveRestarts) {
    writeConf("", "OUTFILENUM=1A\n");
    const std::string leftover(1024, 'x');
    test::writeText(dir_.file("tmpfile"), leftover);
    const int64_t t0 = platform::secondsFromUtc(2022, 3, 1, 10, 0, 0);
    {
        MseedFileStore store(confPath_);
        EXPECT_EQ(store.nextFileNumber(), 0x1Au);
        for (int64_t t = t0; t < t0 + 10; ++t) feed(store, t);
    }
    // The leftover took the stored number, the new runs the following ones.
    const auto old = test::readFile(finished(0x1A));
    EXPECT_EQ(std::string(old.begin(), old.end()), leftover);
    expectRuns(test::decodeFile(finished(0x1B)), 0, {{t0, 10, 100}});
    expectRuns(test::decodeFile(finished(0x1D)), 2, {{t0, 10, 100}});
    EXPECT_EQ(platform::readProfileString(confPath_, "WORK", "OUTFILENUM", "", 20), "1F");
    {
        MseedFileStore store(confPath_);
        EXPECT_EQ(store.nextFileNumber(), 0x1Fu);
        for (int64_t t = t0 + 10; t < t0 + 20; ++t) feed(store, t);
    }
    expectRuns(test::decodeFile(finished(0x1F)), 0, {{t0 + 10, 10, 100}});
    expectRuns(test::decodeFile(finished(0x21)), 2, {{t0 + 10, 10, 100}});
}

TEST_F(MseedStoreTest, TakenNameKeepsRecordsUnderFreeNameAndNumberIsSkipped) {
    writeConf("");
    const int64_t t0 = platform::secondsFromUtc(2022, 3, 1, 10, 0, 0);
    MseedFileStore store(confPath_);
    // Put there by another program while the store runs (numbers present at
    // the start are skipped over altogether).
    test::writeText(finished(1), "not ours");
    for (int64_t t = t0; t < t0 + 10; ++t) feed(store, t);
    store.commit();
    const auto foreign = test::readFile(finished(1));
    EXPECT_EQ(std::string(foreign.begin(), foreign.end()), "not ours");
    expectRuns(test::decodeFile(finished(0)), 0, {{t0, 10, 100}});
    expectRuns(test::decodeFile(finished(1) + ".1"), 1, {{t0, 10, 100}});
    expectRuns(test::decodeFile(finished(2)), 2, {{t0, 10, 100}});
    EXPECT_EQ(store.nextFileNumber(), 3u);
}

TEST_F(MseedStoreTest, EveryRateUpTo1107WithGroupDelay) {
    config_.delay = 54819;  // microseconds here: starts 0.055 s before the block
    int64_t t = platform::secondsFromUtc(2020, 2, 29, 23, 59, 58);
    for (uint32_t rate : {1u, 7u, 100u, 250u, 1000u, 1107u}) {
        SCOPED_TRACE(rate);
        const test::ScratchDir sub;
        confPath_ = sub.file("seed.ini");
        test::writeText(confPath_, "[COMMON]\nSECINSEEDBUF=3\nSEEDBUFINFILE=1000\nOUTFILEPREFIX=" +
                                       sub.path() + "/\n");
        config_.sampleRate = rate;
        {
            MseedFileStore store(confPath_);
            for (int64_t k = 0; k < 7; ++k) feed(store, t + k);
        }
        const DecodedFile f = test::decodeFile(sub.file("00000000"));
        for (int c = 0; c < 3; ++c) expectRuns(f, c, {{t, 3, rate}, {t + 3, 3, rate}, {t + 6, 1, rate}});
        t += 86400;
    }
}

TEST_F(MseedStoreTest, RateChangeEndsTheRunEarly) {
    writeConf("SEEDBUFINFILE=1000\n");
    const int64_t t0 = platform::secondsFromUtc(2022, 3, 1, 10, 0, 0);
    {
        MseedFileStore store(confPath_);
        feed(store, t0);
        feed(store, t0 + 1);
        config_.sampleRate = 1107;
        for (int64_t t = t0 + 2; t < t0 + 12; ++t) feed(store, t);
        config_.sampleRate = 20;
        feed(store, t0 + 12);
    }
    const DecodedFile f = test::decodeFile(finished(0));
    for (int c = 0; c < 3; ++c)
        expectRuns(f, c, {{t0, 2, 100}, {t0 + 2, 10, 1107}, {t0 + 12, 1, 20}});
}

TEST_F(MseedStoreTest, FactoryNeedsConfFile) {
    const std::string ini = dir_.file("input.ini");
    test::writeText(ini, "[OUTMSEEDFS]\nCONFFILE=\n");
    EXPECT_EQ(makeMseedFileStore(ini), nullptr);
    writeConf("", "OUTFILENUM=0x2a\n");
    std::string conf = confPath_;
    for (char& c : conf) if (c == '/') c = '\\';
    test::writeText(ini, "[OUTMSEEDFS]\nCONFFILE=" + conf + "\n");
    const auto store = makeMseedFileStore(ini);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->nextFileNumber(), 0x2Au);
    EXPECT_EQ(store->workFilePath(), dir_.file("tmpfile"));
}

}  // namespace
}  // namespace velt::outputs

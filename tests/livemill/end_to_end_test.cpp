// The converter from end to end: two inputs of different stations and rates,
// every output switched on, converted by the worker in this process and by
// the livemill program; each output file read back from its documented
// layout and compared sample by sample and time by time with what the
// encoder sent, and FILELIST compared with the QRX4.0 files.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace velt::test::e2e {
namespace {

bool hasFile(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Names and first times worked out by hand from the documented layouts: a
// block stamped T starts 0.54819 s (QRX4.0), 0.054819 s (miniSEED) earlier,
// and (T - 1).452 in 4-int names.
void expectFirstNamesAndTimes(const Site& site) {
    const Input& a = site.inputs[0];
    const Input& b = site.inputs[1];
    ASSERT_EQ(a.firstTime(), utcSeconds(2026, 1, 1, 0, 0, 0));
    ASSERT_EQ(b.firstTime(), utcSeconds(2026, 3, 15, 12, 30, 46));

    const auto alphaInt = regularFiles(a.fourIntDir);
    EXPECT_TRUE(hasFile(alphaInt, "ALPHA_HHZ_20251231_235959_452"));
    EXPECT_TRUE(hasFile(alphaInt, "ALPHA_HHE_20251231_235959_452"));
    EXPECT_TRUE(hasFile(alphaInt, "ALPHA_HHZ_20260101_000459_452"));  // the second 300-block file
    const auto bravoInt = regularFiles(b.fourIntDir);
    EXPECT_TRUE(hasFile(bravoInt, "260315B12Z3045_45.BRAVO"));
    EXPECT_TRUE(hasFile(bravoInt, "260315B12N3045_45.BRAVO"));

    EXPECT_TRUE(hasFile(regularFiles(site.qrxDir + "/ALPHA"), "31122025-235959-HHZ.ALPHA"));
    EXPECT_TRUE(hasFile(regularFiles(site.qrxDir + "/BRAVO"), "15032026-123045-BHE.BRAVO"));

    // The first miniSEED record of each channel: 23:59:59.945181 rounded to
    // 23:59:59.945, and 12:30:45.945 for BRAVO.
    const MseedFiles ms = readMseed(a);
    ASSERT_FALSE(ms.records.empty());
    EXPECT_EQ(ms.names.front(), "00000000");
    EXPECT_EQ(ms.records.front().startMicros, utcSeconds(2025, 12, 31, 23, 59, 59) * 1'000'000 + 945'000);
    const MseedFiles msb = readMseed(b);
    ASSERT_FALSE(msb.records.empty());
    EXPECT_EQ(msb.records.front().startMicros, utcSeconds(2026, 3, 15, 12, 30, 45) * 1'000'000 + 945'000);
    EXPECT_EQ(msb.records.front().channel, "BHZ");
}

TEST(EndToEnd, WorkerConvertsTwoInputsIntoEveryOutputExactly) {
    Site site({alphaPlan(700), bravoPlan(900)}, 60000);
    ASSERT_EQ(site.dbProblem, "");

    DeliveryMonitor monitor;
    {
        livemill::Worker worker(site.config(), monitor, site.options());
        std::atomic<bool> stop{false};
        worker.run(stop);
    }
    EXPECT_EQ(monitor.delivered[0], 700);
    EXPECT_EQ(monitor.delivered[1], 900);

    expectEveryOutputExact(site);
    expectFirstNamesAndTimes(site);
    // Several QRX4.0 appends per file, one file per channel; the miniSEED
    // counter stored after the last finished file.
    EXPECT_EQ(regularFiles(site.qrxDir + "/ALPHA").size(), 3u);
    EXPECT_EQ(regularFiles(site.qrxDir + "/BRAVO").size(), 3u);
    EXPECT_EQ(platform::readProfileString(site.inputs[0].mseedConf, "WORK", "OUTFILENUM", "", 20),
              (std::ostringstream() << std::uppercase << std::hex << regularFiles(site.inputs[0].mseedDir).size())
                  .str());
}

TEST(EndToEnd, ProgramConvertsBacklogHeadlessAndStopsWhenIdle) {
    Site site({alphaPlan(500), bravoPlan(700)}, 45000);
    ASSERT_EQ(site.dbProblem, "");
    const std::string log = site.root.file("livemill.log");
    {
        Converter program(site, log, /*untilIdle=*/true);
        ASSERT_TRUE(program.started());
        EXPECT_EQ(program.wait(60), 0) << readText(log);
    }
    expectEveryOutputExact(site);
    expectFirstNamesAndTimes(site);
    // The reading positions were saved at the end of each stream.
    for (const Input& in : site.inputs) EXPECT_EQ(in.persistedBlock(), in.blocks()) << in.plan.station;
    const std::string text = readText(log);
    EXPECT_NE(text.find("13 CONFIG -> DATAOPER"), std::string::npos) << text;
}

// Counts delivered blocks for a test thread that watches the worker's.
class BlockCounter final : public recorder::NullStatusMonitor {
public:
    void setLastBlockTime(int, int64_t) override { ++blocks; }
    std::atomic<long> blocks{0};
};

TEST(EndToEnd, IdleWorkerTakesBytesAppendedToTheMonitorsGrowingFileAtOnce) {
    InputPlan plan = alphaPlan(170);
    plan.writtenBlocks = 150;  // in file 100; the rest comes block by block into tmpfile
    Site site({plan}, 1'000'000);
    ASSERT_EQ(site.dbProblem, "");
    const Input& in = site.inputs[0];
    const std::string tmp = in.rtDir + "/tmpfile";
    livemill::WorkerOptions options = site.options();
    options.untilIdle = false;
    options.idleSleepMilliseconds = livemill::WorkerOptions{}.idleSleepMilliseconds;

    BlockCounter monitor;
    livemill::Worker worker(site.config(), monitor, options);
    std::atomic<bool> stop{false};
    std::thread running([&] { worker.run(stop); });
    const auto waitForBlocks = [&](long count) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (monitor.blocks.load() < count && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        return monitor.blocks.load() >= count;
    };
    std::vector<double> millis;
    for (int block = 150; block < 170 && waitForBlocks(block); ++block) {
        if (block == 160) std::filesystem::rename(tmp, in.rtDir + "/" + rtName(in.firstFile + 1));  // full
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the worker sleeps in its idle wait
        const auto* bytes = reinterpret_cast<const char*>(in.stream.bytes.data()) + std::size_t(block * in.blockBytes);
        const auto appended = std::chrono::steady_clock::now();
        std::ofstream(tmp, std::ios::binary | std::ios::app).write(bytes, in.blockBytes);
        if (!waitForBlocks(block + 1)) break;
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - appended;
        millis.push_back(took.count());
    }
    stop = true;
    worker.wake();
    running.join();

    ASSERT_EQ(millis.size(), 20u) << monitor.blocks.load() << " blocks delivered";
    std::sort(millis.begin(), millis.end());
    std::printf("appended block to delivered block: median %.1f ms, slowest %.1f ms\n", millis[10], millis.back());
    EXPECT_LT(millis.back(), 2000.0);  // without the watch: the 20-second wait
    expectEveryOutputExact(site);
}

}  // namespace
}  // namespace velt::test::e2e

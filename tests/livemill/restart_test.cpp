// Stopping the converter in the middle of a backlog and starting it again on
// the same folders: after an orderly stop (the worker's shutdown, SIGTERM to
// the program) and after kill -9, every output must hold every sample
// exactly once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <unistd.h>

#include "e2e_support.h"
#include "platform/directory.h"

namespace velt::test::e2e {
namespace {

/// Blocks of `input` that reached its 4-int files (written block by block).
long blocksWritten(const Site& site, const Input& input) {
    const OutputCheck c = checkOutputs(site.qrxDir, input);
    return long(c.fourInt.end(0) / input.plan.rate);
}

/// Waits until `input`'s channel-0 4-int files hold `fraction` of its stream,
/// or the program ends. @return true when the fraction was reached in time.
bool waitForProgress(Converter& program, const Input& input, double fraction, double seconds) {
    const auto target = std::uintmax_t(fraction * double(input.samplesPerChannel()) * 4);
    return waitFor(program, [&] { return fourIntBytes(input, 0) >= target; }, seconds, 10);
}

TEST(Restart, WorkerShutdownHalfwayThenRestartLosesAndRepeatsNothing) {
    Site site({alphaPlan(800), bravoPlan(1600)}, 50000);
    ASSERT_EQ(site.dbProblem, "");

    DeliveryMonitor first;
    {
        livemill::Worker worker(site.config(), first, site.options());
        worker.setUp();
        while (first.delivered[0] < 400 && !worker.passOverInputs()) {
        }
        worker.shutdown();
    }
    ASSERT_GE(first.delivered[0], 400);
    ASSERT_LT(first.delivered[0], 800);
    ASSERT_GT(first.delivered[1], 0);
    ASSERT_LT(first.delivered[1], 1600);
    // The stop saved each input's position right behind its last delivered block.
    EXPECT_EQ(site.inputs[0].persistedBlock(), first.delivered[0]);
    EXPECT_EQ(site.inputs[1].persistedBlock(), first.delivered[1]);

    DeliveryMonitor second;
    {
        livemill::Worker worker(site.config(), second, site.options());
        std::atomic<bool> stop{false};
        worker.run(stop);
    }
    EXPECT_EQ(first.delivered[0] + second.delivered[0], 800);
    EXPECT_EQ(first.delivered[1] + second.delivered[1], 1600);
    expectEveryOutputExact(site);
    // The second run went on in the QRX4.0 files of the first.
    EXPECT_EQ(regularFiles(site.qrxDir + "/ALPHA").size(), 3u);
}

TEST(Restart, ProgramStoppedBySigtermResumesWithoutLossOrRepeat) {
    Site site({alphaPlan(1000), bravoPlan(1200)}, 64000);
    ASSERT_EQ(site.dbProblem, "");
    const std::string log = site.root.file("livemill.log");
    {
        Converter program(site, log, /*untilIdle=*/true);
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(waitForProgress(program, site.inputs[0], 0.5, 60)) << readText(log);
        program.signal(SIGTERM);
        ASSERT_EQ(program.wait(60), 0) << readText(log);
    }
    for (const Input& in : site.inputs) {
        const long written = blocksWritten(site, in);
        EXPECT_EQ(in.persistedBlock(), written) << in.plan.station;
    }
    ASSERT_LT(blocksWritten(site, site.inputs[0]), 1000) << "the stop came after the end";
    {
        Converter program(site, log, /*untilIdle=*/true);
        ASSERT_EQ(program.wait(60), 0) << readText(log);
    }
    expectEveryOutputExact(site);
}

// A finished miniSEED file not yet numbered: written, but still without a
// name (an open descriptor of the program's in that folder) or under its
// pending name.
bool hasPendingMseedFile(const Input& in, pid_t pid) {
    for (const std::string& name : regularFiles(in.mseedDir))
        if (name.rfind("tmpfile.", 0) == 0) return true;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::vector<std::string> links;
    platform::listDirectory(fds, "*", links);
    char target[4096];
    char* real = ::realpath(in.mseedDir.c_str(), nullptr);
    const std::string folder = real ? std::string(real) + "/" : in.mseedDir + "/";
    std::free(real);
    for (const std::string& link : links) {
        const ssize_t n = ::readlink((fds + "/" + link).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string t(target, std::size_t(n));
        if (t.find(" (deleted)") != std::string::npos && t.rfind(folder, 0) == 0) return true;
    }
    return false;
}

// Killed while caught up, with the last 50 blocks of the stream still held
// by QRX4.0 (it writes every 600): the stored position is held back to them,
// and the restart converts them although the stream ends too soon after
// that position to learn its block length and configuration from.
TEST(Restart, KilledWhileCaughtUpConvertsTheLastBlocksOfAStreamThatEnded) {
    Site site({alphaPlan(650)}, 64000);
    ASSERT_EQ(site.dbProblem, "");
    const std::string log = site.root.file("livemill.log");
    {
        Converter program(site, log, /*untilIdle=*/false);
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(waitFor(program, [&] { return countOf(readText(log), " waiting: ") > 0; }, 60)) << readText(log);
        program.signal(SIGKILL);
        program.wait(10);
    }
    {
        Converter program(site, log, /*untilIdle=*/true);
        ASSERT_EQ(program.wait(60), 0) << readText(log);
    }
    expectEveryOutputExact(site);
}

// Six kills in a row while two inputs convert, each followed by a restart on
// the same folders; the recorder goes on writing while the converter is
// down. However the kills fall, every sample must end up in every output
// exactly once: no sample missing or doubled, no free-named file, every
// miniSEED number present, one right FILELIST row per QRX4.0 file.
TEST(Crash, SixKillsThenEverySampleExactlyOnce) {
    InputPlan alpha = alphaPlan(2400);
    InputPlan bravo = bravoPlan(3000);
    alpha.writtenBlocks = 1500;  // the rest arrives while the converter is down
    Site site({alpha, bravo}, 64000);
    ASSERT_EQ(site.dbProblem, "");
    const std::string log = site.root.file("livemill.log");
    const Input& a = site.inputs[0];
    std::mt19937 seeded(20261208);
    std::uniform_int_distribution<int> delay(30, 400);

    enum class Point { AfterMseedFileFinished, InsideQrxRun, AfterCaughtUp, Timed };
    const Point points[] = {Point::AfterMseedFileFinished, Point::Timed, Point::AfterCaughtUp,
                            Point::InsideQrxRun,           Point::Timed, Point::Timed};
    for (const Point point : points) {
        Converter program(site, log, /*untilIdle=*/false);
        ASSERT_TRUE(program.started());
        const int waitingBefore = countOf(readText(log), " waiting: ");
        bool reached = true;
        switch (point) {
            case Point::AfterMseedFileFinished:
                reached = waitFor(program, [&] { return hasPendingMseedFile(a, program.pid()); }, 60);
                break;
            case Point::InsideQrxRun:
                // A QRX4.0 file exists and more blocks of its run are held in memory.
                reached = waitFor(program, [&] { return !regularFiles(site.qrxDir + "/ALPHA").empty(); }, 60);
                std::this_thread::sleep_for(std::chrono::milliseconds(delay(seeded) / 4));
                break;
            case Point::AfterCaughtUp:
                // ALPHA's status line says " waiting: " once it has converted everything there is.
                reached = waitFor(program, [&] { return countOf(readText(log), " waiting: ") > waitingBefore; }, 60);
                break;
            case Point::Timed:
                std::this_thread::sleep_for(std::chrono::milliseconds(delay(seeded)));
                break;
        }
        ASSERT_TRUE(reached) << readText(log);
        program.signal(SIGKILL);
        program.wait(10);
        ASSERT_TRUE(WIFSIGNALED(program.status())) << readText(log);
        if (point == Point::AfterCaughtUp) site.writeStream(0, a.plan.blocks);
    }
    site.writeStream(0, a.plan.blocks);
    {
        Converter program(site, log, /*untilIdle=*/true);
        ASSERT_EQ(program.wait(120), 0) << readText(log);
    }
    expectEveryOutputExact(site);
    for (const Input& in : site.inputs) EXPECT_TRUE(numberingFaults(in).empty()) << ::testing::PrintToString(numberingFaults(in));
}

}  // namespace
}  // namespace velt::test::e2e

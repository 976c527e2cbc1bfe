// Power cuts while livemill converts. Everything the converter writes (its
// settings, positions, outputs and the SQLite FILELIST database) lies on a
// file system layer that throws away every byte not synced when the power
// goes, while names reach the disk at once. Each cut: kill -9, drop the
// unsynced data, mount again, restart. Cuts fall at seeded moments, some
// right after a new QRX4.0 hour file, a new 4-int file or new miniSEED files
// appear. At the end every output must hold every sample exactly once, with
// one right FILELIST row per QRX4.0 file and no gap in the miniSEED numbers.
//
// Odd seeds run the converter as if on a local ext4 file system (its syncfs
// reaches the layer as a sync of every file); even seeds as it is, on a
// file system where only each file's own sync counts.
//
// VELT_POWERCUT_SEEDS ("1,2,3,4,5" by default) and VELT_POWERCUT_CUTS (20)
// set the seeds and the cuts per seed.
#include <gtest/gtest.h>

#include <random>

#include "livemill/e2e_support.h"
#include "support/power_cut_mount.h"

namespace velt::test::e2e {
namespace {

std::vector<int> seedsFromEnvironment() {
    const char* text = std::getenv("VELT_POWERCUT_SEEDS");
    std::vector<int> seeds;
    std::stringstream list(text != nullptr && *text != '\0' ? text : "1,2,3,4,5");
    for (std::string item; std::getline(list, item, ',');)
        if (!item.empty()) seeds.push_back(std::atoi(item.c_str()));
    return seeds;
}

int cutsFromEnvironment() {
    const char* text = std::getenv("VELT_POWERCUT_CUTS");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 20;
}

/// Makes the files in `dir` durable, as the recorder's monitor does once a second.
void syncFolder(const std::string& dir) {
    for (const std::string& name : regularFiles(dir)) {
        const int fd = ::open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        ::fsync(fd);
        ::close(fd);
    }
}

std::size_t filesIn(const std::string& dir) { return regularFiles(dir).size(); }

class PowerCut : public ::testing::TestWithParam<int> {};

TEST_P(PowerCut, EverySampleExactlyOnceInEveryOutput) {
    const int seed = GetParam();
    const int cuts = cutsFromEnvironment();
    // ALPHA crosses an hour (a new QRX4.0 file for every channel) after 300
    // blocks and gets a new 4-int file every 100; QRX4.0 runs are written
    // every 50 blocks. The recorder writes on while the converter is down.
    InputPlan alpha = alphaPlan(1500);
    alpha.firstMark -= 300;
    alpha.secondsInFile = 100;
    alpha.maxBlock = 50;
    alpha.writtenBlocks = 300;
    Site site({alpha, bravoPlan(1200)}, 40000);
    ASSERT_EQ(site.dbProblem, "");
    const Input& a = site.inputs[0];

    site.db.disconnect();  // no file of the layer may stay open across a cut
    PowerCutMount disk(site.root.path());
    if (!disk.mounted()) GTEST_SKIP() << "no power-cut file system here: " << disk.problem();
    std::vector<std::string> environment;
    if (seed % 2 == 1)
        environment = {"LD_PRELOAD=" + PowerCutMount::shimPath(), "VELT_POWERCUT_SYNCALL=" + disk.syncAllControl()};

    TempDir outside;  // the converter's messages of every run, kept off the layer
    const std::string log = outside.file("livemill.log");
    std::mt19937 random(uint32_t(seed) * 7919u);
    enum class Point { Timed, NewQrxFile, NewFourIntFile, NewMseedFiles, CaughtUp };
    std::uniform_int_distribution<int> pick(0, 4);
    std::uniform_int_distribution<int> delay(20, 600);
    for (int cut = 0; cut < cuts; ++cut) {
        const auto point = Point(pick(random));
        const std::string alphaQrx = site.qrxDir + "/ALPHA";
        const std::size_t qrxBefore = filesIn(alphaQrx), fourIntBefore = filesIn(a.fourIntDir),
                          mseedBefore = filesIn(a.mseedDir);
        const int waitingBefore = countOf(readText(log), " waiting: ");
        {
            Converter program(site, log, /*untilIdle=*/false, environment);
            ASSERT_TRUE(program.started());
            switch (point) {
                case Point::Timed:
                    std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
                    break;
                case Point::NewQrxFile:
                    waitFor(program, [&] { return filesIn(alphaQrx) > qrxBefore; }, 5);
                    break;
                case Point::NewFourIntFile:
                    waitFor(program, [&] { return filesIn(a.fourIntDir) > fourIntBefore; }, 5);
                    break;
                case Point::NewMseedFiles:
                    waitFor(program, [&] { return filesIn(a.mseedDir) > mseedBefore; }, 5);
                    break;
                case Point::CaughtUp:
                    waitFor(program, [&] { return countOf(readText(log), " waiting: ") > waitingBefore; }, 5);
                    break;
            }
            program.signal(SIGKILL);
            program.wait(10);
            ASSERT_TRUE(program.exited());
        }
        ASSERT_TRUE(disk.cut()) << disk.problem();
        const int written = a.plan.writtenBlocks + (a.plan.blocks - a.plan.writtenBlocks) * (cut + 1) / cuts;
        site.writeStream(0, written);
        syncFolder(a.rtDir);
    }
    {
        Converter program(site, log, /*untilIdle=*/true, environment);
        ASSERT_EQ(program.wait(180), 0) << readText(log);
    }
    // An orderly stop leaves everything on the disk: one more cut takes nothing.
    ASSERT_TRUE(disk.cut()) << disk.problem();
    ASSERT_EQ(site.db.reconnect(), 0);
    const std::string messages = readText(log);
    SCOPED_TRACE(messages.substr(messages.size() > 20000 ? messages.size() - 20000 : 0));
    expectEveryOutputExact(site);
    for (const Input& in : site.inputs)
        EXPECT_TRUE(numberingFaults(in).empty()) << ::testing::PrintToString(numberingFaults(in));
}

INSTANTIATE_TEST_SUITE_P(Seeds, PowerCut, ::testing::ValuesIn(seedsFromEnvironment()));

}  // namespace
}  // namespace velt::test::e2e

// FILELIST through a PostgreSQL outage: the server is stopped in the middle
// of a conversion that finishes some QRX4.0 files and starts others, and
// started again. However the outage falls, every file must end up with
// exactly one right row: with the converter running on, and with the
// converter killed while the server is down and started after it is back.
//
// The server is the one the test script starts for these tests alone
// (VELT_PG_OUTAGE_PORT, VELT_PG_OUTAGE_CTL, VELT_PG_OUTAGE_OPTIONS); the
// tests take it in turn through a lock file.
#include <gtest/gtest.h>
#include <sys/file.h>

#include "e2e_support.h"
#include "platform/log.h"

namespace velt::test::e2e {
namespace {

class OutageServer {
public:
    OutageServer() {
        for (auto [name, value] : {std::pair{"VELT_PG_OUTAGE_PORT", &port}, std::pair{"VELT_PG_OUTAGE_CTL", &ctl},
                                   std::pair{"VELT_PG_OUTAGE_OPTIONS", &options}}) {
            const char* v = std::getenv(name);
            if (v == nullptr || *v == '\0') return;
            *value = v;
        }
        const std::string lock =
            (std::filesystem::temp_directory_path() / ("velt-pg-outage-" + port + ".lock")).string();
        lockFd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        available_ = lockFd_ >= 0 && ::flock(lockFd_, LOCK_EX) == 0;
    }
    ~OutageServer() {
        if (stopped_) start();
        if (lockFd_ >= 0) ::close(lockFd_);
    }
    bool available() const { return available_; }
    bool stop() {
        stopped_ = control({"-m", "fast", "stop"});
        return stopped_;
    }
    bool start() {
        const bool started = control({"-o", options, "start"});
        if (started) stopped_ = false;
        return started;
    }

    std::string port, ctl, options;

private:
    /// Runs the server's control command (words parted by spaces) with `args`, quietly.
    bool control(const std::vector<std::string>& args) const {
        Launch launch{.output = "/dev/null", .errorsToOutput = true};
        std::istringstream words(ctl);
        for (std::string word; words >> word;) launch.args.push_back(word);
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        return runProgram(std::move(launch)).exit == 0;
    }

    int lockFd_ = -1;
    bool available_ = false;
    bool stopped_ = false;
};

// Station DELTA: 40 samples/s, QRX4.0 runs written every 100 blocks, so the
// first three files end at block 3600 and the next three are created at
// block 3701.
InputPlan deltaPlan(int blocks) {
    InputPlan p = alphaPlan(blocks);
    p.station = "DELTA";
    p.channels = {"BHZ", "BHN", "BHE"};
    p.rate = 40;
    p.maxBlock = 100;
    p.seed = 41;
    return p;
}

// Log lines of the worker in this process.
std::vector<std::string>* logged = nullptr;
void keepLine(platform::LogLevel, const std::string& line) {
    if (logged != nullptr) logged->push_back(line);
}

class BacklogMonitor final : public recorder::NullStatusMonitor {
public:
    void setLastBlockTime(int input, int64_t) override {
        if (input == 0) ++delivered;
    }
    void setRowsWaiting(int input, long rows) override {
        if (input != 0) return;
        backlog = rows;
        maxBacklog = std::max(maxBacklog, rows);
    }
    long delivered = 0;
    long backlog = 0;
    long maxBacklog = 0;
};

int linesWith(const std::vector<std::string>& lines, const std::string& text) {
    return int(std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

TEST(FileListOutage, ServerAwayTwentySecondsWhileConvertingLosesNoRow) {
    OutageServer server;
    if (!server.available()) GTEST_SKIP() << "no PostgreSQL outage server for this run";
    Site site({deltaPlan(4600)}, 64000, Backend::PostgreSQL, server.port);
    ASSERT_EQ(site.dbProblem, "");
    std::vector<std::string> log;
    logged = &log;
    platform::setLogSink(keepLine);

    BacklogMonitor monitor;
    livemill::Worker worker(site.config(), monitor, site.options());
    worker.setUp();
    const auto convertTo = [&](long blocks) {
        while (monitor.delivered < blocks && !worker.passOverInputs()) {
        }
    };
    // Paced like a recorder's stream, so that rows are committed on the way.
    auto clock = std::chrono::steady_clock::now();
    for (int step = 1; step <= 20; ++step) {
        convertTo(step * 50);
        std::this_thread::sleep_until(clock + step * std::chrono::milliseconds(100));
    }
    ASSERT_EQ(site.db.rows().size(), 3u);

    // Twenty seconds without the database while blocks 1000 to 3900 are
    // converted, like a recorder delivering them: the first files are
    // extended and end, the next ones begin.
    ASSERT_TRUE(server.stop());
    clock = std::chrono::steady_clock::now();
    for (int step = 1; step <= 200; ++step) {
        convertTo(1000 + step * 2900 / 200);
        std::this_thread::sleep_until(clock + step * std::chrono::milliseconds(100));
    }
    EXPECT_EQ(monitor.backlog, 6);  // three finished files, three new ones
    ASSERT_TRUE(server.start());
    // The converter goes on and tries again by itself, within the longest
    // pause the outage has reached (16 s).
    clock = std::chrono::steady_clock::now();
    for (int step = 1; monitor.backlog > 0 && step <= 140; ++step) {
        convertTo(3900 + step * 5);
        std::this_thread::sleep_until(clock + step * std::chrono::milliseconds(100));
    }
    EXPECT_EQ(monitor.backlog, 0);
    while (!worker.passOverInputs()) {
    }
    worker.shutdown();
    platform::setLogSink(nullptr);
    logged = nullptr;

    EXPECT_EQ(monitor.maxBacklog, 6);
    EXPECT_EQ(linesWith(log, "does not answer"), 1) << ::testing::PrintToString(log);
    EXPECT_EQ(linesWith(log, "answers again after"), 1) << ::testing::PrintToString(log);
    ASSERT_EQ(site.db.reconnect(), 0);
    expectEveryOutputExact(site);
    EXPECT_EQ(regularFiles(site.qrxDir + "/DELTA").size(), 6u);
    EXPECT_TRUE(regularFiles(site.qrxDir).empty()) << "the journal is left";
}

TEST(FileListOutage, ConverterKilledWhileServerAwayWritesTheRowsAfterRestart) {
    OutageServer server;
    if (!server.available()) GTEST_SKIP() << "no PostgreSQL outage server for this run";
    InputPlan plan = deltaPlan(4300);
    plan.writtenBlocks = 3000;  // the rest arrives while the server and then the converter are down
    Site site({plan}, 64000, Backend::PostgreSQL, server.port);
    ASSERT_EQ(site.dbProblem, "");
    const std::string log = site.root.file("livemill.log");
    {
        Converter program(site, log, /*untilIdle=*/false);
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(waitFor(program, [&] { return site.db.rows().size() == 3; }, 60, 20)) << readText(log);
        ASSERT_TRUE(server.stop());
        site.extendStream(0, 3000, 3900);
        // Caught up again with six rows waiting (three finished files, three
        // new ones); a position store later the journal holds them all.
        ASSERT_TRUE(waitFor(program, [&] { return readText(log).find("filelist-backlog 6 waiting: ") != std::string::npos; },
                            60, 20))
            << readText(log);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        program.signal(SIGKILL);
        program.wait(10);
        ASSERT_TRUE(WIFSIGNALED(program.status())) << readText(log);
    }
    site.extendStream(0, 3900, 4300);
    ASSERT_TRUE(server.start());
    ASSERT_EQ(site.db.reconnect(), 0);
    {
        Converter program(site, log, /*untilIdle=*/true);
        ASSERT_EQ(program.wait(120), 0) << readText(log);
    }
    EXPECT_EQ(countOf(readText(log), "FILELIST rows that waited in"), 1) << readText(log);
    expectEveryOutputExact(site);
    EXPECT_EQ(regularFiles(site.qrxDir + "/DELTA").size(), 6u);
    EXPECT_TRUE(regularFiles(site.qrxDir).empty()) << "the journal is left";
}

}  // namespace
}  // namespace velt::test::e2e

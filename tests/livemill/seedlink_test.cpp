// livemill's SeedLink server as a client sees it: a client that follows live
// and reconnects with its last sequence number gets every record exactly
// once, in order, however often the converter is killed (SIGKILL) under it.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <random>

#include "e2e_support.h"

namespace velt::test::e2e {
namespace {

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

std::string numberedFilesConcatenated(const std::string& dir) {
    std::string all;
    for (const std::string& name : regularFiles(dir))
        if (name.size() == 8 && name.find_first_not_of("0123456789ABCDEF") == std::string::npos)
            all += readText(dir + "/" + name);
    return all;
}

TEST(SeedLink, AClientFollowingLiveGetsEveryRecordOnceAcrossThreeKills) {
    InputPlan alpha = alphaPlan(1800);
    alpha.writtenBlocks = 300;  // the rest arrives while the client follows
    Site site({alpha}, 64000);
    ASSERT_EQ(site.dbProblem, "");
    const Input& in = site.inputs[0];
    const std::string server = "127.0.0.1:" + std::to_string(freePort());
    std::ofstream(site.cfg + "/livemill.ini", std::ios::app) << "[SEEDLINK]\nLISTEN=" << server << "\n";
    const std::string log = site.root.file("livemill.log");
    const std::string received = site.root.file("received.mseed");
    const Launch client{.args = {VELT_BIN_DIR "/veltslink", "--server", server, "--streams", "XX_ALPHA", "--all",
                                 "--state", site.root.file("state"), "--output", received, "--timeout", "60"},
                        .output = site.root.file("client.log"),
                        .errorsToOutput = true,
                        .append = true};
    std::mt19937 seeded(20261208);
    std::uniform_int_distribution<int> pause(100, 700);
    int written = alpha.writtenBlocks;
    for (int kill = 0; kill < 3; ++kill) {
        Converter program(site, log, /*untilIdle=*/false);
        ASSERT_TRUE(program.started());
        ASSERT_TRUE(waitFor(program, [&] { return !numberedFilesConcatenated(in.mseedDir).empty(); }, 60))
            << readText(log);
        // The client connects once the server listens (and knows the station).
        std::unique_ptr<ChildProcess> follower;
        for (int attempt = 0; attempt < 100 && !follower; ++attempt) {
            auto c = std::make_unique<ChildProcess>(client);
            if (c->wait(0.3) == kStillRunning) follower = std::move(c);
        }
        ASSERT_TRUE(follower) << readText(site.root.file("client.log"));
        // The recorder writes on while the client follows; then the kill.
        const int more = std::min(alpha.blocks, written + 300);
        site.extendStream(0, written, more);
        written = more;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(seeded)));
        program.signal(SIGKILL);
        program.wait(10);
        EXPECT_EQ(follower->wait(30), 1) << "the client must see the server go";
    }
    site.extendStream(0, written, alpha.blocks);
    {
        Converter program(site, log, /*untilIdle=*/true);  // the rest, every run written
        ASSERT_EQ(program.wait(120), 0) << readText(log);
    }
    {
        // What the files hold now is fetched with the state kept.
        Converter program(site, log, /*untilIdle=*/false);
        Launch last = client;
        last.args.push_back("--dial-up");
        int status = -1;
        for (int attempt = 0; attempt < 100 && status != 0; ++attempt) {
            ChildProcess fetch(last);
            status = fetch.wait(60);
            if (status != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_EQ(status, 0) << readText(site.root.file("client.log"));
        program.signal(SIGTERM);
        ASSERT_EQ(program.wait(60), 0) << readText(log);
    }
    // Every record of the numbered files, in their order, once: none missing,
    // none twice (the files themselves hold every sample once: the restart
    // tests check that).
    const std::string files = numberedFilesConcatenated(in.mseedDir);
    const std::string got = readText(received);
    EXPECT_EQ(got.size() / 512, files.size() / 512);
    EXPECT_TRUE(got == files) << "received records differ from the files";
    expectEveryOutputExact(site);
}

}  // namespace
}  // namespace velt::test::e2e

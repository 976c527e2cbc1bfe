// The monitor program on the simulated recorder over TCP: it writes the
// stream to real-time and card-archive files, notices the recorder's drop,
// reconnects, and stops in order on SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <algorithm>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "link/simulator.h"
#include "recorder/block_scanner.h"
#include "support/temp_dir.h"

namespace velt::veltview {
namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(VeltviewProgram, RecordsTheRecorderAndReconnectsAfterItsDrop) {
    const test::TempDir dir;
    test::Simulator sim({"--tcp", "127.0.0.1:0", "--speed", "50", "--drop-after", "2"});
    const std::string line = sim.firstLine();
    const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    std::filesystem::create_directories(dir.file("rt"));
    std::ofstream(dir.file("veltView.ini")) << "[VELTVIEW]\nINDEVICE=INET\nINDEVICECONFIGSTRING=127.0.0.1 "
                                            << line.substr(prefix.size()) << "\n[QDATACOL]\nCONFIGFILE=rt.ini\n";
    std::ofstream(dir.file("rt.ini")) << "[COMMON]\nDESTDIR=rt\nFILESIZE=20000\n";

    const std::string log = dir.file("veltview.log");
    std::vector<std::string> args = {VELT_BIN_DIR "/veltview", "--config", dir.path(), "--headless"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Two connections of two seconds each, with the reconnection between.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        const std::string text = readText(log);
        std::size_t connected = 0;
        for (std::size_t at = text.find("link: connected"); at != std::string::npos; at = text.find("link: connected", at + 1))
            ++connected;
        if (connected >= 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string text = readText(log);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("closed by the recorder"), std::string::npos) << text;
    EXPECT_NE(text.find("reconnecting in 1 s"), std::string::npos) << text;

    // The files: good blocks from both connections, each broken only where
    // a connection began or ended.
    recorder::BlockScanner scanner;
    const std::string tmp = dir.file("rt/tmpfile");
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("rt"))) files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        for (char c; in.get(c);) scanner.push(uint8_t(c));
    }
    EXPECT_GE(scanner.totals().blocks, 100u);
    EXPECT_EQ(scanner.totals().badChecksums, 0u);
    EXPECT_LE(scanner.totals().numberGaps, 2u);
}

}  // namespace
}  // namespace velt::veltview

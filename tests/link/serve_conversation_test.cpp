// The simulated recorder ("veltsim serve") seen from the far end of the
// link, over a plain loopback socket and a plain pseudo-terminal: the blocks
// it streams, and a whole stop / configure / EEPROM / restart conversation
// byte for byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/endian.h"
#include "recorder/block_scanner.h"
#include "simulator.h"
#include "support/temp_dir.h"

namespace {

using velt::recorder::BlockScanner;
using velt::test::Simulator;
using velt::test::kTimeoutMillis;

constexpr std::size_t kImageBytes = 512;
using Image = std::array<uint8_t, kImageBytes>;

// One end of the link, read byte by byte with a time-out.
class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer() { ::close(fd_); }

    /// The next byte, or -1 when none came within `millis`.
    int next(int millis = kTimeoutMillis) {
        if (at_ == buffer_.size()) {
            pollfd p{fd_, POLLIN, 0};
            uint8_t chunk[4096];
            const ssize_t n = ::poll(&p, 1, millis) == 1 ? ::read(fd_, chunk, sizeof chunk) : -1;
            if (n <= 0) return -1;
            buffer_.assign(chunk, chunk + n);
            at_ = 0;
        }
        return buffer_[at_++];
    }
    void send(const std::string& text) { ASSERT_EQ(::write(fd_, text.data(), text.size()), ssize_t(text.size())); }
    /// Sends `command` and returns everything up to and including the first '>'.
    std::string ask(const std::string& command) {
        send(command);
        std::string answer;
        for (int b = next(); b >= 0; b = next()) {
            answer += char(b);
            if (b == '>') break;
        }
        return answer;
    }
    /// Feeds `scanner` until it has ended `count` more blocks; each must be good.
    void expectGoodBlocks(BlockScanner& scanner, int count, int samples) {
        for (int seen = 0; seen < count;) {
            const int b = next();
            ASSERT_GE(b, 0) << "stream ended after " << scanner.totals().blocks << " blocks";
            if (!scanner.push(uint8_t(b))) continue;
            const auto& block = scanner.block();
            EXPECT_TRUE(block.checksumOk && block.samples == samples && !block.numberGap && block.device == 42)
                << "block " << block.index << " of " << block.length << " bytes";
            ++seen;
        }
    }

private:
    int fd_;
    std::vector<uint8_t> buffer_;
    std::size_t at_ = 0;
};

int connectLoopback(const std::string& listening) {
    const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
    if (listening.rfind(prefix, 0) != 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(std::atoi(listening.c_str() + prefix.size())));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The editor's rule for an "EPR?" answer (CR dropped): lines "!" + address
// (positions 1 to 4) equal to the bytes taken so far, byte i at positions
// 7 + 3 i; then '>'. Stricter than the editor, any other line ends the read.
// @return the number of bytes taken (512 for a whole image).
std::size_t readImage(std::string answer, Image& image) {
    constexpr std::size_t kBytesPerLine = 16, kLineChars = 7 + 3 * kBytesPerLine - 1;
    std::erase(answer, '\r');
    std::size_t count = 0, from = 0;
    for (std::size_t end = answer.find('\n'); end != std::string::npos; from = end + 1, end = answer.find('\n', from)) {
        const std::string line = answer.substr(from, end - from);
        if (line.size() != kLineChars || line[0] != '!' || std::stoul(line.substr(1, 4), nullptr, 16) != count ||
            count >= kImageBytes)
            return count;
        for (std::size_t i = 0; i < kBytesPerLine; ++i)
            image[count + i] = uint8_t(std::stoul(line.substr(7 + 3 * i, 2), nullptr, 16));
        count += kBytesPerLine;
    }
    return answer.substr(from) == ">" ? count : 0;
}

TEST(ServeConversation, StreamsStopsAnswersAndRestartsWithTheNewSettings) {
    velt::test::TempDir dir;
    const std::string eepromFile = dir.file("eeprom.bin"), logFile = dir.file("commands.log");
    Simulator sim({"--tcp", "127.0.0.1:0", "--speed", "20", "--eeprom", eepromFile, "--log", logFile});
    const int fd = connectLoopback(sim.firstLine());
    ASSERT_GE(fd, 0);
    Peer peer(fd);

    BlockScanner first;
    peer.expectGoodBlocks(first, 4, 100);
    EXPECT_EQ(first.block().blockNumber, 3u);

    // STOP: the prompt comes at a block boundary, then the stream is silent.
    peer.send("STOP\r\n");
    for (int b = peer.next(); b != '>' || first.pendingBytes() > 0; b = peer.next()) {
        ASSERT_GE(b, 0) << "no prompt at a block boundary";
        if (first.push(uint8_t(b))) {
            EXPECT_TRUE(first.block().checksumOk);
        }
    }
    EXPECT_EQ(peer.next(300), -1) << "bytes after the prompt";

    EXPECT_EQ(peer.ask("CNF?\n"), "StName: VELT1\r\nChName(0): HHZ\r\nChName(1): HHN\r\nChName(2): HHE\r\nSPS: 100\r\n>");
    EXPECT_EQ(peer.ask("STN=ABC\n"), ">");
    EXPECT_EQ(peer.ask("SPS=50\n"), ">");
    EXPECT_EQ(peer.ask("CNF?\n"), "StName: ABC\r\nChName(0): HHZ\r\nChName(1): HHN\r\nChName(2): HHE\r\nSPS: 50\r\n>");

    // A fresh image of the stream's station, kept in the file.
    Image image{};
    ASSERT_EQ(readImage(peer.ask("EPR?\n"), image), kImageBytes);
    EXPECT_EQ(image[0], 0x55);
    EXPECT_EQ(image[1], 0xAA);
    EXPECT_EQ(velt::platform::get_u16le(&image[2]), 42);
    EXPECT_EQ(velt::platform::get_u32le(&image[24]), 0x20260001u);
    EXPECT_EQ(image[32], 3);
    EXPECT_EQ(image[33] & 7, 1);  // 100 samples per second
    EXPECT_EQ(std::string(&image[35], &image[35 + 7]), std::string("VELT1\0\xFF", 7));
    EXPECT_EQ(std::string(&image[48], &image[48 + 8]), std::string("HHZ\0\xFF\xFF\xFF\xFF", 8));
    const uint16_t table = velt::platform::get_u16le(&image[96 + 14]);
    ASSERT_GE(table, 160);
    ASSERT_LT(table, 256);
    EXPECT_LE(table + 1 + image[table], 256);
    EXPECT_EQ(velt::test::readFile(eepromFile), std::vector<uint8_t>(image.begin(), image.end()));

    EXPECT_EQ(peer.ask("EPRW023=41\n"), ">");
    Image changed{};
    ASSERT_EQ(readImage(peer.ask("EPR?\n"), changed), kImageBytes);
    image[0x23] = 0x41;
    EXPECT_EQ(changed, image);
    EXPECT_EQ(velt::test::readFile(eepromFile), std::vector<uint8_t>(image.begin(), image.end()));

    // RST: a new session with the new name and rate.
    peer.send("RST\n");
    BlockScanner second;
    peer.expectGoodBlocks(second, 1, 50);
    EXPECT_EQ(second.block().blockNumber, 0u);
    while (std::string(second.configStream().live().stationName) != "ABC" && second.totals().blocks < 40)
        peer.expectGoodBlocks(second, 1, 50);
    EXPECT_STREQ(second.configStream().live().stationName, "ABC");
    EXPECT_EQ(second.configStream().live().sampleRate, 50u);
    uint32_t restart = 0, config = 0;
    ASSERT_TRUE(second.laneRestartNumber(restart) && second.laneConfigNumber(config));
    EXPECT_EQ(restart, 2u);
    EXPECT_EQ(config, 0x20260002u);

    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(5), 0);
    std::istringstream log(velt::test::readText(logFile));
    std::string commands;
    for (std::string line; std::getline(log, line);) commands += line.substr(line.find(' ') + 1) + "\n";
    EXPECT_EQ(commands, "STOP\nCNF?\nSTN=ABC\nSPS=50\nCNF?\nEPR?\nEPRW023=41\nEPR?\nRST\n");
}

// The simulator takes its EEPROM offsets from the editor's layout; an image
// put together here byte by byte from the layout as documented keeps a slip
// in those offsets from passing unseen on both sides.
TEST(ServeConversation, AFreshEepromImageMatchesTheLayoutByteForByte) {
    using namespace std::string_literals;
    velt::test::TempDir dir;
    const std::string eepromFile = dir.file("eeprom.bin");
    Simulator sim({"--tcp", "127.0.0.1:0", "--eeprom", eepromFile, "--station", "FIELD7", "--channels", "ABCDE,X",
                   "--device", "200", "--rate", "200", "--config-number", "305419896", "--restart-number", "11259375"});
    ASSERT_NE(sim.firstLine().find("listening"), std::string::npos);

    std::vector<uint8_t> golden(kImageBytes, 0xFF);
    const auto put = [&golden](std::size_t at, const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) golden[at + i] = uint8_t(bytes[i]);
    };
    put(0, "\x55\xAA"s);                           // signature
    put(2, "\xC8\x00"s);                           // device 200
    put(22, "\x00\x00"s);                          // phase-loop word
    put(24, "\x78\x56\x34\x12"s);                  // configuration number 0x12345678
    put(28, "\xEF\xCD\xAB\x00"s);                  // restart number 0xABCDEF
    put(32, "\x03\x02"s);                          // 3 channels, rate code 2: 200 per second
    put(35, "FIELD7\0"s);                          // station name: end mark, FF to byte 47
    put(48, "ABCDE\0"s), put(56, "X\0"s), put(64, "\0"s);  // channel names, the third missing
    put(72, "SENSOR_0SENSOR_1SENSOR_2"s);          // sensor names fill their fields: no end mark
    const float calibration[3] = {6.25e-10f, 6.30e-10f, 6.20e-10f};
    for (std::size_t c = 0; c < 3; ++c) {
        const std::size_t record = 96 + 16 * c;
        put(record, "\x02"s);                      // units (m/sec)/count
        velt::platform::put_u32le(&golden[record + 1], std::bit_cast<uint32_t>(calibration[c]));
        put(record + 5, "\x00\x00\x80\x3F"s);      // period 1.0 s
        put(record + 14, "\xA0\x00"s);             // response table at 160
    }
    put(144, "\x03\x1F\x0A\x20\x14\xA0\xFF"s);     // 3 pulse-calibration items
    golden[160] = 20;                              // the response table: length, then 1..20
    for (uint8_t b = 1; b <= 20; ++b) golden[160 + b] = b;
    EXPECT_EQ(velt::test::readFile(eepromFile), golden);
}

TEST(ServeConversation, PseudoTerminalStreamsForTheDurationAndRemovesItsLink) {
    velt::test::TempDir dir;
    const std::string link = dir.file("ttyVELT");
    Simulator sim({"--pty", link, "--speed", "20", "--duration", "3"});
    ASSERT_EQ(sim.firstLine(), "veltsim serve: listening on pty " + link);
    {
        const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        Peer peer(fd);
        BlockScanner scanner;
        peer.expectGoodBlocks(scanner, 3, 100);
    }
    EXPECT_EQ(sim.wait(1), 0);  // at once when the client has closed the device
    struct stat st{};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

}  // namespace

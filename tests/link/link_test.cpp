// The device links against real peers: a listening socket on loopback and a
// pseudo-terminal, driven from the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/editor_link.h"
#include "link/link_factory.h"
#include "link/serial_link.h"
#include "link/socket_link.h"
#include "recorder/block_scanner.h"
#include "simulator.h"
#include "support/temp_dir.h"

namespace velt::link {
namespace {

using Clock = std::chrono::steady_clock;

/// A listening TCP socket on 127.0.0.1 with a free port.
struct Listener {
    explicit Listener(int backlog = 4) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, backlog);
        socklen_t size = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int accept() const { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
    int fd;
    int port;
};

std::vector<uint8_t> pattern(std::size_t n) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 7 + i / 251);
    return bytes;
}

TEST(LinkSettings, ModeStringsPortNamesAndEndpoints) {
    SerialMode m;
    ASSERT_TRUE(parseSerialMode("19200,n,8,1", m));
    EXPECT_EQ(m.baud, 19200);
    ASSERT_TRUE(parseSerialMode(" 115200 , E , 7 , 2 ", m));
    EXPECT_EQ(m.parity, 'e');
    EXPECT_EQ(m.dataBits, 7);
    EXPECT_EQ(m.stopBits, 2);
    for (const char* bad : {"", "19200", "19200,n,8", "19200,x,8,1", "19200,n,9,1", "19200,n,8,3", "19201,n,8,1",
                            "19200,n,8,1,1", "-9600,n,8,1"})
        EXPECT_FALSE(parseSerialMode(bad, m)) << bad;

    EXPECT_EQ(serialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(serialDevicePath("COM256"), "/dev/ttyS255");
    EXPECT_EQ(serialDevicePath("COM:/dev/ttyUSB0"), "/dev/ttyUSB0");
    for (const char* bad : {"COM0", "COM257", "COM", "COM:", "COMX", "/dev/ttyS0"}) EXPECT_EQ(serialDevicePath(bad), "") << bad;

    Endpoint e;
    std::string error;
    ASSERT_TRUE(parseEndpoint("192.168.1.20 5000", e, error));
    EXPECT_EQ(e.host, "192.168.1.20");
    EXPECT_EQ(e.port, 5000);
    ASSERT_TRUE(parseEndpoint("recorder.local 4001", e, error));
    EXPECT_EQ(e.host, "recorder.local");
    ASSERT_TRUE(parseEndpoint("::1 4001", e, error));
    EXPECT_EQ(e.host, "::1");
    for (const char* bad : {"", "192.168.1.20", "192.168.1 5000", "300.1.1.1 5000", "10.0.0.1 0", "host 70000",
                            "host 5000 extra"}) {
        EXPECT_FALSE(parseEndpoint(bad, e, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(makeDeviceLink("USB1", "", error), nullptr);
    EXPECT_EQ(makeDeviceLink("INET", "10.0.0.1", error), nullptr);
    EXPECT_NE(makeDeviceLink("COM:/dev/ttyUSB0", "19200,n,8,1", error), nullptr);
}

TEST(SocketLinkTest, QueuesSendsEveryByteOnceAndNoticesAClosedPeer) {
    Listener server;
    SocketLink link(Endpoint{"127.0.0.1", server.port});
    EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>("x"), 1), -1);  // not connected
    ASSERT_EQ(link.open(), 0) << link.lastError();
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(link.available(), 0);
    EXPECT_EQ(link.readByte(), 0xFF);

    // While the peer does not read, the queue fills and write takes only the
    // room left; then everything arrives once, in order.
    const std::vector<uint8_t> sent = pattern(3'000'000);
    std::size_t offered = 0;
    bool cut = false;
    std::vector<uint8_t> got;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (got.size() < sent.size() && Clock::now() < until) {
        if (offered < sent.size()) {
            const int want = int(std::min<std::size_t>(25000, sent.size() - offered));
            const int n = link.write(sent.data() + offered, want);
            ASSERT_GE(n, 0);
            cut = cut || n < want;
            offered += std::size_t(n);
        }
        if (cut) {  // drain only once the queue has been full
            uint8_t chunk[65536];
            const ssize_t n = ::recv(peer, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) got.insert(got.end(), chunk, chunk + n);
        }
        link.service();
    }
    EXPECT_TRUE(cut);
    EXPECT_TRUE(got == sent);

    // The recorder's last bytes stay readable after it closes.
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ::close(peer);
    std::string read;
    for (int i = 0; i < 1000 && link.isOpen(); ++i) {
        link.waitReadable(10, nullptr);
        while (link.available() > 0) read += char(link.readByte());
    }
    while (link.available() > 0) read += char(link.readByte());
    EXPECT_EQ(read, "abc");
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_NE(link.lastError().find("closed"), std::string::npos) << link.lastError();
    EXPECT_EQ(link.write(reinterpret_cast<const uint8_t*>("x"), 1), -1);

    // Writing into a connection the peer has just closed, before any
    // receive noticed it: no SIGPIPE, the link just closes itself.
    ASSERT_EQ(link.open(), 0) << link.lastError();
    ::close(server.accept());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 100 && link.write(sent.data(), 1000) >= 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(link.dropped()) << link.lastError();
}

TEST(SocketLinkTest, ConnectToASilentPeerIsBoundedAndAWakeUpEndsIt) {
    // A backlog of 0 with its queue filled: further connection requests go
    // unanswered, like an address where nothing listens any more.
    Listener server(0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(server.port));
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SocketLink link(Endpoint{"127.0.0.1", server.port});
    link.setConnectTimeout(400);
    auto start = Clock::now();
    EXPECT_EQ(link.open(), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_NE(link.lastError().find("no answer"), std::string::npos) << link.lastError();

    platform::WakeEvent wake;
    link.setConnectTimeout(30000);
    link.setWakeEvent(&wake);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        wake.signal();
    });
    start = Clock::now();
    EXPECT_EQ(link.open(), -1);
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    for (int fd : fillers) ::close(fd);
}

TEST(SerialLinkTest, TalksOverAPseudoTerminalAndNoticesItsHangUp) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);  // the link opens it by name

    SerialLink bad(std::string("COM:") + name, "19200,q,8,1", 100, 100);
    EXPECT_EQ(bad.open(), -2);
    SerialLink notTty("COM:/dev/null", "19200,n,8,1", 100, 100);
    EXPECT_EQ(notTty.open(), -3);
    EXPECT_EQ(SerialLink("COM:/nonexistent/tty", "19200,n,8,1", 100, 100).open(), -1);

    SerialLink link(std::string("COM:") + name, "115200,n,8,1", 64, 64);
    link.setReadChunk(5000);
    EXPECT_EQ(link.readChunk(), 1000);
    link.setReadChunk(0);
    EXPECT_EQ(link.readChunk(), 1000);
    ASSERT_EQ(link.open(), 0) << link.lastError();
    EXPECT_EQ(link.readByte(), 0xFF);

    // More than the 64-byte transmit ring: write takes the room left.
    const std::vector<uint8_t> out = pattern(100);
    int accepted = 0;
    for (int pass = 0; pass < 1000 && accepted < int(out.size()); ++pass) {
        const int n = link.write(out.data() + accepted, int(out.size()) - accepted);
        EXPECT_LE(n, 64);
        accepted += n;
        if (n == 0) link.service();
    }
    std::vector<uint8_t> atMaster;
    for (int i = 0; i < 200 && atMaster.size() < out.size(); ++i) {
        link.service();
        uint8_t chunk[256];
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10) == 1) {
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n > 0) atMaster.insert(atMaster.end(), chunk, chunk + n);
        }
    }
    EXPECT_TRUE(atMaster == out);

    ASSERT_EQ(::write(master, "\x7F\xFF\x00" "end", 6), 6);
    std::string in;
    for (int i = 0; i < 100 && in.size() < 6; ++i)
        if (link.waitReadable(10, nullptr))
            while (link.available() > 0) in += char(link.readByte());
    EXPECT_EQ(in, std::string("\x7F\xFF\x00" "end", 6));

    // The far end goes away, as when a USB adapter is pulled out.
    ::close(master);
    for (int i = 0; i < 100 && link.isOpen(); ++i) link.waitReadable(10, nullptr);
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_FALSE(link.lastError().empty());
}

TEST(EditorLinkTest, ServicesOnEveryCallAndSeesTheDrop) {
    Listener server;
    SocketLink socket(Endpoint{"127.0.0.1", server.port});
    EditorLink link(socket);
    ASSERT_EQ(link.open(), 0);
    const int peer = server.accept();
    EXPECT_NE(link.isOpen(), 0);
    ASSERT_EQ(::send(peer, ">", 1, 0), 1);
    int waiting = 0;
    for (int i = 0; i < 1000 && waiting == 0; ++i) {
        waiting = link.available();
        if (waiting == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(waiting, 1);
    EXPECT_EQ(link.readByte(), '>');
    ::close(peer);
    for (int i = 0; i < 1000 && link.isOpen(); ++i) link.waitReadable(10, nullptr);
    EXPECT_EQ(link.isOpen(), 0);
    EXPECT_FALSE(link.lastError().empty());
}

}  // namespace
}  // namespace velt::link

namespace velt::link {
namespace {

// A minute of blocks from the simulated recorder, sixty times faster, then
// its --drop-after: the link reads every block good and in order, and
// notices the drop.
void readAMinuteThenTheDrop(DeviceLink& link) {
    recorder::BlockScanner scanner;
    const platform::WakeEvent wake;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (link.isOpen() && Clock::now() < until) {
        link.waitReadable(200, &wake);
        while (link.available() > 0) scanner.push(link.readByte());
    }
    EXPECT_EQ(link.isOpen(), 0) << "the drop went unnoticed";
    EXPECT_GE(scanner.totals().blocks, 60u);
    EXPECT_EQ(scanner.totals().badChecksums, 0u);
    EXPECT_EQ(scanner.totals().numberGaps, 0u);
}

TEST(LinkWithSimulator, SocketAndSerialReadAMinuteAndNoticeTheDrop) {
    {
        test::Simulator sim({"--tcp", "127.0.0.1:0", "--speed", "60", "--drop-after", "1.5"});
        const std::string line = sim.firstLine();
        const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        SocketLink link(Endpoint{"127.0.0.1", std::stoi(line.substr(prefix.size()))});
        ASSERT_EQ(link.open(), 0) << link.lastError();
        readAMinuteThenTheDrop(link);
    }
    {
        const test::TempDir dir;
        const std::string path = dir.file("recorder");
        test::Simulator sim({"--pty", path, "--speed", "60", "--drop-after", "1.5"});
        ASSERT_EQ(sim.firstLine(), "veltsim serve: listening on pty " + path);
        SerialLink link("COM:" + path, "115200,n,8,1", kMonitorQueueBytes, kMonitorQueueBytes);
        link.setReadChunk(kMonitorReadChunk);
        ASSERT_EQ(link.open(), 0) << link.lastError();
        readAMinuteThenTheDrop(link);
    }
}

}  // namespace
}  // namespace velt::link

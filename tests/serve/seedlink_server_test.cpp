// The server over real sockets: a record made durable reaches a caught-up
// client at once, a client over the limit gets the protocol's error and
// nothing else, and a WebSocket client gets each reply as one binary frame;
// the status pages answer GET only, and an HTTP-only server turns SeedLink away.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "serve/seedlink_server.h"
#include "support/temp_dir.h"

namespace velt::serve {
namespace {

// A record of station KLMN2 (no network) at 2026-01-01 00:00:00, 100 samples at 100/s.
std::vector<uint8_t> record() {
    std::vector<uint8_t> r(512, 0);
    std::memcpy(r.data(), "000001D KLMN2  HHZ  ", 20);
    const uint8_t time[] = {0x07, 0xEA, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x00, 0x64, 0x00, 0x64, 0x00, 0x01};
    std::memcpy(r.data() + 20, time, sizeof time);
    return r;
}

class Client {
public:
    explicit Client(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& text) { ASSERT_EQ(::send(fd_, text.data(), text.size(), 0), ssize_t(text.size())); }
    // Reads until `bytes` arrived (or `end` did), the peer closed or 5 s passed.
    std::string read(std::size_t bytes, bool* closed = nullptr, std::string_view end = {}) {
        std::string got;
        while (got.size() < bytes && (end.empty() || got.find(end) == std::string::npos)) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, bytes - got.size()), 0);
            if (n <= 0) {
                if (closed) *closed = true;
                break;
            }
            got.append(chunk, std::size_t(n));
        }
        return got;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

TEST(SeedlinkServer, LiveRecordsTheConnectionLimitAndWebSocketFrames) {
    test::TempDir dir;
    SeedlinkServer server({"127.0.0.1:0", 2, "Test"}, "velt/test");
    std::string error;
    ASSERT_EQ(server.open(error), 0) << error;
    test::writeFile(dir.file("ms00000000"), record());
    const int station = server.addStation(std::make_unique<StationFiles>(dir.file("ms")), 1, 1);
    server.start();

    Client live(server.port());
    live.send("SLPROTO 4.0\r\nSTATION XX_KLMN2\r\nDATA\r\nEND\r\n");
    EXPECT_EQ(live.read(12), "OK\r\nOK\r\nOK\r\n");
    // A new durable record goes out at once to the client waiting for it.
    test::writeFile(dir.file("ms00000001"), record());
    server.committed(station, 2, 2);
    const std::string packet = live.read(17 + 8 + 512);
    ASSERT_EQ(packet.size(), 537u);
    EXPECT_EQ(packet.substr(0, 4), "SE2D");
    EXPECT_EQ(uint8_t(packet[8]), 1u);  // sequence number 1, little-endian

    // The limit is two: the third is told so and closed.
    Client second(server.port());
    Client third(server.port());
    third.send("HELLO\r\n");
    bool closed = false;
    EXPECT_EQ(third.read(1000, &closed), "ERROR LIMIT too many connections\r\n");
    EXPECT_TRUE(closed);

    // WebSocket: the upgrade names the protocol; a reply is one binary frame.
    second.send("GET /seedlink HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                "Sec-WebSocket-Protocol: SeedLink3.1, SeedLink4.0\r\n\r\n");
    const std::string head = second.read(1000, nullptr, "\r\n\r\n");
    EXPECT_NE(head.find("101 Switching Protocols"), std::string::npos) << head;
    EXPECT_NE(head.find("Sec-WebSocket-Protocol: SeedLink4.0"), std::string::npos) << head;
    const std::string masked = "STATION XX_KLMN2";
    std::string frame = {char(0x81), char(0x80 | masked.size()), 1, 2, 3, 4};
    for (std::size_t i = 0; i < masked.size(); ++i) frame += char(masked[i] ^ char(1 + i % 4));
    second.send(frame);
    EXPECT_EQ(second.read(6), std::string("\x82\x04OK\r\n", 6));
    server.stop();
}

class OnePage final : public StatusPages {
public:
    bool answer(std::string_view path, std::string_view query, HttpAnswer& answer) override {
        if (path != "/status.json") return false;
        answer = {"application/json", "{\"query\":\"" + std::string(query) + "\"}"};
        return true;
    }
};

std::string exchange(uint16_t port, const std::string& request) {
    Client c(port);
    c.send(request);
    return c.read(1 << 22);  // up to the server's close
}

TEST(SeedlinkServer, StatusPagesAnswerGetOnly) {
    OnePage pages;
    SeedlinkServer server({"127.0.0.1:0", 10, "Test"}, "velt/test");
    std::string error;
    ASSERT_EQ(server.open(error), 0) << error;
    server.setPages(&pages);
    server.start();
    const std::string page = exchange(server.port(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(page.find("/status.js"), std::string::npos) << "the page loads its script";
    const std::string status = exchange(server.port(), "GET /status.json?after=7 HTTP/1.1\r\n\r\n");
    EXPECT_NE(status.find("Cache-Control: no-store"), std::string::npos) << status;
    EXPECT_EQ(status.substr(status.find("\r\n\r\n") + 4), "{\"query\":\"after=7\"}");
    EXPECT_EQ(exchange(server.port(), "POST /status.json HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 405");
    EXPECT_EQ(exchange(server.port(), "HEAD / HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 405");
    EXPECT_EQ(exchange(server.port(), "GET /etc/passwd HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 404");
    server.stop();

    SeedlinkServer httpOnly({"127.0.0.1:0", 10, "Test", false}, "velt/test");
    ASSERT_EQ(httpOnly.open(error), 0) << error;
    httpOnly.setPages(&pages);
    httpOnly.start();
    bool closed = false;
    Client seedlink(httpOnly.port());
    seedlink.send("HELLO\r\n");
    EXPECT_EQ(seedlink.read(100, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(exchange(httpOnly.port(), "GET /seedlink HTTP/1.1\r\n\r\n").substr(0, 12), "HTTP/1.1 404");
    httpOnly.stop();
}

}  // namespace
}  // namespace velt::serve

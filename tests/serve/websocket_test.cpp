// The socket-free HTTP and WebSocket codec of the server: published test
// values for the handshake, request heads and frames fed in pieces, and the
// close codes for clients that break the rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serve/websocket.h"

namespace velt::serve {
namespace {

const uint8_t* bytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string hex(const Sha1Digest& d) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : d) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

/// A client's frame: `first` is FIN, reserved bits and opcode; the payload is
/// masked with a fixed key.
std::vector<uint8_t> clientFrame(uint8_t first, std::string_view payload) {
    const uint8_t mask[4] = {0x37, 0xFA, 0x21, 0x3D};
    std::vector<uint8_t> f{first};
    if (payload.size() < 126) {
        f.push_back(uint8_t(0x80 | payload.size()));
    } else {
        f.insert(f.end(), {0x80 | 126, uint8_t(payload.size() >> 8), uint8_t(payload.size())});
    }
    f.insert(f.end(), mask, mask + 4);
    for (std::size_t i = 0; i < payload.size(); ++i) f.push_back(uint8_t(payload[i]) ^ mask[i % 4]);
    return f;
}

std::vector<uint8_t> closeFrame(uint16_t code) {
    std::vector<uint8_t> f;
    appendCloseFrame(f, code);
    return f;
}

struct Feed {
    explicit Feed(std::size_t limit) : decoder(limit) {}
    void push(const std::vector<uint8_t>& b) { decoder.push(b.data(), b.size(), messages, out); }
    WebSocketDecoder decoder;
    std::vector<std::string> messages;
    std::vector<uint8_t> out;
};

constexpr std::string_view kUpgrade =
    "GET /seedlink HTTP/1.1\r\n"
    "Host: station.example:18000\r\n"
    "Upgrade: websocket\r\n"
    "Connection: keep-alive, Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Protocol: SeedLink3.1, SeedLink4.0\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "\r\n";

HttpRequestHead parsed(std::string_view text) {
    HttpRequestHead head;
    head.push(bytes(text), text.size());
    return head;
}

TEST(WebSocketHandshake, PublishedValuesOfSha1Base64AndTheAcceptKey) {
    // RFC 3174 section 7.3 (the fourth repeats its 64-byte text ten times).
    const std::string abc = "abc";
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string million(1000000, 'a');
    std::string repeated;
    for (int i = 0; i < 10; ++i) repeated += "0123456701234567012345670123456701234567012345670123456701234567";
    EXPECT_EQ(hex(sha1(bytes(abc), abc.size())), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(sha1(bytes(two), two.size())), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(sha1(bytes(million), million.size())), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(hex(sha1(bytes(repeated), repeated.size())), "dea356a2cddd90c7a7ecedc5ebb563934f460452");

    // RFC 4648 section 10, both ways; malformed or non-canonical text fails.
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int i = 0; i < 7; ++i) {
        const std::string_view p = plain[i];
        EXPECT_EQ(base64Encode(bytes(p), p.size()), coded[i]);
        std::vector<uint8_t> back;
        ASSERT_TRUE(base64Decode(coded[i], back)) << coded[i];
        EXPECT_EQ(std::string(back.begin(), back.end()), p);
    }
    std::vector<uint8_t> out;
    for (const char* bad : {"Zg=", "Zh==", "Z===", "Zg==Zg==", "Zm9v\n", "Zm 9"}) {
        EXPECT_FALSE(base64Decode(bad, out)) << bad;
    }

    // RFC 6455 section 1.3.
    EXPECT_EQ(websocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, UpgradeFromPiecesPicksTheServersPreferredProtocol) {
    // The head in pieces of 1 to 7 bytes, then the first frame in the same
    // read: what follows the head stays with the caller.
    std::string wire(kUpgrade);
    wire += "\x81\x80";
    HttpRequestHead head;
    std::size_t at = 0, piece = 1;
    while (at < wire.size() && head.status() == HttpHeadStatus::Incomplete) {
        const std::size_t n = std::min(piece, wire.size() - at);
        at += head.push(bytes(wire) + at, n);
        piece = piece % 7 + 1;
    }
    ASSERT_EQ(head.status(), HttpHeadStatus::Complete);
    EXPECT_EQ(at, kUpgrade.size());
    const HttpRequest& r = head.request();
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/seedlink");
    EXPECT_EQ(r.minorVersion, 1);
    ASSERT_NE(r.header("sec-websocket-version"), nullptr);
    EXPECT_EQ(*r.header("SEC-WEBSOCKET-VERSION"), "13");

    const std::string_view newestFirst[] = {"SeedLink4.0", "SeedLink3.1"};
    const UpgradeDecision d = checkUpgrade(r, newestFirst);
    ASSERT_EQ(d.outcome, UpgradeOutcome::Accepted) << d.reason;
    EXPECT_EQ(upgradeResponse(d),
              "HTTP/1.1 101 Switching Protocols\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
              "Sec-WebSocket-Protocol: SeedLink4.0\r\n"
              "\r\n");

    const std::string_view oldOnly[] = {"SeedLink3.1"};
    EXPECT_EQ(checkUpgrade(r, oldOnly).protocol, "SeedLink3.1");
    const std::string_view unknown[] = {"seedlink4.0"};  // names compare exactly
    EXPECT_EQ(checkUpgrade(r, unknown).outcome, UpgradeOutcome::NoCommonProtocol);
}

TEST(WebSocketHandshake, RefusedRequestsGetTheirErrorAnswers) {
    const std::string_view ours[] = {"SeedLink3.1"};
    const auto with = [](std::string_view from, std::string_view to) {
        std::string s(kUpgrade);
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    struct Case {
        std::string request;
        UpgradeOutcome outcome;
        const char* statusLine;
    };
    const Case cases[] = {
        {with("GET", "POST"), UpgradeOutcome::MethodNotAllowed, "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"GET /seedlink HTTP/1.1\r\nHost: a\r\n\r\n", UpgradeOutcome::NotUpgrade, "HTTP/1.1 426 Upgrade Required\r\n"},
        {with("Version: 13", "Version: 8"), UpgradeOutcome::VersionNotSupported, "HTTP/1.1 426 Upgrade Required\r\n"},
        {with("dGhlIHNhbXBsZSBub25jZQ==", "dGhlIHNhbXBsZQ=="), UpgradeOutcome::BadRequest,
         "HTTP/1.1 400 Bad Request\r\n"},
        {with("keep-alive, Upgrade", "keep-alive"), UpgradeOutcome::BadRequest, "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const Case& c : cases) {
        const HttpRequestHead head = parsed(c.request);
        ASSERT_EQ(head.status(), HttpHeadStatus::Complete) << c.request;
        const UpgradeDecision d = checkUpgrade(head.request(), ours);
        EXPECT_EQ(d.outcome, c.outcome) << c.request;
        const std::string answer = upgradeResponse(d);
        EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << answer;
        // The head announces exactly the body that follows it.
        const std::size_t end = answer.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_NE(answer.find("Content-Length: " + std::to_string(answer.size() - end - 4) + "\r\n"),
                  std::string::npos);
    }
    EXPECT_NE(httpErrorResponse(426).find("Sec-WebSocket-Version: 13\r\n"), std::string::npos);
}

TEST(HttpRequestHead, LimitsAndMalformedHeadsAreRefusedEarly) {
    // A header line one byte over the limit is refused at that byte.
    const std::string longLine = "GET / HTTP/1.1\r\nX: " + std::string(HttpRequestHead::kMaxLineBytes - 3, 'a');
    HttpRequestHead head;
    EXPECT_EQ(head.push(bytes(longLine), longLine.size()), longLine.size());
    EXPECT_EQ(head.status(), HttpHeadStatus::Incomplete);
    EXPECT_EQ(head.push(bytes("a\r\n"), 3), 1u);
    EXPECT_EQ(head.status(), HttpHeadStatus::HeaderLineTooLong);
    EXPECT_EQ(httpStatusFor(head.status()), 431);

    std::string many = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i <= HttpRequestHead::kMaxHeaders; ++i) many += "X-N: " + std::to_string(i) + "\r\n";
    EXPECT_EQ(parsed(many).status(), HttpHeadStatus::TooManyHeaders);
    std::string large = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 9; ++i) large += "X: " + std::string(1000, 'b') + "\r\n";
    EXPECT_EQ(parsed(large).status(), HttpHeadStatus::HeadTooLarge);
    EXPECT_EQ(parsed("GET /" + std::string(1100, 'c')).status(), HttpHeadStatus::RequestLineTooLong);

    EXPECT_EQ(parsed("GET / HTTP/2.0\r\n").status(), HttpHeadStatus::VersionNotSupported);
    for (std::string_view bad : {"HELLO\r\n", "GET /\r\n", "GET  / HTTP/1.1\r\n", "GET / HTTP/1.1\rX\n",
                                 "GET / HTTP/1.1\r\nHost : a\r\n", "GET / HTTP/1.1\r\nA: b\r\n  folded\r\n"}) {
        EXPECT_EQ(parsed(bad).status(), HttpHeadStatus::Malformed) << bad;
    }
    // Bare LF line ends and stray empty lines before the request are fine.
    const HttpRequestHead lf = parsed("\r\n\nGET /status HTTP/1.0\nAccept:  text/plain \n\n");
    ASSERT_EQ(lf.status(), HttpHeadStatus::Complete);
    EXPECT_EQ(*lf.request().header("accept"), "text/plain");
}

TEST(WebSocketFrames, MessagesFromAnySplitFragmentsAndPings) {
    // A masked text frame split at every byte boundary.
    const std::vector<uint8_t> frame = clientFrame(0x81, "INFO ID\r\n");
    for (std::size_t split = 0; split <= frame.size(); ++split) {
        Feed f(4096);
        f.push({frame.begin(), frame.begin() + std::ptrdiff_t(split)});
        f.push({frame.begin() + std::ptrdiff_t(split), frame.end()});
        ASSERT_EQ(f.messages, std::vector<std::string>{"INFO ID\r\n"}) << split;
        EXPECT_TRUE(f.out.empty());
    }

    // A fragmented binary message with a ping between its fragments, then a
    // 200-byte message (16-bit length) in the same read.
    Feed f(4096);
    std::vector<uint8_t> wire = clientFrame(0x02, "STATION XX");
    for (const auto& part : {clientFrame(0x89, "beat"), clientFrame(0x8A, "stray pong"), clientFrame(0x00, " AB\r"),
                             clientFrame(0x80, "\n"), clientFrame(0x82, std::string(200, 'z'))}) {
        wire.insert(wire.end(), part.begin(), part.end());
    }
    f.push(wire);
    EXPECT_EQ(f.messages, (std::vector<std::string>{"STATION XX AB\r\n", std::string(200, 'z')}));
    EXPECT_EQ(f.out, (std::vector<uint8_t>{0x8A, 4, 'b', 'e', 'a', 't'}));
    EXPECT_FALSE(f.decoder.closed());

    // The client's close is echoed, and ends the reading.
    f.out.clear();
    f.push(clientFrame(0x88, std::string("\x03\xE8", 2) + "bye"));
    EXPECT_TRUE(f.decoder.closed());
    EXPECT_EQ(f.out, closeFrame(close_code::kNormal));
    f.push(clientFrame(0x81, "late"));
    EXPECT_EQ(f.messages.size(), 2u);

    // Closing from this side: what the client still sends is dropped, and
    // its close is not answered a second time.
    Feed g(4096);
    g.decoder.close(close_code::kGoingAway, g.out);
    EXPECT_EQ(g.out, closeFrame(close_code::kGoingAway));
    g.push(clientFrame(0x81, "DATA"));
    g.push(clientFrame(0x88, ""));
    EXPECT_TRUE(g.decoder.closed());
    EXPECT_TRUE(g.messages.empty());
    EXPECT_EQ(g.out, closeFrame(close_code::kGoingAway));
}

TEST(WebSocketFrames, BrokenRulesCloseWithTheirCodes) {
    struct Case {
        std::vector<uint8_t> wire;
        uint16_t code;
    };
    std::vector<uint8_t> unmasked = {0x81, 0x02, 'h', 'i'};
    std::vector<uint8_t> twoParts = clientFrame(0x01, std::string(3000, 'a'));  // under the limit
    const std::vector<uint8_t> rest = clientFrame(0x80, std::string(1100, 'a'));
    twoParts.insert(twoParts.end(), rest.begin(), rest.end());
    const Case cases[] = {
        {unmasked, close_code::kProtocolError},
        {clientFrame(0x82, std::string(4097, 'x')), close_code::kMessageTooBig},
        {twoParts, close_code::kMessageTooBig},
        {clientFrame(0xC1, "x"), close_code::kProtocolError},            // reserved bit
        {clientFrame(0x83, "x"), close_code::kProtocolError},            // unknown opcode
        {clientFrame(0x09, "x"), close_code::kProtocolError},            // fragmented ping
        {clientFrame(0x80, "x"), close_code::kProtocolError},            // continuation alone
        {clientFrame(0x81, "\xC0\xAF"), close_code::kInvalidData},       // overlong '/'
        {clientFrame(0x88, std::string("\x03\xED", 2)), close_code::kProtocolError},  // 1005: local only
    };
    for (const Case& c : cases) {
        Feed f(4096);
        f.push(c.wire);
        EXPECT_TRUE(f.decoder.closed()) << c.code;
        EXPECT_EQ(f.out, closeFrame(c.code));
        EXPECT_TRUE(f.messages.empty());
        EXPECT_STRNE(f.decoder.failure(), "");
    }

    // The oversize frame is refused at its header, before its payload.
    Feed big(4096);
    const std::vector<uint8_t> frame = clientFrame(0x82, std::string(5000, 'x'));
    big.push({frame.begin(), frame.begin() + 8});
    EXPECT_TRUE(big.decoder.closed());
    EXPECT_EQ(big.decoder.closeCode(), close_code::kMessageTooBig);
}

TEST(WebSocketFrames, ServerFramesTakeTheShortestLength) {
    const std::vector<uint8_t> payload(70000, 0x5A);
    const struct {
        std::size_t size;
        std::vector<uint8_t> header;
    } cases[] = {
        {0, {0x82, 0}},
        {125, {0x82, 125}},
        {126, {0x82, 126, 0, 126}},
        {65535, {0x82, 126, 0xFF, 0xFF}},
        {65536, {0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out;
        ASSERT_TRUE(appendFrame(out, Opcode::Binary, payload.data(), c.size));
        ASSERT_EQ(out.size(), c.header.size() + c.size);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + std::ptrdiff_t(c.header.size())), c.header);
    }
    std::vector<uint8_t> out;
    EXPECT_FALSE(appendFrame(out, Opcode::Pong, payload.data(), 126));
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace velt::serve

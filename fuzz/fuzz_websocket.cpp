// Arbitrary bytes from a client of the server's port, in pieces of 1 to 16
// bytes (the first byte picks the size): either a request head and then
// frames, as a browser sends them, or frames alone. The head reader must keep
// to its limits and stop taking bytes once finished; the frame reader must
// keep messages within their limit and hand over only pongs and one final
// close, all valid server frames; base64 keys must decode only from their
// one canonical form.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "serve/websocket.h"

namespace {

using namespace velt::serve;

constexpr std::size_t kMessageLimit = 4096;

void check(bool ok) {
    if (!ok) std::abort();
}

void checkHead(const HttpRequestHead& head, std::size_t taken) {
    const HttpRequest& r = head.request();
    check(taken <= HttpRequestHead::kMaxHeadBytes);
    check(r.headers.size() <= HttpRequestHead::kMaxHeaders);
    check(r.method.size() + r.target.size() <= HttpRequestHead::kMaxLineBytes);
    for (const HttpHeader& h : r.headers) check(h.name.size() + h.value.size() < HttpRequestHead::kMaxLineBytes);
    if (head.status() != HttpHeadStatus::Complete) return;

    const std::string_view ours[] = {"SeedLink4.0", "SeedLink3.1"};
    const UpgradeDecision d = checkUpgrade(r, ours);
    const std::string answer = upgradeResponse(d);
    check(answer.rfind("HTTP/1.1 ", 0) == 0 && answer.find("\r\n\r\n") != std::string::npos);
    if (d.outcome == UpgradeOutcome::Accepted) {
        check(d.accept.size() == 28);
        check(d.protocol == ours[0] || d.protocol == ours[1]);
    }
    if (const std::string* key = r.header("Sec-WebSocket-Key")) {
        std::vector<uint8_t> raw;
        if (base64Decode(*key, raw)) check(base64Encode(raw.data(), raw.size()) == *key);
    }
}

/// The frames the decoder handed over: unmasked, final, pongs of at most
/// 125 bytes, and at most one close, which comes last.
void checkServerFrames(const std::vector<uint8_t>& out, bool closed) {
    std::size_t i = 0;
    bool sawClose = false;
    while (i < out.size()) {
        check(!sawClose);
        check(out.size() - i >= 2);
        const uint8_t op = out[i] & 0x0F;
        check((out[i] & 0xF0) == 0x80);
        check(op == uint8_t(Opcode::Pong) || op == uint8_t(Opcode::Close));
        const std::size_t size = out[i + 1];
        check(size <= kMaxControlPayload);
        check(op != uint8_t(Opcode::Close) || size == 0 || size == 2);
        sawClose = op == uint8_t(Opcode::Close);
        i += 2 + size;
    }
    check(i == out.size());
    check(sawClose == closed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = (data[0] & 0x0F) + 1;
    const bool framesOnly = data[0] & 0x10;
    ++data;
    --size;

    std::size_t at = 0;
    if (!framesOnly) {
        HttpRequestHead head;
        while (at < size && head.status() == HttpHeadStatus::Incomplete) {
            const std::size_t n = std::min(piece, size - at);
            const std::size_t taken = head.push(data + at, n);
            check(taken <= n);
            check(taken == n || head.status() != HttpHeadStatus::Incomplete);
            at += taken;
        }
        checkHead(head, at);
        // A finished head takes nothing more.
        if (at < size) check(head.push(data + at, size - at) == 0);
        if (head.status() != HttpHeadStatus::Complete) return 0;
    }

    WebSocketDecoder decoder(kMessageLimit);
    std::vector<std::string> messages;
    std::vector<uint8_t> out;
    while (at < size) {
        const std::size_t n = std::min(piece, size - at);
        decoder.push(data + at, n, messages, out);
        at += n;
    }
    for (const std::string& m : messages) check(m.size() <= kMessageLimit);
    checkServerFrames(out, decoder.closed());
    if (decoder.closed()) {
        const std::size_t before = out.size(), count = messages.size();
        decoder.push(data, size, messages, out);
        check(out.size() == before && messages.size() == count);
    }
    return 0;
}

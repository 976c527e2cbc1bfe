#include "serve/websocket.h"

#include <algorithm>

#include "platform/endian.h"

namespace velt::serve {

namespace {

// ---------------------------------------------------------------------------
// Text helpers

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

bool isOws(char c) { return c == ' ' || c == '\t'; }

std::string_view trimOws(std::string_view s) {
    while (!s.empty() && isOws(s.front())) s.remove_prefix(1);
    while (!s.empty() && isOws(s.back())) s.remove_suffix(1);
    return s;
}

// The characters of an HTTP token (method, header name): RFC 9110 tchar.
bool isTokenChar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/// Calls `fn` with every non-empty element of the comma-separated lists in
/// the headers named `name`; stops (returning true) when `fn` returns true.
template <typename Fn>
bool anyListElement(const HttpRequest& request, std::string_view name, Fn fn) {
    for (const HttpHeader& h : request.headers) {
        if (!equalsIgnoringCase(h.name, name)) continue;
        std::string_view rest = h.value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string_view element = trimOws(rest.substr(0, comma));
            if (!element.empty() && fn(element)) return true;
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// SHA-1 (RFC 3174), for the handshake only.

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void sha1Block(uint32_t state[5], const uint8_t block[64]) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = platform::get_u32be(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// ---------------------------------------------------------------------------
// HTTP responses

const char* reasonPhrase(int status) {
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 414: return "URI Too Long";
    case 426: return "Upgrade Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

int statusFor(UpgradeOutcome outcome) {
    switch (outcome) {
    case UpgradeOutcome::Accepted: return 101;
    case UpgradeOutcome::MethodNotAllowed: return 405;
    case UpgradeOutcome::NotUpgrade:
    case UpgradeOutcome::VersionNotSupported: return 426;
    case UpgradeOutcome::BadRequest:
    case UpgradeOutcome::NoCommonProtocol: return 400;
    }
    return 400;
}

// ---------------------------------------------------------------------------
// Frames: the fixed bits of the first two header bytes.

constexpr uint8_t kFinBit = 0x80;
constexpr uint8_t kReservedBits = 0x70;
constexpr uint8_t kOpcodeBits = 0x0F;
constexpr uint8_t kControlOpcodeBit = 0x08;
constexpr uint8_t kMaskBit = 0x80;
constexpr uint8_t kLengthBits = 0x7F;
constexpr uint8_t kLength16 = 126;  // a 16-bit length follows
constexpr uint8_t kLength64 = 127;  // a 64-bit length follows
constexpr std::size_t kMaskBytes = 4;

/// The size of a client's frame header, from its second byte.
std::size_t clientHeaderSize(uint8_t second) {
    const uint8_t length7 = second & kLengthBits;
    return 2 + (length7 == kLength64 ? 8 : length7 == kLength16 ? 2 : 0) + kMaskBytes;
}

bool isKnownOpcode(uint8_t op) {
    switch (Opcode(op)) {
    case Opcode::Continuation:
    case Opcode::Text:
    case Opcode::Binary:
    case Opcode::Close:
    case Opcode::Ping:
    case Opcode::Pong: return true;
    }
    return false;
}

// Close codes a client may send: the defined ones that are not reserved for
// local use (1004-1006, 1015), and those of applications (3000-4999).
bool isValidReceivedCloseCode(uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

}  // namespace

// ---------------------------------------------------------------------------

Sha1Digest sha1(const uint8_t* data, std::size_t size) {
    uint32_t state[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    std::size_t whole = size - size % 64;
    for (std::size_t i = 0; i < whole; i += 64) sha1Block(state, data + i);

    // The rest, the 0x80 marker and the bit count fill one or two blocks.
    uint8_t tail[128] = {};
    const std::size_t rest = size - whole;
    std::copy(data + whole, data + size, tail);
    tail[rest] = 0x80;
    const std::size_t tailSize = rest < 56 ? 64 : 128;
    const uint64_t bits = uint64_t(size) * 8;
    platform::put_u32be(tail + tailSize - 8, uint32_t(bits >> 32));
    platform::put_u32be(tail + tailSize - 4, uint32_t(bits));
    for (std::size_t i = 0; i < tailSize; i += 64) sha1Block(state, tail + i);

    Sha1Digest digest;
    for (int i = 0; i < 5; ++i) platform::put_u32be(digest.data() + 4 * i, state[i]);
    return digest;
}

std::string base64Encode(const uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (std::size_t i = 0; i < size; i += 3) {
        const std::size_t n = std::min<std::size_t>(3, size - i);
        uint32_t group = uint32_t(data[i]) << 16;
        if (n > 1) group |= uint32_t(data[i + 1]) << 8;
        if (n > 2) group |= data[i + 2];
        out += kBase64Alphabet[(group >> 18) & 63];
        out += kBase64Alphabet[(group >> 12) & 63];
        out += n > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
        out += n > 2 ? kBase64Alphabet[group & 63] : '=';
    }
    return out;
}

bool base64Decode(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        // Padding only at the end: "xx==" or "xxx=".
        const std::size_t pad = !last ? 0 : text[i + 3] != '=' ? 0 : text[i + 2] != '=' ? 1 : 2;
        uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int v = k < 4 - pad ? base64Value(text[i + k]) : 0;
            if (v < 0) return false;
            group = (group << 6) | uint32_t(v);
        }
        // Bits beyond the last byte must be zero, so each text has one form.
        if ((pad == 1 && (group & 0xFF) != 0) || (pad == 2 && (group & 0xFFFF) != 0)) return false;
        out.push_back(uint8_t(group >> 16));
        if (pad < 2) out.push_back(uint8_t(group >> 8));
        if (pad < 1) out.push_back(uint8_t(group));
    }
    return true;
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const uint8_t b = uint8_t(text[i]);
        std::size_t more;
        uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            more = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            more = 2;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            more = 3;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (text.size() - i <= more) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const uint8_t c = uint8_t(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        const uint32_t smallest = more == 2 ? 0x800 : more == 3 ? 0x10000 : 0x80;
        if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

// ---------------------------------------------------------------------------

const std::string* HttpRequest::header(std::string_view name) const {
    for (const HttpHeader& h : headers) {
        if (equalsIgnoringCase(h.name, name)) return &h.value;
    }
    return nullptr;
}

std::size_t HttpRequest::headerCount(std::string_view name) const {
    return std::size_t(std::count_if(headers.begin(), headers.end(),
                                     [&](const HttpHeader& h) { return equalsIgnoringCase(h.name, name); }));
}

bool HttpRequest::hasToken(std::string_view name, std::string_view token) const {
    return anyListElement(*this, name, [&](std::string_view e) { return equalsIgnoringCase(e, token); });
}

int httpStatusFor(HttpHeadStatus status) {
    switch (status) {
    case HttpHeadStatus::Incomplete:
    case HttpHeadStatus::Complete: return 0;
    case HttpHeadStatus::Malformed: return 400;
    case HttpHeadStatus::VersionNotSupported: return 505;
    case HttpHeadStatus::RequestLineTooLong: return 414;
    case HttpHeadStatus::HeaderLineTooLong:
    case HttpHeadStatus::TooManyHeaders:
    case HttpHeadStatus::HeadTooLarge: return 431;
    }
    return 400;
}

std::size_t HttpRequestHead::push(const uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size && status_ == HttpHeadStatus::Incomplete) {
        const char c = char(data[i++]);
        if (++headBytes_ > kMaxHeadBytes) {
            fail(HttpHeadStatus::HeadTooLarge);
        } else if (c == '\n') {
            sawCr_ = false;
            endLine();
        } else if (sawCr_) {
            fail(HttpHeadStatus::Malformed);  // a CR inside a line
        } else if (c == '\r') {
            sawCr_ = true;
        } else if (line_.size() == kMaxLineBytes) {
            fail(sawRequestLine_ ? HttpHeadStatus::HeaderLineTooLong : HttpHeadStatus::RequestLineTooLong);
        } else {
            line_ += c;
        }
    }
    return i;
}

void HttpRequestHead::reset() {
    request_ = HttpRequest{};
    status_ = HttpHeadStatus::Incomplete;
    line_.clear();
    sawRequestLine_ = false;
    sawCr_ = false;
    headBytes_ = 0;
}

void HttpRequestHead::endLine() {
    const std::string_view line = line_;
    if (!sawRequestLine_) {
        if (line.empty()) return;  // stray line ends before a request
        sawRequestLine_ = true;
        // method SP request-target SP HTTP-version, single spaces.
        const std::size_t sp1 = line.find(' ');
        const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
        if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
            return fail(HttpHeadStatus::Malformed);
        }
        const std::string_view method = line.substr(0, sp1);
        const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
        const std::string_view version = line.substr(sp2 + 1);
        const bool targetOk = !target.empty() && std::all_of(target.begin(), target.end(), [](char t) {
            return t > ' ' && t < 0x7F;
        });
        const bool versionForm = version.size() == 8 && version.substr(0, 5) == "HTTP/" && isDigit(version[5]) &&
                                 version[6] == '.' && isDigit(version[7]);
        if (!isToken(method) || !targetOk || !versionForm) return fail(HttpHeadStatus::Malformed);
        if (version[5] != '1') return fail(HttpHeadStatus::VersionNotSupported);
        request_.method = method;
        request_.target = target;
        request_.minorVersion = version[7] - '0';
    } else if (line.empty()) {
        status_ = HttpHeadStatus::Complete;
    } else {
        // name ":" OWS value OWS; no space before the colon, no folded lines.
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
            return fail(HttpHeadStatus::Malformed);
        }
        const std::string_view value = trimOws(line.substr(colon + 1));
        const bool valueOk = std::all_of(value.begin(), value.end(), [](char v) {
            const uint8_t u = uint8_t(v);
            return u == '\t' || (u >= ' ' && u != 0x7F);
        });
        if (!valueOk) return fail(HttpHeadStatus::Malformed);
        if (request_.headers.size() == kMaxHeaders) return fail(HttpHeadStatus::TooManyHeaders);
        request_.headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
    }
    line_.clear();
}

// ---------------------------------------------------------------------------

std::string websocketAccept(std::string_view key) {
    // RFC 6455: base64(SHA-1(key + this fixed GUID)).
    static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string input(key);
    input += kGuid;
    const Sha1Digest digest = sha1(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    return base64Encode(digest.data(), digest.size());
}

UpgradeDecision checkUpgrade(const HttpRequest& request, std::span<const std::string_view> protocols) {
    UpgradeDecision d;
    const auto refuse = [&d](UpgradeOutcome outcome, const char* reason) {
        d.outcome = outcome;
        d.reason = reason;
        return d;
    };
    if (request.method != "GET") return refuse(UpgradeOutcome::MethodNotAllowed, "a WebSocket upgrade is a GET");
    if (!request.hasToken("Upgrade", "websocket")) {
        return refuse(UpgradeOutcome::NotUpgrade, "this address takes WebSocket connections only");
    }
    if (request.minorVersion < 1) return refuse(UpgradeOutcome::BadRequest, "a WebSocket upgrade needs HTTP/1.1");
    if (request.header("Host") == nullptr) return refuse(UpgradeOutcome::BadRequest, "no Host header");
    if (!request.hasToken("Connection", "upgrade")) {
        return refuse(UpgradeOutcome::BadRequest, "Connection does not name Upgrade");
    }
    const std::string* version = request.header("Sec-WebSocket-Version");
    if (version == nullptr || *version != "13") {
        return refuse(UpgradeOutcome::VersionNotSupported, "WebSocket version 13 only");
    }
    const std::string* key = request.header("Sec-WebSocket-Key");
    std::vector<uint8_t> nonce;
    if (key == nullptr || request.headerCount("Sec-WebSocket-Key") != 1 || !base64Decode(*key, nonce) ||
        nonce.size() != 16) {
        return refuse(UpgradeOutcome::BadRequest, "Sec-WebSocket-Key is not one base64 value of 16 bytes");
    }
    // Subprotocol names compare exactly: the client checks the echo so.
    const auto offered = [&request](std::string_view p) {
        return anyListElement(request, "Sec-WebSocket-Protocol", [p](std::string_view e) { return e == p; });
    };
    const auto chosen = std::find_if(protocols.begin(), protocols.end(), offered);
    if (chosen == protocols.end()) {
        return refuse(UpgradeOutcome::NoCommonProtocol, "no Sec-WebSocket-Protocol offered is served here");
    }
    d.outcome = UpgradeOutcome::Accepted;
    d.protocol = *chosen;
    d.accept = websocketAccept(*key);
    return d;
}

std::string upgradeResponse(const UpgradeDecision& decision) {
    if (decision.outcome != UpgradeOutcome::Accepted) return httpErrorResponse(statusFor(decision.outcome), decision.reason);
    return "HTTP/1.1 101 Switching Protocols\r\n"
           "Upgrade: websocket\r\n"
           "Connection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           decision.accept +
           "\r\n"
           "Sec-WebSocket-Protocol: " +
           decision.protocol + "\r\n\r\n";
}

std::string httpErrorResponse(int status, std::string_view detail) {
    std::string body = std::to_string(status) + " " + reasonPhrase(status);
    if (!detail.empty()) {
        body += ": ";
        body += detail;
    }
    body += "\n";
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    if (status == 405) out += "Allow: GET\r\n";
    if (status == 426) {
        // An Upgrade header needs "upgrade" among the connection options.
        out += "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\nConnection: Upgrade, close\r\n";
    } else {
        out += "Connection: close\r\n";
    }
    out += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return out + body;
}

std::string httpResponse(int status, std::string_view contentType, std::string_view body,
                         std::string_view cacheControl) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\nContent-Type: ";
    out += contentType;
    out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nCache-Control: ";
    out += cacheControl;
    out += "\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

// ---------------------------------------------------------------------------

bool appendFrame(std::vector<uint8_t>& out, Opcode opcode, const uint8_t* payload, std::size_t size) {
    if ((uint8_t(opcode) & kControlOpcodeBit) && size > kMaxControlPayload) return false;
    uint8_t header[kMaxServerFrameHeader];
    std::size_t headerSize = 2;
    header[0] = uint8_t(kFinBit | uint8_t(opcode));
    if (size < kLength16) {
        header[1] = uint8_t(size);
    } else if (size <= 0xFFFF) {
        header[1] = kLength16;
        platform::put_u16be(header + 2, uint16_t(size));
        headerSize = 4;
    } else {
        header[1] = kLength64;
        platform::put_u32be(header + 2, uint32_t(uint64_t(size) >> 32));
        platform::put_u32be(header + 6, uint32_t(size));
        headerSize = 10;
    }
    out.insert(out.end(), header, header + headerSize);
    if (size > 0) out.insert(out.end(), payload, payload + size);
    return true;
}

void appendCloseFrame(std::vector<uint8_t>& out, uint16_t code) {
    uint8_t payload[2];
    platform::put_u16be(payload, code);
    appendFrame(out, Opcode::Close, payload, sizeof payload);
}

WebSocketDecoder::WebSocketDecoder(std::size_t maxMessageBytes) : maxMessage_(maxMessageBytes) {}

void WebSocketDecoder::push(const uint8_t* data, std::size_t size, std::vector<std::string>& messages,
                            std::vector<uint8_t>& out) {
    std::size_t i = 0;
    while (!closed_) {
        if (!inPayload_) {
            if (i == size) break;
            i += takeHeader(data + i, size - i, out);
            if (!inPayload_) continue;  // header unfinished (all bytes taken) or refused
        }
        const bool control = uint8_t(opcode_) & kControlOpcodeBit;
        const std::size_t n = std::size_t(std::min<uint64_t>(size - i, payloadSize_ - payloadRead_));
        const std::size_t base = message_.size();
        if (!control) message_.resize(base + n);
        for (std::size_t k = 0; k < n; ++k) {
            const uint8_t b = data[i + k] ^ mask_[(payloadRead_ + k) % kMaskBytes];
            if (control) {
                control_[payloadRead_ + k] = b;
            } else {
                message_[base + k] = char(b);
            }
        }
        i += n;
        payloadRead_ += n;
        if (payloadRead_ < payloadSize_) break;  // all bytes taken
        inPayload_ = false;
        endFrame(messages, out);
    }
}

void WebSocketDecoder::close(uint16_t code, std::vector<uint8_t>& out) {
    if (closed_ || closeSent_) return;
    appendCloseFrame(out, code);
    closeSent_ = true;
    closeCode_ = code;
}

const char* WebSocketDecoder::refusalOfFirstBytes() const {
    const uint8_t op = header_[0] & kOpcodeBits;
    const bool control = op & kControlOpcodeBit;
    if (header_[0] & kReservedBits) return "reserved bits set";  // no extension is agreed
    if (!isKnownOpcode(op)) return "unknown opcode";
    if (!(header_[1] & kMaskBit)) return "unmasked frame";
    if (control && !(header_[0] & kFinBit)) return "fragmented control frame";
    if (control && (header_[1] & kLengthBits) > kMaxControlPayload) return "control frame over 125 bytes";
    if (Opcode(op) == Opcode::Continuation && !inMessage_) return "continuation frame outside a message";
    if ((Opcode(op) == Opcode::Text || Opcode(op) == Opcode::Binary) && inMessage_) {
        return "new message inside a fragmented one";
    }
    return nullptr;
}

std::size_t WebSocketDecoder::takeHeader(const uint8_t* data, std::size_t size, std::vector<uint8_t>& out) {
    std::size_t i = 0;
    while (i < size && (headerBytes_ < 2 || headerBytes_ < clientHeaderSize(header_[1]))) {
        header_[headerBytes_++] = data[i++];
        if (headerBytes_ != 2) continue;
        // Everything but the length can be judged from the first two bytes.
        if (const char* refused = refusalOfFirstBytes()) {
            fail(close_code::kProtocolError, refused, out);
            return i;
        }
    }
    if (headerBytes_ < 2 || headerBytes_ < clientHeaderSize(header_[1])) return i;  // more to come

    headerBytes_ = 0;
    opcode_ = Opcode(header_[0] & kOpcodeBits);
    fin_ = header_[0] & kFinBit;
    const uint8_t length7 = header_[1] & kLengthBits;
    std::size_t at = 2;
    if (length7 == kLength16) {
        payloadSize_ = platform::get_u16be(&header_[at]);
        at += 2;
    } else if (length7 == kLength64) {
        payloadSize_ = (uint64_t(platform::get_u32be(&header_[at])) << 32) | platform::get_u32be(&header_[at + 4]);
        at += 8;
        if (payloadSize_ >> 63) {
            fail(close_code::kProtocolError, "frame length over 63 bits", out);
            return i;
        }
    } else {
        payloadSize_ = length7;
    }
    std::copy(&header_[at], &header_[at] + kMaskBytes, mask_.begin());
    payloadRead_ = 0;

    if (opcode_ == Opcode::Text || opcode_ == Opcode::Binary) {
        inMessage_ = true;
        messageIsText_ = opcode_ == Opcode::Text;
        message_.clear();
    }
    // Refused at the header, before any of an oversize payload is kept.
    if (!(uint8_t(opcode_) & kControlOpcodeBit) && payloadSize_ > maxMessage_ - message_.size()) {
        fail(close_code::kMessageTooBig, "message over the size limit", out);
        return i;
    }
    inPayload_ = true;
    return i;
}

void WebSocketDecoder::endFrame(std::vector<std::string>& messages, std::vector<uint8_t>& out) {
    if (uint8_t(opcode_) & kControlOpcodeBit) return handleControl(out);
    if (!fin_) return;
    inMessage_ = false;
    if (messageIsText_ && !isValidUtf8(message_)) return fail(close_code::kInvalidData, "text message not UTF-8", out);
    // After our close, the client's messages have no one to answer them.
    if (!closeSent_) messages.push_back(std::move(message_));
    message_.clear();
}

void WebSocketDecoder::handleControl(std::vector<uint8_t>& out) {
    const std::size_t size = std::size_t(payloadSize_);
    switch (opcode_) {
    case Opcode::Ping:
        if (!closeSent_) appendFrame(out, Opcode::Pong, control_.data(), size);
        return;
    case Opcode::Close: {
        uint16_t code = 0;
        if (size == 1) return fail(close_code::kProtocolError, "close frame of one byte", out);
        if (size >= 2) {
            code = platform::get_u16be(control_.data());
            if (!isValidReceivedCloseCode(code)) return fail(close_code::kProtocolError, "invalid close code", out);
            const std::string_view reason(reinterpret_cast<const char*>(control_.data()) + 2, size - 2);
            if (!isValidUtf8(reason)) return fail(close_code::kInvalidData, "close reason not UTF-8", out);
        }
        if (!closeSent_) {
            // Echo the code; an empty close is answered with an empty one.
            if (code != 0) {
                appendCloseFrame(out, code);
            } else {
                appendFrame(out, Opcode::Close, nullptr, 0);
            }
            closeSent_ = true;
            closeCode_ = code;
        }
        closed_ = true;
        return;
    }
    default:
        return;  // a pong: nothing asked for
    }
}

void WebSocketDecoder::fail(uint16_t code, const char* failure, std::vector<uint8_t>& out) {
    if (!closeSent_) {
        appendCloseFrame(out, code);
        closeSent_ = true;
        closeCode_ = code;
    }
    failure_ = failure;
    closed_ = true;
}

}  // namespace velt::serve

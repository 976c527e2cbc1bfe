// What the server's listener needs to speak HTTP/1.1 request heads and
// WebSocket (RFC 6455) without touching a socket: the caller feeds received
// bytes in whatever pieces they arrive and sends the bytes it is handed.
//
// One port serves SeedLink over plain TCP, SeedLink over WebSocket for
// browsers (GET with an upgrade, one SeedLink reply or packet per binary
// frame, command lines in the client's frames) and plain GET requests.
// Everything a client sends is bounded here: head lines, header count, head
// size, control frames and the size of a message; a client that breaks the
// rules gets an error answer (HTTP) or a close frame (WebSocket) and is done.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velt::serve {

// ---------------------------------------------------------------------------
// Building blocks of the handshake, public so they can be checked against
// the published test values.

using Sha1Digest = std::array<uint8_t, 20>;
Sha1Digest sha1(const uint8_t* data, std::size_t size);
std::string base64Encode(const uint8_t* data, std::size_t size);
/// @brief Decodes padded base64 (no line breaks, no whitespace, unused bits
/// zero). @return false when `text` is not that (`out` then means nothing).
bool base64Decode(std::string_view text, std::vector<uint8_t>& out);
/// @brief True when `text` is valid UTF-8 (no overlongs, surrogates or
/// values past U+10FFFF).
bool isValidUtf8(std::string_view text);

// ---------------------------------------------------------------------------
// HTTP/1.1 request head

struct HttpHeader {
    std::string name;   // as received
    std::string value;  // without the whitespace around it
};

struct HttpRequest {
    std::string method;
    std::string target;
    int minorVersion = 0;  // HTTP/1.<minorVersion>
    std::vector<HttpHeader> headers;

    /// @brief The value of the first header named `name` (any case), or null.
    const std::string* header(std::string_view name) const;
    /// @brief Headers named `name` (any case).
    std::size_t headerCount(std::string_view name) const;
    /// @brief True when a comma-separated list in any header named `name`
    /// holds `token` (both compared in any case; "Connection: keep-alive,
    /// Upgrade" holds "upgrade").
    bool hasToken(std::string_view name, std::string_view token) const;
};

enum class HttpHeadStatus {
    Incomplete,          // more bytes needed
    Complete,            // request() is the whole head
    Malformed,           // not an HTTP request head: 400 (or drop)
    VersionNotSupported, // HTTP/<n>.<m> with n other than 1: 505
    RequestLineTooLong,  // 414
    HeaderLineTooLong,   // 431
    TooManyHeaders,      // 431
    HeadTooLarge,        // 431
};

/// @brief The status code to answer a finished head with: 400, 414, 431 or
/// 505 for the errors (0 for Incomplete and Complete).
int httpStatusFor(HttpHeadStatus status);

/// Reads one request head from bytes that arrive in pieces. Lines end with
/// CRLF or a bare LF; empty lines before the request line are skipped (and
/// count towards the head size); folded header lines are malformed. The
/// limits count the bytes of a line without its line end, and of the head
/// with everything.
class HttpRequestHead final {
public:
    static constexpr std::size_t kMaxLineBytes = 1024;
    static constexpr std::size_t kMaxHeaders = 32;
    static constexpr std::size_t kMaxHeadBytes = 8 * 1024;

    /// @brief Takes received bytes up to the end of the head (or the first
    /// error). @return the bytes taken: what follows the head is not part of
    /// it and stays with the caller.
    std::size_t push(const uint8_t* data, std::size_t size);
    HttpHeadStatus status() const { return status_; }
    /// @brief The head read so far; whole when status() is Complete.
    const HttpRequest& request() const { return request_; }
    /// @brief Forgets everything, ready for the next head.
    void reset();

private:
    void endLine();
    void fail(HttpHeadStatus status) { status_ = status; }

    HttpRequest request_;
    HttpHeadStatus status_ = HttpHeadStatus::Incomplete;
    std::string line_;
    bool sawRequestLine_ = false;
    bool sawCr_ = false;
    std::size_t headBytes_ = 0;
};

// ---------------------------------------------------------------------------
// WebSocket handshake

/// @brief Sec-WebSocket-Accept for a client's Sec-WebSocket-Key.
std::string websocketAccept(std::string_view key);

enum class UpgradeOutcome {
    Accepted,           // answer 101, then frames
    NotUpgrade,         // no "Upgrade: websocket": 426 (naming the upgrade)
    MethodNotAllowed,   // not GET: 405
    BadRequest,         // a handshake header is missing or wrong: 400
    VersionNotSupported,// Sec-WebSocket-Version is not 13: 426 naming 13
    NoCommonProtocol,   // none of the offered subprotocols is ours: 400
};

struct UpgradeDecision {
    UpgradeOutcome outcome = UpgradeOutcome::BadRequest;
    std::string protocol;  // the subprotocol picked (Accepted)
    std::string accept;    // Sec-WebSocket-Accept (Accepted)
    const char* reason = "";  // what was wrong, for the log and the answer
};

/// @brief Checks a request for a WebSocket upgrade: GET, HTTP/1.1 or later,
/// Host, "Upgrade: websocket" and "Connection: Upgrade" (token lists, any
/// case), "Sec-WebSocket-Version: 13", exactly one Sec-WebSocket-Key that is
/// the base64 of 16 bytes, and a subprotocol both sides know.
/// The subprotocol picked is the first of `protocols` (the server's order of
/// preference) that the client offered, whatever the client's order: the
/// server knows which of its protocol versions it serves best, and a client
/// that offers a version accepts it. A request without any subprotocol gets
/// none in common: the protocol version is not known without it.
UpgradeDecision checkUpgrade(const HttpRequest& request, std::span<const std::string_view> protocols);

/// @brief The exact answer to send for `decision`: the 101 response, or the
/// error response of its outcome (the connection then ends).
std::string upgradeResponse(const UpgradeDecision& decision);

/// @brief A complete error response with "Connection: close" and a short
/// text body ("<status> <reason phrase>", then ": <detail>" if any); 405
/// names GET as allowed, 426 names the WebSocket upgrade and version 13.
std::string httpErrorResponse(int status, std::string_view detail = {});

/// @brief A complete response with "Connection: close", the body's type
/// and length, and `cacheControl` ("no-store" for answers that change).
std::string httpResponse(int status, std::string_view contentType, std::string_view body,
                         std::string_view cacheControl);

// ---------------------------------------------------------------------------
// WebSocket frames

enum class Opcode : uint8_t {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

namespace close_code {
constexpr uint16_t kNormal = 1000;
constexpr uint16_t kGoingAway = 1001;
constexpr uint16_t kProtocolError = 1002;
constexpr uint16_t kInvalidData = 1007;  // text that is not UTF-8
constexpr uint16_t kMessageTooBig = 1009;
}  // namespace close_code

constexpr std::size_t kMaxControlPayload = 125;
/// Largest header of a server frame: 2 bytes, then a 64-bit length.
constexpr std::size_t kMaxServerFrameHeader = 10;

/// @brief Appends one unmasked, final frame (the server's kind) carrying
/// `size` bytes; the length takes 7, 16 or 64 bits as needed.
/// @return false, appending nothing, for a control frame (close, ping, pong)
/// over kMaxControlPayload bytes.
bool appendFrame(std::vector<uint8_t>& out, Opcode opcode, const uint8_t* payload, std::size_t size);
/// @brief Appends a close frame with `code` and no reason.
void appendCloseFrame(std::vector<uint8_t>& out, uint16_t code);

/// Reads the frames a client sends after the handshake. They must be masked,
/// without reserved bits, with known opcodes; control frames unfragmented and
/// at most 125 bytes; text and binary messages (fragmented or not) at most
/// the size given. Text messages must be UTF-8. A ping is answered with a
/// pong of the same payload, pongs are ignored, a close is answered with a
/// close of the same code. A broken rule fails the connection: a close frame
/// with 1002 (protocol), 1007 (text not UTF-8) or 1009 (message too big) is
/// handed over and the decoder is closed.
class WebSocketDecoder final {
public:
    explicit WebSocketDecoder(std::size_t maxMessageBytes);

    /// @brief Takes received bytes, all of them. Each complete message (its
    /// payload, text or binary alike) is appended to `messages`, each frame to
    /// send (pong, close) to `out`. Once closed, bytes are ignored.
    void push(const uint8_t* data, std::size_t size, std::vector<std::string>& messages,
              std::vector<uint8_t>& out);
    /// @brief Starts the closing handshake from this side (shutting down):
    /// appends a close frame with `code`; messages received afterwards are
    /// dropped, and the client's close ends the connection without an answer.
    void close(uint16_t code, std::vector<uint8_t>& out);

    /// @brief Nothing more will be read: send what was handed over, then close
    /// the connection.
    bool closed() const { return closed_; }
    /// @brief The code of the close frame sent (0: none, or an empty close was
    /// echoed).
    uint16_t closeCode() const { return closeCode_; }
    /// @brief What the client did wrong when this side failed the connection
    /// (empty otherwise), for the log.
    const char* failure() const { return failure_; }

private:
    // Frame header: 2 bytes, up to 8 of extended length, 4 of mask.
    static constexpr std::size_t kMaxClientFrameHeader = 14;

    const char* refusalOfFirstBytes() const;
    std::size_t takeHeader(const uint8_t* data, std::size_t size, std::vector<uint8_t>& out);
    void endFrame(std::vector<std::string>& messages, std::vector<uint8_t>& out);
    void handleControl(std::vector<uint8_t>& out);
    void fail(uint16_t code, const char* failure, std::vector<uint8_t>& out);

    std::size_t maxMessage_;
    bool closed_ = false;
    bool closeSent_ = false;
    uint16_t closeCode_ = 0;
    const char* failure_ = "";

    // The frame being read.
    std::array<uint8_t, kMaxClientFrameHeader> header_{};
    std::size_t headerBytes_ = 0;
    bool inPayload_ = false;
    Opcode opcode_ = Opcode::Continuation;
    bool fin_ = false;
    std::array<uint8_t, 4> mask_{};
    uint64_t payloadSize_ = 0;
    uint64_t payloadRead_ = 0;
    std::array<uint8_t, kMaxControlPayload> control_{};

    // The message being assembled from data frames.
    bool inMessage_ = false;
    bool messageIsText_ = false;
    std::string message_;
};

}  // namespace velt::serve

// The device link over TCP.
//
// The monitor's INDEVICECONFIGSTRING gives the endpoint: "A.B.C.D PORT" (an
// IPv4 address), or "HOST PORT" with a host name or an IPv6 address,
// resolved at every open(). A text without a complete address and port is
// refused (parseEndpoint) rather than connecting to an undefined place.
//
// Received bytes wait in a 10000-byte buffer, bytes to send in another; a
// send that would block is tried again at the next pass with exactly the
// same bytes. Unlike a plain socket loop the link notices a peer that closes
// or resets the connection: isOpen() becomes 0, lastError() says why, and
// what was received before stays readable. Writing never raises SIGPIPE.
//
// connect is bounded (5 s by default) and ends early when the wake event
// given to setWakeEvent() is signalled, so a stop request is never stuck
// behind a recorder that does not answer.
#pragma once

#include <cstdint>
#include <string>

#include "link/device_link.h"

namespace velt::link {

struct Endpoint {
    std::string host;  // IPv4 or IPv6 address text, or a host name
    int port = 0;
};

/// @brief Reads "%d.%d.%d.%d %d" or "HOST PORT". @return false, with
/// `error` set, when no complete address and port (1..65535) are given.
bool parseEndpoint(const std::string& text, Endpoint& endpoint, std::string& error);

class SocketLink final : public DeviceLink {
public:
    static constexpr int kBufferBytes = 10000;
    static constexpr int kDefaultConnectMilliseconds = 5000;

    /// @brief An IPv4 endpoint, first number first.
    SocketLink(const uint8_t address[4], int port);
    explicit SocketLink(Endpoint endpoint);
    ~SocketLink() override;
    SocketLink(const SocketLink&) = delete;
    SocketLink& operator=(const SocketLink&) = delete;

    int isOpen() override { return state_ == kConnected ? 1 : 0; }
    int available() override;
    uint8_t readByte() override;
    int read(uint8_t* buffer, int count) override;
    int service() override;
    /// @return 0, or -1 when no connection could be made (lastError() says why).
    int open() override;
    int close() override;
    int writeSpace() override;
    int write(const uint8_t* data, int count) override;
    int waitReadable(int milliseconds, const platform::WakeEvent* wake) override;

    /// @brief The event that ends a connect early (not owned; null: none).
    void setWakeEvent(const platform::WakeEvent* wake) { wake_ = wake; }
    void setConnectTimeout(int milliseconds) { connectMilliseconds_ = milliseconds; }
    /// @brief The peer went away; received bytes may still be waiting.
    bool dropped() const { return state_ == kDropped; }

private:
    enum State { kClosed = 0, kConstructed = 1, kConnected = 2, kDropped = 3 };

    void receiveStep();
    void sendStep();
    void drop(const std::string& why);
    int waiting() const { return fill_ - readPos_; }
    bool readable() const { return state_ == kConnected || state_ == kDropped; }
    int connectOne(const void* address, unsigned length, int family, std::string& why);

    Endpoint endpoint_;
    int fd_ = -1;
    State state_ = kConstructed;
    const platform::WakeEvent* wake_ = nullptr;
    int connectMilliseconds_ = kDefaultConnectMilliseconds;
    uint8_t receive_[kBufferBytes] = {};
    int fill_ = 0, readPos_ = 0;
    uint8_t transmit_[kBufferBytes] = {};
    int queued_ = 0, sendPos_ = 0;
};

}  // namespace velt::link

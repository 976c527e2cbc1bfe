#include "link/socket_link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace velt::link {

namespace {

bool portNumber(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(text);
    return port >= 1 && port <= 65535;
}

}  // namespace

bool parseEndpoint(const std::string& text, Endpoint& endpoint, std::string& error) {
    int a, b, c, d, port, used = 0;
    if (std::sscanf(text.c_str(), " %d.%d.%d.%d %d %n", &a, &b, &c, &d, &port, &used) == 5 &&
        std::size_t(used) == text.size()) {
        for (int v : {a, b, c, d})
            if (v < 0 || v > 255) {
                error = "\"" + text + "\": an address number is not 0..255";
                return false;
            }
        if (port < 1 || port > 65535) {
            error = "\"" + text + "\": the port is not 1..65535";
            return false;
        }
        endpoint = {std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d),
                    port};
        return true;
    }
    // "HOST PORT": exactly two words.
    const auto first = text.find_first_not_of(" \t");
    const auto gap = text.find_first_of(" \t", first);
    const auto second = gap == std::string::npos ? gap : text.find_first_not_of(" \t", gap);
    const auto end = second == std::string::npos ? second : text.find_first_of(" \t", second);
    const bool tail = end != std::string::npos && text.find_first_not_of(" \t", end) != std::string::npos;
    if (first == std::string::npos || second == std::string::npos || tail ||
        !portNumber(text.substr(second, end == std::string::npos ? end : end - second), port)) {
        error = "\"" + text + "\" gives no address and port (for example \"192.168.1.20 5000\")";
        return false;
    }
    const std::string host = text.substr(first, gap - first);
    // Digits and dots alone must be a whole IPv4 address: the resolver would
    // read "192.168.1" as 192.168.0.1, another place than was meant.
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        error = "\"" + text + "\": " + host + " is not a complete IPv4 address";
        return false;
    }
    endpoint = {host, port};
    return true;
}

SocketLink::SocketLink(const uint8_t address[4], int port)
    : endpoint_{std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) + "." +
                    std::to_string(address[3]),
                port} {}

SocketLink::SocketLink(Endpoint endpoint) : endpoint_(std::move(endpoint)) {}

SocketLink::~SocketLink() {
    if (fd_ >= 0) ::close(fd_);
}

int SocketLink::connectOne(const void* address, unsigned length, int family, std::string& why) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (::connect(fd, static_cast<const sockaddr*>(address), socklen_t(length)) == 0) return fd;
    if (errno != EINPROGRESS) {
        why = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    // Wait for the answer in short slices, so that a stop request or the
    // time limit ends a connect to an address that never answers.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectMilliseconds_);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            why = "no answer within " + std::to_string(connectMilliseconds_ / 1000.0).substr(0, 4) + " s";
            break;
        }
        const int events = platform::waitFor(fd, POLLOUT, wake_, int(std::min<long long>(left.count(), 100)));
        if (events != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) return fd;
            why = std::strerror(error != 0 ? error : errno);
            break;
        }
        if (wake_ != nullptr && wake_->pending()) {
            why = "connect abandoned on request";
            break;
        }
    }
    ::close(fd);
    return -1;
}

int SocketLink::open() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    lastError_.clear();
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string where = endpoint_.host + " " + std::to_string(endpoint_.port);
    const int rc = ::getaddrinfo(endpoint_.host.c_str(), std::to_string(endpoint_.port).c_str(), &hints, &found);
    if (rc != 0) {
        lastError_ = "cannot resolve " + endpoint_.host + ": " + ::gai_strerror(rc);
        return -1;
    }
    std::string why = "no address";
    for (addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next)
        fd_ = connectOne(a->ai_addr, unsigned(a->ai_addrlen), a->ai_family, why);
    ::freeaddrinfo(found);
    if (fd_ < 0) {
        lastError_ = "cannot connect to " + where + ": " + why;
        return -1;  // the state stays as it was
    }
    fill_ = readPos_ = queued_ = sendPos_ = 0;
    state_ = kConnected;
    return 0;
}

void SocketLink::drop(const std::string& why) {
    state_ = kDropped;
    lastError_ = "connection to " + endpoint_.host + " " + std::to_string(endpoint_.port) + " " + why;
    ::close(fd_);
    fd_ = -1;
    queued_ = sendPos_ = 0;
}

void SocketLink::receiveStep() {
    if (state_ != kConnected) return;
    if (readPos_ == fill_ && fill_ != 0) fill_ = readPos_ = 0;
    if (fill_ >= kBufferBytes) return;
    const ssize_t n = ::recv(fd_, receive_ + fill_, std::size_t(kBufferBytes - fill_), MSG_DONTWAIT);
    if (n > 0) fill_ += int(n);
    else if (n == 0) drop("closed by the recorder");
    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop(std::string("lost: ") + std::strerror(errno));
}

void SocketLink::sendStep() {
    if (state_ != kConnected || queued_ == 0) return;
    if (sendPos_ != queued_) {
        const ssize_t n = ::send(fd_, transmit_ + sendPos_, std::size_t(queued_ - sendPos_), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) sendPos_ += int(n);
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            drop(std::string("lost: ") + std::strerror(errno));
    }
    if (sendPos_ == queued_) queued_ = sendPos_ = 0;
}

int SocketLink::available() {
    receiveStep();
    if (waiting() < 0) {
        fill_ = readPos_ = 0;
        return 0;
    }
    return waiting();
}

uint8_t SocketLink::readByte() {
    if (!readable() || waiting() <= 0) return 0xFF;
    const uint8_t b = receive_[readPos_++];
    if (readPos_ == fill_) fill_ = readPos_ = 0;
    return b;
}

int SocketLink::read(uint8_t* buffer, int count) {
    if (!readable()) return -1;
    const int n = std::max(0, std::min(count, waiting()));
    std::memcpy(buffer, receive_ + readPos_, std::size_t(n));
    readPos_ += n;
    if (readPos_ == fill_) fill_ = readPos_ = 0;
    return n;
}

int SocketLink::service() {
    receiveStep();
    sendStep();
    return 0;
}

int SocketLink::writeSpace() {
    if (state_ != kConnected) return 0;
    sendStep();
    return std::max(0, kBufferBytes - queued_);
}

int SocketLink::write(const uint8_t* data, int count) {
    if (state_ != kConnected) return -1;
    count = std::max(0, std::min(count, kBufferBytes - queued_));
    std::memcpy(transmit_ + queued_, data, std::size_t(count));
    queued_ += count;
    sendStep();
    return count;
}

int SocketLink::waitReadable(int milliseconds, const platform::WakeEvent* wake) {
    if (available() > 0) return 1;
    if (state_ != kConnected) return DeviceLink::waitReadable(milliseconds, wake);
    platform::waitFor(fd_, POLLIN, wake, milliseconds);
    return available() > 0 ? 1 : 0;
}

int SocketLink::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = kClosed;
    return 0;
}

}  // namespace velt::link

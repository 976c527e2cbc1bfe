#include "link/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/log.h"

namespace velt::link {

namespace {

// The write step's diagnostic lines, as debug messages ("--debug"); the
// texts end in a line end of their own, which the log line does not need.
void diagnostic(const char* line) {
    if (!platform::logEnabled(platform::LogLevel::Debug)) return;
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    VELT_LOG_DEBUG("serial link", "%s", text.c_str());
}

struct BaudRate {
    long rate;
    speed_t code;
};

constexpr BaudRate kBaudRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool baudCode(long rate, speed_t& code) {
    for (const BaudRate& b : kBaudRates)
        if (b.rate == rate) {
            code = b.code;
            return true;
        }
    return false;
}

// One decimal field of a comma-separated list, blanks around it allowed.
bool field(const std::string& text, std::size_t& at, std::string& out) {
    if (at > text.size()) return false;
    const std::size_t comma = text.find(',', at);
    out = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? text.size() + 1 : comma + 1;
    const auto first = out.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    out = out.substr(first, out.find_last_not_of(" \t") - first + 1);
    return true;
}

bool smallNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

}  // namespace

bool parseSerialMode(const std::string& text, SerialMode& mode) {
    std::size_t at = 0;
    std::string baud, parity, data, stop;
    if (!field(text, at, baud) || !field(text, at, parity) || !field(text, at, data) || !field(text, at, stop) ||
        at <= text.size())
        return false;
    SerialMode m;
    speed_t code;
    long bits = 0, stops = 0;
    if (!smallNumber(baud, 1, 4000000, m.baud) || !baudCode(m.baud, code)) return false;
    if (parity.size() != 1) return false;
    m.parity = char(std::tolower(static_cast<unsigned char>(parity[0])));
    if (m.parity != 'n' && m.parity != 'e' && m.parity != 'o') return false;
    if (!smallNumber(data, 5, 8, bits) || !smallNumber(stop, 1, 2, stops)) return false;
    m.dataBits = int(bits);
    m.stopBits = int(stops);
    mode = m;
    return true;
}

std::string serialDevicePath(const std::string& portName) {
    if (portName.rfind("COM:", 0) == 0) return portName.size() > 4 ? portName.substr(4) : std::string();
    long n = 0;
    if (portName.rfind("COM", 0) == 0 && smallNumber(portName.substr(3), 1, 256, n))
        return "/dev/ttyS" + std::to_string(n - 1);
    return {};
}

bool SerialLink::Ring::push(uint8_t b) {
    if (count_ == int(bytes_.size())) return false;
    bytes_[std::size_t(tail_)] = b;
    tail_ = (tail_ + 1) % int(bytes_.size());
    ++count_;
    return true;
}

uint8_t SerialLink::Ring::pop() {
    const uint8_t b = bytes_[std::size_t(head_)];
    head_ = (head_ + 1) % int(bytes_.size());
    --count_;
    return b;
}

SerialLink::SerialLink(const std::string& portName, const std::string& mode, int receiveCapacity,
                       int transmitCapacity)
    : portName_(portName.substr(0, kPortNameChars)),
      mode_(mode.substr(0, kModeChars)),
      receive_(receiveCapacity),
      transmit_(transmitCapacity) {}

SerialLink::~SerialLink() {
    if (fd_ >= 0) ::close(fd_);
}


void SerialLink::setReadChunk(int n) {
    if (n <= 0) return;
    readChunk_ = n > kMaxReadChunk ? kMaxReadChunk : n;
}

int SerialLink::open() {
    if (fd_ >= 0) ::close(fd_);
    opened_ = false;
    lastError_.clear();
    const std::string path = serialDevicePath(portName_);
    fd_ = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        lastError_ = path.empty() ? "port name " + portName_ + " names no serial device"
                                  : "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    SerialMode m;
    speed_t baud;
    if (!parseSerialMode(mode_, m) || !baudCode(m.baud, baud)) {
        lastError_ = "mode \"" + mode_ + "\" is not of the form 19200,n,8,1";
        ::close(fd_);
        fd_ = -1;
        return -2;
    }
    termios t {};
    if (::tcgetattr(fd_, &t) != 0) {
        lastError_ = path + " refuses serial settings: " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return -3;
    }
    ::cfmakeraw(&t);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag |= m.dataBits == 5 ? CS5 : m.dataBits == 6 ? CS6 : m.dataBits == 7 ? CS7 : CS8;
    if (m.parity != 'n') t.c_cflag |= PARENB | (m.parity == 'o' ? PARODD : 0);
    if (m.stopBits == 2) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, baud) != 0 || ::cfsetospeed(&t, baud) != 0 || ::tcsetattr(fd_, TCSANOW, &t) != 0) {
        lastError_ = path + " refuses " + mode_ + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return -3;
    }
    staged_ = 0;
    writeWaiting_ = false;
    opened_ = true;
    return 0;
}

void SerialLink::hungUp(const char* why) {
    if (!opened_) return;
    opened_ = false;
    lastError_ = std::string("serial port ") + portName_ + " went away: " + why;
    ::close(fd_);
    fd_ = -1;
}

bool SerialLink::readStep() {
    if (fd_ < 0) return false;
    uint8_t chunk[kMaxReadChunk];
    const ssize_t n = ::read(fd_, chunk, std::size_t(readChunk_));
    if (n > 0) {
        for (ssize_t i = 0; i < n; ++i)
            receive_.push(chunk[i]);  // a byte that finds the ring full is dropped
        return true;
    }
    // A quiet raw port answers 0 bytes (or "would block"); a port that hung
    // up answers the same 0 but reports the hang-up to poll, or fails with
    // an I/O error.
    if (n == 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hungUp("hang-up");
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        hungUp(std::strerror(errno));
    }
    return false;
}

bool SerialLink::writeStep() {
    if (fd_ < 0) return false;
    if (staged_ == 0) {
        if (transmit_.count() == 0) return false;
        while (staged_ < kStagingBytes && transmit_.count() > 0) staging_[staged_++] = transmit_.pop();
    }
    const ssize_t n = ::write(fd_, staging_, std::size_t(staged_));
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!writeWaiting_) diagnostic("Wait\r\n");
            writeWaiting_ = true;
        } else if (errno == EIO || errno == ENXIO || errno == ENODEV) {
            hungUp(std::strerror(errno));
        } else if (errno != EINTR) {
            diagnostic("err1\r\n");  // the staged bytes stay for the next pass
        }
        return false;
    }
    diagnostic(writeWaiting_ ? "Completed \r\n" : "Immidiately\r\n");
    writeWaiting_ = false;
    // A partial write keeps exactly the unsent rest, in order.
    std::memmove(staging_, staging_ + n, std::size_t(staged_ - n));
    staged_ -= int(n);
    return true;
}

int SerialLink::service() {
    const bool got = readStep();
    const bool sent = writeStep();
    return got || sent ? 1 : 0;
}

int SerialLink::available() {
    if (receive_.count() == 0)
        for (int i = 0; i < kPollLimit && service(); ++i) {
        }
    return receive_.count();
}

uint8_t SerialLink::readByte() { return receive_.count() == 0 ? 0xFF : receive_.pop(); }

int SerialLink::read(uint8_t* buffer, int count) {
    int n = 0;
    while (n < count && available() > 0) buffer[n++] = readByte();
    return n;
}

int SerialLink::writeSpace() {
    for (int i = 0; i < kPollLimit && service(); ++i) {
    }
    return transmit_.room();
}

int SerialLink::write(const uint8_t* data, int count) {
    const int room = writeSpace();
    if (count > room) count = room;
    if (count <= 0) return 0;
    for (int i = 0; i < count; ++i) transmit_.push(data[i]);
    writeStep();
    return count;
}

int SerialLink::waitReadable(int milliseconds, const platform::WakeEvent* wake) {
    if (available() > 0) return 1;
    if (fd_ < 0) return DeviceLink::waitReadable(milliseconds, wake);
    const int events = platform::waitFor(fd_, POLLIN, wake, milliseconds);
    if (events & (POLLHUP | POLLERR)) hungUp("hang-up");
    return available() > 0 ? 1 : 0;
}

int SerialLink::close() {
    if (fd_ >= 0) {
        // Queued bytes get up to a second to go out; the second is taken in
        // full either way.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
        while (fd_ >= 0 && (staged_ > 0 || transmit_.count() > 0) && std::chrono::steady_clock::now() < until) {
            if (!writeStep()) platform::waitFor(fd_, POLLOUT, nullptr, 10);
        }
        std::this_thread::sleep_until(until);
        if (fd_ >= 0) ::close(fd_);
    }
    fd_ = -1;
    opened_ = false;
    return 0;
}

}  // namespace velt::link

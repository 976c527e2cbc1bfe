// The device link over a serial port (termios, raw, non-blocking).
//
// The port name comes from the monitor's INDEVICE setting: "COM1" to
// "COM256" mean /dev/ttyS0 to /dev/ttyS255, and "COM:" followed by a path
// names the device directly ("COM:/dev/ttyUSB0"). The mode string
// ("19200,n,8,1") gives baud, parity (n, e, o), data bits (5..8) and stop
// bits (1, 2).
//
// Received bytes go into a ring of the capacity given at construction (a
// byte that finds it full is dropped); bytes to
// send wait in a second ring and go to the port through a staging buffer of
// 1000 bytes, of which a partial write keeps exactly the unsent rest. With
// diagnostics on, the write step prints "Immidiately\r\n" (written at once),
// "Wait\r\n" (the port would block), "Completed \r\n" (a waiting write went
// out) and "err1\r\n" (a write error; the bytes stay) on standard output.
//
// A port that hangs up (a USB adapter unplugged, the far end of a
// pseudo-terminal closed) is detected: isOpen() becomes 0, the bytes
// received before stay readable, and lastError() says so.
//
// close() lets queued bytes drain for up to a second and takes that second
// in all, as the recorder expects a pause before it is addressed again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/device_link.h"

namespace velt::link {

struct SerialMode {
    long baud = 0;
    char parity = 'n';  // 'n', 'e' or 'o'
    int dataBits = 8;
    int stopBits = 1;
};

/// @brief Reads "BAUD,PARITY,DATA,STOP" ("19200,n,8,1"). @return false when
/// a field is missing, out of range or the baud rate is not a standard one.
bool parseSerialMode(const std::string& text, SerialMode& mode);

/// @brief The device path of port name "COMn" (n = 1..256) or "COM:PATH";
/// "" for any other name.
std::string serialDevicePath(const std::string& portName);

class SerialLink final : public DeviceLink {
public:
    static constexpr int kMaxReadChunk = 1000;
    static constexpr int kStagingBytes = 1000;
    static constexpr int kPollLimit = 5;
    static constexpr std::size_t kPortNameChars = 100;
    static constexpr std::size_t kModeChars = 1000;

    /// @brief Port name and mode string are copied (cut to 100 and 1000
    /// characters); the rings get the capacities given.
    SerialLink(const std::string& portName, const std::string& mode, int receiveCapacity, int transmitCapacity);
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    int isOpen() override { return opened_ ? 1 : 0; }
    int available() override;
    uint8_t readByte() override;
    int read(uint8_t* buffer, int count) override;
    int service() override;
    /// @return 0, -1 the port cannot be opened, -2 the mode string does not
    /// parse, -3 the port refuses the settings.
    int open() override;
    int close() override;
    int writeSpace() override;
    int write(const uint8_t* data, int count) override;
    int waitReadable(int milliseconds, const platform::WakeEvent* wake) override;

    /// @brief Bytes asked for by each read: n <= 0 keeps the value, n > 1000 gives 1000.
    void setReadChunk(int n);
    int readChunk() const { return readChunk_; }

private:
    class Ring {
    public:
        explicit Ring(int capacity) : bytes_(std::size_t(capacity > 0 ? capacity : 1)) {}
        int count() const { return count_; }
        int room() const { return int(bytes_.size()) - count_; }
        bool push(uint8_t b);
        uint8_t pop();
        void clear() { head_ = tail_ = count_ = 0; }

    private:
        std::vector<uint8_t> bytes_;
        int head_ = 0, tail_ = 0, count_ = 0;
    };

    bool readStep();
    bool writeStep();
    /// The port went away: no more I/O, the received bytes stay.
    void hungUp(const char* why);

    std::string portName_;
    std::string mode_;
    Ring receive_;
    Ring transmit_;
    int readChunk_ = 1;
    uint8_t staging_[kStagingBytes] = {};
    int staged_ = 0;
    bool writeWaiting_ = false;
    bool opened_ = false;
    int fd_ = -1;
};

}  // namespace velt::link

// The byte-stream link to one recorder, over a serial port or TCP. Every
// call does at most a few passes of non-blocking I/O and otherwise works on
// in-memory queues; nothing blocks except the bounded TCP connect. One
// thread (the monitor's or the editor's worker) uses a link.
//
// Unlike the links the recorder family first shipped with, a link notices
// when its peer goes away (a closed or reset connection, an unplugged
// serial adapter): isOpen() then answers 0 and lastError() says why, while
// the bytes received before are still there to be read.
#pragma once

#include <cstdint>
#include <string>

#include "platform/wake_event.h"

namespace velt::link {

class DeviceLink {
public:
    virtual ~DeviceLink() = default;
    /// @brief Non-zero while the link is usable.
    virtual int isOpen() = 0;
    /// @brief Received bytes waiting to be read (may run I/O passes first).
    virtual int available() = 0;
    /// @brief The oldest received byte, removed; 0xFF when none is waiting
    /// (0xFF is also a data byte: ask available() first).
    virtual uint8_t readByte() = 0;
    /// @brief Copies up to `count` waiting bytes into `buffer`. @return the
    /// number copied (-1 for a socket link that is not connected).
    virtual int read(uint8_t* buffer, int count) = 0;
    /// @brief One pass of receive and transmit I/O. @return 1 when it made
    /// progress (serial), else 0.
    virtual int service() = 0;
    /// @brief Opens the port or connects. @return 0, or negative (see the
    /// implementation; lastError() has the reason).
    virtual int open() = 0;
    /// @brief Closes the link. @return 0.
    virtual int close() = 0;
    /// @brief Free room in the transmit queue (may run I/O passes first).
    virtual int writeSpace() = 0;
    /// @brief Queues up to `count` bytes, as many as there is room for, and
    /// starts sending. @return the number accepted (-1: socket not connected).
    virtual int write(const uint8_t* data, int count) = 0;

    /// @brief Waits up to `milliseconds` until a byte can be read, the peer
    /// goes away, or `wake` (may be null) is signalled, without spinning.
    /// @return 1 when a byte is waiting, else 0.
    virtual int waitReadable(int milliseconds, const platform::WakeEvent* wake);

    /// @brief Why the last open() failed or why the link closed itself ("" when neither).
    const std::string& lastError() const { return lastError_; }

protected:
    std::string lastError_;
};

}  // namespace velt::link

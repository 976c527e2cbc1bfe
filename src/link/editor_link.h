// The link as the station-parameter editor uses it: the same transport,
// except that available() runs the I/O passes on every call, not only when
// nothing is waiting, so replies keep flowing while the editor polls byte
// by byte. isOpen() and lastError() are the transport's, so that a write
// back stops at once when the link underneath drops.
#pragma once

#include "link/device_link.h"

namespace velt::link {

class EditorLink final : public DeviceLink {
public:
    static constexpr int kPollLimit = 5;

    /// @brief Uses `link` (not owned; must outlive this object).
    explicit EditorLink(DeviceLink& link) : link_(link) {}

    int isOpen() override {
        const int open = link_.isOpen();
        if (open == 0) lastError_ = link_.lastError();
        return open;
    }
    int available() override {
        for (int i = 0; i < kPollLimit && link_.service(); ++i) {
        }
        return link_.available();
    }
    uint8_t readByte() override { return link_.readByte(); }
    int read(uint8_t* buffer, int count) override { return link_.read(buffer, count); }
    int service() override { return link_.service(); }
    int open() override {
        const int rc = link_.open();
        lastError_ = link_.lastError();
        return rc;
    }
    int close() override { return link_.close(); }
    int writeSpace() override { return link_.writeSpace(); }
    int write(const uint8_t* data, int count) override { return link_.write(data, count); }
    int waitReadable(int milliseconds, const platform::WakeEvent* wake) override {
        return link_.waitReadable(milliseconds, wake);
    }

private:
    DeviceLink& link_;
};

}  // namespace velt::link

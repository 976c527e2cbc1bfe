// Decodes the slow DLE-framed configuration stream (one byte per block) into
// a live copy of the recorder's settings and the collected ConfigurationRecord
// that a begin/end pair completes.
//
// Framing: DLE (0x10) + opening code starts a record and empties the buffer;
// DLE 0x03 ends and applies it; DLE DLE is one data byte 0x10; DLE + any other
// byte drops both. The record buffer holds 30 bytes.
//
// Bytes outside a record are buffered too (the next opening code empties the
// buffer); beyond 30 bytes they are discarded. A record whose payload grows
// beyond 30 bytes is dropped whole at its end and counted in
// overlongRecords(): applying a cut record could install a wrong number. A
// record too short for its fixed fields (sample rate 3 bytes, delay 2, end 4,
// channel name 1, sensor text 9, channel parameters 10) is not applied either
// and is counted in shortRecords(), so stale buffer bytes never become values.
#pragma once

#include <cstdint>

#include "recorder/configuration_record.h"
#include "recorder/status_monitor.h"

namespace velt::recorder {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kEtx = 0x03;
constexpr int kConfigBufferBytes = 30;

enum class ConfigRecordType : uint8_t {
    None = 0,
    SampleRate = 1,    // 0xFF
    StationName = 2,   // 0xFE
    ChannelName = 3,   // 0xFD
    Begin = 4,         // 0xFA
    End = 5,           // 0xFC
    Delay = 6,         // 0xEF
    SensorText = 7,    // 0xEE
    ChannelParams = 8, // 0xED
    Ignored = 9,       // 0xEC
    Position = 10,     // 0xF0
};

/// @brief The record type an opening code starts, or None for other bytes.
ConfigRecordType recordTypeForCode(uint8_t code);
/// @brief The opening code of a record type (0 for None).
uint8_t openingCodeFor(ConfigRecordType type);

class ConfigStreamDecoder final {
public:
    /// @brief Sets where names are reported (not owned; may be null).
    void setMonitor(StatusMonitor* monitor, int input) { monitor_ = monitor; input_ = input; }
    /// @brief Applies one byte of the stream.
    void feed(uint8_t b);
    /// @brief True once a collected record has been ended by an end record.
    bool complete() const { return complete_; }
    /// @brief Clears escape state, open record, buffer, collecting and complete
    /// flags; the field contents are kept.
    void reset();

    const ConfigurationRecord& live() const { return live_; }
    const ConfigurationRecord& collected() const { return collected_; }
    /// @brief Records abandoned because they grew beyond 30 bytes.
    uint32_t overlongRecords() const { return overlong_; }
    /// @brief Records ignored because their payload missed fixed fields.
    uint32_t shortRecords() const { return short_; }

private:
    void append(uint8_t b);
    void apply();

    ConfigurationRecord live_;
    ConfigurationRecord collected_;
    StatusMonitor* monitor_ = nullptr;
    int input_ = 0;
    bool escape_ = false;
    ConfigRecordType open_ = ConfigRecordType::None;
    uint8_t buffer_[kConfigBufferBytes + 1] = {};
    int count_ = 0;
    bool overflowed_ = false;
    bool collecting_ = false;
    bool complete_ = false;
    uint32_t overlong_ = 0;
    uint32_t short_ = 0;
};

}  // namespace velt::recorder

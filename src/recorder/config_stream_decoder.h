// Decodes the slow DLE-framed configuration stream (one byte per block) into
// a live copy of the recorder's settings and the collected ConfigurationRecord
// that a begin/end pair completes.
//
// Framing (ConfigFraming, which the monitor's display reads the stream with
// too): DLE (0x10) + opening code starts a record and empties the buffer;
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

#include "recorder/config_stream_codes.h"
#include "recorder/configuration_record.h"
#include "recorder/status_monitor.h"

namespace velt::recorder {

constexpr int kConfigBufferBytes = 30;

/// The record types, one per opening code (recorder/config_stream_codes.h).
enum class ConfigRecordType : uint8_t {
    None = 0,
    SampleRate = 1,
    StationName = 2,
    ChannelName = 3,
    Begin = 4,
    End = 5,
    Delay = 6,
    SensorText = 7,
    ChannelParams = 8,
    Ignored = 9,
    Position = 10,
};

/// @brief The record type an opening code starts, or None for other bytes.
ConfigRecordType recordTypeForCode(uint8_t code);
/// @brief The opening code of a record type (0 for None).
uint8_t openingCodeFor(ConfigRecordType type);

/// The DLE framing of the configuration stream: takes the escapes apart and
/// keeps the data bytes since the last record start in a buffer of 30 (later
/// bytes are dropped and marked). Which opening codes start a record, and so
/// empty the buffer, is left to the reader: the decoder below starts one for
/// the codes it knows, the monitor's display for every code.
class ConfigFraming final {
public:
    enum class Event : uint8_t {
        None,     // a data byte (taken into the buffer), or a DLE awaiting the byte after it
        Opening,  // DLE + a byte other than DLE and ETX, given by code()
        End,      // DLE ETX
    };

    /// @brief Takes one byte of the stream.
    Event feed(uint8_t b);
    /// @brief The byte after the DLE of the last Opening.
    uint8_t code() const { return code_; }
    /// @brief A record starts: empties the buffer and clears the overflow mark.
    void startRecord() {
        count_ = 0;
        overflowed_ = false;
    }
    /// @brief Forgets a pending DLE and starts afresh.
    void reset() {
        escape_ = false;
        startRecord();
    }
    const uint8_t* payload() const { return buffer_; }
    int size() const { return count_; }
    /// @brief True when a byte found the buffer full since the record started.
    bool overflowed() const { return overflowed_; }

private:
    bool escape_ = false;
    uint8_t code_ = 0;
    uint8_t buffer_[kConfigBufferBytes] = {};
    int count_ = 0;
    bool overflowed_ = false;
};

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
    void apply();

    ConfigurationRecord live_;
    ConfigurationRecord collected_;
    StatusMonitor* monitor_ = nullptr;
    int input_ = 0;
    ConfigFraming framing_;
    ConfigRecordType open_ = ConfigRecordType::None;
    bool collecting_ = false;
    bool complete_ = false;
    uint32_t overlong_ = 0;
    uint32_t short_ = 0;
};

}  // namespace velt::recorder

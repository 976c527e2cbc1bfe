// The status fields of the monitor's main window, as texts the receiver
// formats. The Qt window shows them; MemoryMonitorFields keeps them, for the
// headless monitor and for tests.
#pragma once

#include <array>
#include <string>

namespace velt::veltview {

enum class Field {
    SampleRate,       // "SPS:"
    StationName,      // "Station name:"
    ChannelName0, ChannelName1, ChannelName2,
    CurrentTime,      // "Current time:"
    TimeStatus,       // "Time status:"
    TimeCounter,      // "Cntr:" beside it
    DelT,             // "DelT:"
    CPar,             // "CPar:"
    CParCounter,      // "Cntr:" beside CPar
    SerialNumber,     // "Serial Number:"
    ConfigNumber,     // "Config.number:"
    StartStatus,      // "Start status:"
    RestartCounter,   // "Restart counter:"
    ChecksumErrors,   // "CS err:"
    RecordCode,       // the box beside the time fields
    Latitude, Longitude, Altitude,
    GroupDelay,       // "Grp dly"
    Sensor0, Sensor1, Sensor2,
    Count
};

class MonitorFields {
public:
    virtual ~MonitorFields() = default;
    virtual void setField(Field field, const std::string& text) = 0;
};

class MemoryMonitorFields final : public MonitorFields {
public:
    void setField(Field field, const std::string& text) override { values[std::size_t(field)] = text; }
    const std::string& operator[](Field field) const { return values[std::size_t(field)]; }
    std::array<std::string, std::size_t(Field::Count)> values;
};

}  // namespace velt::veltview

// Builds the link the monitor's settings ask for: INDEVICE beginning with
// "COM" gives a serial link on that port with mode INDEVICECONFIGSTRING; a
// value beginning with "INE" (INET) gives a TCP link to the endpoint in
// INDEVICECONFIGSTRING. Only three characters are compared.
#pragma once

#include <memory>
#include <string>

#include "link/device_link.h"

namespace velt::link {

constexpr int kMonitorQueueBytes = 50000;  // receive and transmit rings of a serial link
constexpr int kMonitorReadChunk = 100;

/// @brief The link for `device` and `config`, or null with `error` set when
/// the device is neither kind or the endpoint text is incomplete.
std::unique_ptr<DeviceLink> makeDeviceLink(const std::string& device, const std::string& config, std::string& error);

}  // namespace velt::link

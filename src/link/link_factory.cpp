#include "link/link_factory.h"

#include "link/serial_link.h"
#include "link/socket_link.h"

namespace velt::link {

std::unique_ptr<DeviceLink> makeDeviceLink(const std::string& device, const std::string& config, std::string& error) {
    if (device.compare(0, 3, "COM") == 0) {
        auto serial = std::make_unique<SerialLink>(device, config, kMonitorQueueBytes, kMonitorQueueBytes);
        serial->setReadChunk(kMonitorReadChunk);
        return serial;
    }
    if (device.compare(0, 3, "INE") == 0) {
        Endpoint endpoint;
        if (!parseEndpoint(config, endpoint, error)) return nullptr;
        return std::make_unique<SocketLink>(endpoint);
    }
    error = "INDEVICE \"" + device + "\" is neither a serial port (COM...) nor INET";
    return nullptr;
}

}  // namespace velt::link

#include "veltedit/editor_settings.h"

#include <cstdio>

#include "link/serial_link.h"
#include "link/socket_link.h"
#include "platform/ini_file.h"
#include "platform/log.h"

namespace velt::veltedit {

EditorSettings readSettings(const std::string& path) {
    EditorSettings s;
    s.device = platform::readProfileString(path, kSection, "INDEVICE", "", kDeviceChars);
    s.config = platform::readProfileString(path, kSection, "INDEVICECONFIGSTRING", "", kConfigChars);
    return s;
}

EditorConnection chooseLink(const EditorSettings& settings) {
    EditorConnection c;
    if (settings.device.compare(0, 3, "COM") == 0) {
        // The read chunk stays at one byte, as the editor's protocol was paced with.
        c.transport = std::make_unique<link::SerialLink>(settings.device, settings.config, kQueueBytes, kQueueBytes);
    } else if (settings.device == "INET" || settings.device == "TCP") {
        int a[4] = {0, 0, 0, 0};
        int port = 0;
        const int got = std::sscanf(settings.config.c_str(), "%d.%d.%d.%d %d", &a[0], &a[1], &a[2], &a[3], &port);
        if (got != 5 || port <= 0 || port > 65535) return c;
        uint8_t address[4];
        for (int i = 0; i < 4; ++i) {
            if (a[i] < 0 || a[i] > 255) {
                VELT_LOG_ERROR("veltedit", "INDEVICECONFIGSTRING \"%s\" is not an IPv4 address", settings.config.c_str());
                return c;
            }
            address[i] = uint8_t(a[i]);
        }
        c.transport = std::make_unique<link::SocketLink>(address, port);
    } else {
        return c;
    }
    c.link = std::make_unique<link::EditorLink>(*c.transport);
    return c;
}

std::string terminateQuestion(const EditorSettings& settings) {
    return "Do you really want to terminate station\r\n on " + settings.device + " " + settings.config +
           "\r\n and start to edit station parameters?";
}

}  // namespace velt::veltedit

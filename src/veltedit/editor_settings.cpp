#include "veltedit/editor_settings.h"

#include <cstdlib>

#include "link/serial_link.h"
#include "link/socket_link.h"
#include "platform/ini_file.h"
#include "platform/log.h"

namespace velt::veltedit {

namespace {

// "%d.%d.%d.%d %d" as scanf reads it (blanks before each number, the dots
// exactly), with numbers that saturate instead of overflowing.
bool scanEndpoint(const std::string& text, long n[5]) {
    const char* p = text.c_str();
    for (int i = 0; i < 5; ++i) {
        if (i > 0 && i < 4 && *p++ != '.') return false;
        char* end = nullptr;
        n[i] = std::strtol(p, &end, 10);
        if (end == p) return false;
        p = end;
    }
    return true;
}

}  // namespace

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
        long n[5] = {0, 0, 0, 0, 0};
        if (!scanEndpoint(settings.config, n) || n[4] <= 0 || n[4] > 65535) return c;
        uint8_t address[4];
        for (int i = 0; i < 4; ++i) {
            if (n[i] < 0 || n[i] > 255) {
                VELT_LOG_ERROR("veltedit", "INDEVICECONFIGSTRING \"%s\" is not an IPv4 address", settings.config.c_str());
                return c;
            }
            address[i] = uint8_t(n[i]);
        }
        c.transport = std::make_unique<link::SocketLink>(address, int(n[4]));
    } else {
        return c;
    }
    c.link = std::make_unique<link::EditorLink>(*c.transport);
    return c;
}

platform::SettingsCheck checkSettings(const std::string& path) {
    platform::SettingsCheck check;
    if (!check.file(path, "the editor's settings; give their folder with --config DIR")) return check;
    check.sections(path, {kSection});
    const EditorSettings s = readSettings(path);
    if (chooseLink(s).link != nullptr) return check;
    if (s.device.compare(0, 3, "COM") != 0 && s.device != "INET" && s.device != "TCP")
        check.add(platform::SettingsProblem{path, kSection, "INDEVICE",
                                            "'" + s.device + "': COMn or COM:PATH (serial), INET or TCP"});
    else
        check.add(platform::SettingsProblem{path, kSection, "INDEVICECONFIGSTRING",
                                            "'" + s.config + "': for " + s.device + " an address and a port, A.B.C.D PORT"});
    return check;
}

std::string terminateQuestion(const EditorSettings& settings) {
    return "Do you really want to terminate station\r\n on " + settings.device + " " + settings.config +
           "\r\n and start to edit station parameters?";
}

}  // namespace velt::veltedit

// The editor's settings (veltEdit.ini, section VELTEDIT) and the link they
// name. Unlike the monitor, the editor takes "INET" or "TCP" only as the
// whole, case-sensitive value, reads the endpoint strictly as
// "%d.%d.%d.%d %d", and reads a serial port one byte per call.
#pragma once

#include <memory>
#include <string>

#include "link/device_link.h"
#include "link/editor_link.h"
#include "platform/settings_check.h"

namespace velt::veltedit {

constexpr char kIniName[] = "veltEdit.ini";
constexpr char kSection[] = "VELTEDIT";
constexpr std::size_t kDeviceChars = 100;   // INDEVICE, up to 99 characters
constexpr std::size_t kConfigChars = 500;   // INDEVICECONFIGSTRING, up to 499
constexpr int kQueueBytes = 50000;          // a serial link's receive and transmit rings

struct EditorSettings {
    std::string device;  // INDEVICE
    std::string config;  // INDEVICECONFIGSTRING
};

/// @brief Reads `path` (missing keys give empty texts).
EditorSettings readSettings(const std::string& path);

/// The transport and the editor's view of it; the second uses the first.
struct EditorConnection {
    std::unique_ptr<link::DeviceLink> transport;
    std::unique_ptr<link::EditorLink> link;
};

/// @brief The link the settings name, not yet opened; both members null
/// when they name none (then the program says "Connect stream not found").
EditorConnection chooseLink(const EditorSettings& settings);

/// @brief Checks `path` before anything is asked or sent: the file, its
/// section, and that INDEVICE and INDEVICECONFIGSTRING name a link. One
/// line per problem; a bad link also means "Connect stream not found".
platform::SettingsCheck checkSettings(const std::string& path);

/// @brief The question asked before anything is sent, with the two settings.
std::string terminateQuestion(const EditorSettings& settings);

}  // namespace velt::veltedit

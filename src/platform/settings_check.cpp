#include "platform/settings_check.h"

#include <sys/stat.h>
#include <algorithm>
#include <unistd.h>

#include "platform/ini_file.h"
#include "platform/file_util.h"

namespace velt::platform {

std::string SettingsProblem::text() const {
    std::string t = file + ":";
    if (!section.empty()) t += " [" + section + "]";
    if (!key.empty()) t += " " + key;
    return t + (section.empty() && key.empty() ? " " : ": ") + message;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool SettingsCheck::file(const std::string& path, const std::string& hint) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0) return true;
    add(SettingsProblem{path, "", "", (::stat(path.c_str(), &st) == 0 ? "settings file cannot be read" : "no such settings file") +
                                          std::string(hint.empty() ? "" : " (" + hint + ")")});
    return false;
}

bool SettingsCheck::sections(const std::string& path, std::initializer_list<std::string_view> known) {
    bool good = true;
    for (const std::string& name : profileSections(path)) {
        bool found = false;
        std::string list;
        for (const std::string_view k : known) {
            found = found || (k.size() == name.size() &&
                              std::equal(k.begin(), k.end(), name.begin(), [](char a, char b) {
                                  return (a | 0x20) == (b | 0x20);
                              }));
            list += (list.empty() ? "" : ", ") + std::string(k);
        }
        if (found) continue;
        add(SettingsProblem{path, name, "", "unknown section (known: " + list + ")"});
        good = false;
    }
    return good;
}

bool SettingsCheck::folder(const std::string& path, const std::string& section, const std::string& key,
                           const std::string& value) {
    if (value.empty()) {
        add(SettingsProblem{path, section, key, "is not set (a folder)"});
        return false;
    }
    if (isFolder(value)) return true;
    add(SettingsProblem{path, section, key, "'" + value + "': no such folder"});
    return false;
}

bool SettingsCheck::prefixFolder(const std::string& path, const std::string& section, const std::string& key,
                                 const std::string& prefix) {
    const std::string folder = prefix.empty() ? "." : (prefix.back() == '/' ? prefix : directoryOf(prefix));
    if (isFolder(folder)) return true;
    add(SettingsProblem{path, section, key, "'" + prefix + "': the folder '" + folder + "' does not exist"});
    return false;
}

bool SettingsCheck::yesNo(const std::string& path, const std::string& section, const std::string& key) {
    const std::string value = readProfileString(path, section, key, "NO", 30);
    if (value != "YES" && value != "NO")
        add(SettingsProblem{path, section, key, "'" + value + "': YES switches it on, NO off"});
    return value == "YES";
}

std::string SettingsCheck::text() const {
    std::string t;
    for (const SettingsProblem& p : problems_) t += p.text() + "\n";
    return t;
}

}  // namespace velt::platform

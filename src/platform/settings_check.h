// Checks of a program's settings before any work starts. Every problem is
// one line that names the file, the section, the key and what is wrong
// ("station/inp0.ini: [INPUT] INDIR 'data/': no such folder"), said the
// same way by every program, in its window and on standard error; a
// program with settings problems ends with exit status 2.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace velt::platform {

struct SettingsProblem {
    std::string file;
    std::string section;  // "" for the file as a whole
    std::string key;      // "" for a whole section
    std::string message;

    /// @brief "FILE: [SECTION] KEY: MESSAGE" (the parts that are there).
    std::string text() const;
};

class SettingsCheck final {
public:
    /// @brief A readable settings file at `path`; `hint` says what it is for.
    bool file(const std::string& path, const std::string& hint);
    /// @brief Every section of `path` is one of `known` (case-insensitive).
    bool sections(const std::string& path, std::initializer_list<std::string_view> known);
    /// @brief `value` of [section] key names an existing folder.
    bool folder(const std::string& path, const std::string& section, const std::string& key, const std::string& value);
    /// @brief The folder a file-name prefix writes into exists: all of it
    /// when it ends in '/', else what comes before its last '/' ("." when none).
    bool prefixFolder(const std::string& path, const std::string& section, const std::string& key,
                      const std::string& prefix);
    /// @brief A switch of [section] key (default NO) is exactly YES or NO:
    /// anything else would leave what it switches off without a word.
    /// @return true when it is YES.
    bool yesNo(const std::string& path, const std::string& section, const std::string& key);
    /// @brief Any other problem.
    void add(SettingsProblem problem) { problems_.push_back(std::move(problem)); }

    bool ok() const { return problems_.empty(); }
    const std::vector<SettingsProblem>& problems() const { return problems_; }
    /// @brief Every problem, one line each.
    std::string text() const;

private:
    std::vector<SettingsProblem> problems_;
};

/// @brief True when `path` is a folder.
bool isFolder(const std::string& path);

}  // namespace velt::platform

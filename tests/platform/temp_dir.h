// The shared scratch folder, and text-file helpers for the platform tests.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_dir.h"

namespace velt::platform::test {

using velt::test::TempDir;

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readBytes(const std::string& path) { return velt::test::readText(path); }

}  // namespace velt::platform::test

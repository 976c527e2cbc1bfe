#include "veltview/configuration_answer.h"

#include <cstdlib>

namespace velt::veltview {

namespace {

// The value after a colon: leading spaces skipped, at most 25 characters.
std::string valueAfter(const std::string& line, std::size_t colon) {
    std::size_t at = colon + 1;
    while (at < line.size() && line[at] == ' ') ++at;
    return line.substr(at, ConfigurationAnswer::kNameChars);
}

}  // namespace

void ConfigurationAnswer::push(uint8_t byte) {
    if (byte == '\r') return;
    if (byte == '\n') {
        parseLine(line_);
        line_.clear();
        overlong_ = false;
        return;
    }
    if (line_.size() < kLineChars) line_ += char(byte);
    else overlong_ = true;  // the rest of the line is dropped
}

void ConfigurationAnswer::parseLine(const std::string& line) {
    if (line.empty() || line[0] == '>') return;
    // Each colon of the line is tried as the end of the key.
    for (std::size_t colon = line.find(':'); colon != std::string::npos; colon = line.find(':', colon + 1)) {
        const std::string key = line.substr(0, colon);
        if (key == "SPS") {
            const long rate = std::strtol(line.c_str() + colon + 1, nullptr, 10);
            if (rate == 50 || rate == 100 || rate == 200) parameters_.rate = std::to_string(rate);
            received_ |= kRate;
        } else if (key == "StName") {
            // A recorder without a name answers "StName:" with nothing
            // after it: received all the same, or the answer would never
            // complete and the name could never be given.
            const std::string value = valueAfter(line, colon);
            if (!value.empty()) parameters_.station = value;
            received_ |= kStation;
        } else if (line.compare(0, 7, "ChName(") == 0 && line.size() > 7 && line[7] >= '0' && line[7] <= '2') {
            const int c = line[7] - '0';
            parameters_.channels[std::size_t(c)] = valueAfter(line, colon);
            received_ |= kChannel0 << c;
        }
    }
}

}  // namespace velt::veltview

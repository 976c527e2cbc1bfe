// The recorder's answer to "CNF?": text lines "key: value" that the line
// assembler collects byte by byte and the parser reads into the parameter
// set the panel edits. Five items are expected: the station name, three
// channel names and the sampling rate; each sets one received bit.
//
// Decisions taken here:
//  - The line buffer holds 20 characters; the rest of a longer line is
//    dropped up to its line feed, so a line is never read past its buffer.
//  - A name keeps at most 25 characters after the colon (the buffer makes
//    it shorter still); a value that is empty leaves the name as it was
//    (and still counts as received).
//  - The rate stays one of "50", "100", "200": another number counts as
//    received and keeps the current choice.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace velt::veltview {

/// What parameter editing reads from the recorder and writes back.
struct ParameterSet {
    std::string station;
    std::array<std::string, 3> channels;
    std::string rate = "100";  // "50", "100" or "200"
};

class ConfigurationAnswer final {
public:
    static constexpr std::size_t kLineChars = 20;
    static constexpr std::size_t kNameChars = 25;
    static constexpr unsigned kStation = 1, kChannel0 = 2, kChannel1 = 4, kChannel2 = 8, kRate = 16;
    static constexpr unsigned kEverything = 31;

    explicit ConfigurationAnswer(ParameterSet& parameters) : parameters_(parameters) {}

    /// @brief Takes one received byte: a line feed ends a line and hands it
    /// to the parser, a carriage return is ignored.
    void push(uint8_t byte);
    /// @brief Reads one line ("StName: X", "ChName(n): X", "SPS: N").
    void parseLine(const std::string& line);
    /// @brief Bits of the items received since clear().
    unsigned received() const { return received_; }
    bool complete() const { return received_ == kEverything; }
    void clear() {
        received_ = 0;
        line_.clear();
        overlong_ = false;
    }

private:
    ParameterSet& parameters_;
    std::string line_;
    bool overlong_ = false;
    unsigned received_ = 0;
};

}  // namespace velt::veltview

// The command line of "veltsim serve": where it listens, which files it
// keeps, how fast the recorder streams and which faults the link plays.
// Read once at the start; the recorder and the server only look at it.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "recorder/stream_encoder.h"

namespace veltsim::serve {

/// What the messages of "serve" begin with.
constexpr const char* kWho = "veltsim serve";
constexpr int64_t kNanosPerSecond = 1'000'000'000;

struct ServeOptions {
    bool tcp = false;
    std::string tcpText;  // as given, for messages
    sockaddr_in tcpAddress{};
    std::string pty;      // the link to the slave device
    std::string eeprom;
    std::string sent;
    std::string log;
    int64_t speed = 1;              // blocks per second
    int64_t duration = 0;           // blocks to make; 0 = no end
    int64_t dropAfter = -1;         // nanoseconds into each connection; -1 = never
    int64_t dropAtWrite = 0;        // EPRW line (counted over all connections) that ends one; 0 = never
    int64_t stallAfter = -1;        // nanoseconds into each connection; -1 = never
    int64_t stall = -1;             // nanoseconds
    int64_t badChecksumEvery = 0;   // 0 = never
    int64_t garbageEvery = 0;       // 0 = never
    uint64_t seed = 1;
    velt::recorder::EncoderSettings encoder;
};

/// @brief Reads the arguments after "serve" into `o`; --help prints the
/// help text on standard output.
/// @return 0 parsed, 1 help shown, 2 usage error (already reported).
int parseOptions(int argc, char** argv, ServeOptions& o);

}  // namespace veltsim::serve

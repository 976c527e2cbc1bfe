// "veltsim serve" started by a test, its standard output on a pipe.
#pragma once

#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

namespace velt::test {

constexpr int kTimeoutMillis = 3000;

/// veltsim serve with the arguments given; killed if still running at the end.
class Simulator : public ChildProcess {
public:
    explicit Simulator(std::vector<std::string> args) : ChildProcess(serve(std::move(args))) {}

    /// The first line it prints (where it listens), or "" after the time-out.
    std::string firstLine() { return readLine(kTimeoutMillis); }

private:
    static Launch serve(std::vector<std::string> args) {
        args.insert(args.begin(), {VELT_BIN_DIR "/veltsim", "serve"});
        return {.args = std::move(args), .pipeOutput = true};
    }
};

}  // namespace velt::test

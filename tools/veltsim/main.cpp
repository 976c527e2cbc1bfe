// veltsim: a simulated VELT recorder for tests, demonstrations and training.
//   veltsim write --out DIR [options]   write real-time files
//   veltsim serve --tcp PORT [options]  play a recorder on a TCP or serial link
//   veltsim --help | --version
#include <cstdio>
#include <cstring>

#include "platform/program.h"
#include "serve_command.h"
#include "write_command.h"

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: veltsim COMMAND [OPTIONS]   (veltsim --version: its version)\n"
                 "Simulates a VELT recorder.\n"
                 "\n"
                 "commands:\n"
                 "  write    write the recorder's stream as numbered real-time files\n"
                 "  serve    play a recorder at the far end of a TCP or serial link\n"
                 "\n");
    veltsim::printWriteHelp(out);
    std::fprintf(out, "\n");
    veltsim::printServeHelp(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0 || std::strcmp(command, "help") == 0) {
        usage(stdout);
        return 0;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("veltsim %s\n", velt::platform::programVersion());
        return velt::platform::kExitDone;
    }
    if (std::strcmp(command, "write") == 0) return veltsim::runWrite(argc - 2, argv + 2);
    if (std::strcmp(command, "serve") == 0) return veltsim::runServe(argc - 2, argv + 2);
    std::fprintf(stderr, "veltsim: unknown command %s\n", command);
    usage(stderr);
    return 2;
}

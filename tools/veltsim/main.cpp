// veltsim: a simulated VELT recorder for tests, demonstrations and training.
//   veltsim write --out DIR [options]   write real-time files
//   veltsim --help
#include <cstdio>
#include <cstring>

#include "write_command.h"

namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: veltsim COMMAND [OPTIONS]\n"
                 "Simulates a VELT recorder.\n"
                 "\n"
                 "commands:\n"
                 "  write    write the recorder's stream as numbered real-time files\n"
                 "\n");
    veltsim::printWriteHelp(out);
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
    if (std::strcmp(command, "write") == 0) return veltsim::runWrite(argc - 2, argv + 2);
    std::fprintf(stderr, "veltsim: unknown command %s\n", command);
    usage(stderr);
    return 2;
}

// Finding every file of one recorder in a card directory: cardmill's index
// (each header read once) against walking the directory and reading every
// header for each file looked up, the way the lookups were first designed.
// 20,000 card files of four recorders, 5,000 each; the walk is timed on 20
// lookups and its total given as 5,000 times their mean (the whole walk would
// take minutes).
//
//   build-release/bin/cardmill_scan [FILES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cardmill/card_directory.h"
#include "platform/directory.h"
#include "platform/file_util.h"
#include "recorder/card_file_header.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDevices = 4;
constexpr int kWalkSamples = 20;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The first valid file of `device` numbered `number`, walking `dir`.
std::string walkFind(const std::string& dir, uint32_t device, uint32_t number) {
    std::vector<std::string> names;
    velt::platform::listDirectory(dir, "*.*", names);
    for (const std::string& name : names) {
        if (name[0] == '.') continue;
        velt::recorder::CardFile file;
        if (file.open(dir + name) != 0 || file.fullCheck() != 1) continue;
        if (file.deviceNumber() == device && file.fileNumber() == number) return dir + name;
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::max(kDevices, std::atoi(argv[1])) : 20000;
    const int perDevice = files / kDevices;
    char tmpl[] = "/tmp/cardmill-scan.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return 1;
    const std::string dir = std::string(tmpl) + "/";
    const std::string data(200, '\x11');
    for (int n = 1; n <= perDevice; ++n)
        for (uint32_t d = 0; d < kDevices; ++d) {
            const velt::recorder::CardHeader h = velt::recorder::buildCardHeader(100 + d, uint32_t(n), "UUU");
            std::string bytes(h.begin(), h.end());
            bytes += data;
            velt::platform::writeFileAtomically(dir + "D" + std::to_string(d) + "_" + std::to_string(n), bytes);
        }

    const uint32_t device = 102;
    auto start = Clock::now();
    velt::cardmill::CardDirectory index;
    index.scan(dir);
    int found = 0;
    for (int n = 1; n <= perDevice; ++n) found += index.find(device, uint32_t(n)) != nullptr;
    const double indexed = secondsSince(start);

    start = Clock::now();
    int walkedFound = 0;
    for (int i = 0; i < kWalkSamples; ++i) walkedFound += !walkFind(dir, device, uint32_t(1 + i * perDevice / kWalkSamples)).empty();
    const double walked = secondsSince(start) / kWalkSamples * perDevice;

    std::printf("%d card files, %d lookups of one recorder's files\n", kDevices * perDevice, perDevice);
    std::printf("index (headers read once): %8.3f s (%d found, %zu header reads)\n", indexed, found, index.headerReads());
    std::printf("walk per lookup:           %8.3f s (projected from %d timed lookups, %d found)\n", walked,
                kWalkSamples, walkedFound);
    std::printf("ratio:                     %8.0f (walk / index)\n", walked / indexed);
    std::system((std::string("rm -rf ") + tmpl).c_str());
    return 0;
}

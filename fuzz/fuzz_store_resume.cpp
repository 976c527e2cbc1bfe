// Arbitrary bytes as the files a miniSEED store finds when it starts after a
// crash or a power cut (its work file, a numbered file, an unnumbered
// finished file): taking them over and learning from their records which
// blocks they hold must never read outside a record or overflow, whatever
// the headers say.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "outputs/mseed_file_store.h"
#include "platform/directory.h"
#include "platform/log.h"
#include "recorder/configuration_record.h"

namespace {

const std::string& folder() {
    static const std::string dir = [] {
        char name[] = "/tmp/velt-fuzz-store.XXXXXX";
        const char* made = ::mkdtemp(name);
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return dir;
}

void put(const std::string& path, const uint8_t* data, std::size_t size) {
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
}

void quiet(velt::platform::LogLevel, const std::string&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    velt::platform::setLogSink(quiet);
    const std::string dir = folder() + "/";
    static const char* const kNames[] = {"tmpfile", "00000000", "tmpfile.00000001"};
    const std::string file = dir + kNames[data[0] % 3];
    // Every record names the channel the store looks for, so that its time,
    // rate, count and sequence fields are what varies.
    std::vector<uint8_t> bytes(data + 1, data + size);
    static const char kIdentity[] = "ALPHA  HHZ  ";  // station, location, channel, network
    for (std::size_t at = 0; at + 512 <= bytes.size(); at += 512) std::memcpy(&bytes[at + 8], kIdentity, 12);
    put(file, bytes.data(), bytes.size());
    const std::string conf = dir + "store.ini";
    const std::string text = "[COMMON]\nOUTFILEPREFIX=" + dir + "\n";
    put(conf, reinterpret_cast<const uint8_t*>(text.data()), text.size());

    velt::recorder::ConfigurationRecord config;
    std::strcpy(config.stationName, "ALPHA");
    std::strcpy(config.channelName[0], "HHZ");
    config.sampleRate = 100;
    config.delay = 54819;
    {
        velt::outputs::MseedFileStore store(conf);
        store.resumeFrom(1767225600);
        store.setConfiguration(config);
        for (int64_t t = 1767225600; t < 1767225603; ++t) {
            store.clearSamples();
            store.setTime(int32_t(t));
            store.selectChannel(0);
            for (int i = 0; i < 100; ++i) store.putSample(i);
            store.flushChannel();
        }
    }
    // Leave the folder empty for the next input.
    std::vector<std::string> names;
    velt::platform::listDirectory(folder(), "*", names);
    for (const std::string& name : names) ::unlink((dir + name).c_str());
    return 0;
}

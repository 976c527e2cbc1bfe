// Arbitrary bytes as the data of two card-archive files of one recorder,
// read as one stream and converted: the reader and the converter must never
// read outside their buffers, loop without end or hand out a block whose
// samples do not fit its rate.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cardmill/card_directory.h"
#include "cardmill/card_stream.h"
#include "conversion/stream_converter.h"
#include "platform/file_util.h"
#include "recorder/card_file_header.h"

namespace {

class CountingSink final : public velt::conversion::OutputSink {
public:
    void putSample(int32_t) override { ++samples; }
    void setTime(int32_t) override {}
    void clearSamples() override { samples = 0; }
    void flushChannel() override {
        if (samples > velt::recorder::kMaxSampleRate) std::abort();
    }
    void setConfiguration(const velt::recorder::ConfigurationRecord&) override {}
    void selectChannel(int32_t) override {}
    void closeOutputs() override {}
    int samples = 0;
};

const std::string& folder() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/fuzz-card-stream.XXXXXX";
        return std::string(::mkdtemp(tmpl)) + "/";
    }();
    return dir;
}

void writeCard(uint32_t number, const uint8_t* data, std::size_t size) {
    const velt::recorder::CardHeader h = velt::recorder::buildCardHeader(7, number, "UUU");
    std::string bytes(h.begin(), h.end());
    bytes.append(reinterpret_cast<const char*>(data), size);
    velt::platform::writeFileAtomically(folder() + velt::recorder::cardFileName(number, "UUU"), bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace velt::cardmill;
    const std::size_t half = size / 2;
    writeCard(1, data, half);
    writeCard(2, data + half, size - half);
    CardDirectory in, archive;
    if (in.scan(folder()) != 0) std::abort();
    CardStreamReader reader(in, archive, 7, 1, 2);
    velt::conversion::StreamConverter converter(reader, 10);
    converter.setCardMode();
    CountingSink sink;
    converter.attach(0, nullptr, &sink);
    reader.open();
    // Every byte is read at most a few times (each resynchronisation goes
    // back by at most a block): a bounded number of passes must end it.
    const std::size_t limit = 64 * (size + 1000);
    std::size_t passes = 0;
    do {
        converter.runPass();
        if (++passes > limit) std::abort();
    } while (!converter.starved());
    return 0;
}

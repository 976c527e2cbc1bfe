// Arbitrary bytes as a pulse-calibration file: the reader may change only
// the count and the seven items, and the count never exceeds 7.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "veltedit/response_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace velt::veltedit;
    Image image;
    image.fill(0xA5);
    const int items = parsePulseFile(data, size, image);
    if (items > kMaxPulseItems) std::abort();
    for (std::size_t a = 0; a < kImageBytes; ++a) {
        const bool table = a >= kPulseCount && a < kPulseItems + kPulseItemBytes * kMaxPulseItems;
        if (!table && image[a] != 0xA5) std::abort();
    }
    if (image[kPulseCount] != 0xA5 && image[kPulseCount] > kMaxPulseItems) std::abort();
    return 0;
}

// Arbitrary bytes as the start of a card-archive file: the checks and the
// numbers read from the header must never read past the bytes given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "recorder/card_file_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace velt::recorder;
    const uint32_t device = size > 0 ? data[0] : 0;
    quickCheckCardHeader(data, size, device);
    if (size < card::kHeaderBytes) return 0;
    // Exactly the 64 bytes, so that any read beyond them is caught.
    const std::vector<uint8_t> header(data, data + card::kHeaderBytes);
    if (cardHeaderValid(header.data()) && quickCheckCardHeader(header.data(), header.size(), cardDeviceNumber(header.data())) != 0)
        std::abort();  // a valid header always passes the quick check for its own device
    (void)cardFileNumber(header.data());
    return 0;
}

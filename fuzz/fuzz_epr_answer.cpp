// Arbitrary bytes as the recorder's answer to "EPR?": the line assembler
// must keep to its line buffer and the image, and an image is complete only
// when the count is exactly 512 at a prompt.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "veltedit/epr_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    velt::veltedit::EprAnswer answer;
    answer.reset();
    for (std::size_t i = 0; i < size; ++i) {
        if (!answer.push(data[i])) continue;
        if (answer.complete() != (answer.count() == 512)) std::abort();
        if (answer.count() % 16 != 0) std::abort();
        answer.reset();
    }
    return 0;
}

// Arbitrary bytes as the recorder's answer to "CNF?": the line assembler and
// the answer parser must keep to their buffers and leave the rate one of the
// three choices, whatever the lines say.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "veltview/configuration_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    velt::veltview::ParameterSet parameters;
    velt::veltview::ConfigurationAnswer answer(parameters);
    for (std::size_t i = 0; i < size; ++i) answer.push(data[i]);
    const std::string& rate = parameters.rate;
    if (rate != "50" && rate != "100" && rate != "200") std::abort();
    if (parameters.station.size() > velt::veltview::ConfigurationAnswer::kNameChars) std::abort();
    return 0;
}

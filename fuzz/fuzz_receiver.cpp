// Arbitrary bytes as a live recorder stream through the monitor's receiver,
// its trace display and panel: learning, demultiplexing, status decoding
// and the configuration stream must keep to their buffers whatever arrives.
#include <cstddef>
#include <cstdint>

#include "veltview/canvas.h"
#include "veltview/monitor_fields.h"
#include "veltview/receiver.h"
#include "veltview/trace_display.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    velt::veltview::RecordingCanvas canvas;  // pixels are not what is looked for here, and cost time
    velt::veltview::TraceDisplay display(canvas);
    velt::veltview::MemoryMonitorFields fields;
    velt::veltview::Receiver receiver({display, canvas, fields});
    receiver.startReception();
    for (std::size_t i = 0; i < size; ++i) {
        receiver.receiveByte(data[i]);
        if (data[i] == 0x42) receiver.stepStatusMode();
    }
    return 0;
}

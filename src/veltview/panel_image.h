// The front panel's parameter memory, kept as a 2048-byte file (the panel
// parameter image). The monitor uses one record of it, the trace scale, and
// carries every other byte through unchanged:
//
//   offset  size  content
//   0       32    kept
//   32      1     0x17  \ marker of the scale record
//   33      1     0xE4  /
//   34      2     seconds per sweep, unsigned little-endian
//   36      4     channel 0 low limit, signed little-endian
//   40      4     channel 0 high limit
//   44      8     channel 1 low, high
//   52      8     channel 2 low, high
//   60      1988  kept
//
// "Save scale info" queues the 28 bytes of the record; the queue moves one
// byte into the image per pass of the main loop, as the panel does. A store
// while the record is still moving writes it whole.
//
// Decisions taken here: the image is stored by replacing the file whole
// (temporary file, then rename), keeping any bytes beyond the 2048, so a
// crash never leaves half an image.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "veltview/trace_display.h"

namespace velt::veltview {

namespace panel_image {
constexpr std::size_t kBytes = 2048;
constexpr std::size_t kOffMarker1 = 32;
constexpr std::size_t kOffMarker2 = 33;
constexpr std::size_t kOffSeconds = 34;
constexpr std::size_t kOffLimits = 36;  // low, high of channels 0..2, 4 bytes each
constexpr std::size_t kRecordBytes = 28;
constexpr uint8_t kMarker1 = 0x17;
constexpr uint8_t kMarker2 = 0xE4;
constexpr std::size_t kQueueBytes = 40;
static_assert(kOffLimits + 6 * 4 == kOffMarker1 + kRecordBytes);
}  // namespace panel_image

class PanelImage final {
public:
    PanelImage() { image_.fill(0); }

    /// @brief Zeros, then up to 2048 bytes of `path`; a missing file leaves zeros.
    void loadImage(const std::string& path);
    /// @brief Writes the image to the start of `path` (created when missing),
    /// with a queued scale record whole. Nothing happens before a load.
    /// @return 0, or -1 when it failed.
    int storeImage(const std::string& path) const;
    /// @brief Applies a scale record, if there is one, to `display`.
    void applyScale(TraceDisplay& display) const;
    /// @brief Queues the scale record of `display`, unless a save is still moving.
    void queueScale(const TraceDisplay& display);
    /// @brief Moves one queued byte into the image.
    void queueStep();

    const std::array<uint8_t, panel_image::kBytes>& bytes() const { return image_; }
    bool queueIdle() const { return state_ == State::Idle; }

private:
    enum class State { Idle, Filling, Writing };
    bool queueValue(uint32_t value, int size);

    std::array<uint8_t, panel_image::kBytes> image_{};
    bool loaded_ = false;
    std::array<uint8_t, panel_image::kQueueBytes> queue_{};
    std::size_t queued_ = 0, sent_ = 0, target_ = 0;
    State state_ = State::Idle;
};

}  // namespace velt::veltview

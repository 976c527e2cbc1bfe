#include "veltview/panel_image.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/endian.h"
#include "platform/file_util.h"

namespace velt::veltview {

using namespace panel_image;

void PanelImage::loadImage(const std::string& path) {
    image_.fill(0);
    loaded_ = true;
    std::ifstream in(path, std::ios::binary);
    if (in) in.read(reinterpret_cast<char*>(image_.data()), std::streamsize(kBytes));
}

int PanelImage::storeImage(const std::string& path) const {
    if (!loaded_) return 0;
    std::string content(reinterpret_cast<const char*>(image_.data()), kBytes);
    // A scale record still moving is stored whole: its bytes not yet moved
    // go in where the queue would put them, so a close right after "Save
    // scale info" never leaves half a record in the file.
    if (state_ == State::Writing)
        for (std::size_t i = sent_, at = target_; i < queued_ && at < kBytes; ++i, ++at) content[at] = char(queue_[i]);
    std::ifstream in(path, std::ios::binary);
    if (in) {
        const std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (old.size() > kBytes) content += old.substr(kBytes);
    }
    return platform::writeFileAtomically(path, content);
}

void PanelImage::applyScale(TraceDisplay& display) const {
    if (image_[kOffMarker1] != kMarker1 || image_[kOffMarker2] != kMarker2) return;
    const unsigned seconds = platform::get_u16le(&image_[kOffSeconds]);
    if (seconds > 2 && seconds <= 1000) display.setSecondsPerSweep(int(seconds));
    for (int c = 0; c < 3; ++c) {
        const int32_t low = int32_t(platform::get_u32le(&image_[kOffLimits + std::size_t(c) * 8]));
        const int32_t high = int32_t(platform::get_u32le(&image_[kOffLimits + std::size_t(c) * 8 + 4]));
        if (low < high) display.setLimits(c, low, high);
    }
}

bool PanelImage::queueValue(uint32_t value, int size) {
    // Refused when it would not fit the 40-byte queue.
    if (queued_ + std::size_t(size) > kQueueBytes) return false;
    for (int i = 0; i < size; ++i) queue_[queued_++] = uint8_t(value >> (8 * i));
    return true;
}

void PanelImage::queueScale(const TraceDisplay& display) {
    if (state_ != State::Idle) return;
    state_ = State::Filling;
    queued_ = sent_ = 0;
    target_ = kOffMarker1;
    queueValue(kMarker1, 1);
    queueValue(kMarker2, 1);
    queueValue(uint32_t(display.secondsPerSweep()), 2);
    for (int c = 0; c < 3; ++c) {
        queueValue(uint32_t(display.channel(c).low), 4);
        queueValue(uint32_t(display.channel(c).high), 4);
    }
    state_ = State::Writing;
}

void PanelImage::queueStep() {
    if (state_ != State::Writing) return;
    if (sent_ == queued_) {
        state_ = State::Idle;
        return;
    }
    if (target_ < kBytes) image_[target_] = queue_[sent_];
    ++target_;
    ++sent_;
}

}  // namespace velt::veltview

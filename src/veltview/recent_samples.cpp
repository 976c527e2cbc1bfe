#include "veltview/recent_samples.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "serve/status_text.h"

namespace velt::veltview {

void RecentSamples::setRate(int rowsPerSecond) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int rate = std::clamp(rowsPerSecond, 1, kMaxRate);
    if (rate == rate_) return;
    rate_ = rate;
    ring_.assign(std::size_t(kSeconds) * std::size_t(rate) * 3, 0);
    // The numbers go on, so a page asking after its last row sees the
    // new series start; nothing of the old one is kept.
    markTime_ = 0;
    markRow_ = next_;
    seriesStart_ = next_;
}

void RecentSamples::addRow(const int32_t values[3]) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ring_.empty()) return;
    const std::size_t at = std::size_t(next_ % (ring_.size() / 3)) * 3;
    std::copy(values, values + 3, ring_.begin() + std::ptrdiff_t(at));
    ++next_;
}

void RecentSamples::markTime(int64_t seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    markTime_ = seconds;
    markRow_ = next_;
}

void RecentSamples::setChannels(std::vector<std::string> names) {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_ = std::move(names);
}

int64_t RecentSamples::lastTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return markTime_;
}

uint64_t RecentSamples::rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_;
}

std::string RecentSamples::json(uint64_t after) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t capacity = ring_.size() / 3;
    const uint64_t oldest = std::max(seriesStart_, next_ > capacity ? next_ - capacity : 0);
    const uint64_t first = std::min(std::max(after, oldest), next_);
    serve::JsonWriter j;
    j.beginObject().member("rate", rate_);
    j.key("channels").beginArray();
    for (const std::string& c : channels_) j.value(c);
    j.endArray().member("first", first).member("next", next_);
    j.key("start_time");
    if (markTime_ != 0 && rate_ > 0) {
        // Row `first` lies (markRow_ - first) rows before the marked time.
        const int64_t ms = int64_t(markTime_) * 1000 -
                           std::llround((double(markRow_) - double(first)) * 1000.0 / rate_);
        const int64_t whole = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
        char millis[8];
        std::snprintf(millis, sizeof millis, ".%03dZ", int(ms - whole * 1000));
        std::string text = serve::isoSeconds(whole);
        text.pop_back();  // the 'Z'
        j.value(text + millis);
    } else {
        j.null();
    }
    j.key("rows").beginArray();
    for (uint64_t r = first; r < next_; ++r) {
        const std::size_t at = std::size_t(r % capacity) * 3;
        j.beginArray().value(int64_t(ring_[at])).value(int64_t(ring_[at + 1])).value(int64_t(ring_[at + 2])).endArray();
    }
    j.endArray().endObject();
    return j.text() + "\n";
}

}  // namespace velt::veltview

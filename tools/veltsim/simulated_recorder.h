// The recorder that "veltsim serve" plays: the blocks it streams, one
// session after another, and how it answers the command lines it receives
// (STOP, RST, CNF?, STN=/CHn=/SPS=, EPR?, EPRW). It knows nothing of the
// link: what it sends goes into an OutputQueue that the server empties.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "eeprom_image.h"
#include "recorder/signal_generator.h"
#include "recorder/stream_encoder.h"
#include "serve_options.h"

namespace veltsim::serve {

/// Unsent bytes a client may hold back; blocks made beyond are lost.
constexpr std::size_t kMaxQueuedBytes = 1 << 20;

// The bytes waiting for a client, whole blocks and answers in the order made.
struct OutputQueue {
    std::vector<uint8_t> bytes;
    std::size_t done = 0;  // bytes of `bytes` already sent

    std::size_t pending() const { return bytes.size() - done; }
    bool full() const { return pending() >= kMaxQueuedBytes; }
    void append(std::string_view text) { bytes.insert(bytes.end(), text.begin(), text.end()); }
    void consume(std::size_t count) {
        done += count;
        if (done == bytes.size()) {
            bytes.clear();
            done = 0;
        } else if (done >= kMaxQueuedBytes) {
            bytes.erase(bytes.begin(), bytes.begin() + long(done));
            done = 0;
        }
    }
};

// The recorder itself: the settings it streams, its EEPROM, the current
// session and the answers to command lines.
class Recorder final {
public:
    Recorder(const ServeOptions& options, const eeprom::Image& image)
        : options_(options), settings_(options.encoder), signal_(options.seed), image_(image) {}

    bool begun() const { return encoder_.has_value(); }
    /// @brief True once --duration blocks were made.
    bool finished() const { return options_.duration > 0 && made_ >= uint64_t(options_.duration); }
    /// @brief Starts streaming the first session.
    void begin(int64_t now) { startSession(now); }
    /// @brief When the next block is due (monotonic nanoseconds), -1 when none is.
    int64_t nextBlockAt() const {
        if (!streaming_ || finished()) return -1;
        return sessionStart_ + sessionBlocks_ * kNanosPerSecond / options_.speed;
    }
    /// @brief Makes every block due by `now`, into `out`; with no client
    /// (null) or a full queue the block is lost and its number skipped.
    void produce(int64_t now, OutputQueue* out);
    /// @brief Acts on one command line and queues its answer in `out`.
    void command(std::string_view line, int64_t now, OutputQueue& out);

private:
    void startSession(int64_t now);
    bool every(int64_t n) const { return n > 0 && made_ % uint64_t(n) == 0; }
    void appendConfiguration(OutputQueue& out) const;
    void storeValue(std::string_view line);
    void writeByte(std::string_view line);
    template <class T>
    void change(T& field, const T& value) {
        changed_ = changed_ || field != value;
        field = value;
    }

    const ServeOptions& options_;
    velt::recorder::EncoderSettings settings_;  // what the next session streams
    velt::recorder::SignalGenerator signal_;
    eeprom::Image image_;
    std::optional<velt::recorder::StreamEncoder> encoder_;
    bool streaming_ = false;
    bool changed_ = false;  // names or rate changed since the session began
    int64_t sessionStart_ = 0;
    int64_t sessionBlocks_ = 0;
    uint64_t made_ = 0;  // blocks of all sessions, sent or lost
};

}  // namespace veltsim::serve

// The monitor's receiver: learns the block length from the live stream,
// follows the blocks byte by byte, hands every byte of the main phase
// unchanged to the card-archive and real-time writers, checks each block's
// checksum, passes the sample rows to the trace display, and decodes the
// status record of every good block into the window's fields and the
// panel's status line. It also reads the configuration stream for display.
//
// Decisions taken here:
//  - The byte roles within a block (sample byte, status byte, other) come
//    from the shared block layout, so blocks of fewer than 25 samples per
//    channel, whose last status bytes follow the rows directly, are read the
//    same way the converters read them.
//  - The first block of the main phase is written but not demultiplexed,
//    so its status is not decoded either (its status bytes were never
//    collected).
//  - The serial number's 4-bit part k sits at bits 4k .. 4k + 3 of the
//    16-bit value (k = 0 the lowest, which completes the value).
//  - A configuration-stream payload longer than 30 bytes is dropped whole
//    at its end; channel names keep their first 5 bytes, station names 10,
//    sensor texts 16.
//  - Block times are turned into dates with the project's calendar, which
//    agrees with "every fourth year is a leap year" until 2100 and stays
//    right after it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "recorder/config_stream_decoder.h"
#include "recorder/delimiter_detector.h"
#include "veltview/archive_writer.h"
#include "veltview/canvas.h"
#include "veltview/monitor_fields.h"
#include "veltview/panel_image.h"
#include "veltview/realtime_writer.h"
#include "veltview/recent_samples.h"
#include "veltview/trace_display.h"

namespace velt::veltview {

/// What the receiver works with; none owned. The writers and the image may be null.
struct ReceiverParts {
    TraceDisplay& display;
    Canvas& panel;
    MonitorFields& fields;
    ArchiveWriter* archive = nullptr;
    RealtimeWriter* realtime = nullptr;
    PanelImage* image = nullptr;
    std::string imagePath;
    SampleSink* samples = nullptr;  // every sample row, for the status page
};

class Receiver final {
public:
    static constexpr int kRepeatsToAccept = 3;  // a length is accepted when it repeats more often
    static constexpr int kStatusModes = 7;
    static constexpr int kErrorRow = 26, kTimeRow = 28, kStatusRow = 29;

    explicit Receiver(ReceiverParts parts);

    /// @brief Where the panel parameter image is loaded from at each learning.
    void setImagePath(std::string path) { p_.imagePath = std::move(path); }
    /// @brief Where every sample row goes besides the display (null: nowhere).
    void setSampleSink(SampleSink* sink) { p_.samples = sink; }
    /// @brief Starts a monitoring run: the learning phase begins.
    void startReception();
    /// @brief One received byte. @return true when it ended a block of the main phase.
    bool receiveByte(uint8_t b);
    /// @brief True once the block length is known and the main phase runs.
    bool learned() const { return phase_ == Phase::Main; }
    int blockLength() const { return length_; }
    /// @brief The next status-line mode (the panel key).
    void stepStatusMode();

private:
    enum class Phase { Learning, Skipping, Main };
    enum class Role : uint8_t { Other, Sample, Status };
    struct ByteRole {
        Role role = Role::Other;
        uint8_t index = 0;  // status index, or byte within the row (0..8)
    };

    void learn(uint8_t b);
    void accept(int length);
    void demultiplex(int index, uint8_t b);
    void endBlock();
    void decodeStatus();
    std::string blockTimeText(int64_t seconds) const;
    void decodeSerial(uint8_t s1);
    void decodeLanes();
    void configByte(uint8_t b);
    void applyRecord();
    void showStatusLine();
    void statusText(const std::string& text);

    ReceiverParts p_;
    recorder::DelimiterDetector detector_;
    Phase phase_ = Phase::Learning;
    int length_ = 0;
    int samples_ = 0;
    std::vector<ByteRole> roles_;
    int index_ = 0;
    bool firstBlock_ = false;
    uint16_t sum_ = 0;
    uint8_t checkLow_ = 0, checkHigh_ = 0;
    std::array<uint8_t, 9> row_{};
    std::array<uint8_t, 25> status_{};
    int statusCount_ = 0;
    uint64_t received_ = 0;
    int checksumErrors_ = 0;  // since the program started
    std::array<int32_t, 3> current_{}, minimum_{}, maximum_{};
    int rowCount_ = 0;
    bool scalingReady_ = false;

    // Status decoding.
    bool seenFirst_ = false;
    uint8_t prev12_ = 0, prev14_ = 0;
    bool markSeen_ = false, locked_ = false;
    uint32_t base_ = 0;
    int mismatches_ = 0;
    uint8_t lockStatus_ = 0;
    std::array<uint8_t, 4> restartLanes_{}, configLanes_{};
    std::array<uint8_t, 4> shownRestart_{}, shownConfig_{};
    bool restartShown_ = false, configShown_ = false;
    uint8_t lanesSeen_ = 0;  // bit k: lane k received since the run began
    uint16_t serialParts_ = 0;
    int serial_ = -1;
    std::string timeOfDay_;
    int32_t delT_ = 0;
    int cpar_ = 0;
    uint8_t s20_ = 0;

    // The configuration stream, for display: every opening code starts a
    // record, but only those shown (see configByte) change the open one.
    recorder::ConfigFraming config_;
    uint8_t open_ = 0;
    bool rateSeen_ = false, stationSeen_ = false;
    int rate_ = 0;
    std::string station_;
    std::array<std::string, 6> channelNames_;
    int groupDelay_ = -1;

    int mode_ = 0;
};

}  // namespace velt::veltview

// The 4-int output: each channel's samples as raw signed 32-bit little-endian
// integers, one file per channel at a time, SECINFILE blocks per file, named
// after the station, the channel and the time of the first sample.
//
// Names (behind the OUTDIR prefix, joined without adding a separator):
//   "TEST": station "_" channel "_%4.4d%2.2d%2.2d_%2.2d%2.2d%2.2d_%3.3d"
//   "GNX" (default): "%2.2d%2.2d%2.2dB%2.2d%c%2.2d%2.2d_%2.2d" "." station
//     (year mod 100, month, day, hour, component letter, minute, second,
//     hundredths = (ms + 5) / 10; the letter is the last character of the
//     channel name, 'U' when it is empty).
// First-sample time of a block stamped T, with delay in 10-microsecond units:
// T.000 when delay is 0, otherwise (T - 1).(1000 - delay / 100).
//
// Choices made here:
//  - Station and channel names come from the recorder and are sanitised
//    before they become part of a name (no separators, control bytes, "..").
//  - A new file never overwrites an existing one (the same data converted
//    again after a crash, or two channels whose names end in the same
//    letter): the samples go to a free name beside it ("NAME.1", ...), and
//    that is logged. New files are always created empty, so no stale bytes
//    of an earlier file can remain behind new data.
//  - A write that fails part-way is cut back to the block boundary, so one
//    lost block never shifts the samples after it.
//  - Before any configuration is set, the test naming uses the channel index
//    in place of station and channel, the default naming "UNKN" as station
//    and 'U' as component; the time part is the block's own second.
//  - Samples beyond the 10000-sample block buffer and failed writes are
//    counted and logged.
//  - makeFourIntOutput reads OUTDIR with room for the 4096 characters the
//    output keeps, so a long folder is never silently cut to another one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "outputs/output_sink.h"

namespace velt::outputs {

class FourIntOutput final : public OutputSink {
public:
    static constexpr int kChannels = 10;
    static constexpr int kBlockCapacity = 10000;
    static constexpr long kDefaultBlocksPerFile = 2592000;  // 30 days of 1-s blocks
    static constexpr std::size_t kPrefixChars = 4096;

    enum class Naming { Gnx, Test };

    FourIntOutput() = default;
    /// @brief Closes every open file.
    ~FourIntOutput() override;

    FourIntOutput(const FourIntOutput&) = delete;
    FourIntOutput& operator=(const FourIntOutput&) = delete;

    /// @brief Sets the OUTDIR prefix (backslashes become '/', cut to 4096).
    void setOutputPrefix(const std::string& prefix);
    /// @brief Sets SECINFILE; values of 0 or less keep the current value.
    void setBlocksPerFile(long blocks);
    /// @brief Applies FILENAMEMEODE: "GNX" or "TEST"; anything else changes nothing.
    void setNamingMode(const std::string& mode);
    Naming naming() const { return naming_; }
    long blocksPerFile() const { return blocksPerFile_; }

    void putSample(int32_t sample) override;
    void setTime(int32_t seconds) override { time_ = seconds; }
    void clearSamples() override;
    /// @brief Appends the block to the selected channel's file, opening a
    /// new file at the first block, after a gap or after a full file.
    void flushChannel() override;
    void setConfiguration(const ConfigurationRecord& record) override { config_ = &record; }
    void selectChannel(int32_t channel) override { channel_ = channel; }
    /// @brief Closes every open file; the next block of a channel opens a new one.
    void closeOutputs() override;

    /// @brief Name (prefix included) of the file a block of `channel` stamped
    /// `blockTime` would open now.
    std::string fileNameFor(int channel, int64_t blockTime) const;

private:
    struct ChannelFile {
        int fd = -1;
        long blocks = 0;
        int64_t size = 0;  // bytes written to the open file
        long dropped = 0;  // blocks dropped since a file last failed to open
        int64_t lastTime = -1;
    };

    void closeChannel(ChannelFile& file);

    std::string prefix_;
    long blocksPerFile_ = kDefaultBlocksPerFile;
    Naming naming_ = Naming::Gnx;

    std::array<int32_t, kBlockCapacity> block_{};
    int blockCount_ = 0;
    uint64_t blockDropped_ = 0;
    int64_t time_ = 0;
    int32_t channel_ = 0;
    const ConfigurationRecord* config_ = nullptr;
    std::array<ChannelFile, kChannels> files_{};
    std::array<uint8_t, kBlockCapacity * 4> bytes_{};
};

/// @brief Creates the 4-int output of an input when key TODO of section
/// OUT4INTFILE in the input's settings file `iniPath` is exactly "YES", then
/// applies OUTDIR, SECINFILE and FILENAMEMEODE from the same section.
/// @return the output (owned by the caller), or null when not enabled.
std::unique_ptr<FourIntOutput> makeFourIntOutput(const std::string& iniPath);

}  // namespace velt::outputs

// The 4-int output: each channel's samples as raw signed 32-bit little-endian
// integers, one file per channel at a time, SECINFILE blocks per file, named
// after the station, the channel and the time of the first sample.
//
// Names (behind the OUTDIR prefix, joined without adding a separator; a
// prefix that names an existing folder without ending in a separator is
// taken as that folder, and that is logged):
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
//  - Blocks are gathered per channel and written in chunks (at most
//    kWriteChunk bytes), and always when a restart position is stored
//    (commit), which happens at least once a second while converting: a
//    file never lags the conversion by more than that. commit() also syncs
//    every file written since the last one, so a stored position never
//    passes samples that a power cut could take.
//  - A write that fails is cut back to the last whole block, so lost blocks
//    never shift the samples after them; the loss is logged.
//  - After a crash or a power cut (resumeFrom), each channel follows its
//    files from the first delivered block on, as long as they hold the next
//    block (their contents decide, never their times of change), skips the
//    blocks they hold and goes on appending to the last of them. A file of
//    its own beyond a gap the cut left (made for the next span while the
//    tail of the one before was lost) is rewritten when the conversion gets
//    there. A restart thus writes every sample once and the files come out
//    as without the crash.
//  - Before any configuration is set, the test naming uses the channel index
//    in place of station and channel, the default naming "UNKN" as station
//    and 'U' as component; the time part is the block's own second.
//  - makeFourIntOutput reads OUTDIR with room for the 4096 characters the
//    output keeps, so a long folder is never silently cut to another one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outputs/block_buffer.h"

#include "conversion/output_sink.h"

namespace velt::outputs {

using conversion::OutputSink;
using recorder::ConfigurationRecord;

class FourIntOutput final : public OutputSink {
public:
    static constexpr int kChannels = 10;
    static constexpr int kBlockCapacity = 10000;
    static constexpr long kDefaultBlocksPerFile = 2592000;  // 30 days of 1-s blocks
    static constexpr std::size_t kPrefixChars = 4096;
    static constexpr std::size_t kWriteChunk = 256 * 1024;  // bytes gathered per channel before a write
    static constexpr std::size_t kMaxUnsyncedClosed = 64;   // closed files awaiting a sync

    enum class Naming { Gnx, Test };

    FourIntOutput() = default;
    /// @brief Closes every open file.
    ~FourIntOutput() override;

    FourIntOutput(const FourIntOutput&) = delete;
    FourIntOutput& operator=(const FourIntOutput&) = delete;

    /// @brief Sets the OUTDIR prefix (backslashes become '/', cut to 4096);
    /// an existing folder named without a trailing separator gets one.
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
    /// @brief Writes what is gathered and syncs every file written since the last commit.
    int commit() override;
    /// @brief Each channel learns at its next block which blocks its last file holds.
    void resumeFrom(int64_t blockTime) override;

    /// @brief Name that starts every message of this output ("INP0 4-int").
    void setLogName(std::string name) { logName_ = std::move(name); }

    /// @brief Name (prefix included) of the file a block of `channel` stamped
    /// `blockTime` would open now.
    std::string fileNameFor(int channel, int64_t blockTime) const;
    Tally tally() const override { return tally_; }

private:
    Tally tally_;
    struct ChannelFile {
        int fd = -1;
        std::string path;
        long blocks = 0;                // blocks in the file, gathered ones included
        int64_t size = 0;               // bytes written to the file
        std::vector<uint8_t> gathered;  // whole blocks not yet written
        long gatheredBlocks = 0;
        bool unsynced = false;  // written since the last commit
        long dropped = 0;       // blocks dropped since a file last failed to open
        int64_t lastTime = -1;
        bool learn = false;  // find the last file at the next block (after a restart)
        ReplayFilter replay;
        std::string resumePath;  // last file found, continued when the replay ends at its end
        std::vector<std::string> replaceable;  // own files beyond a gap a crash left, rewritten when reached
        bool resumable = false;  // it may still grow
        long resumeBlocks = 0;
        int64_t resumeLast = -1;
    };

    void openFile(ChannelFile& file, int channel);
    bool writeGathered(ChannelFile& file, int channel);
    void closeChannel(ChannelFile& file, int channel);
    void learnLastFile(ChannelFile& file, int channel, int samplesPerBlock);
    void continueLastFile(ChannelFile& file, int channel, int samplesPerBlock);
    /// Block time of the first block of file `name` (in the prefix's folder)
    /// when it is a file of `channel` under this output's naming, else -1.
    int64_t blockTimeOfName(const std::string& name, int channel) const;

    std::string logName_ = "4-int";
    std::string prefix_;
    long blocksPerFile_ = kDefaultBlocksPerFile;
    Naming naming_ = Naming::Gnx;

    BlockBuffer<kBlockCapacity> block_;
    int64_t time_ = 0;
    int32_t channel_ = 0;
    const ConfigurationRecord* config_ = nullptr;
    std::array<ChannelFile, kChannels> files_{};
    std::vector<int> closedUnsynced_;  // closed files written since the last commit
};

/// @brief Creates the 4-int output of an input when key TODO of section
/// OUT4INTFILE in the input's settings file `iniPath` is exactly "YES", then
/// applies OUTDIR, SECINFILE and FILENAMEMEODE from the same section.
/// @return the output (owned by the caller), or null when not enabled.
std::unique_ptr<FourIntOutput> makeFourIntOutput(const std::string& iniPath);

}  // namespace velt::outputs

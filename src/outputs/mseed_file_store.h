// The miniSEED file store: gathers each channel's one-second blocks into runs,
// compresses every run into 512-byte Steim-2 records and appends them to one
// work file ("tmpfile" behind the prefix). After a configured number of runs
// the work file is closed and renamed to the next name of a hexadecimal
// sequence ("%8.8lX" behind the prefix), whose counter (key OUTFILENUM of
// section WORK, "%X") lives in the store's configuration file.
//
// Store configuration file:
//   [COMMON] SECINSEEDBUF   blocks (seconds) per run, default 10
//            OUTFILEPREFIX  folder and leading part of every file name
//            SEEDBUFINFILE  runs per output file, default 1
//            NETWORK        network code written into every record (two
//                           characters; empty keeps the two blanks)
//   [WORK]   OUTFILENUM     next output file number, hexadecimal
//            OUTRECORDNUM   records in the numbered files before OUTFILENUM
//                           (decimal): the sequence number of the first
//                           record of file OUTFILENUM
//
// Choices made here:
//  - Block buffer: 1107 samples per block, the largest block the recorder's
//    format allows (sample rates up to 1107/s). Samples beyond it are counted
//    and their loss logged.
//  - SECINSEEDBUF below 1 keeps the default 10 and is limited to 3600, so a
//    run buffer never exceeds one hour of samples; SEEDBUFINFILE below 1
//    counts as 1.
//  - A run keeps the header built from the configuration when its first
//    block arrived (names, rate, delay). A block with a different sample rate
//    ends the run early and starts a new one at the new rate; the run buffer
//    grows (never shrinks) when a rate or block size needs more room.
//  - A finished-file name that already exists: the work file is renamed to
//    the first free name "<name>.1", "<name>.2", ... instead, the event is
//    logged, and the counter still moves past the taken number, so no number
//    is ever used twice. A work file that could not be renamed at all is moved
//    aside the same way ("tmpfile.1", ...) before a new one is created; a new
//    work file is never created over existing data.
//  - closeOutputs() keeps the runs being gathered (data flow may resume);
//    shutdown() writes them first, and the destructor calls shutdown(), so an
//    orderly stop never drops gathered samples.
//  - Write errors are detected and the lost records logged.
//  - Durable without a sync per file: finished files are named by a
//    FinishedFileWriter on a thread of its own, in batches after one sync.
//    With one run per file (the default) a run is a whole file by itself and
//    goes to the writer at once (the empty work file stays open); a work
//    file of several runs is renamed to "tmpfile.NNNNNNNN" (its number
//    reserved) and handed over. commit() syncs the work file, waits until
//    every finished file is durable under its number, and writes
//    OUTFILENUM: a stored restart position never passes records that a
//    power cut could take, and a numbered file is always complete. A
//    "tmpfile.NNNNNNNN" left by a crash is numbered when the store starts,
//    unless a power cut left it empty: then it and every later record are
//    removed (they follow the stored position and are converted again),
//    and one that is also linked under its final name loses its extra name.
//  - Syncs: one syncfs for a batch where the file system keeps its word
//    (local ext2/3/4, xfs, btrfs), a sync per file elsewhere.
//  - Numbers never go backwards: at start the counter moves past the
//    highest numbered file present (OUTFILENUM is only written at commits,
//    and a crash can leave it behind the files).
//  - After a crash (resumeFrom), each channel reads its records in the work
//    file and the numbered files back to the first delivered block, follows
//    them from there for as long as they hold the next sample, and skips the
//    delivered blocks they hold; runs then start where the records end, so
//    the files come out as they would have without the crash.
//  - Record sequence numbers for the real-time server: every record of a
//    numbered file has one, counted across the files (OUTRECORDNUM). The
//    count is written with OUTFILENUM in one settings write at a commit, and
//    only files durable under their numbers are counted, so a number is never
//    given to a record that a restart could make differently. A commit
//    listener learns the new horizon (next file, next sequence number).
//  - makeMseedFileStore reads CONFFILE with room for the 500 characters the
//    store keeps, so a long path is never silently cut to another file.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "outputs/block_buffer.h"
#include "outputs/finished_file_writer.h"
#include "outputs/mseed_header.h"
#include "conversion/output_sink.h"
#include "outputs/steim_compressor.h"

namespace velt::outputs {

using conversion::OutputSink;
using recorder::ConfigurationRecord;

class MseedFileStore final : public OutputSink {
public:
    static constexpr int kChannels = 12;
    static constexpr int kBlockCapacity = 1107;
    static constexpr long kDefaultSecondsPerRun = 10;
    static constexpr long kMaxSecondsPerRun = 3600;
    static constexpr std::size_t kConfPathChars = 500;

    /// @brief Reads the store configuration file at `confPath` (backslashes
    /// count as separators in it and in OUTFILEPREFIX). Opens nothing yet.
    explicit MseedFileStore(const std::string& confPath, std::string logName = "miniSEED");
    /// @brief Calls shutdown(): gathered runs are written, the work file numbered.
    ~MseedFileStore() override;

    MseedFileStore(const MseedFileStore&) = delete;
    MseedFileStore& operator=(const MseedFileStore&) = delete;

    void putSample(int32_t sample) override;
    void setTime(int32_t seconds) override { time_ = seconds; }
    void clearSamples() override;
    /// @brief Adds the buffered block to the selected channel's run; writes
    /// the run when full, at a gap or at a sample-rate change.
    void flushChannel() override;
    void setConfiguration(const ConfigurationRecord& record) override { config_ = &record; }
    void selectChannel(int32_t channel) override { channel_ = channel; }
    /// @brief Closes the work file and gives it the next number; runs being
    /// gathered stay gathered.
    void closeOutputs() override;

    /// @brief Start of the oldest run still being gathered.
    int64_t oldestPendingTime() const override;
    /// @brief Syncs the work file and the finished files, gives the finished
    /// files their numbers and writes OUTFILENUM.
    int commit() override;
    /// @brief Each channel learns at its next block which blocks the files hold.
    void resumeFrom(int64_t blockTime) override;


    /// @brief Orderly stop: writes every run still being gathered, then does
    /// closeOutputs(). The store stays usable; calling it twice is harmless.
    void shutdown();

    /// @brief Called on the converting thread after each commit that moved
    /// the durable horizon: files below `endFile` are durable under their
    /// numbers and the record after them has sequence number `endSequence`.
    using CommitListener = std::function<void(uint32_t endFile, uint64_t endSequence)>;
    void setCommitListener(CommitListener listener) { listener_ = std::move(listener); }
    /// @brief The durable horizon as of the last commit (or as stored).
    uint32_t committedFiles() const { return committedFile_; }
    uint64_t committedSequence() const { return recordNumber_; }
    /// @brief The folder and leading part of every file name.
    const std::string& filePrefix() const { return prefix_; }
    /// @brief NETWORK as configured (empty: none).
    const std::string& network() const { return network_; }

    Tally tally() const override { return tally_; }
    /// @brief Number the next finished file will get.
    uint32_t nextFileNumber() const { return fileNumber_; }
    const std::string& workFilePath() const { return workPath_; }
    /// @brief Path of the finished file numbered `number`.
    std::string finishedFilePath(uint32_t number) const;

private:
    Tally tally_;
    struct Run {
        std::vector<int32_t> samples;  // capacity in size(); empty until first use
        std::size_t count = 0;
        int64_t start = -1;
        int blocks = 0;
        uint32_t rate = 0;
        uint32_t counter = 0;
        MseedHeader header;
        bool learn = false;  // find the channel's newest record at its next block
        ReplayFilter replay;
    };
    void writeRun(int channel);
    /// The header of a run's first record, with the configured network code.
    MseedHeader runHeader(int channel, int64_t start, uint32_t counter) const;
    void appendRecords(const uint8_t* records, int count);
    /// Closes the work file (or takes one a crash left) and reserves its number.
    void finishWorkFile();
    void openWorkFile();
    void saveFileNumber();
    /// Counts the records of the files a commit made durable.
    void countCommittedRecords();
    std::string pendingPath(uint32_t number) const;
    /// Moves the counter past the numbered files present and numbers the
    /// finished files a crash left behind.
    void takeOverFiles();
    /// A record of one channel: the microseconds it covers and its sequence number.
    struct HeldRecord {
        int64_t start = 0;
        int64_t end = 0;
        int rate = 1;
        uint32_t sequence = 0;
    };
    void learnChannel(int channel);
    /// Adds the records of `identity` in `path` to `held` and raises
    /// `newestEnd` to the end of the newest record of any channel there.
    /// @return false when the file holds no record.
    bool recordsIn(const std::string& path, const uint8_t* identity, std::vector<HeldRecord>& held,
                   int64_t& newestEnd) const;

    std::string logName_ = "miniSEED";
    std::string confPath_;
    std::string prefix_;
    std::string folder_;  // the prefix's folder, with its separator ("" = working directory)
    std::string workPath_;
    long secondsPerRun_ = kDefaultSecondsPerRun;
    long runsPerFile_ = 1;
    uint32_t fileNumber_ = 0;

    BlockBuffer<kBlockCapacity> block_;
    int64_t time_ = 0;
    int32_t channel_ = 0;
    const ConfigurationRecord* config_ = nullptr;

    std::array<Run, kChannels> runs_{};
    SteimCompressor compressor_;
    std::vector<uint8_t> recordBuffer_;

    int workFd_ = -1;
    int64_t workSize_ = 0;  // bytes of whole records in the open work file
    bool workUnsynced_ = false;
    long runsWritten_ = 0;
    std::unique_ptr<FinishedFileWriter> writer_;
    bool counterUnsaved_ = false;
    std::string network_;
    uint32_t committedFile_ = 0;  // files below are durable and counted
    uint64_t recordNumber_ = 0;   // sequence number of the first record of committedFile_
    CommitListener listener_;
};

/// @brief True for a NETWORK value the records can carry: empty, or one or
/// two letters or digits.
bool validNetworkCode(const std::string& code);

/// @brief Creates the miniSEED store of an input when key CONFFILE of section
/// OUTMSEEDFS in the input's settings file `iniPath` is not empty.
/// @return the store (owned by the caller), or null when CONFFILE is empty.
/// `logName` starts every message of the store ("INP0 miniSEED").
std::unique_ptr<MseedFileStore> makeMseedFileStore(const std::string& iniPath, const std::string& logName = "miniSEED");

}  // namespace velt::outputs

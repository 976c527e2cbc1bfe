// Turns one input's byte stream into decoded blocks. Three states:
//   BLOCKLENREQ  learn the block length: 11 blocks of equal length in a row;
//   CONFIG       re-read that run until the configuration is verified and the
//                time base has settled;
//   DATAOPER     re-read the run once more with data on: every block goes to
//                the outputs.
// Whenever the stream breaks it falls back to BLOCKLENREQ at the last good
// block boundary. Every transition writes a numbered log line through the
// status monitor; the texts and numbers are part of the interface.
//
// The waiting flag is reported when it changes, not at every byte: every
// reader of it keeps only the latest value.
//
// Restart positions never pass unwritten data: outputs gather blocks in
// memory (QRX4.0 up to MAXBLOCK blocks, miniSEED a run) before they write
// them. Every position the converter stores is therefore held back to the
// start of the oldest block that an output still holds unwritten; the
// converter remembers where each delivered block started for that. After a
// crash the restart converts those blocks again: nothing is lost, and outputs
// that had already written some of them get them twice (in files of their
// own, unless they skip what they hold, see below). After an orderly stop,
// when every output has written everything, the exact position is stored.
//
// Exactly once after a crash: before a position is stored (the reader asks
// through PositionGuard) every output commits, so whatever lies before the
// stored position is durable. The position is stored with the time of the
// block that starts there; when the first block delivered after a restart
// has that time, the outputs are told (resumeFrom) that blocks they may
// already hold follow, and they skip those.
//
// After a length change (log lines 10 and 12) the delimiter detector starts
// afresh at the last good boundary, so the re-read block begins a new run.
// Otherwise a lasting change (a recorder restarted at another rate) would
// count as a repeat of the odd block, the new run would be taken to start
// where the old one did, and the converter would go back there for ever.
//
// A break while converting costs only the blocks it damaged: a piece of
// another length (a byte lost or added, a file missing) or a block with a
// wrong checksum makes the converter look at the following pieces (log line
// 15). The first whole block that continues what was verified (the known
// length and checksum, a block number above the last one, the same restart
// and configuration numbers) is delivered with a time from the settled base
// (log line 16), so a break near the end of a stream loses nothing after
// it. When no such block comes within kResyncPieces pieces (a recorder
// restarted at another rate, say), the converter goes back to the last good
// boundary and learns the stream afresh (log line 10), as it always did;
// the outputs stay open. Blocks rejected for a new restart or configuration
// number, or a lost time base, close the outputs and start afresh (line 11).
//
// Card archives (setCardMode): the source tells which bytes may reach the
// outputs (InputSource::deliverable); a block is written when its first or
// last byte may, others are only learned from. The outputs are told at the
// first block written that the blocks may be in their files already, so a
// second conversion of the same card adds nothing.
//
// counts() says how many blocks went to the outputs, how many were damaged
// (rejected between good blocks), and how many were read beyond the last
// block delivered without being placed (a stream that ended while a break
// was being learned from, or while it was still being learned).
#pragma once

#include <array>
#include <cstdint>
#include <deque>

#include "conversion/input_source.h"
#include "conversion/output_sink.h"
#include "platform/clock.h"
#include "conversion/block_decoder.h"
#include "recorder/delimiter_detector.h"
#include "recorder/status_monitor.h"

namespace velt::conversion {

class StreamConverter final : public PositionGuard {
public:
    enum State : int { BLOCKLENREQ = 1, CONFIG = 2, DATAOPER = 4 };

    static constexpr int kRepeatThreshold = 10;
    static constexpr long kNoDelimiterLimit = 100000;
    static constexpr int kWaitPeriod = 20;
    static constexpr int kPositionDisplayEvery = 1000;
    // Learning the block length and a verified configuration takes about a
    // hundred blocks; after a restart the converter learns from this much of
    // the stream before the stored position.
    static constexpr long kLookBackBytes = 400000;
    // After a break: pieces looked at for a block that continues, and the
    // largest jump of block numbers taken as continuing (a week of blocks).
    static constexpr int kResyncPieces = 12;
    static constexpr uint32_t kMaxBlockJump = 7 * 86400;

    /// What the converter did with the blocks of its stream so far.
    struct Counts {
        uint64_t delivered = 0;  // blocks handed to the outputs
        uint64_t damaged = 0;    // pieces rejected between two good blocks
        uint64_t notPlaced = 0;  // blocks read past the last one delivered, not delivered
    };

    /// @brief Converts the bytes of `reader` (not owned), `stepsPerPass` per pass.
    StreamConverter(InputSource& reader, int stepsPerPass,
                    const platform::Clock& clock = platform::systemClock());
    ~StreamConverter() override;
    StreamConverter(const StreamConverter&) = delete;
    StreamConverter& operator=(const StreamConverter&) = delete;

    /// @brief Sets the input index, monitor and outputs (neither owned) here and in the decoder.
    void attach(int input, recorder::StatusMonitor* monitor, OutputSink* sinks);
    /// @brief WAIT setting of the input: idle 20 s when there is no data
    /// (less when lookNow() is called).
    void setWaitAllowed(bool allowed) { waitAllowed_ = allowed; }
    /// @brief Card archives: block numbers may jump between files, only
    /// deliverable bytes reach the outputs, and the outputs skip what they
    /// already hold (see the header).
    void setCardMode();
    /// @brief Blocks delivered, damaged and not placed so far.
    Counts counts() const;

    /// @brief Handles up to stepsPerPass bytes: so many steps, except that
    /// while reading blocks (CONFIG, DATAOPER) the buffered bytes up to the
    /// next delimiter go to the detector and the decoder in one piece.
    void runPass();
    /// @brief Handles one byte (or notes that none is available).
    void step();
    /// @brief True while the input idles waiting for data.
    bool isWaiting() const { return waiting_; }
    /// @brief New data may have come: a waiting input looks at its reader
    /// again at the next step instead of after the wait period.
    void lookNow() { waitStart_ = clock_.now() - waitPeriod_; }
    /// @brief Commits the outputs and holds `position` back to the oldest
    /// block an output keeps in memory.
    bool prepareToStore(StreamPosition& position, int64_t& blockTime) override;
    /// @brief True when the last look at the reader found no byte (with or without WAIT).
    bool starved() const { return starved_; }

    /// @brief The current state (for status displays and tests).
    State state() const { return state_; }
    /// @brief The input's block decoder (owned by the converter).
    BlockDecoder& decoder() { return decoder_; }

private:
    /// Handles up to `most` (>= 1) bytes. @return the bytes handled, 1 when none.
    int advance(int most);
    void blockLengthRequest();
    /// At a delimiter found in state CONFIG / DATAOPER.
    void configHandler();
    void dataHandler();
    void resetCounters();
    void fullReset();
    void log(const char* format, long file = 0, long offset = 0);
    void showPersisted();
    bool position(StreamPosition& p) { return reader_.getPosition(p) == 0; }
    /// Asks the reader to persist `p` (it is held back when stored).
    void persist(const StreamPosition& p);
    void forgetWrittenBlocks();
    static bool before(const StreamPosition& a, const StreamPosition& b) {
        return a.file < b.file || (a.file == b.file && a.offset < b.offset);
    }
    void rememberDataBlock(int64_t time, const StreamPosition& start);
    /// Card mode: lets the block just read reach the outputs or not.
    void gateData();
    void startResync();
    void resyncHandler(int repeats, int length);
    /// The tail of every block accepted in DATAOPER, ending at `end`.
    void blockAccepted(const StreamPosition& end);
    /// Notes a delimiter at `p`; the pieces up to a block delivered at `p` are settled.
    void noteDelimiter(const StreamPosition& p);
    void settleUpTo(const StreamPosition& p);

    // Where delivered blocks started, oldest first, while an output may still
    // hold them unwritten. With more than kRememberedBlocks pending the oldest
    // are forgotten (a MAXBLOCK that large could then lose blocks in a crash).
    static constexpr int kRememberedBlocks = 8192;
    struct DataBlock {
        int64_t time;
        StreamPosition start;
    };

    InputSource& reader_;
    const platform::Clock& clock_;
    OutputSink* sinks_ = nullptr;
    std::array<DataBlock, kRememberedBlocks> remembered_{};
    int rememberedFirst_ = 0;
    int rememberedCount_ = 0;
    StreamPosition dataBlockStart_;
    recorder::DelimiterDetector detector_;
    BlockDecoder decoder_;
    recorder::StatusMonitor* monitor_ = nullptr;
    int input_ = 0;
    int stepsPerPass_;

    State state_ = BLOCKLENREQ;
    // A restart at a block of known time: learning starts before it, data
    // from it (resumeAt_); nothing before it is stored as a position.
    bool lookBackPending_ = false;
    bool resuming_ = false;
    StreamPosition resumeAt_;
    StreamPosition startPos_;
    StreamPosition lastGoodPos_;
    bool lastGoodValid_ = false;
    StreamPosition delimPos_;
    bool delimValid_ = false;
    StreamPosition checkPos_;
    bool checkValid_ = false;
    StreamPosition shownPos_;
    int lastRepeats_ = 0;
    long noDelimiterCount_ = 0;
    uint64_t byteCount_ = 0;
    int displayCounter_ = 0;

    // Card mode.
    bool gated_ = false;
    bool blockStartPending_ = false;
    bool firstDeliverable_ = true;
    // After a break in DATAOPER: looking for a block that continues.
    bool resync_ = false;
    int resyncPieces_ = 0;
    uint64_t resyncRejected_ = 0;
    StreamPosition resyncFrom_;
    // Deliverable pieces read past the last block delivered (their ends).
    std::deque<StreamPosition> unsettled_;
    StreamPosition frontier_;
    Counts counts_;

    bool waitAllowed_ = true;
    bool waiting_ = false;
    bool starved_ = false;
    int reportedWaiting_ = -1;  // last setWaiting value sent; reports go out on change only
    int64_t waitStart_ = 0;
    int waitPeriod_ = kWaitPeriod;
};

}  // namespace velt::conversion

#include "conversion/stream_converter.h"

#include <algorithm>
#include <cstdio>

#include "platform/log.h"

namespace velt::conversion {

StreamConverter::StreamConverter(InputSource& reader, int stepsPerPass, const platform::Clock& clock)
    : reader_(reader), clock_(clock), decoder_(clock), stepsPerPass_(stepsPerPass) {
    detector_.reset();
    position(startPos_);
    fullReset();
    reader_.setPositionGuard(this);
    // Without a stored block time (nothing stored yet, or a power cut took
    // the first store) the outputs still learn what they hold at the first
    // block: a crash before the first store must not double those blocks.
    const int64_t stored = reader_.storedBlockTime();
    decoder_.setReplayStart(stored != -1 ? stored : BlockDecoder::kReplayAtFirstBlock);
    lookBackPending_ = reader_.storedBlockTime() != -1;
}

StreamConverter::~StreamConverter() { reader_.setPositionGuard(nullptr); }

void StreamConverter::attach(int input, recorder::StatusMonitor* monitor, OutputSink* sinks) {
    input_ = input;
    monitor_ = monitor;
    sinks_ = sinks;
    decoder_.attach(input, monitor, sinks);
}

void StreamConverter::setCardMode() {
    gated_ = true;
    waitAllowed_ = false;
    decoder_.setCardMode(true);
    decoder_.setReplayStart(BlockDecoder::kReplayAtFirstBlock);
}

StreamConverter::Counts StreamConverter::counts() const {
    Counts c = counts_;
    c.notPlaced += unsettled_.size();
    return c;
}

void StreamConverter::noteDelimiter(const StreamPosition& p) {
    // Pieces are counted once, where they are first read: re-reads while
    // learning go over pieces already noted.
    if (frontier_.file != -1 && !before(frontier_, p)) return;
    frontier_ = p;
    if (!reader_.deliverable()) return;
    constexpr std::size_t kMostNoted = 100000;
    if (unsettled_.size() >= kMostNoted) {
        unsettled_.pop_front();
        ++counts_.notPlaced;
    }
    unsettled_.push_back(p);
}

void StreamConverter::settleUpTo(const StreamPosition& p) {
    while (!unsettled_.empty() && !before(p, unsettled_.front())) unsettled_.pop_front();
}

void StreamConverter::runPass() {
    // An input without data ends its pass at once: its other steps would
    // only look for data again.
    for (int done = 0; done < stepsPerPass_;) {
        done += advance(stepsPerPass_ - done);
        if (starved_ || waiting_) break;
    }
}

void StreamConverter::step() { advance(1); }

int StreamConverter::advance(int most) {
    if (waiting_ && clock_.now() < waitStart_ + waitPeriod_) return 1;
    starved_ = !reader_.hasBuffered() && reader_.available() <= 0;
    if (starved_) {
        if (waitAllowed_) {
            waiting_ = true;
            waitStart_ = clock_.now();
            if (monitor_ && reportedWaiting_ != 1) monitor_->setWaiting(input_, 1);
            reportedWaiting_ = 1;
        }
        return 1;
    }
    if (reportedWaiting_ != 0) {
        if (monitor_) monitor_->setWaiting(input_, 0);
        reportedWaiting_ = 0;
    }
    if (++displayCounter_ > kPositionDisplayEvery) {
        displayCounter_ = 0;
        StreamPosition p;
        if (monitor_ && position(p)) monitor_->setPosition(input_, p.file, p.offset);
    }
    waiting_ = false;
    if (lookBackPending_) {
        // Blocks the last run held unwritten start at the stored position,
        // and the stream may end soon after it (a recorder that stopped):
        // learn from the blocks before it, which every output already holds.
        lookBackPending_ = false;
        if (position(resumeAt_)) {
            resuming_ = true;
            reader_.seek(reader_.positionBefore(resumeAt_, kLookBackBytes));
            return 1;
        }
    }
    if (blockStartPending_ && state_ == DATAOPER) {
        // Card mode: whether the first byte of a block may reach the outputs.
        blockStartPending_ = false;
        firstDeliverable_ = reader_.deliverable();
    }
    if (byteCount_ == 0) {
        // The first byte since a reset: the reader may only now have found its
        // first file (an input started before any existed), so positions taken
        // earlier can name a file that will never come.
        delimValid_ = position(delimPos_);
        startPos_ = delimPos_;
    }
    if (state_ != BLOCKLENREQ && reader_.hasBuffered()) {
        // The bytes of a block only go to the detector and the decoder: take
        // the buffered ones up to the next delimiter in one piece.
        const uint8_t* bytes = reader_.buffered();
        const std::size_t n = detector_.pushUntilDelimiter(bytes, std::min(reader_.bufferedCount(), std::size_t(most)));
        decoder_.pushBytes(bytes, n);
        reader_.consumeBuffered(n);
        byteCount_ += n;
        displayCounter_ += int(n) - 1;
        if (detector_.check()) state_ == CONFIG ? configHandler() : dataHandler();
        return int(n);
    }
    const uint8_t b = reader_.hasBuffered() ? reader_.takeBuffered() : reader_.readByte();
    ++byteCount_;
    detector_.push(b);
    switch (state_) {
        case BLOCKLENREQ: blockLengthRequest(); break;
        case CONFIG: decoder_.pushByte(b); if (detector_.check()) configHandler(); break;
        case DATAOPER: decoder_.pushByte(b); if (detector_.check()) dataHandler(); break;
    }
    return 1;
}

void StreamConverter::blockLengthRequest() {
    if (!detector_.check()) {
        if (++noDelimiterCount_ > kNoDelimiterLimit) {
            if (checkValid_) {
                persist(checkPos_);
                showPersisted();
                log("41 BLOCKLENREQ ERR %ld %ld", delimPos_.file, delimPos_.offset);
            }
            noDelimiterCount_ = 0;
            checkValid_ = position(checkPos_);
        }
        return;
    }
    const int r = detector_.repeats();
    if (r == 0) {
        if (delimValid_) startPos_ = delimPos_;
        delimValid_ = false;
    }
    delimValid_ = position(delimPos_);
    if (delimValid_) noteDelimiter(delimPos_);
    if (r >= kRepeatThreshold) {
        log("14 BLOCKLENREQ -> CONFIGREQ %ld %ld", delimPos_.file, delimPos_.offset);
        state_ = CONFIG;
        if (reader_.canRewind()) {
            reader_.seek(startPos_);
            decoder_.reset();
            lastRepeats_ = r;
        }
        lastGoodPos_ = startPos_;
        lastGoodValid_ = true;
    }
}

void StreamConverter::configHandler() {
    const int r = detector_.repeats();
    const int length = detector_.length();
    StreamPosition end;
    if (position(end)) noteDelimiter(end);
    if (r != lastRepeats_ + 1) {
        reader_.seek(lastGoodPos_);
        detector_.reset();  // the re-read block starts a new run (see the header)
        persist(lastGoodPos_);
        log("12 CONFIG -> BLOCKLENREQ %ld %ld", lastGoodPos_.file, lastGoodPos_.offset);
        state_ = BLOCKLENREQ;
        resetCounters();
        showPersisted();
    }
    lastRepeats_ = r;
    lastGoodValid_ = position(lastGoodPos_);
    if (decoder_.endOfBlock(length) != BlockDecoder::kAccepted) {
        StreamPosition p;
        position(p);
        persist(p);
        startPos_ = p;
        log("30 CONFIG -> BLOCKLENREQ %ld %ld", p.file, p.offset);
        state_ = BLOCKLENREQ;
        resetCounters();
        showPersisted();
    }
    if (decoder_.agreeCount() > 5) decoder_.setTimeSettled();
    if (decoder_.timeSettled() && decoder_.configVerified()) {
        state_ = DATAOPER;
        StreamPosition p;
        position(p);
        log("13 CONFIG -> DATAOPER %ld %ld", p.file, p.offset);
        decoder_.rewindBlocks();
        decoder_.startData();
        decoder_.forgetTimeMark();
        // After a restart data go on at the stored position; the blocks
        // before it were read only to learn from.
        StreamPosition from = startPos_;
        if (resuming_ && before(startPos_, resumeAt_)) from = resumeAt_;
        resuming_ = false;
        reader_.seek(from);
        dataBlockStart_ = from;
        blockStartPending_ = true;
    }
}

void StreamConverter::dataHandler() {
    const int r = detector_.repeats();
    const int length = detector_.length();
    StreamPosition end;
    if (position(end)) noteDelimiter(end);
    if (gated_) {
        gateData();
        VELT_LOG_DEBUG("card stream", "bl: %d  %d", length, r);
    }
    blockStartPending_ = true;
    if (resync_) {
        resyncHandler(r, length);
        return;
    }
    if (r != lastRepeats_ + 1) {
        // A piece of another length: the blocks after it may still continue.
        resyncFrom_ = lastGoodPos_;
        startResync();
        resyncHandler(r, length);
        return;
    }
    lastRepeats_ = r;
    lastGoodValid_ = position(lastGoodPos_);
    const int d = decoder_.endOfBlock(length);
    if (d == BlockDecoder::kRejectedBlock) {
        // A wrong checksum or a block number out of line: the block itself
        // may still continue (numbers that jump ahead after a lost piece),
        // else the next whole one that does goes on.
        resyncFrom_ = lastGoodPos_;
        startResync();
        resyncHandler(r, length);
        return;
    }
    if (d != BlockDecoder::kAccepted) {
        log("11 DALACOL -> BLOCKLENREQ (olddata)");
        state_ = BLOCKLENREQ;
        decoder_.stopData();
        fullReset();
        resetCounters();
        return;
    }
    blockAccepted(end);
}

void StreamConverter::startResync() {
    resync_ = true;
    resyncPieces_ = 0;
    resyncRejected_ = 0;
    log("15 DALACOL -> RESYNC %ld %ld", resyncFrom_.file, resyncFrom_.offset);
}

void StreamConverter::resyncHandler(int repeats, int) {
    if (decoder_.endOfBlockAfterGap(kMaxBlockJump) == BlockDecoder::kAccepted) {
        resync_ = false;
        counts_.damaged += resyncRejected_;
        lastRepeats_ = repeats;
        lastGoodValid_ = position(lastGoodPos_);
        log("16 RESYNC -> DALACOL %ld %ld", lastGoodPos_.file, lastGoodPos_.offset);
        // The block counts as starting where the last good one ended, so a
        // position held back for it lies before the break: a restart reads
        // the break again rather than pass it.
        blockAccepted(lastGoodPos_);
        return;
    }
    ++resyncRejected_;
    if (++resyncPieces_ < kResyncPieces) return;
    // Nothing continues what was verified: the stream changed (a recorder
    // restarted at another rate, say). Learn it afresh from the break.
    resync_ = false;
    reader_.seek(resyncFrom_);
    detector_.reset();
    log("10 DALACOL -> BLOCKLENREQ %ld %ld", resyncFrom_.file, resyncFrom_.offset);
    state_ = BLOCKLENREQ;
    resetCounters();
}

void StreamConverter::blockAccepted(const StreamPosition& end) {
    if (decoder_.dataOn()) ++counts_.delivered;
    settleUpTo(end);
    position(shownPos_);
    rememberDataBlock(decoder_.lastDataTime(), dataBlockStart_);
    dataBlockStart_ = shownPos_;
    if (shownPos_.file != -1 && shownPos_.offset != -1) {
        persist(shownPos_);
        showPersisted();
    }
}

void StreamConverter::gateData() {
    const bool deliver = firstDeliverable_ || reader_.deliverable();
    if (deliver && !decoder_.dataOn()) decoder_.startData();
    else if (!deliver && decoder_.dataOn()) decoder_.stopData();
}

void StreamConverter::rememberDataBlock(int64_t time, const StreamPosition& start) {
    // A block that does not follow the last one in time (a gap, a jump back to
    // the fallback time base) has made every output write all it held before
    // it: only blocks from this one on can still be pending.
    if (rememberedCount_ > 0) {
        const int last = (rememberedFirst_ + rememberedCount_ - 1) % kRememberedBlocks;
        if (time != remembered_[std::size_t(last)].time + 1) rememberedCount_ = 0;
    }
    if (rememberedCount_ == kRememberedBlocks) {
        rememberedFirst_ = (rememberedFirst_ + 1) % kRememberedBlocks;
        --rememberedCount_;
    }
    remembered_[std::size_t((rememberedFirst_ + rememberedCount_) % kRememberedBlocks)] = {time, start};
    ++rememberedCount_;
}

void StreamConverter::forgetWrittenBlocks() {
    const int64_t oldest = sinks_ ? sinks_->oldestPendingTime() : OutputSink::kNothingPending;
    while (rememberedCount_ > 0 && remembered_[std::size_t(rememberedFirst_)].time < oldest) {
        rememberedFirst_ = (rememberedFirst_ + 1) % kRememberedBlocks;
        --rememberedCount_;
    }
}

void StreamConverter::persist(const StreamPosition& p) {
    if (resuming_ && before(p, resumeAt_)) return;  // the stored position stays
    forgetWrittenBlocks();
    reader_.persist(p);
}

bool StreamConverter::prepareToStore(StreamPosition& position, int64_t& blockTime) {
    if (sinks_ && sinks_->commit() != 0) return false;
    forgetWrittenBlocks();
    blockTime = -1;
    if (rememberedCount_ > 0) {
        const DataBlock& oldest = remembered_[std::size_t(rememberedFirst_)];
        const StreamPosition& start = oldest.start;
        if (start.file < position.file || (start.file == position.file && start.offset < position.offset)) {
            position = start;
            blockTime = oldest.time;
            return true;
        }
    }
    // The usual request: the end of the last block delivered, where the
    // next one, one second later, starts.
    if (state_ == DATAOPER && position == dataBlockStart_ && decoder_.lastDataTime() != BlockDecoder::kNoTime)
        blockTime = decoder_.lastDataTime() + 1;
    return true;
}

void StreamConverter::resetCounters() {
    checkValid_ = false;
    noDelimiterCount_ = 0;
    delimValid_ = position(delimPos_);
}

void StreamConverter::fullReset() {
    resync_ = false;
    detector_.reset();
    decoder_.reset();
    state_ = BLOCKLENREQ;
    resetCounters();
    shownPos_ = StreamPosition{};
    byteCount_ = 0;
    waiting_ = false;
    waitStart_ = 0;
    waitPeriod_ = kWaitPeriod;
}

void StreamConverter::log(const char* format, long file, long offset) {
    if (!monitor_) return;
    char text[100];
    std::snprintf(text, sizeof text, format, file, offset);
    monitor_->logLine(input_, text);
}

void StreamConverter::showPersisted() {
    if (!monitor_) return;
    monitor_->setInputFile(input_, shownPos_.file);
    monitor_->setOffset(input_, shownPos_.offset);
}

}  // namespace velt::conversion

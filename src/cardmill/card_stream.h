// One device's card-archive files read as one byte stream, in file-number
// order, and turned into blocks for the outputs.
//
// The reader looks for each number first among the files of the data-in
// directory, then in the archive directory, and reads one number below and
// one above the device's range when the archive holds them: their blocks
// settle the time base and the configuration (and finish a block cut at a
// file's end) but are not written. The converter follows the real-time
// converter's three states without its position store: a card stream has a
// definite end and is converted from its beginning every time.
//
// Decisions taken here:
//  - A number without a usable file is skipped; when no later number has
//    one, the stream ends at once instead of trying again later (a card has
//    no late arrivals to wait for).
//  - After going back to the last good block boundary the delimiter
//    detector starts a new run, as the real-time converter's does: the
//    re-read block would otherwise be measured from the wrong delimiter.
#pragma once

#include <array>
#include <cstdint>

#include "cardmill/card_directory.h"
#include "conversion/input_source.h"
#include "conversion/output_sink.h"
#include "conversion/block_decoder.h"
#include "recorder/card_file_header.h"
#include "recorder/delimiter_detector.h"

namespace velt::cardmill {

using conversion::StreamPosition;

class CardStreamReader final : public conversion::InputSource {
public:
    static constexpr std::size_t kBufferBytes = 5000;

    /// @brief Reads `device`'s files numbered one below `firstFile` (not below
    /// 0) to one above `lastFile`; the directories are not owned.
    CardStreamReader(const CardDirectory& dataIn, const CardDirectory& archive, uint32_t device, uint32_t firstFile,
                     uint32_t lastFile);

    int open() override;
    int close() override;
    int available() override;
    uint8_t readByte() override;
    uint8_t peekByte() override;
    /// @brief (file number, data offset) of the next byte.
    int getPosition(StreamPosition& position) override;
    int seek(const StreamPosition& position) override;
    int persist(const StreamPosition&) override { return 0; }  // nothing is stored
    int canRewind() override { return 1; }
    /// @brief True when the open file came from the data-in directory.
    bool fromDataIn() const { return fromDataIn_; }
    /// @brief File number being read.
    int64_t current() const { return current_; }

private:
    bool openNext();
    bool refill();
    bool tryNumber(int64_t number);

    const CardDirectory& dataIn_;
    const CardDirectory& archive_;
    uint32_t device_;
    int64_t first_, last_, current_;
    bool ended_ = false;  // no further file can be opened
    bool isOpen_ = false;
    bool fromDataIn_ = false;
    recorder::CardFile file_;
    int64_t dataLength_ = 0;
    int64_t offset_ = 0;  // data offset of buffer_[0]
    std::array<uint8_t, kBufferBytes> buffer_{};
};

class CardStreamConverter final {
public:
    static constexpr int kRepeatThreshold = 10;

    /// @brief Converts what `reader` (not owned) delivers, `stepsPerPass` bytes a pass.
    explicit CardStreamConverter(CardStreamReader& reader, int stepsPerPass = 10);

    /// @brief Where decoded blocks go (not owned; null: nowhere).
    void attach(conversion::OutputSink* sinks) { decoder_.attach(0, nullptr, sinks); }
    void runPass();
    void step();
    /// @brief The reader had no byte left.
    bool inputExhausted() const { return exhausted_; }
    const conversion::BlockDecoder& decoder() const { return decoder_; }

private:
    enum State { kBlockLength = 1, kConfiguration = 2, kData = 4 };
    void blockLength();
    void configuration();
    void data();
    void fullReset();
    bool position(StreamPosition& p) { return reader_.getPosition(p) == 0; }
    void backToLastGood();

    CardStreamReader& reader_;
    recorder::DelimiterDetector detector_;
    conversion::BlockDecoder decoder_;
    int stepsPerPass_;
    State state_ = kBlockLength;
    StreamPosition startPos_, lastGoodPos_, delimPos_, shownPos_;
    bool lastGoodValid_ = false, delimValid_ = false;
    int lastRepeats_ = 0;
    bool exhausted_ = false;
    bool blockStartPending_ = false, firstFromDataIn_ = false, latestFromDataIn_ = false;
};

}  // namespace velt::cardmill

// One device's card-archive files read as one byte stream, in file-number
// order, and turned into blocks for the outputs.
//
// The reader looks for each number first among the files of the data-in
// directory, then in the archive directory, and reads one number below and
// one above the device's range when the archive holds them: their blocks
// settle the time base and the configuration (and finish a block cut at a
// file's end) but are not written: deliverable() tells the converter (the
// shared StreamConverter in card mode) which bytes may reach the outputs.
//
// Decisions taken here:
//  - A number without a usable file is skipped; when no later number has
//    one, the stream ends at once instead of trying again later (a card has
//    no late arrivals to wait for).
#pragma once

#include <array>
#include <cstdint>

#include "cardmill/card_directory.h"
#include "conversion/input_source.h"
#include "recorder/card_file_header.h"

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
    bool deliverable() const override { return fromDataIn_; }
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

}  // namespace velt::cardmill

#include "cardmill/card_stream.h"

#include <algorithm>

#include "platform/log.h"

namespace velt::cardmill {

CardStreamReader::CardStreamReader(const CardDirectory& dataIn, const CardDirectory& archive, uint32_t device,
                                   uint32_t firstFile, uint32_t lastFile)
    : dataIn_(dataIn),
      archive_(archive),
      device_(device),
      first_(firstFile == 0 ? 0 : int64_t(firstFile) - 1),
      last_(int64_t(lastFile) + 1),
      current_(first_) {}

int CardStreamReader::open() {
    openNext();
    return 0;
}

int CardStreamReader::close() {
    file_.close();
    isOpen_ = false;
    next_ = end_ = nullptr;
    return 0;
}

bool CardStreamReader::tryNumber(int64_t number) {
    for (const CardDirectory* dir : {&dataIn_, &archive_}) {
        const CardEntry* entry = dir->find(device_, uint32_t(number));
        if (entry == nullptr) continue;
        if (file_.open(dir->pathOf(*entry)) == 0 && file_.quickCheck(device_) == 0) {
            isOpen_ = true;
            fromDataIn_ = dir == &dataIn_;
            dataLength_ = file_.dataLength();
            offset_ = 0;
            next_ = end_ = buffer_.data();
            return true;
        }
        file_.close();
        return false;  // the one found is unusable: the next number is tried
    }
    return false;
}

// Missing numbers are skipped. A search that starts below `last_` stops
// before it; one that starts at `last_` (the device's last file read to its
// end) tries `last_` once.
bool CardStreamReader::openNext() {
    close();
    if (ended_ || current_ < first_ || current_ > last_) {
        ended_ = true;
        return false;
    }
    for (;;) {
        if (tryNumber(current_)) return true;
        if (++current_ >= last_) break;
    }
    ended_ = true;
    return false;
}

// Only called with bytes left in the open file: nothing read is a read error
// or a file cut short meanwhile, and the device's stream ends there.
bool CardStreamReader::refill() {
    const long n = file_.readData(offset_, buffer_.data(), buffer_.size());
    if (n <= 0) {
        VELT_LOG_ERROR("card stream", "cannot read file %llX of device %u at %lld: the device's stream ends here",
                       (unsigned long long)current_, unsigned(device_), (long long)offset_);
        ended_ = true;
        close();
        return false;
    }
    next_ = buffer_.data();
    end_ = buffer_.data() + n;
    return true;
}

int CardStreamReader::available() {
    if (hasBuffered()) return 1;
    for (;;) {
        if (!isOpen_ && !openNext()) return 0;
        const int64_t count = end_ - buffer_.data();
        if (offset_ + count < dataLength_) {
            offset_ += count;
            return refill() ? 1 : 0;
        }
        // This file is read (or holds no data, as a 64-byte file does): the
        // next number follows; an empty file never ends the stream.
        close();
        ++current_;
        offset_ = 0;
    }
}

uint8_t CardStreamReader::readByte() { return hasBuffered() ? takeBuffered() : 0; }

uint8_t CardStreamReader::peekByte() { return hasBuffered() ? *next_ : 0; }

int CardStreamReader::getPosition(StreamPosition& p) {
    p.file = long(current_);
    p.offset = long(offset_ + (isOpen_ ? next_ - buffer_.data() : 0));
    return 0;
}

int CardStreamReader::seek(const StreamPosition& p) {
    if (p.file != current_ || !isOpen_) {
        close();
        current_ = p.file;
        if (!openNext()) return 0;
    }
    // The bytes are read by the next available(): a position at the end of
    // a file (or in a file without data) then goes on to the next number.
    offset_ = p.offset;
    next_ = end_ = buffer_.data();
    return 0;
}

}  // namespace velt::cardmill

#include "recorder/card_file_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/endian.h"

namespace velt::recorder {

using namespace card;

std::string cardFileName(uint32_t fileNumber, std::string_view archiveName) {
    char name[32];
    const std::string ext(archiveName.substr(0, kArchiveNameBytes));
    std::snprintf(name, sizeof name, "A%7.7X.%3.3s", unsigned(fileNumber & 0xFFFFFFF), ext.c_str());
    return name;
}

CardHeader buildCardHeader(uint32_t device, uint32_t fileNumber, std::string_view archiveName) {
    CardHeader h{};
    std::memcpy(&h[kOffMagic], kMagic.data(), kMagicBytes);
    platform::put_u32le(&h[kOffDevice], device);
    platform::put_u32le(&h[kOffFormat], kFormatCode);
    char stem[kStemBytes + 1];
    std::snprintf(stem, sizeof stem, "A%7.7X", unsigned(fileNumber & 0xFFFFFFF));
    std::memcpy(&h[kOffStem], stem, kStemBytes);
    for (std::size_t i = 0; i < kArchiveNameBytes; ++i)
        h[kOffArchiveName + i] = uint8_t(i < archiveName.size() ? archiveName[i] : ' ');
    std::memcpy(&h[kRecordBytes], &h[0], kRecordBytes);
    h[kOffEndMark] = kEndMark1;
    h[kOffEndMark + 1] = kEndMark2;
    return h;
}

bool cardHeaderValid(const uint8_t* h) {
    return std::memcmp(h, h + kRecordBytes, kComparedBytes) == 0 && h[kOffEndMark] == kEndMark1 &&
           h[kOffEndMark + 1] == kEndMark2 && std::memcmp(h + kOffMagic, kMagic.data(), kMagicBytes) == 0;
}

int quickCheckCardHeader(const uint8_t* data, std::size_t size, uint32_t device) {
    if (size < kHeaderBytes) return -2;
    if (std::memcmp(data, kMagic.data(), kQuickMagicBytes) != 0 ||
        std::memcmp(data + kRecordBytes, kMagic.data(), kQuickMagicBytes) != 0)
        return 1;
    if (platform::get_u32le(data + kOffDevice) != device || platform::get_u32le(data + kRecordBytes + kOffDevice) != device)
        return 4;
    return 0;
}

uint32_t cardDeviceNumber(const uint8_t* h) { return platform::get_u32le(h + kOffDevice); }

uint32_t cardFileNumber(const uint8_t* h) {
    uint32_t value = 0;
    for (std::size_t i = 1; i < kStemBytes; ++i) {  // the letter in front counts as '0'
        const char c = char(h[kOffStem + i]);
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else break;
        value = value * 16 + uint32_t(digit);
    }
    return value;
}

CardFile::~CardFile() { close(); }

int CardFile::open(const std::string& path) {
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return -1;
    const ssize_t n = ::pread(fd_, header_.data(), kHeaderBytes, 0);
    headerBytes_ = n > 0 ? std::size_t(n) : 0;
    haveHeader_ = headerBytes_ == kHeaderBytes;
    return 0;
}

void CardFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    header_.fill(0);
    headerBytes_ = 0;
    haveHeader_ = false;
}

int64_t CardFile::dataLength() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size < int64_t(kHeaderBytes)) return 0;
    return int64_t(st.st_size) - int64_t(kHeaderBytes);
}

long CardFile::readData(int64_t offset, uint8_t* buffer, std::size_t count) const {
    if (fd_ < 0 || offset < 0) return -1;
    const ssize_t n = ::pread(fd_, buffer, count, off_t(kHeaderBytes) + offset);
    return n < 0 ? -1 : long(n);
}

}  // namespace velt::recorder

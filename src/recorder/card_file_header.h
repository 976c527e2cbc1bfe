// The 64-byte header of a card-archive file: one 32-byte record written
// twice, followed by the recorder's raw stream. Integers little-endian.
//
//   offset size field
//   0      8    magic "MMCARC00", no terminator
//   8      4    device (archive) number, u32
//   12     4    format code, u32, 2 (not read by anyone)
//   16     8    name stem "A%7.7X" of the file number, no terminator
//   24     3    archive name (the file name's extension)
//   27     5    zero bytes
//   32     30   bytes 0..29 again
//   62     2    0x55 0xAA
//   64     ...  stream bytes
//
// The file number is read from the stem with its first character taken as
// '0', so the letter in front is ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velt::recorder {

namespace card {
constexpr std::size_t kHeaderBytes = 64;
constexpr std::size_t kRecordBytes = 32;
constexpr std::size_t kOffMagic = 0;
constexpr std::size_t kMagicBytes = 8;
constexpr std::size_t kQuickMagicBytes = 6;  // "MMCARC"
constexpr std::size_t kOffDevice = 8;
constexpr std::size_t kOffFormat = 12;
constexpr std::size_t kOffStem = 16;
constexpr std::size_t kStemBytes = 8;
constexpr std::size_t kOffArchiveName = 24;
constexpr std::size_t kArchiveNameBytes = 3;
constexpr std::size_t kComparedBytes = 30;  // of each copy
constexpr std::size_t kOffEndMark = 62;
constexpr uint8_t kEndMark1 = 0x55, kEndMark2 = 0xAA;
constexpr uint32_t kFormatCode = 2;
constexpr std::string_view kMagic = "MMCARC00";
static_assert(kOffArchiveName + kArchiveNameBytes + 5 == kRecordBytes);
static_assert(kOffEndMark + 2 == kHeaderBytes);
}  // namespace card

using CardHeader = std::array<uint8_t, card::kHeaderBytes>;

/// @brief The header of file `fileNumber` of device `device`; the first
/// three characters of `archiveName` (space padded) name the archive.
CardHeader buildCardHeader(uint32_t device, uint32_t fileNumber, std::string_view archiveName);

/// @brief Both copies agree in bytes 0..29, the end mark is 55 AA and the magic is right.
bool cardHeaderValid(const uint8_t* header);

/// @brief The quick check for device `device` over the first `size` bytes
/// of a file: 0 valid, -2 fewer than 64 bytes, 1 magic wrong, 4 device differs.
int quickCheckCardHeader(const uint8_t* data, std::size_t size, uint32_t device);

uint32_t cardDeviceNumber(const uint8_t* header);
/// @brief The file number from the name stem, its letter ignored.
uint32_t cardFileNumber(const uint8_t* header);

/// @brief "A%7.7X.%3.3s": the name a card-archive file is written under.
std::string cardFileName(uint32_t fileNumber, std::string_view archiveName);

/// A card-archive file opened for reading.
class CardFile final {
public:
    CardFile() = default;
    ~CardFile();
    CardFile(const CardFile&) = delete;
    CardFile& operator=(const CardFile&) = delete;

    /// @brief Opens `path` and reads its header. @return 0, -1 when it cannot be opened.
    int open(const std::string& path);
    void close();
    /// @brief 1 when the header is valid, else 0.
    int fullCheck() const { return haveHeader_ && cardHeaderValid(header_.data()) ? 1 : 0; }
    int quickCheck(uint32_t device) const { return quickCheckCardHeader(header_.data(), headerBytes_, device); }
    uint32_t deviceNumber() const { return cardDeviceNumber(header_.data()); }
    uint32_t fileNumber() const { return cardFileNumber(header_.data()); }
    /// @brief Stream bytes in the file (its length less the header).
    int64_t dataLength() const;
    /// @brief Reads up to `count` stream bytes from stream offset `offset`. @return bytes read, -1 on error.
    long readData(int64_t offset, uint8_t* buffer, std::size_t count) const;

private:
    int fd_ = -1;
    CardHeader header_{};
    std::size_t headerBytes_ = 0;
    bool haveHeader_ = false;
};

}  // namespace velt::recorder

#include "livemill/input_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/directory.h"
#include "platform/file_util.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace velt::livemill {

namespace {
constexpr long kNoNumberedFile = 0x7FFFFFFF;

// The number a name written by the monitor stands for: hexadecimal digits
// only (up to 15, so that it fits); -1 for any other name.
long numberOfName(const std::string& name) {
    if (name.empty() || name.size() > 15) return -1;
    for (const char c : name)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return -1;
    return std::strtol(name.c_str(), nullptr, 16);
}
}  // namespace

long InputReader::parseFileNumber(const std::string& text) {
    if (text.empty()) return 0;
    const char last = text.back();
    std::string digits = (last == 'H' || last == 'h') ? text.substr(0, text.size() - 1) : text;
    const int base = (last == 'H' || last == 'h') ? 16 : 10;
    const char* begin = digits.c_str();
    while (*begin == ' ' || *begin == '\t') ++begin;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, base);
    if (end == begin || errno == ERANGE) return 0;
    return value;
}

long InputReader::lowestFileNumber(const std::string& dir) {
    std::vector<std::string> names;
    if (platform::listDirectory(dir.empty() ? std::string("./") : dir, "*.*", names) != 0) return 0;
    long lowest = kNoNumberedFile;
    for (const auto& name : names) {
        if (name.empty() || name[0] == '.' || !std::isxdigit(static_cast<unsigned char>(name[0]))) continue;
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(name.c_str(), &end, 16);
        if (errno == ERANGE || value > static_cast<unsigned long>(LONG_MAX)) continue;
        if (long(value) < lowest) lowest = long(value);
    }
    return lowest;
}

InputReader::InputReader(const std::string& iniPath, const platform::Clock& clock, int persistInterval)
    : clock_(clock), iniPath_(iniPath), persistInterval_(persistInterval) {
    // An empty buffer, so a position asked for before open() is the stored offset.
    setBuffer(0);
    inDir_ = platform::withTrailingSeparator(
        platform::normaliseSeparators(platform::readProfileString(iniPath_, "INPUT", "INDIR", "", kPathChars)));
    const std::string stored = platform::readProfileString(iniPath_, "WORK", "FILENUM", "", kPathChars);
    fileNumber_ = parseFileNumber(stored);
    storedFile_ = stored.empty() ? -1 : fileNumber_;
    fileOffset_ = platform::readProfileInt(iniPath_, "WORK", "OFFSET", 0);
    const std::string blockTime = platform::readProfileString(iniPath_, "WORK", "BLOCKTIME", "", 32);
    char* end = nullptr;
    const long long parsed = std::strtoll(blockTime.c_str(), &end, 10);
    if (!blockTime.empty() && end != blockTime.c_str()) storedBlockTime_ = parsed;
    if (fileOffset_ < 0) fileOffset_ = 0;
    if (fileNumber_ < 1) {
        fileNumber_ = lowestFileNumber(inDir_);
        // No numbered file yet: look again whenever an open is retried, so an
        // input started before its recorder wrote anything begins with the
        // first file that appears instead of waiting for number 7FFFFFFF.
        scanPending_ = fileNumber_ == kNoNumberedFile || fileNumber_ == 0;
    }
}

InputReader::~InputReader() {
    flush();
    close();
}

std::string InputReader::pathOf(long number) const {
    char name[32];
    std::snprintf(name, sizeof name, "%8.8lX", static_cast<unsigned long>(number));
    return inDir_ + name;
}

int InputReader::open() {
    if (scanPending_) {
        const long lowest = lowestFileNumber(inDir_);
        if (lowest != 0 && lowest != kNoNumberedFile) {
            fileNumber_ = lowest;
            scanPending_ = false;
        }
    }
    close();
    setBuffer(0);
    growing_ = false;
    fd_ = ::open(pathOf(fileNumber_).c_str(), O_RDONLY | O_CLOEXEC);
    // Without a number yet there is no telling which number "tmpfile" gets.
    if (fd_ < 0 && !scanPending_) fd_ = openGrowing();
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) != 0) close();
    if (fd_ < 0) {
        retryTime_ = clock_.now();
        return -1;
    }
    openDevice_ = st.st_dev;
    openInode_ = st.st_ino;
    if (syncFrom_ < 0) syncFrom_ = fileNumber_;
    scanPending_ = false;
    retryTime_ = 0;
    return 0;
}

int InputReader::openGrowing() {
    const int fd = ::open(growingPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    // Listed after the open: "tmpfile" stands for N only when no number
    // from N on exists. Had the monitor numbered N just now, the file opened
    // could be the one after it; a number above N without N is a gap, which
    // is waited for, never skipped.
    std::vector<std::string> names;
    bool numberedOn = platform::listDirectory(inDir_.empty() ? std::string("./") : inDir_, "*.*", names) != 0;
    for (const auto& name : names) numberedOn = numberedOn || numberOfName(name) >= fileNumber_;
    if (!numberedOn) {
        growing_ = true;
        return fd;
    }
    ::close(fd);
    return ::open(pathOf(fileNumber_).c_str(), O_RDONLY | O_CLOEXEC);
}

bool InputReader::isOpenFile(const std::string& path) const {
    struct stat st {};
    return fd_ >= 0 && ::stat(path.c_str(), &st) == 0 && st.st_dev == openDevice_ && st.st_ino == openInode_;
}

int InputReader::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return 0;
}

int InputReader::refill() {
    setBuffer(0);
    if (fd_ < 0 && open() != 0) return -1;
    // One call per buffer: no seek, no size check first.
    const ssize_t got = ::pread(fd_, buffer_, kBufferBytes, fileOffset_);
    if (got <= 0) return -1;
    setBuffer(int(got));
    return 0;
}

int InputReader::available() {
    if (fd_ < 0) {
        if (retryTime_ != 0 && clock_.now() - retryTime_ < kRetrySeconds) return 0;
        if (open() != 0) return 0;
    }
    if (hasBuffered()) return 1;
    if (readGrowth()) return 1;

    // Every byte consumed. Until the file is complete it stays open and is
    // looked at again every 20 seconds (or at lookNow()), so a file that is
    // still being appended to is followed.
    if (retryTime_ != 0 && clock_.now() - retryTime_ < kRetrySeconds) return 0;
    if (!complete()) {
        // Caught up: the position held back by the throttle is written now,
        // so an input that has finished its backlog never keeps a position on
        // disk from which a restart would convert its last second of backlog
        // (tens of thousands of blocks) again.
        flush();
        retryTime_ = clock_.now();
        return 0;
    }
    if (readGrowth()) return 1;  // bytes written just before the next file appeared
    close();
    ++fileNumber_;
    fileOffset_ = 0;
    if (open() != 0) return 0;
    return refill() == 0 ? 1 : 0;
}

bool InputReader::complete() {
    if (growing_ && !numbered()) return false;
    if (platform::fileExists(pathOf(fileNumber_ + 1))) return true;
    // The monitor's next "tmpfile" follows this one.
    const std::string growing = growingPath();
    return platform::fileExists(growing) && !isOpenFile(growing);
}

bool InputReader::numbered() {
    // Checked in this order, a file renamed meanwhile is found: once it has
    // left the name "tmpfile" it keeps its number.
    const std::string growing = growingPath();
    if (isOpenFile(growing)) return false;
    if (isOpenFile(pathOf(fileNumber_))) {
        growing_ = false;
        return true;
    }
    std::vector<std::string> names;
    if (platform::listDirectory(inDir_.empty() ? std::string("./") : inDir_, "*.*", names) != 0) return false;
    for (const auto& name : names) {
        const long number = numberOfName(name);
        if (number <= fileNumber_ || !isOpenFile(inDir_ + name)) continue;
        // The monitor took the next free number: the bytes read count as
        // that file's, and so do the positions in it from now on.
        VELT_LOG_WARNING(logName_, "%s, read as %s, was numbered %s: it is read on as that file",
                         growing.c_str(), pathOf(fileNumber_).c_str(), (inDir_ + name).c_str());
        renamedFrom_ = fileNumber_;
        renamedTo_ = number;
        fileNumber_ = number;
        growing_ = false;
        return true;
    }
    VELT_LOG_ERROR(logName_,
                   "%s, read as %s up to byte %ld, is gone (removed, or given no number from %08lX on): what "
                   "was added to it since is lost; %s is looked for afresh from its start",
                   growing.c_str(), pathOf(fileNumber_).c_str(), fileOffset_, static_cast<unsigned long>(fileNumber_),
                   pathOf(fileNumber_).c_str());
    close();
    growing_ = false;
    fileOffset_ = 0;
    return false;
}

bool InputReader::readGrowth() {
    // Bytes appended after the buffer's end, if any; the position stays the same.
    fileOffset_ += bufCount_;
    return refill() == 0;
}

uint8_t InputReader::readByte() { return hasBuffered() ? takeBuffered() : 0; }

uint8_t InputReader::peekByte() { return hasBuffered() ? *next_ : 0; }

int InputReader::getPosition(StreamPosition& position) {
    position.file = fileNumber_;
    position.offset = fileOffset_ + bufIndex();
    return 0;
}

int InputReader::seek(const StreamPosition& position) {
    const long file = position.file == renamedFrom_ ? renamedTo_ : position.file;
    if (file != fileNumber_) {
        close();
        fileNumber_ = file;
        scanPending_ = false;
        open();
    }
    fileOffset_ = position.offset < 0 ? 0 : position.offset;
    refill();
    return 0;
}

StreamPosition InputReader::positionBefore(const StreamPosition& position, long bytes) {
    StreamPosition at = position;
    while (bytes > at.offset) {
        bytes -= at.offset;
        const int64_t size = at.file > 0 ? platform::fileSize(pathOf(at.file - 1)) : -1;
        if (size <= 0) {
            at.offset = 0;  // the first file there is
            return at;
        }
        at.file -= 1;
        at.offset = long(size);
    }
    at.offset -= bytes;
    return at;
}

int InputReader::persist(const StreamPosition& position) {
    if (iniPath_.empty()) return 0;
    if (storedFile_ > position.file) return 1;
    pending_ = position;
    pendingPersist_ = true;
    storedFile_ = position.file;
    const int64_t now = clock_.now();
    if (now - lastPersistWrite_ >= persistInterval_) {
        lastPersistWrite_ = now;
        flush();
    }
    return 0;
}

void InputReader::setPositionGuard(PositionGuard* guard) {
    if (guard == nullptr && guard_ != nullptr) pendingPersist_ = heldBack_ = false;
    guard_ = guard;
}

int InputReader::flush() {
    if (!pendingPersist_ && !heldBack_) return 0;
    StreamPosition target = pending_;
    int64_t blockTime = -1;
    if (guard_ != nullptr && !guard_->prepareToStore(target, blockTime)) return -1;
    pendingPersist_ = false;
    heldBack_ = !(target == pending_);
    if (target == written_ && blockTime == writtenBlockTime_) return 0;
    if (!syncInputBefore(target)) {
        pendingPersist_ = true;
        return -1;
    }
    char file[32];
    char offset[32];
    char time[32];
    std::snprintf(file, sizeof file, "%lXh", static_cast<unsigned long>(target.file));
    std::snprintf(offset, sizeof offset, "%ld", target.offset);
    std::snprintf(time, sizeof time, "%lld", static_cast<long long>(blockTime));
    if (platform::writeProfileStrings(iniPath_, "WORK", {{"FILENUM", file}, {"OFFSET", offset}, {"BLOCKTIME", time}}) !=
        0) {
        pendingPersist_ = true;
        return -1;
    }
    written_ = target;
    writtenBlockTime_ = blockTime;
    return 0;
}

bool InputReader::syncInputBefore(const StreamPosition& target) {
    if (syncFrom_ < 0 || target.file < syncFrom_) return true;
    // During a backlog a second reads dozens of files: one syncfs then
    // (where it reaches the disk) rather than a sync each.
    std::vector<int> fds;
    bool ok = true;
    for (long number = syncFrom_; number <= target.file && ok; ++number) {
        const std::string path = pathOf(number);
        // The open file through its descriptor: it may still be "tmpfile".
        const int fd = number == fileNumber_ && fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0)
                                                         : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            fds.push_back(fd);
        } else if (errno != ENOENT) {  // renamed away by its writer since: nothing of it to keep
            VELT_LOG_ERROR(logName_, "cannot open input %s to sync it (%s); the reading position is not stored",
                           path.c_str(), std::strerror(errno));
            ok = false;
        }
    }
    if (ok && platform::syncFiles(fds) != 0) {
        VELT_LOG_ERROR(logName_, "cannot sync the input files %08lX to %08lX (%s); the reading position is not stored",
                       static_cast<unsigned long>(syncFrom_), static_cast<unsigned long>(target.file),
                       std::strerror(errno));
        ok = false;
    }
    for (int fd : fds) ::close(fd);
    if (ok) syncFrom_ = target.file;  // the current file may still grow
    return ok;
}

}  // namespace velt::livemill

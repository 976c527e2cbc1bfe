#include "outputs/finished_file_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_util.h"
#include "platform/log.h"

namespace velt::outputs {

FinishedFileWriter::FinishedFileWriter(std::string folder, std::string logName, bool unnamedFiles)
    : folder_(folder.empty() ? std::string(".") : std::move(folder)),
      logName_(std::move(logName)),
      batchFiles_(std::clamp<std::size_t>(platform::openFileLimit() / 16, 16, kMaxBatchFiles)),
      unnamedFiles_(unnamedFiles) {}

FinishedFileWriter::~FinishedFileWriter() {
    flush();
    {
        const std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    // Files that could not be named: one without a name gets its pending
    // name, so that the next start numbers it after the files present.
    for (const File& f : written_) {
        if (f.unnamed) {
            if (platform::nameUnnamed(f.fd, f.pendingPath) == 0)
                VELT_LOG_WARNING(logName_, "%s kept as %s; it is numbered at the next start", f.finalPath.c_str(),
                                 f.pendingPath.c_str());
            else
                VELT_LOG_ERROR(logName_, "%s could not be named; its records are lost", f.finalPath.c_str());
        }
        if (f.fd >= 0) ::close(f.fd);
    }
}

void FinishedFileWriter::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void FinishedFileWriter::submit(std::string finalPath, std::string pendingPath, std::vector<uint8_t> bytes) {
    std::unique_lock<std::mutex> guard(lock_);
    start();
    // One file always fits, however large.
    room_.wait(guard, [this] {
        return queue_.empty() || (queue_.size() < kMaxQueued && queuedBytes_ < kMaxQueuedBytes);
    });
    queuedBytes_ += bytes.size();
    queue_.push_back(File{std::move(finalPath), std::move(pendingPath), std::move(bytes), -1, false});
    wake_.notify_one();
}

void FinishedFileWriter::adopt(std::string finalPath, std::string pendingPath, int fd) {
    const std::lock_guard<std::mutex> guard(lock_);
    start();
    queue_.push_back(File{std::move(finalPath), std::move(pendingPath), {}, fd, true});
    wake_.notify_one();
}

int FinishedFileWriter::flush() {
    std::unique_lock<std::mutex> guard(lock_);
    if (!thread_.joinable()) return 0;  // nothing was ever queued
    flushWanted_ = true;
    wake_.notify_one();
    room_.wait(guard, [this] { return !flushWanted_; });
    return allNamed_ ? 0 : -1;
}

void FinishedFileWriter::run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return !queue_.empty() || flushWanted_ || stop_; });
        if (queue_.empty() && !flushWanted_) break;  // stop_
        // A flush seen here covers every file queued before it: those are
        // in this batch of the queue or were handled in an earlier one.
        std::deque<File> files;
        files.swap(queue_);
        queuedBytes_ = 0;
        const bool flushing = flushWanted_;
        guard.unlock();
        room_.notify_all();
        for (File& f : files) {
            write(f);
            if (written_.size() >= batchFiles_) nameWritten();
        }
        if (flushing) nameWritten();
        guard.lock();
        if (flushing) {
            allNamed_ = written_.empty() && !lost_;
            lost_ = false;
            flushWanted_ = false;
            room_.notify_all();
        }
    }
}

int FinishedFileWriter::create(File& file) {
    if (unnamedFiles_) {
        const int fd = platform::openUnnamed(folder_);
        file.unnamed = fd >= 0;
        if (fd >= 0 || !(errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) return fd;
        unnamedFiles_ = false;
        VELT_LOG_INFO(logName_, "%s cannot hold files without a name; files are written under %s first",
                      folder_.c_str(), file.pendingPath.c_str());
    }
    file.pendingPath = platform::freeName(file.pendingPath);
    return ::open(file.pendingPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

void FinishedFileWriter::write(File& file) {
    if (file.adopted) {
        written_.push_back(std::move(file));
        return;
    }
    int fd = create(file);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !written_.empty()) {
        nameWritten();  // closes the descriptors of the files it names
        fd = create(file);
    }
    if (fd < 0) {
        VELT_LOG_ERROR(logName_, "cannot create %s: %s; %zu bytes lost", file.finalPath.c_str(), std::strerror(errno),
                       file.bytes.size());
        lost_ = true;
        return;
    }
    if (!platform::writeFully(fd, file.bytes.data(), file.bytes.size())) {
        VELT_LOG_ERROR(logName_, "writing %s failed (%s); %zu bytes lost", file.finalPath.c_str(), std::strerror(errno),
                       file.bytes.size());
        ::close(fd);
        if (!file.unnamed) ::unlink(file.pendingPath.c_str());
        lost_ = true;
        return;
    }
    file.fd = fd;
    file.bytes = {};
    written_.push_back(std::move(file));
}

bool FinishedFileWriter::nameWritten() {
    if (written_.empty()) return true;
    std::vector<int> fds;
    for (const File& f : written_)
        if (f.fd >= 0) fds.push_back(f.fd);
    if (platform::syncFiles(fds, true) != 0) dropUnsynced();
    std::vector<File> left;
    for (File& f : written_) {
        // In order: a file that cannot be named holds back every later one,
        // so that no newer file of its channel is numbered before it (a
        // restart would take that one's records as the channel's newest).
        if (!left.empty() || !nameFile(f)) {
            left.push_back(std::move(f));
            continue;
        }
        if (f.fd >= 0) ::close(f.fd);
    }
    platform::syncDirectory(folder_);
    written_ = std::move(left);
    return written_.empty();
}

void FinishedFileWriter::dropUnsynced() {
    // A sync of the file system reports a write-back error once, and the
    // error may be another file's; each file's own sync tells whether its
    // bytes reached the disk. Those that did not are dropped, logged.
    std::vector<File> kept;
    for (File& f : written_) {
        if (f.fd < 0 || ::fsync(f.fd) == 0) {
            kept.push_back(std::move(f));
            continue;
        }
        VELT_LOG_ERROR(logName_, "cannot sync %s (%s); its records are lost", f.finalPath.c_str(), std::strerror(errno));
        ::close(f.fd);
        if (!f.unnamed) ::unlink(f.pendingPath.c_str());
        lost_ = true;
    }
    written_ = std::move(kept);
}

bool FinishedFileWriter::nameFile(const File& file) {
    const bool unnamed = file.unnamed;
    const auto give = [&](const std::string& name) {
        return unnamed ? platform::nameUnnamed(file.fd, name) : platform::renameNoReplace(file.pendingPath, name);
    };
    std::string name = file.finalPath;
    int rc = give(name);
    if (rc == 1) {
        name = platform::freeName(file.finalPath);
        rc = give(name);
    }
    if (rc != 0 && unnamed) {
        // The file system keeps such files but cannot link them here (no
        // /proc, no capability): copy the bytes into a named file, and let
        // later files be written under their pending names.
        unnamedFiles_ = false;
        struct stat st {};
        std::string data;
        if (::fstat(file.fd, &st) == 0) data.resize(std::size_t(st.st_size));
        if (::pread(file.fd, data.data(), data.size(), 0) == ssize_t(data.size()))
            rc = platform::createFileAtomically(name, data);
    }
    if (rc != 0) {
        VELT_LOG_ERROR(logName_, "cannot name %s: %s; tried again with the next batch", file.finalPath.c_str(),
                       rc == 1 ? "the name is taken" : std::strerror(errno));
        return false;
    }
    if (name != file.finalPath)
        VELT_LOG_WARNING(logName_, "%s exists, records kept as %s", file.finalPath.c_str(), name.c_str());
    return true;
}

}  // namespace velt::outputs

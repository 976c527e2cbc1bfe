// Writes finished output files on a thread of its own and gives them their
// names in batches, after one sync for the whole batch. A store with
// thousands of small files a second (one miniSEED file per channel and ten
// seconds) thus pays for each file once, with one new directory entry, and
// the conversion goes on meanwhile on the other core.
//
// Every file appears complete or not at all, also after a power cut: its
// bytes go into a file without a name (or, where the file system has none,
// into the pending name it was given), and only after a sync is it linked
// (renamed) to its final name, never over an existing file. A final name
// that some other file took keeps the bytes under the first free name
// "<name>.1", "<name>.2", ... beside it, logged.
//
// flush() is the caller's durability point: when it returns 0, every file
// submitted or adopted before it is durable under its name. A file that
// could not be named stays open, with every later one, and is tried again
// at the next batch; flush() then returns -1 so that no stored position
// passes it, and so it does after a file was lost (logged). One thread
// calls the writer. The queue
// holds at most kMaxQueued files and kMaxQueuedBytes: submit() waits while
// it is full, so a slow disk slows the conversion rather than filling the
// memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velt::outputs {

class FinishedFileWriter {
public:
    static constexpr std::size_t kMaxQueued = 1024;
    static constexpr std::size_t kMaxQueuedBytes = std::size_t(64) << 20;
    // Written files (open descriptors) before a batch is named: at most
    // this, and a sixteenth of the process's descriptor limit, so that
    // several inputs' writers leave room for everything else.
    static constexpr std::size_t kMaxBatchFiles = 1024;

    /// @brief Files go to `folder` ("" = the working directory); `logName`
    /// starts every message. Without `unnamedFiles` every file is written
    /// under its pending name, as where the file system has no unnamed files.
    FinishedFileWriter(std::string folder, std::string logName, bool unnamedFiles = true);
    /// @brief Names everything it holds (as flush()), then stops its thread.
    ~FinishedFileWriter();

    FinishedFileWriter(const FinishedFileWriter&) = delete;
    FinishedFileWriter& operator=(const FinishedFileWriter&) = delete;

    /// @brief Queues the file `finalPath` with `bytes`. `pendingPath` is the
    /// name it is written under where files without a name are not available.
    void submit(std::string finalPath, std::string pendingPath, std::vector<uint8_t> bytes);
    /// @brief Takes over a file already written under `pendingPath` (open as
    /// `fd`, or -1); it is renamed to `finalPath` with the next batch.
    void adopt(std::string finalPath, std::string pendingPath, int fd);
    /// @brief Waits until every file queued so far is durable under its name.
    /// @return 0, or -1 when some file has no name yet.
    int flush();

private:
    struct File {
        std::string finalPath;
        std::string pendingPath;  // where it is written when it cannot be without a name
        std::vector<uint8_t> bytes;
        int fd = -1;
        bool adopted = false;  // written by the caller
        bool unnamed = false;  // written into a file without a name
    };

    void run();
    void start();
    /// Creates the file to write `file` into: without a name, or under its
    /// pending name (then in file.pendingPath). @return the descriptor or -1.
    int create(File& file);
    /// Writes a queued file; written files wait in written_ for their names.
    void write(File& file);
    /// Syncs the written files and gives each its name; false when some stay.
    bool nameWritten();
    /// After a failed sync of the batch: drops the files whose own sync fails.
    void dropUnsynced();
    bool nameFile(const File& file);

    const std::string folder_;
    const std::string logName_;
    const std::size_t batchFiles_;

    std::mutex lock_;
    std::condition_variable wake_;   // work or a flush for the thread
    std::condition_variable room_;   // space in the queue, a flush done
    std::deque<File> queue_;
    std::size_t queuedBytes_ = 0;
    bool flushWanted_ = false;
    bool allNamed_ = true;           // after the last batch
    bool stop_ = false;
    std::thread thread_;

    // The thread's own.
    std::vector<File> written_;
    bool unnamedFiles_ = true;       // the folder's file system has files without a name
    bool lost_ = false;              // a file was lost since the last flush
};

}  // namespace velt::outputs

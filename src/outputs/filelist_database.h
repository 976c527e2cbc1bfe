// The FILELIST table of the waveform database: one row per QRX4.0 file,
// written over ODBC when the file is created and rewritten after every append.
//
// Decisions taken here:
//  - Every statement is prepared once per connection with bound parameters;
//    no SQL text is ever built from data, so any path (an apostrophe
//    included) is stored as it is.
//  - One row per file: insertFile deletes every row of the path and adds a
//    fresh one; updateFile updates the rows of the path and adds one when
//    none was there. Each operation is one transaction, so a failure leaves
//    the table as it was before the call.
//  - Group commit (setGroupCommit): rows wait, merged per path, until
//    commit() writes them all in one transaction. The converter commits
//    just before it stores a restart position, so a second of conversion
//    costs one transaction, and a stored position never passes a row that
//    was not written or kept in the journal.
//  - Outages: any failed statement closes the connection and starts an
//    outage. Rows that could not be written wait in order (a later change of
//    a waiting path merges into its row) and the database is tried again
//    after 1 s, 2 s, 4 s, ... at most 60 s, only when rows are to be
//    written, so conversion never stops for it. The first failure prints the
//    driver's text plus "\n" to standard output and logs one warning; the
//    write that succeeds again logs one line with the number of rows that
//    waited. A table that is gone or refuses rows counts as an outage too:
//    the rows wait for it rather than being dropped. openOrWait treats a
//    database that cannot be opened at all the same way: the outage starts
//    at once, and the first rows are tried after the first pause.
//  - The journal (setJournal) keeps the waiting rows on disk, written
//    atomically and synced by the commit that could not write them, and
//    brought up to date before each new attempt, so it never holds less
//    than the table may already have. It is removed once the rows are in
//    the table, and rows left there by an earlier run are written first.
//  - Replaying is idempotent because every row is found by its path (CPATH):
//    a replayed insert replaces the path's rows, a replayed update rewrites
//    them, so a row that reached the table before a crash is never added
//    twice (the table's unique index on CPATH says the same).
//  - SQLite: a locked table is waited for 5 s (busy timeout, set on every
//    connection whatever the data source says) before it counts as an
//    outage, so a short write by another program costs no error.
//  - A text longer than 255 characters can never be stored: its row is
//    refused at once and the loss is logged; it never blocks the rows behind.
//  - Nothing outside this layer sees ODBC or an exception.
//  - LDDATE is the local time of the write, stored as an SQL timestamp.
//  - The driver manager's cursor library is not used: rows are never read
//    back through a cursor, so there is nothing for it to emulate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace velt::outputs {

/// One row of FILELIST, column for column in binding order.
struct FileListRecord {
    std::string sta;        // station name
    double sps = 0;         // samples per second
    int32_t gain = 0;
    std::string cpath;      // path relative to the data directory, '/' separated
    int32_t dataType = 0;   // 3 for QRX4.0 floats
    std::string ch;         // channel name
    std::string creater;    // writer's creator name (column spelled so)
    int64_t lddate = 0;     // time of the write, seconds since 1970; stored as local time
    double tbegin = 0;      // file start, seconds since 1970 UTC with fraction
    double tqty = 0;        // file duration, seconds
    int32_t foff = 512;     // offset of the first sample
};

/// A row to be written: a new file's (its path's old rows are replaced) or
/// an extended file's (its row rewritten, added when it has vanished).
struct FileListChange {
    bool replace = false;
    FileListRecord record;
};

class FileListDatabase final {
public:
    static constexpr std::string_view kLivemillConnection = "DSN=QRX;";
    static constexpr std::string_view kCardmillConnection = "DSN=QRX;UID=QRX;PWD=MKZ;";
    static constexpr std::string_view kDefaultCreator = "2QRX";
    static constexpr std::size_t kTextCapacity = 255;  // characters per text column
    static constexpr int kMaxRetryPauseSeconds = 60;
    static constexpr int kSqliteBusyMilliseconds = 5000;

    /// @brief A closed database; LDDATE values come from `clock` (not owned,
    /// must outlive this object).
    explicit FileListDatabase(std::string creator = std::string(kDefaultCreator),
                              const platform::Clock& clock = platform::systemClock());
    ~FileListDatabase();
    FileListDatabase(const FileListDatabase&) = delete;
    FileListDatabase& operator=(const FileListDatabase&) = delete;

    /// @brief Connects with `connectionString` and prepares the statements.
    /// @return 0, or -1 (error text printed; the object stays closed).
    int open(std::string_view connectionString);
    /// @brief Like open(), but a database that does not answer starts an
    /// outage instead of leaving the object closed: it is open, rows wait
    /// (in the journal once one is set) and the connection is tried again
    /// after 1 s, 2 s, 4 s, ... at most 60 s. The caller says where rows wait.
    /// @return 0 connected, or -1 away (the driver's text printed).
    int openOrWait(std::string_view connectionString);
    /// @brief Writes what waits (or keeps it in the journal), then releases
    /// the statements and the connection; harmless when closed. Rows that
    /// can be kept nowhere are logged as lost.
    void close();
    /// @brief True from a successful open() or any openOrWait() to close(),
    /// outages included.
    bool isOpen() const { return opened_; }

    /// @brief Name that starts every message of this database ("INP0 QRX").
    void setLogName(std::string name) { logName_ = std::move(name); }
    /// @brief Keeps waiting rows in the file `path`; rows an earlier run left
    /// there are taken first and written at once when the database answers.
    /// @return the number of rows taken from the file, or -1 when it exists
    /// but cannot be read (logged; it is replaced at the next outage).
    int setJournal(std::string path);
    /// @brief Rows waiting because the database does not answer (0 while it does).
    std::size_t backlog() const { return down_ ? waiting_.size() : 0; }

    /// @brief Registers a newly written file: its old rows (if any) are
    /// replaced by one fresh row. @return 0 written (or, with group commit,
    /// queued), or -1: the database is closed or a text is longer than 255
    /// characters (the row is refused), or the database does not answer
    /// (the row waits and is written later).
    int insertFile(std::string_view path, std::string_view station, std::string_view channel,
                   double start, double duration, double rate, int32_t gain, int32_t dataType);
    /// @brief Rewrites the row of an extended file, adding it when it has
    /// vanished. @return 0, or -1 as for insertFile.
    int updateFile(std::string_view path, std::string_view station, std::string_view channel,
                   double start, double duration, double rate, int32_t gain, int32_t dataType);

    /// @brief With `on`, insertFile and updateFile only queue their rows
    /// (merging changes of one path) until commit().
    void setGroupCommit(bool on) { groupCommit_ = on; }
    /// @brief Writes the waiting rows in one transaction, or, when the
    /// database does not answer, keeps them in the journal. @return 0 when
    /// every row is in the table or the journal, -1 when some exist only in
    /// memory (no journal, or it could not be written; logged).
    int commit();

private:
    struct Connection;
    FileListRecord record(std::string_view path, std::string_view station, std::string_view channel,
                          double start, double duration, double rate, int32_t gain, int32_t dataType) const;
    int store(bool replace, const FileListRecord& record);
    void merge(const FileListChange& change);
    // Writes every waiting row when the database answers (reconnecting when
    // the pause is over). @return true when nothing waits any more.
    bool writeWaiting();
    // One transaction for `count` rows. @return 0, or -1 with the driver's text in `error`.
    int write(const FileListChange* rows, std::size_t count, std::string& error);
    void failed(const std::string& error);
    // @return 0 when the journal holds every waiting row.
    int keepWaiting();
    void removeJournal();

    std::string creator_;
    const platform::Clock& clock_;
    std::string logName_ = "QRX";
    std::string connectionString_;
    std::unique_ptr<Connection> connection_;
    bool opened_ = false;
    bool groupCommit_ = false;
    std::vector<FileListChange> waiting_;

    // Outage: since when, the current pause and when to try again.
    bool down_ = false;
    int64_t downSince_ = 0;
    int pauseSeconds_ = 0;
    int64_t lastAttempt_ = 0;
    int64_t nextAttempt_ = 0;

    std::string journalPath_;
    bool journalOnDisk_ = false;  // the file exists and holds rows
    bool journalDirty_ = false;   // waiting_ changed since it was written
    bool journalErrorLogged_ = false;
};

}  // namespace velt::outputs

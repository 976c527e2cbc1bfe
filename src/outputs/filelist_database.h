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
//    was not written.
//  - A database error prints the driver's text plus "\n" to standard output
//    and returns -1; nothing outside this layer sees ODBC or an exception.
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

class FileListDatabase final {
public:
    static constexpr std::string_view kLivemillConnection = "DSN=QRX;";
    static constexpr std::string_view kCardmillConnection = "DSN=QRX;UID=QRX;PWD=MKZ;";
    static constexpr std::string_view kDefaultCreator = "2QRX";
    static constexpr std::size_t kTextCapacity = 255;  // characters per text column

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
    /// @brief Releases the statements and the connection; harmless when closed.
    void close();
    bool isOpen() const;

    /// @brief Registers a newly written file: its old rows (if any) are
    /// replaced by one fresh row. @return 0, or -1 (error text printed, or
    /// the database is closed, or a text is longer than 255 characters).
    int insertFile(std::string_view path, std::string_view station, std::string_view channel,
                   double start, double duration, double rate, int32_t gain, int32_t dataType);
    /// @brief Rewrites the row of an extended file, adding it when it has
    /// vanished. @return 0, or -1 as for insertFile.
    int updateFile(std::string_view path, std::string_view station, std::string_view channel,
                   double start, double duration, double rate, int32_t gain, int32_t dataType);

    /// @brief With `on`, insertFile and updateFile only queue their rows
    /// (merging changes of one path) until commit().
    void setGroupCommit(bool on) { groupCommit_ = on; }
    /// @brief Writes the queued rows in one transaction. @return 0, or -1
    /// (error text printed; the rows are not written).
    int commit();

private:
    struct Row {
        bool replace;  // insertFile: the path's old rows go first
        FileListRecord record;
    };
    struct Connection;
    FileListRecord record(std::string_view path, std::string_view station, std::string_view channel,
                          double start, double duration, double rate, int32_t gain, int32_t dataType) const;
    int store(bool replace, const FileListRecord& record);
    int write(const Row* rows, std::size_t count);

    std::string creator_;
    const platform::Clock& clock_;
    std::unique_ptr<Connection> connection_;
    bool groupCommit_ = false;
    std::vector<Row> waiting_;
};

}  // namespace velt::outputs

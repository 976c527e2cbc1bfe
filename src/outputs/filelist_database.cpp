#include "outputs/filelist_database.h"

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>

#include "outputs/filelist_journal.h"
#include "platform/calendar.h"
#include "platform/file_util.h"
#include "platform/log.h"

namespace velt::outputs {

namespace {

// Raised by check() with the driver's diagnostic text; caught by every public
// operation of this file and never let out.
struct DatabaseError {
    std::string text;
};

std::string diagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::string text;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::array<SQLCHAR, 1024> message{};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRec(handleType, handle, i, state, &native, message.data(),
                                           SQLSMALLINT(message.size()), &length);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
        if (!text.empty()) text += '\n';
        text += reinterpret_cast<const char*>(message.data());
    }
    if (text.empty()) text = "database error without diagnostic text";
    return text;
}

bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle) {
    if (!succeeded(rc)) throw DatabaseError{diagnostics(handleType, handle)};
}

// The database's error text followed by "\n", written as a line of its own:
// text, line end, and the line end that ends the written line.
void report(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputs("\n\n", stdout);
    std::fflush(stdout);
}

constexpr const char* kInsertSql =
    "INSERT INTO FILELIST (STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr const char* kUpdateSql =
    "UPDATE FILELIST SET STA = ?, SPS = ?, GAIN = ?, DATATYPE = ?, CH = ?, CREATER = ?, LDDATE = ?,"
    " TBEGIN = ?, TQTY = ?, FOFF = ? WHERE CPATH = ?";
constexpr const char* kDeleteSql = "DELETE FROM FILELIST WHERE CPATH = ?";

}  // namespace

// The handles of one open connection and the parameter buffers its prepared
// statements are bound to (bound once; each call only refills the buffers).
struct FileListDatabase::Connection {
    using Text = std::array<char, kTextCapacity + 1>;

    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
    SQLHSTMT insert = SQL_NULL_HSTMT;
    SQLHSTMT update = SQL_NULL_HSTMT;
    SQLHSTMT remove = SQL_NULL_HSTMT;

    Text sta{}, cpath{}, ch{}, creater{};
    SQLDOUBLE sps = 0, tbegin = 0, tqty = 0;
    SQLINTEGER gain = 0, dataType = 0, foff = 0;
    SQL_TIMESTAMP_STRUCT lddate{};
    SQLLEN textInd = SQL_NTS;   // every text buffer is zero-terminated
    SQLLEN valueInd = 0;        // fixed-size values are never NULL

    ~Connection() {
        for (SQLHSTMT s : {insert, update, remove})
            if (s != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, s);
        if (connected) SQLDisconnect(dbc);
        if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    }

    void connect(std::string_view connectionString) {
        check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), SQL_HANDLE_ENV, env);
        check(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
              SQL_HANDLE_ENV, env);
        check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_HANDLE_ENV, env);
        SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN{10}), 0);
        std::string text(connectionString);
        SQLCHAR out[1024];
        SQLSMALLINT outLength = 0;
        check(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, out,
                               sizeof out, &outLength, SQL_DRIVER_NOPROMPT),
              SQL_HANDLE_DBC, dbc);
        connected = true;
        // SQLite answers "database is locked" at once or after the data
        // source's timeout (100 s by default); a few seconds is long enough
        // for another program's write and short enough not to hold up
        // conversion. Set before autocommit is turned off, outside any
        // transaction.
        char dbms[64] = {};
        SQLSMALLINT dbmsLength = 0;
        if (succeeded(SQLGetInfo(dbc, SQL_DBMS_NAME, dbms, SQLSMALLINT(sizeof dbms), &dbmsLength)) &&
            std::string_view(dbms) == "SQLite")
            run("PRAGMA busy_timeout = " + std::to_string(kSqliteBusyMilliseconds));
        check(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0),
              SQL_HANDLE_DBC, dbc);
        insert = prepare(kInsertSql);
        update = prepare(kUpdateSql);
        remove = prepare(kDeleteSql);

        SQLUSMALLINT n = 1;
        bindText(insert, n++, sta);
        bindDouble(insert, n++, sps);
        bindInt(insert, n++, gain);
        bindText(insert, n++, cpath);
        bindInt(insert, n++, dataType);
        bindText(insert, n++, ch);
        bindText(insert, n++, creater);
        bindTimestamp(insert, n++);
        bindDouble(insert, n++, tbegin);
        bindDouble(insert, n++, tqty);
        bindInt(insert, n++, foff);

        n = 1;
        bindText(update, n++, sta);
        bindDouble(update, n++, sps);
        bindInt(update, n++, gain);
        bindInt(update, n++, dataType);
        bindText(update, n++, ch);
        bindText(update, n++, creater);
        bindTimestamp(update, n++);
        bindDouble(update, n++, tbegin);
        bindDouble(update, n++, tqty);
        bindInt(update, n++, foff);
        bindText(update, n++, cpath);

        bindText(remove, 1, cpath);
    }

    SQLHSTMT prepare(const char* sql) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_HANDLE_DBC, dbc);
        const SQLRETURN rc = SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS);
        if (!succeeded(rc)) {
            DatabaseError error{diagnostics(SQL_HANDLE_STMT, stmt)};
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            throw error;
        }
        return stmt;
    }

    void run(std::string sql) {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_HANDLE_DBC, dbc);
        const SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS);
        if (!succeeded(rc) && rc != SQL_NO_DATA) {
            DatabaseError error{diagnostics(SQL_HANDLE_STMT, stmt)};
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            throw error;
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }

    void bindText(SQLHSTMT stmt, SQLUSMALLINT n, Text& buffer) {
        check(SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, kTextCapacity, 0,
                               buffer.data(), SQLLEN(buffer.size()), &textInd),
              SQL_HANDLE_STMT, stmt);
    }
    void bindDouble(SQLHSTMT stmt, SQLUSMALLINT n, SQLDOUBLE& value) {
        check(SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &value, 0, &valueInd),
              SQL_HANDLE_STMT, stmt);
    }
    void bindInt(SQLHSTMT stmt, SQLUSMALLINT n, SQLINTEGER& value) {
        check(SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &value, 0, &valueInd),
              SQL_HANDLE_STMT, stmt);
    }
    void bindTimestamp(SQLHSTMT stmt, SQLUSMALLINT n) {
        check(SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 19, 0,
                               &lddate, 0, &valueInd),
              SQL_HANDLE_STMT, stmt);
    }

    // Runs a prepared statement; a searched UPDATE or DELETE that touches no
    // row answers SQL_NO_DATA, which is no error. @return rows affected.
    SQLLEN execute(SQLHSTMT stmt) {
        const SQLRETURN rc = SQLExecute(stmt);
        if (rc == SQL_NO_DATA) return 0;
        check(rc, SQL_HANDLE_STMT, stmt);
        SQLLEN rows = 0;
        check(SQLRowCount(stmt, &rows), SQL_HANDLE_STMT, stmt);
        SQLFreeStmt(stmt, SQL_CLOSE);
        return rows;
    }

    void endTransaction(SQLSMALLINT how) { check(SQLEndTran(SQL_HANDLE_DBC, dbc, how), SQL_HANDLE_DBC, dbc); }
};

namespace {

// Copies `text` into a bound buffer; a text that does not fit is refused
// rather than cut, since a cut path would name another file.
bool fill(std::array<char, FileListDatabase::kTextCapacity + 1>& buffer, std::string_view text) {
    if (text.size() > FileListDatabase::kTextCapacity || text.find('\0') != std::string_view::npos)
        return false;
    std::memcpy(buffer.data(), text.data(), text.size());
    buffer[text.size()] = '\0';
    return true;
}

}  // namespace

FileListDatabase::FileListDatabase(std::string creator, const platform::Clock& clock)
    : creator_(std::move(creator)), clock_(clock) {}

FileListDatabase::~FileListDatabase() { close(); }

int FileListDatabase::open(std::string_view connectionString) {
    close();
    auto connection = std::make_unique<Connection>();
    try {
        connection->connect(connectionString);
    } catch (const DatabaseError& e) {
        report(e.text);
        return -1;
    } catch (const std::exception& e) {
        report(e.what());
        return -1;
    }
    connection_ = std::move(connection);
    connectionString_ = connectionString;
    opened_ = true;
    down_ = false;
    return 0;
}

int FileListDatabase::openOrWait(std::string_view connectionString) {
    if (open(connectionString) == 0) return 0;
    // The same state as an outage that began with a failed write.
    const int64_t now = clock_.now();
    connectionString_ = connectionString;
    opened_ = true;
    down_ = true;
    downSince_ = now;
    pauseSeconds_ = 1;
    lastAttempt_ = now;
    nextAttempt_ = now + pauseSeconds_;
    journalErrorLogged_ = false;
    return -1;
}

void FileListDatabase::close() {
    // Rows a journal gave before the database was opened stay for it.
    if (!opened_) return;
    if (!waiting_.empty() && commit() != 0)
        VELT_LOG_ERROR(logName_, "%zu FILELIST rows lost: the database did not take them and no journal keeps them",
                       waiting_.size());
    waiting_.clear();
    connection_.reset();
    opened_ = false;
    down_ = false;
}

int FileListDatabase::setJournal(std::string path) {
    journalPath_ = std::move(path);
    journalOnDisk_ = false;
    journalErrorLogged_ = false;
    if (!platform::fileExists(journalPath_)) return 0;
    std::ifstream in(journalPath_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        VELT_LOG_ERROR(logName_, "cannot read %s: the FILELIST rows it holds are lost", journalPath_.c_str());
        return -1;
    }
    FileListJournalContents contents = decodeFileListJournal(text);
    if (!contents.recognised) {
        VELT_LOG_ERROR(logName_, "%s is no FILELIST journal: whatever rows it held are lost", journalPath_.c_str());
        return -1;
    }
    if (!contents.complete)
        VELT_LOG_ERROR(logName_, "%s is damaged: %d lines could not be read, their FILELIST rows are lost",
                       journalPath_.c_str(), std::max(contents.damagedLines, 1));
    // The journal's rows are older than any queued here: they go first.
    const std::size_t taken = contents.rows.size();
    std::vector<FileListChange> queued = std::move(waiting_);
    waiting_ = std::move(contents.rows);
    for (const FileListChange& change : queued) merge(change);
    journalOnDisk_ = true;
    journalDirty_ = !queued.empty() || !contents.complete;
    if (taken > 0)
        VELT_LOG_INFO(logName_, "%zu FILELIST rows that waited in %s are taken up again", taken,
                      journalPath_.c_str());
    if (opened_) commit();
    return int(taken);
}

int FileListDatabase::insertFile(std::string_view path, std::string_view station, std::string_view channel,
                                 double start, double duration, double rate, int32_t gain, int32_t dataType) {
    return store(true, record(path, station, channel, start, duration, rate, gain, dataType));
}

int FileListDatabase::updateFile(std::string_view path, std::string_view station, std::string_view channel,
                                 double start, double duration, double rate, int32_t gain, int32_t dataType) {
    return store(false, record(path, station, channel, start, duration, rate, gain, dataType));
}

int FileListDatabase::store(bool replace, const FileListRecord& r) {
    if (!opened_) return -1;
    for (const std::string* text : {&r.sta, &r.cpath, &r.ch, &r.creater})
        if (text->size() > kTextCapacity || text->find('\0') != std::string::npos) {
            VELT_LOG_ERROR(logName_, "a FILELIST text is longer than %zu characters: the row of %s is lost",
                           kTextCapacity, r.cpath.c_str());
            return -1;
        }
    merge(FileListChange{replace, r});
    if (groupCommit_) return 0;
    if (writeWaiting()) return 0;
    keepWaiting();
    return -1;
}

void FileListDatabase::merge(const FileListChange& change) {
    journalDirty_ = true;
    // A later change of a waiting row merges into it: one statement per
    // file and commit. An update after an insert stays an insert.
    for (FileListChange& row : waiting_)
        if (row.record.cpath == change.record.cpath) {
            row.replace = row.replace || change.replace;
            row.record = change.record;
            return;
        }
    waiting_.push_back(change);
}

int FileListDatabase::commit() {
    if (writeWaiting()) return 0;
    return keepWaiting();
}

bool FileListDatabase::writeWaiting() {
    if (waiting_.empty()) {
        removeJournal();
        return true;
    }
    if (!opened_) return false;
    std::string error;
    if (!connection_) {
        // The clock set back counts as the pause being over.
        const int64_t now = clock_.now();
        if (now < nextAttempt_ && now >= lastAttempt_) return false;
        auto connection = std::make_unique<Connection>();
        try {
            connection->connect(connectionString_);
        } catch (const DatabaseError& e) {
            error = e.text;
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!error.empty()) {
            failed(error);
            return false;
        }
        connection_ = std::move(connection);
    }
    // The journal goes first: should the program die between the table's
    // commit and the journal's removal, replaying it gives the table
    // exactly what it already has.
    if (journalOnDisk_ && journalDirty_) keepWaiting();
    if (write(waiting_.data(), waiting_.size(), error) != 0) {
        failed(error);
        return false;
    }
    if (down_) {
        down_ = false;
        VELT_LOG_INFO(logName_, "the FILELIST database answers again after %lld s: %zu rows that waited are written",
                      static_cast<long long>(clock_.now() - downSince_), waiting_.size());
    }
    waiting_.clear();
    removeJournal();
    return true;
}

void FileListDatabase::failed(const std::string& error) {
    connection_.reset();
    const int64_t now = clock_.now();
    lastAttempt_ = now;
    if (!down_) {
        down_ = true;
        downSince_ = now;
        pauseSeconds_ = 1;
        journalErrorLogged_ = false;
        report(error);
        VELT_LOG_WARNING(logName_,
                         "the FILELIST database does not answer: %zu rows wait and are written when it answers again",
                         waiting_.size());
    } else {
        pauseSeconds_ = std::min(kMaxRetryPauseSeconds, pauseSeconds_ * 2);
        VELT_LOG_DEBUG(logName_, "FILELIST database still away (%s); next try in %d s", error.c_str(), pauseSeconds_);
    }
    nextAttempt_ = now + pauseSeconds_;
}

int FileListDatabase::keepWaiting() {
    if (waiting_.empty()) return 0;
    if (journalOnDisk_ && !journalDirty_) return 0;
    if (!journalPath_.empty() && platform::writeFileAtomically(journalPath_, encodeFileListJournal(waiting_)) == 0) {
        journalOnDisk_ = true;
        journalDirty_ = false;
        return 0;
    }
    if (!journalErrorLogged_) {
        journalErrorLogged_ = true;
        if (journalPath_.empty())
            VELT_LOG_ERROR(logName_, "%zu FILELIST rows wait in memory only: a stop now loses them", waiting_.size());
        else
            VELT_LOG_ERROR(logName_, "cannot write %s: %zu FILELIST rows wait in memory only", journalPath_.c_str(),
                           waiting_.size());
    }
    return -1;
}

void FileListDatabase::removeJournal() {
    if (!journalOnDisk_) return;
    if (::unlink(journalPath_.c_str()) == 0 || errno == ENOENT) {
        platform::syncDirectory(platform::directoryOf(journalPath_));
        journalOnDisk_ = false;
        journalDirty_ = false;
    }
    // A journal that cannot be removed is written again in full at the next
    // outage; replaying it meanwhile is harmless.
}

FileListRecord FileListDatabase::record(std::string_view path, std::string_view station, std::string_view channel,
                                        double start, double duration, double rate, int32_t gain,
                                        int32_t dataType) const {
    FileListRecord r;
    r.sta = station;
    r.sps = rate;
    r.gain = gain;
    r.cpath = path;
    r.dataType = dataType;
    r.ch = channel;
    r.creater = creator_;
    r.lddate = clock_.now();
    r.tbegin = start;
    r.tqty = duration;
    return r;
}

int FileListDatabase::write(const FileListChange* rows, std::size_t count, std::string& error) {
    Connection& c = *connection_;
    try {
        try {
            for (std::size_t i = 0; i < count; ++i) {
                const FileListRecord& r = rows[i].record;
                // Texts were checked when the row was stored.
                fill(c.sta, r.sta);
                fill(c.cpath, r.cpath);
                fill(c.ch, r.ch);
                fill(c.creater, r.creater);
                c.sps = r.sps;
                c.gain = r.gain;
                c.dataType = r.dataType;
                c.tbegin = r.tbegin;
                c.tqty = r.tqty;
                c.foff = r.foff;
                const platform::CivilTime local = platform::localFromSeconds(r.lddate);
                c.lddate = SQL_TIMESTAMP_STRUCT{SQLSMALLINT(local.year),  SQLUSMALLINT(local.month),
                                                SQLUSMALLINT(local.day),   SQLUSMALLINT(local.hour),
                                                SQLUSMALLINT(local.minute), SQLUSMALLINT(local.second), 0};
                if (rows[i].replace) {
                    c.execute(c.remove);
                    c.execute(c.insert);
                } else if (c.execute(c.update) == 0) {
                    c.execute(c.insert);
                }
            }
            c.endTransaction(SQL_COMMIT);
        } catch (...) {
            SQLFreeStmt(c.insert, SQL_CLOSE);
            SQLFreeStmt(c.update, SQL_CLOSE);
            SQLFreeStmt(c.remove, SQL_CLOSE);
            SQLEndTran(SQL_HANDLE_DBC, c.dbc, SQL_ROLLBACK);
            throw;
        }
    } catch (const DatabaseError& e) {
        error = e.text;
        return -1;
    } catch (const std::exception& e) {
        error = e.what();
        return -1;
    }
    return 0;
}

}  // namespace velt::outputs

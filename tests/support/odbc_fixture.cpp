#include "support/odbc_fixture.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace velt::test {

namespace {

constexpr const char* kOdbcDir = "/usr/lib/x86_64-linux-gnu/odbc/";

std::string env(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? v : fallback;
}

std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string text;
    SQLCHAR state[6];
    SQLINTEGER native;
    SQLCHAR message[1024];
    SQLSMALLINT length;
    for (SQLSMALLINT i = 1; SQLGetDiagRec(type, handle, i, state, &native, message, sizeof message, &length) ==
                            SQL_SUCCESS;
         ++i)
        text += reinterpret_cast<const char*>(message) + std::string(" ");
    return text;
}

bool ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The statements of schema/filelist.sql, comments removed.
std::vector<std::string> schemaStatements() {
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "schema" /
                      "filelist.sql";
    std::ifstream in(path);
    std::string text, line;
    while (std::getline(in, line))
        if (line.rfind("--", 0) != 0) text += line + "\n";
    std::vector<std::string> statements;
    std::stringstream all(text);
    std::string statement;
    while (std::getline(all, statement, ';'))
        if (statement.find_first_not_of(" \r\n\t") != std::string::npos) statements.push_back(statement);
    return statements;
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

}  // namespace

namespace {

// The drivers' odbcinst.ini, an empty system odbc.ini and the user odbc.ini,
// one folder per process, removed at exit: the installer library remembers
// the ODBCSYSINI and ODBCINI it saw first, and the values it read.
struct DriverDirectory {
    std::string path;
    DriverDirectory() {
        std::string name = (std::filesystem::temp_directory_path() / "velt-odbc-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) return;
        path = name;
        writeText(path + "/odbcinst.ini", std::string("[SQLite3]\nDriver=") + kOdbcDir +
                                              "libsqlite3odbc.so\nDontDLClose=1\n\n[PostgreSQL]\nDriver=" +
                                              kOdbcDir + "psqlodbcw.so\nDontDLClose=1\n");
        writeText(path + "/odbc.ini", "");  // no system data sources
        // The SQLite driver loads the installer library for each connection and
        // unloads it with the ini values it cached still allocated. Kept loaded,
        // that cache stays reachable (and lives 20 seconds, hence a fresh data
        // source name for every test).
        ::dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_NODELETE);
    }
    ~DriverDirectory() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

const std::string& driverDirectory() {
    static const DriverDirectory dir;
    return dir.path;
}

}  // namespace

// psqlODBC loses a small buffer when a prepared statement fails on the
// server (the FILELIST-renamed case); that is the driver's, not ours.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() { return "leak:psqlodbcw.so\n"; }

std::string backendName(Backend backend) { return backend == Backend::SQLite ? "SQLite" : "PostgreSQL"; }

OdbcFixture::~OdbcFixture() {
    if (backend_ == Backend::PostgreSQL && dbc_ != nullptr && !schema_.empty())
        execute("DROP SCHEMA " + schema_ + " CASCADE");
    disconnect();
}

void OdbcFixture::disconnect() {
    if (dbc_ != nullptr) {
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    if (env_ != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, env_);
    dbc_ = env_ = nullptr;
}

std::string OdbcFixture::setUp(Backend backend, const std::string& dir, const std::string& pgPort) {
    backend_ = backend;
    static std::atomic<int> counter{0};
    const std::string id = std::to_string(counter++);
    const std::string up = "QRX_" + id, down = "QRX_DOWN_" + id;
    connection_ = "DSN=" + up + ";";
    refused_ = "DSN=" + down + ";";
    std::string user;
    if (backend == Backend::SQLite) {
        // As scripts/setup-odbc writes it: durable at every commit.
        dataSource_ = "Driver=SQLite3\nDatabase=" + dir + "/qrx.db\nTimeout=10000\nJournalMode=WAL\nSyncPragma=FULL\n";
        user = "[" + up + "]\n" + dataSource_ + "\n[" + down + "]\nDriver=SQLite3\nDatabase=" + dir +
               "/missing/folder/qrx.db\n";
    } else {
        const std::string port = pgPort.empty() ? env("VELT_PG_PORT", "") : pgPort;
        if (port.empty()) return "VELT_PG_PORT is not set: no PostgreSQL server for this run";
        schema_ = "velt_t" + std::to_string(::getpid()) + "_" + id;
        const std::string dbUser = env("VELT_PG_USER", "QRX");
        cardmillLogin_ = dbUser == "QRX";
        const std::string common = "Driver=PostgreSQL\nServername=" + env("VELT_PG_HOST", "127.0.0.1") +
                                   "\nDatabase=" + env("VELT_PG_DB", "velt_test") + "\nUsername=" + dbUser +
                                   "\nPassword=" + env("VELT_PG_PASSWORD", "") +
                                   "\nConnSettings=SET search_path TO " + schema_ + "\n";
        // Port 1 on loopback: nothing listens there, the connection is refused.
        dataSource_ = common + "Port=" + port + "\n";
        user = "[" + up + "]\n" + dataSource_ + "\n[" + down + "]\n" + common + "Port=1\n";
    }
    // The same user file for every test of the process, rewritten each time
    // with names never used before in this process.
    writeText(driverDirectory() + "/odbc-user.ini", user);
    ::setenv("ODBCSYSINI", driverDirectory().c_str(), 1);
    ::setenv("ODBCINI", (driverDirectory() + "/odbc-user.ini").c_str(), 1);

    const std::string why = connect();
    if (!why.empty()) return why;
    if (backend == Backend::PostgreSQL && execute("CREATE SCHEMA " + schema_) != 0) return "cannot create schema";
    for (const std::string& statement : schemaStatements())
        if (execute(statement) != 0) return "cannot create FILELIST";
    return "";
}

std::string OdbcFixture::connect() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::string connection = connection_;
    if (!ok(SQLDriverConnect(dbc_, nullptr, reinterpret_cast<SQLCHAR*>(connection.data()), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
        const std::string why = "cannot connect to the test database: " + diagnostics(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        dbc_ = nullptr;
        return why;
    }
    return "";
}

int OdbcFixture::reconnect() {
    disconnect();
    const std::string why = connect();
    if (why.empty()) return 0;
    ADD_FAILURE() << why;
    return -1;
}

int OdbcFixture::execute(const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    std::string text = sql;
    const SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    const bool good = ok(rc) || rc == SQL_NO_DATA;
    if (!good) ADD_FAILURE() << sql << ": " << diagnostics(SQL_HANDLE_STMT, stmt);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return good ? 0 : -1;
}

std::vector<outputs::FileListRecord> OdbcFixture::rows() {
    std::vector<outputs::FileListRecord> result;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    SQLCHAR sql[] =
        "SELECT STA, SPS, GAIN, CPATH, DATATYPE, CH, CREATER, LDDATE, TBEGIN, TQTY, FOFF FROM FILELIST ORDER BY CPATH";
    if (!ok(SQLExecDirect(stmt, sql, SQL_NTS))) {
        ADD_FAILURE() << diagnostics(SQL_HANDLE_STMT, stmt);
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return result;
    }
    const auto text = [&](SQLUSMALLINT column) {
        char buffer[512] = {};
        SQLLEN ind = 0;
        SQLGetData(stmt, column, SQL_C_CHAR, buffer, sizeof buffer, &ind);
        return std::string(ind == SQL_NULL_DATA ? "" : buffer);
    };
    const auto real = [&](SQLUSMALLINT column) {
        double v = 0;
        SQLLEN ind = 0;
        SQLGetData(stmt, column, SQL_C_DOUBLE, &v, 0, &ind);
        return v;
    };
    const auto integer = [&](SQLUSMALLINT column) {
        SQLINTEGER v = 0;
        SQLLEN ind = 0;
        SQLGetData(stmt, column, SQL_C_SLONG, &v, 0, &ind);
        return int32_t(v);
    };
    while (ok(SQLFetch(stmt))) {
        outputs::FileListRecord r;
        r.sta = text(1);
        r.sps = real(2);
        r.gain = integer(3);
        r.cpath = text(4);
        r.dataType = integer(5);
        r.ch = text(6);
        r.creater = text(7);
        SQL_TIMESTAMP_STRUCT ts{};
        SQLLEN ind = 0;
        SQLGetData(stmt, 8, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &ind);
        std::tm local{};
        local.tm_year = ts.year - 1900;
        local.tm_mon = ts.month - 1;
        local.tm_mday = ts.day;
        local.tm_hour = ts.hour;
        local.tm_min = ts.minute;
        local.tm_sec = ts.second;
        local.tm_isdst = -1;
        r.lddate = ind == SQL_NULL_DATA ? 0 : int64_t(std::mktime(&local));
        r.tbegin = real(9);
        r.tqty = real(10);
        r.foff = integer(11);
        result.push_back(std::move(r));
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return result;
}

}  // namespace velt::test

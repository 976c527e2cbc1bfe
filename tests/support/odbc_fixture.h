// A real FILELIST database for one test, reached over ODBC exactly as the
// programs reach it: the fixture writes its own odbcinst.ini and odbc.ini in
// a folder of the process, points ODBCSYSINI and ODBCINI at them and defines
// for each test two data sources of names never used before in the process
// (the installer library caches what it read for 20 seconds):
//   connection()         the working data source (a fresh table), and
//   refusedConnection()  a data source whose database refuses the connection.
// SQLite runs through its ODBC driver on a file in the test's folder.
// PostgreSQL runs through psqlODBC on the server named by VELT_PG_HOST
// (default 127.0.0.1), VELT_PG_PORT, VELT_PG_DB (default velt_test) and
// VELT_PG_USER (default QRX); each test gets a schema of its own, so tests
// may run in parallel. Without VELT_PG_PORT the PostgreSQL cases skip.
#pragma once

#include <string>
#include <vector>

#include "outputs/filelist_database.h"

namespace velt::test {

enum class Backend { SQLite, PostgreSQL };

/// Name for parameterised test names.
std::string backendName(Backend backend);

class OdbcFixture final {
public:
    OdbcFixture() = default;
    ~OdbcFixture();
    OdbcFixture(const OdbcFixture&) = delete;
    OdbcFixture& operator=(const OdbcFixture&) = delete;

    /// @brief Prepares the data sources in `dir` and creates the table from
    /// schema/filelist.sql; PostgreSQL on the server at `port` (default:
    /// VELT_PG_PORT). @return "" when ready, else why the backend is not
    /// available (the test should skip).
    std::string setUp(Backend backend, const std::string& dir, const std::string& port = "");

    /// @brief Closes the fixture's own connection (before its files go away).
    void disconnect();
    /// @brief Opens the fixture's own connection again (after a server restart).
    /// @return 0, or -1 (test failure recorded).
    int reconnect();

    /// @brief Every row of FILELIST, ordered by CPATH; LDDATE read back as
    /// local time. Fails the current test on a database error.
    std::vector<outputs::FileListRecord> rows();

    /// @brief Runs one statement. @return 0, or -1 (test failure recorded).
    int execute(const std::string& sql);

    /// @brief Connection string of the working data source, "DSN=...;".
    const std::string& connection() const { return connection_; }
    /// @brief The working data source's lines for an odbc.ini section
    /// ("Driver=...\n..."), for a program that names it "QRX".
    const std::string& dataSource() const { return dataSource_; }
    /// @brief Connection string of the refusing data source.
    const std::string& refusedConnection() const { return refused_; }
    /// @brief True when the cardmill login (UID=QRX;PWD=MKZ) is accepted.
    bool acceptsCardmillLogin() const { return cardmillLogin_; }

private:
    std::string connect();

    Backend backend_ = Backend::SQLite;
    std::string connection_, refused_, dataSource_;
    std::string schema_;  // PostgreSQL only
    bool cardmillLogin_ = true;
    void* env_ = nullptr;
    void* dbc_ = nullptr;
};

}  // namespace velt::test

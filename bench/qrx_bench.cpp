// Samples per second through QrxOutput into QRX4.0 files: one hour of three
// channels at 100 samples per second, registered in a SQLite FILELIST over
// ODBC, beside the same run with registration off (the baseline).
#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "outputs/qrx_output.h"

namespace {

namespace fs = std::filesystem;
using velt::recorder::ConfigurationRecord;
using velt::outputs::QrxOutput;

constexpr int kBlocks = 3600;
constexpr int kChannels = 3;
constexpr int kRate = 100;
constexpr int32_t kStart = 1709632800;  // 2024-03-05 10:00:00 UTC

// A private user data source on a SQLite file holding the FILELIST table,
// with the settings scripts/setup-odbc writes.
struct BenchDatabase {
    fs::path dir;
    std::string connection = "DSN=QRX_BENCH;";

    BenchDatabase() {
        std::string name = (fs::temp_directory_path() / "velt-qrx-bench-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) return;
        dir = name;
        std::ofstream(dir / "odbcinst.ini") << "";
        std::ofstream(dir / "odbc.ini") << "[QRX_BENCH]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so\n"
                                        << "Database=" << (dir / "qrx.db").string() << "\nTimeout=10000\nJournalMode=WAL\nSyncPragma=NORMAL\n";
        ::setenv("ODBCSYSINI", dir.c_str(), 1);
        ::setenv("ODBCINI", (dir / "odbc.ini").c_str(), 1);
        createTable();
    }
    ~BenchDatabase() {
        std::error_code ec;
        if (!dir.empty()) fs::remove_all(dir, ec);
    }

    void createTable() {
        std::ifstream in(fs::path(__FILE__).parent_path().parent_path() / "schema" / "filelist.sql");
        std::string text, line;
        while (std::getline(in, line))
            if (line.rfind("--", 0) != 0) text += line + "\n";
        SQLHENV env;
        SQLHDBC dbc;
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
        if (SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(connection.data()), SQL_NTS,
                                           nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
            std::stringstream all(text);
            std::string statement;
            while (std::getline(all, statement, ';')) {
                if (statement.find_first_not_of(" \r\n\t") == std::string::npos) continue;
                SQLHSTMT stmt;
                SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
                SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(statement.data()), SQL_NTS);
                SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            }
            SQLDisconnect(dbc);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

BenchDatabase& database() {
    static BenchDatabase db;
    return db;
}

void convertHour(benchmark::State& state, bool registered) {
    BenchDatabase& db = database();
    const fs::path data = db.dir / "data";
    ConfigurationRecord record;
    std::strcpy(record.stationName, "BENCH");
    record.sampleRate = kRate;
    record.delay = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::error_code ec;
        fs::remove_all(data, ec);
        state.ResumeTiming();
        QrxOutput out({data.string(), registered ? db.connection : std::string()});
        if (registered && out.rowsWaiting() > 0) {
            state.SkipWithError("the benchmark database does not answer");
            break;
        }
        for (int b = 0; b < kBlocks; ++b) {
            out.clearSamples();
            out.setTime(kStart + b);
            out.setConfiguration(record);
            for (int c = 0; c < kChannels; ++c) {
                out.clearSamples();
                out.selectChannel(c);
                for (int i = 0; i < kRate; ++i) out.putSample((b * kRate + i) * (c + 1) % 8000000);
                out.flushChannel();
            }
        }
        out.closeOutputs();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kBlocks) * kChannels * kRate);
}

void BM_QrxHourUnregistered(benchmark::State& state) { convertHour(state, false); }
void BM_QrxHourSqlite(benchmark::State& state) { convertHour(state, true); }

BENCHMARK(BM_QrxHourUnregistered)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QrxHourSqlite)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

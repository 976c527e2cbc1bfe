// FILELIST rows written through the real ODBC drivers, SQLite and PostgreSQL
// alike: one row per file whatever happened to the table in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>

#include "outputs/filelist_database.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "support/odbc_fixture.h"
#include "support/temp_dir.h"

namespace velt::outputs {
namespace {

using test::Backend;

// Log lines of the running test (the log sink is a plain function).
std::vector<std::string>* logged = nullptr;
void keepLine(platform::LogLevel, const std::string& line) {
    if (logged != nullptr) logged->push_back(line);
}
struct LogCapture {
    std::vector<std::string> lines;
    LogCapture() {
        logged = &lines;
        platform::setLogSink(keepLine);
    }
    ~LogCapture() {
        platform::setLogSink(nullptr);
        logged = nullptr;
    }
    int count(const std::string& text) const {
        return int(std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }
};

class FileListDatabaseTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        const std::string why = db.setUp(GetParam(), dir.path());
        if (!why.empty()) GTEST_SKIP() << why;
    }

    test::TempDir dir;
    test::OdbcFixture db;
    platform::ManualClock clock{1705314645};  // 2024-01-15 10:30:45 UTC, no DST change nearby
};

TEST_P(FileListDatabaseTest, InsertThenUpdateKeepsOneRowWithEveryColumn) {
    FileListDatabase filelist("2QRX", clock);
    ASSERT_EQ(filelist.open(db.connection()), 0);
    const std::string path = "STA1/15012024-103000-BHZ.STA1";
    ASSERT_EQ(filelist.insertFile(path, "STA1", "BHZ", 1705314599.45181, 499.0, 100.0, 1, 3), 0);

    auto rows = db.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].sta, "STA1");
    EXPECT_EQ(rows[0].sps, 100.0);
    EXPECT_EQ(rows[0].gain, 1);
    EXPECT_EQ(rows[0].cpath, path);
    EXPECT_EQ(rows[0].dataType, 3);
    EXPECT_EQ(rows[0].ch, "BHZ");
    EXPECT_EQ(rows[0].creater, "2QRX");
    EXPECT_EQ(rows[0].lddate, 1705314645);
    EXPECT_DOUBLE_EQ(rows[0].tbegin, 1705314599.45181);
    EXPECT_EQ(rows[0].tqty, 499.0);
    EXPECT_EQ(rows[0].foff, 512);

    clock.advance(101);
    ASSERT_EQ(filelist.updateFile(path, "STA1", "BHZ", 1705314599.45181, 600.0, 100.0, 1, 3), 0);
    rows = db.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].tqty, 600.0);
    EXPECT_EQ(rows[0].lddate, 1705314645 + 101);
}

TEST_P(FileListDatabaseTest, RecreatedFileReplacesItsRowAndVanishedRowComesBack) {
    FileListDatabase filelist("2QRX", clock);
    ASSERT_EQ(filelist.open(db.connection()), 0);
    ASSERT_EQ(filelist.insertFile("A/x", "A", "BHZ", 100.0, 10.0, 100.0, 1, 3), 0);
    ASSERT_EQ(filelist.insertFile("A/y", "A", "BHN", 100.0, 10.0, 100.0, 1, 3), 0);
    ASSERT_EQ(filelist.insertFile("A/x", "A", "BHZ", 200.0, 20.0, 100.0, 1, 3), 0);
    auto rows = db.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].cpath, "A/x");
    EXPECT_EQ(rows[0].tbegin, 200.0);
    EXPECT_EQ(rows[0].tqty, 20.0);

    db.execute("DELETE FROM FILELIST WHERE CPATH = 'A/x'");
    ASSERT_EQ(filelist.updateFile("A/x", "A", "BHZ", 200.0, 620.0, 100.0, 1, 3), 0);
    rows = db.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].cpath, "A/x");
    EXPECT_EQ(rows[0].tbegin, 200.0);
    EXPECT_EQ(rows[0].tqty, 620.0);
    EXPECT_EQ(rows[1].tqty, 10.0);  // the other file's row untouched
}

TEST_P(FileListDatabaseTest, ApostropheAndQuotesInPathAreStoredVerbatim) {
    FileListDatabase filelist("2QRX", clock);
    ASSERT_EQ(filelist.open(db.connection()), 0);
    const std::string path = "O'B/01012024-000000-BHZ.O'B";
    const std::string injection = "X/' OR '1'='1";
    ASSERT_EQ(filelist.insertFile(path, "O'B", "BHZ", 1.0, 2.0, 100.0, 1, 3), 0);
    ASSERT_EQ(filelist.insertFile(injection, "X", "BHZ", 1.0, 2.0, 100.0, 1, 3), 0);
    ASSERT_EQ(filelist.updateFile(path, "O'B", "BHZ", 1.0, 5.0, 100.0, 1, 3), 0);
    const auto rows = db.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].cpath, path);
    EXPECT_EQ(rows[0].sta, "O'B");
    EXPECT_EQ(rows[0].tqty, 5.0);
    EXPECT_EQ(rows[1].cpath, injection);
    EXPECT_EQ(rows[1].tqty, 2.0);
}

TEST_P(FileListDatabaseTest, CardmillLoginWritesTheSameTable) {
    if (!db.acceptsCardmillLogin()) GTEST_SKIP() << "the test server has no QRX login";
    FileListDatabase filelist("2QRX", clock);
    ASSERT_EQ(filelist.open(db.connection() + "UID=QRX;PWD=MKZ;"), 0);
    ASSERT_EQ(filelist.insertFile("C/f", "C", "HHZ", 5.0, 1.0, 200.0, 1, 3), 0);
    ASSERT_EQ(db.rows().size(), 1u);
}

TEST_P(FileListDatabaseTest, ErrorsArePrintedAndLaterWritesSucceed) {
    FileListDatabase refused("2QRX", clock);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(refused.open(db.refusedConnection()), -1);
    EXPECT_FALSE(refused.isOpen());
    EXPECT_EQ(refused.insertFile("A/x", "A", "BHZ", 1.0, 1.0, 100.0, 1, 3), -1);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');

    FileListDatabase filelist("2QRX", clock);
    ASSERT_EQ(filelist.open(db.connection()), 0);
    ASSERT_EQ(filelist.insertFile("A/x", "A", "BHZ", 1.0, 1.0, 100.0, 1, 3), 0);
    db.execute("ALTER TABLE FILELIST RENAME TO FILELIST_AWAY");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(filelist.updateFile("A/x", "A", "BHZ", 1.0, 2.0, 100.0, 1, 3), -1);
    out = ::testing::internal::GetCapturedStdout();
    std::string lower = out;
    for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(lower.find("filelist"), std::string::npos) << out;  // the driver names the missing table
    EXPECT_EQ(out.back(), '\n');

    db.execute("ALTER TABLE FILELIST_AWAY RENAME TO FILELIST");
    clock.advance(1);  // the database is tried again after a pause of a second
    ASSERT_EQ(filelist.updateFile("A/x", "A", "BHZ", 1.0, 3.0, 100.0, 1, 3), 0);
    const auto rows = db.rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].tqty, 3.0);
}

// An outage (the table gone) in the middle of a group-committed run: the
// rows wait in the journal, in order and merged per file; the database is
// tried again after 1 s, then 2 s; a run that crashed meanwhile replays the
// journal, and the first run writing the same rows afterwards leaves one row
// per file. One line says the database went away, one that it is back.
TEST_P(FileListDatabaseTest, OutageRowsWaitInTheJournalAndReplayOnce) {
    LogCapture log;
    const std::string journal = dir.file("filelist.journal");
    FileListDatabase filelist("2QRX", clock);
    ASSERT_EQ(filelist.open(db.connection()), 0);
    EXPECT_EQ(filelist.setJournal(journal), 0);
    filelist.setGroupCommit(true);
    ASSERT_EQ(filelist.insertFile("A/x", "A", "BHZ", 100.0, 10.0, 100.0, 1, 3), 0);
    ASSERT_EQ(filelist.commit(), 0);

    db.execute("ALTER TABLE FILELIST RENAME TO FILELIST_AWAY");
    ::testing::internal::CaptureStdout();
    filelist.updateFile("A/x", "A", "BHZ", 100.0, 20.0, 100.0, 1, 3);
    filelist.insertFile("A/y", "A", "BHN", 110.0, 5.0, 100.0, 1, 3);
    EXPECT_EQ(filelist.commit(), 0);  // kept in the journal
    EXPECT_EQ(filelist.backlog(), 2u);
    EXPECT_TRUE(std::filesystem::exists(journal));
    filelist.updateFile("A/y", "A", "BHN", 110.0, 15.0, 100.0, 1, 3);  // merges into the waiting insert
    EXPECT_EQ(filelist.commit(), 0);
    clock.advance(1);
    EXPECT_EQ(filelist.commit(), 0);  // tried again, still away: the next pause is 2 s
    db.execute("ALTER TABLE FILELIST_AWAY RENAME TO FILELIST");
    clock.advance(1);
    EXPECT_EQ(filelist.commit(), 0);
    EXPECT_EQ(filelist.backlog(), 2u);
    ASSERT_EQ(db.rows().size(), 1u);
    EXPECT_FALSE(::testing::internal::GetCapturedStdout().empty());  // the driver's text, once

    // A run that crashed here and starts again takes the journal's rows up first.
    const std::string crashed = dir.file("crashed.journal");
    std::filesystem::copy_file(journal, crashed);
    {
        FileListDatabase restarted("2QRX", clock);
        ASSERT_EQ(restarted.open(db.connection()), 0);
        EXPECT_EQ(restarted.setJournal(crashed), 2);
        EXPECT_FALSE(std::filesystem::exists(crashed));
    }
    auto rows = db.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].tqty, 20.0);
    EXPECT_EQ(rows[1].cpath, "A/y");
    EXPECT_EQ(rows[1].tbegin, 110.0);
    EXPECT_EQ(rows[1].tqty, 15.0);

    clock.advance(1);
    EXPECT_EQ(filelist.commit(), 0);
    EXPECT_EQ(filelist.backlog(), 0u);
    EXPECT_FALSE(std::filesystem::exists(journal));
    rows = db.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].tqty, 20.0);
    EXPECT_EQ(rows[1].tqty, 15.0);
    EXPECT_EQ(log.count("does not answer"), 1) << ::testing::PrintToString(log.lines);
    EXPECT_EQ(log.count("answers again after 3 s: 2 rows"), 1) << ::testing::PrintToString(log.lines);
}

INSTANTIATE_TEST_SUITE_P(Databases, FileListDatabaseTest,
                         ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         [](const auto& info) { return test::backendName(info.param); });

// Another program holds an SQLite write transaction open for 2.5 s: the
// row waits for the lock, however short the data source's own timeout.
TEST(FileListDatabaseSqlite, LockedTableIsWaitedForWithoutError) {
    test::TempDir dir;
    test::OdbcFixture db;
    ASSERT_EQ(db.setUp(Backend::SQLite, dir.path()), "");
    platform::ManualClock clock{1705314645};
    LogCapture log;
    FileListDatabase filelist("2QRX", clock);
    ASSERT_EQ(filelist.open(db.connection() + "Timeout=1;"), 0);
    ASSERT_EQ(filelist.insertFile("A/x", "A", "BHZ", 100.0, 10.0, 100.0, 1, 3), 0);
    ASSERT_EQ(db.execute("BEGIN IMMEDIATE"), 0);
    db.execute("INSERT INTO FILELIST (STA, CPATH) VALUES ('B', 'B/z')");
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        db.execute("COMMIT");
    });
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(filelist.updateFile("A/x", "A", "BHZ", 100.0, 20.0, 100.0, 1, 3), 0);
    other.join();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(log.lines.empty()) << ::testing::PrintToString(log.lines);
    const auto rows = db.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].tqty, 20.0);
}

}  // namespace
}  // namespace velt::outputs

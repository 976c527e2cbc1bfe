// QRX4.0 files and their FILELIST rows as a user finds them after feeding
// blocks through QrxOutput: samples read back, header lines, names, rows.
// Expected names, headers and times are worked out by hand from the format.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "outputs/qrx_output.h"
#include "platform/endian.h"
#include "support/odbc_fixture.h"
#include "support/temp_dir.h"

namespace velt::outputs {
namespace {

namespace fs = std::filesystem;
using test::Backend;

constexpr int32_t kT0 = 1709632800;  // 2024-03-05 10:00:00 UTC

struct QrxFile {
    bool exists = false;
    std::string header;
    std::vector<float> samples;
};

QrxFile readQrx(const std::string& path) {
    QrxFile f;
    const std::vector<uint8_t> bytes = test::readFile(path);
    if (bytes.size() < 512) return f;
    f.exists = true;
    f.header.assign(bytes.begin(), bytes.begin() + 512);
    for (size_t at = 512; at + 4 <= bytes.size(); at += 4)
        f.samples.push_back(std::bit_cast<float>(platform::get_u32le(&bytes[at])));
    EXPECT_EQ((bytes.size() - 512) % 4, 0u) << path;
    return f;
}

std::string line(const std::string& header, const std::string& key) {
    const size_t at = header.find(key);
    if (at == std::string::npos) return "<missing>";
    return header.substr(at + key.size(), header.find("\r\n", at) - at - key.size());
}

std::string header512(const std::string& text) {
    std::string h = text;
    h.push_back('\0');
    h.resize(512, ' ');
    return h;
}

// Distinct, exactly representable values for every channel, second and index.
int32_t sampleValue(int channel, int64_t t, int i) {
    return int32_t((t * 131 + i * 7 + channel * 1000003) % 16000000 - 8000000);
}

std::vector<float> expectedRun(int channel, int64_t from, int64_t to, int perBlock) {
    std::vector<float> v;
    for (int64_t t = from; t <= to; ++t)
        for (int i = 0; i < perBlock; ++i) v.push_back(float(sampleValue(channel, t, i)));
    return v;
}

ConfigurationRecord record(const char* station, std::vector<const char*> channels, uint32_t rate, uint32_t delay) {
    ConfigurationRecord r;
    std::strncpy(r.stationName, station, sizeof r.stationName - 1);
    for (size_t c = 0; c < channels.size(); ++c) std::strncpy(r.channelName[c], channels[c], 14);
    r.sampleRate = rate;
    r.delay = delay;
    return r;
}

// One block in the decoder's calling order, for the listed channels only.
void feed(OutputSink& out, const ConfigurationRecord& r, int64_t t, std::vector<int> channels) {
    out.clearSamples();
    out.setTime(int32_t(t));
    out.setConfiguration(r);
    for (int c : channels) {
        out.clearSamples();
        out.selectChannel(c);
        for (int i = 0; i < int(r.sampleRate); ++i) out.putSample(sampleValue(c, t, i));
        out.flushChannel();
    }
}

class QrxOutputTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        const std::string why = db.setUp(GetParam(), dir.path());
        if (!why.empty()) GTEST_SKIP() << why;
    }
    std::string data() const { return dir.path() + "/data"; }
    QrxSettings settings() const { return {data(), db.connection()}; }

    test::TempDir dir;
    test::OdbcFixture db;
};

TEST_P(QrxOutputTest, MaxBlockAndRunLimitCycleFillsHourlyFiles) {
    const auto r = record("STA", {"BHZ", "BHN", "BHE"}, 100, 0);
    QrxOutput out(settings());
    ASSERT_TRUE(out.registering());
    const std::string first = data() + "/STA/05032024-100000-BHZ.STA";
    const std::string second = data() + "/STA/05032024-110000-BHZ.STA";

    struct Check {
        int block;                 // 1-based block just fed
        size_t samples;            // in the first file (0: absent)
        const char* duration;
    };
    const std::vector<Check> checks = {
        {499, 0, ""},           {500, 49900, "00 08 19"},  {600, 49900, "00 08 19"},
        {601, 60000, "00 10 00"}, {1100, 109900, "00 18 19"}, {1201, 120000, "00 20 00"},
        {3600, 349900, "00 58 19"}, {3601, 360000, "01 00 00"}, {4099, 360000, "01 00 00"},
    };
    size_t next = 0;
    for (int b = 1; b <= 4100; ++b) {
        feed(out, r, kT0 + b - 1, {0, 1, 2});
        if (next < checks.size() && checks[next].block == b) {
            const Check& c = checks[next++];
            SCOPED_TRACE("after block " + std::to_string(b));
            out.commit();  // rows are written at the commit
            const QrxFile f = readQrx(first);
            ASSERT_EQ(f.exists, c.samples != 0);
            const auto rows = db.rows();
            if (c.samples == 0) {
                EXPECT_TRUE(rows.empty());
                continue;
            }
            EXPECT_EQ(f.samples.size(), c.samples);
            EXPECT_EQ(line(f.header, "Time duration="), c.duration);
            EXPECT_EQ(f.samples.back(), float(sampleValue(0, kT0 + int64_t(c.samples / 100) - 1, 99)));
            ASSERT_EQ(rows.size(), 3u);
            EXPECT_EQ(rows[2].cpath, "STA/05032024-100000-BHZ.STA");
            EXPECT_EQ(rows[2].tbegin, double(kT0));
            EXPECT_NEAR(rows[2].tqty, double(c.samples) / 100, 1e-6);
            EXPECT_FALSE(fs::exists(second));
        }
    }
    // Block 4100 writes blocks 3601..4099 into the next hour's file.
    const QrxFile f1 = readQrx(first);
    EXPECT_EQ(f1.header, header512("[QRX4.0]\r\nData offset=512\r\nStart time=10 00 00\r\nStart date=05 03 2024\r\n"
                                   "Time duration=01 00 00\r\nData Type=FLOAT\r\nSpS=100.000000\r\nGain=1\r\n"
                                   "Station=STA\r\nChannels=\"BHZ\"\r\n"));
    EXPECT_EQ(f1.samples, expectedRun(0, kT0, kT0 + 3599, 100));
    EXPECT_EQ(readQrx(data() + "/STA/05032024-100000-BHE.STA").samples, expectedRun(2, kT0, kT0 + 3599, 100));
    const QrxFile f2 = readQrx(second);
    EXPECT_EQ(line(f2.header, "Start time="), "11 00 00");
    EXPECT_EQ(f2.samples, expectedRun(0, kT0 + 3600, kT0 + 4098, 100));
    out.commit();
    const auto rows = db.rows();
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[5].cpath, "STA/05032024-110000-BHZ.STA");
    EXPECT_EQ(rows[5].tbegin, double(kT0 + 3600));
    EXPECT_NEAR(rows[5].tqty, 499.0, 1e-6);
}

TEST_P(QrxOutputTest, GapOnOneChannelEndsEveryRunButOnlyThatChannelsFile) {
    const auto r = record("STA", {"BHZ", "BHN"}, 100, 0);
    QrxOutput out(settings());
    for (int64_t t = kT0; t < kT0 + 10; ++t) feed(out, r, t, t == kT0 + 5 ? std::vector<int>{0} : std::vector<int>{0, 1});
    // The gap on BHN wrote both pending runs at once.
    EXPECT_EQ(readQrx(data() + "/STA/05032024-100000-BHZ.STA").samples.size(), 700u);
    EXPECT_EQ(readQrx(data() + "/STA/05032024-100000-BHN.STA").samples, expectedRun(1, kT0, kT0 + 4, 100));

    out.closeOutputs();
    feed(out, r, kT0 + 10, {0, 1});  // closeOutputs ends no file
    out.closeOutputs();

    const QrxFile z = readQrx(data() + "/STA/05032024-100000-BHZ.STA");
    EXPECT_EQ(z.samples, expectedRun(0, kT0, kT0 + 10, 100));
    EXPECT_EQ(line(z.header, "Time duration="), "00 00 11");
    const QrxFile n2 = readQrx(data() + "/STA/05032024-100006-BHN.STA");
    EXPECT_EQ(line(n2.header, "Start time="), "10 00 06");
    EXPECT_EQ(n2.samples, expectedRun(1, kT0 + 6, kT0 + 10, 100));

    const auto rows = db.rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].cpath, "STA/05032024-100000-BHN.STA");
    EXPECT_NEAR(rows[0].tqty, 5.0, 1e-9);
    EXPECT_EQ(rows[1].cpath, "STA/05032024-100000-BHZ.STA");
    EXPECT_NEAR(rows[1].tqty, 11.0, 1e-9);
    EXPECT_EQ(rows[2].cpath, "STA/05032024-100006-BHN.STA");
    EXPECT_EQ(rows[2].tbegin, double(kT0 + 6));
    EXPECT_NEAR(rows[2].tqty, 5.0, 1e-9);
}

TEST_P(QrxOutputTest, GroupDelayMovesStartAndShortNamesArePadded) {
    const auto r = record("AB", {"Z"}, 100, 54819);  // 0.54819 s
    const int64_t noon = kT0 + 7200;                  // 12:00:00
    // Converting the same data again never replaces the first file: the
    // second goes beside it under a free name, with a row of its own.
    for (int pass = 0; pass < 2; ++pass) {
        QrxOutput out(settings());
        for (int64_t t = noon; t < noon + 3; ++t) feed(out, r, t, {0});
    }
    EXPECT_EQ(readQrx(data() + "/AB/05032024-115959-  Z. AB.1").samples, expectedRun(0, noon, noon + 2, 100));
    const QrxFile f = readQrx(data() + "/AB/05032024-115959-  Z. AB");
    EXPECT_EQ(f.header, header512("[QRX4.0]\r\nData offset=512\r\nStart time=11 59 59\r\nStart date=05 03 2024\r\n"
                                  "Time duration=00 00 03\r\nData Type=FLOAT\r\nSpS=100.000000\r\nGain=1\r\n"
                                  "Station=AB\r\nChannels=\"Z\"\r\n"));
    EXPECT_EQ(f.samples, expectedRun(0, noon, noon + 2, 100));
    const auto rows = db.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].cpath, "AB/05032024-115959-  Z. AB");
    EXPECT_EQ(rows[1].cpath, "AB/05032024-115959-  Z. AB.1");
    EXPECT_NEAR(rows[0].tbegin, double(noon) - 0.54819, 1e-6);
    EXPECT_EQ(rows[0].sta, "AB");
    EXPECT_EQ(rows[0].ch, "Z");
    EXPECT_EQ(rows[0].sps, 100.0);
}

TEST_P(QrxOutputTest, OneSamplePerSecondWritesEveryBlockAsItsOwnRun) {
    const auto r = record("STA", {"BHZ"}, 1, 0);
    QrxOutput out(settings());
    const std::string path = data() + "/STA/05032024-100000-BHZ.STA";
    for (int k = 0; k < 5; ++k) {
        feed(out, r, kT0 + k, {0});
        out.commit();
        EXPECT_EQ(readQrx(path).samples.size(), size_t(k));
        if (k > 0) {
            const auto rows = db.rows();
            ASSERT_EQ(rows.size(), 1u);
            EXPECT_EQ(rows[0].tqty, double(k));
        }
    }
    out.closeOutputs();
    const QrxFile f = readQrx(path);
    EXPECT_EQ(f.samples, expectedRun(0, kT0, kT0 + 4, 1));
    EXPECT_EQ(line(f.header, "SpS="), "1.000000");
    EXPECT_EQ(line(f.header, "Time duration="), "00 00 05");
    EXPECT_EQ(db.rows().at(0).tqty, 5.0);
}

// A database away at start is an outage: the files are written, their rows
// wait in the journal through a stop, and the run that finds the database
// answering writes them all, once. The refusing SQLite data source's database
// lies in a folder that does not exist; it appears as a link to the real one.
TEST_P(QrxOutputTest, DatabaseAwayAtStartKeepsTheRowsUntilItAnswers) {
    if (GetParam() != Backend::SQLite) GTEST_SKIP() << "only the SQLite data source can be made to answer";
    const auto r = record("STA", {"BHZ"}, 100, 0);
    const std::string journal = data() + "/filelist-in-0.journal";
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    {
        QrxOutput out({data(), db.refusedConnection()}, QrxOutput::kDefaultMaxBlock, "filelist-in-0.journal");
        EXPECT_TRUE(out.registering());
        feed(out, r, kT0, {0});
        feed(out, r, kT0 + 2, {0});  // gap: a second file
        out.closeOutputs();
        EXPECT_EQ(out.rowsWaiting(), 2u);
    }
    EXPECT_TRUE(fs::exists(journal));
    {
        QrxOutput out({data(), db.refusedConnection()}, QrxOutput::kDefaultMaxBlock, "filelist-in-0.journal");
        feed(out, r, kT0 + 4, {0});
        out.closeOutputs();
        EXPECT_EQ(out.rowsWaiting(), 3u);
        fs::create_directory(dir.path() + "/missing");
        fs::create_directory_symlink(dir.path(), dir.path() + "/missing/folder");
        // Tried again after a pause of a second.
        for (int i = 0; i < 100 && out.rowsWaiting() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            out.commit();
        }
        EXPECT_EQ(out.rowsWaiting(), 0u);
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(::testing::internal::GetCapturedStdout().empty());  // the driver's own text
    const auto count = [&](const std::string& text) {
        int n = 0;
        for (std::size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("rows wait in " + journal), 2) << err;  // once per run
    EXPECT_EQ(count("does not answer"), 0) << err;
    EXPECT_EQ(count("3 rows that waited are written"), 1) << err;
    EXPECT_FALSE(fs::exists(journal));
    const auto rows = db.rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].cpath, "STA/05032024-100000-BHZ.STA");
    EXPECT_EQ(rows[1].cpath, "STA/05032024-100002-BHZ.STA");
    EXPECT_EQ(rows[2].cpath, "STA/05032024-100004-BHZ.STA");
    for (const auto& row : rows) EXPECT_EQ(row.tqty, 1.0) << row.cpath;
    EXPECT_EQ(readQrx(data() + "/STA/05032024-100004-BHZ.STA").samples, expectedRun(0, kT0 + 4, kT0 + 4, 100));
}

INSTANTIATE_TEST_SUITE_P(Databases, QrxOutputTest, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         [](const auto& info) { return test::backendName(info.param); });

// The cases below concern the files alone and run without a database.

TEST(QrxFiles, ChannelCaseSharesATraceAndANewRateGetsANewFile) {
    test::TempDir dir;
    {
        QrxOutput out({dir.path(), ""});
        auto r = record("STA", {"BHZ"}, 100, 0);
        for (int64_t t = kT0; t < kT0 + 5; ++t) feed(out, r, t, {0});
        std::strcpy(r.channelName[0], "bhz");
        for (int64_t t = kT0 + 5; t < kT0 + 10; ++t) feed(out, r, t, {0});
        r.sampleRate = 50;
        for (int64_t t = kT0 + 10; t < kT0 + 12; ++t) feed(out, r, t, {0});
    }
    EXPECT_EQ(readQrx(dir.path() + "/STA/05032024-100000-BHZ.STA").samples, expectedRun(0, kT0, kT0 + 9, 100));
    const QrxFile slow = readQrx(dir.path() + "/STA/05032024-100010-bhz.STA");
    EXPECT_EQ(slow.samples, expectedRun(0, kT0 + 10, kT0 + 11, 50));
    EXPECT_EQ(line(slow.header, "SpS="), "50.000000");
}

TEST(QrxFiles, NamesFromTheStreamCannotLeaveTheDataDirectory) {
    test::TempDir dir;
    const std::string data = dir.path() + "/data";
    {
        QrxOutput out({data, ""});
        feed(out, record("..", {"../x", "a\\b\n"}, 100, 0), kT0, {0, 1});
    }
    std::vector<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
        if (e.is_regular_file()) files.push_back(fs::relative(e.path(), dir.path()).string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"data/_/05032024-100000-.._x.  _", "data/_/05032024-100000-a_b_.  _"}));
    const QrxFile f = readQrx(data + "/_/05032024-100000-a_b_.  _");
    EXPECT_EQ(line(f.header, "Channels="), "\"a_b_\"");
    EXPECT_EQ(f.samples, expectedRun(1, kT0, kT0, 100));
}

TEST(QrxFiles, FileMovedAwayBetweenWritesContinuesInANewFile) {
    test::TempDir dir;
    const auto r = record("STA", {"BHZ"}, 100, 0);
    QrxOutput out({dir.path(), ""}, 2);
    for (int64_t t = kT0; t < kT0 + 3; ++t) feed(out, r, t, {0});  // block 3 writes blocks 1-2
    const std::string first = dir.path() + "/STA/05032024-100000-BHZ.STA";
    ASSERT_EQ(readQrx(first).samples.size(), 200u);
    fs::remove(first);
    ::testing::internal::CaptureStderr();
    for (int64_t t = kT0 + 3; t < kT0 + 5; ++t) feed(out, r, t, {0});  // block 5 writes blocks 3-4
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("new file"), std::string::npos);
    EXPECT_EQ(readQrx(dir.path() + "/STA/05032024-100002-BHZ.STA").samples, expectedRun(0, kT0 + 2, kT0 + 3, 100));
}

TEST(QrxFiles, AppendAfterAnInterruptedWriteStaysAligned) {
    test::TempDir dir;
    const auto r = record("STA", {"BHZ"}, 100, 0);
    QrxOutput out({dir.path(), ""}, 2);
    for (int64_t t = kT0; t < kT0 + 3; ++t) feed(out, r, t, {0});
    const std::string path = dir.path() + "/STA/05032024-100000-BHZ.STA";
    test::writeFile(path, {0x12, 0x34}, std::ios::app);  // half a sample
    ::testing::internal::CaptureStderr();
    for (int64_t t = kT0 + 3; t < kT0 + 5; ++t) feed(out, r, t, {0});
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("partial sample"), std::string::npos);
    EXPECT_EQ(readQrx(path).samples, expectedRun(0, kT0, kT0 + 3, 100));
}

}  // namespace
}  // namespace velt::outputs

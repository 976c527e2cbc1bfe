// The EPR? answer and the whole conversation with a recorder, in virtual time.
#include <gtest/gtest.h>

#include "platform/file_util.h"
#include "support/temp_dir.h"
#include "veltedit/eeprom_session.h"
#include "veltedit/epr_answer.h"
#include "fake_recorder.h"

namespace velt::test {
namespace {

using veltedit::EepromSession;
using veltedit::EprAnswer;
using platform::fileExists;

Image countingImage() {
    Image image;
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
    return image;
}

std::string stops(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "STOP\r\n";
    return s;
}

bool feed(EprAnswer& answer, const std::string& text) {
    answer.reset();
    for (char c : text)
        if (answer.push(uint8_t(c))) return true;
    return false;
}

std::string joined(const std::vector<std::string>& lines, std::size_t skip = 99) {
    std::string text = "EPR?\r\n";  // the recorder's echo comes first
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (i != skip) text += lines[i];
    return text + ">";
}

TEST(EprAnswer, ThirtyTwoLinesInOrderAndThePromptMakeTheImage) {
    const Image image = countingImage();
    const auto lines = dumpLines(image);
    EprAnswer answer;
    ASSERT_TRUE(feed(answer, joined(lines)));
    EXPECT_TRUE(answer.complete());
    EXPECT_EQ(answer.image(), image);

    // Without the first line every later address mismatches.
    ASSERT_TRUE(feed(answer, joined(lines, 0)));
    EXPECT_FALSE(answer.complete());
    EXPECT_EQ(answer.count(), 0);

    // Without the last one the prompt comes at 496 bytes: no image.
    ASSERT_TRUE(feed(answer, joined(lines, 31)));
    EXPECT_EQ(answer.count(), 496);
    EXPECT_FALSE(answer.complete());

    // A matching line for address 200 after the image is not stored but fails the read.
    std::string extra = lines[0];
    extra.replace(1, 4, "0200");
    std::string text = joined(lines);
    text.insert(text.size() - 1, extra);
    ASSERT_TRUE(feed(answer, text));
    EXPECT_FALSE(answer.complete());
}

TEST(EprAnswer, CarriageReturnsAnywhereAndLoneLineFeedsChangeNothing) {
    const Image image = countingImage();
    std::string text;
    for (const std::string& line : dumpLines(image)) {
        std::string bare = line.substr(0, line.size() - 2);
        bare.insert(10, "\r");
        text += "\r" + bare + "\n";
    }
    EprAnswer answer;
    ASSERT_TRUE(feed(answer, text + ">"));
    EXPECT_TRUE(answer.complete());
    EXPECT_EQ(answer.image(), image);
}

TEST(EprAnswer, LinesAreTakenByAddressAndFieldPositionsOnly) {
    uint8_t out[16];
    const std::string good = dumpLines(countingImage())[1];
    const std::string line = good.substr(0, good.size() - 2);
    EXPECT_TRUE(veltedit::parseDataLine(line, 16, out));
    EXPECT_EQ(out[0], uint8_t(16 * 7));
    EXPECT_FALSE(veltedit::parseDataLine(line, 0, out));                // arriving first
    EXPECT_FALSE(veltedit::parseDataLine(line.substr(0, 53), 16, out));  // last field cut
    std::string separators = line;
    for (std::size_t i = 9; i < separators.size(); i += 3) separators[i] = '#';
    separators[5] = separators[6] = 'x';
    EXPECT_TRUE(veltedit::parseDataLine(separators, 16, out));
    std::string badField = line;
    badField[7] = 'G';
    EXPECT_FALSE(veltedit::parseDataLine(badField, 16, out));
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() : recorder(sampleImage()), session(recorder, pacer) {
        files.dump = dir.file("testeeprom");
        files.kept = dir.file("testeeprom.read");
    }
    TempDir dir;
    FakeRecorder recorder;
    VirtualPacer pacer;
    EepromSession session;
    veltedit::WriteBackFiles files;
    veltedit::WriteBackReport report;
};

TEST_F(SessionTest, OneChangedByteIsWrittenAloneAfterTheBackups) {
    const Image before = recorder.image;
    ASSERT_TRUE(session.connect());
    EXPECT_EQ(session.receivedImage(), before);
    // One stop attempt: byte-by-byte rounds, then the whole command, then the read.
    EXPECT_EQ(recorder.sent, stops(6) + "EPR?\n");
    // The attempt runs its fixed drains: 1 + 5 x (0.6 + 2) + 1 s, each whole-second wait t-1..t s.
    EXPECT_GE(pacer.millis, 8000);
    EXPECT_LE(pacer.millis, 18000);

    const std::size_t mark = recorder.sent.size();
    session.editImage()[35] = 0x41;
    EXPECT_TRUE(session.commit(files, report));
    EXPECT_EQ(recorder.sentSince(mark), "EPRW023=41\nEPR?\n");  // then read back
    EXPECT_EQ(report.sent, 1);
    EXPECT_EQ(report.unanswered, 0);

    Image edited = before;
    edited[35] = 0x41;
    EXPECT_EQ(recorder.image, edited);
    EXPECT_EQ(readFile(files.dump), std::vector<uint8_t>(edited.begin(), edited.end()));
    EXPECT_EQ(report.keptAs, files.kept);
    EXPECT_EQ(readFile(files.kept), std::vector<uint8_t>(before.begin(), before.end()));

    // A second save keeps the first backup and takes the next free name.
    session.editImage()[36] = 0x42;
    EXPECT_TRUE(session.commit(files, report));
    EXPECT_EQ(report.keptAs, files.kept + ".1");
}

TEST_F(SessionTest, AReadBackShowsBytesTheStationDidNotTakeAndARetryWritesThem) {
    ASSERT_TRUE(session.connect());
    recorder.ignoreWrites = true;
    session.editImage()[36] = 0x42;
    EXPECT_FALSE(session.commit(files, report));
    EXPECT_EQ(report.differing, std::vector<std::size_t>({36}));
    EXPECT_NE(report.describe(files).find("024 (station name)"), std::string::npos) << report.describe(files);
    recorder.ignoreWrites = false;
    ASSERT_TRUE(session.reread());
    EXPECT_TRUE(session.commit(files, report));
    EXPECT_EQ(recorder.image[36], 0x42);
}

TEST_F(SessionTest, AStopDuringAWriteFinishesTheValueBeingWritten) {
    ASSERT_TRUE(session.connect());
    Image& edit = session.editImage();
    const std::size_t calib = veltedit::channelRecord(1) + veltedit::kRecCalibration;
    for (std::size_t i = 0; i < 4; ++i) edit[calib + i] = uint8_t(0x10 + i);
    edit[veltedit::channelRecord(1) + veltedit::kRecPeriod] = 0x20;
    recorder.afterWrite = [this] { session.requestStop(); };
    EXPECT_FALSE(session.commit(files, report));
    EXPECT_TRUE(report.interrupted);
    EXPECT_EQ(report.sent, 4);  // the whole calibration float, not the period after it
    EXPECT_EQ(std::vector<uint8_t>(recorder.image.begin() + long(calib), recorder.image.begin() + long(calib + 4)),
              std::vector<uint8_t>({0x10, 0x11, 0x12, 0x13}));
    const std::size_t mark = recorder.sent.size();
    EXPECT_EQ(session.restart(), 0);  // the restart still goes out and is waited for
    EXPECT_EQ(recorder.sentSince(mark), "RST\n");
}

TEST_F(SessionTest, AStopRequestEndsTheConversationAtOnce) {
    recorder.silent = true;
    pacer.stopAt = 3000;
    EXPECT_FALSE(session.connect());
    EXPECT_LT(pacer.millis, 4000);
    EXPECT_EQ(recorder.sent.find("EPR?"), std::string::npos);
}

TEST_F(SessionTest, NoChangeSendsOnlyTheRestart) {
    ASSERT_TRUE(session.connect());
    const std::size_t mark = recorder.sent.size();
    EXPECT_TRUE(session.commit(files, report));
    EXPECT_EQ(recorder.sentSince(mark), "");
    EXPECT_FALSE(fileExists(files.kept));
}

TEST_F(SessionTest, AnIncompleteAnswerIsNoImageAndSaveWritesNothing) {
    recorder.skipLine = 31;
    EXPECT_FALSE(session.connect());
    session.editImage()[35] = 0x41;
    const std::size_t mark = recorder.sent.size();
    EXPECT_EQ(session.writeBack(files, report), EepromSession::kNotRead);
    EXPECT_EQ(recorder.sentSince(mark), "");
    EXPECT_FALSE(fileExists(files.dump));
}

TEST_F(SessionTest, AnUnwritableBackupStopsTheWriteBack) {
    ASSERT_TRUE(session.connect());
    session.editImage()[35] = 0x41;
    files.kept = dir.file("missing/testeeprom.read");
    const std::size_t mark = recorder.sent.size();
    EXPECT_FALSE(session.commit(files, report));
    EXPECT_EQ(recorder.sentSince(mark), "");
    EXPECT_NE(report.describe(files).find("missing/testeeprom.read"), std::string::npos);
}

TEST_F(SessionTest, ASilentRecorderGetsFiveAttemptsThenTheReadTimesOut) {
    recorder.silent = true;
    EXPECT_FALSE(session.connect());
    EXPECT_EQ(recorder.sent, stops(30) + "EPR?\n");
    // Five attempts of 8..18 s with their pauses, the drain and the 5-s read: about 1.5 minutes at most.
    EXPECT_GE(pacer.millis, 5 * 8000 + 4000);
    EXPECT_LE(pacer.millis, 5 * 19000 + 6000);

    const std::size_t mark = recorder.sent.size();
    session.cancel();
    EXPECT_EQ(recorder.sentSince(mark), "RST\nRST\nRST\n");
}

}  // namespace
}  // namespace velt::test

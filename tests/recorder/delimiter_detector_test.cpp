#include "recorder/delimiter_detector.h"

#include <gtest/gtest.h>

#include <vector>

namespace velt::recorder {
namespace {

// Pushes every byte and returns the 1-based positions at which check() fired.
std::vector<int> delimiterPositions(DelimiterDetector& d, const std::vector<uint8_t>& bytes) {
    std::vector<int> at;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        d.push(bytes[i]);
        if (d.check()) at.push_back(int(i + 1));
    }
    return at;
}

TEST(DelimiterDetector, RunsOf0x7FAreRecognisedOnceAtTheFourthByteAfterANonDelimiterByte) {
    DelimiterDetector d;
    // Five 0x7F after a non-0x7F byte: one delimiter at the fourth; the fifth starts the next block.
    EXPECT_EQ(delimiterPositions(d, {0x01, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F}), std::vector<int>({5}));
    EXPECT_EQ(d.length(), 5);

    DelimiterDetector e;
    // Three 0x7F are no delimiter; a run of eight yields only one.
    EXPECT_EQ(delimiterPositions(e, {0x01, 0x7F, 0x7F, 0x7F, 0x02, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F}),
              std::vector<int>({9}));

    DelimiterDetector f;
    // At stream start the missing byte before the run counts as not 0x7F.
    EXPECT_EQ(delimiterPositions(f, {0x7F, 0x7F, 0x7F, 0x7F, 0x00}), std::vector<int>({4}));
}

TEST(DelimiterDetector, MeasuresLengthsAndCountsRepeats) {
    DelimiterDetector d;
    const std::vector<uint8_t> block10 = {1, 2, 3, 4, 5, 6, 0x7F, 0x7F, 0x7F, 0x7F};
    std::vector<uint8_t> stream;
    for (int i = 0; i < 3; ++i) stream.insert(stream.end(), block10.begin(), block10.end());
    EXPECT_EQ(delimiterPositions(d, stream).size(), 3u);
    EXPECT_EQ(d.length(), 10);
    EXPECT_EQ(d.repeats(), 2);

    // A different length starts a new run.
    delimiterPositions(d, {9, 0x7F, 0x7F, 0x7F, 0x7F});
    EXPECT_EQ(d.length(), 5);
    EXPECT_EQ(d.repeats(), 0);

    // A second check() of the same byte reports nothing.
    EXPECT_FALSE(d.check());

    // reset(): the next block starts a new run even with the same length.
    d.reset();
    EXPECT_EQ(d.length(), -1);
    delimiterPositions(d, {9, 0x7F, 0x7F, 0x7F, 0x7F});
    EXPECT_EQ(d.length(), 5);
    EXPECT_EQ(d.repeats(), 0);
}

TEST(DelimiterDetector, ResetForgetsAPartialRun) {
    DelimiterDetector d;
    delimiterPositions(d, {0x01, 0x7F, 0x7F});
    d.reset();
    // After the reset the two earlier 0x7F no longer count.
    EXPECT_TRUE(delimiterPositions(d, {0x7F, 0x7F}).empty());
    EXPECT_EQ(delimiterPositions(d, {0x7F, 0x7F}), std::vector<int>({2}));
    EXPECT_EQ(d.length(), 4);
}

}  // namespace
}  // namespace velt::recorder

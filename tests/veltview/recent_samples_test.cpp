// The status page's sample rows: a page asking after its last row gets
// exactly the rows it lacks, no more than the last minute, each row's time
// from the recorder's marks, and a rate change starts a new series.
#include <gtest/gtest.h>

#include "veltview/recent_samples.h"

namespace velt::veltview {
namespace {

void addRows(RecentSamples& s, int count, int32_t from) {
    for (int32_t r = from; r < from + count; ++r) {
        const int32_t row[3] = {r, -r, 2 * r};
        s.addRow(row);
    }
}

TEST(RecentSamples, AnswersTheRowsAfterAndTheirTime) {
    RecentSamples s;
    s.setRate(10);
    s.setChannels({"HHZ", "HHN", "HHE"});
    EXPECT_EQ(s.json(0), "{\"rate\":10,\"channels\":[\"HHZ\",\"HHN\",\"HHE\"],\"first\":0,\"next\":0,"
                         "\"start_time\":null,\"rows\":[]}\n");
    addRows(s, 20, 0);
    s.markTime(1767225602);  // the 20 rows end at 2026-01-01T00:00:02
    EXPECT_EQ(s.json(17), "{\"rate\":10,\"channels\":[\"HHZ\",\"HHN\",\"HHE\"],\"first\":17,\"next\":20,"
                          "\"start_time\":\"2026-01-01T00:00:01.700Z\",\"rows\":[[17,-17,34],[18,-18,36],[19,-19,38]]}\n");
    // Beyond the ring's minute the oldest rows are gone: an old page gets what is kept.
    addRows(s, 600, 20);
    const std::string late = s.json(3);
    EXPECT_NE(late.find("\"first\":20,\"next\":620"), std::string::npos) << late.substr(0, 120);
    EXPECT_NE(late.find("\"rows\":[[20,-20,40],"), std::string::npos);
    // A new rate: the numbers go on, the time is unknown until the next mark.
    s.setRate(20);
    addRows(s, 1, 7);
    EXPECT_EQ(s.json(0), "{\"rate\":20,\"channels\":[\"HHZ\",\"HHN\",\"HHE\"],\"first\":620,\"next\":621,"
                           "\"start_time\":null,\"rows\":[[7,-7,14]]}\n");
}

}  // namespace
}  // namespace velt::veltview

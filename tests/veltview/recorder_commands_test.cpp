// The monitor's commands to the recorder, against a scripted recorder that
// answers as the protocol says (or stays silent), and once against the
// simulated recorder over TCP.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "link/simulator.h"
#include "link/socket_link.h"
#include "veltview/recorder_commands.h"

namespace velt::veltview {
namespace {

/// A link whose far end is a script: each complete line written gets the
/// answer the script gives (nothing while silent).
class ScriptedLink final : public link::DeviceLink {
public:
    bool silent = false;
    std::string written;

    int isOpen() override { return 1; }
    int available() override { return int(incoming_.size()); }
    uint8_t readByte() override {
        if (incoming_.empty()) return 0xFF;
        const uint8_t b = incoming_.front();
        incoming_.pop_front();
        return b;
    }
    int read(uint8_t* buffer, int count) override {
        int n = 0;
        while (n < count && !incoming_.empty()) buffer[n++] = readByte();
        return n;
    }
    int service() override { return 0; }
    int open() override { return 0; }
    int close() override { return 0; }
    int writeSpace() override { return 100; }
    int write(const uint8_t* data, int count) override {
        for (int i = 0; i < count; ++i) {
            written += char(data[i]);
            if (data[i] != '\n') {
                line_ += char(data[i]);
                continue;
            }
            if (!silent) answer(line_);
            line_.clear();
        }
        return count;
    }

private:
    void answer(const std::string& line) {
        std::string reply = ">";
        if (line == "CNF?") reply = "noise\r\nStName:   ALPHA\r\nChName(0): HHZ\r\nChName(1): HHN\r\n"
                                    "ChName(2): HHE\r\nSPS: 100\r\n>";
        else if (line == "RST") reply = "";
        incoming_.insert(incoming_.end(), reply.begin(), reply.end());
    }
    std::deque<uint8_t> incoming_;
    std::string line_;
};

struct RecordingPanel final : PanelStatus {
    std::vector<std::string> lines;
    void showStatus(int line, const std::string& text) override { lines.push_back(std::to_string(line) + ":" + text); }
};

/// The operator's edit: a new station with a space in it and another rate.
struct EditingScreen final : ParameterScreen {
    bool save = true;
    ParameterSet seen;
    bool edit(ParameterSet& p) override {
        seen = p;
        p.station = "AB CD";
        p.rate = "200";
        return save;
    }
};

CommandTimings quick() {
    CommandTimings t;
    t.promptMs = 20;
    t.shortPauseMs = 1;
    t.settleMs = 5;
    t.answerMs = 50;
    t.restartDrainMs = 5;
    t.giveUpMs = 300;
    return t;
}

TEST(RecorderCommandsTest, CalibrationCommandsAreExactBytes) {
    ScriptedLink link;
    RecordingPanel panel;
    const std::atomic<bool> stop{false};
    RecorderCommands commands(link, panel, stop, quick());
    commands.calibrate(Calibration::Pulse, 1);
    commands.calibrate(Calibration::Random, 0);
    commands.calibrate(Calibration::Stop, 2);
    EXPECT_EQ(link.written, "CLB2P\nCLB1R\nCLE\n");
}

TEST(ConfigurationAnswerTest, ReadsTheFiveItemsAndNothingElse) {
    ParameterSet p;
    ConfigurationAnswer answer(p);
    for (const char* line : {"", ">", "SPS: 75", "ChName(1):   BHN", "StName:", "ChName(7): X"}) answer.parseLine(line);
    EXPECT_EQ(p.rate, "100");  // 75 is not a choice, but it counts
    // So does an empty station name (a recorder without one), or its answer never completes.
    EXPECT_EQ(answer.received(),
              ConfigurationAnswer::kRate | ConfigurationAnswer::kChannel1 | ConfigurationAnswer::kStation);
    EXPECT_EQ(p.channels[1], "BHN");
    // A line beyond the 20-character buffer keeps its first 20 characters.
    for (const char c : std::string("StName: ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n")) answer.push(uint8_t(c));
    EXPECT_EQ(p.station, "ABCDEFGHIJKL");
    for (const char c : std::string("SPS: 200\n")) answer.push(uint8_t(c));
    EXPECT_EQ(p.rate, "200");
}

TEST(RecorderCommandsTest, ParameterDialogueSendsEveryByteInOrder) {
    ScriptedLink link;
    RecordingPanel panel;
    EditingScreen screen;
    const std::atomic<bool> stop{false};
    RecorderCommands commands(link, panel, stop, quick());
    ParameterSet p;
    ASSERT_EQ(commands.editParameters(p, screen), RecorderCommands::kDone);
    EXPECT_EQ(screen.seen.station, "ALPHA");
    EXPECT_EQ(screen.seen.channels[2], "HHE");
    EXPECT_EQ(link.written, "STOP\nCNF?\n\nSTN=AB\nCH0=HHZ\nCH1=HHN\nCH2=HHE\nSPS=200\n\n\n\nRST\n");
    EXPECT_EQ(panel.lines, (std::vector<std::string>{"29:please wait ....", "29:" + std::string(16, ' '),
                                                     "28:1        ", "28:2       ", "28:3       ", "28:4       ",
                                                     "28:Saved!!!!"}));
    // CANCEL restarts without saving.
    link.written.clear();
    screen.save = false;
    ASSERT_EQ(commands.editParameters(p, screen), RecorderCommands::kDone);
    EXPECT_EQ(link.written, "STOP\nCNF?\n\n\n\nRST\n");
}

TEST(RecorderCommandsTest, ASilentRecorderIsGivenUpAndAStopEndsTheWait) {
    ScriptedLink link;
    link.silent = true;
    RecordingPanel panel;
    EditingScreen screen;
    std::atomic<bool> stop{false};
    RecorderCommands commands(link, panel, stop, quick());
    ParameterSet p;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(commands.editParameters(p, screen), RecorderCommands::kNoAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(panel.lines.back(), "29:recorder does not answer");
    EXPECT_EQ(link.written.rfind("\n\n\nRST\n"), link.written.size() - 7);  // restarted all the same
    stop = true;
    EXPECT_EQ(commands.stopAndReadConfiguration(p), RecorderCommands::kStopped);
}

TEST(RecorderCommandsTest, SavesToTheSimulatedRecorder) {
    test::Simulator sim({"--tcp", "127.0.0.1:0", "--speed", "20", "--station", "ALPHA"});
    const std::string line = sim.firstLine();
    const std::string prefix = "veltsim serve: listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    link::SocketLink link(link::Endpoint{"127.0.0.1", std::stoi(line.substr(prefix.size()))});
    ASSERT_EQ(link.open(), 0) << link.lastError();
    RecordingPanel panel;
    EditingScreen screen;
    const std::atomic<bool> stop{false};
    CommandTimings timings;
    timings.restartDrainMs = 100;
    RecorderCommands commands(link, panel, stop, timings);
    ParameterSet p;
    ASSERT_EQ(commands.editParameters(p, screen), RecorderCommands::kDone);
    EXPECT_EQ(screen.seen.station, "ALPHA");
    // The recorder now runs with what was saved.
    ParameterSet after;
    ASSERT_EQ(commands.stopAndReadConfiguration(after), RecorderCommands::kDone);
    EXPECT_EQ(after.station, "AB");
    EXPECT_EQ(after.rate, "200");
    commands.restart();
}

}  // namespace
}  // namespace velt::veltview

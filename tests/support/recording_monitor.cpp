#include "support/recording_monitor.h"

namespace velt::test {

void RecordingStatusMonitor::add(const char* op, int input, int64_t a, int64_t b, const char* text) {
    Call c;
    c.op = op;
    c.input = input;
    c.a = a;
    c.b = b;
    if (text) c.text = text;
    calls.push_back(std::move(c));
}

void RecordingStatusMonitor::logLine(int input, const char* text) {
    add("logLine", input, 0, 0, text);
}

int RecordingStatusMonitor::count(const std::string& op) const {
    int n = 0;
    for (const Call& c : calls) n += c.op == op;
    return n;
}

const RecordingStatusMonitor::Call* RecordingStatusMonitor::last(const std::string& op) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
        if (it->op == op) return &*it;
    }
    return nullptr;
}

std::vector<std::string> RecordingStatusMonitor::logTexts() const {
    std::vector<std::string> texts;
    for (const Call& c : calls) {
        if (c.op == "logLine") texts.push_back(c.text);
    }
    return texts;
}

int RecordingStatusMonitor::countLines(const std::string& prefix) const {
    int n = 0;
    for (const Call& c : calls) n += c.op == "logLine" && c.text.rfind(prefix, 0) == 0;
    return n;
}

int64_t RecordingStatusMonitor::lastValue(const std::string& op, int64_t none) const {
    const Call* c = last(op);
    return c != nullptr ? c->a : none;
}

std::vector<int64_t> RecordingStatusMonitor::values(const std::string& op) const {
    std::vector<int64_t> v;
    for (const Call& c : calls) {
        if (c.op == op) v.push_back(c.a);
    }
    return v;
}

}  // namespace velt::test

// A recorder at the far end of a scripted link, answering the editor's
// commands in virtual time, and an image builder for the tests.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link/device_link.h"
#include "veltedit/eeprom_image.h"
#include "veltedit/pacer.h"

namespace velt::test {

using veltedit::Image;

/// Time that only moves when the editor pauses or idles.
class VirtualPacer final : public veltedit::Pacer {
public:
    int64_t seconds() override { return 1'000'000 + millis / 1000; }
    void pause(int ms) override { millis += ms; }
    void idle(link::DeviceLink&, int ms) override { millis += ms; }
    bool stopRequested() override { return stopAt >= 0 && millis >= stopAt; }
    int64_t millis = 0;
    int64_t stopAt = -1;  // virtual time of a stop request; -1: none
};

/// The "EPR?" answer of `image`: "!AAAA: HH ... HH\r\n" per 16 bytes.
inline std::vector<std::string> dumpLines(const Image& image) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < image.size(); at += 16) {
        char line[80];
        int n = std::snprintf(line, sizeof line, "!%4.4X:", unsigned(at));
        for (std::size_t i = 0; i < 16; ++i) n += std::snprintf(line + n, sizeof line - std::size_t(n), " %2.2X", image[at + i]);
        lines.push_back(std::string(line) + "\r\n");
    }
    return lines;
}

/// A fresh-looking image: signature, three channels at 100 s/s, names.
inline Image sampleImage() {
    Image image;
    image.fill(0xFF);
    const uint8_t head[] = {0x55, 0xAA, 0x2A, 0x00};
    std::copy(std::begin(head), std::end(head), image.begin());
    image[veltedit::kChannelCount] = 3;
    image[veltedit::kRateByte] = 0x09;
    const char station[] = "VELT1";
    std::copy(station, station + 5, image.begin() + veltedit::kStationName);
    image[veltedit::kStationName + 5] = 0x00;
    return image;
}

/// Answers every LF-ended command line written to it, as a stopped
/// recorder does: "EPR?" with the image, "EPRWaaa=hh" by changing it, and
/// everything else with the prompt alone.
class FakeRecorder final : public link::DeviceLink {
public:
    explicit FakeRecorder(Image image) : image(image) {}

    int isOpen() override { return dropped ? 0 : 1; }
    int available() override { return int(pending_.size()); }
    uint8_t readByte() override {
        if (pending_.empty()) return 0xFF;
        const uint8_t b = uint8_t(pending_.front());
        pending_.pop_front();
        return b;
    }
    int read(uint8_t*, int) override { return 0; }
    int service() override { return 0; }
    int open() override { return 0; }
    int close() override { return 0; }
    int writeSpace() override { return 100000; }
    int write(const uint8_t* data, int count) override {
        if (dropped) return -1;
        for (int i = 0; i < count; ++i) {
            sent += char(data[i]);
            if (data[i] == '\n') {
                answer(line_);
                line_.clear();
            } else if (data[i] != '\r') {
                line_ += char(data[i]);
            }
        }
        return count;
    }

    /// Everything written to the link since `from` (an index into `sent`).
    std::string sentSince(std::size_t from) const { return sent.substr(from); }

    Image image;
    std::string sent;
    bool silent = false;        // answers nothing at all
    int skipLine = -1;          // an EPR? answer line left out
    std::string extraLine;      // sent after the 32 lines of an EPR? answer
    bool ignoreWrites = false;  // answers EPRW but keeps its image
    int dropAtWrite = -1;       // the link drops when this EPRW (1, 2, ...) has changed the image
    bool dropped = false;
    std::function<void()> afterWrite;  // called after each EPRW is answered

private:
    void answer(const std::string& line) {
        if (silent) return;
        std::string out;
        if (line == "EPR?") {
            const auto lines = dumpLines(image);
            for (int i = 0; i < int(lines.size()); ++i)
                if (i != skipLine) out += lines[std::size_t(i)];
            out += extraLine;
        } else if (line.size() == 10 && line.compare(0, 4, "EPRW") == 0 && line[7] == '=') {
            if (!ignoreWrites)
                image[std::stoul(line.substr(4, 3), nullptr, 16) & 0x1FF] = uint8_t(std::stoul(line.substr(8, 2), nullptr, 16));
            if (++writes_ == dropAtWrite) {
                dropped = true;
                return;
            }
            if (afterWrite) afterWrite();
        }
        out += '>';
        pending_.insert(pending_.end(), out.begin(), out.end());
    }

    std::string line_;
    std::deque<char> pending_;
    int writes_ = 0;
};

}  // namespace velt::test

#include "simulated_recorder.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/clock.h"
#include "platform/log.h"
#include "recorder/block_format.h"
#include "write_command.h"

namespace veltsim::serve {

namespace {

using velt::recorder::EncoderSettings;
using velt::recorder::StreamEncoder;

constexpr std::size_t kGarbageBytes = 7;
constexpr uint32_t kRestartNumberMask = 0xFFFFFF;
constexpr uint8_t kPrompt = '>';
constexpr std::size_t kAnsweredChannels = 3;  // the channels CNF? names

// All of `text` as a hexadecimal number.
bool parseHex(std::string_view text, unsigned& value) {
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value, 16);
    return error == std::errc() && at == end;
}

}  // namespace

void Recorder::startSession(int64_t now) {
    if (encoder_) {
        settings_.restartNumber = (settings_.restartNumber + 1) & kRestartNumberMask;
        if (changed_) ++settings_.configNumber;
    }
    changed_ = false;
    EncoderSettings s = settings_;
    // The converter stamps the block carrying mark M with M + 1: the first
    // block of the session gets the current second.
    s.firstMarkSeconds = uint32_t(velt::platform::systemClock().now() - 1);
    encoder_.emplace(s);
    streaming_ = true;
    sessionStart_ = now;
    sessionBlocks_ = 0;
}

void Recorder::produce(int64_t now, OutputQueue* out) {
    for (int64_t due = nextBlockAt(); due >= 0 && due <= now; due = nextBlockAt()) {
        ++sessionBlocks_;
        ++made_;
        if (!out || out->full()) {
            encoder_->skipBlockNumbers(1);
            continue;
        }
        if (every(options_.badChecksumEvery)) encoder_->damageNextBlock({.badChecksum = true});
        // A block the layout cannot carry (a run of 0x7F in its status bytes) is lost.
        if (encoder_->encodeBlocks(1, signal_, out->bytes) < 0) encoder_->skipBlockNumbers(1);
        if (every(options_.garbageEvery)) StreamEncoder::appendGarbage(out->bytes, kGarbageBytes, made_);
    }
}

void Recorder::command(std::string_view line, int64_t now, OutputQueue& out) {
    if (line == "RST") {
        startSession(now);
        return;
    }
    if (line == "STOP") {
        streaming_ = false;  // the blocks queued so far go out whole, the prompt after them
    } else if (streaming_) {
        return;  // calibration commands and anything else: logged only
    } else if (line == "CNF?") {
        appendConfiguration(out);
    } else if (line == "EPR?") {
        std::string dump;
        eeprom::appendDump(image_, dump);
        out.append(dump);
    } else if (line.starts_with("EPRW")) {
        writeByte(line);
    } else {
        storeValue(line);
    }
    out.bytes.push_back(kPrompt);
}

void Recorder::appendConfiguration(OutputQueue& out) const {
    std::string text = "StName: " + settings_.stationName + "\r\n";
    for (std::size_t c = 0; c < kAnsweredChannels; ++c) {
        text += "ChName(" + std::to_string(c) + "): ";
        if (c < settings_.channelNames.size()) text += settings_.channelNames[c];
        text += "\r\n";
    }
    text += "SPS: " + std::to_string(settings_.sampleRate) + "\r\n";
    out.append(text);
}

// "STN=NAME", "CH0=NAME" .. "CH2=NAME", "SPS=RATE": a valid value is kept
// for the next session; anything else changes nothing.
void Recorder::storeValue(std::string_view line) {
    if (line.size() < 4 || line[3] != '=') return;
    const std::string_view key = line.substr(0, 3);
    const std::string value(line.substr(4));
    if (key == "STN") {
        if (validStationName(value)) change(settings_.stationName, value);
    } else if (key == "CH0" || key == "CH1" || key == "CH2") {
        const std::size_t c = std::size_t(key[2] - '0');
        if (c < settings_.channelNames.size() && validChannelName(value)) change(settings_.channelNames[c], value);
    } else if (key == "SPS") {
        int64_t rate = 0;
        if (parseInteger(value.c_str(), 10, 1, velt::recorder::kMaxSampleRate, rate)) change(settings_.sampleRate, int(rate));
    }
}

// "EPRWaaa=hh": the byte at address aaa (three hexadecimal digits) becomes hh.
void Recorder::writeByte(std::string_view line) {
    constexpr std::size_t kLength = 10, kAddress = 4, kAddressDigits = 3, kEquals = 7, kValue = 8, kValueDigits = 2;
    unsigned address = 0, value = 0;
    if (line.size() != kLength || line[kEquals] != '=' || !parseHex(line.substr(kAddress, kAddressDigits), address) ||
        !parseHex(line.substr(kValue, kValueDigits), value) || address >= eeprom::kImageBytes)
        return;
    if (image_[address] == value) return;
    image_[address] = uint8_t(value);
    if (!options_.eeprom.empty() && eeprom::saveImage(options_.eeprom, image_) != 0)
        VELT_LOG_ERROR(kWho, "cannot save %s: %s", options_.eeprom.c_str(), std::strerror(errno));
}

}  // namespace veltsim::serve

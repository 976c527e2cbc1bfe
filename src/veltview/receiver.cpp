#include "veltview/receiver.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <span>

#include "platform/calendar.h"
#include "platform/endian.h"
#include "recorder/block_format.h"
#include "recorder/config_stream_codes.h"

namespace velt::veltview {

namespace {

constexpr int kStatusColumns = 22;  // the status line's part of row 29; the menu and "Sh" follow
constexpr double kDegreesPerRadian = 57.295780490442965;
constexpr std::size_t kStationChars = 10, kChannelChars = 5, kSensorChars = 16;
constexpr std::size_t kTimeChars = 23;  // "dd/mm/yyyy hh:mm:ss.mmm"

template <typename... Args>
std::string format(const char* f, Args... args) {
    char text[64];
    std::snprintf(text, sizeof text, f, args...);
    return text;
}

std::string textOf(std::span<const uint8_t> payload, std::size_t from, std::size_t limit) {
    std::string text;
    for (std::size_t i = from; i < payload.size() && text.size() < limit && payload[i] != 0; ++i) text += char(payload[i]);
    return text;
}

float floatBe(const uint8_t* p) { return std::bit_cast<float>(platform::get_u32be(p)); }

}  // namespace

Receiver::Receiver(ReceiverParts parts) : p_(std::move(parts)) {}

void Receiver::startReception() {
    phase_ = Phase::Learning;
    detector_.reset();
    seenFirst_ = markSeen_ = locked_ = false;
    base_ = 0;
    mismatches_ = 0;
    lockStatus_ = 0;
    restartLanes_.fill(0xFF);
    configLanes_.fill(0xFF);
    restartShown_ = configShown_ = false;
    lanesSeen_ = 0;
    // Not known until the stream tells them: blank rather than a made-up
    // 1970 date or the FF of lanes not yet seen.
    p_.fields.setField(Field::CurrentTime, "");
    p_.fields.setField(Field::ConfigNumber, "");
    p_.fields.setField(Field::RestartCounter, "");
    // A new run shows the configuration afresh: after a parameter edit the
    // recorder comes back with new names.
    config_.reset();
    open_ = 0;
    rateSeen_ = stationSeen_ = false;
    station_.clear();
    channelNames_ = {};
    groupDelay_ = -1;
    p_.panel.fillBox(0, 0, Canvas::kWidth - 1, Canvas::kHeight - 1, Ink::Background);
    p_.panel.putText(0, kStatusRow, "VELT v.1.10");
    p_.display.setShift(false);  // its indicator was cleared with the panel
}

bool Receiver::receiveByte(uint8_t b) {
    // Every byte received goes into the files, from the first of each
    // connection: they are plain slices of the stream, which the converters
    // resynchronise on, so they never wait for the display to learn it.
    if (p_.archive != nullptr) p_.archive->addByte(b);
    if (p_.realtime != nullptr) p_.realtime->addByte(b);
    switch (phase_) {
        case Phase::Learning:
            learn(b);
            return false;
        case Phase::Skipping:
            ++received_;
            detector_.push(b);
            if (detector_.check()) {
                phase_ = Phase::Main;
                firstBlock_ = true;
                index_ = 0;
                sum_ = 0;
                statusCount_ = 0;
            }
            return false;
        case Phase::Main: break;
    }
    ++received_;
    detector_.push(b);
    const int c = length_ - 5;
    if (index_ < c - 2) sum_ = uint16_t(sum_ + b);
    else if (index_ == c - 2) checkLow_ = b;
    else if (index_ == c - 1) checkHigh_ = b;
    if (!firstBlock_ && index_ < int(roles_.size())) demultiplex(index_, b);
    ++index_;
    if (!detector_.check()) return false;
    endBlock();
    return true;
}

void Receiver::learn(uint8_t b) {
    ++received_;
    if (received_ % 100 == 0) p_.panel.putText(0, kStatusRow, format("%ld recieved", long(received_)));
    detector_.push(b);
    if (detector_.check() && detector_.repeats() > kRepeatsToAccept) accept(detector_.length());
}

void Receiver::accept(int length) {
    p_.panel.putText(0, kTimeRow, "block len OK");
    p_.panel.putText(0, kStatusRow, std::string(21, ' '));
    length_ = length;
    samples_ = (length - recorder::kBlockOverhead) / recorder::kBytesPerRow;
    if (p_.image != nullptr) {
        p_.image->loadImage(p_.imagePath);
        p_.image->applyScale(p_.display);
    }
    p_.fields.setField(Field::SampleRate, format("%d", samples_));
    // Where each byte of a block belongs, from the block layout.
    roles_.assign(std::size_t(length), ByteRole{});
    for (int r = 0; r < samples_; ++r)
        for (int ch = 0; ch < 3; ++ch)
            for (int k = 0; k < 3; ++k) {
                const int at = recorder::sampleOffset(r, ch) + k;
                if (at < length) roles_[std::size_t(at)] = {Role::Sample, uint8_t(3 * ch + k)};
            }
    for (int s = 0; s < recorder::kStatusBytes; ++s) {
        const int at = recorder::statusOffset(s, samples_);
        if (at >= 0 && at < length) roles_[std::size_t(at)] = {Role::Status, uint8_t(s)};
    }
    detector_.reset();
    index_ = 0;
    sum_ = 0;
    statusCount_ = 0;
    scalingReady_ = false;
    rowCount_ = 0;
    p_.display.resetDisplay(samples_);
    if (p_.samples) p_.samples->setRate(samples_);
    phase_ = Phase::Skipping;
}

void Receiver::demultiplex(int index, uint8_t b) {
    const ByteRole role = roles_[std::size_t(index)];
    if (role.role == Role::Status) {
        status_[role.index] = b;
        ++statusCount_;
        return;
    }
    if (role.role != Role::Sample) return;
    row_[role.index] = b;
    if (role.index != 8) return;
    for (int k = 0; k < 3; ++k) {
        const int32_t v = platform::get_i24be(&row_[std::size_t(3 * k)]);
        current_[std::size_t(k)] = v;
        if (rowCount_ == 0 || v < minimum_[std::size_t(k)]) minimum_[std::size_t(k)] = v;
        if (rowCount_ == 0 || v > maximum_[std::size_t(k)]) maximum_[std::size_t(k)] = v;
    }
    if (scalingReady_) p_.display.addRow(current_.data());
    if (p_.samples) p_.samples->addRow(current_.data());
    ++rowCount_;
}

void Receiver::endBlock() {
    const int interval = detector_.length();
    const bool first = firstBlock_;
    firstBlock_ = false;
    index_ = 0;
    const bool good = sum_ == uint16_t(checkLow_ + 256 * checkHigh_);
    if (interval == length_ && good && !first) decodeStatus();
    if (interval != length_) p_.panel.putText(0, kErrorRow, "EEE");
    if (!good) {
        p_.panel.putText(0, kErrorRow, "CSEEE");
        ++checksumErrors_;
        p_.fields.setField(Field::ChecksumErrors, format("%d", checksumErrors_));
        if (mode_ == 2) showStatusLine();
    }
    sum_ = 0;
    statusCount_ = 0;
    detector_.reset();
}

void Receiver::decodeStatus() {
    const uint8_t* s = status_.data();
    configByte(s[recorder::kStConfigStream]);
    const uint32_t block = platform::get_u32le(s + recorder::kStBlockNumber);
    const uint32_t mark = platform::get_u32be(s + recorder::kStMarkSeconds);
    if (!seenFirst_) {
        seenFirst_ = true;
        prev12_ = s[recorder::kStMarkCounter];
        prev14_ = s[recorder::kStTimeStatusCounter];
    } else {
        if (s[recorder::kStTimeStatusCounter] != prev14_) {
            prev14_ = s[recorder::kStTimeStatusCounter];
            p_.fields.setField(Field::TimeStatus, format("%2.2X", s[recorder::kStTimeStatus]));
            p_.fields.setField(Field::TimeCounter, format("%2.2X", prev14_));
        }
        if (s[recorder::kStMarkCounter] != prev12_) {
            prev12_ = s[recorder::kStMarkCounter];
            if (s[recorder::kStMarkQuality] < 50) {
                const uint32_t d = mark - block;
                if (!markSeen_) {
                    markSeen_ = true;
                } else if (!locked_) {
                    base_ = d;
                    locked_ = true;
                } else if (d == base_) {
                    mismatches_ = 0;
                    lockStatus_ = uint8_t((lockStatus_ + 1) | 0x80);
                } else {
                    lockStatus_ = 0;
                    if (++mismatches_ > 3) {
                        base_ = d;
                        mismatches_ = 0;
                    }
                }
            }
        }
        rowCount_ = 0;
        const bool sweepStarts = p_.display.blockDone();
        if (!scalingReady_) {
            // The first block after a reset gives every unset channel room
            // for twice its range.
            for (int c = 0; c < 3; ++c) {
                if (p_.display.channel(c).set) continue;
                const int64_t low = 2 * int64_t(minimum_[std::size_t(c)]) - maximum_[std::size_t(c)];
                const int64_t high = 2 * int64_t(maximum_[std::size_t(c)]) - minimum_[std::size_t(c)];
                if (low >= INT32_MIN && high <= INT32_MAX) p_.display.setLimits(c, int32_t(low), int32_t(high));
            }
            scalingReady_ = true;
        }
        // The time is known once the marks have given the base: before
        // that it is left blank.
        const std::string time = locked_ ? blockTimeText(int64_t(uint32_t(base_ + block + 1))) : std::string();
        p_.fields.setField(Field::CurrentTime, time);
        if (locked_ && p_.samples) p_.samples->markTime(int64_t(uint32_t(base_ + block + 1)));
        if (sweepStarts && !p_.display.frozen())
            p_.panel.putText(0, kTimeRow, locked_ ? time : std::string(kTimeChars, ' '));
        timeOfDay_ = locked_ ? time.substr(11) : std::string();
        if (mode_ == 5) showStatusLine();
    }
    delT_ = platform::get_i24le(s + recorder::kStDelT);
    cpar_ = platform::get_u16le(s + recorder::kStCPar);
    s20_ = s[recorder::kStCounter];
    p_.fields.setField(Field::DelT, format("%ld", long(delT_)));
    p_.fields.setField(Field::CPar, format("%d", cpar_));
    p_.fields.setField(Field::CParCounter, format("%2.2X", s20_));
    if (mode_ == 1) showStatusLine();
    decodeSerial(s[recorder::kStDevice]);
    decodeLanes();
}

std::string Receiver::blockTimeText(int64_t seconds) const {
    // The time shown is the next second less the group delay, rounded to
    // milliseconds (a 16-bit delay in 0.1 ms is at most 655 ms); a delay
    // that rounds to 0 shows the next second whole, never ".1000".
    int millis = 0;
    seconds += 1;
    const int delayMillis = groupDelay_ >= 0 ? (groupDelay_ + 50) / 100 : 0;
    if (delayMillis > 0) {
        seconds -= 1;
        millis = 1000 - delayMillis;
    }
    const platform::CivilTime t = platform::utcFromSeconds(seconds);
    return format("%.2d/%.2d/%4.4d %.2d:%.2d:%.2d.%.3d", t.day, t.month, t.year, t.hour, t.minute, t.second, millis);
}

void Receiver::decodeSerial(uint8_t s1) {
    int complete = -1;
    if ((s1 & 0x80) == 0) {
        complete = s1;
    } else {
        const int part = (s1 >> 4) & 3;
        serialParts_ = uint16_t(serialParts_ | ((s1 & 0x0F) << (4 * part)));
        if (part == 0) complete = serialParts_;
    }
    if (complete < 0) return;
    serialParts_ = 0;
    if (complete == serial_) return;
    serial_ = complete;
    p_.fields.setField(Field::SerialNumber, format("%4.4X", unsigned(serial_)));
    if (mode_ == 3) showStatusLine();
}

void Receiver::decodeLanes() {
    const uint8_t* s = status_.data();
    const int lane = s[recorder::kStBlockNumber] & 3;
    restartLanes_[std::size_t(lane)] = s[recorder::kStRestartByte];
    configLanes_[std::size_t(lane)] = s[recorder::kStConfigByte];
    lanesSeen_ = uint8_t(lanesSeen_ | 1u << lane);
    if (lane != 3) return;
    if (lanesSeen_ != 0x0F) {
        // Lanes 0 .. 2 not all seen since the run began: the restart
        // counter and the configuration number stay blank until they are.
        p_.fields.setField(Field::StartStatus, format("%2.2X", restartLanes_[3]));
        return;
    }
    if (!restartShown_ || restartLanes_ != shownRestart_) {
        restartShown_ = true;
        shownRestart_ = restartLanes_;
        p_.fields.setField(Field::StartStatus, format("%2.2X", restartLanes_[3]));
        p_.fields.setField(Field::RestartCounter,
                           format("%ld", long(restartLanes_[0] | restartLanes_[1] << 8 | restartLanes_[2] << 16)));
        if (mode_ == 4) showStatusLine();
    }
    if (!configShown_ || configLanes_ != shownConfig_) {
        configShown_ = true;
        shownConfig_ = configLanes_;
        p_.fields.setField(Field::ConfigNumber, format("%8.8X", unsigned(platform::get_u32le(configLanes_.data()))));
        if (mode_ == 3) showStatusLine();
    }
}

void Receiver::configByte(uint8_t b) {
    switch (config_.feed(b)) {
        case recorder::ConfigFraming::Event::Opening: {
            const uint8_t code = config_.code();
            config_.startRecord();
            p_.fields.setField(Field::RecordCode, format("%2.2X", code));
            switch (code) {
                case recorder::kCodeSampleRate: case recorder::kCodeStationName: case recorder::kCodeChannelName:
                case recorder::kCodeDelay: case recorder::kCodePosition: case recorder::kCodeSensorText:
                    open_ = code;
                    break;
                default: break;  // another code leaves the open record as it was
            }
            return;
        }
        case recorder::ConfigFraming::Event::End:
            if (open_ != 0 && !config_.overflowed()) applyRecord();
            open_ = 0;
            return;
        case recorder::ConfigFraming::Event::None: return;
    }
}

void Receiver::applyRecord() {
    const std::span<const uint8_t> p(config_.payload(), std::size_t(config_.size()));
    switch (open_) {
        case recorder::kCodeSampleRate: {
            if (p.size() < 3) return;
            const int rate = p[1] | p[2] << 8;
            if (rateSeen_) {
                rate_ = rate;  // noted, not shown
                return;
            }
            rateSeen_ = true;
            rate_ = rate;
            p_.fields.setField(Field::SampleRate, format("%d", rate));
            if (rate != samples_ && rate > 0) p_.display.resetDisplay(rate);
            scalingReady_ = false;
            channelNames_ = {};
            return;
        }
        case recorder::kCodeStationName: {
            const std::string name = textOf(p, 0, kStationChars);
            if (!stationSeen_) p_.fields.setField(Field::StationName, name);
            stationSeen_ = true;
            station_ = name;
            return;
        }
        case recorder::kCodeChannelName: {
            if (p.empty() || p[0] >= channelNames_.size()) return;
            std::string& slot = channelNames_[p[0]];
            const std::string name = textOf(p, 1, kChannelChars);
            if (slot.empty() && p[0] < 3)
                p_.fields.setField(Field(int(Field::ChannelName0) + p[0]), name);
            slot = name;
            return;
        }
        case recorder::kCodeDelay:
            if (p.size() < 2) return;
            groupDelay_ = p[0] | p[1] << 8;
            p_.fields.setField(Field::GroupDelay, format("%d", groupDelay_));
            return;
        case recorder::kCodePosition:
            if (p.size() < 13 || p[0] != 1) return;
            p_.fields.setField(Field::Latitude, format("%.6f", floatBe(&p[1]) * kDegreesPerRadian));
            p_.fields.setField(Field::Longitude, format("%.6f", floatBe(&p[5]) * kDegreesPerRadian));
            p_.fields.setField(Field::Altitude, format("%.2f", double(floatBe(&p[9]))));
            return;
        case recorder::kCodeSensorText:
            if (p.empty() || p[0] > 2) return;
            p_.fields.setField(Field(int(Field::Sensor0) + p[0]), textOf(p, 1, kSensorChars));
            return;
        default: return;
    }
}

void Receiver::stepStatusMode() {
    mode_ = (mode_ + 1) % kStatusModes;
    statusText(std::string());
    showStatusLine();
}

void Receiver::statusText(const std::string& text) {
    if (p_.display.frozen()) return;
    std::string line = text.substr(0, kStatusColumns);
    line.resize(kStatusColumns, ' ');
    p_.panel.putText(0, kStatusRow, line);
}

void Receiver::showStatusLine() {
    switch (mode_) {
        case 1: statusText(format("Phl: %5.1ld %d %2.2X  ", long(delT_), cpar_, s20_)); break;
        case 2: statusText(format("err cs:%d ", checksumErrors_)); break;
        case 3:
            statusText(format("f:%u %8.8lX", unsigned(serial_ < 0 ? 0 : serial_),
                              static_cast<unsigned long>(platform::get_u32le(shownConfig_.data()))));
            break;
        case 4:
            statusText(format("ssrc: %2.2X %ld", shownRestart_[3],
                              long(shownRestart_[0] | shownRestart_[1] << 8 | shownRestart_[2] << 16)));
            break;
        case 5: statusText(timeOfDay_); break;
        case 6: statusText("LCD ver 1.100"); break;
        default: statusText(std::string()); break;
    }
}

}  // namespace velt::veltview

#include "veltedit/eeprom_session.h"

#include <cstdio>
#include <string_view>

#include "platform/file_util.h"
#include "platform/log.h"

namespace velt::veltedit {

namespace {

constexpr char kStop[] = "STOP\r\n";
constexpr int kStopLength = 6;
constexpr char kRead[] = "EPR?\n";
constexpr char kRestart[] = "RST\n";
constexpr int kWriteLength = 11;  // "EPRWaaa=hh\n"
static_assert(sizeof kStop - 1 == kStopLength);

std::string_view bytesOf(const Image& image) {
    return std::string_view(reinterpret_cast<const char*>(image.data()), image.size());
}

}  // namespace

EepromSession::EepromSession(link::DeviceLink& link, Pacer& pacer, Progress* progress)
    : link_(link), pacer_(pacer), progress_(progress) {}

void EepromSession::send(const char* text, int length) {
    const int accepted = link_.write(reinterpret_cast<const uint8_t*>(text), length);
    if (accepted != length) VELT_LOG_DEBUG("veltedit", "link took %d of %d bytes", accepted, length);
}

void EepromSession::say(const std::string& text) {
    if (progress_ != nullptr) progress_->step(text);
}

bool EepromSession::beforeDeadline(int64_t deadline) {
    if (pacer_.stopRequested() || pacer_.seconds() >= deadline) return false;
    pacer_.idle(link_, SessionTimings::kIdleSliceMs);
    return true;
}

int EepromSession::waitPrompt(int seconds) {
    const int64_t deadline = pacer_.seconds() + seconds;
    for (;;) {
        if (link_.available() > 0) {
            if (link_.readByte() == '>') return 0;
            continue;
        }
        if (!beforeDeadline(deadline)) return -1;
    }
}

int EepromSession::drain(int seconds) {
    const int64_t deadline = pacer_.seconds() + seconds;
    int dropped = 0;
    do {
        while (link_.available() > 0) {
            link_.readByte();
            ++dropped;
        }
    } while (beforeDeadline(deadline));
    return dropped;
}

int EepromSession::stopAttempt() {
    drain(1);
    for (int round = 0; round < SessionTimings::kStopRounds; ++round) {
        if (pacer_.stopRequested()) return -1;
        for (int i = 0; i < kStopLength; ++i) {
            send(kStop + i, 1);
            pacer_.pause(SessionTimings::kBytePauseMs);
        }
        drain(2);
    }
    send(kStop, kStopLength);
    const int result = waitPrompt(SessionTimings::kStopPromptSeconds);
    drain(1);
    return result;
}

bool EepromSession::connect() {
    imageRead_ = false;
    for (int attempt = 1; attempt <= SessionTimings::kStopAttempts; ++attempt) {
        char text[64];
        std::snprintf(text, sizeof text, "stopping station, attempt %d of %d", attempt, SessionTimings::kStopAttempts);
        say(text);
        if (stopAttempt() == 0) break;
        if (pacer_.stopRequested()) return false;
        VELT_LOG_INFO("veltedit", "stop attempt %d of %d saw no prompt", attempt, SessionTimings::kStopAttempts);
        drain(1);
    }
    drain(1);
    return readImage();
}

bool EepromSession::readAnswer() {
    send(kRead, int(sizeof kRead - 1));
    answer_.reset();
    const int64_t deadline = pacer_.seconds() + SessionTimings::kReadSeconds;
    for (;;) {
        if (link_.available() > 0) {
            if (answer_.push(link_.readByte())) break;
            continue;
        }
        if (!beforeDeadline(deadline)) {
            VELT_LOG_WARNING("veltedit", "no prompt within %d s of EPR? (%d bytes taken)", SessionTimings::kReadSeconds,
                             answer_.count());
            return false;
        }
    }
    if (!answer_.complete()) {
        VELT_LOG_WARNING("veltedit", "EPR? answer held %d bytes, not %zu (%d lines ignored)", answer_.count(),
                         kImageBytes, answer_.ignoredLines());
        return false;
    }
    return true;
}

bool EepromSession::readImage() {
    say("reading EEPROM");
    if (!readAnswer()) return false;
    imageRead_ = true;
    received_ = answer_.image();
    edit_ = received_;
    return true;
}

int EepromSession::verify() {
    if (!imageRead_) return -1;
    say("reading EEPROM back");
    if (!readAnswer()) return -1;
    int differing = 0;
    for (std::size_t a = 0; a < kImageBytes; ++a) differing += answer_.image()[a] != edit_[a] ? 1 : 0;
    return differing;
}

int EepromSession::writeBack(const WriteBackFiles& files, WriteBackReport& report) {
    report = WriteBackReport{};
    if (!imageRead_) return kNotRead;
    if (platform::writeFileAtomically(files.dump, bytesOf(edit_)) != 0) {
        VELT_LOG_ERROR("veltedit", "cannot write %s: nothing written to the recorder", files.dump.c_str());
        return kFileFailed;
    }
    int changed = 0;
    for (std::size_t a = 0; a < kImageBytes; ++a) changed += edit_[a] != received_[a] ? 1 : 0;
    if (changed == 0) return kDone;
    // The image as read is kept before anything is sent, under a name no
    // earlier backup has, so the station can always be put back.
    const std::string kept = platform::freeName(files.kept);
    if (platform::createFileAtomically(kept, bytesOf(received_)) != 0) {
        VELT_LOG_ERROR("veltedit", "cannot keep the image as read in %s: nothing written to the recorder",
                       kept.c_str());
        return kFileFailed;
    }
    report.keptAs = kept;
    VELT_LOG_INFO("veltedit", "image as read kept in %s", kept.c_str());
    for (std::size_t a = 0; a < kImageBytes; ++a) {
        if (edit_[a] == received_[a]) continue;
        if (pacer_.stopRequested()) {
            report.interrupted = true;
            VELT_LOG_WARNING("veltedit", "write back interrupted after %d of %d bytes", report.sent, changed);
            break;
        }
        char text[kWriteLength + 1];
        std::snprintf(text, sizeof text, "EPRW%3.3X=%2.2X\n", unsigned(a), unsigned(edit_[a]));
        char step[64];
        std::snprintf(step, sizeof step, "writing byte %d of %d", report.sent + 1, changed);
        say(step);
        send(text, kWriteLength);
        ++report.sent;
        if (waitPrompt(SessionTimings::kWritePromptSeconds) != 0) {
            ++report.unanswered;
            VELT_LOG_WARNING("veltedit", "no prompt after EPRW%3.3X", unsigned(a));
        }
    }
    return kDone;
}

int EepromSession::restart() {
    say("restarting");
    send(kRestart, int(sizeof kRestart - 1));
    return waitPrompt(SessionTimings::kRestartPromptSeconds) == 0 ? 0 : 1;
}

int EepromSession::save(const WriteBackFiles& files, WriteBackReport& report) {
    const int result = writeBack(files, report);
    restart();
    return result;
}

void EepromSession::cancel() {
    for (int i = 0; i < SessionTimings::kCancelRestarts; ++i) {
        restart();
        pacer_.pause(SessionTimings::kBytePauseMs);
    }
}

}  // namespace velt::veltedit

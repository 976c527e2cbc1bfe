#include "veltedit/eeprom_session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/file_util.h"
#include "platform/log.h"
#include "veltedit/station_parameters.h"

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
    if ((!finishing_ && stopRequested()) || linkLost() || pacer_.seconds() >= deadline) return false;
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
        if (stopRequested() || linkLost()) return -1;
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

void EepromSession::stopStation() {
    for (int attempt = 1; attempt <= SessionTimings::kStopAttempts; ++attempt) {
        char text[64];
        std::snprintf(text, sizeof text, "stopping station, attempt %d of %d", attempt, SessionTimings::kStopAttempts);
        say(text);
        if (stopAttempt() == 0) break;
        if (stopRequested() || linkLost()) return;
        VELT_LOG_INFO("veltedit", "stop attempt %d of %d saw no prompt", attempt, SessionTimings::kStopAttempts);
        drain(1);
    }
    drain(1);
}

bool EepromSession::connect() {
    imageRead_ = false;
    stopStation();
    if (stopRequested()) return false;
    if (linkLost()) {
        VELT_LOG_ERROR("veltedit", "%s", linkError().c_str());
        return false;
    }
    return readImage();
}

bool EepromSession::reopen() {
    say("connecting again");
    link_.close();
    if (link_.open() == 0) return true;
    VELT_LOG_ERROR("veltedit", "cannot open the link again: %s", link_.lastError().c_str());
    return false;
}

bool EepromSession::reread() {
    if (!imageRead_) return connect();
    if (linkLost()) {
        if (!reopen()) return false;
        stopStation();
        if (stopRequested() || linkLost()) return false;
    }
    say("reading EEPROM");
    if (!readAnswer()) return false;
    // The operator's changes, onto what the station holds now.
    Image edit = answer_.image();
    for (std::size_t a = 0; a < kImageBytes; ++a)
        if (edit_[a] != received_[a]) edit[a] = edit_[a];
    received_ = answer_.image();
    edit_ = edit;
    return true;
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

bool EepromSession::verify(WriteBackReport& report) {
    say("reading EEPROM back");
    report.differing.clear();
    report.readBack = imageRead_ && readAnswer();
    if (!report.readBack) {
        if (linkLost()) {
            report.linkLost = true;
            report.linkError = linkError();
        }
        return false;
    }
    for (std::size_t a = 0; a < kImageBytes; ++a)
        if (answer_.image()[a] != edit_[a]) report.differing.push_back(a);
    return true;
}

int EepromSession::writeBack(const WriteBackFiles& files, WriteBackReport& report) {
    report = WriteBackReport{};
    if (!imageRead_) return kNotRead;
    for (std::size_t a = 0; a < kImageBytes; ++a) report.changed += edit_[a] != received_[a] ? 1 : 0;
    if (platform::writeFileAtomically(files.dump, bytesOf(edit_)) != 0) {
        report.fileError = "cannot write " + files.dump + ": " + std::strerror(errno);
        VELT_LOG_ERROR("veltedit", "%s; nothing written to the recorder", report.fileError.c_str());
        return kFileFailed;
    }
    if (report.changed == 0) return kDone;
    // The image as read is kept before anything is sent, under a name no
    // earlier backup has, so the station can always be put back.
    const std::string kept = platform::freeName(files.kept);
    if (platform::createFileAtomically(kept, bytesOf(received_)) != 0) {
        report.fileError = "cannot keep the image as read in " + kept + ": " + std::strerror(errno);
        VELT_LOG_ERROR("veltedit", "%s; nothing written to the recorder", report.fileError.c_str());
        return kFileFailed;
    }
    report.keptAs = kept;
    VELT_LOG_INFO("veltedit", "image as read kept in %s", kept.c_str());
    std::size_t fieldEnd = 0;  // end of the field being written; a stop waits for it
    for (std::size_t a = 0; a < kImageBytes; ++a) {
        if (edit_[a] == received_[a]) continue;
        if (a >= fieldEnd) {
            if (stopRequested()) {
                report.interrupted = true;
                VELT_LOG_WARNING("veltedit", "write back interrupted after %d of %d bytes", report.sent, report.changed);
                break;
            }
            fieldEnd = fieldAt(a).end;
        }
        char text[kWriteLength + 1];
        std::snprintf(text, sizeof text, "EPRW%3.3X=%2.2X\n", unsigned(a), unsigned(edit_[a]));
        char step[64];
        std::snprintf(step, sizeof step, "writing byte %d of %d", report.sent + 1, report.changed);
        say(step);
        finishing_ = true;
        send(text, kWriteLength);
        ++report.sent;
        const int answered = waitPrompt(SessionTimings::kWritePromptSeconds);
        finishing_ = false;
        if (linkLost()) {
            report.linkLost = true;
            report.linkError = linkError();
            VELT_LOG_ERROR("veltedit", "write back ended after %d of %d bytes, at %s (EPRW%3.3X): %s", report.sent,
                           report.changed, fieldAt(a).name.c_str(), unsigned(a), report.linkError.c_str());
            break;
        }
        if (answered != 0) {
            ++report.unanswered;
            VELT_LOG_WARNING("veltedit", "no prompt after EPRW%3.3X", unsigned(a));
        }
    }
    return kDone;
}

bool EepromSession::commit(const WriteBackFiles& files, WriteBackReport& report) {
    const int rc = writeBack(files, report);
    if (rc == kDone && report.sent > 0 && !report.linkLost && !report.interrupted) verify(report);
    return rc == kDone && report.proven();
}

int EepromSession::restart() {
    say("restarting");
    finishing_ = true;  // the restart goes out and is waited for even after a stop request
    send(kRestart, int(sizeof kRestart - 1));
    const int answered = waitPrompt(SessionTimings::kRestartPromptSeconds);
    finishing_ = false;
    return answered == 0 ? 0 : 1;
}

std::string WriteBackReport::describe(const WriteBackFiles& files) const {
    std::string text;
    if (!fileError.empty()) return "Nothing was written to the station: " + fileError + ".";
    if (changed == 0) return "No parameter was changed: nothing was written.";
    if (linkLost) {
        text = "The link was lost after " + std::to_string(sent) + " of " + std::to_string(changed) +
               " bytes: " + linkError + ". The value being written may be incomplete in the station.";
    } else if (interrupted) {
        text = "Interrupted after " + std::to_string(sent) + " of " + std::to_string(changed) +
               " bytes, between two values.";
    } else if (!readBack) {
        text = "All " + std::to_string(sent) + " bytes were sent, but the image could not be read back to check them.";
    } else if (!differing.empty()) {
        text = "Read back after writing " + std::to_string(sent) + " bytes, " + std::to_string(differing.size()) +
               " bytes differ from what was written:";
        std::string last;
        int listed = 0;
        for (const std::size_t a : differing) {
            const ImageField f = fieldAt(a);
            if (f.name == last) continue;
            last = f.name;
            if (++listed > 8) {
                text += " ...";
                break;
            }
            char where[16];
            std::snprintf(where, sizeof where, " %3.3X", unsigned(a));
            text += std::string(listed > 1 ? "," : "") + where + " (" + f.name + ")";
        }
        text += ".";
    } else {
        return "All " + std::to_string(sent) + " changed bytes were written and read back.";
    }
    text += "\nThe image as read is kept in " + (keptAs.empty() ? std::string("(no file)") : keptAs) +
            ", the image as it should be in " + files.dump + ".";
    return text;
}

void EepromSession::cancel() {
    for (int i = 0; i < SessionTimings::kCancelRestarts; ++i) {
        restart();
        pacer_.pause(SessionTimings::kBytePauseMs);
    }
}

}  // namespace velt::veltedit

// The editor's conversation with a stopped or running recorder over a
// DeviceLink: stop the station, read its 512-byte EEPROM image, write the
// changed bytes back and restart it. Commands are ASCII lines; every answer
// ends with the prompt '>' and whatever comes before it is discarded.
//
//   stop     "STOP\r\n"            byte by byte and whole; prompt wait 3 s
//   read     "EPR?\n"              32 data lines and '>' within 5 s
//   write    "EPRW%3.3X=%2.2X\n"   one per changed byte; prompt wait 2 s
//   restart  "RST\n"               prompt wait 2 s
//
// Every wait has a deadline of whole calendar seconds (now + t) and ends at
// the first check at or past it, so a wait of t seconds lasts between t - 1
// and t seconds; the deadline is only looked at while nothing is waiting.
// Where the recorder family's editor spun on the link, this one sleeps on
// it (Pacer::idle) between checks; the bytes sent and their timing are the
// same. A stop request (Pacer::stopRequested) ends every wait at once.
//
// The session keeps two images: the one received, unchanged for the life
// of the session, and the edit image that all editing changes. A write
// back sends exactly the bytes in which they differ, and only when a
// complete image was read.
#pragma once

#include <string>

#include "link/device_link.h"
#include "veltedit/eeprom_image.h"
#include "veltedit/epr_answer.h"
#include "veltedit/pacer.h"

namespace velt::veltedit {

/// Where a long conversation has got to ("stopping station, attempt 2 of 5").
class Progress {
public:
    virtual ~Progress() = default;
    /// @brief Shows `text` as the current step.
    virtual void step(const std::string& text) = 0;
};

struct SessionTimings {
    static constexpr int kStopPromptSeconds = 3;
    static constexpr int kReadSeconds = 5;
    static constexpr int kWritePromptSeconds = 2;
    static constexpr int kRestartPromptSeconds = 2;
    static constexpr int kBytePauseMs = 100;
    static constexpr int kStopRounds = 5;
    static constexpr int kStopAttempts = 5;
    static constexpr int kCancelRestarts = 3;
    static constexpr int kIdleSliceMs = 50;  // longest sleep between two clock checks
};

/// The files a write back leaves in the working directory.
struct WriteBackFiles {
    std::string dump = "testeeprom";       // the image as it is sent
    std::string kept = "testeeprom.read";  // the image as read; a free name beside it
};

struct WriteBackReport {
    int sent = 0;        // write-byte commands sent
    int unanswered = 0;  // of them, not answered with '>' in time
    bool interrupted = false;  // a stop request ended it before every byte was sent
    std::string keptAs;  // the name the image as read went to
};

class EepromSession final {
public:
    static constexpr int kDone = 0;
    static constexpr int kNotRead = -1;     // no complete image: nothing sent
    static constexpr int kFileFailed = -2;  // a file could not be written: nothing sent

    /// @brief Uses `link`, `pacer` and `progress` (none owned; `progress` may be null).
    EepromSession(link::DeviceLink& link, Pacer& pacer, Progress* progress = nullptr);

    /// @brief Discards bytes until '>'. @return 0 when it came, -1 after `seconds`.
    int waitPrompt(int seconds);
    /// @brief Discards everything for `seconds`. @return the bytes discarded.
    int drain(int seconds);
    /// @brief One stop attempt. @return 0 when the final prompt came, else -1.
    int stopAttempt();
    /// @brief Up to five stop attempts, then the read. @return imageRead().
    bool connect();
    /// @brief "EPR?" and its answer; on a complete answer both images are
    /// set and imageRead() holds. @return whether this answer was complete.
    bool readImage();
    /// @brief Writes the dump and the kept image, then one write-byte command
    /// per byte where the edit image differs from the received one.
    /// @return kDone, kNotRead or kFileFailed (nothing sent in the last two).
    int writeBack(const WriteBackFiles& files, WriteBackReport& report);
    /// @brief One "RST\n". @return 0 when the prompt came, 1 on a time-out.
    int restart();
    /// @brief Reads the image again (the station still stopped) and
    /// compares it with the edit image. @return the bytes that differ, or
    /// -1 when no image was read before or now.
    int verify();
    /// @brief writeBack, then restart whatever it returned. @return writeBack's result.
    int save(const WriteBackFiles& files, WriteBackReport& report);
    /// @brief Three restarts, 100 ms apart; nothing written.
    void cancel();

    bool imageRead() const { return imageRead_; }
    const Image& receivedImage() const { return received_; }
    const Image& editImage() const { return edit_; }
    Image& editImage() { return edit_; }
    /// @brief Lines of the last answer to "EPR?" that were not taken.
    int ignoredLines() const { return answer_.ignoredLines(); }

private:
    /// Sends "EPR?" and takes its answer. @return true for a complete image in answer_.
    bool readAnswer();
    void send(const char* text, int length);
    void say(const std::string& text);
    /// Waits a little for the next byte unless `deadline` has passed.
    bool beforeDeadline(int64_t deadline);

    link::DeviceLink& link_;
    Pacer& pacer_;
    Progress* progress_;
    bool imageRead_ = false;
    EprAnswer answer_;
    Image received_{};
    Image edit_{};
};

}  // namespace velt::veltedit

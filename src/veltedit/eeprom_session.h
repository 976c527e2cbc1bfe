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
// same. A stop request (Pacer::stopRequested, or requestStop()) ends every
// wait at once, except while a value is being written and while the
// restart goes out: a field of the image (a float, an address, a name) is
// always sent whole, and the station is never restarted on half a value.
// A link that drops ends every wait at once and the write back with it.
//
// The session keeps two images: the one received and the edit image that
// all editing changes. A write back sends exactly the bytes in which they
// differ, and only when a complete image was read; commit() then reads the
// station's image back, so that a Save is proven or reported. After a
// failed commit, reread() takes the station's image again (reconnecting
// first when the link was lost) and carries the operator's changes over
// onto it, so that a retry writes exactly what is still missing.
#pragma once

#include <atomic>
#include <string>
#include <vector>

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
    int changed = 0;     // bytes in which the edit image differs from the station's
    int sent = 0;        // write-byte commands sent
    int unanswered = 0;  // of them, not answered with '>' in time
    bool interrupted = false;  // a stop request ended it between two fields
    bool linkLost = false;     // the link dropped: linkError says why
    std::string linkError;
    std::string fileError;     // a file that could not be written: nothing was sent
    std::string keptAs;        // the name the image as read went to
    bool readBack = false;     // the station's image was read after the write
    std::vector<std::size_t> differing;  // addresses where it differs from the edit image

    /// @brief Every changed byte is in the station, as read back.
    bool proven() const {
        return fileError.empty() && !interrupted && !linkLost && (changed == 0 || (readBack && differing.empty()));
    }
    /// @brief What happened, in words for the operator (one or more lines).
    std::string describe(const WriteBackFiles& files) const;
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
    /// per byte where the edit image differs from the received one, whole
    /// fields at a time; stops at once when the link drops.
    /// @return kDone, kNotRead or kFileFailed (nothing sent in the last two).
    int writeBack(const WriteBackFiles& files, WriteBackReport& report);
    /// @brief Reads the image again (the station still stopped) and
    /// records in `report` where it differs from the edit image.
    /// @return whether a complete image was read.
    bool verify(WriteBackReport& report);
    /// @brief writeBack, then verify when bytes were sent. Does not restart.
    /// @return report.proven().
    bool commit(const WriteBackFiles& files, WriteBackReport& report);
    /// @brief After a failed commit: reconnects when the link was lost (the
    /// stop attempts included), reads the station's image and puts every
    /// change of the edit image onto it. @return whether it was read.
    bool reread();
    /// @brief Closes and opens the link again after it dropped. @return whether it opened.
    bool reopen();
    /// @brief One "RST\n", sent even after a stop request.
    /// @return 0 when the prompt came, 1 on a time-out.
    int restart();
    /// @brief Three restarts, 100 ms apart; nothing written.
    void cancel();
    /// @brief Ends the conversation at its next check (from any thread).
    void requestStop() { stop_ = true; }
    /// @brief Lets the next conversation run again after requestStop().
    void clearStop() { stop_ = false; }
    /// @brief True once the link has dropped; linkError() says why.
    bool linkLost() { return link_.isOpen() == 0; }
    std::string linkError() const { return link_.lastError().empty() ? "the link closed" : link_.lastError(); }

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
    /// Waits a little for the next byte unless `deadline` has passed, the
    /// link dropped or (outside a value being written) a stop was asked.
    bool beforeDeadline(int64_t deadline);
    bool stopRequested() { return pacer_.stopRequested() || stop_.load(); }
    /// Up to five stop attempts, fewer when the link drops or a stop is asked.
    void stopStation();

    link::DeviceLink& link_;
    Pacer& pacer_;
    Progress* progress_;
    bool imageRead_ = false;
    bool finishing_ = false;  // a value or the restart is going out: stop requests wait
    std::atomic<bool> stop_{false};
    EprAnswer answer_;
    Image received_{};
    Image edit_{};
};

}  // namespace velt::veltedit

// One SeedLink client's conversation, without the socket: command lines in,
// replies and packets out through a Sink, one message per reply or packet
// (the WebSocket transport frames each as one message; TCP writes each reply
// in one piece, since clients read replies strictly).
//
// Protocol 3.1 is spoken until the client sends "SLPROTO 4.0"; then 4.0.
//  - Handshake: HELLO, SLPROTO, USERAGENT, CAPABILITIES/ENABLE (EXTREPLY),
//    BATCH (3.1), STATION, SELECT, DATA, FETCH, TIME (3.1), END, ENDFETCH
//    (4.0), INFO, CAT (3.1), AUTH (answered "unsupported"), BYE.
//  - Without STATION (3.1 uni-station mode) DATA, FETCH and TIME start the
//    transfer at once, of every station.
//  - Transfer: packets of every requested station in turn; real-time mode
//    goes on as records arrive, dial-up mode (FETCH, ENDFETCH) ends with
//    "END" once the records present when it began are sent; so does a time
//    window with an end once every station has passed it.
//  - Replies: 3.1 "OK"/"ERROR" (with EXTREPLY "ERROR<cr>why", one line);
//    4.0 "ERROR <CODE> <description>". INFO: 3.1 XML in miniSEED log records
//    ("SLINFO"), 4.0 one JSON packet.
//  - A command line is at most 255 characters with its terminator (<cr>,
//    <lf> or both); a longer one is answered with an error and dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serve/station_files.h"

namespace velt::serve {

/// What the server tells about itself.
struct ServerIdentity {
    std::string software = "velt";  // implementation/version
    std::string organization;
    int64_t startedMicros = 0;
};

/// One connection as INFO CONNECTIONS lists it.
struct ConnectionSummary {
    std::string address;
    std::string userAgent;
    int protocol = 3;
    int64_t connectedMicros = 0;
    uint64_t packetsSent = 0;
    bool transferring = false;
};

/// The stations and connections a session can see (owned by the server).
class StationDirectory {
public:
    virtual ~StationDirectory() = default;
    /// @brief Every station, known or not yet (see StationFiles::known).
    virtual std::vector<StationFiles*> stations() = 0;
    virtual std::vector<ConnectionSummary> connections() = 0;
};

class SeedlinkSession final {
public:
    static constexpr std::size_t kMaxLine = 255;  // with the terminator
    static constexpr std::size_t kMaxRequests = 100;
    static constexpr std::size_t kMaxSelectors = 50;

    class Sink {
    public:
        virtual ~Sink() = default;
        /// @brief One reply or one packet. `binary` marks packets (and the
        /// dial-up "END"), text replies are not.
        virtual void message(std::string_view bytes, bool binary) = 0;
    };

    SeedlinkSession(const ServerIdentity& identity, StationDirectory& directory, Sink& sink);

    /// @brief Bytes from the client (any pieces). Commands are answered at once.
    void receive(std::string_view bytes);
    /// @brief Sends records while `budget` bytes allow. @return true when
    /// more records are ready to go (call again when there is room).
    bool pump(std::size_t budget);

    /// @brief Speaks 4.0 from the start (a WebSocket client that asked for it).
    void speakVersion4() { v4_ = true; }
    bool transferring() const { return phase_ == Phase::Transfer; }
    /// @brief True once the conversation is over (BYE, dial-up END sent).
    bool finished() const { return phase_ == Phase::Closed; }
    int protocol() const { return v4_ ? 4 : 3; }
    const std::string& userAgent() const { return userAgent_; }
    uint64_t packetsSent() const { return packetsSent_; }
    /// @brief The HELLO reply's first line.
    static std::string helloLine(const ServerIdentity& identity);

private:
    enum class Phase { Handshake, Transfer, Closed };
    enum class Start { Next, Sequence, All };
    struct Selector {
        bool negative = false;
        std::string stream;   // 4.0: stream identifier pattern; 3.1: "LLCCC" or "CCC"
        std::string type;     // 3.1: record type pattern; 4.0: format+subformat pattern
    };
    struct Request {
        std::string stationPattern;  // "NET_STA" pattern
        std::vector<Selector> selectors;
        Start start = Start::Next;
        uint64_t sequence = 0;
        bool v3Sequence = false;  // 24 bits to be widened
        int64_t beginMicros = INT64_MIN;
        int64_t endMicros = INT64_MAX;
        bool rejected = false;  // STATION failed: what follows is ignored
        bool actionGiven = false;
    };
    struct Cursor {
        StationFiles* station = nullptr;
        const Request* request = nullptr;
        uint64_t next = 0;
        uint64_t limit = UINT64_MAX;  // dial-up: records present at the start
        bool done = false;
        std::vector<std::string> pastEnd;  // streams met starting at or after the window's end
    };

    void line(std::string_view text);
    void command(const std::vector<std::string>& words, std::string_view text);
    void ok();
    /// 3.1 "ERROR" (+ the reason with EXTREPLY); 4.0 "ERROR CODE reason".
    void error(std::string_view code, std::string_view reason);
    void reply(std::string_view text) { sink_.message(text, false); }
    void hello();
    void station(const std::vector<std::string>& words);
    void select(const std::vector<std::string>& words);
    void action(const std::vector<std::string>& words, bool dialUp, bool timeOnly);
    void info(const std::vector<std::string>& words);
    void cat();
    void startTransfer(bool dialUp);
    void bindStations();
    /// The request's selectors take the record's stream (times aside).
    bool wanted(const Request& request, const RecordFields& fields) const;
    bool windowPassed(const Cursor& cursor) const;
    bool finishedAll() const;
    std::string v3Info(const std::string& level);
    std::string v4Info(const std::string& level, const std::vector<std::string>& words, bool& failed);
    void sendV3Info(const std::string& xml);

    const ServerIdentity& identity_;
    StationDirectory& directory_;
    Sink& sink_;
    Phase phase_ = Phase::Handshake;
    bool v4_ = false;
    bool batch_ = false;
    bool extReply_ = false;
    bool dialUp_ = false;
    bool uniStation_ = true;  // no STATION yet
    std::string userAgent_;
    std::string pending_;  // an incomplete command line
    bool overlong_ = false;
    std::vector<Request> requests_;
    Request uniRequest_;
    std::vector<Cursor> cursors_;
    std::size_t turn_ = 0;
    std::size_t boundStations_ = 0;
    uint64_t packetsSent_ = 0;
    std::vector<uint8_t> records_;
};

}  // namespace velt::serve

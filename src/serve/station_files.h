// One station as the SeedLink server offers it: the numbered files of a
// miniSEED store, read where they lie, with every record numbered.
//
// The store counts its records across its numbered files and tells, at each
// commit, the durable horizon: the next file number and the sequence number
// of the record after the last durable one. From the horizon back, file by
// file, every record gets its sequence number (the first record of file n is
// the horizon's number less the records of files n .. end-1), so numbers are
// dense, survive restarts, and older files are served for as far back as
// they exist in the folder. There is no ring buffer to size or to lose:
// backfill and live data come from the same files.
//
// Used by the server thread only. Reads are pread(2)s of whole records from
// the file of the sequence asked for; a file removed meanwhile (a clean-up of
// old data) drops the records before it from the index.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "serve/seedlink_packet.h"

namespace velt::serve {

class StationFiles final {
public:
    /// Network code given to a station whose records carry none.
    static constexpr const char* kUnsetNetwork = "XX";

    /// @brief The store's files are `prefix` + "%8.8X". Nothing is read yet.
    explicit StationFiles(std::string prefix, std::string logName = "station");
    ~StationFiles();
    StationFiles(const StationFiles&) = delete;
    StationFiles& operator=(const StationFiles&) = delete;

    /// @brief Takes a new durable horizon: files below `endFile`, the record
    /// after them numbered `endSequence`. The first call also indexes the
    /// older files present. @return true when records were added.
    bool advance(uint32_t endFile, uint64_t endSequence);

    /// @brief True once a record gave the station its identity.
    bool known() const { return !station_.empty(); }
    const std::string& network() const { return network_; }
    const std::string& station() const { return station_; }
    /// @brief "NET_STA".
    std::string id() const { return network_ + "_" + station_; }

    /// @brief Sequence number of the oldest record still in the files.
    uint64_t firstSequence() const { return files_.empty() ? end_ : files_.front().first; }
    /// @brief Sequence number the next record will get.
    uint64_t endSequence() const { return end_; }

    /// @brief Reads up to `maxRecords` consecutive records of one file,
    /// starting with the first whose sequence number is at least `from`, into
    /// `out` (512 bytes each). @return the records read (0: none yet), with
    /// the sequence number of the first in `first`.
    int read(uint64_t from, uint8_t* out, int maxRecords, uint64_t& first);

    /// @brief A sequence number from which every record starting at or
    /// after `micros` (microseconds since 1970) follows, somewhat early
    /// (records of several channels share files): callers filter by time.
    uint64_t sequenceNear(int64_t micros);

    /// The span of one stream, as the records indexed while running show it.
    struct Stream {
        std::string location;
        std::string channel;
        int64_t startMicros = 0;
        int64_t endMicros = 0;
    };
    /// @brief The streams seen, by stream identifier.
    const std::map<std::string, Stream>& streams() const { return streams_; }

private:
    struct File {
        uint32_t number = 0;
        uint32_t count = 0;  // records
        uint64_t first = 0;  // sequence number of its first record
        int64_t start = kUnknownStart;
    };
    static constexpr int64_t kUnknownStart = INT64_MIN;

    std::string pathOf(uint32_t number) const;
    /// Opens file `number` for reading (kept open for the next read).
    int descriptorOf(uint32_t number);
    /// Learns identity and streams from the records of one file.
    void learn(const File& file);
    int64_t startOf(File& file);
    void forgetBefore(std::size_t index);

    std::string prefix_;
    std::string logName_;
    std::vector<File> files_;  // ascending
    uint32_t endFile_ = 0;
    uint64_t end_ = 0;
    bool indexed_ = false;
    std::string network_;
    std::string station_;
    std::map<std::string, Stream> streams_;
    int fd_ = -1;
    uint32_t fdNumber_ = 0;
};

}  // namespace velt::serve

// QRX4.0 waveform files: contiguous runs of samples per station and channel,
// appended as little-endian 32-bit floats behind a 512-byte text header, one
// file per station and channel and hour, each registered in FILELIST.
//
// File layout:
//
//   offset  size   content
//   0       512    text header; the text ends with one zero byte, the rest
//                  up to offset 511 is spaces (0x20)
//   512     4 * n  samples, oldest first, IEEE-754 single, little-endian
//
// Header lines, each ended by "\r\n": "[QRX4.0]", "Data offset=512",
// "Start time=HH MM SS", "Start date=DD MM YYYY", "Time duration=HH MM SS",
// "Data Type=FLOAT", "SpS=%f", "Gain=%d", "Station=<name>",
// "Channels=\"<name>\"". Times are UTC.
//
// File name "DDMMYYYY-HHMMSS-CCC.SSS" (channel and station right-aligned in at
// least three characters) in the folder <data directory>/<station>; the path
// relative to the data directory, "<station>/<file name>", goes into CPATH.
//
// Decisions taken here:
//  - "Time duration=" carries the file's real duration: the fixed-size header
//    is rewritten in place after every append.
//  - Without a database the files are still written, only not registered.
//  - Station and channel names are made safe path components first (no
//    separators, no "..", no control bytes); the safe names are also what the
//    header and the table carry, so file, header and row always agree.
//  - A new file is written to a temporary name, flushed and renamed without
//    replacing, so it is never seen half-written. A file of the same name
//    that is not ours is never replaced: the new file takes a free name
//    beside it ("NAME.1", ...), is registered under that path, and this is
//    logged.
//  - Appends are synced together by syncAppended(), which the output calls
//    before a restart position is stored.
//  - After a crash or a power cut, resumeTrace() follows a trace's files
//    from the first delivered block for as long as they hold the next
//    samples (contents decide, never times of change), makes the last of
//    them the trace's current file again (appends go on in it) and rewrites
//    their headers and rows, which a cut may have left behind. A file of the
//    trace beyond a gap the cut left is replaced when the trace gets there.
//  - Lost data are never silent: a run that cannot be written is logged on
//    standard error. A file that cannot be reopened for an append (moved
//    away) is replaced by a new file for that run; a failed append is cut
//    back so the file keeps whole samples.
//  - An empty data directory means the working directory, never the root.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velt::outputs {

class FileListDatabase;

constexpr int kQrxHeaderBytes = 512;
constexpr int kQrxPortionSamples = 50000;  // run buffer and addSamples portion
constexpr int kQrxRunLimit = 49900;        // a run is written before it grows beyond this
constexpr int32_t kQrxDataType = 3;        // FILELIST DATATYPE of QRX4.0 floats
constexpr int kQrxMinutesPerFile = 60;
constexpr int kQrxMaxTraces = 256;         // traces per writer (each holds 200 KB of run)

struct QrxTrace {
    std::string channel;     // safe name, compared case-insensitively
    double rate = 0;         // compared exactly
    double runStart = 0;     // pending run
    double runDuration = 0;
    int runCount = 0;
    std::vector<float> run;  // kQrxPortionSamples entries
    int32_t gain = 0;        // of the last run
    double fileStart = 0;    // current file; both 0 when there is none
    double fileDuration = 0;
    std::string relativePath;
};

struct QrxStation {
    std::string name;        // safe name, compared case-sensitively
    int minutesPerFile = kQrxMinutesPerFile;
    std::vector<QrxTrace> traces;
};

/// @brief The 512-byte header of a file, or an empty string when the names
/// do not fit.
std::string qrxHeader(double fileStart, double fileDuration, double rate, int32_t gain,
                      std::string_view station, std::string_view channel);

/// @brief "DDMMYYYY-HHMMSS-CCC.SSS" of a file starting at `fileStart`.
std::string qrxFileName(double fileStart, std::string_view channel, std::string_view station);

class QrxFileWriter final {
public:
    static constexpr std::string_view kCreatorName = "2QRX";

    /// @brief Writes under `dataDirectory` ("" = working directory) and
    /// registers through `database` (not owned; may be null: no registration).
    QrxFileWriter(std::string dataDirectory, FileListDatabase* database);

    /// @brief Adds `count` samples starting at `start` (seconds since 1970)
    /// to the run of the station's channel at `rate`, writing the pending run
    /// first when they do not continue it. @return 0, or -1 when the rate is
    /// not positive, samples are missing or the trace table is full (the
    /// samples are then dropped and logged).
    int addSamples(std::string_view station, std::string_view channel, int32_t gain, double rate,
                   double start, int count, const int32_t* samples);
    /// @brief Writes the trace's pending run to its file and empties the run.
    /// @return 0, or -1 when the run could not be written (it is dropped and
    /// logged; registration failures are not counted here).
    int writeTrace(QrxStation& station, QrxTrace& trace);
    /// @brief writeTrace for every trace of every station, in list order.
    void writeAll();
    /// @brief Syncs every file appended to since the last call.
    /// @return 0, or -1 when a file could not be synced.
    int syncAppended();
    /// @brief After a crash: follows the trace's files from the block that
    /// starts at `start` (seconds since 1970; it also gives the fraction of a
    /// second the file names leave out) for as long as they hold the next
    /// samples, cut to whole blocks of `rate` samples. The last of them
    /// becomes the trace's current file when it may still grow; their
    /// headers and rows are rewritten; files of the trace beyond the first
    /// gap are replaced when the trace gets there. @return where the samples
    /// the files hold from `start` on end (`start` when none), or NaN when
    /// the trace has no file at all.
    double resumeTrace(std::string_view station, std::string_view channel, double rate, double start);

    /// @brief Name that starts every message ("INP0 QRX").
    void setLogName(std::string name) { logName_ = std::move(name); }

    const std::string& dataDirectory() const { return dataDirectory_; }
    const std::vector<QrxStation>& stations() const { return stations_; }
    /// @brief Files created and bytes written since the writer was made.
    uint64_t filesBegun() const { return filesBegun_; }
    uint64_t bytesWritten() const { return bytesWritten_; }

private:
    uint64_t filesBegun_ = 0;
    uint64_t bytesWritten_ = 0;
    int addPortion(const std::string& station, const std::string& channel, int32_t gain, double rate,
                   double start, int count, const int32_t* samples);
    QrxTrace* findTrace(const std::string& station, const std::string& channel, double rate,
                        QrxStation*& owner);
    int createFile(QrxStation& station, QrxTrace& trace);
    // 0 appended, 1 the file could not be opened, -1 the write failed.
    int appendRun(QrxStation& station, QrxTrace& trace);
    void encodeRun(const QrxTrace& trace);
    std::string fullPath(const std::string& relativePath) const;
    void noteAppended(const std::string& path);
    // Whole blocks of samples in the file at `path` when it is of `rate`
    // (a partial last block is cut off), its gain in `gain`; -1 otherwise.
    int64_t wholeBlocksOf(const std::string& path, double rate, int32_t& gain);
    void rewriteHeader(const QrxStation& station, const QrxTrace& trace, const std::string& relative,
                       double fileStart, double duration, int32_t gain);

    std::string logName_ = "QRX";
    std::string dataDirectory_;
    FileListDatabase* database_;
    std::vector<QrxStation> stations_;
    int traceCount_ = 0;
    bool tableFullLogged_ = false;
    std::vector<uint8_t> bytes_;  // encoding buffer for one run
    std::vector<std::string> appended_;  // paths appended to since the last sync
    std::vector<std::string> replaceable_;  // own files beyond a gap a crash left (relative paths)
};

}  // namespace velt::outputs

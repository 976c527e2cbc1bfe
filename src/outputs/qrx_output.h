// The QRX4.0 output of one input: collects the blocks the decoder hands on,
// ends every pending run at a gap on any channel and every MAXBLOCK blocks,
// and feeds QrxFileWriter, which writes the files and registers them in
// FILELIST.
//
// Decisions taken here:
//  - The data directory is key DIR of section DATA of "qrx.ini", looked up
//    as ./qrx.ini, then $XDG_CONFIG_HOME/qrx.ini (default ~/.config/qrx.ini),
//    then /etc/qrx.ini; the first file that exists is the one read.
//    Backslashes count as separators. Without a value the files go under the
//    working directory.
//  - A database that cannot be opened at start is an outage like any other:
//    the files are written, their rows wait (in the journal) and are written
//    when it answers, in this run or a later one; one line on standard error
//    says where they wait.
//  - An empty connection string means "no registration" without a message
//    (for runs that only want the files).
//  - FILELIST rows wait for the commit (group commit): a restart position
//    is stored only after the rows and the appended files are durable.
//  - Rows the database does not take keep waiting in a journal in the data
//    directory, one per input: "filelist-<name>-<8 hex digits>.journal",
//    <name> the input's INI file name less its extension and the digits a
//    hash of the INI file's full path, so inputs of several
//    converters can share one data directory. A commit that can keep its
//    rows neither in the table nor in the journal stores no position.
//  - Rows a journal holds from an earlier run are taken up at start, even
//    while the database is away, and wait with the new ones.
//  - After a crash (resumeFrom), each channel skips the delivered blocks
//    its files already hold and continues the last of them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outputs/block_buffer.h"
#include "outputs/filelist_database.h"
#include "conversion/output_sink.h"
#include "outputs/qrx_file_writer.h"

namespace velt::outputs {

using conversion::OutputSink;
using recorder::ConfigurationRecord;

struct QrxSettings {
    std::string dataDirectory;  // "" = working directory
    std::string connectionString{FileListDatabase::kLivemillConnection};  // "" = no registration
};

/// @brief Candidate "qrx.ini" paths in lookup order, from the values of
/// XDG_CONFIG_HOME and HOME (null or empty = unset).
std::vector<std::string> qrxIniCandidates(const char* xdgConfigHome, const char* home);

/// @brief DIR of section DATA of the first candidate that exists, with '/'
/// separators and one trailing separator removed; "" when there is none.
std::string qrxDataDirectory(const std::vector<std::string>& candidates);

/// @brief The same for this process's working directory and environment.
std::string qrxDataDirectory();

/// @brief Name of the FILELIST journal of the input set up by `iniPath`.
std::string qrxJournalName(const std::string& iniPath);

class QrxOutput final : public OutputSink {
public:
    static constexpr int kBlockCapacity = 10000;  // samples per channel and block
    static constexpr int kChannels = 10;
    static constexpr int kDefaultMaxBlock = 600;

    /// @brief Opens the database named by the settings (when it does not
    /// answer, rows wait for it as in any outage); `maxBlock` <= 0 means the
    /// default of 600.
    /// Rows that wait for the database are kept in the file `journalName`
    /// of the data directory ("" = in memory only) and those an earlier run
    /// left there are written first.
    explicit QrxOutput(const QrxSettings& settings, int maxBlock = kDefaultMaxBlock, std::string journalName = {});
    /// @brief Writes every pending run, then closes the database.
    ~QrxOutput() override;

    void putSample(int32_t sample) override;
    void setTime(int32_t seconds) override;
    void clearSamples() override;
    void flushChannel() override;
    void setConfiguration(const ConfigurationRecord& record) override;
    void selectChannel(int32_t channel) override;
    void closeOutputs() override;
    /// @brief Time of the first block added since the pending runs were last
    /// written (runs the writer ends on its own in between keep it older,
    /// which only errs towards converting a block again after a crash).
    int64_t oldestPendingTime() const override { return pendingSince_; }
    /// @brief Syncs the appended files and writes the waiting FILELIST rows
    /// (or keeps them in the journal). @return -1 when a file could not be
    /// synced or rows exist only in memory.
    int commit() override;
    /// @brief Each channel learns at its next block which blocks its files hold.
    void resumeFrom(int64_t blockTime) override;

    /// @brief Name that starts every message of this output ("INP0 QRX").
    void setLogName(std::string name);

    /// @brief True when files are registered in FILELIST: a connection
    /// string was given, whether the database answers now or rows wait for it.
    bool registering() const { return database_.isOpen(); }
    /// @brief FILELIST rows waiting for the database to answer again.
    std::size_t rowsWaiting() const { return database_.backlog(); }
    int maxBlock() const { return maxBlock_; }
    const QrxFileWriter& writer() const { return writer_; }
    Tally tally() const override { return {writer_.filesBegun(), writer_.bytesWritten()}; }

private:
    void writePending();

    std::string logName_ = "QRX";
    BlockBuffer<kBlockCapacity> block_;
    std::array<bool, kChannels> learn_{};  // find the newest file at the next block
    std::array<ReplayFilter, kChannels> replay_{};
    int32_t time_ = 0;
    int32_t channel_ = 0;
    const ConfigurationRecord* record_ = nullptr;
    std::array<int64_t, kChannels> lastTime_;
    int blockCounter_ = 0;
    int maxBlock_;
    int64_t pendingSince_ = kNothingPending;
    FileListDatabase database_;
    QrxFileWriter writer_;
};

/// @brief The QRX4.0 output an input's settings file asks for: section
/// OUTQRX, TODO exactly "YES", MAXBLOCK applied when above 0.
/// @return the output, or null when it is not enabled.
std::unique_ptr<QrxOutput> makeQrxOutput(const std::string& iniPath, const QrxSettings& settings);

}  // namespace velt::outputs

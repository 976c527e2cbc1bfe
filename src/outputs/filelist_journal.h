// The journal of FILELIST rows that wait for the database: a small text file
// beside the QRX4.0 data that holds, in order, every row the database has not
// taken yet, so that they survive a stop or a crash of the program.
//
// Layout, one record per line, each ended by "\n":
//
//   FILELIST journal 1                     first line, the format and its version
//   <kind> TAB <11 columns, TAB-separated>  one line per row, in writing order
//   end <rows>                              last line: the number of rows above
//
// <kind> is "I" for a new file (the path's old rows are replaced) or "U" for
// an extended file (its row is rewritten, or added when it has vanished).
// The columns follow the table's binding order: STA, SPS, GAIN, CPATH,
// DATATYPE, CH, CREATER, LDDATE (seconds since 1970), TBEGIN, TQTY, FOFF.
// Numbers are written so that they read back exactly and in any locale
// (shortest round-trip form); in texts a backslash is written "\\" and
// any control byte "\xHH".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "outputs/filelist_database.h"

namespace velt::outputs {

/// @brief The journal text for `rows`, in their order.
std::string encodeFileListJournal(const std::vector<FileListChange>& rows);

/// Rows read back from a journal, and how much of it could not be read.
struct FileListJournalContents {
    std::vector<FileListChange> rows;
    int damagedLines = 0;  // lines that were not a row (their rows are lost)
    bool recognised = false;  // the first line names this format
    bool complete = false;    // the closing line is there and counts the rows
};

/// @brief Decodes `text`; damaged lines are counted and skipped, never fatal.
FileListJournalContents decodeFileListJournal(std::string_view text);

}  // namespace velt::outputs

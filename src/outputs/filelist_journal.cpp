#include "outputs/filelist_journal.h"

#include <charconv>
#include <cstdio>

namespace velt::outputs {

namespace {

constexpr std::string_view kHeader = "FILELIST journal 1";
constexpr std::string_view kTrailer = "end ";
constexpr int kColumns = 11;

void putText(std::string& out, std::string_view text) {
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(byte));
            out += escaped;
        } else {
            out += ch;
        }
    }
}

template <typename Number>
void putNumber(std::string& out, Number value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool getText(std::string_view field, std::string& text) {
    text.clear();
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            text += field[i];
        } else if (i + 1 < field.size() && field[i + 1] == '\\') {
            text += '\\';
            ++i;
        } else if (i + 3 < field.size() && field[i + 1] == 'x' && hexDigit(field[i + 2]) >= 0 &&
                   hexDigit(field[i + 3]) >= 0) {
            text += char(hexDigit(field[i + 2]) * 16 + hexDigit(field[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

template <typename Number>
bool getNumber(std::string_view field, Number& value) {
    const auto result = std::from_chars(field.data(), field.data() + field.size(), value);
    return result.ec == std::errc() && result.ptr == field.data() + field.size();
}

bool decodeRow(std::string_view line, FileListChange& row) {
    std::string_view fields[kColumns + 1];
    int n = 0;
    for (std::size_t start = 0;; ++n) {
        const std::size_t tab = line.find('\t', start);
        if (n > kColumns) return false;
        fields[n] = line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (n != kColumns) return false;
    if (fields[0] != "I" && fields[0] != "U") return false;
    row.replace = fields[0] == "I";
    FileListRecord& r = row.record;
    return getText(fields[1], r.sta) && getNumber(fields[2], r.sps) && getNumber(fields[3], r.gain) &&
           getText(fields[4], r.cpath) && getNumber(fields[5], r.dataType) && getText(fields[6], r.ch) &&
           getText(fields[7], r.creater) && getNumber(fields[8], r.lddate) && getNumber(fields[9], r.tbegin) &&
           getNumber(fields[10], r.tqty) && getNumber(fields[11], r.foff);
}

}  // namespace

std::string encodeFileListJournal(const std::vector<FileListChange>& rows) {
    std::string out(kHeader);
    out += '\n';
    for (const FileListChange& row : rows) {
        const FileListRecord& r = row.record;
        out += row.replace ? "I" : "U";
        out += '\t';
        putText(out, r.sta);
        out += '\t';
        putNumber(out, r.sps);
        out += '\t';
        putNumber(out, r.gain);
        out += '\t';
        putText(out, r.cpath);
        out += '\t';
        putNumber(out, r.dataType);
        out += '\t';
        putText(out, r.ch);
        out += '\t';
        putText(out, r.creater);
        out += '\t';
        putNumber(out, r.lddate);
        out += '\t';
        putNumber(out, r.tbegin);
        out += '\t';
        putNumber(out, r.tqty);
        out += '\t';
        putNumber(out, r.foff);
        out += '\n';
    }
    out += kTrailer;
    putNumber(out, rows.size());
    out += '\n';
    return out;
}

FileListJournalContents decodeFileListJournal(std::string_view text) {
    FileListJournalContents contents;
    bool first = true;
    bool ended = false;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (first) {
            first = false;
            contents.recognised = line == kHeader;
            if (!contents.recognised) {
                ++contents.damagedLines;
                return contents;
            }
            continue;
        }
        std::size_t count = 0;
        if (!ended && line.substr(0, kTrailer.size()) == kTrailer && getNumber(line.substr(kTrailer.size()), count)) {
            ended = true;
            contents.complete = count == contents.rows.size() && contents.damagedLines == 0;
            continue;
        }
        FileListChange row;
        if (!ended && decodeRow(line, row)) {
            contents.rows.push_back(std::move(row));
        } else {
            ++contents.damagedLines;
        }
    }
    if (ended && contents.damagedLines > 0) contents.complete = false;
    return contents;
}

}  // namespace velt::outputs

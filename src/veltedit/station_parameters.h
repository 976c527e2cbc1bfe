// The station parameters of an EEPROM image as the editor shows them, and
// the rules by which edited texts go back into the image.
//
//  - Station name: up to the first 00, at most 13 bytes (FF is a
//    character there); channel and sensor names stop at 00 or FF, at most 8.
//  - A field whose text or selection the operator did not change keeps its
//    stored bytes exactly: a value that is not set (FF FF FF FF), a units
//    code outside the list, a name with a blank or FF bytes.
//  - Taken back from an edited field, a channel or sensor name ends at the
//    first character outside 33..127. Numbers are read and shown in C
//    notation whatever the locale.
//  - Nothing is taken back while any edited field is wrong (a number that
//    is not one, not finite or out of range; a name longer than its field):
//    each problem names its control, and Save then writes nothing.
//  - The rate code is bits 0-2 of byte 33; the other bits are kept.
//  - A phase-loop text whose low 16 bits are 0 leaves bytes 22-23 alone.
//  - Only channels below min(channel count, 3) are decoded and encoded; the
//    device, configuration and restart numbers and the count are never written.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "veltedit/eeprom_image.h"
#include "veltedit/response_tables.h"

namespace velt::veltedit {

constexpr int kUnitsEntries = 5;
constexpr int kUnitsNoneIndex = 4;
constexpr int kRateEntries = 3;

/// @brief Units code of list position `index` (0..4).
uint8_t unitsCode(int index);
/// @brief List position of `code`; the "none" position when it is not in the list.
int unitsIndex(uint8_t code);
/// @brief "m/count", "(m/sec)/count", "(m/sec**2)/count", "unkn." or "none".
const char* unitsText(int index);
/// @brief "50", "100" or "200" for list position 0..2.
const char* rateText(int index);

/// Which fields of a channel the operator changed (bits of `edited`).
enum ChannelField : unsigned {
    kEditedName = 1,
    kEditedSensor = 2,
    kEditedUnits = 4,
    kEditedCalibration = 8,
    kEditedPeriod = 16,
};

struct ChannelParameters {
    unsigned edited = 0;  // ChannelField bits: only these are encoded
    std::string name;
    std::string sensor;
    uint8_t units = kUnitsNone;
    float calibration = 0;
    float period = 0;
    int responseAddress = 0;  // 0: none
    int responseSize = 0;
};

struct StationParameters {
    uint16_t device = 0;
    uint8_t rateByte = 0;
    int32_t restartNumber = 0;
    int32_t configNumber = 0;
    int channelCount = 0;  // as stored
    uint16_t phaseLoopValue = 0;
    int phaseLoopFlag = 0;
    std::string station;
    std::array<ChannelParameters, kMaxChannels> channels{};
    ResponseList responses;

    /// @brief The channels handled: min(channel count, 3).
    int shown() const { return channelCount < kMaxChannels ? channelCount : kMaxChannels; }
    /// @brief The rate list position of the rate byte, -1 when none matches.
    int rateIndex() const;
};

/// A field of the image: bytes [begin, end) and what they hold ("channel 2
/// calibration"). A write back sends a field whole or not at all.
struct ImageField {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string name;
};
/// @brief The field that holds `address` (0..511); a single byte where
/// the editor does not interpret the image.
ImageField fieldAt(std::size_t address);

/// What is wrong with an edited control: its name (as the window names it:
/// "station", "channelName", "sensor", "calib", "calper") and why.
struct FieldProblem {
    std::string control;
    std::string message;
};
using FieldProblems = std::vector<FieldProblem>;

/// @brief Decodes every field, and the response tables, of `image`.
StationParameters decodeStation(const Image& image);

/// @brief Reads a text field of `size` bytes at `image + offset`.
std::string readTextField(const Image& image, std::size_t offset, std::size_t size, bool stopAtFill);
/// @brief Writes `text` (cut to `size`) as a text field: then 00, then FF.
void writeTextField(Image& image, std::size_t offset, std::size_t size, const std::string& text);

/// @brief The "Channels information" text of the shown channels.
std::string channelSummary(const StationParameters& p);

/// The texts of one channel's controls.
struct ChannelFields {
    std::string number;  // "Channel Number": current channel + 1
    std::string name;
    std::string sensor;
    std::string calibration;  // "%e"
    std::string period;       // "%f"
    int unitsIndex = -1;      // -1: no valid selection
};

/// The texts of the station-wide controls that Save reads.
struct StationFields {
    std::string station;
    int rateIndex = -1;  // -1: none selected
    std::string phaseLoop;
    bool phaseLoopFlag = false;
};

/// The main dialog's editing state without the widgets: the decoded
/// parameters, the channel shown, and Prev/Next/Save with the fields taken back.
class StationEditor final {
public:
    /// @brief Decodes `image`; the first channel is shown.
    void load(const Image& image);
    /// @brief Nothing loaded: every field empty, no channels.
    void clear();

    const StationParameters& parameters() const { return p_; }
    int current() const { return current_; }
    bool hasChannel() const { return current_ >= 0 && current_ < p_.shown(); }

    /// @brief The controls of the current channel (empty when there is none).
    ChannelFields channelFields() const;
    /// @brief The station-wide controls as the image gives them.
    StationFields stationFields() const;
    /// @brief Takes the current channel's edited texts back into the
    /// parameters; nothing unless `fields.number` still names the current
    /// channel, and nothing at all when a text is wrong. @return the problems.
    FieldProblems takeBack(const ChannelFields& fields);
    /// @brief Takes the fields back and moves to the previous / next
    /// channel, wrapping; stays when a text is wrong. @return the problems.
    FieldProblems prev(const ChannelFields& fields);
    FieldProblems next(const ChannelFields& fields);
    /// @brief "Response form" text of the current channel: "%4.4X (%d)" or " ".
    std::string responseText() const;

    /// @brief Save's encoding into `image`: the current channel's fields,
    /// then station name, rate, phase loop and the edited fields of every
    /// shown channel. @return the problems; `image` is unchanged unless none.
    FieldProblems encode(const StationFields& station, const ChannelFields& fields, Image& image);

    /// @brief Takes over a closed "Set Response Form": its new tables, and
    /// when a row was chosen the current channel's table (written to `image`).
    void applyResponseForm(const ResponseForm& form, Image& image);

private:
    StationParameters p_;
    bool stationEdited_ = false;
    int current_ = 0;
};

}  // namespace velt::veltedit

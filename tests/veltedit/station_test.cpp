// Station parameters, response tables, pulse-calibration files and the
// settings, decoded from and encoded into images built byte by byte.
#include <gtest/gtest.h>

#include "platform/endian.h"
#include "support/temp_dir.h"
#include "veltedit/editor_settings.h"
#include "veltedit/station_parameters.h"
#include "fake_recorder.h"

namespace velt::test {
namespace {

using namespace veltedit;

std::vector<uint8_t> bytesAt(const Image& image, std::size_t at, std::size_t n) {
    return std::vector<uint8_t>(image.begin() + long(at), image.begin() + long(at + n));
}

/// Loads `image`, changes nothing and encodes it back.
Image saveUnchanged(Image image) {
    StationEditor editor;
    editor.load(image);
    EXPECT_TRUE(editor.encode(editor.stationFields(), editor.channelFields(), image).empty());
    return image;
}

TEST(StationParameters, TextFieldsKeepTheirEndRules) {
    Image image = sampleImage();
    writeTextField(image, kStationName, kStationNameBytes, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(decodeStation(image).station, "ABCDEFGHIJKLM");  // 13, no terminator
    EXPECT_EQ(image[kChannelNames], 0xFF);                      // the next field is untouched
    writeTextField(image, kStationName, kStationNameBytes, "STA01");
    EXPECT_EQ(bytesAt(image, kStationName + 5, 8), std::vector<uint8_t>({0, 255, 255, 255, 255, 255, 255, 255}));

    // The station name stops only at 00; channel names also at FF.
    std::fill_n(image.begin() + kStationName, kStationNameBytes, 0xFF);
    EXPECT_EQ(decodeStation(image).station, std::string(13, '\xFF'));
    EXPECT_EQ(decodeStation(image).channels[0].name, "");
    // Untouched fields keep their bytes: names of FF or with a blank, values
    // not set (FF FF FF FF, shown as 0), a units code outside the list.
    writeTextField(image, kSensorNames, kNameBytes, "L4C 3D");
    image[channelRecord(0)] = 0x05;
    EXPECT_EQ(saveUnchanged(image), image);
}

TEST(StationParameters, RateCodeAndPhaseLoopKeepTheirOtherBits) {
    Image image = sampleImage();
    image[kRateByte] = 0x0A;
    StationEditor editor;
    editor.load(image);
    StationFields station = editor.stationFields();
    EXPECT_STREQ(rateText(station.rateIndex), "200");
    station.rateIndex = 0;  // "50"
    station.phaseLoop = "0";
    editor.encode(station, editor.channelFields(), image);
    EXPECT_EQ(image[kRateByte], 0x08);
    EXPECT_EQ(bytesAt(image, kPhaseLoop, 2), std::vector<uint8_t>({0xFF, 0xFF}));  // 0 leaves it alone
    station.phaseLoop = "300";
    station.phaseLoopFlag = true;
    editor.encode(station, editor.channelFields(), image);
    EXPECT_EQ(bytesAt(image, kPhaseLoop, 2), std::vector<uint8_t>({0x2C, 0x81}));
    const StationParameters p = decodeStation(image);
    EXPECT_EQ(p.phaseLoopValue, 300);
    EXPECT_EQ(p.phaseLoopFlag, 1);
}

TEST(StationParameters, ChannelFieldsAreTakenBackOnPrevNextAndSave) {
    Image image = sampleImage();
    image[kChannelCount] = 5;
    for (int c = 0; c < 3; ++c) {
        writeTextField(image, kChannelNames + 8 * std::size_t(c), 8, "HH" + std::string(1, char('Z' - c)));
        image[channelRecord(c)] = 2;
    }
    StationEditor editor;
    editor.load(image);
    const std::string summary = channelSummary(editor.parameters());
    EXPECT_NE(summary.find("3:  HHX"), std::string::npos);
    EXPECT_EQ(summary.find("4:"), std::string::npos);
    EXPECT_NE(summary.find("\r\n    0.000e+00 (m/sec)/count (0.000 sec.) \r\n"), std::string::npos);

    editor.next(editor.channelFields());
    ChannelFields f = editor.channelFields();
    ASSERT_EQ(f.number, "2");
    f.name = "ABC DEF";  // a blank ends the name
    f.sensor = "L4C-3D";
    f.calibration = " 1.5e-3 ";
    f.unitsIndex = -1;
    EXPECT_TRUE(editor.prev(f).empty());
    editor.next(editor.channelFields());
    f = editor.channelFields();
    EXPECT_EQ(f.name, "ABC");
    EXPECT_EQ(f.sensor, "L4C-3D");
    EXPECT_EQ(f.calibration, "1.500000e-03");
    EXPECT_EQ(f.unitsIndex, kUnitsNoneIndex);

    // A wrong text is reported with its control; nothing is taken back and the channel stays.
    const std::pair<std::string ChannelFields::*, std::string> bad[] = {
        {&ChannelFields::calibration, "abc"}, {&ChannelFields::calibration, "1.5e-3 V"},
        {&ChannelFields::calibration, "nan"}, {&ChannelFields::calibration, "inf"},
        {&ChannelFields::calibration, "1e50"}, {&ChannelFields::period, "-1"},
        {&ChannelFields::sensor, "L4C-3D-long"}};
    for (const auto& [member, text] : bad) {
        ChannelFields wrong = f;
        wrong.name = "XYZ";
        wrong.*member = text;
        const FieldProblems problems = editor.next(wrong);
        ASSERT_EQ(problems.size(), 1u) << text;
        EXPECT_NE(problems[0].message.find(text), std::string::npos) << problems[0].message;
        EXPECT_EQ(editor.current(), 1);
        EXPECT_EQ(editor.channelFields().name, "ABC");
    }
    Image unchanged = image;
    StationFields longName = editor.stationFields();
    longName.station = "FOURTEEN CHARS";
    ASSERT_EQ(editor.encode(longName, f, unchanged).size(), 1u);
    EXPECT_EQ(unchanged, image);
    editor.next(f);
    editor.next(editor.channelFields());
    EXPECT_EQ(editor.current(), 0);  // wraps after the third channel

    // Fields of another channel number are not taken back.
    f = editor.channelFields();
    f.number = "2";
    f.name = "NOPE";
    editor.encode(editor.stationFields(), f, image);
    EXPECT_EQ(bytesAt(image, kChannelNames + 8, 4), std::vector<uint8_t>({'A', 'B', 'C', 0}));
    EXPECT_EQ(decodeStation(image).channels[0].name, "HHZ");
    EXPECT_EQ(image[channelRecord(1)], 0xFF);
    EXPECT_EQ(image[kChannelCount], 5);
}

TEST(StationParameters, AnUntouchedNumberKeepsItsExactBits) {
    Image image = sampleImage();
    const uint8_t value[4] = {0xEA, 0xD6, 0xFC, 0x3D};  // 0.12345679f; "1.234568e-01" reads back as EB D6 FC 3D
    std::copy(value, value + 4, image.begin() + long(channelRecord(0) + kRecCalibration));
    EXPECT_EQ(bytesAt(saveUnchanged(image), channelRecord(0) + kRecCalibration, 4), bytesAt(image, channelRecord(0) + kRecCalibration, 4));
}

TEST(ResponseTables, TablesAreListedOnceAndNewOnesMustFit) {
    Image image = sampleImage();
    image[160] = 20;  // L = 20: 21 bytes in use
    platform::put_u16le(&image[channelRecord(0) + kRecResponse], 160);
    platform::put_u16le(&image[channelRecord(1) + kRecResponse], 160);
    platform::put_u16le(&image[channelRecord(2) + kRecResponse], 0x0300);
    StationEditor editor;
    editor.load(image);
    ASSERT_EQ(editor.parameters().responses.count(), 1);
    EXPECT_EQ(editor.responseText(), "00A0 (20)");
    editor.next(editor.channelFields());
    editor.next(editor.channelFields());
    EXPECT_EQ(editor.responseText(), " ");

    const std::vector<uint8_t> file(75, 0x33);
    ResponseForm form(editor.parameters().responses, image);
    EXPECT_EQ(form.load(file.data(), 75), ResponseForm::kNoRoom);
    EXPECT_EQ(form.load(file.data(), 74), ResponseForm::kLoaded);  // 74 + 1 = 96 - 21
    EXPECT_EQ(form.rowText(1), "00B5 (75)");
    EXPECT_EQ(image[0xB5], 74);
    EXPECT_EQ(image[255], 0x33);
    EXPECT_EQ(image[256], 0xFF);
    EXPECT_FALSE(form.canLoad());
    form.select(1);
    editor.applyResponseForm(form, image);
    EXPECT_EQ(editor.responseText(), "00B5 (75)");
    EXPECT_EQ(bytesAt(image, channelRecord(2) + kRecResponse, 2), std::vector<uint8_t>({0xB5, 0x00}));
    EXPECT_EQ(editor.parameters().responses.count(), 2);
}

TEST(ResponseTables, AFullListTakesNoMoreAndTheThirdRowCanBeSet) {
    Image image = sampleImage();
    ResponseForm form(ResponseList{}, image);
    const uint8_t bytes[3] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(form.load(bytes, 3), ResponseForm::kLoaded);
    EXPECT_EQ(form.rowText(2), "00A8 (4)");
    EXPECT_FALSE(form.canLoad());
    EXPECT_EQ(form.load(bytes, 1), ResponseForm::kNoRoom);
    EXPECT_EQ(form.load(bytes, 0), ResponseForm::kNoRoom);
    form.select(2);
    EXPECT_EQ(form.tables().at(form.selected()).address, 0xA8);
}

TEST(PulseCalibration, FileIsWrittenAsLinesAndReadWithItsLimits) {
    TempDir dir;
    Image image = sampleImage();
    image[kPulseCount] = 2;
    const uint8_t items[4] = {0x1F, 10, 0xA0, 255};
    std::copy(items, items + 4, image.begin() + kPulseItems);
    ASSERT_EQ(savePulseFile(dir.file("pulse.txt"), image), 0);
    EXPECT_EQ(readText(dir.file("pulse.txt")), "2\r\n1F 10\r\nA0 255\r\n");

    std::string text = "9\r\n";
    for (int k = 0; k < 9; ++k) text += std::to_string(k + 1) + " " + std::to_string(300 + k) + "\r\n";
    text += "\x01\x80";
    Image loaded = sampleImage();
    EXPECT_EQ(parsePulseFile(reinterpret_cast<const uint8_t*>(text.data()), text.size(), loaded), 7);
    EXPECT_EQ(loaded[kPulseCount], 7);
    EXPECT_EQ(bytesAt(loaded, kPulseItems, 4), std::vector<uint8_t>({1, 44, 2, 45}));
    EXPECT_EQ(loaded[kPulseItems + 14], 0xFF);  // byte 159 untouched

    // A last line without LF is not used; items not given keep their bytes.
    const std::string partial = "1\nZZ\n2";
    Image kept = image;
    EXPECT_EQ(parsePulseFile(reinterpret_cast<const uint8_t*>(partial.data()), partial.size(), kept), 1);
    EXPECT_EQ(kept[kPulseCount], 1);
    EXPECT_EQ(bytesAt(kept, kPulseItems, 4), bytesAt(image, kPulseItems, 4));
    EXPECT_EQ(loadPulseFile(dir.file("absent"), kept), -1);
}

TEST(EditorSettings, OnlyTheNamedKindsOfLinkAreMade) {
    EXPECT_EQ(chooseLink({"tcp", "127.0.0.1 4001"}).link, nullptr);
    EXPECT_EQ(chooseLink({"TCP", "127.0.0.1"}).link, nullptr);
    EXPECT_EQ(chooseLink({"INET", "127.0.0.1 0"}).link, nullptr);
    EXPECT_EQ(chooseLink({"INETX", "127.0.0.1 4001"}).link, nullptr);
    EXPECT_NE(chooseLink({"TCP", "127.0.0.1 4001"}).link, nullptr);
    EXPECT_NE(chooseLink({"COMwhatever", "19200,n,8,1"}).link, nullptr);
}

}  // namespace
}  // namespace velt::test

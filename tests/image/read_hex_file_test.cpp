#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "hex_fixtures.h"
#include "image/hex_load.h"

namespace {

using namespace image_test;
using ui::Answer;
namespace fs = std::filesystem;

// --- fixtures ----------------------------------------------------------------

const std::string kBootQuestion =
    "Warning!\n\nYou have loaded a bootloader program\nAre you sure this is what you "
    "intended?\n\nPress YES to continue\nPress NO to abort";
const std::string kWayQuestion =
    "This firmware can be uploaded in two different ways.\n\n To upload normally, press YES "
    "(preferred)\n To upload manually, press NO (technical expertise required)\n";
const Shown kErrorBox = okBox("Error in Hex file");

// Application firmware: code from 0x400, the typecode at 0x420.
const std::string kCode400 = counting(0x400, 16, 0x01);  // 43 characters
std::string app(const std::string& code) {
    return file({kCode400, typecodeAt(0x420, code), kEnd});
}

// What the window held before the load: the fields the load leaves alone show.
constexpr char kEarlierDescription[] = "earlier device";
const Profile kEarlier{9, kEarlierDescription, 1, 9, 0x1234, 1, 1, 'x', 'y', 'z'};
// The earlier profile after the clearing step of a load.
const Profile kCleared{9, kEarlierDescription, 0, 9, 0, 0, 0, 'x', 'y', 'z'};

const Profile kQV1200{1,  "Storage Quindle - original with PIC16F877", 1, 1, 0x4000, 0, 0, 'q', 'P',
                      'p'};
const Profile kQV1210{2,  "Storage Quindle - modified with PIC18F452", 0, 2, 0x8000, 0, 0, 'Q', 'p',
                      'P'};
const Profile kJT2310{3, "Dravik - output PIC", 0, 2, 0x8000, 0, 0, 'Q', 'p', 'P'};
const Profile kJT2302Op{5, "Dravik - front panel PIC", 0, 1, 0x2000, 1, 1, 'Q', 'p', 'P'};
const Profile kJT2302Manual{5, "Dravik - front panel PIC", 0, 1, 0x2000, 0, 1, 'Q', 'p', 'P'};
const Profile kXC4510{7, "Teluvo Mux", 0, 2, 0x4000, 0, 0, 'Q', 'p', 'P'};
// After an unknown typecode: description kept, memorySize as the clearing left it.
const Profile kUnknownAfterClear{0, kEarlierDescription, 0, 0, 0, 0, 0, 0, 0, 0};

Profile with(Profile p, char queryChar) {
    p.queryChar = queryChar;
    return p;
}
Profile declined(Profile p) {
    p.deviceNumber = 0;
    p.processorFamily = 0;
    p.queryChar = p.startChar = p.startReply = 0;
    return p;
}

std::string lowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

using Bytes = std::vector<std::pair<int, int>>;  // address, value

// The bytes of kCode400 and of a typecode at an address.
Bytes codeBytes() {
    return {{0x3FF, 0xFF}, {0x400, 0x01}, {0x401, 0x12}, {0x40F, 0x00}, {0x410, 0xFF}};
}
Bytes typecodeBytes(int at, const std::string& code) {
    Bytes out;
    for (std::size_t i = 0; i < code.size(); ++i) {
        out.push_back({at + 2 * static_cast<int>(i), static_cast<unsigned char>(code[i])});
        out.push_back({at + 2 * static_cast<int>(i) + 1, 0x34});
    }
    out.push_back({at + 12, 0xFF});
    return out;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct LoadCase {
    const char* name;
    std::string contents;
    std::vector<Answer> answers;
    int32_t result;
    std::vector<Shown> shown;
    int32_t lineCount;
    int32_t isBootloader;
    Profile profile;
    Bytes memory;
    const char* typecode = nullptr;  // the typecode of the last location tried
};

// --- the table ---------------------------------------------------------------

std::vector<LoadCase> loadCases() {
    const std::string qv1210 = "QV1210";
    std::vector<LoadCase> c;

    // The three locations and their start-address rules.
    c.push_back({"ApplicationAt420",
                 app(qv1210),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 3,
                 0,
                 kQV1210,
                 codeBytes() + typecodeBytes(0x420, qv1210) + Bytes{{0x000, 0xFF}},
                 "QV1210"});
    c.push_back({"ApplicationWithARecordAt0",
                 file({data(0x0000, {0x55}), kCode400, typecodeAt(0x420, qv1210), kEnd}),
                 {},
                 -1,
                 {status("Invalid start address in hex file"), kErrorBox},
                 0,
                 0,
                 kQV1210,
                 Bytes{{0x000, 0x55}} + codeBytes(),
                 "QV1210"});
    c.push_back({"ApplicationStartingAbove400",
                 file({typecodeAt(0x420, "XC4510"), kEnd}),
                 {},
                 -1,
                 {status("Invalid start address in hex file"), kErrorBox},
                 0,
                 0,
                 kXC4510,
                 typecodeBytes(0x420, "XC4510") + Bytes{{0x400, 0xFF}},
                 "XC4510"});
    c.push_back({"QuindleAtFF4",
                 file({counting(0x0000, 16), typecodeAt(0xFF4, "QV1200"), kEnd}),
                 {},
                 0,
                 {status("Hexfile for original Storage Quindle")},
                 3,
                 0,
                 kQV1200,
                 typecodeBytes(0xFF4, "QV1200"),
                 "QV1200"});
    c.push_back({"QuindleAtFF4StartingAbove0",
                 file({counting(0x0010, 4), typecodeAt(0xFF4, "QV1200"), kEnd}),
                 {},
                 -1,
                 {status("Invalid start address in hex file"), kErrorBox},
                 0,
                 0,
                 kQV1200,
                 typecodeBytes(0xFF4, "QV1200"),
                 "QV1200"});
    c.push_back({"OtherRowAtFF4",
                 file({counting(0x0000, 16), typecodeAt(0xFF4, "JT2310"), kEnd}),
                 {},
                 -1,
                 {status("Illegal device type in hex file"), kErrorBox},
                 0,
                 0,
                 kJT2310,
                 typecodeBytes(0xFF4, "JT2310"),
                 "JT2310"});
    c.push_back({"FrontPanelAtFF4AsksThenFails",
                 file({counting(0x0000, 16), typecodeAt(0xFF4, "JT2302"), kEnd}),
                 {Answer::Yes},
                 -1,
                 {yesNoBox(kWayQuestion), status("Illegal device type in hex file"), kErrorBox},
                 0,
                 0,
                 kJT2302Op,
                 {},
                 "JT2302"});
    c.push_back({"BootloaderYes",
                 file({counting(0x0000, 16), typecodeAt(0x020, qv1210), kEnd}),
                 {Answer::Yes},
                 0,
                 {status("Bootloader for modified Storage Quindle"), yesNoBox(kBootQuestion)},
                 3,
                 1,
                 with(kQV1210, '~'),
                 typecodeBytes(0x020, qv1210),
                 "QV1210"});
    c.push_back({"BootloaderNo",
                 file({counting(0x0000, 16), typecodeAt(0x020, qv1210), kEnd}),
                 {Answer::No},
                 -1,
                 {status("Bootloader for modified Storage Quindle"), yesNoBox(kBootQuestion)},
                 0,
                 1,
                 declined(kQV1210),
                 typecodeBytes(0x020, qv1210),
                 "QV1210"});
    c.push_back({"BootloaderStartingAbove0",
                 file({typecodeAt(0x020, qv1210), kEnd}),
                 {},
                 -1,
                 {status("Invalid start address in hex file"), kErrorBox},
                 0,
                 0,
                 kQV1210,
                 typecodeBytes(0x020, qv1210),
                 "QV1210"});
    c.push_back({"QuindleBootloader",
                 file({counting(0x0000, 16), typecodeAt(0x020, "QV1200"), kEnd}),
                 {Answer::Yes},
                 0,
                 {status("Bootloader for original Storage Quindle"), yesNoBox(kBootQuestion)},
                 3,
                 1,
                 with(kQV1200, '~'),
                 {},
                 "QV1200"});
    // 0x420 wins over 0xFF4 when both hold a typecode.
    c.push_back({"FirstLocationWins",
                 file({kCode400, typecodeAt(0x420, "XC4510"), typecodeAt(0xFF4, "QV1200")}),
                 {},
                 0,
                 {status("Hexfile for Teluvo Mux")},
                 3,
                 0,
                 kXC4510,
                 {},
                 "XC4510"});
    c.push_back(
        {"UnknownAt420FallsThroughToFF4",
         file({counting(0x0000, 1), typecodeAt(0x420, "QV1299"), typecodeAt(0xFF4, "QV1200")}),
         {},
         0,
         {status("Hexfile for original Storage Quindle")},
         3,
         0,
         kQV1200,
         {},
         "QV1200"});

    // The front-panel row.
    c.push_back(
        {"FrontPanelYes",
         app("JT2302"),
         {Answer::Yes},
         0,
         {yesNoBox(kWayQuestion), status("Hexfile for DV front panel PIC, loading through OP")},
         3,
         0,
         kJT2302Op,
         {},
         "JT2302"});
    c.push_back({"FrontPanelNo",
                 app("JT2302"),
                 {Answer::No},
                 0,
                 {yesNoBox(kWayQuestion), status("Hexfile for Dravik front panel PIC")},
                 3,
                 0,
                 kJT2302Manual,
                 {},
                 "JT2302"});
    c.push_back(
        {"FrontPanelBootloader",
         file({counting(0x0000, 16), typecodeAt(0x020, "JT2302"), kEnd}),
         {Answer::Yes, Answer::Yes},
         0,
         {yesNoBox(kWayQuestion), status("Bootloader for DV front panel PIC, loading through OP"),
          yesNoBox(kBootQuestion)},
         3,
         1,
         with(kJT2302Op, '~'),
         {},
         "JT2302"});

    // Unknown typecodes.
    c.push_back({"EmptyFile",
                 "",
                 {},
                 -1,
                 {status("Illegal device type in hex file"), kErrorBox},
                 0,
                 0,
                 kUnknownAfterClear,
                 {{0x000, 0xFF}, {0x420, 0xFF}, {0x80FF, 0xFF}},
                 nullptr});
    c.push_back({"CaseDifferingTypecode",
                 app("qv1210"),
                 {},
                 -1,
                 {status("Illegal device type in hex file"), kErrorBox},
                 0,
                 0,
                 kUnknownAfterClear,
                 typecodeBytes(0x420, "qv1210"),
                 "\xFF\xFF\xFF\xFF\xFF\xFF"});
    c.push_back({"OnlyNonRecordLines",
                 file({"just text", "", ":0"}),
                 {},
                 -1,
                 {status("Illegal device type in hex file"), kErrorBox},
                 0,
                 0,
                 kUnknownAfterClear,
                 {},
                 nullptr});

    // Spelling of the file.
    c.push_back({"LowerCaseHexDigits",
                 lowerCase(app("QV1210")),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 3,
                 0,
                 kQV1210,
                 codeBytes() + typecodeBytes(0x420, "QV1210"),
                 "QV1210"});
    c.push_back({"TrailingBlank",
                 file({kCode400, data(0x500, {0x01, 0x02}) + " ", typecodeAt(0x420, qv1210), kEnd}),
                 {},
                 -1,
                 {status("Non hex character in hex file"), kErrorBox},
                 0,
                 0,
                 kCleared,
                 codeBytes() + Bytes{{0x500, 0xFF}},
                 nullptr});
    c.push_back({"CrLfAndNoFinalTerminator",
                 kCode400 + "\r\n" + typecodeAt(0x420, qv1210) + "\r\n" + kEnd,
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 3,
                 0,
                 kQV1210,
                 codeBytes() + typecodeBytes(0x420, qv1210),
                 "QV1210"});
    c.push_back({"NonRecordLinesCountedAndSkipped",
                 file({"; built for the modified Quindle", "", ":", ":12345", ":000000",
                       std::string("\0\x01\xFE", 3), kCode400, typecodeAt(0x420, qv1210), kEnd}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 9,
                 0,
                 kQV1210,
                 codeBytes(),
                 "QV1210"});
    c.push_back({"FortyThreeCharacterCommentAccepted",
                 file({std::string(43, '#'), kCode400, typecodeAt(0x420, qv1210), kEnd}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 4,
                 0,
                 kQV1210,
                 {},
                 "QV1210"});

    // Record rules.
    c.push_back({"OddCountStoresExactlyThatMany",
                 file({data(0x042C, {0x77, 0x88}), kCode400, typecodeAt(0x420, qv1210),
                       data(0x0410, {0xA1, 0xA2, 0xA3}), data(0x042C, {0x99}), kEnd}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 6,
                 0,
                 kQV1210,
                 {{0x410, 0xA1},
                  {0x411, 0xA2},
                  {0x412, 0xA3},
                  {0x413, 0xFF},
                  {0x42C, 0x99},
                  {0x42D, 0x88},
                  {0x42E, 0xFF}},
                 "QV1210"});
    c.push_back({"ZeroCountAt0CountsForTheStart",
                 file({data(0x0000, {}), kCode400, typecodeAt(0x420, qv1210), kEnd}),
                 {},
                 -1,
                 {status("Invalid start address in hex file"), kErrorBox},
                 0,
                 0,
                 kQV1210,
                 {{0x000, 0xFF}},
                 "QV1210"});
    c.push_back({"ZeroCountAt400IsTheStart",
                 file({data(0x0400, {}), typecodeAt(0x420, qv1210), kEnd}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 3,
                 0,
                 kQV1210,
                 {{0x400, 0xFF}, {0x41F, 0xFF}},
                 "QV1210"});
    c.push_back({"RecordsAfterTheEndRecord",
                 file({kCode400, kEnd, typecodeAt(0x420, qv1210), data(0x0500, {0x42})}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 4,
                 0,
                 kQV1210,
                 {{0x500, 0x42}, {0x501, 0xFF}},
                 "QV1210"});
    c.push_back({"NoEndRecord",
                 file({kCode400, typecodeAt(0x420, qv1210)}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 2,
                 0,
                 kQV1210,
                 {},
                 "QV1210"});
    // Above the first 64 KB nothing is stored or checked beyond the checksum:
    // the skipped records would break the start address and the count rule.
    c.push_back(
        {"UpperAddress30ThenZero",
         file({upper(0x0030), data(0x0000, {0x01, 0x02}), recordWithCount(17, 0x0420, 0, {0x01}),
               typecodeAt(0x420, "JT2310"), upper(0), kCode400, typecodeAt(0x420, qv1210),
               upper(0x0030), data(0x0430, {0x66}), kEnd}),
         {},
         0,
         {status("Hexfile for modified Storage Quindle")},
         10,
         0,
         kQV1210,
         {{0x000, 0xFF}, {0x001, 0xFF}, {0x420, 'Q'}, {0x430, 0xFF}},
         "QV1210"});
    c.push_back({"UpperAddressRecordChecksum",
                 file({kCode400, typecodeAt(0x420, qv1210), withBadChecksum(upper(0x0030)), kEnd}),
                 {},
                 -1,
                 {status("Checksum error from hex file"), kErrorBox},
                 0,
                 0,
                 kCleared,
                 codeBytes() + typecodeBytes(0x420, qv1210),
                 nullptr});
    c.push_back(
        {"Types020305WithWrongChecksumsIgnored",
         file({withBadChecksum(record(0, 0x02, {0x10, 0x00})), kCode400,
               withBadChecksum(record(0, 0x03, {0, 0, 0, 0})),
               withBadChecksum(record(0, 0x05, {0, 0, 0, 0})), typecodeAt(0x420, qv1210), kEnd}),
         {},
         0,
         {status("Hexfile for modified Storage Quindle")},
         6,
         0,
         kQV1210,
         codeBytes() + typecodeBytes(0x420, qv1210),
         "QV1210"});
    c.push_back({"Type02AddressIsNotUsed",
                 file({record(0, 0x02, {0x10, 0x00}), kCode400, typecodeAt(0x420, qv1210), kEnd}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 4,
                 0,
                 kQV1210,
                 codeBytes() + typecodeBytes(0x420, qv1210),
                 "QV1210"});
    c.push_back({"SixteenBytesAt7FF0",
                 file({kCode400, typecodeAt(0x420, qv1210), counting(0x7FF0, 16, 0x03), kEnd}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 4,
                 0,
                 kQV1210,
                 {{0x7FEF, 0xFF},
                  {0x7FF0, 0x03},
                  {0x7FFF, 0x03 + 0x11 * 15 - 0x100},
                  {0x8000, 0xFF},
                  {0x80FF, 0xFF}},
                 "QV1210"});
    // The highest a record can reach: 0x7FFF + 15 = 0x800E, inside memory.
    c.push_back({"SixteenBytesAt7FFF",
                 file({kCode400, typecodeAt(0x420, qv1210), counting(0x7FFF, 16, 0x01), kEnd}),
                 {},
                 0,
                 {status("Hexfile for modified Storage Quindle")},
                 4,
                 0,
                 kQV1210,
                 {{0x7FFE, 0xFF},
                  {0x7FFF, 0x01},
                  {0x8000, 0x12},
                  {0x800E, 0x00},
                  {0x800F, 0xFF},
                  {0x80FF, 0xFF}},
                 "QV1210"});

    // The failure table: memory partly rewritten (filled, then the records
    // before the failing one), the typecode never read.
    const auto failing = [&](const char* name, const std::string& bad, const char* message) {
        return LoadCase{name,
                        file({kCode400, bad, typecodeAt(0x420, qv1210), kEnd}),
                        {},
                        -1,
                        {status(message), kErrorBox},
                        0,
                        0,
                        kCleared,
                        codeBytes() + Bytes{{0x420, 0xFF}, {0x0000, 0xFF}},
                        nullptr};
    };
    c.push_back(failing("NonHexCharacter", ":020500001G00E9", "Non hex character in hex file"));
    c.push_back(
        failing("Checksum", withBadChecksum(counting(0x500, 2)), "Checksum error from hex file"));
    c.push_back(failing("EndRecordChecksum", ":00000001FE", "Checksum error from hex file"));
    c.push_back(failing("Count17", recordWithCount(17, 0x500, 0, {0x01, 0x02}),
                        "Illegal count value in hex file"));
    c.push_back(failing("Address8000", counting(0x8000, 16), "Illegal address value in hex file"));
    c.push_back(failing("CountSixteenWithFifteenBytes",
                        recordWithCount(16, 0x500, 0, std::vector<uint8_t>(15, 0x3C)),
                        "Wrong file length found from hex file"));
    c.push_back(failing("LineLongerThanItsCount", counting(0x500, 2) + "00",
                        "Wrong file length found from hex file"));
    return c;
}

// --- running a load ----------------------------------------------------------

class TempDir {
  public:
    TempDir() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        path_ = fs::temp_directory_path() /
                ("tesmar_image_tests_" + std::to_string(::getpid()) + "_" + name);
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string write(const std::string& name, const std::string& contents) const {
        const fs::path p = path_ / name;
        std::ofstream out(p, std::ios::binary);
        out << contents;
        return p.string();
    }
    std::string path() const { return path_.string(); }

  private:
    fs::path path_;
};

void setEarlier(CTesmarDlg& dlg) {
    dlg.deviceNumber = kEarlier.deviceNumber;
    dlg.description = kEarlier.description;
    dlg.queryProtocol = kEarlier.queryProtocol;
    dlg.processorFamily = kEarlier.processorFamily;
    dlg.memorySize = kEarlier.memorySize;
    dlg.throughOutputPic = kEarlier.throughOutputPic;
    dlg.frontPanel = kEarlier.frontPanel;
    dlg.queryChar = kEarlier.queryChar;
    dlg.startChar = kEarlier.startChar;
    dlg.startReply = kEarlier.startReply;
    dlg.isBootloader = 1;
    dlg.lineCount = 77;
    dlg.memory.fill(0x00);
}

std::string typecodeOf(const CTesmarDlg& dlg) {
    return std::string(dlg.typecode.data(), 6);
}

class LoadTable : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadTable, ReadHexFile) {
    const LoadCase& c = GetParam();
    TempDir dir;
    Window w;
    setEarlier(w.dlg);
    w.dlg.path = dir.write("firmware.hex", c.contents);
    // OK boxes are answered OK; the questions as the case says, in order.
    auto answer = c.answers.begin();
    for (const Shown& s : c.shown) {
        if (s.isBox && s.buttons == ui::Buttons::Ok) {
            w.host.answerNextBox(Answer::Ok);
        } else if (s.isBox && answer != c.answers.end()) {
            w.host.answerNextBox(*answer++);
        }
    }

    EXPECT_EQ(w.dlg.ReadHexFile(), c.result);
    EXPECT_EQ(shownOn(w.host), c.shown);
    EXPECT_EQ(w.dlg.lineCount, c.lineCount);
    EXPECT_EQ(w.dlg.isBootloader, c.isBootloader);
    EXPECT_EQ(profileOf(w.dlg), c.profile);
    for (const auto& [address, value] : c.memory) {
        EXPECT_EQ(w.dlg.memory[static_cast<std::size_t>(address)], value)
            << "memory[0x" << hex(static_cast<unsigned>(address), 4) << "]";
    }
    if (c.typecode != nullptr) {
        EXPECT_EQ(typecodeOf(w.dlg), c.typecode);
        EXPECT_EQ(w.dlg.typecode[6], '\0');
    }
    // Every line is kept, counted or not.
    std::istringstream in(c.contents);
    std::vector<std::string> expectedLines;
    ASSERT_EQ(image::readHexLines(in, expectedLines), image::LineReadResult::Ok);
    EXPECT_EQ(w.dlg.lines, expectedLines);
    EXPECT_TRUE(w.failures.empty()) << w.failures.front();
}

INSTANTIATE_TEST_SUITE_P(Files, LoadTable, ::testing::ValuesIn(loadCases()),
                         [](const auto& p) { return std::string(p.param.name); });

// --- failures before the memory image is touched -----------------------------

// A loaded file whose memory and typecode must survive the next, failing load.
struct LoadedWindow : Window {
    explicit LoadedWindow(const TempDir& dir) {
        dlg.path = dir.write("good.hex", app("XC4510"));
        EXPECT_EQ(dlg.ReadHexFile(), 0);
        host.clearEvents();
        before = dlg.memory;
    }
    std::array<uint8_t, image::kMemoryBytes> before{};
};

TEST(ReadHexFile, CannotOpenShowsTheFileNameAndKeepsThePreviousImage) {
    TempDir dir;
    LoadedWindow w(dir);
    w.dlg.path = dir.path() + "/missing.hex";
    w.host.answerNextBox(Answer::Ok);
    EXPECT_EQ(w.dlg.ReadHexFile(), -1);
    EXPECT_EQ(shownOn(w.host), (std::vector<Shown>{okBox("Cannot open file: missing.hex"),
                                                   status("Cannot open file: missing.hex !")}));
    EXPECT_EQ(w.dlg.lineCount, 0);
    EXPECT_EQ(w.dlg.isBootloader, 0);
    EXPECT_EQ(w.dlg.memory, w.before);
    EXPECT_EQ(typecodeOf(w.dlg), "XC4510");
    EXPECT_TRUE(w.dlg.lines.empty());
    // The clearing step ran; the rest of the profile is the previous file's.
    EXPECT_EQ(profileOf(w.dlg), (Profile{7, "Teluvo Mux", 0, 2, 0, 0, 0, 'Q', 'p', 'P'}));
    EXPECT_TRUE(w.failures.empty());
}

TEST(ReadHexFile, TheNameAfterTheLastBackslashOrSlash) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\Firmware\\Dravik\\OUTPUT.HEX", "OUTPUT.HEX"},
        {"/nonexistent/fw\\old/app.hex", "app.hex"},
        {"/nonexistent/dir\\app.hex", "app.hex"},
        {"no-such-file.hex", "no-such-file.hex"},
    };
    for (const auto& [path, name] : cases) {
        SCOPED_TRACE(path);
        Window w;
        w.dlg.path = path;
        w.host.answerNextBox(Answer::Ok);
        EXPECT_EQ(w.dlg.ReadHexFile(), -1);
        EXPECT_EQ(shownOn(w.host),
                  (std::vector<Shown>{okBox("Cannot open file: " + name),
                                      status("Cannot open file: " + name + " !")}));
    }
}

TEST(ReadHexFile, ADirectoryIsReportedLikeAFileThatCannotBeOpened) {
    TempDir dir;
    LoadedWindow w(dir);
    fs::create_directories(dir.path() + "/folder.hex");
    w.dlg.path = dir.path() + "/folder.hex";
    w.host.answerNextBox(Answer::Ok);
    EXPECT_EQ(w.dlg.ReadHexFile(), -1);
    EXPECT_EQ(shownOn(w.host), (std::vector<Shown>{okBox("Cannot open file: folder.hex"),
                                                   status("Cannot open file: folder.hex !")}));
    EXPECT_EQ(w.dlg.lineCount, 0);
    EXPECT_EQ(w.dlg.memory, w.before);
    EXPECT_EQ(typecodeOf(w.dlg), "XC4510");
}

TEST(ReadHexFile, LineTooLongShowsTheBoxFirstAndKeepsThePreviousImage) {
    TempDir dir;
    LoadedWindow w(dir);
    w.dlg.path = dir.write("long.hex", file({kCode400, std::string(44, '#'), kEnd}));
    w.host.answerNextBox(Answer::Ok);
    EXPECT_EQ(w.dlg.ReadHexFile(), -1);
    EXPECT_EQ(shownOn(w.host), (std::vector<Shown>{okBox("Line too long in Hex file"),
                                                   status("Line too long in Hex file !")}));
    EXPECT_EQ(w.dlg.lineCount, 0);
    EXPECT_EQ(w.dlg.memory, w.before);
    EXPECT_EQ(typecodeOf(w.dlg), "XC4510");
    EXPECT_TRUE(w.failures.empty());
}

TEST(ReadHexFile, FortyFourCharacterRecordIsTooLong) {
    TempDir dir;
    Window w;
    w.dlg.path = dir.write("long.hex", app("QV1210") + counting(0x500, 16) + "0\n");
    w.host.answerNextBox(Answer::Ok);
    EXPECT_EQ(w.dlg.ReadHexFile(), -1);
    EXPECT_EQ(shownOn(w.host), (std::vector<Shown>{okBox("Line too long in Hex file"),
                                                   status("Line too long in Hex file !")}));
}

// Fails with an I/O error after the first block, as a disk or a network share may.
class FailingBuffer : public std::streambuf {
  public:
    explicit FailingBuffer(std::string text) : text_(std::move(text)) {}

  protected:
    int_type underflow() override {
        if (given_) {
            throw std::ios_base::failure("read error");
        }
        given_ = true;
        setg(text_.data(), text_.data(), text_.data() + text_.size());
        return traits_type::to_int_type(text_[0]);
    }

  private:
    std::string text_;
    bool given_ = false;
};

TEST(ReadHexStream, AReadErrorEndsTheLoadAndKeepsThePreviousImage) {
    TempDir dir;
    LoadedWindow w(dir);
    w.dlg.path = "/media/share/fw/app.hex";
    w.host.answerNextBox(Answer::Ok);
    FailingBuffer buffer(app("QV1210"));
    std::istream in(&buffer);
    EXPECT_EQ(image::ReadHexStream(w.dlg, &in), -1);
    EXPECT_EQ(shownOn(w.host), (std::vector<Shown>{okBox("Cannot open file: app.hex"),
                                                   status("Cannot open file: app.hex !")}));
    EXPECT_EQ(w.dlg.lineCount, 0);
    EXPECT_EQ(w.dlg.memory, w.before);
    EXPECT_EQ(typecodeOf(w.dlg), "XC4510");
}

// --- reloads -----------------------------------------------------------------

TEST(ReadHexFile, AReloadAsksTheFrontPanelQuestionAgain) {
    TempDir dir;
    Window w;
    w.dlg.path = dir.write("fp.hex", app("JT2302"));
    w.host.answerNextBox(Answer::Yes);
    ASSERT_EQ(w.dlg.ReadHexFile(), 0);
    EXPECT_EQ(w.dlg.throughOutputPic, 1);
    w.host.answerNextBox(Answer::No);
    ASSERT_EQ(w.dlg.ReadHexFile(), 0);
    EXPECT_EQ(w.dlg.throughOutputPic, 0);
    EXPECT_EQ(w.dlg.frontPanel, 1);
    EXPECT_EQ(
        shownOn(w.host),
        (std::vector<Shown>{yesNoBox(kWayQuestion),
                            status("Hexfile for DV front panel PIC, loading through OP"),
                            yesNoBox(kWayQuestion), status("Hexfile for Dravik front panel PIC")}));
    EXPECT_TRUE(w.failures.empty());
}

TEST(ReadHexFile, AReloadOfABootloaderAsksAgainAndANoLeavesNothingLoaded) {
    TempDir dir;
    Window w;
    w.dlg.path = dir.write("boot.hex", file({counting(0, 16), typecodeAt(0x020, "WN3110")}));
    w.host.answerNextBox(Answer::Yes);
    ASSERT_EQ(w.dlg.ReadHexFile(), 0);
    EXPECT_EQ(w.dlg.lineCount, 2);
    EXPECT_EQ(w.dlg.queryChar, '~');
    w.host.answerNextBox(Answer::No);
    EXPECT_EQ(w.dlg.ReadHexFile(), -1);
    EXPECT_EQ(w.dlg.lineCount, 0);
    EXPECT_EQ(w.dlg.deviceNumber, 0);
    EXPECT_EQ(w.host.boxes().size(), 2u);
    EXPECT_TRUE(w.failures.empty());
}

TEST(ReadHexFile, ALoadThatFailsAfterASuccessfulOneLeavesNothingLoaded) {
    TempDir dir;
    Window w;
    w.dlg.path = dir.write("good.hex", app("QV1210"));
    ASSERT_EQ(w.dlg.ReadHexFile(), 0);
    ASSERT_EQ(w.dlg.lineCount, 3);
    w.dlg.path = dir.write("bad.hex", file({kCode400, recordWithCount(17, 0x500, 0, {})}));
    w.host.answerNextBox(Answer::Ok);
    EXPECT_EQ(w.dlg.ReadHexFile(), -1);
    EXPECT_EQ(w.dlg.lineCount, 0);
    EXPECT_EQ(w.dlg.statusText, "Illegal count value in hex file");
}

// --- hostile input -------------------------------------------------------------

TEST(ReadHexStream, AMillionShortLinesLoad) {
    Window w;
    std::string contents;
    for (int i = 0; i < 1000000; ++i) {
        contents += ":0\n";
    }
    contents += app("JT2310");
    std::istringstream in(contents);
    EXPECT_EQ(image::ReadHexStream(w.dlg, &in), 0);
    EXPECT_EQ(w.dlg.lineCount, 1000003);
    EXPECT_EQ(w.dlg.deviceNumber, 3);
    EXPECT_TRUE(w.failures.empty());
}

TEST(ReadHexStream, BinaryJunkIsPassedOverAndTheFileStillLoads) {
    Window w;
    // Every byte value but the line feed and the colon, in lines of 32.
    std::string junk;
    for (int i = 0; i < 256; ++i) {
        if (i != '\n' && i != ':') {
            junk += static_cast<char>(i);
        }
        if (i % 32 == 31) {
            junk += '\n';
        }
    }
    std::istringstream in(junk + app("QV1210"));
    EXPECT_EQ(image::ReadHexStream(w.dlg, &in), 0);
    EXPECT_EQ(w.dlg.deviceNumber, 2);
}

}  // namespace

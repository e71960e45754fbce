#include "image/device_catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hex_fixtures.h"

namespace {

using namespace image_test;

void setTypecode(CTesmarDlg& dlg, const char (&code)[7]) {
    std::memcpy(dlg.typecode.data(), code, 7);
}

// What was there before: every field the lookup might leave alone is visible.
void setEarlierProfile(CTesmarDlg& dlg) {
    dlg.deviceNumber = 9;
    dlg.description = "earlier device";
    dlg.queryProtocol = 1;
    dlg.processorFamily = 9;
    dlg.memorySize = 0x1234;
    dlg.throughOutputPic = 1;
    dlg.frontPanel = 1;
    dlg.queryChar = 'x';
    dlg.startChar = 'y';
    dlg.startReply = 'z';
    dlg.isBootloader = 1;
    dlg.statusText = "earlier status";
}

struct RowCase {
    const char* name;
    char typecode[7];
    std::vector<ui::Answer> answers;  // for the row that asks
    Profile profile;
    const char* statusText;
    std::vector<Shown> shown;
};

const std::string kQuestion =
    "This firmware can be uploaded in two different ways.\n\n To upload normally, press YES "
    "(preferred)\n To upload manually, press NO (technical expertise required)\n";

class CatalogueRows : public ::testing::TestWithParam<RowCase> {};

TEST_P(CatalogueRows, LookUpFillsTheProfile) {
    Window w;
    const RowCase& c = GetParam();
    setEarlierProfile(w.dlg);
    setTypecode(w.dlg, c.typecode);
    for (auto a : c.answers) {
        w.host.answerNextBox(a);
    }
    EXPECT_EQ(w.dlg.LookUpTypecode(), 1);
    EXPECT_EQ(profileOf(w.dlg), c.profile);
    EXPECT_EQ(w.dlg.statusText, c.statusText);
    EXPECT_EQ(w.dlg.isBootloader, 0);
    // The lookup shows no status itself; only the row-5 question.
    EXPECT_EQ(shownOn(w.host), c.shown);
    EXPECT_TRUE(w.failures.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CatalogueRows,
    ::testing::Values(
        RowCase{"QV1200",
                "QV1200",
                {},
                {1, "Storage Quindle - original with PIC16F877", 1, 1, 0x4000, 0, 0, 'q', 'P', 'p'},
                "Hexfile for original Storage Quindle",
                {}},
        RowCase{"QV1210",
                "QV1210",
                {},
                {2, "Storage Quindle - modified with PIC18F452", 0, 2, 0x8000, 0, 0, 'Q', 'p', 'P'},
                "Hexfile for modified Storage Quindle",
                {}},
        RowCase{"JT2310",
                "JT2310",
                {},
                {3, "Dravik - output PIC", 0, 2, 0x8000, 0, 0, 'Q', 'p', 'P'},
                "Hexfile for Dravik output PIC",
                {}},
        RowCase{"JT2301",
                "JT2301",
                {},
                {4, "Dravik - input PIC", 0, 1, 0x2000, 0, 0, 'Q', 'p', 'P'},
                "Hexfile for Dravik input PIC",
                {}},
        RowCase{"JT2302Yes",
                "JT2302",
                {ui::Answer::Yes},
                {5, "Dravik - front panel PIC", 0, 1, 0x2000, 1, 1, 'Q', 'p', 'P'},
                "Hexfile for DV front panel PIC, loading through OP",
                {yesNoBox(kQuestion)}},
        RowCase{"JT2302No",
                "JT2302",
                {ui::Answer::No},
                {5, "Dravik - front panel PIC", 0, 1, 0x2000, 0, 1, 'Q', 'p', 'P'},
                "Hexfile for Dravik front panel PIC",
                {yesNoBox(kQuestion)}},
        RowCase{"WN3110",
                "WN3110",
                {},
                {6, "Multichannel Moistra logger", 0, 2, 0x8000, 0, 0, 'Q', 'p', 'P'},
                "Hexfile for Multichannel Moistra Logger",
                {}},
        RowCase{"XC4510",
                "XC4510",
                {},
                {7, "Teluvo Mux", 0, 2, 0x4000, 0, 0, 'Q', 'p', 'P'},
                "Hexfile for Teluvo Mux",
                {}}),
    [](const auto& p) { return std::string(p.param.name); });

struct UnknownCase {
    const char* name;
    std::array<char, 7> typecode;
};

class UnknownTypecodes : public ::testing::TestWithParam<UnknownCase> {};

TEST_P(UnknownTypecodes, LeaveTheDefaultsOfAFailedLookup) {
    Window w;
    setEarlierProfile(w.dlg);
    w.dlg.typecode = GetParam().typecode;
    EXPECT_EQ(w.dlg.LookUpTypecode(), 0);
    // description and memorySize keep what they had; the rest is cleared.
    EXPECT_EQ(profileOf(w.dlg), (Profile{0, "earlier device", 0, 0, 0x1234, 0, 0, 0, 0, 0}));
    EXPECT_EQ(w.dlg.statusText, "");
    EXPECT_EQ(w.dlg.isBootloader, 0);
    EXPECT_TRUE(shownOn(w.host).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Typecodes, UnknownTypecodes,
    ::testing::Values(UnknownCase{"ErasedMemory",
                                  {'\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\0'}},
                      UnknownCase{"LowerCase", {'q', 'v', '1', '2', '1', '0', '\0'}},
                      UnknownCase{"OneLetterLowerCase", {'J', 't', '2', '3', '0', '2', '\0'}},
                      UnknownCase{"ShorterWithZero", {'Q', 'V', '1', '2', '1', '\0', '\0'}},
                      UnknownCase{"NoTerminatingZero", {'Q', 'V', '1', '2', '1', '0', '0'}},
                      UnknownCase{"Blank", {'Q', 'V', '1', '2', '1', ' ', '\0'}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Catalogue, TheFrontPanelRowAsksOnEveryLookup) {
    Window w;
    setTypecode(w.dlg, "JT2302");
    w.host.answerNextBox(ui::Answer::Yes);
    w.host.answerNextBox(ui::Answer::No);
    EXPECT_EQ(w.dlg.LookUpTypecode(), 1);
    EXPECT_EQ(w.dlg.throughOutputPic, 1);
    EXPECT_EQ(w.dlg.LookUpTypecode(), 1);
    EXPECT_EQ(w.dlg.throughOutputPic, 0);
    EXPECT_EQ(w.dlg.statusText, "Hexfile for Dravik front panel PIC");
    EXPECT_EQ(shownOn(w.host), (std::vector<Shown>{yesNoBox(kQuestion), yesNoBox(kQuestion)}));
    EXPECT_TRUE(w.failures.empty());
}

TEST(Catalogue, EveryStatusTextBeginsWithHexfile) {
    for (const auto& row : image::kDeviceCatalogue) {
        EXPECT_EQ(std::string(row.statusText).substr(0, 7), "Hexfile") << row.typecode;
        if (row.statusTextNo != nullptr) {
            EXPECT_EQ(std::string(row.statusTextNo).substr(0, 7), "Hexfile") << row.typecode;
        }
    }
}

// --- the "?" box -------------------------------------------------------------

const std::string kGeneralSteps =
    "1) Turn OFF the device being programmed\n2) Press the Run button in Tesmar\n3) Turn the "
    "device being programmed ON\n4) Wait until download is completed\n5) Turn the device OFF "
    "again\n";
const std::string kOutputPicSteps =
    "1) Remove any CF card from the Dravik\n2) Turn the Dravik ON\n3) Wait till Status and Error "
    "are only LEDs lit\n4) Press the Run button in Tesmar\n5) Wait until download is "
    "completed\n6) Set the Dravik time using Nembrot\n";
const std::string kUnknown = "Unknown firmware loaded !\n\nCannot proceed....";

struct InstructionsCase {
    const char* name;
    int32_t isBootloader;
    const char* description;
    int32_t deviceNumber;
    int32_t throughOutputPic;
    std::string text;
};

class LoadInstructions : public ::testing::TestWithParam<InstructionsCase> {};

TEST_P(LoadInstructions, OneOkBox) {
    Window w;
    const InstructionsCase& c = GetParam();
    w.dlg.isBootloader = c.isBootloader;
    w.dlg.description = c.description;
    w.dlg.deviceNumber = c.deviceNumber;
    w.dlg.throughOutputPic = c.throughOutputPic;
    w.dlg.statusText = "kept";
    w.host.answerNextBox(ui::Answer::Ok);
    w.dlg.ShowLoadInstructions();
    EXPECT_EQ(shownOn(w.host), std::vector<Shown>{okBox(c.text)});
    EXPECT_EQ(image::loadInstructionsText(c.isBootloader != 0, c.description, c.deviceNumber,
                                          c.throughOutputPic != 0),
              c.text);
    EXPECT_EQ(w.dlg.statusText, "kept");
    EXPECT_EQ(w.dlg.deviceNumber, c.deviceNumber);
    EXPECT_TRUE(w.failures.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadInstructions,
    ::testing::Values(
        InstructionsCase{"Firmware", 0, "Storage Quindle - original with PIC16F877", 1, 0,
                         "You have loaded firmware for:\n\nStorage Quindle - original with "
                         "PIC16F877\n\n" +
                             kGeneralSteps},
        InstructionsCase{"BootloaderForQV1210", 1, "Storage Quindle - modified with PIC18F452", 2,
                         0,
                         "You have loaded a bootloader for:\n\nStorage Quindle - modified with "
                         "PIC18F452\n\n" +
                             kGeneralSteps},
        InstructionsCase{"FrontPanelThroughOutputPic", 0, "Dravik - front panel PIC", 5, 1,
                         "You have loaded firmware for:\n\nDravik - front panel PIC\n for "
                         "progamming through the Output Pic\n\n" +
                             kOutputPicSteps},
        InstructionsCase{"FrontPanelBootloaderThroughOutputPic", 1, "Dravik - front panel PIC", 5,
                         1,
                         "You have loaded a bootloader for:\n\nDravik - front panel PIC\n for "
                         "progamming through the Output Pic\n\n" +
                             kOutputPicSteps},
        InstructionsCase{
            "FrontPanelManual", 0, "Dravik - front panel PIC", 5, 0,
            "You have loaded firmware for:\n\nDravik - front panel PIC\n\n" + kGeneralSteps},
        // The output-processor steps belong to row 5 alone.
        InstructionsCase{"OutputPicFlagOnAnotherRow", 0, "Teluvo Mux", 7, 1,
                         "You have loaded firmware for:\n\nTeluvo Mux\n\n" + kGeneralSteps},
        InstructionsCase{"UnknownDevice", 1, "Teluvo Mux", 0, 1, kUnknown},
        InstructionsCase{"DeviceEight", 0, "Teluvo Mux", 8, 0, kUnknown},
        InstructionsCase{"NegativeDevice", 0, "Teluvo Mux", -1, 0, kUnknown}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace

#include "res/resources.h"

// The program's name and version: the about box's line and kProgramName,
// kProgramVersion are made from these, so they cannot disagree.
#define TESMAR_PROGRAM_NAME "Tesmar"
#define TESMAR_PROGRAM_VERSION "1.0"

namespace res {

namespace {

// clang-format off
constexpr ControlTemplate kMainControls[] = {
    // id               kind                      caption           x    y    w    h   tab    disabled sunken
    {IDC_LOAD_HEX,    ControlKind::PushButton,   "Load Hex File",    7,  80,  50,  14, true,  false,   false},
    {IDC_RUN,         ControlKind::PushButton,   "RUN",            131,  80,  50,  14, true,  false,   false},
    {IDOK,            ControlKind::PushButton,   "Quit",           259,  80,  50,  14, true,  false,   false},
    {IDC_FILE_TEXT,   ControlKind::StaticText,   "No File Loaded",   7,  13, 303,  11, false, false,   true },
    {IDC_STATUS_TEXT, ControlKind::StaticText,   "",                 7,  31, 303,  11, false, false,   true },
    {IDC_STATIC,      ControlKind::StaticText,   "Com Port  ",      22,  57,  34,   8, false, false,   false},
    {IDC_RELOAD_HEX,  ControlKind::PushButton,   "Reload Hex",      69,  80,  50,  14, true,  false,   false},
    {IDC_INFO,        ControlKind::PushButton,   "?",              193,  80,  20,  14, true,  false,   false},
    {IDC_COM_PORT,    ControlKind::DropDownList, "",                56,  55,  38,  47, true,  false,   false},
    {IDC_LOAD_SCRIPT, ControlKind::PushButton,   "Load Script",    260,  54,  50,  14, true,  true,    false},
};

constexpr ControlTemplate kAboutControls[] = {
    {IDR_MAINFRAME,   ControlKind::Icon,         "",                11,  17,  20,  20, false, false,   false},
    {IDC_STATIC,      ControlKind::StaticText,   TESMAR_PROGRAM_NAME " Version " TESMAR_PROGRAM_VERSION,
                                                                    40,  10, 119,   8, false, false,   false},
    {IDC_STATIC,      ControlKind::StaticText,   "Firmware uploader for PIC16 and PIC18 instruments",
                                                                    40,  25, 160,  16, false, false,   false},
    {IDOK,            ControlKind::PushButton,   "OK",             178,   7,  50,  14, true,  false,   false},
};
// clang-format on

}  // namespace

const DialogTemplate kMainDialog = {"Tesmar", 317, 101, "MS Sans Serif", 8, kMainControls};
const DialogTemplate kAboutDialog = {"About tesmar", 235, 55, "MS Sans Serif", 8, kAboutControls};

const char* const kProgramName = TESMAR_PROGRAM_NAME;
const char* const kProgramVersion = TESMAR_PROGRAM_VERSION;

const ControlTemplate* DialogTemplate::find(int id) const {
    for (const auto& c : controls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

std::string loadString(int id) {
    switch (id) {
        case IDS_ABOUTBOX:
            return "&About tesmar...";
        default:
            return {};
    }
}

}  // namespace res

#pragma once

// The window layouts, control ids and strings: one source for every backend.

#include <span>
#include <string>

namespace res {

// Control and command identities of the main window.
constexpr int IDOK = 1;      // Quit: the dialog's OK identity
constexpr int IDCANCEL = 2;  // Esc
constexpr int IDC_STATIC = -1;
constexpr int IDC_LOAD_HEX = 1000;
constexpr int IDC_FILE_TEXT = 1001;    // first status line
constexpr int IDC_STATUS_TEXT = 1002;  // second status line
constexpr int IDC_RUN = 1003;
constexpr int IDC_RELOAD_HEX = 1014;
constexpr int IDC_INFO = 1015;  // "?"
constexpr int IDC_COM_PORT = 1016;
constexpr int IDC_LOAD_SCRIPT = 1017;

constexpr unsigned IDM_ABOUTBOX = 0x0010;  // system-menu command of the about entry
constexpr int IDS_ABOUTBOX = 101;          // its text
constexpr int IDR_MAINFRAME = 128;         // the application icon

enum class ControlKind { PushButton, StaticText, DropDownList, Icon };

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* caption;
    int x, y, width, height;  // dialog units
    bool tabStop;
    bool disabled;  // created disabled
    bool sunken;    // static text with a sunken frame, vertically centred
};

struct DialogTemplate {
    const char* title;
    int width, height;  // dialog units
    const char* fontName;
    int fontPointSize;
    std::span<const ControlTemplate> controls;  // in tab order
    const ControlTemplate* find(int id) const;
};

extern const DialogTemplate kMainDialog;
extern const DialogTemplate kAboutDialog;

// String resources; empty for an unknown id.
std::string loadString(int id);

// The program's name and version as the about box shows them.
extern const char* const kProgramName;
extern const char* const kProgramVersion;

// The application icon as SVG text (a vector drawing, rendered by a backend).
extern const char* const kApplicationIconSvg;

}  // namespace res

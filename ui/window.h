#pragma once

// The program's window framework: a dialog built from a layout table, its
// controls addressed by id, data exchange, message boxes, the file-open dialog,
// timers, the system menu and the modal run. The logic (app/, image/, upload/)
// sees only this header; a backend (ui/qt, ui/headless) implements WindowHost.

#include <optional>
#include <string>

#include "res/resources.h"
#include "ui/message_pump.h"

namespace ui {

enum class Buttons { Ok, OkCancel, YesNo };
// Default: exclamation for an OK or OK/Cancel box, question for a Yes/No box.
enum class Icon { Default, Exclamation, Question, Information, Error };
enum class Answer { Ok, Cancel, Yes, No };
// The result of a modal run, with the values of the Windows identities.
enum class DialogResult { Ok = 1, Cancel = 2 };

// The icon a box actually shows once the default rule is applied.
Icon resolveIcon(Buttons buttons, Icon icon);

// The caption of every message box: the executable's file name without folder
// and extension. Set once at start-up (CTesmarApp) or by a test.
void setApplicationName(const std::string& name);
const std::string& applicationName();
// "/usr/bin/tesmar" -> "tesmar", "C:\\x\\TESMAR.EXE" -> "TESMAR".
std::string applicationNameFromPath(const std::string& executablePath);

class Dialog;

// One open dialog window, as a backend provides it. Every call is made on the
// user-interface thread.
class WindowHost : public MessagePump {
  public:
    ~WindowHost() override = default;

    // A modal message box; caption = applicationName(), icon after resolveIcon.
    // Returns the button the user chose (Cancel or No when the box is closed).
    virtual Answer messageBox(const std::string& text, Buttons buttons, Icon icon) = 0;

    virtual void setControlText(int id, const std::string& text) = 0;
    virtual std::string controlText(int id) const = 0;
    virtual void enableControl(int id, bool enabled) = 0;
    virtual bool isControlEnabled(int id) const = 0;

    // Drop-down list: insert an item at a position, select an index (-1 = none),
    // read the selected index (-1 = none).
    virtual void insertListItem(int id, int position, const std::string& text) = 0;
    virtual void setListSelection(int id, int index) = 0;
    virtual int listSelection(int id) const = 0;

    virtual void setTitle(const std::string& title) = 0;
    virtual std::string title() const = 0;

    // The file-open dialog. filter uses the "Name (*.x)|*.x||" form; a name that
    // does not exist is accepted. Returns the full path, or nothing on Cancel.
    virtual std::optional<std::string> openFileDialog(const std::string& filter,
                                                      const std::string& defaultExtension,
                                                      const std::string& initialName) = 0;

    // Window timers: ticks arrive as Dialog::OnTimer(id) from the message loop
    // (also the loop of an open message box, and drain()). setTimer returns the
    // identifier, 0 on failure.
    virtual unsigned setTimer(unsigned id, unsigned periodMs) = 0;
    virtual void killTimer(unsigned id) = 0;

    // Appends a separator and a command item to the window menu (or wherever
    // the desktop lets a user find it). Choosing it calls OnSysCommand(command).
    virtual void appendSystemMenuItem(unsigned command, const std::string& text) = 0;

    // Painting of the minimised window: the client area, the system's standard
    // icon size, and the application icon drawn at a point of the client area
    // after its background is erased; defaultPaint is the normal dialog paint.
    struct Size {
        int width;
        int height;
    };
    virtual bool isMinimized() const = 0;
    virtual Size clientSize() const = 0;
    virtual Size iconSize() const = 0;
    virtual void drawApplicationIcon(int x, int y) = 0;
    virtual void defaultPaint() = 0;

    // The framework's own handling of a window-menu command (move, close: a
    // close calls Dialog::OnClose).
    virtual void defaultSysCommand(unsigned command) = 0;

    // Runs another dialog (the about box) modally over this one.
    virtual DialogResult runChildModal(Dialog& child) = 0;

    // Ends the modal run with a result. Requested from inside a handler, it
    // takes effect when the outermost handler has returned.
    virtual void endDialog(DialogResult result) = 0;
};

// A backend that can run a top-level dialog modally: builds its window from
// the layout, calls OnInitDialog, runs until the dialog ends, returns the result.
class Backend {
  public:
    virtual ~Backend() = default;
    virtual DialogResult runModal(Dialog& dialog) = 0;
};

constexpr unsigned SC_CLOSE = 0xF060;  // the window menu's Close

// Data exchange between members and controls (the two directions of
// UpdateData). DoDataExchange lists the tied members once; the direction
// decides which way they travel.
class DataExchange {
  public:
    DataExchange(WindowHost& host, bool saveAndValidate) : host_(host), save_(saveAndValidate) {}
    bool saving() const { return save_; }
    void text(int id, std::string& member);
    void listIndex(int id, int& member);

  private:
    WindowHost& host_;
    bool save_;
};

// A control of a dialog, addressed by its id (the control members of the
// original window class: runButton.EnableWindow(false)).
class ControlRef {
  public:
    ControlRef(Dialog& dialog, int id) : dialog_(dialog), id_(id) {}
    int id() const { return id_; }
    void EnableWindow(bool enabled);
    bool IsWindowEnabled() const;
    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;
    // Drop-down lists.
    void InsertString(int position, const std::string& text);
    void SetCurSel(int index);
    int GetCurSel() const;

  private:
    Dialog& dialog_;
    int id_;
};

// Base of the program's dialogs. A backend attaches itself with attach(),
// creates the controls from layout(), calls OnInitDialog, and routes events to
// the On... handlers.
class Dialog {
  public:
    explicit Dialog(const res::DialogTemplate& layout) : layout_(layout) {}
    virtual ~Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    const res::DialogTemplate& layout() const { return layout_; }
    void attach(WindowHost* host) { host_ = host; }
    WindowHost* host() const { return host_; }

    // Events, called by the backend.
    virtual bool OnInitDialog() { return true; }
    virtual void OnCommand(int id);                // a push button was clicked
    virtual void OnSelectionChange(int /*id*/) {}  // a drop-down list selection
    virtual void OnOK();                           // id 1: read back, end with OK
    virtual void OnCancel();                       // id 2 / Esc: end with Cancel
    virtual void OnClose() { OnCancel(); }         // a close request
    virtual void OnSysCommand(unsigned /*command*/) {}
    virtual void OnTimer(unsigned /*id*/) {}
    virtual void OnPaint() {}
    virtual void OnHelp() {}  // F1

    // Runs this dialog modally: over the parent when one is given (the about
    // box), otherwise through the backend.
    DialogResult DoModal(WindowHost& parent) { return parent.runChildModal(*this); }
    DialogResult DoModal(Backend& backend) { return backend.runModal(*this); }

    // Services for the handlers.
    Answer MessageBox(const std::string& text, Buttons buttons = Buttons::Ok,
                      Icon icon = Icon::Default);
    // true: controls -> members; false: members -> controls ("show").
    void UpdateData(bool saveAndValidate);
    void EndDialog(DialogResult result);
    void SetWindowText(const std::string& title);
    void EnableControl(int id, bool enabled);
    void SetControlText(int id, const std::string& text);
    unsigned SetTimer(unsigned id, unsigned periodMs);
    void KillTimer(unsigned id);

  protected:
    virtual void DoDataExchange(DataExchange& /*dx*/) {}

  private:
    const res::DialogTemplate& layout_;
    WindowHost* host_ = nullptr;
};

}  // namespace ui

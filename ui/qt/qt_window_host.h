#pragma once

// The Qt 6 Widgets backend of the window layer. A QtWindowHost builds one
// dialog window from its layout table and routes the window's events to the
// Dialog's handlers; QtBackend runs a top-level dialog modally.
//
// Behaviour a Windows dialog has and this one reproduces:
//  - no push button is the default: Enter presses the push button that has
//    the focus, and with no push button focused it is the OK command (id 1);
//    Esc is the Cancel command (id 2); F1 is Dialog::OnHelp; Tab follows the
//    layout's order; the first enabled tab stop gets the focus when the window
//    opens;
//  - a close request (the title bar's close button, Alt+F4) calls
//    Dialog::OnClose and never closes the window by itself;
//  - an end of the modal run requested inside a handler takes effect when
//    the outermost handler has returned (handlers nest through drain() and
//    the loops of message boxes);
//  - the entries of the window menu (appendSystemMenuItem) are in a context
//    menu of the window (right mouse button, or the menu key), after the
//    item Close and a separator: desktops on Linux do not let a program
//    extend the window manager's menu.

#include <QPointer>
#include <QWidget>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ui/qt/dialog_metrics.h"
#include "ui/window.h"

class QDialog;
class QEventLoop;
class QPaintEvent;
class QTimer;

namespace ui::qt {

class DialogWindow;

class QtWindowHost : public WindowHost {
  public:
    // parent: the window this one is modal over (the about box over the main
    // window), or none for a top-level window with its own task-bar entry.
    explicit QtWindowHost(Dialog& dialog, QWidget* parent = nullptr);
    ~QtWindowHost() override;
    QtWindowHost(const QtWindowHost&) = delete;
    QtWindowHost& operator=(const QtWindowHost&) = delete;

    // Builds the window and its controls from the dialog's layout, attaches
    // the dialog, installs this host as the thread's pump and runs
    // OnInitDialog; the window is not shown yet.
    void open();
    // Shows the window and runs its loop until the dialog has ended (at once
    // when it ended during OnInitDialog). Returns the result; Cancel when the
    // application quits the loop without an end.
    DialogResult exec();

    // --- for the backend's own tests ---------------------------------------
    QDialog* window() const;
    // The control with an id (not IDC_STATIC), or null.
    QWidget* control(int id) const;
    // Every control, in the layout's order, the static texts without an id too.
    const std::vector<QWidget*>& controls() const { return controls_; }
    DialogBaseUnits baseUnits() const { return base_; }
    int handlerDepth() const { return depth_; }
    // The end requested by the dialog (it may not have taken effect yet).
    std::optional<DialogResult> requestedEnd() const { return requested_; }
    // The end has taken effect: the window is hidden and the loop left.
    bool finished() const { return finished_; }
    const std::vector<std::pair<unsigned, std::string>>& systemMenuItems() const {
        return menuItems_;
    }

    // --- WindowHost ---------------------------------------------------------
    Answer messageBox(const std::string& text, Buttons buttons, Icon icon) override;
    void setControlText(int id, const std::string& text) override;
    std::string controlText(int id) const override;
    void enableControl(int id, bool enabled) override;
    bool isControlEnabled(int id) const override;
    void insertListItem(int id, int position, const std::string& text) override;
    void setListSelection(int id, int index) override;
    int listSelection(int id) const override;
    void setTitle(const std::string& title) override;
    std::string title() const override;
    std::optional<std::string> openFileDialog(const std::string& filter,
                                              const std::string& defaultExtension,
                                              const std::string& initialName) override;
    unsigned setTimer(unsigned id, unsigned periodMs) override;
    void killTimer(unsigned id) override;
    void appendSystemMenuItem(unsigned command, const std::string& text) override;
    bool isMinimized() const override;
    Size clientSize() const override;
    Size iconSize() const override;
    void drawApplicationIcon(int x, int y) override;
    void defaultPaint() override;
    void defaultSysCommand(unsigned command) override;
    DialogResult runChildModal(Dialog& child) override;
    void endDialog(DialogResult result) override;
    // Dispatches every pending event, handlers running nested in the caller,
    // and returns when none is left; never waits for an event.
    void drain() override;

  private:
    friend class DialogWindow;

    // Runs one handler of the dialog: counts the nesting and, when the
    // outermost handler returns after an end was requested, ends the run.
    template <class Handler>
    void dispatch(Handler&& handler) {
        if (finished_) {
            return;
        }
        ++depth_;
        std::forward<Handler>(handler)();
        --depth_;
        finishIfEnded();
    }
    void finishIfEnded();
    void buildControls();
    void focusFirstTabStop();

    // Events of the window.
    void enterPressed();
    void escapePressed();
    void helpRequested();
    void closeRequested();
    void contextMenuRequested(const QPoint& globalPos);
    void paintRequested(QPaintEvent* event);

    Dialog& dialog_;
    QPointer<QWidget> parent_;
    std::unique_ptr<DialogWindow> window_;
    DialogBaseUnits base_{1, 1};
    std::map<int, QWidget*> byId_;
    std::vector<QWidget*> controls_;
    std::map<unsigned, QTimer*> timers_;  // children of the window
    std::vector<std::pair<unsigned, std::string>> menuItems_;
    QEventLoop* loop_ = nullptr;
    int depth_ = 0;
    std::optional<DialogResult> requested_;
    bool finished_ = false;
    bool opened_ = false;
    bool painting_ = false;
    MessagePump* previousPump_ = nullptr;
};

// Runs a top-level dialog (the main window) in a window of its own.
class QtBackend : public Backend {
  public:
    DialogResult runModal(Dialog& dialog) override;
};

}  // namespace ui::qt

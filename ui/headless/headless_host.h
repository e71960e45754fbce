#pragma once

// A window without a screen, for tests (and later a command line). It keeps
// the state of every control, records what a user would have seen (boxes,
// status texts, titles) in order, answers boxes and the file dialog from a
// script, and performs scripted user actions from inside the message drain
// when their trigger is met. A box or file dialog that the script does not
// answer is a failure, reported through the failure handler.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ui/window.h"

namespace ui::headless {

struct BoxRecord {
    std::string text;
    std::string caption;
    Buttons buttons;
    Icon icon;
    bool operator==(const BoxRecord&) const = default;
};

struct Event {
    enum class Kind { Box, Status, FileText, Title, ChildDialog, IconDrawn };
    Kind kind;
    std::string text;  // the box text, status text, file text, title, or child dialog title
    BoxRecord box;     // for Kind::Box
    int64_t atMs;      // virtual time when it happened (0 without a clock)
};

struct FileDialogRecord {
    std::string filter;
    std::string defaultExtension;
    std::string initialName;
};

// What a user does. Performed as the real window would: a click on a disabled
// control does nothing.
struct Action {
    enum class Kind { Click, Select, Enter, Escape, Close, Focus, SysCommand };
    Kind kind;
    int id = 0;     // control id (Click, Select, Focus) or command (SysCommand)
    int index = 0;  // item index (Select)

    static Action click(int id) { return {Kind::Click, id, 0}; }
    static Action select(int id, int index) { return {Kind::Select, id, index}; }
    static Action enter() { return {Kind::Enter, 0, 0}; }
    static Action escape() { return {Kind::Escape, 0, 0}; }
    static Action close() { return {Kind::Close, 0, 0}; }
    static Action focus(int id) { return {Kind::Focus, id, 0}; }
    static Action sysCommand(unsigned command) {
        return {Kind::SysCommand, static_cast<int>(command), 0};
    }
};

// When a nested action fires: checked at every drain.
struct Trigger {
    enum class Kind { AfterDrains, AtTimeMs, WhenStatus };
    Kind kind;
    int64_t value = 0;
    std::string status;

    static Trigger afterDrains(int64_t n) { return {Kind::AfterDrains, n, {}}; }
    static Trigger atTimeMs(int64_t t) { return {Kind::AtTimeMs, t, {}}; }
    static Trigger whenStatus(std::string text) { return {Kind::WhenStatus, 0, std::move(text)}; }
};

class HeadlessHost : public WindowHost, public Backend {
  public:
    HeadlessHost();
    ~HeadlessHost() override;

    // --- set-up -----------------------------------------------------------
    // Virtual time: nowMs reads the clock, advanceToMs moves it forward. Without
    // a clock, time stands at 0 and boxes are closed at once.
    void setClock(std::function<int64_t()> nowMs, std::function<void(int64_t)> advanceToMs);
    // Called for every failure of the script (an unanswered box, a modal run
    // whose script ran out). Default: print to stderr and abort.
    void setFailureHandler(std::function<void(const std::string&)> handler);

    // Creates the controls from the dialog's layout, attaches the dialog,
    // installs this host as the thread's pump, and runs OnInitDialog. The
    // focus goes to the first tab stop.
    void open(Dialog& dialog);
    // open(), then the queued top-level actions one after another, each
    // returning before the next, until the dialog has ended. Returns its result.
    DialogResult runModal(Dialog& dialog) override;

    // --- script -----------------------------------------------------------
    // Answers the next box; the box stays open for holdMs of virtual time,
    // during which timer ticks are delivered.
    void answerNextBox(Answer answer, int64_t holdMs = 0);
    // The answer for boxes when no scripted answer is queued; none = failure.
    void setDefaultAnswer(std::optional<Answer> answer, int64_t holdMs = 0);
    // Answers the next file dialog with a path, or cancels it (nullopt).
    void answerNextFileDialog(std::optional<std::string> path);
    // A top-level action for runModal.
    void queueAction(Action action);
    // A nested action, performed from inside drain() once the trigger is met.
    void when(Trigger trigger, Action action);

    // --- the user, directly -----------------------------------------------
    void perform(const Action& action);

    // --- what happened ----------------------------------------------------
    const std::vector<Event>& events() const { return events_; }
    std::vector<BoxRecord> boxes() const;
    std::vector<std::string> statuses() const;  // status texts shown, in order
    std::vector<std::string> titles() const;
    const std::vector<FileDialogRecord>& fileDialogs() const { return fileDialogs_; }
    void clearEvents() { events_.clear(); }
    int64_t drainCount() const { return drains_; }
    bool ended() const { return result_.has_value(); }
    std::optional<DialogResult> result() const { return result_; }
    std::vector<std::string> listItems(int id) const;
    struct MenuItem {
        unsigned command;
        std::string text;
    };
    const std::vector<MenuItem>& systemMenu() const { return systemMenu_; }
    bool timerRunning(unsigned id) const { return timers_.count(id) != 0; }
    int focusedControl() const { return focus_; }
    int64_t nowMs() const { return now_ ? now_() : 0; }
    int boxDepth() const { return boxDepth_; }

    // --- WindowHost -------------------------------------------------------
    Answer messageBox(const std::string& text, Buttons buttons, Icon icon) override;
    void setControlText(int id, const std::string& text) override;
    std::string controlText(int id) const override;
    void enableControl(int id, bool enabled) override;
    bool isControlEnabled(int id) const override;
    void insertListItem(int id, int position, const std::string& text) override;
    void setListSelection(int id, int index) override;
    int listSelection(int id) const override;
    void setTitle(const std::string& title) override;
    std::string title() const override { return title_; }
    std::optional<std::string> openFileDialog(const std::string& filter,
                                              const std::string& defaultExtension,
                                              const std::string& initialName) override;
    unsigned setTimer(unsigned id, unsigned periodMs) override;
    void killTimer(unsigned id) override;
    void appendSystemMenuItem(unsigned command, const std::string& text) override;
    bool isMinimized() const override { return minimized_; }
    Size clientSize() const override { return clientSize_; }
    Size iconSize() const override { return {32, 32}; }
    void drawApplicationIcon(int x, int y) override;
    void defaultPaint() override {}
    void defaultSysCommand(unsigned command) override;
    // Child dialogs (the about box) are recorded and closed with OK at once.
    DialogResult runChildModal(Dialog& child) override;
    void setMinimized(bool minimized, Size client = {36, 36}) {
        minimized_ = minimized;
        clientSize_ = client;
    }
    struct Point {
        int x;
        int y;
    };
    const std::vector<Point>& iconDrawings() const { return iconDrawings_; }
    void endDialog(DialogResult result) override;
    void drain() override;

  private:
    struct Control {
        res::ControlKind kind;
        std::string text;
        bool enabled = true;
        std::vector<std::string> items;
        int selection = -1;
    };
    struct Timer {
        unsigned periodMs;
        int64_t dueMs;
    };
    struct Reply {
        Answer answer;
        int64_t holdMs;
    };
    struct Pending {
        Trigger trigger;
        Action action;
    };

    Control* control(int id);
    const Control* control(int id) const;
    void record(Event::Kind kind, const std::string& text, const BoxRecord& box = {});
    void fail(const std::string& message);
    void deliverDueTimers();
    void holdBox(int64_t holdMs);
    bool triggered(const Trigger& trigger) const;

    Dialog* dialog_ = nullptr;
    std::map<int, Control> controls_;
    std::string title_;
    int focus_ = 0;
    std::vector<MenuItem> systemMenu_;
    std::map<unsigned, Timer> timers_;
    std::vector<Event> events_;
    std::vector<FileDialogRecord> fileDialogs_;
    std::deque<Reply> replies_;
    std::optional<Reply> defaultReply_;
    std::deque<std::optional<std::string>> fileAnswers_;
    std::deque<Action> topLevel_;
    std::vector<Pending> pending_;
    std::optional<DialogResult> result_;
    std::function<int64_t()> now_;
    std::function<void(int64_t)> advanceTo_;
    std::function<void(const std::string&)> onFailure_;
    bool minimized_ = false;
    Size clientSize_{0, 0};
    std::vector<Point> iconDrawings_;
    int64_t drains_ = 0;
    int boxDepth_ = 0;
    int handlerDepth_ = 0;
};

}  // namespace ui::headless

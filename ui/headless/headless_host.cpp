#include "ui/headless/headless_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace ui::headless {

HeadlessHost::HeadlessHost() {
    onFailure_ = [](const std::string& message) {
        std::fprintf(stderr, "headless window: %s\n", message.c_str());
        std::abort();
    };
}

HeadlessHost::~HeadlessHost() {
    if (threadPump() == this) {
        setThreadPump(nullptr);
    }
}

void HeadlessHost::setClock(std::function<int64_t()> nowMs,
                            std::function<void(int64_t)> advanceToMs) {
    now_ = std::move(nowMs);
    advanceTo_ = std::move(advanceToMs);
}

void HeadlessHost::setFailureHandler(std::function<void(const std::string&)> handler) {
    onFailure_ = std::move(handler);
}

void HeadlessHost::fail(const std::string& message) {
    onFailure_(message);
}

void HeadlessHost::open(Dialog& dialog) {
    dialog_ = &dialog;
    controls_.clear();
    focus_ = 0;
    bool focusSet = false;
    for (const auto& t : dialog.layout().controls) {
        if (t.id == res::IDC_STATIC) {
            continue;
        }
        Control c;
        c.kind = t.kind;
        c.text = t.caption;
        c.enabled = !t.disabled;
        controls_[t.id] = c;
        if (!focusSet && t.tabStop && c.enabled) {
            focus_ = t.id;
            focusSet = true;
        }
    }
    title_ = dialog.layout().title;
    dialog.attach(this);
    setThreadPump(this);
    ++handlerDepth_;
    dialog.OnInitDialog();
    --handlerDepth_;
}

DialogResult HeadlessHost::runModal(Dialog& dialog) {
    open(dialog);
    while (!result_) {
        if (topLevel_.empty()) {
            fail("the modal run's script ended before the dialog did");
            return DialogResult::Cancel;
        }
        Action next = topLevel_.front();
        topLevel_.pop_front();
        perform(next);
    }
    return *result_;
}

void HeadlessHost::answerNextBox(Answer answer, int64_t holdMs) {
    replies_.push_back({answer, holdMs});
}

void HeadlessHost::setDefaultAnswer(std::optional<Answer> answer, int64_t holdMs) {
    if (answer) {
        defaultReply_ = Reply{*answer, holdMs};
    } else {
        defaultReply_.reset();
    }
}

void HeadlessHost::answerNextFileDialog(std::optional<std::string> path) {
    fileAnswers_.push_back(std::move(path));
}

void HeadlessHost::queueAction(Action action) {
    topLevel_.push_back(action);
}

void HeadlessHost::when(Trigger trigger, Action action) {
    pending_.push_back({std::move(trigger), action});
}

void HeadlessHost::perform(const Action& action) {
    if (dialog_ == nullptr) {
        fail("an action was performed before the window was opened");
        return;
    }
    ++handlerDepth_;
    switch (action.kind) {
        case Action::Kind::Click:
            if (isControlEnabled(action.id)) {
                focus_ = action.id;
                dialog_->OnCommand(action.id);
            }
            break;
        case Action::Kind::Select:
            if (isControlEnabled(action.id)) {
                setListSelection(action.id, action.index);
                dialog_->OnSelectionChange(action.id);
            }
            break;
        case Action::Kind::Enter: {
            // A Windows dialog without a default button: Enter presses the
            // focused push button, otherwise it is the OK command.
            const Control* c = control(focus_);
            if (c != nullptr && c->kind == res::ControlKind::PushButton) {
                if (c->enabled) {
                    dialog_->OnCommand(focus_);
                }
            } else {
                dialog_->OnCommand(res::IDOK);
            }
            break;
        }
        case Action::Kind::Escape:
            dialog_->OnCommand(res::IDCANCEL);
            break;
        case Action::Kind::Close:
            dialog_->OnClose();
            break;
        case Action::Kind::Focus:
            if (isControlEnabled(action.id)) {
                focus_ = action.id;
            }
            break;
        case Action::Kind::SysCommand:
            dialog_->OnSysCommand(static_cast<unsigned>(action.id));
            break;
    }
    --handlerDepth_;
}

std::vector<BoxRecord> HeadlessHost::boxes() const {
    std::vector<BoxRecord> out;
    for (const auto& e : events_) {
        if (e.kind == Event::Kind::Box) {
            out.push_back(e.box);
        }
    }
    return out;
}

std::vector<std::string> HeadlessHost::statuses() const {
    std::vector<std::string> out;
    for (const auto& e : events_) {
        if (e.kind == Event::Kind::Status) {
            out.push_back(e.text);
        }
    }
    return out;
}

std::vector<std::string> HeadlessHost::titles() const {
    std::vector<std::string> out;
    for (const auto& e : events_) {
        if (e.kind == Event::Kind::Title) {
            out.push_back(e.text);
        }
    }
    return out;
}

std::vector<std::string> HeadlessHost::listItems(int id) const {
    const Control* c = control(id);
    return c != nullptr ? c->items : std::vector<std::string>{};
}

void HeadlessHost::record(Event::Kind kind, const std::string& text, const BoxRecord& box) {
    events_.push_back({kind, text, box, nowMs()});
}

HeadlessHost::Control* HeadlessHost::control(int id) {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

const HeadlessHost::Control* HeadlessHost::control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

Answer HeadlessHost::messageBox(const std::string& text, Buttons buttons, Icon icon) {
    BoxRecord box{text, applicationName(), buttons, resolveIcon(buttons, icon)};
    record(Event::Kind::Box, text, box);
    std::optional<Reply> reply;
    if (!replies_.empty()) {
        reply = replies_.front();
        replies_.pop_front();
    } else if (defaultReply_) {
        reply = defaultReply_;
    }
    if (!reply) {
        fail("no scripted answer for the box \"" + text + "\"");
        return buttons == Buttons::YesNo ? Answer::No : Answer::Cancel;
    }
    ++boxDepth_;
    holdBox(reply->holdMs);
    --boxDepth_;
    return reply->answer;
}

void HeadlessHost::holdBox(int64_t holdMs) {
    if (!now_ || !advanceTo_ || holdMs <= 0) {
        return;
    }
    const int64_t end = now_() + holdMs;
    // The box's own message loop: timer ticks arrive as they fall due.
    while (true) {
        int64_t next = end;
        for (const auto& [id, t] : timers_) {
            next = std::min(next, t.dueMs);
        }
        if (next > now_()) {
            advanceTo_(next);
        }
        deliverDueTimers();
        if (now_() >= end) {
            break;
        }
    }
}

void HeadlessHost::deliverDueTimers() {
    if (dialog_ == nullptr) {
        return;
    }
    const int64_t now = nowMs();
    std::vector<unsigned> due;
    for (auto& [id, t] : timers_) {
        if (now >= t.dueMs) {
            // Like WM_TIMER: missed periods coalesce into one tick.
            t.dueMs = now + t.periodMs;
            due.push_back(id);
        }
    }
    for (unsigned id : due) {
        if (timers_.count(id) != 0) {
            dialog_->OnTimer(id);
        }
    }
}

void HeadlessHost::setControlText(int id, const std::string& text) {
    Control* c = control(id);
    if (c == nullptr) {
        return;
    }
    if (c->text != text) {
        if (id == res::IDC_STATUS_TEXT) {
            record(Event::Kind::Status, text);
        } else if (id == res::IDC_FILE_TEXT) {
            record(Event::Kind::FileText, text);
        }
    }
    c->text = text;
}

std::string HeadlessHost::controlText(int id) const {
    const Control* c = control(id);
    return c != nullptr ? c->text : std::string{};
}

void HeadlessHost::enableControl(int id, bool enabled) {
    if (Control* c = control(id)) {
        c->enabled = enabled;
    }
}

bool HeadlessHost::isControlEnabled(int id) const {
    const Control* c = control(id);
    return c != nullptr && c->enabled;
}

void HeadlessHost::insertListItem(int id, int position, const std::string& text) {
    Control* c = control(id);
    if (c == nullptr) {
        return;
    }
    if (position < 0 || position > static_cast<int>(c->items.size())) {
        position = static_cast<int>(c->items.size());
    }
    c->items.insert(c->items.begin() + position, text);
}

void HeadlessHost::setListSelection(int id, int index) {
    Control* c = control(id);
    if (c == nullptr) {
        return;
    }
    // Like CB_SETCURSEL: an index outside the list selects nothing.
    c->selection = (index >= 0 && index < static_cast<int>(c->items.size())) ? index : -1;
}

int HeadlessHost::listSelection(int id) const {
    const Control* c = control(id);
    return c != nullptr ? c->selection : -1;
}

void HeadlessHost::setTitle(const std::string& title) {
    if (title != title_) {
        record(Event::Kind::Title, title);
    }
    title_ = title;
}

std::optional<std::string> HeadlessHost::openFileDialog(const std::string& filter,
                                                        const std::string& defaultExtension,
                                                        const std::string& initialName) {
    fileDialogs_.push_back({filter, defaultExtension, initialName});
    if (fileAnswers_.empty()) {
        fail("no scripted answer for the file dialog");
        return std::nullopt;
    }
    auto answer = fileAnswers_.front();
    fileAnswers_.pop_front();
    return answer;
}

unsigned HeadlessHost::setTimer(unsigned id, unsigned periodMs) {
    if (id == 0) {
        return 0;
    }
    timers_[id] = Timer{periodMs, nowMs() + periodMs};
    return id;
}

void HeadlessHost::killTimer(unsigned id) {
    timers_.erase(id);
}

void HeadlessHost::appendSystemMenuItem(unsigned command, const std::string& text) {
    systemMenu_.push_back({command, text});
}

void HeadlessHost::drawApplicationIcon(int x, int y) {
    iconDrawings_.push_back({x, y});
    record(Event::Kind::IconDrawn, std::to_string(x) + "," + std::to_string(y));
}

void HeadlessHost::defaultSysCommand(unsigned command) {
    if ((command & 0xFFF0u) == SC_CLOSE && dialog_ != nullptr) {
        dialog_->OnClose();
    }
}

DialogResult HeadlessHost::runChildModal(Dialog& child) {
    record(Event::Kind::ChildDialog, child.layout().title);
    return DialogResult::Ok;
}

void HeadlessHost::endDialog(DialogResult result) {
    // Recorded now; the modal run ends when the outermost handler returns.
    result_ = result;
}

bool HeadlessHost::triggered(const Trigger& trigger) const {
    switch (trigger.kind) {
        case Trigger::Kind::AfterDrains:
            return drains_ >= trigger.value;
        case Trigger::Kind::AtTimeMs:
            return nowMs() >= trigger.value;
        case Trigger::Kind::WhenStatus:
            return controlText(res::IDC_STATUS_TEXT) == trigger.status;
    }
    return false;
}

void HeadlessHost::drain() {
    ++drains_;
    deliverDueTimers();
    // Fire every action whose trigger is met; an action may itself drain.
    for (size_t i = 0; i < pending_.size();) {
        if (triggered(pending_[i].trigger)) {
            Action action = pending_[i].action;
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
            perform(action);
            i = 0;
        } else {
            ++i;
        }
    }
}

}  // namespace ui::headless

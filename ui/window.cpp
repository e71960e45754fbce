#include "ui/window.h"

#include <utility>

namespace ui {

namespace {
std::string& appName() {
    static std::string name = "tesmar";
    return name;
}
MessagePump*& currentPump() {
    static MessagePump* pump = nullptr;
    return pump;
}
}  // namespace

void setThreadPump(MessagePump* pump) {
    currentPump() = pump;
}
MessagePump* threadPump() {
    return currentPump();
}
void drainThread() {
    if (MessagePump* pump = currentPump()) {
        pump->drain();
    }
}

Icon resolveIcon(Buttons buttons, Icon icon) {
    if (icon != Icon::Default) {
        return icon;
    }
    return buttons == Buttons::YesNo ? Icon::Question : Icon::Exclamation;
}

void setApplicationName(const std::string& name) {
    appName() = name;
}
const std::string& applicationName() {
    return appName();
}

std::string applicationNameFromPath(const std::string& executablePath) {
    const auto slash = executablePath.find_last_of("/\\");
    std::string name =
        slash == std::string::npos ? executablePath : executablePath.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

void DataExchange::text(int id, std::string& member) {
    if (save_) {
        member = host_.controlText(id);
    } else {
        host_.setControlText(id, member);
    }
}

void DataExchange::listIndex(int id, int& member) {
    if (save_) {
        member = host_.listSelection(id);
    } else {
        host_.setListSelection(id, member);
    }
}

void ControlRef::EnableWindow(bool enabled) {
    dialog_.host()->enableControl(id_, enabled);
}
bool ControlRef::IsWindowEnabled() const {
    return dialog_.host()->isControlEnabled(id_);
}
void ControlRef::SetWindowText(const std::string& text) {
    dialog_.host()->setControlText(id_, text);
}
std::string ControlRef::GetWindowText() const {
    return dialog_.host()->controlText(id_);
}
void ControlRef::InsertString(int position, const std::string& text) {
    dialog_.host()->insertListItem(id_, position, text);
}
void ControlRef::SetCurSel(int index) {
    dialog_.host()->setListSelection(id_, index);
}
int ControlRef::GetCurSel() const {
    return dialog_.host()->listSelection(id_);
}

void Dialog::OnCommand(int id) {
    if (id == res::IDOK) {
        OnOK();
    } else if (id == res::IDCANCEL) {
        OnCancel();
    }
}

void Dialog::OnOK() {
    UpdateData(true);
    EndDialog(DialogResult::Ok);
}

void Dialog::OnCancel() {
    EndDialog(DialogResult::Cancel);
}

Answer Dialog::MessageBox(const std::string& text, Buttons buttons, Icon icon) {
    return host_->messageBox(text, buttons, resolveIcon(buttons, icon));
}

void Dialog::UpdateData(bool saveAndValidate) {
    DataExchange dx(*host_, saveAndValidate);
    DoDataExchange(dx);
}

void Dialog::EndDialog(DialogResult result) {
    host_->endDialog(result);
}
void Dialog::SetWindowText(const std::string& title) {
    host_->setTitle(title);
}
void Dialog::EnableControl(int id, bool enabled) {
    host_->enableControl(id, enabled);
}
void Dialog::SetControlText(int id, const std::string& text) {
    host_->setControlText(id, text);
}
unsigned Dialog::SetTimer(unsigned id, unsigned periodMs) {
    return host_->setTimer(id, periodMs);
}
void Dialog::KillTimer(unsigned id) {
    host_->killTimer(id);
}

}  // namespace ui

#pragma once

// Shared pieces of the Qt backend's tests: the application object, a dialog
// that logs its events, and helpers that act like a user.

#include <gtest/gtest.h>
#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "ui/window.h"

namespace qt_test {

// The one QApplication of the test process, on the offscreen platform.
inline QApplication& app() {
    static QApplication* application = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        static int argc = 1;
        static char name[] = "tesmar_qt_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *application;
}

// A dialog that logs its events. Commands, close requests and timer ticks get
// the framework's handling unless a test puts its own behaviour in.
class Probe : public ui::Dialog {
  public:
    explicit Probe(const res::DialogTemplate& layout = res::kMainDialog) : ui::Dialog(layout) {}

    std::vector<std::string> log;
    std::function<void(int)> onCommand;  // replaces the framework's command handling
    std::function<void(unsigned)> onTimer;
    bool closeEnds = true;  // OnClose ends with Cancel

    void OnCommand(int id) override {
        log.push_back("command " + std::to_string(id));
        if (onCommand) {
            onCommand(id);
        } else {
            ui::Dialog::OnCommand(id);
        }
    }
    void OnClose() override {
        log.push_back("close");
        if (closeEnds) {
            ui::Dialog::OnClose();
        }
    }
    void OnHelp() override { log.push_back("help"); }
    void OnSysCommand(unsigned command) override {
        log.push_back("syscommand " + std::to_string(command));
    }
    void OnSelectionChange(int id) override { log.push_back("select " + std::to_string(id)); }
    void OnTimer(unsigned id) override {
        log.push_back("timer " + std::to_string(id));
        if (onTimer) {
            onTimer(id);
        }
    }
};

// A key press and release sent to the widget with the focus, the way the
// window system delivers it (an ignored key travels up to the window).
inline void pressKey(QWidget* window, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = window->focusWidget() != nullptr ? window->focusWidget() : window;
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QCoreApplication::sendEvent(target, &release);
}

// Calls action with the first widget of type W that becomes the active modal
// (or popup) widget, polling every few milliseconds from the event loop that
// is running then (a box's own loop). Gives up after about 5 s, or when
// context is destroyed.
template <class W>
void whenShown(QObject* context, std::function<void(W*)> action, int triesLeft = 500) {
    QTimer::singleShot(10, context, [context, action, triesLeft] {
        W* w = qobject_cast<W*>(QApplication::activeModalWidget());
        if (w == nullptr) {
            w = qobject_cast<W*>(QApplication::activePopupWidget());
        }
        if (w != nullptr && w->isVisible()) {
            action(w);
        } else if (triesLeft > 0) {
            whenShown<W>(context, action, triesLeft - 1);
        }
    });
}

// Fails the test and ends the run of host if it is still running after
// 5 s, so that a run that never ends fails instead of hanging. Lives as long
// as the object.
class RunGuard {
  public:
    explicit RunGuard(std::function<void()> end) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [end] {
            ADD_FAILURE() << "the run did not end";
            end();
        });
        timer_.start(5000);
    }

  private:
    QTimer timer_;
};

}  // namespace qt_test

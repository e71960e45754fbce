#include <gtest/gtest.h>

#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "qt_test_support.h"
#include "ui/qt/qt_window_host.h"

namespace {

using qt_test::Probe;
using ui::qt::QtWindowHost;

// Dialog units from pixels with base units the test works out itself from the
// window's font, the way Windows does (52 letters, their width / 52 rounded).
struct Units {
    double x;
    double y;
};
Units unitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    return {std::floor(width / 52.0 + 0.5), static_cast<double>(metrics.height())};
}
int backX(int px, Units u) {
    return static_cast<int>(std::lround(px * 4.0 / u.x));
}
int backY(int px, Units u) {
    return static_cast<int>(std::lround(px * 8.0 / u.y));
}

class QtWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { qt_test::app(); }
    void openShown(QtWindowHost& host) {
        host.open();
        host.window()->show();
    }
    QPushButton* button(QtWindowHost& host, int id) {
        return qobject_cast<QPushButton*>(host.control(id));
    }
};

// --- the window built from the layout -----------------------------------------

TEST_F(QtWindowTest, MainWindowHasEveryControlOfTheLayoutWithCaptionGeometryAndState) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    QDialog* window = host.window();
    const Units u = unitsOf(window->font());
    ASSERT_GT(u.x, 3);
    ASSERT_GT(u.y, 7);

    const auto& layout = res::kMainDialog.controls;
    ASSERT_EQ(host.controls().size(), layout.size());
    for (std::size_t i = 0; i < layout.size(); ++i) {
        const res::ControlTemplate& t = layout[i];
        SCOPED_TRACE(std::string("control \"") + t.caption + "\" id " + std::to_string(t.id));
        QWidget* w = host.controls()[i];
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget(), window);
        if (t.id != res::IDC_STATIC) {
            EXPECT_EQ(host.control(t.id), w);
        }
        EXPECT_EQ(w->isEnabled(), !t.disabled);
        const QRect g = w->geometry();
        EXPECT_EQ(backX(g.x(), u), t.x);
        EXPECT_EQ(backY(g.y(), u), t.y);
        EXPECT_EQ(backX(g.width(), u), t.width);
        switch (t.kind) {
            case res::ControlKind::PushButton: {
                auto* b = qobject_cast<QPushButton*>(w);
                ASSERT_NE(b, nullptr);
                EXPECT_EQ(b->text().toStdString(), t.caption);
                EXPECT_EQ(backY(g.height(), u), t.height);
                EXPECT_FALSE(b->isDefault());
                EXPECT_FALSE(b->autoDefault());
                EXPECT_EQ(b->focusPolicy(), Qt::StrongFocus);
                break;
            }
            case res::ControlKind::StaticText: {
                auto* l = qobject_cast<QLabel*>(w);
                ASSERT_NE(l, nullptr);
                EXPECT_EQ(l->text().toStdString(), t.caption);
                EXPECT_EQ(backY(g.height(), u), t.height);
                EXPECT_EQ(l->textFormat(), Qt::PlainText);
                EXPECT_TRUE(l->alignment() & Qt::AlignLeft);
                if (t.sunken) {
                    EXPECT_EQ(l->frameShadow(), QFrame::Sunken);
                    EXPECT_NE(l->frameShape(), QFrame::NoFrame);
                    EXPECT_TRUE(l->alignment() & Qt::AlignVCenter);
                } else {
                    EXPECT_EQ(l->frameShape(), QFrame::NoFrame);
                }
                break;
            }
            case res::ControlKind::DropDownList: {
                auto* c = qobject_cast<QComboBox*>(w);
                ASSERT_NE(c, nullptr);
                EXPECT_FALSE(c->isEditable());
                // The layout's height includes the open list: the closed box
                // is lower than that.
                EXPECT_LT(backY(g.height(), u), t.height);
                EXPECT_EQ(c->focusPolicy(), Qt::StrongFocus);
                break;
            }
            case res::ControlKind::Icon:
                ADD_FAILURE() << "the main window has no icon control";
                break;
        }
    }
}

TEST_F(QtWindowTest, MainWindowIsFixedSizeWithoutMinimiseOrMaximiseBoxInTheDialogFont) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    QDialog* window = host.window();
    const Units u = unitsOf(window->font());
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->size(), window->minimumSize());
    EXPECT_EQ(backX(window->width(), u), res::kMainDialog.width);
    EXPECT_EQ(backY(window->height(), u), res::kMainDialog.height);
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_EQ(window->windowType(), Qt::Window);  // a window of its own in the task bar
    EXPECT_EQ(window->font().pointSize(), 8);
    // The named family where it exists, otherwise a font that does.
    EXPECT_FALSE(QFontInfo(window->font()).family().isEmpty());
    EXPECT_EQ(window->windowTitle().toStdString(), res::kMainDialog.title);
    EXPECT_FALSE(window->windowIcon().isNull());
}

TEST_F(QtWindowTest, FocusStartsOnTheFirstTabStopLoadHexFile) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    EXPECT_EQ(host.window()->focusWidget(), host.control(res::IDC_LOAD_HEX));
}

TEST_F(QtWindowTest, ListItemsAndSelectionBehaveLikeADropDownList) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    host.insertListItem(res::IDC_COM_PORT, 0, "1");
    host.insertListItem(res::IDC_COM_PORT, 1, "3");
    host.insertListItem(res::IDC_COM_PORT, 1, "2");
    host.insertListItem(res::IDC_COM_PORT, -1, "4");  // -1: at the end
    auto* combo = qobject_cast<QComboBox*>(host.control(res::IDC_COM_PORT));
    ASSERT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->itemText(1).toStdString(), "2");
    EXPECT_EQ(combo->itemText(3).toStdString(), "4");
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), -1);  // inserting selects nothing
    host.setListSelection(res::IDC_COM_PORT, 2);
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), 2);
    EXPECT_EQ(host.controlText(res::IDC_COM_PORT), "3");
    host.setListSelection(res::IDC_COM_PORT, 11);  // outside the list: nothing
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), -1);
    host.setListSelection(res::IDC_COM_PORT, -1);
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), -1);
    EXPECT_TRUE(dialog.log.empty());  // no selection event for the program's own changes

    // The user's choice is a selection event.
    combo->setCurrentIndex(1);
    emit combo->activated(1);
    EXPECT_EQ(dialog.log, std::vector<std::string>{"select 1016"});
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), 1);
}

TEST_F(QtWindowTest, TextsEnablingAndTitleReachTheControls) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    host.setControlText(res::IDC_STATUS_TEXT, "<b>Ready</b> & set");
    EXPECT_EQ(host.controlText(res::IDC_STATUS_TEXT), "<b>Ready</b> & set");
    host.setControlText(res::IDC_RUN, "Stop");
    EXPECT_EQ(button(host, res::IDC_RUN)->text().toStdString(), "Stop");
    host.enableControl(res::IDC_RUN, false);
    EXPECT_FALSE(host.isControlEnabled(res::IDC_RUN));
    EXPECT_FALSE(host.control(res::IDC_RUN)->isEnabled());
    host.enableControl(res::IDC_LOAD_SCRIPT, true);
    EXPECT_TRUE(host.isControlEnabled(res::IDC_LOAD_SCRIPT));
    host.setTitle("Tesmar: DV1 main board");
    EXPECT_EQ(host.window()->windowTitle().toStdString(), "Tesmar: DV1 main board");
    EXPECT_EQ(host.title(), "Tesmar: DV1 main board");
    EXPECT_FALSE(host.isControlEnabled(4242));
    EXPECT_EQ(host.controlText(4242), "");
}

// --- keys ---------------------------------------------------------------------

struct KeyCase {
    const char* name;
    int focus;  // control with the focus
    int key;
    std::vector<std::string> expected;
};
void PrintTo(const KeyCase& c, std::ostream* os) {
    *os << c.name;
}

class QtKeyTest : public QtWindowTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(QtKeyTest, KeyActsAsInAWindowsDialogWithoutDefaultButton) {
    const KeyCase& c = GetParam();
    Probe dialog;
    dialog.onCommand = [](int) {};  // log only, never end
    QtWindowHost host(dialog);
    openShown(host);
    host.control(c.focus)->setFocus();
    qt_test::pressKey(host.window(), c.key);
    EXPECT_EQ(dialog.log, c.expected);
    EXPECT_TRUE(host.window()->isVisible());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, QtKeyTest,
    ::testing::Values(
        KeyCase{"EnterOnLoadHexPressesIt", res::IDC_LOAD_HEX, Qt::Key_Return, {"command 1000"}},
        KeyCase{"EnterOnRunPressesIt", res::IDC_RUN, Qt::Key_Return, {"command 1003"}},
        KeyCase{
            "KeypadEnterOnReloadPressesIt", res::IDC_RELOAD_HEX, Qt::Key_Enter, {"command 1014"}},
        KeyCase{"EnterOnQuitPressesQuit", res::IDOK, Qt::Key_Return, {"command 1"}},
        KeyCase{"EnterOnThePortSelectorIsOk", res::IDC_COM_PORT, Qt::Key_Return, {"command 1"}},
        KeyCase{"SpaceOnAButtonPressesIt", res::IDC_INFO, Qt::Key_Space, {"command 1015"}},
        KeyCase{"EscOnAButtonIsCancel", res::IDC_LOAD_HEX, Qt::Key_Escape, {"command 2"}},
        KeyCase{"EscOnThePortSelectorIsCancel", res::IDC_COM_PORT, Qt::Key_Escape, {"command 2"}},
        KeyCase{"F1IsHelp", res::IDC_RUN, Qt::Key_F1, {"help"}}),
    [](const ::testing::TestParamInfo<KeyCase>& p) { return std::string(p.param.name); });

TEST_F(QtWindowTest, EnterWithQuitFocusedEndsTheRunWithOk) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    host.control(res::IDOK)->setFocus();
    qt_test::pressKey(host.window(), Qt::Key_Return);
    EXPECT_TRUE(host.finished());
    EXPECT_EQ(host.requestedEnd(), ui::DialogResult::Ok);
    EXPECT_FALSE(host.window()->isVisible());
}

TEST_F(QtWindowTest, EscEndsTheRunWithCancel) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    qt_test::pressKey(host.window(), Qt::Key_Escape);
    EXPECT_TRUE(host.finished());
    EXPECT_EQ(host.requestedEnd(), ui::DialogResult::Cancel);
}

TEST_F(QtWindowTest, TabFollowsTheLayoutOrderSkippingDisabledControls) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    auto tabTour = [&](int steps) {
        std::vector<QWidget*> seen;
        for (int i = 0; i < steps; ++i) {
            qt_test::pressKey(host.window(), Qt::Key_Tab);
            seen.push_back(host.window()->focusWidget());
        }
        return seen;
    };
    // Everything enabled but Load Script (created disabled).
    EXPECT_EQ(tabTour(6), (std::vector<QWidget*>{
                              host.control(res::IDC_RUN), host.control(res::IDOK),
                              host.control(res::IDC_RELOAD_HEX), host.control(res::IDC_INFO),
                              host.control(res::IDC_COM_PORT), host.control(res::IDC_LOAD_HEX)}));
    // As the window opens: RUN, ? and Reload Hex disabled.
    host.enableControl(res::IDC_RUN, false);
    host.enableControl(res::IDC_INFO, false);
    host.enableControl(res::IDC_RELOAD_HEX, false);
    EXPECT_EQ(tabTour(3),
              (std::vector<QWidget*>{host.control(res::IDOK), host.control(res::IDC_COM_PORT),
                                     host.control(res::IDC_LOAD_HEX)}));
    // Shift+Tab goes back.
    qt_test::pressKey(host.window(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(host.window()->focusWidget(), host.control(res::IDC_COM_PORT));
    EXPECT_TRUE(dialog.log.empty());
}

// --- close requests and the window menu ---------------------------------------

TEST_F(QtWindowTest, CloseRequestCallsOnCloseAndNeverClosesByItself) {
    Probe dialog;
    dialog.closeEnds = false;
    QtWindowHost host(dialog);
    openShown(host);
    EXPECT_FALSE(host.window()->close());  // the window refuses
    EXPECT_EQ(dialog.log, std::vector<std::string>{"close"});
    EXPECT_TRUE(host.window()->isVisible());
    EXPECT_FALSE(host.finished());

    dialog.closeEnds = true;  // OnClose -> Cancel
    host.window()->close();
    EXPECT_TRUE(host.finished());
    EXPECT_EQ(host.requestedEnd(), ui::DialogResult::Cancel);
}

TEST_F(QtWindowTest, DefaultSysCommandCloseIsACloseRequest) {
    Probe dialog;
    dialog.closeEnds = false;
    QtWindowHost host(dialog);
    openShown(host);
    host.defaultSysCommand(ui::SC_CLOSE);
    host.defaultSysCommand(0xF010);  // Move: nothing here
    EXPECT_EQ(dialog.log, std::vector<std::string>{"close"});
}

// Right-clicks the window and chooses the menu item with the given text
// (or leaves the menu with Esc when it has none).
std::vector<std::string> chooseFromContextMenu(QtWindowHost& host, const QString& text) {
    std::vector<std::string> shown;
    qt_test::whenShown<QMenu>(host.window(), [&shown, text](QMenu* menu) {
        bool found = false;
        for (QAction* a : menu->actions()) {
            shown.push_back(a->isSeparator() ? "-" : a->text().toStdString());
            if (a->text() == text) {
                menu->setActiveAction(a);
                found = true;
            }
        }
        qt_test::pressKey(menu, found ? Qt::Key_Return : Qt::Key_Escape);
    });
    const QPoint local(20, 20);
    QContextMenuEvent event(QContextMenuEvent::Mouse, local, host.window()->mapToGlobal(local));
    QCoreApplication::sendEvent(host.window(), &event);
    return shown;
}

TEST_F(QtWindowTest, WindowMenuEntriesAreInTheContextMenuAfterCloseAndASeparator) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    host.appendSystemMenuItem(res::IDM_ABOUTBOX, "&About tesmar...");
    const auto shown = chooseFromContextMenu(host, QStringLiteral("&About tesmar..."));
    EXPECT_EQ(shown, (std::vector<std::string>{"&Close\tAlt+F4", "-", "&About tesmar..."}));
    EXPECT_EQ(dialog.log, std::vector<std::string>{"syscommand 16"});

    chooseFromContextMenu(host, QStringLiteral("&Close\tAlt+F4"));
    EXPECT_EQ(dialog.log.back(), "syscommand " + std::to_string(ui::SC_CLOSE));
}

TEST_F(QtWindowTest, ContextMenuWithoutEntriesHasOnlyClose) {
    Probe dialog;
    QtWindowHost host(dialog);
    openShown(host);
    const auto shown = chooseFromContextMenu(host, QStringLiteral("none"));
    EXPECT_EQ(shown, std::vector<std::string>{"&Close\tAlt+F4"});
    EXPECT_TRUE(dialog.log.empty());
}

// --- the modal run, nested handlers and the drain -------------------------------

// Posts a user's click on a button: it reaches the button from the event queue.
void postClick(QWidget* button) {
    const QPointF at(button->width() / 2.0, button->height() / 2.0);
    const QPointF global = button->mapToGlobal(at);
    QCoreApplication::postEvent(
        button, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(
        button, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier));
}

TEST_F(QtWindowTest, DrainRunsAQueuedClickAndReturns) {
    Probe dialog;
    dialog.onCommand = [](int) {};
    QtWindowHost host(dialog);
    openShown(host);
    EXPECT_EQ(ui::threadPump(), &host);
    postClick(host.control(res::IDC_RELOAD_HEX));
    EXPECT_TRUE(dialog.log.empty());
    ui::drainThread();
    EXPECT_EQ(dialog.log, std::vector<std::string>{"command 1014"});
    ui::drainThread();  // nothing pending: returns at once
    EXPECT_EQ(dialog.log.size(), 1u);
}

struct NestedEndCase {
    const char* name;
    std::function<void(QtWindowHost&)> userAction;  // done while RUN's handler drains
    std::string nestedEvent;
    ui::DialogResult result;
};
void PrintTo(const NestedEndCase& c, std::ostream* os) {
    *os << c.name;
}

class QtNestedEndTest : public QtWindowTest, public ::testing::WithParamInterface<NestedEndCase> {};

// A long handler (an upload) drains; the user ends the window inside it. The
// end waits until the long handler has returned.
TEST_P(QtNestedEndTest, EndRequestedInsideAHandlerTakesEffectWhenItReturns) {
    const NestedEndCase& c = GetParam();
    Probe dialog;
    ui::qt::QtBackend backend;
    bool visibleAfterNestedEnd = false;
    bool finishedAfterNestedEnd = true;
    int depthInside = 0;
    dialog.onCommand = [&](int id) {
        auto* host = dynamic_cast<QtWindowHost*>(dialog.host());
        ASSERT_NE(host, nullptr);
        if (id != res::IDC_RUN) {
            dialog.ui::Dialog::OnCommand(id);
            return;
        }
        c.userAction(*host);
        for (int i = 0; i < 50 && dialog.log.back() == "command 1003"; ++i) {
            ui::drainThread();
        }
        depthInside = host->handlerDepth();
        visibleAfterNestedEnd = host->window()->isVisible();
        finishedAfterNestedEnd = host->finished();
        dialog.log.push_back("long handler returns");
    };
    QObject context;
    QTimer::singleShot(0, &context, [&] {
        auto* host = dynamic_cast<QtWindowHost*>(dialog.host());
        qobject_cast<QPushButton*>(host->control(res::IDC_RUN))->click();
    });
    const qt_test::RunGuard guard([&] { dialog.host()->endDialog(ui::DialogResult::Cancel); });
    const ui::DialogResult result = dialog.DoModal(backend);
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(dialog.log.size(), 3u);
    EXPECT_EQ(dialog.log[0], "command 1003");
    EXPECT_EQ(dialog.log[1], c.nestedEvent);
    EXPECT_EQ(dialog.log[2], "long handler returns");
    EXPECT_EQ(depthInside, 1);
    EXPECT_TRUE(visibleAfterNestedEnd);
    EXPECT_FALSE(finishedAfterNestedEnd);
    EXPECT_EQ(dialog.host(), nullptr);  // detached once the run is over
}

INSTANTIATE_TEST_SUITE_P(
    NestedEnds, QtNestedEndTest,
    ::testing::Values(
        NestedEndCase{"QuitClicked", [](QtWindowHost& h) { postClick(h.control(res::IDOK)); },
                      "command 1", ui::DialogResult::Ok},
        NestedEndCase{"EscPressed",
                      [](QtWindowHost& h) {
                          QCoreApplication::postEvent(
                              h.window()->focusWidget(),
                              new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
                      },
                      "command 2", ui::DialogResult::Cancel},
        NestedEndCase{"CloseRequested",
                      [](QtWindowHost& h) {
                          QMetaObject::invokeMethod(
                              h.window(), [w = h.window()] { w->close(); }, Qt::QueuedConnection);
                      },
                      "close", ui::DialogResult::Cancel}),
    [](const ::testing::TestParamInfo<NestedEndCase>& p) { return std::string(p.param.name); });

TEST_F(QtWindowTest, EndDuringOnInitDialogSkipsTheLoop) {
    class EndsAtOnce : public Probe {
      public:
        bool OnInitDialog() override {
            EndDialog(ui::DialogResult::Ok);
            return true;
        }
    } dialog;
    ui::qt::QtBackend backend;
    EXPECT_EQ(dialog.DoModal(backend), ui::DialogResult::Ok);
}

TEST_F(QtWindowTest, TimersTickAsOnTimerWhileABoxIsOpenUntilKilled) {
    Probe dialog;
    QtWindowHost host(dialog);
    host.open();
    EXPECT_EQ(host.setTimer(0, 10), 0u);
    int ticks = 0;
    int ticksAfterKill = 0;
    bool killed = false;
    dialog.onTimer = [&](unsigned id) {
        EXPECT_EQ(id, 7u);
        if (killed) {
            ++ticksAfterKill;
            return;
        }
        if (++ticks == 3) {
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            box->done(0);
        }
    };
    // As the keep-alive of an upload: a box stays open while the timer ticks.
    dialog.onCommand = [&](int id) {
        ASSERT_EQ(id, res::IDC_RUN);
        EXPECT_EQ(host.setTimer(7, 5000), 7u);
        EXPECT_EQ(host.setTimer(7, 10), 7u);  // set again: the same timer, the new period
        dialog.MessageBox("Switch the instrument on", ui::Buttons::Ok);
        host.killTimer(7);
        host.killTimer(7);  // a second kill does nothing
        killed = true;
        // No tick after the kill, also while the program goes on draining.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 50) {
            ui::drainThread();
        }
        dialog.EndDialog(ui::DialogResult::Ok);
    };
    QObject context;
    QTimer::singleShot(0, &context,
                       [&] { qobject_cast<QPushButton*>(host.control(res::IDC_RUN))->click(); });
    const qt_test::RunGuard guard([&] { host.endDialog(ui::DialogResult::Cancel); });
    EXPECT_EQ(host.exec(), ui::DialogResult::Ok);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(ticksAfterKill, 0);
}

}  // namespace

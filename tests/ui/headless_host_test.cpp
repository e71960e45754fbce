#include "ui/headless/headless_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ui::headless::Action;
using ui::headless::HeadlessHost;
using ui::headless::Trigger;

// A dialog on the main layout that logs its events and can run a long handler
// that drains, as an upload does.
class ProbeDialog : public ui::Dialog {
  public:
    ProbeDialog() : ui::Dialog(res::kMainDialog) {}
    std::vector<std::string> log;
    int drainsInLongHandler = 0;

    void OnCommand(int id) override {
        log.push_back("command " + std::to_string(id));
        if (id == res::IDC_RUN) {
            for (int i = 0; i < drainsInLongHandler; ++i) {
                ui::drainThread();
            }
            log.push_back("long handler returns");
            return;
        }
        ui::Dialog::OnCommand(id);
    }
    void OnTimer(unsigned id) override { log.push_back("timer " + std::to_string(id)); }
    void OnClose() override {
        log.push_back("close");
        ui::Dialog::OnClose();
    }
};

class HeadlessHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host.setFailureHandler([this](const std::string& m) { failures.push_back(m); });
        host.setClock([this] { return now; }, [this](int64_t t) { now = t; });
    }
    HeadlessHost host;
    ProbeDialog dialog;
    std::vector<std::string> failures;
    int64_t now = 0;
};

TEST_F(HeadlessHostTest, RecordsBoxesWithCaptionAndResolvedIcon) {
    ui::setApplicationName("tesmar");
    host.open(dialog);
    host.answerNextBox(ui::Answer::Yes);
    EXPECT_EQ(dialog.MessageBox("Sure?", ui::Buttons::YesNo), ui::Answer::Yes);
    ASSERT_EQ(host.boxes().size(), 1u);
    EXPECT_EQ(host.boxes()[0],
              (ui::headless::BoxRecord{"Sure?", "tesmar", ui::Buttons::YesNo, ui::Icon::Question}));
    EXPECT_TRUE(failures.empty());
}

TEST_F(HeadlessHostTest, AnUnscriptedBoxIsAFailure) {
    host.open(dialog);
    EXPECT_EQ(dialog.MessageBox("Nobody answers"), ui::Answer::Cancel);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("Nobody answers"), std::string::npos);
}

TEST_F(HeadlessHostTest, RecordsEachChangeOfTheStatusLineOnce) {
    host.open(dialog);
    host.setControlText(res::IDC_STATUS_TEXT, "one");
    host.setControlText(res::IDC_STATUS_TEXT, "one");
    host.setControlText(res::IDC_STATUS_TEXT, "two");
    EXPECT_EQ(host.statuses(), (std::vector<std::string>{"one", "two"}));
}

TEST_F(HeadlessHostTest, ControlsStartFromTheLayoutAndDisabledControlsIgnoreClicks) {
    host.open(dialog);
    EXPECT_EQ(host.controlText(res::IDC_LOAD_HEX), "Load Hex File");
    EXPECT_FALSE(host.isControlEnabled(res::IDC_LOAD_SCRIPT));
    EXPECT_EQ(host.focusedControl(), res::IDC_LOAD_HEX);
    host.perform(Action::click(res::IDC_LOAD_SCRIPT));
    EXPECT_TRUE(dialog.log.empty());
}

TEST_F(HeadlessHostTest, EnterPressesTheFocusedButtonOrIsOk) {
    host.open(dialog);
    host.perform(Action::focus(res::IDC_RELOAD_HEX));
    host.perform(Action::enter());
    EXPECT_EQ(dialog.log, (std::vector<std::string>{"command 1014"}));
    EXPECT_FALSE(host.ended());

    host.perform(Action::focus(res::IDC_COM_PORT));
    host.perform(Action::enter());
    EXPECT_EQ(host.result(), ui::DialogResult::Ok);
}

TEST_F(HeadlessHostTest, AnEndFromANestedHandlerTakesEffectWhenTheOuterReturns) {
    dialog.drainsInLongHandler = 5;
    host.when(Trigger::afterDrains(2), Action::click(res::IDOK));
    host.queueAction(Action::click(res::IDC_RUN));
    EXPECT_EQ(host.runModal(dialog), ui::DialogResult::Ok);
    // The nested Quit ran inside the long handler, which still finished.
    EXPECT_EQ(dialog.log,
              (std::vector<std::string>{"command 1003", "command 1", "long handler returns"}));
    EXPECT_TRUE(failures.empty());
}

TEST_F(HeadlessHostTest, TimersTickWhileABoxIsHeldOpen) {
    host.open(dialog);
    host.setTimer(1, 300);
    host.answerNextBox(ui::Answer::Ok, 1000);
    dialog.MessageBox("Wait");
    EXPECT_EQ(dialog.log, (std::vector<std::string>{"timer 1", "timer 1", "timer 1"}));
    EXPECT_EQ(now, 1000);
    host.killTimer(1);
    host.answerNextBox(ui::Answer::Ok, 1000);
    dialog.MessageBox("Again");
    EXPECT_EQ(dialog.log.size(), 3u);
}

TEST_F(HeadlessHostTest, ActionsFireAtAVirtualTimeOrOnAStatusText) {
    host.open(dialog);
    host.when(Trigger::atTimeMs(500), Action::close());
    host.when(Trigger::whenStatus("Go"), Action::click(res::IDC_LOAD_HEX));
    host.drain();
    EXPECT_TRUE(dialog.log.empty());
    now = 500;
    host.drain();
    host.setControlText(res::IDC_STATUS_TEXT, "Go");
    host.drain();
    EXPECT_EQ(dialog.log, (std::vector<std::string>{"close", "command 1000"}));
    EXPECT_EQ(host.result(), ui::DialogResult::Cancel);
}

TEST_F(HeadlessHostTest, ListSelectionOutsideTheItemsSelectsNothing) {
    host.open(dialog);
    for (int i = 0; i < 3; ++i) {
        host.insertListItem(res::IDC_COM_PORT, i, std::to_string(i + 1));
    }
    host.setListSelection(res::IDC_COM_PORT, 2);
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), 2);
    host.setListSelection(res::IDC_COM_PORT, 7);
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), -1);
    EXPECT_EQ(host.listItems(res::IDC_COM_PORT), (std::vector<std::string>{"1", "2", "3"}));
}

}  // namespace

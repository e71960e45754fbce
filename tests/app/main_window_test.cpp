// The main window on the headless backend: its states, the loads, the port
// selector, the keys, the ways of ending it, the system menu and painting.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/tesmar_dlg.h"
#include "serial/sim_line.h"
#include "tests/app/test_support.h"
#include "ui/headless/headless_host.h"

namespace {

using apptest::TempDir;
using ui::headless::Action;
using ui::headless::HeadlessHost;

constexpr const char* kRow2Status = "Hexfile for modified Storage Quindle";
constexpr const char* kRow2Title = "Tesmar: Storage Quindle - modified with PIC18F452";

class MainWindowTest : public ::testing::Test {
  public:
    void SetUp() override {
        ui::setApplicationName("tesmar");
        host.setFailureHandler([this](const std::string& m) { failures.push_back(m); });
    }
    void TearDown() override { EXPECT_EQ(failures, std::vector<std::string>{}); }

    void open(int32_t comPort = 1) {
        dlg.comPort = comPort;
        host.open(dlg);
    }
    // A firmware file for row 2 (QV1210) of lineCount lines.
    std::string writeFirmware(const std::string& name, int lineCount) {
        const std::string path = dir.file(name);
        apptest::writeFile(path, apptest::joinLines(apptest::firmwareLines("QV1210", lineCount)));
        return path;
    }
    // A file whose second record has a wrong checksum.
    std::string writeBadFile(const std::string& name) {
        auto lines = apptest::firmwareLines("QV1210", 10);
        lines[1].back() = lines[1].back() == '0' ? '1' : '0';
        const std::string path = dir.file(name);
        apptest::writeFile(path, apptest::joinLines(lines));
        return path;
    }
    // Load Hex File, the dialog answered with path (nothing: cancelled).
    void load(std::optional<std::string> path) {
        host.answerNextFileDialog(std::move(path));
        host.perform(Action::click(res::IDC_LOAD_HEX));
    }
    void reload() { host.perform(Action::click(res::IDC_RELOAD_HEX)); }
    bool enabled(int id) const { return host.isControlEnabled(id); }
    std::string fileLine() const { return host.controlText(res::IDC_FILE_TEXT); }
    std::string statusLine() const { return host.controlText(res::IDC_STATUS_TEXT); }

    TempDir dir;
    HeadlessHost host;
    serial::SimLine line;
    CTesmarDlg dlg{line};
    std::vector<std::string> failures;
};

// --- opening --------------------------------------------------------------

TEST_F(MainWindowTest, OpensWithTheSelectorFilledAndNothingLoaded) {
    dlg.stopRequested = 1;
    open(1);
    EXPECT_EQ(host.listItems(res::IDC_COM_PORT),
              (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "9"}));
    EXPECT_EQ(fileLine(), "No File Loaded");
    EXPECT_EQ(statusLine(), "");
    EXPECT_EQ(host.title(), "Tesmar");
    EXPECT_EQ(dlg.stopRequested, 0);
    EXPECT_EQ(host.focusedControl(), res::IDC_LOAD_HEX);
    EXPECT_TRUE(enabled(res::IDC_LOAD_HEX));
    EXPECT_TRUE(enabled(res::IDOK));
    EXPECT_TRUE(enabled(res::IDC_COM_PORT));
    EXPECT_FALSE(enabled(res::IDC_LOAD_SCRIPT));
}

// --- the state table ----------------------------------------------------------

struct WindowState {
    bool run;
    bool info;
    bool reload;
    std::string caption;
    std::string title;
    int32_t hexLoaded;
    std::optional<int32_t> lineCount;  // nothing: not yet set, not checked
};

struct StateCase {
    const char* name;
    std::function<void(MainWindowTest&)> steps;
    WindowState expected;
};

// The steps of a case run on an open window with a 120-line firmware file.
struct Steps {
    static void loadGood(MainWindowTest& t) { t.load(t.writeFirmware("fw.hex", 120)); }
    static void finish(MainWindowTest& t) { t.dlg.FinishUpload(); }
    static void reload(MainWindowTest& t) { t.reload(); }
    static void cancel(MainWindowTest& t) { t.load(std::nullopt); }
    static void loadBad(MainWindowTest& t) {
        t.host.answerNextBox(ui::Answer::Ok);  // "Error in Hex file"
        t.load(t.writeBadFile("bad.hex"));
    }
    static void deleteFile(MainWindowTest& t) { std::filesystem::remove(t.dir.file("fw.hex")); }
};

const StateCase kStateCases[] = {
    {"Opened", [](MainWindowTest&) {}, {false, false, false, "RUN", "Tesmar", 0, std::nullopt}},
    {"Ready", Steps::loadGood, {true, true, true, "RUN", kRow2Title, 1, 120}},
    {"AfterUpload",
     [](MainWindowTest& t) {
         Steps::loadGood(t);
         Steps::finish(t);
     },
     {false, false, true, "Run", "Tesmar", 1, 0}},
    {"ReloadAfterUploadIsReadyWithRun",
     [](MainWindowTest& t) {
         Steps::loadGood(t);
         Steps::finish(t);
         Steps::reload(t);
     },
     {true, true, true, "Run", kRow2Title, 1, 120}},
    {"LoadAfterUploadIsReadyWithRun",
     [](MainWindowTest& t) {
         Steps::loadGood(t);
         Steps::finish(t);
         Steps::loadGood(t);
     },
     {true, true, true, "Run", kRow2Title, 1, 120}},
    {"CancelledDialogAfterALoad",
     [](MainWindowTest& t) {
         Steps::loadGood(t);
         Steps::cancel(t);
     },
     {true, true, false, "RUN", kRow2Title, 0, 120}},
    {"CancelledDialogWhenOpened",
     Steps::cancel,
     {false, false, false, "RUN", "Tesmar", 0, std::nullopt}},
    {"BadFileAfterAGoodOne",
     [](MainWindowTest& t) {
         Steps::loadGood(t);
         Steps::loadBad(t);
     },
     {true, true, false, "RUN", kRow2Title, 0, 0}},
    {"BadFileWhenOpened", Steps::loadBad, {false, false, false, "RUN", "Tesmar", 0, 0}},
    {"ReloadOfAFileThatIsGone",
     [](MainWindowTest& t) {
         Steps::loadGood(t);
         Steps::deleteFile(t);
         t.host.answerNextBox(ui::Answer::Ok);  // "Cannot open file: fw.hex"
         Steps::reload(t);
     },
     {true, true, false, "RUN", kRow2Title, 0, 0}},
    {"ReloadOfAFileThatIsGoneAfterUpload",
     [](MainWindowTest& t) {
         Steps::loadGood(t);
         Steps::finish(t);
         Steps::deleteFile(t);
         t.host.answerNextBox(ui::Answer::Ok);
         Steps::reload(t);
     },
     {false, false, false, "Run", "Tesmar", 0, 0}},
};

class WindowStates : public MainWindowTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(WindowStates, FollowTheTable) {
    open();
    GetParam().steps(*this);
    const WindowState& e = GetParam().expected;
    EXPECT_EQ(enabled(res::IDC_RUN), e.run);
    EXPECT_EQ(enabled(res::IDC_INFO), e.info);
    EXPECT_EQ(enabled(res::IDC_RELOAD_HEX), e.reload);
    EXPECT_EQ(host.controlText(res::IDC_RUN), e.caption);
    EXPECT_EQ(host.title(), e.title);
    EXPECT_EQ(dlg.hexLoaded, e.hexLoaded);
    if (e.lineCount) {
        EXPECT_EQ(dlg.lineCount, *e.lineCount);
    }
    // Load Hex File, Quit and the selector stay enabled, Load Script never is.
    EXPECT_TRUE(enabled(res::IDC_LOAD_HEX));
    EXPECT_TRUE(enabled(res::IDOK));
    EXPECT_TRUE(enabled(res::IDC_COM_PORT));
    EXPECT_FALSE(enabled(res::IDC_LOAD_SCRIPT));
    EXPECT_FALSE(host.ended());
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowStates, ::testing::ValuesIn(kStateCases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Load Hex File and Reload Hex -----------------------------------------------

TEST_F(MainWindowTest, LoadHexFileShowsThePathTheCatalogueTextAndTheLineCount) {
    open();
    const std::string path = writeFirmware("fw.hex", 120);
    load(path);
    EXPECT_EQ(fileLine(), path);
    EXPECT_EQ(statusLine(), std::string(kRow2Status) + "  Ready to Run - 120 lines loaded");
    EXPECT_EQ(host.title(), kRow2Title);
    EXPECT_EQ(dlg.path, path);
    EXPECT_EQ(dlg.deviceNumber, 2);
    // The dialog: filter, extension and the last path (empty at first).
    ASSERT_EQ(host.fileDialogs().size(), 1u);
    EXPECT_EQ(host.fileDialogs()[0].filter, "Hex files (*.hex)|*.hex||");
    EXPECT_EQ(host.fileDialogs()[0].defaultExtension, "hex");
    EXPECT_EQ(host.fileDialogs()[0].initialName, "");
    // The path is on the first line before the file is read.
    const auto& events = host.events();
    const auto fileShown =
        std::find_if(events.begin(), events.end(), [&](const ui::headless::Event& e) {
            return e.kind == ui::headless::Event::Kind::FileText && e.text == path;
        });
    const auto catalogueShown =
        std::find_if(events.begin(), events.end(), [&](const ui::headless::Event& e) {
            return e.kind == ui::headless::Event::Kind::Status && e.text == kRow2Status;
        });
    ASSERT_NE(fileShown, events.end());
    ASSERT_NE(catalogueShown, events.end());
    EXPECT_LT(fileShown - events.begin(), catalogueShown - events.begin());
    EXPECT_TRUE(host.boxes().empty());

    // The next dialog opens on the file just loaded.
    load(std::nullopt);
    ASSERT_EQ(host.fileDialogs().size(), 2u);
    EXPECT_EQ(host.fileDialogs()[1].initialName, path);
}

TEST_F(MainWindowTest, ACancelledDialogKeepsTheLoadedImage) {
    open();
    const std::string path = writeFirmware("fw.hex", 120);
    load(path);
    const auto memoryBefore = dlg.memory;
    load(std::nullopt);
    EXPECT_EQ(fileLine(), path);
    EXPECT_EQ(statusLine(), std::string(kRow2Status) + "  Ready to Run - 120 lines loaded");
    EXPECT_EQ(dlg.path, path);
    EXPECT_EQ(dlg.memory, memoryBefore);
    EXPECT_EQ(dlg.lineCount, 120);
    // Reload Hex now does nothing: no read, no change.
    apptest::writeFile(path, "");
    reload();
    EXPECT_EQ(dlg.lineCount, 120);
    EXPECT_TRUE(host.boxes().empty());
}

TEST_F(MainWindowTest, ABadFileAfterAGoodOneShowsItsPathAndTheError) {
    open();
    load(writeFirmware("fw.hex", 120));
    host.answerNextBox(ui::Answer::Ok);
    const std::string bad = writeBadFile("bad.hex");
    load(bad);
    EXPECT_EQ(fileLine(), bad);
    EXPECT_EQ(statusLine(), "Checksum error from hex file");
    ASSERT_EQ(host.boxes().size(), 1u);
    EXPECT_EQ(host.boxes()[0].text, "Error in Hex file");
    EXPECT_EQ(dlg.path, bad);
}

TEST_F(MainWindowTest, AFileThatCannotBeOpenedIsRememberedAsThePath) {
    open();
    host.answerNextBox(ui::Answer::Ok);
    const std::string missing = dir.file("missing.hex");
    load(missing);
    EXPECT_EQ(fileLine(), missing);
    EXPECT_EQ(dlg.path, missing);
    EXPECT_EQ(statusLine(), "Cannot open file: missing.hex !");
    EXPECT_FALSE(enabled(res::IDC_RELOAD_HEX));
}

TEST_F(MainWindowTest, ReloadHexReadsThePathAgainAndReplacesTheSecondLine) {
    open();
    const std::string path = writeFirmware("fw.hex", 120);
    load(path);
    const auto dialogs = host.fileDialogs().size();
    reload();
    EXPECT_EQ(statusLine(), "Ready to Run - 120 lines loaded");
    EXPECT_EQ(fileLine(), path);
    EXPECT_EQ(host.fileDialogs().size(), dialogs);
    // The file is read again, not remembered: a changed file gives its count.
    writeFirmware("fw.hex", 50);
    reload();
    EXPECT_EQ(statusLine(), "Ready to Run - 50 lines loaded");
    EXPECT_EQ(dlg.lineCount, 50);
    EXPECT_EQ(host.title(), kRow2Title);
    EXPECT_EQ(fileLine(), path);
}

TEST_F(MainWindowTest, ReloadHexDoesNotReadTheSelectorBack) {
    open(3);
    load(writeFirmware("fw.hex", 20));
    // A selection the window has not been told of (no change event).
    host.setListSelection(res::IDC_COM_PORT, 6);
    reload();
    EXPECT_EQ(dlg.portIndex, 2);
    EXPECT_EQ(dlg.comPort, 3);
}

TEST_F(MainWindowTest, TheInfoButtonShowsTheLoadInstructions) {
    open();
    load(writeFirmware("fw.hex", 20));
    host.answerNextBox(ui::Answer::Ok);
    host.perform(Action::click(res::IDC_INFO));
    ASSERT_EQ(host.boxes().size(), 1u);
    EXPECT_EQ(host.boxes()[0].text.rfind("You have loaded firmware for:\n\n", 0), 0u);
}

// --- the port selector -------------------------------------------------------

struct PortCase {
    const char* name;
    int32_t comPort;
    int selection;  // shown when the window opens
};

const PortCase kPortCases[] = {
    {"Three", 3, 2}, {"One", 1, 0},      {"Nine", 9, 8},
    {"Zero", 0, -1}, {"Twelve", 12, -1}, {"Negative", -4, -1},
};

class PortSelector : public MainWindowTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortSelector, ShowsTheSettingAndKeepsAnUntouchedValue) {
    open(GetParam().comPort);
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), GetParam().selection);
    // Loading reads the controls back; the port stays what the setting said.
    load(std::nullopt);
    EXPECT_EQ(dlg.comPort, GetParam().comPort);
    host.perform(Action::click(res::IDOK));
    EXPECT_EQ(dlg.comPort, GetParam().comPort);
}

TEST_P(PortSelector, AChoiceSetsThePortForTheNextUpload) {
    open(GetParam().comPort);
    host.perform(Action::select(res::IDC_COM_PORT, 6));
    EXPECT_EQ(dlg.comPort, 7);
    EXPECT_EQ(dlg.portIndex, 6);
    host.perform(Action::select(res::IDC_COM_PORT, 0));
    EXPECT_EQ(dlg.comPort, 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortSelector, ::testing::ValuesIn(kPortCases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- keys and the ways of ending the window -------------------------------------

TEST_F(MainWindowTest, EnterPressesTheFocusedButton) {
    open();
    // The focus starts on Load Hex File.
    host.answerNextFileDialog(writeFirmware("fw.hex", 20));
    host.perform(Action::enter());
    EXPECT_EQ(dlg.lineCount, 20);
    EXPECT_FALSE(host.ended());
    // On Reload Hex, Enter reloads.
    writeFirmware("fw.hex", 30);
    host.perform(Action::focus(res::IDC_RELOAD_HEX));
    host.perform(Action::enter());
    EXPECT_EQ(statusLine(), "Ready to Run - 30 lines loaded");
    EXPECT_FALSE(host.ended());
    // On Quit, Enter quits.
    host.perform(Action::focus(res::IDOK));
    host.perform(Action::enter());
    EXPECT_EQ(host.result(), ui::DialogResult::Ok);
}

struct EndCase {
    const char* name;
    std::vector<Action> actions;
    ui::DialogResult result;
};

const EndCase kEndCases[] = {
    {"Quit", {Action::click(res::IDOK)}, ui::DialogResult::Ok},
    {"EnterOnThePortSelectorIsQuit",
     {Action::focus(res::IDC_COM_PORT), Action::enter()},
     ui::DialogResult::Ok},
    {"Close", {Action::close()}, ui::DialogResult::Cancel},
    {"SystemMenuClose", {Action::sysCommand(ui::SC_CLOSE)}, ui::DialogResult::Cancel},
    {"Escape", {Action::escape()}, ui::DialogResult::Cancel},
};

class EndingTheWindow : public MainWindowTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndingTheWindow, EndsWithItsResultAndAStopRequest) {
    open(4);
    for (const Action& a : GetParam().actions) {
        host.perform(a);
    }
    EXPECT_EQ(host.result(), GetParam().result);
    EXPECT_EQ(dlg.stopRequested, 1);
}

TEST_P(EndingTheWindow, NeverBlocksUnderARunningUploadAndReleasesTheLock) {
    open(4);
    // As inside OnRun: the upload holds the lock on this same thread.
    dlg.uploadLock.lock();
    for (const Action& a : GetParam().actions) {
        host.perform(a);
    }
    EXPECT_EQ(host.result(), GetParam().result);
    dlg.uploadLock.unlock();
    // The handler gave the lock back: another thread can take it now.
    bool taken = false;
    std::thread other([&] {
        taken = dlg.uploadLock.try_lock();
        if (taken) {
            dlg.uploadLock.unlock();
        }
    });
    other.join();
    EXPECT_TRUE(taken);
}

INSTANTIATE_TEST_SUITE_P(Cases, EndingTheWindow, ::testing::ValuesIn(kEndCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(MainWindowTest, QuitReadsTheControlsBack) {
    open(2);
    host.setListSelection(res::IDC_COM_PORT, 5);
    host.perform(Action::click(res::IDOK));
    EXPECT_EQ(dlg.portIndex, 5);
    // comPort changes only through a selection event.
    EXPECT_EQ(dlg.comPort, 2);
}

// --- the load controls during an upload ---------------------------------------

struct UploadCase {
    const char* name;
    bool cancelAfterLoad;  // hexLoaded 0 when the upload ends
    bool reloadAfter;
};

const UploadCase kUploadCases[] = {
    {"AfterALoad", false, true},
    {"AfterACancelledDialog", true, false},
};

class LoadControlsDuringUpload : public MainWindowTest,
                                 public ::testing::WithParamInterface<UploadCase> {};

TEST_P(LoadControlsDuringUpload, AreDisabledAndComeBackWhenItEnds) {
    open(3);
    load(writeFirmware("fw.hex", 20));
    if (GetParam().cancelAfterLoad) {
        load(std::nullopt);
    }
    // What OnRun does when the upload begins.
    dlg.uploadRunning = 1;
    dlg.SetLoadControlsEnabled(false);
    EXPECT_FALSE(enabled(res::IDC_LOAD_HEX));
    EXPECT_FALSE(enabled(res::IDC_RELOAD_HEX));
    EXPECT_FALSE(enabled(res::IDC_INFO));
    EXPECT_FALSE(enabled(res::IDC_COM_PORT));
    EXPECT_TRUE(enabled(res::IDC_RUN));
    EXPECT_TRUE(enabled(res::IDOK));
    // A user cannot change the image or the port under the upload.
    const auto dialogs = host.fileDialogs().size();
    host.perform(Action::click(res::IDC_LOAD_HEX));
    host.perform(Action::select(res::IDC_COM_PORT, 7));
    EXPECT_EQ(host.fileDialogs().size(), dialogs);
    EXPECT_EQ(dlg.comPort, 3);

    dlg.FinishUpload();
    EXPECT_EQ(dlg.uploadRunning, 0);
    EXPECT_TRUE(enabled(res::IDC_LOAD_HEX));
    EXPECT_TRUE(enabled(res::IDC_COM_PORT));
    EXPECT_EQ(enabled(res::IDC_RELOAD_HEX), GetParam().reloadAfter);
    EXPECT_FALSE(enabled(res::IDC_INFO));
    EXPECT_FALSE(enabled(res::IDC_RUN));
    EXPECT_EQ(host.controlText(res::IDC_RUN), "Run");
    EXPECT_EQ(host.title(), "Tesmar");
    EXPECT_EQ(dlg.lineCount, 0);
    EXPECT_FALSE(line.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadControlsDuringUpload, ::testing::ValuesIn(kUploadCases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- the system menu, help and painting ------------------------------------------

TEST_F(MainWindowTest, TheSystemMenuEndsWithTheAboutEntry) {
    open();
    ASSERT_EQ(host.systemMenu().size(), 1u);
    EXPECT_EQ(host.systemMenu()[0].command, 16u);
    EXPECT_EQ(host.systemMenu()[0].text, "&About tesmar...");
}

struct SysCase {
    const char* name;
    unsigned command;
    bool opensAbout;
};

const SysCase kSysCases[] = {
    {"About", 0x0010, true}, {"AboutWithLowBitsSet", 0x001F, true}, {"NextCommand", 0x0020, false},
    {"Move", 0xF010, false}, {"Minimize", 0xF020, false},
};

class SystemCommands : public MainWindowTest, public ::testing::WithParamInterface<SysCase> {};

TEST_P(SystemCommands, OnlyTheAboutCommandOpensTheAboutBox) {
    open();
    host.perform(Action::sysCommand(GetParam().command));
    std::vector<std::string> children;
    for (const auto& e : host.events()) {
        if (e.kind == ui::headless::Event::Kind::ChildDialog) {
            children.push_back(e.text);
        }
    }
    EXPECT_EQ(children, GetParam().opensAbout ? std::vector<std::string>{"About tesmar"}
                                              : std::vector<std::string>{});
    EXPECT_FALSE(host.ended());
}

INSTANTIATE_TEST_SUITE_P(Cases, SystemCommands, ::testing::ValuesIn(kSysCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(MainWindowTest, HelpShowsTheAboutBox) {
    open();
    dlg.OnHelp();
    ASSERT_EQ(host.events().empty(), false);
    EXPECT_EQ(host.events().back().kind, ui::headless::Event::Kind::ChildDialog);
    EXPECT_EQ(host.events().back().text, "About tesmar");
}

struct PaintCase {
    const char* name;
    int width;
    int height;
    int x;  // the icon (32 x 32 on the headless window) at x, y
    int y;
};

const PaintCase kPaintCases[] = {
    {"Centred", 36, 36, 2, 2},
    {"OddRemainderRoundsDown", 33, 34, 1, 1},
    {"SameSizeAsTheIcon", 32, 32, 0, 0},
    {"OnePixelSmallerRoundsTowardZero", 31, 30, 0, 0},
    {"NegativeRoundsTowardZero", 20, 10, -5, -10},
    {"Wide", 200, 40, 84, 4},
};

class PaintingMinimised : public MainWindowTest, public ::testing::WithParamInterface<PaintCase> {};

TEST_P(PaintingMinimised, DrawsTheIconCentred) {
    open();
    host.setMinimized(true, {GetParam().width, GetParam().height});
    dlg.OnPaint();
    ASSERT_EQ(host.iconDrawings().size(), 1u);
    EXPECT_EQ(host.iconDrawings()[0].x, GetParam().x);
    EXPECT_EQ(host.iconDrawings()[0].y, GetParam().y);
}

INSTANTIATE_TEST_SUITE_P(Cases, PaintingMinimised, ::testing::ValuesIn(kPaintCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(MainWindowTest, PaintingTheOpenWindowDrawsNoIcon) {
    open();
    host.setMinimized(false, {100, 100});
    dlg.OnPaint();
    EXPECT_TRUE(host.iconDrawings().empty());
    EXPECT_EQ(dlg.OnQueryDragIcon(), res::IDR_MAINFRAME);
}

}  // namespace

// Start-up and settings: the four settings read into the window, the window
// run through the headless backend, and the settings file afterwards.

#include "app/tesmar_app.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/profile_store.h"
#include "serial/sim_line.h"
#include "tests/app/test_support.h"
#include "ui/headless/headless_host.h"

namespace {

using apptest::readFile;
using apptest::TempDir;
using apptest::writeFile;
using ui::headless::Action;
using ui::headless::HeadlessHost;

class StartUpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ui::setApplicationName("tesmar");
        host.setFailureHandler([this](const std::string& m) { failures.push_back(m); });
    }
    void TearDown() override { EXPECT_EQ(failures, std::vector<std::string>{}); }

    // Runs the program once with these user actions; InitInstance must say
    // that the program ends.
    void run(const std::vector<Action>& actions) {
        for (const Action& a : actions) {
            host.queueAction(a);
        }
        CTesmarApp app(host, line, ini);
        EXPECT_FALSE(app.InitInstance());
        EXPECT_TRUE(host.ended());
    }
    std::string firmware(const std::string& name, const std::string& typecode, int lines) {
        const std::string path = dir.file(name);
        writeFile(path, apptest::joinLines(apptest::firmwareLines(typecode, lines)));
        return path;
    }

    TempDir dir;
    std::string ini = dir.file("tesmar.INI");
    HeadlessHost host;
    serial::SimLine line;
    std::vector<std::string> failures;
};

TEST_F(StartUpTest, FirstStartWithoutAFileCreatesItWithTheDefaultsOnQuit) {
    run({Action::click(res::IDOK)});
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), 0);  // "1"
    EXPECT_EQ(readFile(ini), "[Tesmar]\nComPort=1\nInPath=\nScriptPath=\nPICtype=1\n");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"tesmar.INI"});
}

TEST_F(StartUpTest, FirstStartOpensTheFileDialogWithAnEmptyName) {
    host.answerNextFileDialog(std::nullopt);
    run({Action::click(res::IDC_LOAD_HEX), Action::close()});
    ASSERT_EQ(host.fileDialogs().size(), 1u);
    EXPECT_EQ(host.fileDialogs()[0].initialName, "");
    EXPECT_FALSE(std::filesystem::exists(ini));
}

struct EndCase {
    const char* name;
    std::vector<Action> actions;  // after choosing port 7
    bool saves;
};

const EndCase kEndCases[] = {
    {"Quit", {Action::click(res::IDOK)}, true},
    {"EnterOnTheSelector", {Action::focus(res::IDC_COM_PORT), Action::enter()}, true},
    {"Close", {Action::close()}, false},
    {"SystemMenuClose", {Action::sysCommand(ui::SC_CLOSE)}, false},
    {"Escape", {Action::escape()}, false},
};

class EndingTheRun : public StartUpTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndingTheRun, SavesOnlyOnQuit) {
    const std::string before = "[Tesmar]\nComPort=4\nInPath=/fw/a.hex\nScriptPath=s\nPICtype=3\n";
    writeFile(ini, before);
    std::vector<Action> actions{Action::select(res::IDC_COM_PORT, 6)};
    actions.insert(actions.end(), GetParam().actions.begin(), GetParam().actions.end());
    run(actions);
    EXPECT_EQ(readFile(ini), GetParam().saves ? "[Tesmar]\nComPort=7\nInPath=/fw/a.hex\n"
                                                "ScriptPath=s\nPICtype=3\n"
                                              : before);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"tesmar.INI"});
}

TEST_P(EndingTheRun, ACancelledRunCreatesNoFile) {
    run(GetParam().actions);
    EXPECT_EQ(std::filesystem::exists(ini), GetParam().saves);
}

INSTANTIATE_TEST_SUITE_P(Cases, EndingTheRun, ::testing::ValuesIn(kEndCases),
                         [](const auto& p) { return std::string(p.param.name); });

struct PortCase {
    const char* name;
    const char* setting;  // the ComPort line's value
    int selection;        // shown at start
    const char* saved;    // ComPort written on Quit
};

const PortCase kPortCases[] = {
    {"Three", "3", 2, "3"},         {"Zero", "0", -1, "0"},      {"Twelve", "12", -1, "12"},
    {"NotANumber", "abc", -1, "0"}, {"Absent", nullptr, 0, "1"},
};

class PortSetting : public StartUpTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortSetting, IsShownAndSavedBackUntouched) {
    writeFile(ini, GetParam().setting != nullptr
                       ? std::string("[Tesmar]\nComPort=") + GetParam().setting + "\n"
                       : std::string("[Tesmar]\n"));
    run({Action::click(res::IDOK)});
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), GetParam().selection);
    EXPECT_EQ(app::ProfileStore(ini).GetProfileString("Tesmar", "ComPort", "absent"),
              GetParam().saved);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortSetting, ::testing::ValuesIn(kPortCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartUpTest, TheLastFileOpensTheDialogAndALoadSavesItsDevice) {
    const std::string old = firmware("old.hex", "QV1210", 10);
    writeFile(ini, "[Tesmar]\nComPort=4\nInPath=" + old + "\nPICtype=1\n");
    const std::string fresh = firmware("fresh.hex", "WN3110", 12);
    host.answerNextFileDialog(fresh);
    run({Action::click(res::IDC_LOAD_HEX), Action::click(res::IDOK)});
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), 3);  // "4"
    ASSERT_EQ(host.fileDialogs().size(), 1u);
    EXPECT_EQ(host.fileDialogs()[0].initialName, old);
    EXPECT_EQ(readFile(ini), "[Tesmar]\nComPort=4\nInPath=" + fresh + "\nPICtype=6\nScriptPath=\n");
}

TEST_F(StartUpTest, AFileThatFailedToLoadIsSavedAsInPath) {
    writeFile(ini, "[Tesmar]\nComPort=2\nInPath=/old.hex\nScriptPath=\nPICtype=4\n");
    const std::string missing = dir.file("not there.hex");
    host.answerNextFileDialog(missing);
    host.answerNextBox(ui::Answer::Ok);  // "Cannot open file: not there.hex"
    run({Action::click(res::IDC_LOAD_HEX), Action::click(res::IDOK)});
    ASSERT_EQ(host.boxes().size(), 1u);
    EXPECT_EQ(host.boxes()[0].text, "Cannot open file: not there.hex");
    EXPECT_EQ(readFile(ini),
              "[Tesmar]\nComPort=2\nInPath=" + missing + "\nScriptPath=\nPICtype=4\n");
}

TEST_F(StartUpTest, AFileWrittenByHandIsReadAndKept) {
    const std::string hand =
        "; Tesmar settings, edited by hand\r\n"
        "[Ports]\r\n"
        "COM3 = /dev/ttyUSB0\r\n"
        "\r\n"
        "[tesmar]\r\n"
        "  comport = 3   \r\n"
        "; the last file\r\n"
        "InPath = \"/home/u/my firmware/fw.hex\"\r\n"
        "ScriptPath='  /scripts/run.scr '\r\n"
        "PICTYPE=+2x\r\n"
        "Unknown=kept\r\n"
        "\r\n"
        "[Other]\r\n"
        "ComPort=9\r\n";
    writeFile(ini, hand);
    host.answerNextFileDialog(std::nullopt);
    run({Action::click(res::IDC_LOAD_HEX), Action::click(res::IDOK)});
    EXPECT_EQ(host.listSelection(res::IDC_COM_PORT), 2);
    ASSERT_EQ(host.fileDialogs().size(), 1u);
    EXPECT_EQ(host.fileDialogs()[0].initialName, "/home/u/my firmware/fw.hex");
    EXPECT_EQ(readFile(ini),
              "; Tesmar settings, edited by hand\r\n"
              "[Ports]\r\n"
              "COM3 = /dev/ttyUSB0\r\n"
              "\r\n"
              "[tesmar]\r\n"
              "  comport=3\r\n"
              "; the last file\r\n"
              "InPath=/home/u/my firmware/fw.hex\r\n"
              "ScriptPath=\"  /scripts/run.scr \"\r\n"
              "PICTYPE=2\r\n"
              "Unknown=kept\r\n"
              "\r\n"
              "[Other]\r\n"
              "ComPort=9\r\n");
    // Read again, the values are the ones the first run read.
    const app::ProfileStore store(ini);
    EXPECT_EQ(store.GetProfileString("Tesmar", "ScriptPath", ""), "  /scripts/run.scr ");
    EXPECT_EQ(store.GetProfileString("Tesmar", "InPath", ""), "/home/u/my firmware/fw.hex");
    EXPECT_EQ(app::ResolvePortPath(store, "COM3"), "/dev/ttyUSB0");
}

struct ScriptCase {
    const char* name;
    const char* inFile;  // what the file says after "ScriptPath="
    const char* saved;   // what it says after Quit
};

const ScriptCase kScriptCases[] = {
    {"Plain", "C:\\scripts\\setup.scr", "C:\\scripts\\setup.scr"},
    {"Empty", "", ""},
    {"QuotedWithBlanks", "\" x \"", "\" x \""},
    {"QuotesDroppedWhenNotNeeded", "'/a/b.scr'", "/a/b.scr"},
};

class ScriptPathSetting : public StartUpTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptPathSetting, IsWrittenBackAsItWasRead) {
    writeFile(ini, std::string("[Tesmar]\nScriptPath=") + GetParam().inFile + "\n");
    const std::string read = app::ProfileStore(ini).GetProfileString("Tesmar", "ScriptPath", "");
    host.answerNextFileDialog(firmware("fw.hex", "QV1210", 8));
    run({Action::click(res::IDC_LOAD_HEX), Action::click(res::IDC_RELOAD_HEX),
         Action::click(res::IDOK)});
    const app::ProfileStore after(ini);
    EXPECT_EQ(after.GetProfileString("Tesmar", "ScriptPath", "absent"), read);
    EXPECT_NE(readFile(ini).find(std::string("\nScriptPath=") + GetParam().saved + "\n"),
              std::string::npos)
        << readFile(ini);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScriptPathSetting, ::testing::ValuesIn(kScriptCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(StartUpTest, TheSettingsAreWrittenInTheirOrder) {
    writeFile(ini, "[Tesmar]\n");
    run({Action::click(res::IDOK)});
    EXPECT_EQ(readFile(ini), "[Tesmar]\nComPort=1\nInPath=\nScriptPath=\nPICtype=1\n");
}

}  // namespace

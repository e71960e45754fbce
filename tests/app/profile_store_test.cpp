#include "app/profile_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/app/test_support.h"

namespace {

using app::ProfileStore;
using apptest::readFile;
using apptest::TempDir;
using apptest::writeFile;

class ProfileStoreTest : public ::testing::Test {
  protected:
    // A store on a file holding text.
    ProfileStore storeWith(const std::string& text) {
        writeFile(ini, text);
        return ProfileStore(ini);
    }
    TempDir dir;
    std::string ini = dir.file("tesmar.INI");
};

// --- reading integers -----------------------------------------------------

struct IntCase {
    const char* name;
    const char* file;  // the whole settings file
    int32_t expected;  // GetProfileInt("Tesmar", "ComPort", 7)
};

const IntCase kIntCases[] = {
    {"Plain", "[Tesmar]\nComPort=12\n", 12},
    {"Blanks", "[Tesmar]\n  ComPort  =   12   \n", 12},
    {"Tabs", "[Tesmar]\n\tComPort\t=\t5\t\n", 5},
    {"Negative", "[Tesmar]\nComPort=-3\n", -3},
    {"PlusSign", "[Tesmar]\nComPort=+4\n", 4},
    {"LeadingZeros", "[Tesmar]\nComPort=007\n", 7},
    {"DigitsThenJunk", "[Tesmar]\nComPort=12abc\n", 12},
    {"Decimal", "[Tesmar]\nComPort=3.9\n", 3},
    {"NoDigits", "[Tesmar]\nComPort=abc\n", 0},
    {"EmptyValueIsZeroNotTheDefault", "[Tesmar]\nComPort=\n", 0},
    {"SignAlone", "[Tesmar]\nComPort=-\n", 0},
    {"BlankAfterSign", "[Tesmar]\nComPort=- 5\n", 0},
    {"TwoSigns", "[Tesmar]\nComPort=+-5\n", 0},
    {"HexIsNotRead", "[Tesmar]\nComPort=0x1F\n", 0},
    {"Quoted", "[Tesmar]\nComPort=\"9\"\n", 9},
    {"WrapsAt32Bits", "[Tesmar]\nComPort=4294967297\n", 1},
    {"Int32Overflow", "[Tesmar]\nComPort=2147483648\n", -2147483647 - 1},
    {"KeyAbsent", "[Tesmar]\nInPath=x\n", 7},
    {"SectionAbsent", "[Other]\nComPort=3\n", 7},
    {"KeyInAnotherSection", "[Tesmar]\n[Other]\nComPort=3\n", 7},
    {"LineWithoutEqualsIsNoKey", "[Tesmar]\nComPort\n", 7},
    {"CommentedOutSemicolon", "[Tesmar]\n; ComPort=3\n", 7},
    {"CommentedOutHash", "[Tesmar]\n# ComPort=3\n", 7},
    {"NamesIgnoreCase", "[tESMAR]\ncomPORT=6\n", 6},
    {"BlanksInsideTheBrackets", "[ Tesmar ]\nComPort=6\n", 6},
    {"FirstKeyWins", "[Tesmar]\nComPort=2\nComPort=3\n", 2},
    {"FirstSectionWins", "[Tesmar]\nInPath=x\n[Tesmar]\nComPort=3\n", 7},
    {"KeysBeforeAnySectionDoNotCount", "ComPort=3\n[Tesmar]\n", 7},
    {"HeaderWithoutBracketIsNoSection", "[Tesmar\nComPort=3\n", 7},
    {"CrLfLines", "[Tesmar]\r\nComPort=4\r\n", 4},
    {"LastLineWithoutTerminator", "[Tesmar]\nComPort=8", 8},
    {"EmptyFile", "", 7},
};

class IntReading : public ProfileStoreTest, public ::testing::WithParamInterface<IntCase> {};

TEST_P(IntReading, ReadsAsTheWindowsCall) {
    const ProfileStore store = storeWith(GetParam().file);
    EXPECT_EQ(store.GetProfileInt("Tesmar", "ComPort", 7), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, IntReading, ::testing::ValuesIn(kIntCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(ProfileStoreTest, AMissingFileGivesTheDefaults) {
    const ProfileStore store(dir.file("absent.INI"));
    EXPECT_EQ(store.GetProfileInt("Tesmar", "ComPort", 1), 1);
    EXPECT_EQ(store.GetProfileString("Tesmar", "InPath", "none"), "none");
}

// --- reading text ---------------------------------------------------------

struct TextCase {
    const char* name;
    std::string value;  // what follows "InPath=" in the file
    std::optional<std::string> expected;
};

const TextCase kTextCases[] = {
    {"Plain", "/home/u/fw.hex", "/home/u/fw.hex"},
    {"Trimmed", "   /home/u/fw.hex \t ", "/home/u/fw.hex"},
    {"InnerBlanksKept", "/home/u/my firmware.hex", "/home/u/my firmware.hex"},
    {"DoubleQuotesRemoved", "\"/home/u/fw.hex\"", "/home/u/fw.hex"},
    {"SingleQuotesRemoved", "'/home/u/fw.hex'", "/home/u/fw.hex"},
    {"BlanksInsideQuotesKept", "\"  a b  \"", "  a b  "},
    {"MismatchedQuotesKept", "\"abc'", "\"abc'"},
    {"OneQuoteOnlyAtTheStart", "\"abc", "\"abc"},
    {"OnlyOnePairRemoved", "\"\"abc\"\"", "\"abc\""},
    {"LoneQuoteKept", "\"", "\""},
    {"EmptyQuotes", "\"\"", ""},
    {"Empty", "", ""},
    {"EqualsSignInValue", "a=b", "a=b"},
    {"CutTo4095", std::string(5000, 'x'), std::string(4095, 'x')},
    {"Exactly4095", std::string(4095, 'y'), std::string(4095, 'y')},
};

class TextReading : public ProfileStoreTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextReading, ReadsAsTheWindowsCall) {
    const ProfileStore store = storeWith("[Tesmar]\nInPath=" + GetParam().value + "\n");
    EXPECT_EQ(store.Find("Tesmar", "InPath"), GetParam().expected);
    EXPECT_EQ(store.GetProfileString("Tesmar", "InPath", "default"), *GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextReading, ::testing::ValuesIn(kTextCases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- broken files -------------------------------------------------------

TEST_F(ProfileStoreTest, BinaryJunkAndEnormousLinesReadAsWhatCanBeRead) {
    std::string junk;
    for (int i = 0; i < 256; ++i) {
        junk.push_back(static_cast<char>(i));
    }
    const std::string longLine(300 * 1024, 'z');  // longer than any line buffer
    const std::string file =
        junk + "\n" + std::string(3, '\0') + "=\n" + longLine +
        "\n[Tesmar]\nno equals here\n\x01\x02\nScriptPath=" + std::string(200 * 1024, 's') +
        "\nComPort=5\n" + junk;
    const ProfileStore store = storeWith(file);
    EXPECT_EQ(store.GetProfileInt("Tesmar", "ComPort", 1), 5);
    EXPECT_EQ(store.GetProfileString("Tesmar", "ScriptPath", ""), std::string(4095, 's'));
    EXPECT_EQ(store.GetProfileInt("Tesmar", "PICtype", 1), 1);
}

TEST_F(ProfileStoreTest, AFolderInPlaceOfTheFileReadsAsMissingAndIsNotReplaced) {
    std::filesystem::create_directory(ini);
    ProfileStore store(ini);
    EXPECT_EQ(store.GetProfileInt("Tesmar", "ComPort", 1), 1);
    EXPECT_FALSE(store.WriteProfileInt("Tesmar", "ComPort", 3));
    EXPECT_TRUE(std::filesystem::is_directory(ini));
}

TEST_F(ProfileStoreTest, AHugeFileIsReadAndRewrittenWhole) {
    std::string file;
    for (int i = 0; i < 200000; ++i) {
        file += "[S" + std::to_string(i) + "]\nkey=value number " + std::to_string(i) + "\n";
    }
    file += "[Tesmar]\nComPort=2\n";
    ProfileStore store = storeWith(file);
    EXPECT_EQ(store.GetProfileInt("Tesmar", "ComPort", 1), 2);
    ASSERT_TRUE(store.WriteProfileInt("Tesmar", "ComPort", 9));
    const std::string expected = file.substr(0, file.size() - 2) + "9\n";
    EXPECT_EQ(readFile(ini), expected);
}

// --- writing --------------------------------------------------------------

struct WriteCase {
    const char* name;
    std::optional<std::string> before;  // nothing: no file
    const char* key;
    const char* value;
    std::string after;
};

const WriteCase kWriteCases[] = {
    {"CreatesAMissingFile", std::nullopt, "ComPort", "1", "[Tesmar]\nComPort=1\n"},
    {"FillsAnEmptyFile", "", "ComPort", "1", "[Tesmar]\nComPort=1\n"},
    {"ReplacesTheValue", "[Tesmar]\nComPort=3\nInPath=a\n", "ComPort", "4",
     "[Tesmar]\nComPort=4\nInPath=a\n"},
    {"KeepsTheKeysSpellingAndIndent", "[tesmar]\n  comport = 3   \n", "ComPort", "4",
     "[tesmar]\n  comport=4\n"},
    {"ReplacesOnlyTheFirstOfTwoKeys", "[Tesmar]\nComPort=3\nComPort=5\n", "ComPort", "4",
     "[Tesmar]\nComPort=4\nComPort=5\n"},
    {"LeavesOtherSectionsAndComments",
     "; hand-written\n[Ports]\nCOM1 = /dev/ttyUSB0\n\n[Tesmar]\n; the port\nComPort=3\n\n[Z]\nz=1",
     "ComPort", "4",
     "; hand-written\n[Ports]\nCOM1 = /dev/ttyUSB0\n\n[Tesmar]\n; the port\nComPort=4\n\n[Z]\nz=1"},
    {"SameKeyInAnotherSectionUntouched", "[Other]\nComPort=3\n[Tesmar]\nComPort=5\n", "ComPort",
     "4", "[Other]\nComPort=3\n[Tesmar]\nComPort=4\n"},
    {"NewKeyAfterTheSectionsLastKey", "[Tesmar]\nA=1\n; note\n\n[B]\nb=2\n", "ComPort", "4",
     "[Tesmar]\nA=1\nComPort=4\n; note\n\n[B]\nb=2\n"},
    {"NewKeyRightAfterABareHeader", "[Tesmar]\n\n[B]\n", "ComPort", "4",
     "[Tesmar]\nComPort=4\n\n[B]\n"},
    {"NewKeyAfterAnUnterminatedHeader", "[Tesmar]", "ComPort", "4", "[Tesmar]\nComPort=4\n"},
    {"NewKeyAfterAnUnterminatedLastKey", "[Tesmar]\nA=1", "ComPort", "4",
     "[Tesmar]\nA=1\nComPort=4\n"},
    {"NewSectionAppended", "[A]\nx=1\n", "ComPort", "4", "[A]\nx=1\n\n[Tesmar]\nComPort=4\n"},
    {"NewSectionAfterAnUnterminatedLine", "[A]\nx=1", "ComPort", "4",
     "[A]\nx=1\n\n[Tesmar]\nComPort=4\n"},
    {"CrLfFileGetsCrLfLines", "[A]\r\nx=1\r\n", "ComPort", "4",
     "[A]\r\nx=1\r\n\r\n[Tesmar]\r\nComPort=4\r\n"},
    {"CrLfKeyReplaced", "[Tesmar]\r\nComPort=3\r\nB=2\r\n", "ComPort", "4",
     "[Tesmar]\r\nComPort=4\r\nB=2\r\n"},
    {"EmptyValue", "[Tesmar]\nInPath=/a.hex\n", "InPath", "", "[Tesmar]\nInPath=\n"},
    {"BlanksAtTheEndsAreQuoted", "", "ScriptPath", "  /s/run.scr ",
     "[Tesmar]\nScriptPath=\"  /s/run.scr \"\n"},
    {"AQuotedValueIsQuotedAgain", "", "ScriptPath", "'x'", "[Tesmar]\nScriptPath=\"'x'\"\n"},
};

class Writing : public ProfileStoreTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(Writing, ChangesOnlyWhatItMust) {
    const WriteCase& c = GetParam();
    if (c.before) {
        writeFile(ini, *c.before);
    }
    ProfileStore store(ini);
    ASSERT_TRUE(store.WriteProfileString("Tesmar", c.key, c.value));
    EXPECT_EQ(readFile(ini), c.after);
    // What was written reads back as it was given.
    EXPECT_EQ(store.GetProfileString("Tesmar", c.key, "absent"), c.value);
    // Nothing is left beside it.
    EXPECT_EQ(dir.names(), std::vector<std::string>{"tesmar.INI"});
}

INSTANTIATE_TEST_SUITE_P(Cases, Writing, ::testing::ValuesIn(kWriteCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(ProfileStoreTest, IntegersAreWrittenInDecimal) {
    ProfileStore store(ini);
    ASSERT_TRUE(store.WriteProfileInt("Tesmar", "ComPort", 12));
    ASSERT_TRUE(store.WriteProfileInt("Tesmar", "PICtype", -2));
    EXPECT_EQ(readFile(ini), "[Tesmar]\nComPort=12\nPICtype=-2\n");
}

TEST_F(ProfileStoreTest, AValueWithALineBreakIsRefusedAndTheFileKept) {
    ProfileStore store = storeWith("[Tesmar]\nInPath=a\n");
    EXPECT_FALSE(store.WriteProfileString("Tesmar", "InPath", "/tmp/x\nComPort=9"));
    EXPECT_FALSE(store.WriteProfileString("Tesmar", "InPath", "/tmp/x\r"));
    EXPECT_EQ(readFile(ini), "[Tesmar]\nInPath=a\n");
}

TEST_F(ProfileStoreTest, TheOldFileIsReplacedWholeNeverRewrittenInPlace) {
    writeFile(ini, "[Tesmar]\nComPort=3\n");
    // A reader that opened the old file before the write still sees it whole:
    // the new text went into a file of its own that was renamed over it.
    const int before = ::open(ini.c_str(), O_RDONLY);
    ASSERT_GE(before, 0);
    struct stat oldStat {};
    ASSERT_EQ(::fstat(before, &oldStat), 0);
    ProfileStore store(ini);
    ASSERT_TRUE(store.WriteProfileInt("Tesmar", "ComPort", 4));
    char buffer[64] = {};
    const ssize_t n = ::pread(before, buffer, sizeof buffer, 0);
    ::close(before);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "[Tesmar]\nComPort=3\n");
    struct stat newStat {};
    ASSERT_EQ(::stat(ini.c_str(), &newStat), 0);
    EXPECT_NE(newStat.st_ino, oldStat.st_ino);
    EXPECT_EQ(readFile(ini), "[Tesmar]\nComPort=4\n");
}

TEST_F(ProfileStoreTest, KeepsThePermissionsAndWritesThroughASymbolicLink) {
    const std::string real = dir.file("real.INI");
    writeFile(real, "[Tesmar]\nComPort=3\n");
    ::chmod(real.c_str(), 0640);
    std::filesystem::create_symlink(real, ini);
    ProfileStore store(ini);
    ASSERT_TRUE(store.WriteProfileInt("Tesmar", "ComPort", 4));
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_EQ(readFile(real), "[Tesmar]\nComPort=4\n");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(ProfileStoreTest, CreatesTheMissingFoldersForTheUserOnly) {
    const std::string nested = dir.file("config/deeper/tesmar.INI");
    ProfileStore store(nested);
    ASSERT_TRUE(store.WriteProfileInt("Tesmar", "ComPort", 1));
    EXPECT_EQ(readFile(nested), "[Tesmar]\nComPort=1\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("config").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(ProfileStoreTest, AFolderThatCannotBeMadeFailsTheWrite) {
    writeFile(dir.file("afile"), "x");
    ProfileStore store(dir.file("afile/tesmar.INI"));
    EXPECT_FALSE(store.WriteProfileInt("Tesmar", "ComPort", 1));
    EXPECT_EQ(readFile(dir.file("afile")), "x");
}

// --- ports ----------------------------------------------------------------

struct PortCase {
    const char* name;
    const char* port;
    const char* expected;
};

const PortCase kPortCases[] = {
    {"MappedInPorts", "COM3", "/dev/ttyUSB0"},
    {"MappingIgnoresCase", "com3", "/dev/ttyUSB0"},
    {"QuotedMapping", "COM5", "/dev/my port"},
    {"EmptyMappingFallsBack", "COM4", "/dev/ttyS3"},
    {"Com1", "COM1", "/dev/ttyS0"},
    {"Com9", "COM9", "/dev/ttyS8"},
    {"Com12", "COM12", "/dev/ttyS11"},
    {"APathStaysAPath", "/dev/pts/7", "/dev/pts/7"},
};

class PortPaths : public ProfileStoreTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortPaths, ResolveThroughThePortsSection) {
    const ProfileStore store = storeWith(
        "[Tesmar]\nCOM3=/dev/wrong\n[Ports]\nCOM3 = /dev/ttyUSB0\nCOM4=\nCOM5=\"/dev/my port\"\n");
    EXPECT_EQ(app::ResolvePortPath(store, GetParam().port), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PortPaths, ::testing::ValuesIn(kPortCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(ProfileStoreTest, PortsWithoutASettingsFileAreTheSerialDevices) {
    const ProfileStore store(dir.file("absent.INI"));
    EXPECT_EQ(app::ResolvePortPath(store, "COM2"), "/dev/ttyS1");
}

// --- where the settings file lives -----------------------------------------

struct LocationCase {
    const char* name;
    const char* executable;
    const char* xdgConfigHome;
    const char* home;
    const char* expected;
};

const LocationCase kLocationCases[] = {
    {"XdgConfigHome", "/usr/bin/tesmar", "/x/cfg", "/home/u", "/x/cfg/tesmar.INI"},
    {"XdgWithTrailingSlash", "/usr/bin/tesmar", "/x/cfg/", "/home/u", "/x/cfg/tesmar.INI"},
    {"RelativeXdgIsIgnored", "/usr/bin/tesmar", "cfg", "/home/u", "/home/u/.config/tesmar.INI"},
    {"EmptyXdgIsIgnored", "/usr/bin/tesmar", "", "/home/u", "/home/u/.config/tesmar.INI"},
    {"NoXdg", "/usr/bin/tesmar", nullptr, "/home/u", "/home/u/.config/tesmar.INI"},
    {"NameWithoutExtension", "./build/tesmar-dev.bin", nullptr, "/home/u",
     "/home/u/.config/tesmar-dev.INI"},
    {"WindowsStylePath", "C:\\TOOLS\\TESMAR.EXE", "/x", "/home/u", "/x/TESMAR.INI"},
    {"BareName", "tesmar", "/x", "/home/u", "/x/tesmar.INI"},
};

class SettingsLocation : public ::testing::TestWithParam<LocationCase> {};

TEST_P(SettingsLocation, IsTheNamedFileInTheConfigurationFolder) {
    const LocationCase& c = GetParam();
    EXPECT_EQ(app::SettingsFilePath(c.executable, c.xdgConfigHome, c.home), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsLocation, ::testing::ValuesIn(kLocationCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SettingsLocationFallback, WithoutHomeTheAccountsHomeFolderIsUsed) {
    const std::string path = app::SettingsFilePath("/usr/bin/tesmar", nullptr, nullptr);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    const std::string tail = "/.config/tesmar.INI";
    ASSERT_GE(path.size(), tail.size());
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
}

TEST(SettingsLocationFallback, TheEnvironmentIsRead) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("XDG_CONFIG_HOME", "/somewhere/cfg", 1);
    EXPECT_EQ(app::SettingsFilePath("/opt/tesmar/bin/tesmar"), "/somewhere/cfg/tesmar.INI");
    if (old != nullptr) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace

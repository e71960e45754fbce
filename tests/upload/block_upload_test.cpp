// The block upload against the simulated instrument: every kind of upload to
// its end, every failure with its status, boxes and exit command, the retry
// loops, stop at each phase, and the keep-alive around the boxes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/upload/upload_fixture.h"

namespace {

using sim::Fault;
using sim::Step;
using tesmar_test::UploadKind;
using ui::headless::BoxRecord;

const BoxRecord kSerialBox{"ERROR - Programming Failed\nError in serial communications", "tesmar",
                           ui::Buttons::OkCancel, ui::Icon::Exclamation};
const BoxRecord kCommBox{"ERROR - Programming Failed\nError communicating with storage Quindle",
                         "tesmar", ui::Buttons::OkCancel, ui::Icon::Exclamation};
const BoxRecord kStopBox{"Programming not completed\nStopped by user", "tesmar",
                         ui::Buttons::OkCancel, ui::Icon::Exclamation};
const BoxRecord kWriteTestFailedBox{
    "ERROR - Programming Failed\nFailed memory write test\n device cannot be used for this "
    "upload\n until this test is passed",
    "tesmar", ui::Buttons::OkCancel, ui::Icon::Exclamation};
const BoxRecord kVerifyFailedBox{
    "ERROR - Programming Failed\nVerification error\nTry programming again", "tesmar",
    ui::Buttons::OkCancel, ui::Icon::Exclamation};
const BoxRecord kMismatchNotice{
    "Typecode in PIC to be programmed\n doesn't agree with that in Hex File\n\nMake sure you are "
    "loading the correct Hex file for the\n device being programmed",
    "tesmar", ui::Buttons::Ok, ui::Icon::Exclamation};
const BoxRecord kTestStartNotice{"Starting memory write test\n\nPress OK to continue", "tesmar",
                                 ui::Buttons::Ok, ui::Icon::Exclamation};
const BoxRecord kTestPassedNotice{"Memory write test successful\n\nPress OK to continue", "tesmar",
                                  ui::Buttons::Ok, ui::Icon::Exclamation};
const BoxRecord kBootloaderWarning{
    "You are uploading a Bootloader!\n\nThis operation MUST not be interrupted!\nMake sure that "
    "power cannot fail\nMake sure the host computer cannot sleep/standby\n\nPress OK to continue",
    "tesmar", ui::Buttons::Ok, ui::Icon::Exclamation};
const BoxRecord kEssentialWarning{
    "You are uploading essential firmware!\n\nThis operation MUST not be interrupted!\nMake sure "
    "that power cannot fail\nMake sure the host computer cannot sleep/standby\n\nPress OK to "
    "continue",
    "tesmar", ui::Buttons::Ok, ui::Icon::Exclamation};
const BoxRecord kBootloaderVerifyNotice{
    "You are uploading a Bootloader!\n\nVerification has failed!\nYour Quindle cannot be used "
    "until this operation succeeds\n\nDo not allow power to fail, or host computer\n to "
    "sleep/standby\n\nClick OK to try again",
    "tesmar", ui::Buttons::Ok, ui::Icon::Exclamation};
const BoxRecord kEssentialVerifyNotice{
    "You are uploading essential firmware!\n\nVerification has failed!\nYour Quindle cannot be "
    "used until this operation succeeds\n\nDo not allow power to fail, or host computer\n to "
    "sleep/standby\n\nClick OK to try again",
    "tesmar", ui::Buttons::Ok, ui::Icon::Exclamation};
const BoxRecord kRetryQuestion{
    "Memory write test failed\n\nCommunication protocol unsuccessful\nPres NO to abort\n\t(your "
    "device will not be damaged,\n\tbut it will not work again until\n\tthe entire "
    "reprogramming has succeeded)\n\nPress YES to try again (recommended)",
    "tesmar", ui::Buttons::YesNo, ui::Icon::Question};

constexpr const char* kSuccess = "Programming completed successfully";

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

int countOf(const std::vector<std::string>& texts, const std::string& text) {
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

class BlockUploadTest : public tesmar_test::UploadFixture {
  protected:
    // The window loaded for `row` and `kind` with firmware in it, the
    // instrument with `faults` attached, the port open and the announcement
    // taken, as RUN leaves them when it hands over.
    sim::Instrument& prepare(int row, UploadKind kind, std::vector<Fault> faults = {},
                             bool fullImage = false) {
        loadDevice(row, kind);
        if (kind == UploadKind::Bootloader) {
            fillImage(0, 0x400);
            std::fill(&dlg.memory[0x200], &dlg.memory[0x240], 0xFF);  // a blank block
            fillImage(0x400, 0x480);  // beyond the bootloader: never written
        } else {
            fillImage(0x400, fullImage ? dlg.memorySize : 0x800);
            std::fill(&dlg.memory[0x600], &dlg.memory[0x640], 0xFF);  // a blank block
        }
        hostMemory = dlg.memory;
        sim::Config config = configFor(row, kind);
        config.faults = std::move(faults);
        sim::Instrument& device = attachInstrument(std::move(config));
        openPort();
        const char expected = dlg.isBootloader != 0 ? '~' : 'Q';
        EXPECT_EQ(consumeAnnouncement(), expected);
        writesAtHandOver = line.hostWrites().size();
        return device;
    }
    void answerBoxes(const std::vector<BoxRecord>& boxes, int64_t holdMs = 0) {
        for (const auto& box : boxes) {
            host.answerNextBox(box.buttons == ui::Buttons::YesNo ? ui::Answer::No : ui::Answer::Ok,
                               holdMs);
        }
    }
    void expectFinished() {
        EXPECT_FALSE(line.isOpen());
        EXPECT_EQ(dlg.commFile.isOpen(), 0);
        EXPECT_EQ(dlg.runButton.GetWindowText(), "Run");
        EXPECT_FALSE(dlg.runButton.IsWindowEnabled());
        EXPECT_EQ(dlg.uploadRunning, 0);
        EXPECT_EQ(dlg.lineCount, 0);
        EXPECT_EQ(dlg.keepAliveTimer, 0u);
        EXPECT_FALSE(host.timerRunning(1));
    }
    std::string sentByUpload() const { return sentSince(writesAtHandOver); }

    std::array<uint8_t, image::kMemoryBytes> hostMemory{};
    size_t writesAtHandOver = 0;
};

// --- success ------------------------------------------------------------------

struct SuccessCase {
    const char* name;
    int row;
    UploadKind kind;
    std::vector<BoxRecord> notices;
};

class BlockUploadSuccessTest : public BlockUploadTest,
                               public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(BlockUploadSuccessTest, LeavesTheDeviceHoldingTheImage) {
    const SuccessCase& c = GetParam();
    sim::Instrument& device = prepare(c.row, c.kind, {}, true);
    answerBoxes(c.notices);
    dlg.BlockUpload();

    EXPECT_EQ(device.memory(),
              sim::expectedDeviceMemory(hostMemory, device.config().device, c.kind))
        << device.transcriptText().substr(0, 4000);
    EXPECT_EQ(dlg.statusText, kSuccess);
    EXPECT_EQ(host.boxes(), c.notices);
    EXPECT_TRUE(device.finishReceived());
    EXPECT_FALSE(device.abortReceived());
    EXPECT_EQ(device.counters().unexpectedBytes, 0);
    EXPECT_EQ(sentByUpload().substr(0, 2), "pt");
    EXPECT_EQ(sentByUpload().back(), 'f');
    expectFinished();

    const auto statuses = host.statuses();
    if (c.kind == UploadKind::Bootloader) {
        // The block at 0 is written but never read back; nothing from 1024 on.
        EXPECT_TRUE(contains(statuses, "Writing 64 bytes @    0h"));
        EXPECT_FALSE(contains(statuses, "Verifying 64 bytes @    0h"));
        EXPECT_TRUE(contains(statuses, "Verifying 64 bytes @   40h"));
        EXPECT_FALSE(contains(statuses, "Writing 64 bytes @  400h"));
        EXPECT_FALSE(contains(statuses, "Verifying 64 bytes @  400h"));
        EXPECT_FALSE(contains(statuses, "Writing 64 bytes @  200h"));
        EXPECT_FALSE(contains(statuses, "Verifying 64 bytes @  200h"));
    } else {
        // A blank block is neither written nor read.
        EXPECT_TRUE(contains(statuses, "Writing 64 bytes @  5C0h"));
        EXPECT_FALSE(contains(statuses, "Writing 64 bytes @  600h"));
        EXPECT_FALSE(contains(statuses, "Verifying 64 bytes @  600h"));
        EXPECT_TRUE(contains(statuses, "Verifying 64 bytes @  640h"));
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Kinds, BlockUploadSuccessTest, ::testing::Values(
    SuccessCase{"PlainPic16",           4, UploadKind::Plain,      {}},
    SuccessCase{"PlainPic18",           2, UploadKind::Plain,      {}},
    SuccessCase{"PlainFrontPanel",      5, UploadKind::Plain,      {}},
    SuccessCase{"BootloaderPic18",      2, UploadKind::Bootloader, {kTestStartNotice, kTestPassedNotice, kBootloaderWarning}},
    SuccessCase{"BootloaderPic16",      4, UploadKind::Bootloader, {kTestStartNotice, kTestPassedNotice, kBootloaderWarning}},
    SuccessCase{"ThroughOutputPic",     5, UploadKind::Essential,  {kTestStartNotice, kTestPassedNotice, kEssentialWarning}},
    SuccessCase{"BootloaderThroughOutputPic", 5, UploadKind::Bootloader, {kTestStartNotice, kTestPassedNotice, kBootloaderWarning}}),
    [](const ::testing::TestParamInfo<SuccessCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(BlockUploadTest, ShowsEveryStepInTheStatusLineInOrder) {
    const std::vector<std::string> handshake = {"p message sent", "PIC ready for Programming",
                                                "t message sent"};
    auto withAddress = [](const char* step, int address) {
        char text[40];
        std::snprintf(text, sizeof text, "%s 64 bytes @ %4Xh", step, address);
        return std::string(text);
    };
    {
        SCOPED_TRACE("plain");
        prepare(2, UploadKind::Plain);
        std::fill(&dlg.memory[0x480], &dlg.memory[0x800], 0xFF);  // two blocks of data
        dlg.BlockUpload();
        std::vector<std::string> want = handshake;
        want.insert(want.end(),
                    {"Writing 64 bytes @  400h", "Writing 64 bytes @  440h",
                     "Verifying 64 bytes @  400h", "Verifying 64 bytes @  440h", kSuccess});
        EXPECT_EQ(host.statuses(), want);
    }
    {
        SCOPED_TRACE("through the output processor");
        host.clearEvents();
        prepare(5, UploadKind::Essential);
        std::fill(&dlg.memory[0x440], &dlg.memory[0x800], 0xFF);  // one block of data
        answerBoxes({kTestStartNotice, kTestPassedNotice, kEssentialWarning});
        dlg.BlockUpload();
        std::vector<std::string> want = handshake;
        for (const char* step : {"TestWrite", "TestVerify"}) {
            for (int a = 0x1000; a < 0x1400; a += 64) {
                want.push_back(withAddress(step, a));
            }
        }
        want.insert(want.end(),
                    {"Writing 64 bytes @  400h", "Verifying 64 bytes @  400h", kSuccess});
        EXPECT_EQ(host.statuses(), want);
    }
    {
        SCOPED_TRACE("typecode mismatch");
        host.clearEvents();
        prepare(2, UploadKind::Plain, {Fault::typecodeReply("QV1211")});
        answerBoxes({kMismatchNotice, kCommBox});
        dlg.BlockUpload();
        std::vector<std::string> want = handshake;
        want.insert(want.end(), {"Wrong Hex file - f message sent", "Wrong char in typecode"});
        EXPECT_EQ(host.statuses(), want);
    }
}

TEST_F(BlockUploadTest, FrontPanelWriteTestUsesItsOwnAreaAndAnswerLetters) {
    // Firmware through the output processor expects 'A' in 0x1000..0x13FF,
    // a bootloader image 'a'; the device answers accordingly, so a wrong
    // expectation would end with a protocol failure.
    for (UploadKind kind : {UploadKind::Essential, UploadKind::Bootloader}) {
        SCOPED_TRACE(kind == UploadKind::Essential ? "essential" : "bootloader");
        host.clearEvents();
        sim::Instrument& device = prepare(5, kind);
        answerBoxes({kTestStartNotice, kTestPassedNotice, kBootloaderWarning});
        dlg.BlockUpload();
        EXPECT_EQ(dlg.statusText, kSuccess);
        const auto statuses = host.statuses();
        EXPECT_TRUE(contains(statuses, "TestWrite 64 bytes @ 1000h"));
        EXPECT_TRUE(contains(statuses, "TestVerify 64 bytes @ 13C0h"));
        EXPECT_FALSE(contains(statuses, "TestWrite 64 bytes @ 1400h"));
        EXPECT_FALSE(contains(statuses, "TestWrite 64 bytes @  800h"));
        EXPECT_EQ(device.counters().unexpectedBytes, 0);
    }
}

TEST_F(BlockUploadTest, SucceedsWhenStartedWithRun) {
    sim::Instrument& device = prepare(2, UploadKind::Plain);
    dlg.commFile.close();  // RUN opens the port itself
    dlg.uploadRunning = 0;
    dlg.lineCount = 1;
    dlg.comPort = 1;
    host.answerNextBox(ui::Answer::Yes);  // the confirmation
    host.perform(ui::headless::Action::click(res::IDC_RUN));
    EXPECT_EQ(dlg.statusText, kSuccess);
    EXPECT_EQ(host.boxes().size(), 1u);
    EXPECT_EQ(device.memory(),
              sim::expectedDeviceMemory(hostMemory, device.config().device, UploadKind::Plain));
    expectFinished();
}

// --- failures -----------------------------------------------------------------

struct FailureCase {
    const char* name;
    int row;
    UploadKind kind;
    std::vector<Fault> faults;
    std::function<void(BlockUploadTest&)> setUp;  // line faults, image changes
    std::string status;
    std::vector<BoxRecord> boxes;
    bool finishSent;
    bool abortSent;
    // What the status line read when the last box opened; nullptr: status.
    const char* statusAtLastBox = nullptr;
};

class BlockUploadFailureTest : public BlockUploadTest,
                               public ::testing::WithParamInterface<FailureCase> {};

TEST_P(BlockUploadFailureTest, EndsWithItsStatusBoxAndExitCommand) {
    const FailureCase& c = GetParam();
    sim::Instrument& device = prepare(c.row, c.kind, c.faults);
    if (c.setUp) {
        c.setUp(*this);
    }
    answerBoxes(c.boxes);
    dlg.BlockUpload();

    EXPECT_EQ(dlg.statusText, c.status);
    EXPECT_EQ(host.boxes(), c.boxes);
    EXPECT_EQ(device.finishReceived(), c.finishSent);
    EXPECT_EQ(device.abortReceived(), c.abortSent);
    expectFinished();
    // The status is shown first, then its box.
    std::string shown;
    std::string shownAtLastBox;
    for (const auto& e : host.events()) {
        if (e.kind == ui::headless::Event::Kind::Status) {
            shown = e.text;
        } else if (e.kind == ui::headless::Event::Kind::Box) {
            shownAtLastBox = shown;
        }
    }
    if (!c.boxes.empty()) {
        EXPECT_EQ(shownAtLastBox, c.statusAtLastBox != nullptr ? c.statusAtLastBox : c.status);
    }
}

const std::vector<FailureCase> kFailures = {
    {"StartCharNotSent",
     2,
     UploadKind::Plain,
     {},
     [](BlockUploadTest& t) { t.line.refuseWritesAfter(0); },
     "Com Write timeout",
     {kSerialBox},
     false,
     false},
    {"TypecodeCommandNotSent",
     2,
     UploadKind::Plain,
     {},
     [](BlockUploadTest& t) { t.line.refuseWritesAfter(1); },
     "Com Write timeout",
     {kSerialBox},
     false,
     false},
    {"FinishNotSentAfterMismatch",
     2,
     UploadKind::Plain,
     {Fault::typecodeReply("QV1211")},
     [](BlockUploadTest& t) { t.line.refuseWritesAfter(2); },
     "Com Write timeout",
     {kSerialBox},
     false,
     false},
    {"NoStartReply",
     2,
     UploadKind::Plain,
     {Fault::silence(Step::StartReply)},
     {},
     "Com error",
     {kSerialBox},
     false,
     false},
    {"NoTypecode",
     2,
     UploadKind::Plain,
     {Fault::silence(Step::Typecode)},
     {},
     "Com error",
     {kSerialBox},
     false,
     false},
    {"WrongStartReply",
     2,
     UploadKind::Plain,
     {Fault::wrongAnswer(Step::StartReply, 'Q')},
     {},
     "Wrong char - P expected",
     {kCommBox},
     false,
     false},
    {"WrongLetterAfterTypecode",
     2,
     UploadKind::Plain,
     {Fault::wrongAnswer(Step::TypecodeEnd, 'X')},
     {},
     "Wrong char - T expected",
     {kCommBox},
     false,
     false},
    {"TypecodeMismatchConfirmed",
     2,
     UploadKind::Plain,
     {Fault::typecodeReply("QV1211")},
     {},
     "Wrong char in typecode",
     {kMismatchNotice, kCommBox},
     true,
     false},
    {"TypecodeDiffersInCase",
     2,
     UploadKind::Plain,
     {Fault::typecodeReply("qv1210")},
     {},
     "Wrong char in typecode",
     {kMismatchNotice, kCommBox},
     true,
     false},
    {"TypecodeMismatchOtherAnswer",
     2,
     UploadKind::Plain,
     {Fault::typecodeReply("QV1211"), Fault::wrongAnswer(Step::FinishReply, 'G')},
     {},
     "Wrong char - F expected",
     {},
     true,
     false},
    {"TypecodeMismatchNoAnswer",
     2,
     UploadKind::Plain,
     {Fault::typecodeReply("QV1211"), Fault::silence(Step::FinishReply)},
     {},
     "Error -  Unknown error",
     {},
     true,
     false},
    {"ClosingNoAnswer",
     2,
     UploadKind::Plain,
     {Fault::silence(Step::FinishReply)},
     {},
     "Error -  Unknown error",
     {},
     true,
     false},
    {"ClosingWrongAnswer",
     2,
     UploadKind::Plain,
     {Fault::wrongAnswer(Step::FinishReply, 'G')},
     {},
     "Wrong char - F expected",
     {},
     true,
     false},
    {"WriteTestMismatch",
     2,
     UploadKind::Bootloader,
     {Fault::readBackDiffers(0x805)},
     {},
     "Bad verify 1 bad, 1023 good",
     {kTestStartNotice, kWriteTestFailedBox},
     false,
     false},
    {"IllegalAddressPlain",
     2,
     UploadKind::Plain,
     {},
     [](BlockUploadTest& t) { t.dlg.memory[0x100] = 0; },
     "Illegal address in Hex file",
     {kCommBox},
     false,
     false},
    {"IllegalAddressEssential",
     5,
     UploadKind::Essential,
     {},
     [](BlockUploadTest& t) { t.dlg.memory[0x3FF] = 0; },
     "Illegal address in Hex file",
     {kTestStartNotice, kTestPassedNotice, kEssentialWarning, kCommBox},
     false,
     false},
    {"VerifyMismatchPlain",
     2,
     UploadKind::Plain,
     {Fault::readBackDiffers(0x445)},
     {},
     "Bad verify 1 bad, 959 good",
     {kVerifyFailedBox},
     false,
     true},
    {"AbortNotAnswered",
     2,
     UploadKind::Plain,
     {Fault::readBackDiffers(0x445), Fault::silence(Step::AbortReply)},
     {},
     "Com error",
     {kVerifyFailedBox, kSerialBox},
     false,
     true},
    {"AbortWrongAnswer",
     2,
     UploadKind::Plain,
     {Fault::readBackDiffers(0x445), Fault::wrongAnswer(Step::AbortReply, 'Y')},
     {},
     "Wrong char - X expected",
     {kVerifyFailedBox},
     false,
     true,
     "Bad verify 1 bad, 959 good"},
    {"BlockSerialFailure",
     4,
     UploadKind::Plain,
     {Fault::silence(Step::WriteDone)},
     {},
     "Error -  Write Com error",
     {kSerialBox},
     false,
     false},
    {"BlockWriteTimeout",
     2,
     UploadKind::Plain,
     {},
     [](BlockUploadTest& t) { t.line.refuseWritesAfter(2 + 74 + 20); },
     "Error -  Write Com Write timeout",
     {kSerialBox},
     false,
     false},
    {"BlockProtocolFailurePlain",
     2,
     UploadKind::Plain,
     {Fault::wrongAnswer(Step::WriteDone, 'Z')},
     {},
     "Error -  Write Wrong reply 'Z' 0x5A for 'W'",
     {kCommBox},
     false,
     false},
    {"BlockProtocolFailureBootloaderNo",
     2,
     UploadKind::Bootloader,
     {Fault::wrongAnswer(Step::WriteDone, 'Z', 1, 0x000)},
     {},
     "Error -  Write Wrong reply 'Z' 0x5A for 'W'",
     {kTestStartNotice, kTestPassedNotice, kBootloaderWarning, kRetryQuestion},
     false,
     true},
    {"VerifyProtocolFailureEssentialNo",
     5,
     UploadKind::Essential,
     {Fault::wrongAnswer(Step::ReadEnd, '\n', 1, 0x440)},
     {},
     "Error -  Read Wrong reply '\n' 0x A for 'R'",
     {kTestStartNotice, kTestPassedNotice, kEssentialWarning, kRetryQuestion},
     false,
     true},
    {"WriteTestProtocolFailureNo",
     2,
     UploadKind::Bootloader,
     {Fault::wrongAnswer(Step::AddressAnswer, 'A', 1, 0x800)},
     {},
     "Error - Write test -  SendAddress Bad memory location err'A'",
     {kTestStartNotice, kRetryQuestion},
     false,
     true},
    {"WriteTestSerialFailure",
     2,
     UploadKind::Bootloader,
     {Fault::silence(Step::ReadEcho, 1, 0x800)},
     {},
     "Error - Write test -  Read Com error",
     {kTestStartNotice, kSerialBox},
     false,
     false},
    {"StopBeforeStart",
     2,
     UploadKind::Plain,
     {},
     [](BlockUploadTest& t) { t.dlg.stopRequested = 1; },
     "Stopped by user",
     {kStopBox},
     false,
     false},
};

INSTANTIATE_TEST_SUITE_P(Table, BlockUploadFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& param) {
                             return std::string(param.param.name);
                         });

TEST_F(BlockUploadTest, IllegalAddressIsFoundBeforeAnyBlockIsWritten) {
    sim::Instrument& device = prepare(2, UploadKind::Plain);
    dlg.memory[0x3C0] = 0x00;
    answerBoxes({kCommBox});
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, "Illegal address in Hex file");
    EXPECT_EQ(device.counters().blocksWritten, 0);
}

TEST_F(BlockUploadTest, DataAboveMemorySizeIsReadBackButNotWritten) {
    prepare(4, UploadKind::Plain);  // memorySize 0x2000
    fillImage(0x2400, 0x2440);
    answerBoxes({kVerifyFailedBox});
    dlg.BlockUpload();
    const auto statuses = host.statuses();
    EXPECT_FALSE(contains(statuses, "Writing 64 bytes @ 2400h"));
    EXPECT_TRUE(contains(statuses, "Verifying 64 bytes @ 2400h"));
    EXPECT_EQ(dlg.statusText.rfind("Bad verify ", 0), 0u) << dlg.statusText;
    EXPECT_EQ(sentByUpload().back(), 'x');
}

TEST_F(BlockUploadTest, OtherProcessorFamilyEndsTheUploadWithThePortClosed) {
    for (int family : {0, 3}) {
        SCOPED_TRACE(family);
        prepare(2, UploadKind::Plain);
        dlg.processorFamily = family;
        dlg.BlockUpload();
        EXPECT_EQ(sentByUpload(), "");
        EXPECT_TRUE(host.boxes().empty());
        expectFinished();
    }
}

// --- the typecode read ------------------------------------------------------------

TEST_F(BlockUploadTest, FourCharactersAndTAtWireSpeedAreAComError) {
    line.setPacing(true);
    sim::Instrument& device = prepare(2, UploadKind::Plain, {Fault::typecodeReply("QV12")});
    answerBoxes({kSerialBox});
    const int64_t start = line.nowMs();
    dlg.BlockUpload();
    // 'T' is taken as the fifth character; the sixth and the 'T' are then
    // waited for, one read time-out each.
    EXPECT_EQ(dlg.statusText, "Com error");
    EXPECT_EQ(host.boxes(), std::vector<BoxRecord>{kSerialBox});
    EXPECT_GE(line.nowMs() - start, 20'000);
    EXPECT_FALSE(device.finishReceived());
}

TEST_F(BlockUploadTest, TMoreThanTenSecondsAfterTheFourthCharacterIsAMismatch) {
    sim::Instrument& device = prepare(2, UploadKind::Plain, {Fault::typecodeReply("QV12")});
    tap->delayReply('t', 4, 10'500'000);
    answerBoxes({kMismatchNotice, kCommBox});
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, "Wrong char in typecode");
    EXPECT_EQ(host.boxes(), (std::vector<BoxRecord>{kMismatchNotice, kCommBox}));
    EXPECT_TRUE(device.finishReceived());
    // The notice comes first, then the status, then the failure box.
    std::vector<std::string> tail;
    for (const auto& e : host.events()) {
        if (e.kind == ui::headless::Event::Kind::Box ||
            e.kind == ui::headless::Event::Kind::Status) {
            tail.push_back(e.text);
        }
    }
    tail.erase(tail.begin(), tail.end() - 3);
    EXPECT_EQ(tail, (std::vector<std::string>{kMismatchNotice.text, "Wrong char in typecode",
                                              kCommBox.text}));
}

TEST_F(BlockUploadTest, AStopDuringTheTypecodeReadStillComparesWhatArrived) {
    sim::Instrument& device = prepare(2, UploadKind::Plain);
    // Stop is pressed in the drain after the fifth character (drains from
    // here on: the entry, the typecode step, then one after each character).
    // The read of the sixth puts it in place before ComReadBytes gives -2;
    // that result is not looked at, so all six are compared and agree, and
    // the first block command is the one that sees the stop.
    host.when(ui::headless::Trigger::afterDrains(host.drainCount() + 2 + 5),
              ui::headless::Action::click(res::IDC_RUN));
    answerBoxes({kStopBox});
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, "Error -  SendAddress Stopped by user");
    EXPECT_EQ(host.boxes(), std::vector<BoxRecord>{kStopBox});
    EXPECT_EQ(sentByUpload(), "pt");
    EXPECT_FALSE(device.finishReceived());
    EXPECT_FALSE(device.abortReceived());
    expectFinished();
}

// --- the retry loops ---------------------------------------------------------------

TEST_F(BlockUploadTest, BootloaderVerificationThatFailsTwiceIsRepeatedUntilItPasses) {
    sim::Instrument& device = prepare(2, UploadKind::Bootloader);
    // A weak cell: the byte at 0x105 has lost a bit by the time the first two
    // verifications read it; programming again mends it each time.
    int corrupted = 0;
    tap->onByte = [&](uint8_t byte, int64_t) {
        if (byte == 'r' && dlg.statusText == "Verifying 64 bytes @  100h" && corrupted < 2) {
            ++corrupted;
            device.preload(0x105, {static_cast<uint8_t>(hostMemory[0x105] ^ 0x01)});
        }
    };
    answerBoxes({kTestStartNotice, kTestPassedNotice, kBootloaderWarning, kBootloaderVerifyNotice,
                 kBootloaderVerifyNotice});
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, kSuccess);
    EXPECT_EQ(host.boxes(),
              (std::vector<BoxRecord>{kTestStartNotice, kTestPassedNotice, kBootloaderWarning,
                                      kBootloaderVerifyNotice, kBootloaderVerifyNotice}));
    // Fourteen blocks of data below 1024 (one blank), verified from 64 on.
    EXPECT_EQ(countOf(host.statuses(), "Bad verify 1 bad, 895 good"), 2);
    EXPECT_EQ(countOf(host.statuses(), "Writing 64 bytes @    0h"), 3);
    EXPECT_EQ(device.counters().blocksWritten, 16 + 3 * 15);
    EXPECT_FALSE(device.abortReceived());
    EXPECT_EQ(device.memory(), sim::expectedDeviceMemory(hostMemory, device.config().device,
                                                         UploadKind::Bootloader));
}

TEST_F(BlockUploadTest, EssentialVerificationFailureProgramsAgain) {
    sim::Instrument& device = prepare(5, UploadKind::Essential, {Fault::readBackDiffers(0x445)});
    answerBoxes({kTestStartNotice, kTestPassedNotice, kEssentialWarning, kEssentialVerifyNotice});
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, kSuccess);
    EXPECT_EQ(host.boxes().back(), kEssentialVerifyNotice);
    EXPECT_FALSE(device.abortReceived());
}

TEST_F(BlockUploadTest, ProtocolFailureWhileProgrammingAnsweredYesRunsTheWriteTestAgain) {
    sim::Instrument& device =
        prepare(2, UploadKind::Bootloader, {Fault::wrongAnswer(Step::WriteDone, 'Z', 1, 0x000)});
    host.answerNextBox(ui::Answer::Ok);
    host.answerNextBox(ui::Answer::Ok);
    host.answerNextBox(ui::Answer::Ok);
    host.answerNextBox(ui::Answer::Yes);
    host.answerNextBox(ui::Answer::Ok);
    host.answerNextBox(ui::Answer::Ok);
    host.answerNextBox(ui::Answer::Ok);
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, kSuccess);
    EXPECT_EQ(host.boxes(),
              (std::vector<BoxRecord>{kTestStartNotice, kTestPassedNotice, kBootloaderWarning,
                                      kRetryQuestion, kTestStartNotice, kTestPassedNotice,
                                      kBootloaderWarning}));
    // From its first block, and passing: its counts started from 0 again.
    EXPECT_EQ(countOf(host.statuses(), "TestWrite 64 bytes @  800h"), 2);
    EXPECT_FALSE(contains(host.statuses(), "Bad verify 0 bad, 2048 good"));
    EXPECT_FALSE(device.abortReceived());
    EXPECT_EQ(device.memory(), sim::expectedDeviceMemory(hostMemory, device.config().device,
                                                         UploadKind::Bootloader));
}

// --- stop ------------------------------------------------------------------------------

struct StopCase {
    const char* name;
    UploadKind kind;
    uint8_t atByte;           // Stop is pressed when the host sends this byte...
    const char* whileStatus;  // ...while the status reads this (nullptr: any)
    std::string status;
    std::vector<BoxRecord> boxes;
    std::vector<Fault> faults = {};
};

class BlockUploadStopTest : public BlockUploadTest,
                            public ::testing::WithParamInterface<StopCase> {};

TEST_P(BlockUploadStopTest, ShowsTheStopOfTheStepThatNoticedItAndSendsNoX) {
    const StopCase& c = GetParam();
    sim::Instrument& device = prepare(2, c.kind, c.faults);
    bool pressed = false;
    tap->onByte = [&](uint8_t byte, int64_t) {
        if (!pressed && byte == c.atByte &&
            (c.whileStatus == nullptr || dlg.statusText == c.whileStatus)) {
            pressed = true;
            requestStop();
        }
    };
    answerBoxes(c.boxes);
    dlg.BlockUpload();
    EXPECT_TRUE(pressed);
    EXPECT_EQ(dlg.statusText, c.status);
    EXPECT_EQ(host.boxes(), c.boxes);
    EXPECT_FALSE(device.abortReceived());
    EXPECT_FALSE(device.finishReceived());
    expectFinished();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Phases, BlockUploadStopTest, ::testing::Values(
    StopCase{"StartHandshake",  UploadKind::Plain,      'p', nullptr,
             "Stopped by user", {kStopBox}},
    // A press while 't' goes out is first seen after the typecode and 'T'
    // have been read: before 'f' on a mismatch, else by the first block.
    StopCase{"TypecodeMismatch", UploadKind::Plain,     't', nullptr,
             "Stopped by user", {kStopBox}, {Fault::typecodeReply("QV1211")}},
    StopCase{"TypecodeAgrees",  UploadKind::Plain,      't', nullptr,
             "Error -  SendAddress Stopped by user", {kStopBox}},
    StopCase{"WriteTest",       UploadKind::Bootloader, 'a', "TestWrite 64 bytes @  840h",
             "Error - Write test -  SendAddress Stopped by user", {kTestStartNotice, kStopBox}},
    StopCase{"WriteTestRead",   UploadKind::Bootloader, 'r', "TestVerify 64 bytes @  800h",
             "Error - Write test -  Read Stopped by user", {kTestStartNotice, kStopBox}},
    StopCase{"Programming",     UploadKind::Plain,      'b', "Writing 64 bytes @  440h",
             "Error -  Erase Stopped by user", {kStopBox}},
    StopCase{"Verification",    UploadKind::Plain,      'r', "Verifying 64 bytes @  480h",
             "Error -  Read Stopped by user", {kStopBox}}),
    [](const ::testing::TestParamInfo<StopCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(BlockUploadTest, StopBeforeTheClosingCommandIsTheSequencesOwnStop) {
    sim::Instrument& device = prepare(2, UploadKind::Plain);
    host.when(ui::headless::Trigger::whenStatus(kSuccess),
              ui::headless::Action::click(res::IDC_RUN));
    answerBoxes({kStopBox});
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, "Stopped by user");
    EXPECT_EQ(host.boxes(), std::vector<BoxRecord>{kStopBox});
    EXPECT_FALSE(device.finishReceived());
    EXPECT_FALSE(device.abortReceived());
    expectFinished();
}

// --- the keep-alive ------------------------------------------------------------------

class KeepAliveTest : public BlockUploadTest {
  protected:
    // Records, for every '?' sent, the box that was open and when it was sent.
    void watchQueries() {
        // Block data never goes out while a box is open: a '?' then is the
        // keep-alive. The instrument counts every '?' it took as a command.
        tap->onByte = [this](uint8_t byte, int64_t atUs) {
            if (byte == '?' && host.boxDepth() > 0) {
                queriesIn.push_back(host.boxes().back().text);
                queryBox.push_back(host.boxes().size() - 1);
                queryAtMs.push_back(atUs / 1000);
            }
        };
    }
    // The '?' sent while box number `index` was open, as milliseconds after
    // it opened.
    std::vector<int64_t> queryTimesIn(size_t index) const {
        std::vector<int64_t> opened;
        for (const auto& e : host.events()) {
            if (e.kind == ui::headless::Event::Kind::Box) {
                opened.push_back(e.atMs);
            }
        }
        std::vector<int64_t> out;
        for (size_t i = 0; i < queryBox.size(); ++i) {
            if (queryBox[i] == index) {
                out.push_back(queryAtMs[i] - opened.at(index));
            }
        }
        return out;
    }
    std::vector<std::string> queriesIn;
    std::vector<size_t> queryBox;
    std::vector<int64_t> queryAtMs;
};

TEST_F(KeepAliveTest, TicksWhileTheNoticesOfAFrontPanelUploadAreOpen) {
    sim::Instrument& device = prepare(5, UploadKind::Essential);
    watchQueries();
    answerBoxes({kTestStartNotice, kTestPassedNotice, kEssentialWarning}, 1000);
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, kSuccess);
    // 1000 ms each: ticks at 300, 600 and 900 after each box opened.
    ASSERT_EQ(host.boxes().size(), 3u);
    for (size_t box = 0; box < 3; ++box) {
        SCOPED_TRACE(box);
        EXPECT_EQ(queryTimesIn(box), (std::vector<int64_t>{300, 600, 900}));
    }
    EXPECT_EQ(queriesIn.size(), 9u);
    EXPECT_EQ(device.counters().keepAlives, 9);
    expectFinished();
}

struct KeepAliveBoxCase {
    const char* name;
    UploadKind kind;
    std::vector<Fault> faults;
    std::function<void(BlockUploadTest&)> setUp;
    std::vector<std::pair<BoxRecord, size_t>> boxes;  // each box, and the '?' sent while open
};

class KeepAliveBoxTest : public KeepAliveTest,
                         public ::testing::WithParamInterface<KeepAliveBoxCase> {};

TEST_P(KeepAliveBoxTest, RunsOnlyAroundTheNoticesAndTheRetryQuestion) {
    const KeepAliveBoxCase& c = GetParam();
    prepare(5, c.kind, c.faults);
    if (c.setUp) {
        c.setUp(*this);
    }
    watchQueries();
    std::vector<BoxRecord> boxes;
    size_t total = 0;
    for (const auto& [box, queries] : c.boxes) {
        boxes.push_back(box);
        total += queries;
    }
    // 700 ms each: two ticks where the keep-alive runs, none elsewhere.
    answerBoxes(boxes, 700);
    dlg.BlockUpload();
    ASSERT_EQ(host.boxes(), boxes);
    for (size_t i = 0; i < c.boxes.size(); ++i) {
        SCOPED_TRACE(c.boxes[i].first.text);
        EXPECT_EQ(queryTimesIn(i).size(), c.boxes[i].second);
    }
    EXPECT_EQ(queriesIn.size(), total);
    EXPECT_EQ(instrument->counters().keepAlives, static_cast<int>(total));
    expectFinished();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Boxes, KeepAliveBoxTest, ::testing::Values(
    KeepAliveBoxCase{"BootloaderNotices", UploadKind::Bootloader, {}, {},
        {{kTestStartNotice, 2}, {kTestPassedNotice, 2}, {kBootloaderWarning, 2}}},
    KeepAliveBoxCase{"VerificationNotice", UploadKind::Essential, {Fault::readBackDiffers(0x445)}, {},
        {{kTestStartNotice, 2}, {kTestPassedNotice, 2}, {kEssentialWarning, 2}, {kEssentialVerifyNotice, 2}}},
    KeepAliveBoxCase{"RetryQuestion", UploadKind::Essential, {Fault::wrongAnswer(Step::WriteDone, 'Z', 1, 0x400)}, {},
        {{kTestStartNotice, 2}, {kTestPassedNotice, 2}, {kEssentialWarning, 2}, {kRetryQuestion, 2}}},
    KeepAliveBoxCase{"WriteTestFailedBox", UploadKind::Essential, {Fault::readBackDiffers(0x1005)}, {},
        {{kTestStartNotice, 2}, {kWriteTestFailedBox, 0}}},
    KeepAliveBoxCase{"IllegalAddressBox", UploadKind::Essential, {},
        [](BlockUploadTest& bench) { bench.dlg.memory[0x3FF] = 0; },
        {{kTestStartNotice, 2}, {kTestPassedNotice, 2}, {kEssentialWarning, 2}, {kCommBox, 0}}},
    KeepAliveBoxCase{"TypecodeMismatchNotice", UploadKind::Plain, {Fault::typecodeReply("JT2303")}, {},
        {{kMismatchNotice, 0}, {kCommBox, 0}}},
    KeepAliveBoxCase{"PlainVerifyFailedBox", UploadKind::Plain, {Fault::readBackDiffers(0x445)}, {},
        {{kVerifyFailedBox, 0}}},
    KeepAliveBoxCase{"StopBox", UploadKind::Plain, {},
        [](BlockUploadTest& bench) { bench.dlg.stopRequested = 1; },
        {{kStopBox, 0}}},
    KeepAliveBoxCase{"SerialFailureBox", UploadKind::Plain, {Fault::silence(Step::StartReply)}, {},
        {{kSerialBox, 0}}}),
    [](const ::testing::TestParamInfo<KeepAliveBoxCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(KeepAliveTest, NoTicksForADeviceWithoutFrontPanel) {
    sim::Instrument& device = prepare(2, UploadKind::Bootloader);
    watchQueries();
    answerBoxes({kTestStartNotice, kTestPassedNotice, kBootloaderWarning}, 1000);
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, kSuccess);
    EXPECT_TRUE(queriesIn.empty());
    EXPECT_EQ(device.counters().keepAlives, 0);
}

TEST_F(KeepAliveTest, ASilentFrontPanelDoesNotHoldTheBoxOpen) {
    prepare(5, UploadKind::Essential, {Fault::silence(Step::KeepAlive)});
    answerBoxes({kTestStartNotice, kSerialBox}, 1000);
    dlg.BlockUpload();
    const auto& events = host.events();
    ASSERT_GE(events.size(), 2u);
    auto box = std::find_if(events.begin(), events.end(),
                            [](const auto& e) { return e.kind == ui::headless::Event::Kind::Box; });
    ASSERT_NE(box, events.end());
    const auto next = box + 1;
    ASSERT_NE(next, events.end());
    // Held for 1000 ms; the last exchange under way waits at most 250 ms more.
    EXPECT_LE(next->atMs - box->atMs, 1000 + 250 + 1);
    // The device stays silent: the write test then fails on the line.
    EXPECT_EQ(dlg.statusText, "Error - Write test -  SendAddress Com error");
    expectFinished();
}

TEST_F(KeepAliveTest, ALateAnswerIsNotTakenForTheNextEcho) {
    prepare(5, UploadKind::Essential);
    // The answer to '?' comes after the exchange stopped waiting for it, but
    // before the box is closed.
    tap->delayReply('?', 0, 255'000);
    host.answerNextBox(ui::Answer::Ok, 560);
    host.answerNextBox(ui::Answer::Ok);
    host.answerNextBox(ui::Answer::Ok);
    dlg.BlockUpload();
    EXPECT_EQ(dlg.statusText, kSuccess);
}

}  // namespace

namespace {

TEST_F(KeepAliveTest, OnlyTicksOfTheKeepAliveTimerSendAQuery) {
    prepare(5, UploadKind::Essential);
    dlg.StartKeepAlive();
    EXPECT_EQ(dlg.keepAliveTimer, 1u);
    EXPECT_TRUE(host.timerRunning(1));
    dlg.OnTimer(2);  // some other timer of the window
    EXPECT_EQ(sentByUpload(), "");
    dlg.OnTimer(1);
    EXPECT_EQ(sentByUpload(), "?");
    dlg.StopKeepAlive();
    EXPECT_EQ(dlg.keepAliveTimer, 0u);
    EXPECT_FALSE(host.timerRunning(1));
    dlg.OnTimer(1);  // a tick still queued when the timer was stopped
    EXPECT_EQ(sentByUpload(), "?");
    dlg.FinishUpload();
}

TEST_F(KeepAliveTest, ATickWhileAQueryWaitsForItsAnswerIsSkipped) {
    prepare(5, UploadKind::Essential);
    dlg.StartKeepAlive();
    ASSERT_NE(dlg.keepAliveTimer, 0u);
    // A further tick arrives while the first '?' is on its way.
    int nested = 0;
    tap->onByte = [&](uint8_t byte, int64_t) {
        if (byte == '?' && nested++ == 0) {
            dlg.OnTimer(dlg.keepAliveTimer);
        }
    };
    dlg.OnTimer(dlg.keepAliveTimer);
    dlg.StopKeepAlive();
    EXPECT_EQ(sentByUpload(), "?");
    EXPECT_EQ(dlg.keepAliveTimer, 0u);
    EXPECT_FALSE(host.timerRunning(1));
    dlg.FinishUpload();
}

}  // namespace

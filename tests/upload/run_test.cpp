// RUN end to end inside the process: the window on the headless backend, the
// simulated line in virtual time and the simulated instrument.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/profile_store.h"
#include "app/tesmar_app.h"
#include "serial/scripted_peer.h"
#include "sim/samples.h"
#include "tests/upload/run_bench.h"

namespace {

using runtest::RunBench;
using sim::Fault;
using sim::Step;
using ui::Answer;
using ui::headless::Action;
using ui::headless::Event;
using ui::headless::Trigger;

constexpr Answer kYes = Answer::Yes;
constexpr Answer kOk = Answer::Ok;

// ---------------------------------------------------------------------------
// The query upload.

// A small file of its own and the simulator's sample file for row 1.
void expectQueryUploadSucceeds(const std::vector<std::string>& lines) {
    RunBench b;
    auto& device = b.useDevice(sim::Config::forRow(1));
    b.load(lines);
    ASSERT_EQ(b.dlg.lineCount, static_cast<int>(lines.size()));
    ASSERT_TRUE(b.runEnabled());

    b.run();

    EXPECT_EQ(b.status(), runtest::kSuccess);
    EXPECT_EQ(device.queryWords(), sim::expectedQueryWords(lines));
    EXPECT_FALSE(device.queryWords().empty());
    EXPECT_EQ(device.counters().endRecords, 1);
    EXPECT_EQ(device.counters().unexpectedBytes, 0) << device.transcriptText();
    // Only the confirmation, with its buttons and icon.
    const auto boxes = b.host.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, runtest::kConfirmText);
    EXPECT_EQ(boxes[0].caption, "tesmar");
    EXPECT_EQ(boxes[0].buttons, ui::Buttons::YesNo);
    EXPECT_EQ(boxes[0].icon, ui::Icon::Question);
    // The progress, each record shown as it is sent.
    std::vector<std::string> expected = {"Waiting for Query from PIC", "PIC query received",
                                         "P message sent", "PIC ready for Programming"};
    expected.insert(expected.end(), lines.begin(), lines.end());
    expected.push_back(runtest::kSuccess);
    EXPECT_EQ(b.host.statuses(), expected);
    b.expectUploadEnded();
    EXPECT_EQ(b.line.currentSettings().baudRate, 115200u);
}

TEST(QueryUpload, SucceedsAndTheDeviceHoldsTheFilesWords) {
    {
        SCOPED_TRACE("a small file");
        expectQueryUploadSucceeds(runtest::queryFirmware());
    }
    {
        SCOPED_TRACE("the sample file of row 1");
        expectQueryUploadSucceeds(sim::sampleFirmware(1, false));
    }
}

TEST(QueryUpload, TheButtonReadsStopWhileTheUploadRuns) {
    RunBench b;
    b.useDevice(sim::Config::forRow(1));
    b.load(runtest::queryFirmware());
    std::optional<std::string> caption;
    std::optional<bool> loadEnabled;
    bool reloadEnabled = true;
    // Watch the window from inside a drain of the upload.
    struct Watcher : serial::SimPeer {
        std::function<void()> onByte;
        serial::SimPeer* inner;
        void onOpen(serial::SimLink& l, int64_t t) override { inner->onOpen(l, t); }
        void onHostByte(serial::SimLink& l, uint8_t byte, int64_t t) override {
            if (onByte) {
                onByte();
                onByte = nullptr;
            }
            inner->onHostByte(l, byte, t);
        }
        void onClose(int64_t t) override { inner->onClose(t); }
    } watcher;
    watcher.inner = b.device.get();
    watcher.onByte = [&] {
        caption = b.runCaption();
        loadEnabled = b.host.isControlEnabled(res::IDC_LOAD_HEX);
        reloadEnabled = b.host.isControlEnabled(res::IDC_RELOAD_HEX);
    };
    b.usePeer(watcher);
    b.run();
    EXPECT_EQ(caption, "Stop");
    EXPECT_EQ(loadEnabled, false);
    EXPECT_FALSE(reloadEnabled);
    EXPECT_EQ(b.status(), runtest::kSuccess);
    // Reload Hex brings RUN back after the upload.
    EXPECT_TRUE(b.host.isControlEnabled(res::IDC_RELOAD_HEX));
    b.host.perform(Action::click(res::IDC_RELOAD_HEX));
    EXPECT_TRUE(b.runEnabled());
}

// ---------------------------------------------------------------------------
// Every outcome of RUN that ends with the reset, produced by a fault.

struct OutcomeCase {
    const char* name;
    std::function<void(RunBench&)> arrange;  // device, file and faults
    std::string status;
    std::optional<std::string> box;
    bool boxFirst = false;  // box, port closed, then the status
};

void queryDevice(RunBench& b, std::vector<Fault> faults = {},
                 std::vector<std::string> lines = runtest::queryFirmware()) {
    auto config = sim::Config::forRow(1);
    config.faults = std::move(faults);
    b.useDevice(config);
    b.load(lines);
}

std::vector<std::string> withExtra(std::vector<std::string> lines, size_t at,
                                   const std::string& extra) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), extra);
    return lines;
}

const OutcomeCase kOutcomeCases[] = {
    {"StoppedDuringTheTransfer",
     [](RunBench& b) {
         queryDevice(b);
         b.host.when(Trigger::whenStatus(runtest::queryFirmware()[1]), Action::click(res::IDC_RUN));
     },
     "Stopped", std::nullopt},
    {"ComErrorWhenTheDeviceIsSilentAfterP",
     [](RunBench& b) { queryDevice(b, {Fault::silence(Step::StartReply)}); }, "Com error",
     "Com port error"},
    {"ComErrorWhenTheLineDropsDuringTheAnnouncementWait",
     [](RunBench& b) { queryDevice(b, {Fault::hangUp(Step::Announcement, 1, -1, 0)}); },
     "Com error", "Com port error"},
    {"WriteTimeoutWhenTheLineTakesNoMoreBytes",
     [](RunBench& b) {
         queryDevice(b);
         b.line.refuseWritesAfter(3);  // 'P', ':' and one count character
     },
     "Com Write timeout", "Com write timed out"},
    {"DataErrorForAnOddByteCountBeforeAnythingIsSent",
     [](RunBench& b) {
         queryDevice(
             b, {},
             withExtra(runtest::queryFirmware(), 1, runtest::hexRecord(0, 0x200, {1, 2, 3})));
     },
     "Data error", "Data error"},
    {"DataErrorForARecordOfTooManyWords",
     [](RunBench& b) { queryDevice(b, {}, withExtra(runtest::queryFirmware(), 2, ":FF000001")); },
     "Data error", "Data error"},
    {"ChecksumErrorWhenTheDeviceAnswersEForF",
     [](RunBench& b) { queryDevice(b, {Fault::recordChecksumError(2)}); }, "Checksum error",
     "Checksum error"},
    {"DeviceDataErrorWhenTheDeviceAnswersEForL",
     [](RunBench& b) { queryDevice(b, {Fault::recordEndError(3)}); }, "PIC reports data error",
     "PIC reports data error"},
    {"DeviceDataErrorWhenTheDeviceAnswersEForS",
     [](RunBench& b) {
         queryDevice(b, {Fault::recordEndError(static_cast<int>(runtest::queryFirmware().size()))});
     },
     "PIC reports data error", "PIC reports data error"},
    {"WrongQueryWhenTheDeviceAnnouncesQForQ",
     [](RunBench& b) { queryDevice(b, {Fault::wrongAnswer(Step::Announcement, 'Q')}); },
     "Wrong PIC query received", "Device connected is incompatible\n with Hex file loaded"},
    {"WrongQueryWhenABlockDeviceAnnouncesLowerQ",
     [](RunBench& b) {
         auto config = sim::Config::forRow(2);
         config.faults = {Fault::wrongAnswer(Step::Announcement, 'q')};
         b.useDevice(config);
         b.load(runtest::applicationFirmware("QV1210"));
     },
     "Wrong PIC query received", "Device connected is incompatible\n with Hex file loaded"},
    {"WrongVicariousReply",
     [](RunBench& b) {
         auto config = sim::Config::forRow(5, sim::Mode::ThroughOutputProcessor);
         config.faults = {Fault::wrongAnswer(Step::Announcement, 'Q')};
         b.useDevice(config);
         // Through the output processor: yes; a bootloader: yes.
         b.load(runtest::bootloaderImage("JT2302"), {kYes, kYes});
     },
     "Wrong Vicarious query 'Q' 0x51 not '~'", std::nullopt},
    {"ComErrorWhenTheOutputProcessorIsSilent",
     [](RunBench& b) {
         auto config = sim::Config::forRow(5, sim::Mode::ThroughOutputProcessor);
         config.faults = {Fault::silence(Step::Announcement)};
         b.useDevice(config);
         b.load(runtest::applicationFirmware("JT2302"), {kYes});
     },
     "Com error", "Com port error"},
    {"ComErrorWhenNoTildeComesForABootloader",
     [](RunBench& b) {
         // The device runs its application bootloader: 'Q' is ignored, then
         // 10 s of silence.
         b.useDevice(sim::Config::forRow(2, sim::Mode::Application));
         b.load(runtest::bootloaderImage("QV1210"), {kYes});
     },
     "Com error", "Com port error"},
    {"IncompleteWhenTheFileHasNoEndRecord",
     [](RunBench& b) {
         queryDevice(b, {},
                     runtest::HexBuilder().fill(0, 0x20).typecode("QV1200", 0xFF4).records());
     },
     "ERROR Programming incomplete !", "Programming incomplete", true},
    {"IncompleteWhenTheDeviceEndsTheLastRecordWithL",
     [](RunBench& b) {
         Fault lastRecordEndsWithL = Fault::wrongAnswer(Step::RecordEnd, 'l');
         lastRecordEndsWithL.record = static_cast<int>(runtest::queryFirmware().size());
         queryDevice(b, {lastRecordEndsWithL});
     },
     "ERROR Programming incomplete !", "Programming incomplete", true},
    {"Success", [](RunBench& b) { queryDevice(b); }, runtest::kSuccess, std::nullopt},
};

class RunOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(RunOutcome, ShowsItsStatusAndBoxInOrderAndResetsTheWindow) {
    const OutcomeCase& c = GetParam();
    RunBench b;
    c.arrange(b);
    ASSERT_GT(b.dlg.lineCount, 0);
    b.run(kYes, c.box ? std::vector<Answer>{kOk} : std::vector<Answer>{});

    EXPECT_EQ(b.status(), c.status);
    const auto later = b.laterBoxes();
    if (c.box) {
        ASSERT_EQ(later.size(), 1u) << (later.empty() ? "" : later.back());
        EXPECT_EQ(later[0], *c.box);
        const auto box = b.host.boxes().back();
        EXPECT_EQ(box.buttons, ui::Buttons::Ok);
        EXPECT_EQ(box.icon, ui::Icon::Exclamation);
        EXPECT_EQ(box.caption, "tesmar");
    } else {
        EXPECT_TRUE(later.empty()) << later.front();
    }

    const int statusAt = b.lastEvent(Event::Kind::Status, c.status);
    ASSERT_GE(statusAt, 0);
    ASSERT_TRUE(b.probe.eventsAtClose.has_value());
    const auto closedAt = static_cast<int>(*b.probe.eventsAtClose);
    if (c.box) {
        const int boxAt = b.lastEvent(Event::Kind::Box, *c.box);
        if (c.boxFirst) {
            EXPECT_LT(boxAt, statusAt);
            EXPECT_GT(closedAt, boxAt);     // closed once the box was shut
            EXPECT_LE(closedAt, statusAt);  // and before the status
        } else {
            EXPECT_LT(statusAt, boxAt);
            EXPECT_GT(closedAt, boxAt);  // the reset after the box
        }
    } else {
        EXPECT_GT(closedAt, statusAt);
    }
    b.expectUploadEnded();
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RunOutcome, ::testing::ValuesIn(kOutcomeCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(RunOutcomeDetail, AnOddByteCountStopsTheUploadBeforePIsSent) {
    RunBench b;
    queryDevice(
        b, {},
        withExtra(runtest::queryFirmware(), 3, runtest::hexRecord(0, 0x300, {1, 2, 3, 4, 5})));
    b.run(kYes, {kOk});
    EXPECT_EQ(b.status(), "Data error");
    EXPECT_EQ(b.wire(), "");
    EXPECT_TRUE(b.device->queryWords().empty());
}

TEST(RunOutcomeDetail, ARecordOfTooManyWordsSendsOnlyItsColon) {
    RunBench b;
    const auto lines = withExtra(runtest::queryFirmware(), 2, ":FF000001");
    queryDevice(b, {}, lines);
    b.run(kYes, {kOk});
    EXPECT_EQ(b.status(), "Data error");
    EXPECT_EQ(b.wire(), "P" + lines[0] + lines[1] + ":");
}

TEST(RunOutcomeDetail, AWrongQueryWritesNothing) {
    RunBench b;
    queryDevice(b, {Fault::wrongAnswer(Step::Announcement, 'Q')});
    b.run(kYes, {kOk});
    EXPECT_EQ(b.wire(), "");
}

// ---------------------------------------------------------------------------
// The two outcomes that do not end with the reset.

TEST(RunRefused, WithNoLinesLoadedTheUploadIsRefusedAfterTheConfirmation) {
    RunBench b;
    b.useDevice(sim::Config::forRow(1));
    b.load(runtest::queryFirmware());
    // A bad file after a good one leaves RUN enabled with nothing loaded.
    auto bad = runtest::queryFirmware();
    bad[0].back() = bad[0].back() == '0' ? '1' : '0';
    b.load(bad, {kOk}, "bad.hex");
    ASSERT_EQ(b.dlg.lineCount, 0);
    ASSERT_TRUE(b.runEnabled());
    const std::string statusBefore = b.status();

    b.run(kYes, {kOk});

    ASSERT_EQ(b.host.boxes().size(), 2u);
    EXPECT_EQ(b.host.boxes()[0].text, runtest::kConfirmText);
    EXPECT_EQ(b.host.boxes()[1].text, "Too few lines in Hex file\n\rMaybe file needs reloading");
    EXPECT_EQ(b.host.boxes()[1].buttons, ui::Buttons::Ok);
    EXPECT_EQ(b.host.boxes()[1].icon, ui::Icon::Exclamation);
    EXPECT_FALSE(b.runEnabled());
    EXPECT_FALSE(b.host.isControlEnabled(res::IDC_INFO));
    EXPECT_EQ(b.host.title(), "Tesmar");
    EXPECT_EQ(b.runCaption(), "RUN");
    EXPECT_EQ(b.status(), statusBefore);
    EXPECT_EQ(b.line.openCount(), 0);
    EXPECT_EQ(b.dlg.uploadRunning, 0);
}

TEST(RunPortFailure, ShowsItsBoxAndKeepsTheLinesAndTheStatus) {
    RunBench b;
    b.useDevice(sim::Config::forRow(1));
    const auto lines = runtest::queryFirmware();
    b.load(lines);
    const std::string statusBefore = b.status();
    b.line.setPorts({"COM2"});  // COM1 has no device

    b.run(kYes, {kOk});

    EXPECT_EQ(b.laterBoxes(), std::vector<std::string>{"Couldn't open Com port"});
    EXPECT_EQ(b.runCaption(), "Run");
    EXPECT_FALSE(b.runEnabled());
    EXPECT_FALSE(b.host.isControlEnabled(res::IDC_INFO));
    EXPECT_EQ(b.host.title(), "Tesmar");
    EXPECT_EQ(b.dlg.uploadRunning, 0);
    EXPECT_EQ(b.dlg.lineCount, static_cast<int>(lines.size()));
    EXPECT_EQ(b.status(), statusBefore);
    EXPECT_TRUE(b.host.statuses().empty());
    EXPECT_TRUE(b.host.isControlEnabled(res::IDC_LOAD_HEX));
    EXPECT_TRUE(b.host.isControlEnabled(res::IDC_COM_PORT));
    EXPECT_TRUE(b.host.isControlEnabled(res::IDC_RELOAD_HEX));
    EXPECT_FALSE(b.line.isOpen());
    // Reload Hex enables RUN again, and the next upload goes through.
    b.line.setPorts({"COM1"});
    b.host.perform(Action::click(res::IDC_RELOAD_HEX));
    b.run();
    EXPECT_EQ(b.status(), runtest::kSuccess);
}

TEST(RunConfirmation, NoChangesNothing) {
    RunBench b;
    b.useDevice(sim::Config::forRow(1));
    b.load(runtest::queryFirmware());
    b.dlg.stopRequested = 1;
    const std::string statusBefore = b.status();

    b.run(Answer::No);

    EXPECT_EQ(b.host.boxes().size(), 1u);
    EXPECT_EQ(b.dlg.stopRequested, 1);
    EXPECT_EQ(b.status(), statusBefore);
    EXPECT_TRUE(b.host.statuses().empty());
    EXPECT_TRUE(b.runEnabled());
    EXPECT_EQ(b.runCaption(), "RUN");
    EXPECT_EQ(b.host.title(), "Tesmar: Storage Quindle - original with PIC16F877");
    EXPECT_EQ(b.line.openCount(), 0);
    EXPECT_GT(b.dlg.lineCount, 0);
    EXPECT_TRUE(b.host.isControlEnabled(res::IDC_LOAD_HEX));
}

// ---------------------------------------------------------------------------
// Waits.

TEST(RunWaits, TheQueryAnnouncementWaitsOnUntilStopIsPressed) {
    RunBench b;
    queryDevice(b, {Fault::silence(Step::Announcement)});
    constexpr int64_t kPressMs = 35'000;
    b.host.when(Trigger::atTimeMs(kPressMs), Action::click(res::IDC_RUN));
    b.run();
    EXPECT_EQ(b.status(), "Stopped");
    const int64_t stoppedAt = b.statusTimeMs("Stopped");
    EXPECT_GE(stoppedAt, kPressMs);
    EXPECT_LE(stoppedAt, kPressMs + 10'000);
    EXPECT_EQ(b.statusTimeMs("Com error"), -1);
    EXPECT_TRUE(b.laterBoxes().empty());
    EXPECT_EQ(b.wire(), "");
    b.expectUploadEnded();
}

TEST(RunWaits, ASilentDeviceAfterPGivesComErrorAfterTenSeconds) {
    RunBench b;
    queryDevice(b, {Fault::silence(Step::StartReply)});
    b.run(kYes, {kOk});
    ASSERT_EQ(b.wire(), "P");
    const int64_t sentMs = b.line.hostWrites().front().atUs / 1000;
    const int64_t errorMs = b.statusTimeMs("Com error");
    EXPECT_GE(errorMs - sentMs, 10'000);
    EXPECT_LE(errorMs - sentMs, 10'001);
}

// ---------------------------------------------------------------------------
// What goes on the wire for each kind of line: a record at word address 8192
// or below goes whole; above it only its first nine characters; every other
// line nothing.

struct WireCase {
    const char* name;
    std::vector<std::string> lines;
    std::function<std::string(const std::vector<std::string>&)> wire;
};

const std::vector<std::string> kFirmware = runtest::queryFirmware();
const std::string kTypecodeRecord = kFirmware[kFirmware.size() - 2];
const std::string kEof = runtest::endOfFile();
// A QV1200 file starts at address 0.
const std::string kFirst = runtest::hexRecord(0, 0, {0x01, 0x02, 0x03, 0x04});

std::vector<WireCase> wireCases() {
    const std::string at4000 = runtest::hexRecord(0, 0x4000, {0x12, 0x34});
    const std::string at4002 = runtest::hexRecord(0, 0x4002, {0x56, 0x17});
    const std::string upper0 = runtest::hexRecord(4, 0, {0x00, 0x00});
    const std::string upper1 = runtest::hexRecord(4, 0, {0x00, 0x01});
    const std::string low = runtest::hexRecord(0, 0x10, {0x21, 0x03});
    const std::string ignored = runtest::hexRecord(0, 0x20, {0x99, 0x09});
    // A count of 16 with only its checksum: the reader leaves it alone after a
    // non-zero upper address, and so must the transfer.
    const std::string truncated = ":10000000F0";
    // kFirst and the typecode record go whole in every case; the wire starts
    // with 'P'.
    const std::string start = "P" + kFirst + kTypecodeRecord;
    // The end record: ':', count, address and type; nothing of its checksum.
    const std::string kEofWire = ":00000001";
    return {
        {"RecordAtWord8192GoesWithItsDataAbove8192OnlyItsHeader",
         {kFirst, kTypecodeRecord, at4000, at4002, kEof},
         [=](const auto& l) { return start + l[2] + l[3].substr(0, 9) + kEofWire; }},
        {"ExtendedAddressRecordsAreNeverSentNorTheRecordsAboveTheFirst64K",
         {upper0, kFirst, kTypecodeRecord, upper1, ignored, truncated, upper0, low, kEof},
         [=](const auto& l) { return start + l[7] + kEofWire; }},
        {"TheEndRecordGoesAsItsNineCharacters",
         {kFirst, kTypecodeRecord, kEof},
         [=](const auto&) { return start + kEofWire; }},
        {"BlankLinesAndOtherTextAfterTheEndRecordChangeNothing",
         {kFirst, kTypecodeRecord, kEof, "", "", "; a comment", ":0000", ":000000", "   "},
         [=](const auto&) { return start + kEofWire; }},
        {"ShortRecordsAndOtherTypesArePassedOver",
         {":", ":00", ":0000000", kFirst, kTypecodeRecord, runtest::hexRecord(3, 0, {0, 0, 0, 0}),
          runtest::hexRecord(2, 0, {0x10, 0x00}), low, kEof},
         [=](const auto& l) { return start + l[7] + kEofWire; }},
        {"LowerCaseDigitsGoOutAsTheyStand",
         {kFirst, kTypecodeRecord, ":02001000abcd76", kEof},
         [=](const auto& l) { return start + l[2] + kEofWire; }},
    };
}

class RunWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(RunWire, SendsExactlyTheRecordsAndPiecesItShould) {
    const WireCase& c = GetParam();
    RunBench b;
    queryDevice(b, {}, c.lines);
    ASSERT_GT(b.dlg.lineCount, 0) << b.status();
    b.run();
    EXPECT_EQ(b.wire(), c.wire(c.lines));
    EXPECT_EQ(b.status(), runtest::kSuccess);
    EXPECT_EQ(b.device->counters().unexpectedBytes, 0) << b.device->transcriptText();
}

INSTANTIATE_TEST_SUITE_P(Lines, RunWire, ::testing::ValuesIn(wireCases()),
                         [](const auto& row) { return std::string(row.param.name); });

// Bytes that a wait does not expect are ignored: the announcement wait and the
// wait for 'p' go on past them.
TEST(RunWaits, BytesAWaitDoesNotExpectAreIgnored) {
    RunBench b;
    serial::ScriptedPeer peer;
    peer.sendOnOpen("xz~q", 1000);
    peer.answer('P', "a:np");  // then silence: ':' is never echoed
    b.usePeer(peer);
    b.load(runtest::queryFirmware());
    b.run(kYes, {kOk});
    const std::vector<std::string> expected = {
        "Waiting for Query from PIC", "PIC query received",        "P message sent",
        "PIC ready for Programming",  runtest::queryFirmware()[0], "Com error"};
    EXPECT_EQ(b.host.statuses(), expected);
    EXPECT_EQ(peer.received(), "P:");
    b.expectUploadEnded();
}

// ---------------------------------------------------------------------------
// Stop at each phase of RUN: "Stopped", no box, nothing sent after the press.

TEST(RunStop, AtTheBootloaderAnnouncementWait) {
    RunBench b;
    auto config = sim::Config::forRow(2, sim::Mode::Bootloader);
    config.faults = {Fault::silence(Step::Announcement)};
    b.useDevice(config);
    b.load(runtest::bootloaderImage("QV1210"), {kYes});
    b.host.when(Trigger::afterDrains(b.host.drainCount() + 1), Action::click(res::IDC_RUN));
    b.run();
    EXPECT_EQ(b.status(), "Stopped");
    EXPECT_TRUE(b.laterBoxes().empty());
    EXPECT_EQ(b.wire(), "");
    b.expectUploadEnded();
}

TEST(RunStop, DuringTheVicariousStart) {
    RunBench b;
    b.useDevice(sim::Config::forRow(5, sim::Mode::ThroughOutputProcessor));
    b.load(runtest::applicationFirmware("JT2302"), {kYes});
    ASSERT_EQ(b.dlg.throughOutputPic, 1);
    // The second drain is the one before 'r'.
    b.host.when(Trigger::afterDrains(b.host.drainCount() + 2), Action::click(res::IDC_RUN));
    b.run();
    EXPECT_EQ(b.status(), "Stopped");
    EXPECT_TRUE(b.laterBoxes().empty());
    EXPECT_EQ(b.wire(), "p");
    b.expectUploadEnded();
}

TEST(RunStop, DuringTheRecordTransfer) {
    RunBench b;
    const auto lines = runtest::queryFirmware();
    queryDevice(b, {}, lines);
    b.host.when(Trigger::whenStatus(lines[3]), Action::click(res::IDC_RUN));
    b.run();
    EXPECT_EQ(b.status(), "Stopped");
    EXPECT_TRUE(b.laterBoxes().empty());
    EXPECT_EQ(b.wire(), "P" + lines[0] + lines[1] + lines[2]);
    b.expectUploadEnded();
}

// ---------------------------------------------------------------------------
// The vicarious start: p, r, o, g for firmware and p, r, b, l for a
// bootloader image, then the block upload.

TEST(RunVicariousStart, FirmwareSendsProgAndTheBlockUploadFollows) {
    RunBench b;
    auto& device = b.useDevice(sim::Config::forRow(5, sim::Mode::ThroughOutputProcessor));
    b.load(runtest::applicationFirmware("JT2302"), {kYes});
    ASSERT_EQ(b.dlg.throughOutputPic, 1);
    b.run(kYes, {kOk, kOk, kOk});  // the test notices and the warning
    ASSERT_GE(b.wire().size(), 5u);
    EXPECT_EQ(b.wire().substr(0, 5), "progp");
    const auto statuses = b.host.statuses();
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[0], "Waiting for Query from PIC");
    EXPECT_EQ(statuses[1], "Program message sent");
    EXPECT_EQ(statuses[2], "PIC ready for Programming");
    EXPECT_EQ(b.status(), runtest::kSuccess);
    EXPECT_EQ(device.memory(), sim::expectedDeviceMemory(b.dlg.memory, device.config().device,
                                                         sim::UploadKind::Essential));
    b.expectUploadEnded();
}

TEST(RunVicariousStart, ABootloaderImageSendsPrblAndExpectsTilde) {
    RunBench b;
    auto& device = b.useDevice(sim::Config::forRow(5, sim::Mode::ThroughOutputProcessor));
    b.load(runtest::bootloaderImage("JT2302"), {kYes, kYes});
    ASSERT_EQ(b.dlg.isBootloader, 1);
    b.dlg.queryChar = 'Q';  // whatever it was, the bootloader start expects '~'
    b.run(kYes, {kOk, kOk, kOk});
    EXPECT_EQ(b.wire().substr(0, 5), "prblp");
    EXPECT_EQ(b.dlg.queryChar, '~');
    EXPECT_EQ(b.status(), runtest::kSuccess);
    EXPECT_EQ(device.memory(), sim::expectedDeviceMemory(b.dlg.memory, device.config().device,
                                                         sim::UploadKind::Bootloader));
    b.expectUploadEnded();
}

// ---------------------------------------------------------------------------
// The block roads through RUN, one per kind.

struct BlockRoad {
    const char* name;
    int row;
    sim::Mode mode;
    std::vector<std::string> lines;
    std::vector<Answer> loadAnswers;
    int notices;  // boxes of the block upload answered with OK
    sim::UploadKind kind;
    const char* firstBytes;
};

const BlockRoad kBlockRoads[] = {
    {"PlainAfterQ",
     2,
     sim::Mode::Application,
     runtest::applicationFirmware("QV1210"),
     {},
     0,
     sim::UploadKind::Plain,
     "pt"},
    {"PlainPic16AfterQ",
     4,
     sim::Mode::Application,
     runtest::applicationFirmware("JT2301"),
     {},
     0,
     sim::UploadKind::Plain,
     "pt"},
    {"BootloaderAfterTilde",
     2,
     sim::Mode::Bootloader,
     runtest::bootloaderImage("QV1210"),
     {kYes},
     3,
     sim::UploadKind::Bootloader,
     "pt"},
    {"ThroughTheOutputProcessor",
     5,
     sim::Mode::ThroughOutputProcessor,
     runtest::applicationFirmware("JT2302"),
     {kYes},
     3,
     sim::UploadKind::Essential,
     "progpt"},
};

class RunBlockRoad : public ::testing::TestWithParam<BlockRoad> {};

TEST_P(RunBlockRoad, HandsOverToTheBlockUploadWhichSucceeds) {
    const BlockRoad& c = GetParam();
    RunBench b;
    auto& device = b.useDevice(sim::Config::forRow(c.row, c.mode));
    b.load(c.lines, c.loadAnswers);
    ASSERT_GT(b.dlg.lineCount, 0) << b.status();
    b.run(kYes, std::vector<Answer>(static_cast<size_t>(c.notices), kOk));
    EXPECT_EQ(b.status(), runtest::kSuccess);
    EXPECT_EQ(b.laterBoxes().size(), static_cast<size_t>(c.notices));
    const std::string first = c.firstBytes;
    EXPECT_EQ(b.wire().substr(0, first.size()), first);
    EXPECT_EQ(device.memory(),
              sim::expectedDeviceMemory(b.dlg.memory, device.config().device, c.kind));
    EXPECT_TRUE(device.finishReceived());
    b.expectUploadEnded();
}

INSTANTIATE_TEST_SUITE_P(Kinds, RunBlockRoad, ::testing::ValuesIn(kBlockRoads),
                         [](const auto& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// Quit during an upload: the upload stops, then the window ends with OK and
// the application saves the settings.

TEST(RunQuit, QuitDuringAnUploadStopsItThenTheWindowEndsAndTheSettingsAreSaved) {
    serial::SimLine line;
    ui::headless::HeadlessHost host;
    std::vector<std::string> failures;
    host.setClock([&] { return line.nowMs(); }, [&](int64_t ms) { line.advanceToMs(ms); });
    host.setFailureHandler([&](const std::string& m) { failures.push_back(m); });
    ui::setApplicationName("tesmar");
    sim::Instrument device(sim::Config::forRow(1));
    line.attach(&device);

    const auto folder =
        std::filesystem::path(::testing::TempDir()) / ("tesmar_quit_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto settings = (folder / "tesmar.INI").string();
    const auto lines = runtest::queryFirmware();
    const auto hexPath = (folder / "quit.hex").string();
    {
        std::ofstream out(hexPath);
        for (const auto& l : lines) {
            out << l << "\n";
        }
        std::ofstream ini(settings);
        ini << "[Tesmar]\nComPort=1\nInPath=\nScriptPath=s.txt\nPICtype=3\n";
    }

    host.queueAction(Action::click(res::IDC_LOAD_HEX));
    host.answerNextFileDialog(hexPath);
    host.queueAction(Action::click(res::IDC_RUN));
    host.answerNextBox(kYes);
    host.when(Trigger::whenStatus(lines[2]), Action::click(res::IDOK));

    CTesmarApp app(host, line, settings);
    EXPECT_FALSE(app.InitInstance());

    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_EQ(host.result(), ui::DialogResult::Ok);
    // The stop handling ran before the window ended.
    const auto statuses = host.statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Stopped");
    EXPECT_FALSE(line.isOpen());
    EXPECT_EQ(line.writtenText(), "P" + lines[0] + lines[1]);
    EXPECT_EQ(host.boxes().size(), 1u);

    const app::ProfileStore store(settings);
    EXPECT_EQ(store.GetProfileString("Tesmar", "InPath", ""), hexPath);
    EXPECT_EQ(store.GetProfileInt("Tesmar", "ComPort", 0), 1);
    EXPECT_EQ(store.GetProfileInt("Tesmar", "PICtype", 0), 1);
    EXPECT_EQ(store.GetProfileString("Tesmar", "ScriptPath", ""), "s.txt");
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

}  // namespace

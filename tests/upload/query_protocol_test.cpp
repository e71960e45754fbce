#include "upload/query_protocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using upload::firstUnsendableDataRecord;
using upload::parseHexField;
using upload::RecordSelector;

TEST(ParseHexField, ReadsDigitsOfEitherCaseAndNeverPastTheLine) {
    struct Case {
        const char* line;
        size_t pos;
        size_t len;
        std::optional<int> value;
    };
    const Case cases[] = {
        {":10FF4000", 1, 2, 0x10},   {":10ff4000", 3, 4, 0xFF40},
        {":10Ff4000", 3, 4, 0xFF40}, {":1G", 1, 2, std::nullopt},  // not a digit
        {": 1", 1, 2, std::nullopt},                               // a blank is no digit
        {":-1", 1, 2, std::nullopt},                               // nor a sign
        {":1", 1, 2, std::nullopt},                                // runs past the end
        {":10", 3, 2, std::nullopt},                               // starts at the end
        {":10", 9, 2, std::nullopt},                               // starts past the end
        {":10", 1, 0, std::nullopt},                               // an empty field
        {":0000000100", 9, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " @" + std::to_string(c.pos));
        EXPECT_EQ(parseHexField(c.line, c.pos, c.len), c.value);
    }
}

TEST(RecordSelector, SendsDataAndEndRecordsWhileTheUpperAddressIsZero) {
    struct Case {
        const char* line;
        bool sent;
        uint32_t upperAfter;
    };
    // In order: one selector goes through the whole table.
    const Case cases[] = {
        {":0200000000FE", true, 0},
        {":00000001FF", true, 0},
        {"", false, 0},
        {"0200000000FE", false, 0},  // no colon
        {":", false, 0},
        {":00000", false, 0},           // fewer than seven characters
        {":000000", false, 0},          // seven
        {":0000000", false, 0},         // eight: no ninth character
        {":00000000", true, 0},         // nine: the type reads "00"
        {":0200000200FC", false, 0},    // type 02
        {":020000040001F9", false, 1},  // upper address 1: data records are left out
        {":0200000000FE", false, 1},
        {":10000000F0", false, 1},      // would be read past its end
        {":00000001FF", true, 1},       // the end record still goes
        {":020000040000FA", false, 0},  // back to the first 64 KB
        {":0200000000FE", true, 0},
        {":020000040030CA", false, 0x30},
        {":02000004", false, 0},  // no digits: upper address 0, as the reader takes it
        {":0200000000FE", true, 0},
        {":020000041", false, 1},  // fewer digits when the line ends sooner
    };
    RecordSelector selector;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(selector.sends(c.line), c.sent);
        EXPECT_EQ(selector.upperAddress(), c.upperAfter);
    }
}

TEST(FirstUnsendableDataRecord, FindsTheDataRecordsTheTransferCouldNotSendWhole) {
    const std::string ok = ":0400000001020304F2";
    const std::string eof = ":00000001FF";
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        int lineCount;
        int expected;
    };
    const Case cases[] = {
        {"all sendable", {ok, ok, eof}, 3, -1},
        {"odd count", {ok, ":03000000010203F7", eof}, 3, 1},
        {"odd count above word 8192 gets only its header", {ok, ":03400200010203B5", eof}, 3, -1},
        {"odd count at word 8192 carries data", {":03400000010203B7"}, 1, 0},
        {"too many words", {ok, ":1200000000", eof}, 3, 1},
        {"line too short for its words", {":0400000001020304"}, 1, 0},
        {"line too short for its checksum", {":04000000010203"}, 1, 0},
        {"count not hex", {":0G00000000"}, 1, 0},
        {"address not hex", {":0200G00000FE"}, 1, 0},
        {"left out after a non-zero upper address",
         {":020000040001F9", ":03000000010203F7"},
         2,
         -1},
        {"end record with a large count is no data record", {":FF000001"}, 1, -1},
        {"lines beyond lineCount are not part of the image", {ok, ":03000000010203F7"}, 1, -1},
        {"lineCount beyond the lines", {ok}, 5, -1},
        {"an empty image", {}, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(firstUnsendableDataRecord(c.lines, c.lineCount), c.expected);
    }
}

}  // namespace

#include "image/hex_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "image/firmware_image.h"

namespace {

using image::LineReadResult;
using Lines = std::vector<std::string>;

struct LinesCase {
    const char* name;
    std::string input;
    LineReadResult result;
    Lines lines;
};

class ReadLinesTable : public ::testing::TestWithParam<LinesCase> {};

TEST_P(ReadLinesTable, SplitsAndLimits) {
    std::istringstream in(GetParam().input);
    Lines lines;
    EXPECT_EQ(image::readHexLines(in, lines), GetParam().result);
    EXPECT_EQ(lines, GetParam().lines);
}

const std::string k43(43, 'x');
const std::string k44(44, 'x');

INSTANTIATE_TEST_SUITE_P(
    Inputs, ReadLinesTable,
    ::testing::Values(
        LinesCase{"Empty", "", LineReadResult::Ok, {}},
        LinesCase{"OneLineFeed", "\n", LineReadResult::Ok, {""}},
        LinesCase{"LineFeeds", "a\nb\n", LineReadResult::Ok, {"a", "b"}},
        LinesCase{"NoFinalTerminator", "a\nb", LineReadResult::Ok, {"a", "b"}},
        LinesCase{"CrLf", "a\r\nb\r\n", LineReadResult::Ok, {"a", "b"}},
        LinesCase{"CrLfWithoutFinalTerminator", "a\r\nb", LineReadResult::Ok, {"a", "b"}},
        LinesCase{"BlankLinesKept", "\n\r\n\na", LineReadResult::Ok, {"", "", "", "a"}},
        LinesCase{"OnlyTheLastCarriageReturnBelongsToTheTerminator",
                  "a\r\r\n",
                  LineReadResult::Ok,
                  {"a\r"}},
        LinesCase{"CarriageReturnWithoutLineFeedIsText", "a\rb\n", LineReadResult::Ok, {"a\rb"}},
        LinesCase{"CarriageReturnAtTheVeryEndIsText", "a\r", LineReadResult::Ok, {"a\r"}},
        LinesCase{"NulBytesAreText",
                  std::string("a\0b\n\0", 5),
                  LineReadResult::Ok,
                  {std::string("a\0b", 3), std::string("\0", 1)}},
        LinesCase{"FortyThree", k43 + "\n", LineReadResult::Ok, {k43}},
        LinesCase{"FortyThreeCrLf", k43 + "\r\n", LineReadResult::Ok, {k43}},
        LinesCase{"FortyThreeAtTheEnd", "a\n" + k43, LineReadResult::Ok, {"a", k43}},
        LinesCase{"FortyFour", "a\n" + k44 + "\nb\n", LineReadResult::LineTooLong, {"a"}},
        LinesCase{"FortyFourCrLf", k44 + "\r\n", LineReadResult::LineTooLong, {}},
        LinesCase{"FortyFourAtTheEnd", k44, LineReadResult::LineTooLong, {}},
        LinesCase{
            "FortyThreeAndCarriageReturnAtTheEnd", k43 + "\r", LineReadResult::LineTooLong, {}},
        LinesCase{
            "FortyThreeAndTwoCarriageReturns", k43 + "\r\r\n", LineReadResult::LineTooLong, {}}),
    [](const auto& p) { return std::string(p.param.name); });

// A stream that counts what is taken from it, to show that reading stops at a
// line that is too long instead of taking the rest of the file.
class CountingBuffer : public std::streambuf {
  public:
    CountingBuffer(std::string head, char fill, std::size_t total)
        : head_(std::move(head)), fill_(fill), total_(total) {}
    std::size_t taken() const { return taken_; }

  protected:
    int_type underflow() override {
        if (taken_ >= total_) {
            return traits_type::eof();
        }
        const std::size_t n = std::min(chunk_.size(), total_ - taken_);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = taken_ + i;
            chunk_[i] = at < head_.size() ? head_[at] : fill_;
        }
        taken_ += n;
        setg(chunk_.data(), chunk_.data(), chunk_.data() + n);
        return traits_type::to_int_type(chunk_[0]);
    }

  private:
    std::string head_;
    char fill_;
    std::size_t total_;
    std::size_t taken_ = 0;
    std::array<char, 1024> chunk_{};
};

TEST(ReadHexLines, AHugeLineIsNotReadToItsEnd) {
    CountingBuffer buffer("ok\n", 'A', std::size_t{1} << 30);  // a 1 GB line
    std::istream in(&buffer);
    Lines lines;
    EXPECT_EQ(image::readHexLines(in, lines), LineReadResult::LineTooLong);
    EXPECT_EQ(lines, Lines{"ok"});
    EXPECT_LT(buffer.taken(), std::size_t{64} * 1024);
}

TEST(ReadHexLines, AMillionShortLines) {
    std::string input;
    for (int i = 0; i < 1000000; ++i) {
        input += (i % 3 == 0) ? "x\r\n" : "\n";
    }
    input += "last";
    std::istringstream in(input);
    Lines lines;
    ASSERT_EQ(image::readHexLines(in, lines), LineReadResult::Ok);
    ASSERT_EQ(lines.size(), 1000001u);
    EXPECT_EQ(lines[0], "x");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[999999], "x");
    EXPECT_EQ(lines[1000000], "last");
}

// Fails every read after the first n bytes, as a disk or network error would.
class FailingBuffer : public std::streambuf {
  public:
    FailingBuffer(std::string text, bool throws) : text_(std::move(text)), throws_(throws) {}

  protected:
    int_type underflow() override {
        if (!given_) {
            given_ = true;
            setg(text_.data(), text_.data(), text_.data() + text_.size());
            return traits_type::to_int_type(text_[0]);
        }
        if (throws_) {
            throw std::ios_base::failure("read error");
        }
        return traits_type::eof();
    }

  private:
    std::string text_;
    bool throws_;
    bool given_ = false;
};

TEST(ReadHexLines, AReadErrorIsReported) {
    FailingBuffer buffer(":00000001FF\nhalf a li", true);
    std::istream in(&buffer);
    Lines lines;
    EXPECT_EQ(image::readHexLines(in, lines), LineReadResult::ReadError);
}

TEST(ReadHexLines, TheSameStreamEndingNormallyReadsItsLines) {
    FailingBuffer buffer(":00000001FF\nhalf a li", false);
    std::istream in(&buffer);
    Lines lines;
    EXPECT_EQ(image::readHexLines(in, lines), LineReadResult::Ok);
    EXPECT_EQ(lines, (Lines{":00000001FF", "half a li"}));
}

TEST(FileNameOf, TakesThePartAfterTheLastSeparator) {
    EXPECT_EQ(image::fileNameOf("C:\\Firmware\\QV1210.HEX"), "QV1210.HEX");
    EXPECT_EQ(image::fileNameOf("/home/user/fw/app.hex"), "app.hex");
    EXPECT_EQ(image::fileNameOf("/home/a\\b/c\\app.hex"), "app.hex");
    EXPECT_EQ(image::fileNameOf("C:\\mixed/dir\\x/app.hex"), "app.hex");
    EXPECT_EQ(image::fileNameOf("app.hex"), "app.hex");
    EXPECT_EQ(image::fileNameOf("/home/user/"), "");
    EXPECT_EQ(image::fileNameOf(""), "");
}

}  // namespace

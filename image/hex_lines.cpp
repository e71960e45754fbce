#include "image/hex_lines.h"

#include <array>
#include <cstddef>

#include "image/firmware_image.h"

namespace image {

namespace {
constexpr std::size_t kLimit = kMaxLineLength;
constexpr std::size_t kReadBlock = 4096;
}  // namespace

LineReadResult readHexLines(std::istream& in, std::vector<std::string>& lines) {
    std::array<char, kReadBlock> block{};
    std::string line;
    line.reserve(kLimit + 2);
    for (;;) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        if (in.bad()) {
            return LineReadResult::ReadError;
        }
        const auto got = static_cast<std::size_t>(in.gcount());
        for (std::size_t i = 0; i < got; ++i) {
            const char c = block[i];
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                lines.push_back(line);
                line.clear();
                continue;
            }
            line.push_back(c);
            // One character more than the limit may still be the carriage
            // return of a CRLF; anything beyond that is too long for certain.
            if (line.size() > kLimit + 1 || (line.size() == kLimit + 1 && c != '\r')) {
                return LineReadResult::LineTooLong;
            }
        }
        if (got < block.size()) {
            break;  // end of the stream
        }
    }
    if (!line.empty()) {
        // A carriage return at the very end is no terminator: no line feed follows.
        if (line.size() > kLimit) {
            return LineReadResult::LineTooLong;
        }
        lines.push_back(line);
    }
    return LineReadResult::Ok;
}

std::string_view fileNameOf(std::string_view path) {
    const std::size_t separator = path.find_last_of("\\/");
    return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace image

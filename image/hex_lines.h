#pragma once

// Reading the text lines of a hex file, apart from parsing them, so that any
// stream (a file, a string in a test, fuzzer input) can be read.

#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace image {

enum class LineReadResult {
    Ok,           // every line read
    CannotOpen,   // the file could not be opened (set by the caller)
    LineTooLong,  // a line of more than 43 characters; reading stopped there
    ReadError,    // the stream failed after it was opened
};

// Appends every line of in to lines, without its terminator. A line ends at a
// line feed, and a carriage return just before the line feed belongs to the
// terminator; a last line without terminator counts too. Stops at the first
// line longer than kMaxLineLength characters, without reading the rest of it,
// and does not append that line. Reads in blocks and never holds more than
// one line plus one block beyond the lines already read.
LineReadResult readHexLines(std::istream& in, std::vector<std::string>& lines);

// The file name shown in "Cannot open file: %s": the part of path after its
// last backslash or slash (the whole path if it has neither).
std::string_view fileNameOf(std::string_view path);

}  // namespace image

#include "ui/qt/file_filter.h"

#include <cstddef>

namespace ui::qt {

namespace {

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

// "*.txt;*.log" -> "*.txt *.log": Qt separates patterns with blanks.
std::string qtPatterns(const std::string& patterns) {
    std::string out;
    std::string current;
    auto flush = [&] {
        const std::string p = trimmed(current);
        if (!p.empty()) {
            if (!out.empty()) {
                out += ' ';
            }
            out += p;
        }
        current.clear();
    };
    for (char c : patterns) {
        if (c == ';' || c == ' ') {
            flush();
        } else {
            current += c;
        }
    }
    flush();
    return out.empty() ? std::string("*") : out;
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::vector<std::string> toQtNameFilters(const std::string& filter) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : filter) {
        if (c == '|') {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }

    std::vector<std::string> out;
    for (std::size_t i = 0; i < parts.size(); i += 2) {
        const std::string description = trimmed(parts[i]);
        const std::string patterns = qtPatterns(i + 1 < parts.size() ? parts[i + 1] : "");
        if (description.empty() && i + 1 >= parts.size()) {
            continue;  // the empty entry after the closing "||"
        }
        // Qt reads the patterns from the last parentheses of a name filter, so
        // a description that already shows them is kept as it is.
        const std::string shown = "(" + patterns + ")";
        if (endsWith(description, shown)) {
            out.push_back(description);
        } else if (description.empty()) {
            out.push_back(shown);
        } else {
            out.push_back(description + " " + shown);
        }
    }
    return out;
}

}  // namespace ui::qt

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "analysis/MediaInfoParser.h"

namespace quorvel::test {

// One field line in the analyser's layout: the name padded to 41 columns, a colon in column
// 42, then a space and the value, LF ended.
inline std::string field(std::string_view name, std::string_view value) {
    std::string line(name);
    line.resize(41, ' ');
    line += ": ";
    line += value;
    line += '\n';
    return line;
}

using ParsedReport = MediaInfoReport;

// Feeds a whole report to the parser line by line, as the runner does, starting from the
// report a scan starts with.
inline ParsedReport parseReport(std::string_view report) {
    MediaInfoReport state;
    std::size_t start = 0;
    while (start < report.size()) {
        const std::size_t end = report.find('\n', start);
        // A last line without a line feed is passed on as well, as the runner does at the end.
        const std::size_t next = end == std::string_view::npos ? report.size() : end + 1;
        ParseMediaInfoLine(state, report.substr(start, next - start));
        start = next;
    }
    return state;
}

inline std::string withCrLf(std::string_view report) {
    std::string converted;
    for (char c : report) {
        if (c == '\n') converted += '\r';
        converted += c;
    }
    return converted;
}

}  // namespace quorvel::test

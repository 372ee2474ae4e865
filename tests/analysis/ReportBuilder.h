#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "analysis/MediaInfoParser.h"
#include "shared/SharedState.h"

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

// What the parser leaves behind for the rest of the job.
struct ParsedReport {
    std::vector<MediaTrack> mediaTracks;
    std::int32_t mediaTrackCount = 0;
    std::int32_t videoTrackIndex = 0;
    bool videoTrackFound = false;
};

// Feeds a whole report to the parser line by line, as the runner does, starting from the
// state a scan leaves before the analyser runs.
inline ParsedReport parseReport(std::string_view report) {
    SharedState state;
    std::size_t start = 0;
    while (start < report.size()) {
        const std::size_t end = report.find('\n', start);
        // A last line without a line feed is passed on as well, as the runner does at the end.
        const std::size_t next = end == std::string_view::npos ? report.size() : end + 1;
        ParseMediaInfoLine(state, report.substr(start, next - start));
        start = next;
    }
    return ParsedReport{state.mediaTracks, state.mediaTrackCount, state.videoTrackIndex,
                        state.videoTrackFound};
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

#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/MediaTrack.h"

namespace quorvel {

// What the analyser's report said, as the parser files it line by line.
struct MediaInfoReport {
    // Track records; always holds trackCount + 1 records.
    std::vector<MediaTrack> tracks{MediaTrack{}};
    // Index of the current (last) record.
    std::int32_t trackCount = 0;
    // Index in tracks of the first video track met; 0 when none.
    std::int32_t videoTrackIndex = 0;
    // Whether the report named a video track at all (a "Codec ID" known as video), which
    // videoTrackIndex alone cannot tell: 0 is both "none" and the record before the first "ID".
    bool videoTrackFound = false;
    // Whether the report had its "General" section, which the analyser writes for every file it
    // can open; without it the file could not be read at all.
    bool generalSectionFound = false;

    bool operator==(const MediaInfoReport&) const = default;
};

// Takes one line of the analyser's text report (with or without its line end) and files what it
// says into the report's track records: an "ID" line opens a new record, every other known field
// fills the current one, and the first video codec met names the video track (and sets
// videoTrackFound). The "General" heading sets generalSectionFound.
// It never raises for odd input: unknown keys and short lines change nothing, numbers that do
// not fit their field are clamped to the field's range.
void ParseMediaInfoLine(MediaInfoReport& report, std::string_view line);

// The report's numbers, read without regard to the process locale: blanks (space, tab, LF)
// vanish wherever they are, so "3 840" is 3840; then an optional sign, digits with at most one
// "." and an exponent introduced by E or D; or the prefixes &H / &O for hexadecimal and octal.
// Reading stops at the first other character; text without digits reads as 0. The result is
// always finite (overflow saturates at the largest double).
double readReportNumber(std::string_view text);

// Nearest integer, halves to the even neighbour, clamped to [low, high].
std::int64_t roundHalfEvenClamped(double value, std::int64_t low, std::int64_t high);

}  // namespace quorvel

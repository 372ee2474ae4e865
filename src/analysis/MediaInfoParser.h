#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shared/SharedState.h"

namespace quorvel {

// Takes one line of the analyser's text report (with or without its line end) and files what it
// says into the shared track records: an "ID" line opens a new record, every other known field
// fills the current one, and the first video codec met names the video track (and sets
// videoTrackFound). The "General" heading sets generalSectionFound.
// It never raises for odd input: unknown keys and short lines change nothing, numbers that do
// not fit their field are clamped to the field's range.
void ParseMediaInfoLine(SharedState& state, std::string_view line);

// The report's numbers, read without regard to the process locale: blanks (space, tab, LF)
// vanish wherever they are, so "3 840" is 3840; then an optional sign, digits with at most one
// "." and an exponent introduced by E or D; or the prefixes &H / &O for hexadecimal and octal.
// Reading stops at the first other character; text without digits reads as 0. The result is
// always finite (overflow saturates at the largest double).
double readReportNumber(std::string_view text);

// Nearest integer, halves to the even neighbour, clamped to [low, high].
std::int64_t roundHalfEvenClamped(double value, std::int64_t low, std::int64_t high);

}  // namespace quorvel

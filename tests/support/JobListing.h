#pragma once

#include <string>
#include <vector>

namespace quorvel::test {

// The log lines of the navigation steps of a first job over an unconverted folder with one play
// item and one video stream, time prefixes masked as "[ts]".
inline std::vector<std::string> firstJobNavigationLines() {
    return {
        "[ts] Checking/Adjusting MPLS file...",
        " - Found HEVC stream...",
        "   -- Type marker adjusted to UHD-BD HEVC...",
        "   -- Format marker adjusted to 2160p...",
        "   -- Version marker adjusted to be 0300...",
        "[ts] Checking/Adjusting CLPI file...",
        " - Found HEVC stream...",
        "   -- Type marker adjusted to UHD-BD HEVC...",
        "   -- Format marker adjusted to 2160p...",
        "   -- Version marker adjusted to be 0300...",
        "[ts] Checking/Adjusting BDMV files...",
        " - Added UHD-BD extension...",
        " - Checked/Updated version in Index file...",
        " - Checked/Updated version in MovieObject file...",
    };
}

// The scan's lines: the heading, the attribute line for an HDR or SDR source, the closing line.
inline std::vector<std::string> scanLines(bool hdr) {
    return {"[ts] Scanning source for UHD attributes...",
            hdr ? " - UHD and HDR attributes collected." : " - UHD attributes collected.",
            " - Scan completed."};
}

// Concatenation, for building whole listings from their parts.
inline std::vector<std::string> operator+(std::vector<std::string> a,
                                          const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace quorvel::test

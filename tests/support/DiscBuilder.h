#pragma once

#include <string>

namespace quorvel::test {

// What makeDisc writes.
struct DiscRecipe {
    int clips = 1;           // one play item and one clip (00000, 00001, …) per clip
    bool backup = true;      // the BACKUP duplicates of the navigation files
    int videoPackets = 40;   // per stream, with a PES start every 10
};

// A small disc folder in the muxer's layout under `root` (which ends with a separator): index,
// MovieObject, one playlist naming every clip, each clip's information file (HEVC video coded
// 0x06, 1080p) and stream (PAT, a one-packet program map section with the video as 0x06 "HEVC",
// video PES starts 00 00 01 E0), and their BACKUP copies. Small enough for unit tests of the
// whole job; the formats are those the end-to-end runs check with independent readers.
void makeDisc(const std::string& root, const DiscRecipe& recipe = {});

}  // namespace quorvel::test

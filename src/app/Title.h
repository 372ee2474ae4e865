#pragma once

#include <string>
#include <vector>

#include "analysis/AttributeScan.h"
#include "app/BluRayLayout.h"
#include "shared/Refusal.h"

namespace quorvel {

// One clip of the title: its clip information file and its stream file, found by the clip's
// name whatever the letter case of the files.
struct TitleClip {
    std::string name;       // the five digits, e.g. "00001"
    std::string clipInfo;   // full path; empty when the folder holds no such file
    std::string stream;     // full path; empty when the folder holds no such file
    StreamAttributes attributes;  // what the analyser said about the stream
};

// The title a job converts: the first playlist of the folder and every clip it plays.
struct Title {
    std::string playlist;   // full path
    std::vector<TitleClip> clips;
    // Playlists of the folder beside the converted one; they are left alone.
    int otherPlaylists = 0;
    // Why the title cannot be read: the files concerned, and the outcome line that follows their
    // lines (" Failed. Couldn't find MPLS file." and the like). Both empty when it was read.
    std::vector<Refusal> problems;
    std::string failureLine;

    bool readable() const { return failureLine.empty(); }
    // The playlist's UHD extension block: the first clip's (empty before the scan).
    const ByteString& uhdExtension() const;
    // Sum of the sizes of the clips' stream files.
    std::int64_t streamBytes() const;
};

// Reads the title of the folder: the playlist, the clips its play items (and their further
// angles) name, each clip's files. Reads the playlist only; writes nothing.
Title readTitle(const BluRayLayout& layout);

// The name of the file a path names ("00001.m2ts").
std::string fileNameOf(const std::string& path);

}  // namespace quorvel

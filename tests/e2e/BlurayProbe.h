#pragma once

// What libbluray, the reference reader of Blu-ray navigation files, makes of a disc folder.

#include <string>

namespace quorvel::test::e2e {

struct BlurayView {
    bool available = false;       // built with libbluray
    bool opened = false;          // the folder opened as a Blu-ray
    int titles = 0;               // playlists libbluray lists
    int playlistCodingType = -1;  // first clip's first video stream, from the playlist
    int playlistFormat = -1;
    int clipCodingType = -1;  // first video stream of the clip information file
    int clipFormat = -1;
    int clipDynamicRange = -1;
    int clipColorSpace = -1;
    std::string messages;  // everything libbluray logged while reading
};

// Reads folder + "/BDMV" with playlist 00000 and clip 00000.
BlurayView readWithLibbluray(const std::string& folder);

}  // namespace quorvel::test::e2e

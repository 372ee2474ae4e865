#pragma once

#include <cstdint>

namespace quorvel {

// One track of the analyser's report, as far as the job uses it: the video track's size and its
// mastering-display metadata. A new record has every number 0 and every flag false.
struct MediaTrack {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool is2160 = false;
    std::int16_t minLuminance = 0;  // units of 0.0001 cd/m2
    std::int16_t maxLuminance = 0;  // whole cd/m2
    std::int16_t maxCll = 0;
    std::int16_t maxFall = 0;
    bool isHdr = false;

    bool operator==(const MediaTrack&) const = default;
};

}  // namespace quorvel

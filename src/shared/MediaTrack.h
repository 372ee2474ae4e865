#pragma once

#include <cstdint>
#include <string>

namespace quorvel {

// One track of the analyser's report. A new record has every text empty, every number 0 and
// every flag false; "ID" lines open a record and set `language` to "und".
struct MediaTrack {
    std::int16_t trackId = 0;
    std::string formatLabel;
    std::string codecId;
    std::string frameRate;
    std::int16_t channels = 0;
    std::string samplingRate;
    std::string bitRate;
    std::string language;
    std::string delay;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t durationSeconds = 0;
    std::string displayAspectRatio;
    std::string scanType;
    bool isForced = false;
    bool is2160 = false;
    std::int16_t minLuminance = 0;  // units of 0.0001 cd/m2
    std::int16_t maxLuminance = 0;  // whole cd/m2
    std::int16_t maxCll = 0;
    std::int16_t maxFall = 0;
    bool isHdr = false;

    bool operator==(const MediaTrack&) const = default;
};

}  // namespace quorvel

#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/ByteString.h"
#include "shared/MediaTrack.h"
#include "transport/Crc32Mpeg2.h"

namespace quorvel {

// The state that the steps of a job share. The job object owns exactly one of these for the
// life of the program; nothing here is a global.
struct SharedState {
    // The whole status log, CR LF after every line.
    std::string statusText;
    // Set by an abort press or the close confirmation; polled by the long-running loops.
    bool abortRequested = false;
    // Set on every tick of the 500 ms timer; the stream scan clears it after a progress update.
    bool timerTick = false;
    // Full path of the analyser executable.
    std::string mediaInfoPath;
    // CRC-32/MPEG-2 lookup table, filled at start-up.
    CrcTable crcTable{};
    // Track records of the last scan; always holds mediaTrackCount + 1 records.
    std::vector<MediaTrack> mediaTracks{MediaTrack{}};
    // Index of the current (last) record.
    std::int32_t mediaTrackCount = 0;
    // Index in mediaTracks of the first video track met; 0 when none.
    std::int32_t videoTrackIndex = 0;
    // Whether the report named a video track at all (a "Codec ID" known as video), which
    // videoTrackIndex alone cannot tell: 0 is both "none" and the record before the first "ID".
    bool videoTrackFound = false;
    // Whether the report had its "General" section, which the analyser writes for every file it
    // can open; without it the file could not be read at all.
    bool generalSectionFound = false;
    // The 60-byte UHD extension block the playlist receives.
    ByteString uhdExtensionData;
};

}  // namespace quorvel

#pragma once

#include <string>

#include "shared/ByteString.h"

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
    // The 60-byte UHD extension block the playlist receives.
    ByteString uhdExtensionData;
};

}  // namespace quorvel

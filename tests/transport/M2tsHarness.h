#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <set>
#include <string>

#include "app/JobContext.h"
#include "app/StatusLog.h"
#include "shared/SharedState.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"
#include "transport/M2tsAdjuster.h"

namespace quorvel::test {

// The stream adjuster with a recording window, a fixed clock and a built CRC table.
struct M2tsHarness {
    SharedState state;
    RecordingWindow window;
    StatusLog log{state.statusText, window, [] { return LocalTime{12, 34, 56}; }};
    JobContext ctx{state, log, window};

    M2tsHarness() { buildCrcTable(state.crcTable); }

    // Small reads and a look at the window after every packet, so that the tests can stop and
    // tick the scan at any packet.
    static M2tsScanOptions perPacket(std::size_t packetsPerRead = 7) {
        M2tsScanOptions options;
        options.readBytes = 192 * packetsPerRead;
        options.mapBytes = 12288;
        options.packetsPerClockCheck = 1;
        options.yieldInterval = std::chrono::nanoseconds(0);
        return options;
    }

    bool run(const std::string& path, const M2tsScanOptions& options = perPacket()) {
        return UHD_Adjust_M2TS(ctx, path, options);
    }
};

// The 192-byte packet at `offset`.
inline ByteString packetAt(const ByteString& stream, std::int64_t offset) {
    return ByteString(stream.begin() + offset, stream.begin() + offset + 192);
}

// Offsets at which two equally long byte strings differ.
inline std::set<std::int64_t> differingOffsets(const ByteString& a, const ByteString& b) {
    std::set<std::int64_t> offsets;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) offsets.insert(static_cast<std::int64_t>(i));
    }
    return offsets;
}

}  // namespace quorvel::test

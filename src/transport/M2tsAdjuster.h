#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "shared/LogLine.h"
#include "shared/StepControl.h"

namespace quorvel {

class StreamRecordSink;

// The timer interval the front end sets for the progress ticks of a stream pass.
inline constexpr int kStreamTickIntervalMs = 500;

// How the stream scan paces itself. The defaults suit real streams of tens of gigabytes; tests
// use small reads and a yield after every packet.
struct M2tsScanOptions {
    // Read through read-only mapped windows of mapBytes (rounded to 12 KiB: page and packet
    // size) rather than copying into a buffer. Windows are unmapped as the scan moves on, so the
    // resident memory stays near mapBytes. Off by default: on current kernels a page fault per
    // mapped page costs several times what copying the page out of the cache does (a rerun over
    // a cached 2 GB stream takes about 0.55 s mapped and 0.15 s read into the buffer).
    bool mapFile = false;
    std::size_t mapBytes = 12288 * 683;  // about 8 MiB
    // Without mapping, bytes per read: a multiple of both the 4 KiB page and the 192-byte packet
    // (12,288 × 85, just under 1 MiB), so every read starts page-aligned in file and memory.
    std::size_t readBytes = 12288 * 85;
    // Hand the writes to a second thread (in order), so the scan goes on while the file system
    // works on them. Off: each write is made, and checked, before the scan moves on.
    bool writeBehind = true;
    // Packets scanned between two looks at the clock.
    std::uint32_t packetsPerClockCheck = 256;
    // Time between two questions to the stop token (the front end's event processing).
    std::chrono::nanoseconds yieldInterval = std::chrono::milliseconds(12);
    // A job over several stream files shows one percentage over their total size: the bytes of
    // the streams before this one, and the total (0: this stream alone).
    std::int64_t progressBefore = 0;
    std::int64_t progressTotal = 0;
    // For tests: when set and it returns true for a write (offset, size), that write fails as on
    // a full disk.
    std::function<bool(std::int64_t offset, std::size_t size)> writeFault;
    // The job's undo record for this stream: every change is put on it (and it on the disk)
    // before the change is written. nullptr: no record (tests, and a check).
    StreamRecordSink* undo = nullptr;
};

// How a pass over a stream ended, and what the log says about it after the step's heading
// (warnings and failures, in the order they arose).
struct StreamPass {
    enum class Outcome { Done, Aborted, Failed };
    Outcome outcome = Outcome::Failed;
    LogLines lines;
};

// Re-marks the HEVC video stream of a stream file for UHD: the program map entry of PID 0x1011
// (stream type 0x24, "HDMV", new CRC) and the stream id of every video PES start (0xE1) behind
// the first program map section that gives the video 0x24. Done when the whole file was scanned
// and every program map section is re-marked or was so already. Aborted when `stop` asked for it
// (what was written so far is on the file). Failed when the file is a link, not a regular file,
// or cannot be opened, read or written; when a program map section cannot be re-marked (the rest
// of the file is still converted); and when no program map section gives the video 0x24 (then
// nothing is written). Each failure has its line in `lines`.
StreamPass UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                           StopToken& stop, ProgressSink& progress);

// The percentage caption for a done fraction r: r × 100 with two decimals, then "%".
std::string progressPercentText(double r);

}  // namespace quorvel

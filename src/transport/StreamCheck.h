#pragma once

#include <cstdint>
#include <string>

#include "transport/M2tsAdjuster.h"

// Read-only looks at a stream file: what a conversion pass would change, and whether its first
// program map section can be converted at all. Neither writes a byte.
namespace quorvel {

// What a conversion pass would do to a stream, counted without writing anything.
struct StreamSurvey {
    std::int64_t size = 0;                   // file size in bytes
    std::int64_t sectionsToRemark = 0;       // program map sections whose video entry is 0x06
    std::int64_t firstSectionToRemark = -1;  // byte offset of the first one's first packet
    std::int64_t identifiersToChange = 0;    // of those, how many have "HEVC" to become "HDMV"
    std::int64_t sectionsMarked = 0;         // well-formed, video entry already 0x24
    std::int64_t sectionsUnusable = 0;       // sections that cannot be re-marked
    std::int64_t firstUnusableSection = -1;
    std::string unusableReason;    // for the first one
    std::int64_t pesToRemark = 0;  // video PES starts 00 00 01 E0 a pass would change
    std::int64_t firstPesToRemark = -1;
    std::int64_t pesMarked = 0;  // video PES starts already E1 (after a marked entry)
    std::int64_t packetsWithoutSync = 0;
    std::int64_t firstPacketWithoutSync = -1;
};

// Reads the whole stream once, exactly as UHD_Adjust_M2TS would (same rules, same order, same
// "PES only after a marked entry"), and counts what it would write. Writes nothing, opens
// read-only, never follows a link. Offers progress and asks `stop` like the real pass. Done when
// it read the stream through; Failed (with its line) when the file cannot be opened or read;
// Aborted (no line) on a stop request.
StreamPass surveyM2ts(const std::string& m2ts, StreamSurvey& survey, const M2tsScanOptions& options,
                      StopToken& stop, ProgressSink& progress);

// The first program map section of a stream, for the job's check before its first write.
struct ProgramMapCheck {
    enum class State { Convertible, AlreadyMarked, Refused };
    State state = State::Refused;
    std::string reason;  // Refused: completes "… <path>: " — lower case, no final full stop
    std::int64_t offset = -1;  // byte offset of the section's first packet, when found
};

// How far checkFirstProgramMap reads before it gives up.
inline constexpr std::int64_t kProgramMapCheckLimit = 64LL << 20;

// Reads from the start only as far as the first program map section (at most
// kProgramMapCheckLimit bytes). Refused when the path is not a regular file, is a symbolic link
// or cannot be read; when the first packet lacks the sync byte; when no program association
// section names a program map PID; when no program map section follows; or when that section
// cannot be re-marked (the reason says why, the stream type included). Convertible: its video
// entry reads 0x06. AlreadyMarked: 0x24.
ProgramMapCheck checkFirstProgramMap(const std::string& m2ts);

}  // namespace quorvel

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "shared/LogLine.h"
#include "support/StepControls.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"
#include "transport/M2tsAdjuster.h"
#include "transport/StreamCheck.h"

namespace quorvel::test {

// The stream adjuster with a scripted stop token and progress sink; the lines of every pass are
// kept in order.
struct M2tsHarness {
    ScriptedControl control;
    std::vector<std::string> passLines;

    // The log as a job shows its stream passes: the step's heading (at 12:34:56), then the
    // pass's lines.
    struct JobLog {
        std::vector<std::string> shown;
        const std::vector<std::string>& lines() const { return shown; }
    } jobLog;

    // The lines of the passes so far.
    const std::vector<std::string>& lines() const { return passLines; }
    void keep(const StreamPass& pass) {
        for (const LogLine& line : pass.lines) passLines.push_back(line.text);
    }

    // Small reads and a look at the window after every packet, so that the tests can stop and
    // tick the scan at any packet.
    static M2tsScanOptions perPacket(std::size_t packetsPerRead = 7) {
        M2tsScanOptions options;
        options.readBytes = 192 * packetsPerRead;
        // The mapped reader here; the buffered one, the default, runs in every job and check.
        options.mapFile = true;
        options.mapBytes = 12288;
        options.packetsPerClockCheck = 1;
        options.yieldInterval = std::chrono::nanoseconds(0);
        return options;
    }

    bool run(const std::string& path, const M2tsScanOptions& options = perPacket()) {
        return pass(path, options).outcome == StreamPass::Outcome::Done;
    }
    // The survey's read-through; true when it read the stream through.
    bool survey(const std::string& path, StreamSurvey& survey,
                const M2tsScanOptions& options = M2tsScanOptions{}) {
        const StreamPass result = surveyM2ts(path, survey, options, control, control);
        keep(result);
        return result.outcome == StreamPass::Outcome::Done;
    }
    StreamPass pass(const std::string& path, const M2tsScanOptions& options = perPacket()) {
        StreamPass result = UHD_Adjust_M2TS(path, options, control, control);
        keep(result);
        jobLog.shown.push_back("[12:34:56] Checking/Adjusting M2TS file...");
        for (const LogLine& line : result.lines) jobLog.shown.push_back(line.text);
        return result;
    }
};

// The PMT of the muxer's streams: HEVC video with its registration descriptor, then AC-3 audio.
inline ByteString muxerPmt(const char* identifier = "HEVC") {
    return pmtSection({{0x06, kTestVideoPid, registrationDescriptor(identifier, {0xFF, 0x00})},
                       {0x81, kTestAudioPid, {}}});
}

// Offset, inside a section (table id at 0), of the video entry of muxerPmt().
inline constexpr std::size_t kVideoEntryInSection = 12;

// The start of a stream the pass converts: a program association naming PID 0x0100, then the
// muxer's program map on it.
inline StreamBuilder convertibleStream() {
    StreamBuilder stream;
    stream.addPat();
    stream.addSection(muxerPmt());
    return stream;
}

// Packets on the program map PID that make no section the pass can re-mark.
struct MalformedSection {
    std::string name;
    std::vector<ByteString> packets;
    std::string reason;  // for the first section they make
    int sections = 1;    // sections that cannot be re-marked among them
};

inline ByteString withByte(ByteString bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
}

// In an order in which each case stands on its own when they follow one another.
inline std::vector<MalformedSection> malformedSections() {
    const ByteString good = muxerPmt();
    const auto packets = [](const ByteString& section) {
        return sectionPackets(section, kTestPmtPid);
    };
    const auto crcFixed = [](ByteString section) {
        fixSectionCrc(section);
        return section;
    };
    const ByteString badCrc = withByte(good, good.size() - 1, good.back() ^ 0x01);
    ByteString pointerOne{0x01, 0xAA};
    pointerOne.insert(pointerOne.end(), good.begin(), good.end());
    ByteString withField{0x00};  // adaptation field length 0
    withField.insert(withField.end(), good.begin(), good.end());
    // A section that needs a second packet.
    const std::vector<ByteString> twoPackets =
        packets(pmtSection({{0x06, kTestVideoPid, registrationDescriptor()},
                            {0x81, kTestAudioPid, ByteString(190, 0x0A)}}));
    std::vector<ByteString> continuationWithField = twoPackets;
    continuationWithField[1][7] = static_cast<std::uint8_t>(continuationWithField[1][7] | 0x30);
    return {
        {"BadCrc", packets(badCrc), "its CRC-32 does not hold"},
        {"LengthBelowTheFixedFields", packets(withByte(good, 2, 12)),
         "its section length 12 lies outside 13..1021"},
        {"LengthAbove1021", packets(withByte(withByte(good, 1, 0xB3), 2, 0xFE)),
         "its section length 1022 lies outside 13..1021"},
        {"PointerFieldOne",
         {sourcePacket({kTestPmtPid, true, 1, 0, 0}, pointerOne)},
         "its pointer field is not 0"},
        {"AdaptationField",
         {sourcePacket({kTestPmtPid, true, 3, 0, 0}, withField)},
         "its first packet carries an adaptation field"},
        {"OtherTable", packets(crcFixed(withByte(good, 0, 0x42))),
         "its table id is 0x42, not 0x02"},
        {"EntryPastTheCrc", packets(crcFixed(withByte(good, kVideoEntryInSection + 4, 0x40))),
         "its entries run past its CRC-32"},
        {"NoVideoEntry", packets(pmtSection({{0x81, kTestAudioPid, {}}})),
         "it has no entry for the video stream (PID 0x1011)"},
        {"VideoTypeAvc", packets(pmtSection({{0x1B, kTestVideoPid, {}}})),
         "its video entry has stream type 0x1B, not 0x06 or 0x24"},
        {"Orphan", {twoPackets[1]}, "it is a continuation packet without a section to continue"},
        {"ContinuationWithField", continuationWithField,
         "a continuation packet carries an adaptation field or no payload"},
        {"Interrupted",
         {twoPackets[0], packets(badCrc)[0]},
         "a new section begins before it is complete",
         2},
    };
}

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

#include "transport/M2tsAdjuster.h"

#include <array>
#include <cstdio>
#include <optional>

#include "fileio/StreamFile.h"
#include "transport/StreamRecorder.h"
#include "transport/StreamRules.h"
#include "transport/StreamScan.h"

namespace quorvel {

namespace {

constexpr double kPercent = 100.0;

// The end-of-pass lines. True when the stream is converted: some program map section gives the
// video 0x24 and none was left as it was.
bool reportFindings(LogLines& lines, const StreamRules& rules) {
    const StreamSurvey& found = rules.tally();
    if (found.packetsWithoutSync > 0) {
        const bool one = found.packetsWithoutSync == 1;
        lines.push_back({" - Warning:  " + std::to_string(found.packetsWithoutSync) +
                         (one ? " packet" : " packets") + " without the sync byte 0x47 " +
                         (one ? "was" : "were") + " passed over, the first at byte " +
                         std::to_string(found.firstPacketWithoutSync) + "."});
    }
    if (found.sectionsUnusable > 1) {
        lines.push_back({" - Couldn't re-mark " + std::to_string(found.sectionsUnusable) +
                         " program map sections in all; they were left as they are."});
    }
    if (!rules.programMapNamed()) {
        lines.push_back(
            {" - No program association section names a program map; the stream was left "
             "unchanged."});
    } else if (!rules.videoMarked()) {
        lines.push_back(
            {" - No usable program map section lists the video stream (PID 0x1011); the stream "
             "was left unchanged."});
    }
    return rules.videoMarked() && found.sectionsUnusable == 0;
}

}  // namespace

std::string progressPercentText(double r) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2f%%", r * kPercent);
    return text.data();
}

StreamPass UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                           StopToken& stop, ProgressSink& progress) {
    StreamPass pass;
    LogLines& lines = pass.lines;
    // The file is closed however the scan ends, an error from the front end's event processing
    // included; the writer, declared after it, is gone by then.
    StreamFile file;
    file.writeFault = options.writeFault;
    std::string why;
    if (!file.open(m2ts, StreamFile::Access::ReadWrite, &why)) {
        logStreamRefusal(lines, m2ts, why);
        return pass;
    }
    const std::int64_t fileSize = file.size();
    if (fileSize < 0) {
        logStreamFailure(lines, "read", 0);
        return pass;
    }

    std::optional<StreamRecorder> recorder;
    if (options.undo != nullptr) recorder.emplace(*options.undo);
    StreamWriter writer(lines, file, options.writeBehind);
    StreamRules rules(&writer);
    if (recorder) {
        rules.tellChangesTo(&*recorder);
        writer.holdForRecord(&*recorder);
    }
    rules.onFirstUnusable = [&lines](std::int64_t offset, const std::string& reason) {
        lines.push_back({" - Couldn't re-mark the program map section at byte " +
                         std::to_string(offset) + ": " + reason + "."});
    };
    StreamScan scan(options, file.handle(), fileSize, rules, &writer, stop, progress, lines);
    pass.outcome = scan.run();
    if (pass.outcome != StreamPass::Outcome::Done) return pass;
    const bool converted = reportFindings(lines, rules);
    pass.outcome = StreamPass::Outcome::Failed;
    // Written packets must be on the disk before the job reports success.
    if (!file.flushDataToDisk()) {
        lines.push_back({" - Couldn't flush the stream file to disk."});
        return pass;
    }
    if (converted) pass.outcome = StreamPass::Outcome::Done;
    return pass;
}

}  // namespace quorvel

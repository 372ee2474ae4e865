#include "transport/M2tsAdjuster.h"

#include <array>
#include <cstdio>

#include "fileio/StreamFile.h"
#include "transport/StreamRules.h"
#include "transport/StreamScan.h"

namespace quorvel {

namespace {

constexpr double kPercent = 100.0;

// The end-of-pass lines. True when the stream is converted: some program map section gives the
// video 0x24 and none was left as it was.
bool reportFindings(JobContext& ctx, const StreamRules& rules) {
    const StreamSurvey& found = rules.tally();
    if (found.packetsWithoutSync > 0) {
        const bool one = found.packetsWithoutSync == 1;
        ctx.log.Status(" - Warning:  " + std::to_string(found.packetsWithoutSync) +
                       (one ? " packet" : " packets") + " without the sync byte 0x47 " +
                       (one ? "was" : "were") + " passed over, the first at byte " +
                       std::to_string(found.firstPacketWithoutSync) + ".");
    }
    if (found.sectionsUnusable > 1) {
        ctx.log.Status(" - Couldn't re-mark " + std::to_string(found.sectionsUnusable) +
                       " program map sections in all; they were left as they are.");
    }
    if (!rules.programMapNamed()) {
        ctx.log.Status(
            " - No program association section names a program map; the stream was left "
            "unchanged.");
    } else if (!rules.videoMarked()) {
        ctx.log.Status(
            " - No usable program map section lists the video stream (PID 0x1011); the stream "
            "was left unchanged.");
    }
    return rules.videoMarked() && found.sectionsUnusable == 0;
}

}  // namespace

std::string progressPercentText(double r) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.2f%%", r * kPercent);
    return text.data();
}

bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& m2ts, const M2tsScanOptions& options) {
    ctx.log.Status(ctx.log.TimeStamp() + options.heading);
    ctx.window.setTickInterval(kStreamTickIntervalMs);

    // The file is closed however the scan ends, an error from a window handler included; the
    // writer, declared after it, is gone by then.
    StreamFile file;
    file.writeFault = options.writeFault;
    std::string why;
    if (!file.open(m2ts, StreamFile::Access::ReadWrite, &why)) {
        logStreamRefusal(ctx, m2ts, why);
        return false;
    }
    const std::int64_t fileSize = file.size();
    if (fileSize < 0) {
        logStreamFailure(ctx, "read", 0);
        return false;
    }

    StreamWriter writer(ctx, file, options.writeBehind);
    StreamRules rules(ctx.state.crcTable, &writer);
    rules.onFirstUnusable = [&ctx](std::int64_t offset, const std::string& reason) {
        ctx.log.Status(" - Couldn't re-mark the program map section at byte " +
                       std::to_string(offset) + ": " + reason + ".");
    };
    StreamScan scan(ctx, options, file.handle(), fileSize, rules, &writer);
    if (scan.run() != StreamScan::Outcome::Done) return false;
    const bool converted = reportFindings(ctx, rules);
    // Written packets must be on the disk before the job reports success.
    if (!file.flushDataToDisk()) {
        ctx.log.Status(" - Couldn't flush the stream file to disk.");
        return false;
    }
    return converted;
}

}  // namespace quorvel

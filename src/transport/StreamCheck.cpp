#include "transport/StreamCheck.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>
#include <vector>

#include "fileio/StreamFile.h"
#include "shared/HexText.h"
#include "transport/StreamRules.h"
#include "transport/StreamScan.h"

namespace quorvel {

namespace {

// Reads of the check: 341 packets, just under 64 KiB.
constexpr std::size_t kCheckReadBytes = 341 * kSourcePacketSize;

ProgramMapCheck refused(std::string reason, std::int64_t offset = -1) {
    return {ProgramMapCheck::State::Refused, std::move(reason), offset};
}

}  // namespace

StreamPass surveyM2ts(const std::string& m2ts, StreamSurvey& survey, const M2tsScanOptions& options,
                      StopToken& stop, ProgressSink& progress) {
    survey = StreamSurvey{};
    StreamPass pass;
    std::string why;
    StreamFile file;
    if (!file.open(m2ts, StreamFile::Access::Read, &why)) {
        logStreamRefusal(pass.lines, m2ts, why);
        return pass;
    }
    const std::int64_t size = file.size();
    if (size < 0) {
        logStreamFailure(pass.lines, "read", 0);
        return pass;
    }
    StreamRules rules(nullptr);
    StreamScan scan(options, file.handle(), size, rules, nullptr, stop, progress, pass.lines);
    pass.outcome = scan.run();
    survey = rules.tally();
    survey.size = size;
    return pass;
}

ProgramMapCheck checkFirstProgramMap(const std::string& m2ts) {
    std::string why;
    StreamFile file;
    if (!file.open(m2ts, StreamFile::Access::Read, &why)) return refused(why);
    const std::int64_t size = file.size();
    if (size < 0) return refused("cannot read its size");

    const std::int64_t packetsEnd =
        size / static_cast<std::int64_t>(kSourcePacketSize) * kSourcePacketSize;
    const std::int64_t end = std::min(packetsEnd, kProgramMapCheckLimit);
    std::vector<std::uint8_t> buffer(kCheckReadBytes);
    StreamRules rules(nullptr);
    for (std::int64_t at = 0; at < end && !rules.firstSection().found;) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), end - at));
        const std::size_t got = file.handle().readAt(buffer.data(), want, at).done;
        if (got < want) {
            return refused("cannot read it at byte " +
                           std::to_string(at + static_cast<std::int64_t>(got)));
        }
        if (at == 0 && !SourcePacket(buffer.data()).synced()) {
            return refused(
                "it is not a stream of 192-byte source packets: its first packet has no sync "
                "byte 0x47 at byte 4");
        }
        for (std::size_t p = 0; p < want && !rules.firstSection().found; p += kSourcePacketSize) {
            rules.examine(buffer.data() + p, at + static_cast<std::int64_t>(p));
        }
        at += static_cast<std::int64_t>(want);
    }
    const bool wholeFile = end == packetsEnd;
    if (!rules.firstSection().found && wholeFile) rules.finish();

    const StreamRules::FirstSection& first = rules.firstSection();
    if (first.found) {
        switch (first.verdict) {
            case ProgramMapSection::Verdict::Remark:
                return {ProgramMapCheck::State::Convertible, {}, first.offset};
            case ProgramMapSection::Verdict::Marked:
                return {ProgramMapCheck::State::AlreadyMarked, {}, first.offset};
            case ProgramMapSection::Verdict::Unusable:
                return refused("the program map section at byte " + std::to_string(first.offset) +
                                   " cannot be re-marked: " + describeSectionProblem(first.problem),
                               first.offset);
        }
    }
    if (packetsEnd == 0) return refused("it holds no whole 192-byte source packet");
    const std::string where =
        wholeFile ? "" : " in its first " + std::to_string(kProgramMapCheckLimit >> 20) + " MiB";
    if (!rules.programMapNamed()) {
        return refused("no program association section" + where + " names a program map PID");
    }
    return refused("no program map section on PID " + hexNumber(rules.programMapPid(), 4) + " follows" +
                   where);
}

}  // namespace quorvel

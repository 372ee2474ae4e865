// Stream adjuster fed arbitrary packet sequences, with the read-only survey and check of the same
// stream, which must foresee what the pass changes.
#include <cstddef>
#include <cstdint>
#include <set>

#include "FuzzSupport.h"
#include "transport/M2tsAdjuster.h"
#include "transport/StreamCheck.h"

using namespace quorvel;
using namespace quorvel::fuzz;

namespace {

constexpr const char* kTarget = "fuzz_stream";
constexpr std::size_t kPacketSize = 192;
constexpr std::size_t kSyncOffset = 4;
constexpr std::uint8_t kSync = 0x47;
constexpr std::size_t kPidOffset = 5;
constexpr std::uint16_t kPidMask = 0x1FFF;
constexpr std::uint16_t kAssociationPid = 0x0000;
constexpr std::uint16_t kVideoPid = 0x1011;
constexpr std::size_t kSectionLengthOffset = 10;
constexpr std::size_t kFirstProgramEntry = 17;
constexpr std::size_t kProgramEntrySize = 4;
constexpr std::size_t kHeaderEnd = 8;
constexpr std::size_t kAdaptationControlOffset = 7;
constexpr std::size_t kAdaptationLengthOffset = 8;
constexpr std::uint8_t kOldStreamId = 0xE0;
constexpr std::uint8_t kNewStreamId = 0xE1;

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint16_t pidOf(const std::uint8_t* packet) {
    return be16(packet + kPidOffset) & kPidMask;
}

// Every PID that a program association packet names as the program map PID: the first entry
// with a non-zero program number among the entries from byte 17 inside the section. The
// adjuster takes the first packet that has one; a stricter reading may skip a malformed packet
// and take a later one, so every packet's choice is allowed.
std::set<std::uint16_t> programMapCandidates(const ByteString& stream) {
    std::set<std::uint16_t> pids;
    for (std::size_t at = 0; at + kPacketSize <= stream.size(); at += kPacketSize) {
        const std::uint8_t* packet = stream.data() + at;
        if (pidOf(packet) != kAssociationPid) continue;
        const std::size_t sectionLength = be16(packet + kSectionLengthOffset) & 0x0FFF;
        for (std::size_t e = kFirstProgramEntry;
             e < sectionLength + 7 && e + kProgramEntrySize <= kPacketSize;
             e += kProgramEntrySize) {
            if (be16(packet + e) != 0) {
                pids.insert(be16(packet + e + 2) & kPidMask);
                break;
            }
        }
    }
    return pids;
}

// A video packet may change in exactly one way: 00 00 01 E0 at its payload start became
// 00 00 01 E1.
bool isStreamIdRemark(const std::uint8_t* before, const std::uint8_t* after) {
    const int control = (before[kAdaptationControlOffset] & 0x30) >> 4;
    std::size_t payload = 0;
    if (control == 1) {
        payload = kHeaderEnd;
    } else if (control == 3) {
        payload = kHeaderEnd + 1 + before[kAdaptationLengthOffset];
    } else {
        return false;
    }
    if (payload + 4 > kPacketSize) return false;
    for (std::size_t i = 0; i < kPacketSize; ++i) {
        if (i == payload + 3) continue;
        if (before[i] != after[i]) return false;
    }
    return before[payload] == 0 && before[payload + 1] == 0 && before[payload + 2] == 1 &&
           before[payload + 3] == kOldStreamId && after[payload + 3] == kNewStreamId;
}

// Checks which packets changed and how; returns the number of video PES starts re-marked.
std::int64_t checkChange(const ByteString& before, const ByteString& after,
                         std::int64_t& otherPacketsChanged) {
    FUZZ_CHECK(kTarget, after.size() == before.size(), "the size changed");
    const std::set<std::uint16_t> programMapPids = programMapCandidates(before);
    const std::size_t whole = before.size() / kPacketSize * kPacketSize;
    std::int64_t pesChanged = 0;
    otherPacketsChanged = 0;
    for (std::size_t at = 0; at < whole; at += kPacketSize) {
        const std::uint8_t* old = before.data() + at;
        const std::uint8_t* now = after.data() + at;
        if (ByteString(old, old + kPacketSize) == ByteString(now, now + kPacketSize)) continue;
        FUZZ_CHECK(kTarget, old[kSyncOffset] == kSync, "a packet without the sync byte changed");
        const std::uint16_t pid = pidOf(old);
        if (pid == kVideoPid && isStreamIdRemark(old, now)) {
            ++pesChanged;
            continue;
        }
        FUZZ_CHECK(kTarget, programMapPids.count(pid) != 0,
                   "packet " + std::to_string(at / kPacketSize) + " on PID " + std::to_string(pid) +
                       " changed beyond a video stream id");
        FUZZ_CHECK(kTarget, pidOf(now) == pid, "a program map packet changed its PID");
        ++otherPacketsChanged;
    }
    for (std::size_t p = whole; p < before.size(); ++p) {
        FUZZ_CHECK(kTarget, before[p] == after[p], "the trailing partial packet changed");
    }
    return pesChanged;
}

// The check of the first program map section agrees with the survey of the whole stream.
void checkFirstSection(const ProgramMapCheck& check, const StreamSurvey& survey) {
    switch (check.state) {
        case ProgramMapCheck::State::Convertible:
            FUZZ_CHECK(kTarget, check.offset == survey.firstSectionToRemark,
                       "the check's convertible section is not the survey's first");
            break;
        case ProgramMapCheck::State::AlreadyMarked:
            FUZZ_CHECK(
                kTarget,
                survey.sectionsMarked > 0 &&
                    (survey.firstSectionToRemark < 0 ||
                     survey.firstSectionToRemark > check.offset) &&
                    (survey.firstUnusableSection < 0 || survey.firstUnusableSection > check.offset),
                "the check's marked section is not the survey's first");
            break;
        case ProgramMapCheck::State::Refused:
            FUZZ_CHECK(kTarget, check.offset < 0 || check.offset == survey.firstUnusableSection,
                       "the check's refused section is not the survey's first unusable one");
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = scratchPath("00000.m2ts");
    writeWhole(path, data, size);
    const ByteString before(data, data + size);

    NeverStop stop;
    NoProgress progress;
    const M2tsScanOptions options;
    const auto surveyed = [&](StreamSurvey& into) {
        return surveyM2ts(path, into, options, stop, progress).outcome == StreamPass::Outcome::Done;
    };
    const auto converts = [&] {
        return UHD_Adjust_M2TS(path, options, stop, progress).outcome == StreamPass::Outcome::Done;
    };

    StreamSurvey survey;
    FUZZ_CHECK(kTarget, surveyed(survey), "the survey did not reach the end");
    FUZZ_CHECK(kTarget, readWhole(path) == before, "the survey changed the file");
    checkFirstSection(checkFirstProgramMap(path), survey);

    const bool converted = converts();
    const ByteString after = readWhole(path);
    std::int64_t sectionPacketsChanged = 0;
    const std::int64_t pesChanged = checkChange(before, after, sectionPacketsChanged);

    // The pass succeeds exactly when the survey found a marked video entry and no section that
    // cannot be re-marked; without a marked entry it writes nothing at all.
    const bool marked = survey.sectionsToRemark + survey.sectionsMarked > 0;
    FUZZ_CHECK(kTarget, converted == (marked && survey.sectionsUnusable == 0),
               "the pass's result disagrees with the survey");
    if (!marked) FUZZ_CHECK(kTarget, after == before, "a stream without a marked entry changed");
    FUZZ_CHECK(kTarget, pesChanged == survey.pesToRemark,
               "the pass re-marked " + std::to_string(pesChanged) +
                   " PES starts, the survey counted " + std::to_string(survey.pesToRemark));
    FUZZ_CHECK(kTarget, (sectionPacketsChanged > 0) == (survey.sectionsToRemark > 0),
               "program map packets changed against the survey's count");

    // Read again, every section the survey would re-mark is marked and every PES start behind it.
    StreamSurvey again;
    FUZZ_CHECK(kTarget, surveyed(again), "the second survey failed");
    FUZZ_CHECK(kTarget,
               again.sectionsToRemark == 0 &&
                   again.sectionsMarked == survey.sectionsMarked + survey.sectionsToRemark,
               "the survey's sections to re-mark are not what the pass marked");
    FUZZ_CHECK(kTarget,
               again.pesToRemark == 0 && again.pesMarked == survey.pesMarked + survey.pesToRemark,
               "the survey's PES starts to re-mark are not what the pass marked");
    FUZZ_CHECK(kTarget,
               again.sectionsUnusable == survey.sectionsUnusable &&
                   again.packetsWithoutSync == survey.packetsWithoutSync,
               "the pass changed what cannot be re-marked");

    // The adjuster is a function of the file's bytes: when nothing changed, a second run is
    // the first one again.
    if (after == before) return 0;

    FUZZ_CHECK(kTarget, converts() == converted,
               "a rerun gave another result");
    FUZZ_CHECK(kTarget, readWhole(path) == after, "a rerun changed the file");
    return 0;
}

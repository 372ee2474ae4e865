// Stream adjuster fed arbitrary packet sequences.
#include <cstddef>
#include <cstdint>
#include <set>

#include "FuzzSupport.h"
#include "transport/M2tsAdjuster.h"

using namespace quorvel;
using namespace quorvel::fuzz;

namespace {

constexpr const char* kTarget = "fuzz_stream";
constexpr std::size_t kPacketSize = 192;
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

void checkChange(const ByteString& before, const ByteString& after) {
    FUZZ_CHECK(kTarget, after.size() == before.size(), "the size changed");
    const std::set<std::uint16_t> programMapPids = programMapCandidates(before);
    const std::size_t whole = before.size() / kPacketSize * kPacketSize;
    for (std::size_t at = 0; at < whole; at += kPacketSize) {
        const std::uint8_t* old = before.data() + at;
        const std::uint8_t* now = after.data() + at;
        if (ByteString(old, old + kPacketSize) == ByteString(now, now + kPacketSize)) continue;
        const std::uint16_t pid = pidOf(old);
        if (programMapPids.count(pid) != 0) {
            FUZZ_CHECK(kTarget, pidOf(now) == pid, "a program map packet changed its PID");
            continue;
        }
        FUZZ_CHECK(kTarget, pid == kVideoPid,
                   "packet " + std::to_string(at / kPacketSize) + " on PID " +
                       std::to_string(pid) + " changed");
        FUZZ_CHECK(kTarget, isStreamIdRemark(old, now),
                   "video packet " + std::to_string(at / kPacketSize) +
                       " changed beyond its stream id");
    }
    for (std::size_t p = whole; p < before.size(); ++p) {
        FUZZ_CHECK(kTarget, before[p] == after[p], "the trailing partial packet changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = scratchPath("00000.m2ts");
    writeWhole(path, data, size);
    const ByteString before(data, data + size);

    Harness first;
    FUZZ_CHECK(kTarget, UHD_Adjust_M2TS(first.context, path), "the scan did not reach the end");
    const ByteString after = readWhole(path);
    checkChange(before, after);

    // The adjuster is a function of the file's bytes: when nothing changed, a second run is
    // the first one again.
    if (after == before) return 0;

    Harness second;
    FUZZ_CHECK(kTarget, UHD_Adjust_M2TS(second.context, path), "a rerun did not reach the end");
    FUZZ_CHECK(kTarget, readWhole(path) == after, "a rerun changed the file");
    return 0;
}

#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "transport/Crc32Mpeg2.h"
#include "transport/ProgramMapSection.h"
#include "transport/SourcePacket.h"
#include "transport/StreamCheck.h"

// The conversion rules of a stream, one source packet at a time, shared by the pass that writes
// (UHD_Adjust_M2TS) and the looks that only read (surveyM2ts, checkFirstProgramMap), so that
// what is counted is what is written.
namespace quorvel {

inline constexpr std::uint16_t kPatPid = 0x0000;

// Where the bytes that a pass changes go.
class PacketWrites {
  public:
    // Writes `size` bytes at `offset`; false when the write failed (the writer says why).
    virtual bool write(const std::uint8_t* bytes, std::size_t size, std::int64_t offset) = 0;

  protected:
    ~PacketWrites() = default;
};

// Told of each change a pass makes, before its writes are handed on: the undo record's side.
class StreamChanges {
  public:
    // The video PES start in the packet at `packetOffset` gets stream id 0xE1.
    virtual void pesRemarked(std::int64_t packetOffset) = 0;
    // `section` (its collected packets, and the rebuild that buildPacket gives) is rewritten.
    virtual void sectionRemarked(const ProgramMapSection& section) = 0;

  protected:
    ~StreamChanges() = default;
};

class StreamRules {
  public:
    // The first program map section judged, whatever the verdict.
    struct FirstSection {
        bool found = false;
        ProgramMapSection::Verdict verdict = ProgramMapSection::Verdict::Unusable;
        std::int64_t offset = -1;
        SectionProblem problem;
    };

    // `writes`: where the changes go; nullptr to count them only.
    explicit StreamRules(PacketWrites* writes) : m_writes(writes) {}
    // Each change made is told to `changes` first (nullptr: to nobody).
    void tellChangesTo(StreamChanges* changes) { m_changes = changes; }

    // One 192-byte packet found at `offset`. False when a write failed.
    bool examine(const std::uint8_t* bytes, std::int64_t offset);
    // `packets` whole packets from `offset` known to be zeros (a hole) and so not read: none of
    // them carries the sync byte.
    void passOverZeros(std::int64_t offset, std::int64_t packets);
    // The end of the file: a section still being collected is never whole.
    void finish();

    // What was found so far (the size is left to the caller).
    const StreamSurvey& tally() const { return m_tally; }
    // A program map section has given the video entry 0x24 (re-marked or found so): from here
    // on video PES starts are re-marked.
    bool videoMarked() const { return m_videoMarked; }
    bool programMapNamed() const { return m_programMapPid != kPatPid; }
    std::uint16_t programMapPid() const { return m_programMapPid; }
    const FirstSection& firstSection() const { return m_first; }

    // Called once, for the first section that cannot be re-marked: its offset and the reason.
    std::function<void(std::int64_t offset, const std::string& reason)> onFirstUnusable;

  private:
    void programAssociation(const SourcePacket& packet);
    bool programMap(const SourcePacket& packet, std::int64_t offset);
    bool settleSection();
    bool writeSection();
    void judged(ProgramMapSection::Verdict verdict, std::int64_t offset,
                const SectionProblem& problem = {});
    void unusable(std::int64_t offset, const SectionProblem& problem);
    bool video(const SourcePacket& packet, std::int64_t offset);
    bool remarkPes(const SourcePacket& packet, std::size_t start, std::int64_t offset);

    static constexpr std::array<std::uint8_t, 3> kPesStartCode{0x00, 0x00, 0x01};
    static constexpr std::size_t kPesStreamIdOffset = 3;
    static constexpr std::uint8_t kStreamIdHevcVideo = 0xE0;
    static constexpr std::uint8_t kStreamIdUhdVideo = 0xE1;

    PacketWrites* const m_writes;
    StreamChanges* m_changes = nullptr;
    std::uint16_t m_programMapPid = kPatPid;
    ProgramMapSection m_section;
    // Continuation packets of a section already found unusable belong to it.
    bool m_discarding = false;
    bool m_videoMarked = false;
    StreamSurvey m_tally;
    FirstSection m_first;
};

// The hot path: for almost every packet a sync byte, a PID compare or two, and for video
// packets a look at the payload's first bytes.
inline bool StreamRules::examine(const std::uint8_t* bytes, std::int64_t offset) {
    const SourcePacket packet(bytes);
    if (!packet.synced()) {
        // Not a transport packet where one should be: never read as one, never written.
        if (m_tally.packetsWithoutSync++ == 0) m_tally.firstPacketWithoutSync = offset;
        return true;
    }
    const std::uint16_t pid = packet.pid();
    if (pid == m_programMapPid) {
        if (m_programMapPid != kPatPid) return programMap(packet, offset);
        programAssociation(packet);
        return true;
    }
    if (pid == kVideoPid) return video(packet, offset);
    return true;
}

inline bool StreamRules::video(const SourcePacket& packet, std::int64_t offset) {
    // Until the program map says 0x24, a changed stream id would contradict it.
    if (!m_videoMarked) return true;
    const std::size_t start = packet.payloadOffset();
    if (kSourcePacketSize - start <= kPesStreamIdOffset) return true;
    const std::uint8_t* payload = packet.bytes() + start;
    if (!std::equal(kPesStartCode.begin(), kPesStartCode.end(), payload)) return true;
    const std::uint8_t id = payload[kPesStreamIdOffset];
    if (id == kStreamIdUhdVideo) {
        ++m_tally.pesMarked;
        return true;
    }
    // Only E0 changes: an already re-marked start no longer matches, so a rerun writes nothing.
    return id != kStreamIdHevcVideo || remarkPes(packet, start, offset);
}

}  // namespace quorvel

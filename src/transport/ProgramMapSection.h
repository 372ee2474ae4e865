#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/Crc32Mpeg2.h"
#include "transport/SourcePacket.h"

// A program map section collected from the source packets that carry it, re-marked for the UHD
// video stream and split back into the same packets.
namespace quorvel {

inline constexpr std::uint8_t kProgramMapTableId = 0x02;
// The fixed fields behind section_length (program number .. program info length) and the CRC.
inline constexpr int kMinProgramMapSectionLength = 13;
inline constexpr int kMaxSectionLength = 1021;

// Offsets in the collected section, which begins with the whole first packet.
inline constexpr std::size_t kTableIdOffset = 9;
inline constexpr std::size_t kSectionLengthOffset = 10;
inline constexpr std::size_t kProgramInfoLengthOffset = 19;
inline constexpr std::size_t kFirstEntryOffset = 21;
inline constexpr std::uint16_t kTwelveBitMask = 0x0FFF;
// Section length + this many bytes: the CRC field's offset; + kSectionTail: the whole section.
inline constexpr std::size_t kCrcFieldBase = 8;
inline constexpr std::size_t kSectionTail = 12;
inline constexpr std::size_t kCrcSize = 4;

// An elementary stream entry at e: stream type at e, PID at e+1, ES info length at e+3, the
// descriptors from e+5; the first descriptor's data begin at e+7.
inline constexpr std::size_t kEntryPidOffset = 1;
inline constexpr std::size_t kEntryInfoLengthOffset = 3;
inline constexpr std::size_t kEntryHeaderSize = 5;
inline constexpr std::size_t kEntryIdentifierOffset = 7;
inline constexpr std::size_t kIdentifierSize = 4;
// Descriptor tag, length and the four identifier bytes.
inline constexpr std::size_t kMinInfoLengthForIdentifier = 6;

inline constexpr std::uint16_t kVideoPid = 0x1011;
inline constexpr std::uint8_t kStreamTypeHevc = 0x06;
inline constexpr std::uint8_t kStreamTypeHevcUhd = 0x24;
inline constexpr std::array<std::uint8_t, 4> kHevcIdentifier{'H', 'E', 'V', 'C'};
inline constexpr std::array<std::uint8_t, 4> kHdmvIdentifier{'H', 'D', 'M', 'V'};
inline constexpr std::uint8_t kStuffingByte = 0xFF;

// Why the packets of a program map section cannot be re-marked.
enum class SectionFault : std::uint8_t {
    None,
    FirstWithoutPayload,   // the opening packet has adaptation field control 0 or 2
    FirstWithAdaptation,   // the opening packet carries an adaptation field
    PointerField,          // the section does not begin right behind the pointer field
    TableId,               // detail: the table id found
    SectionLength,         // detail: the section length found
    ContinuationNotPlain,  // a continuation packet is not payload only
    Interrupted,           // a new section begins before this one is whole
    EndOfFile,             // the file ends before the section is whole
    Orphan,                // a continuation packet with no section to continue
    CrcFails,              // the stored CRC fits neither the section nor any state of its re-mark
    EntriesOverrun,        // the program info or an entry runs past the CRC field
    NoVideoEntry,          // no entry for PID 0x1011
    VideoStreamType,       // detail: the video entry's stream type, neither 0x06 nor 0x24
};

struct SectionProblem {
    SectionFault fault = SectionFault::None;
    unsigned detail = 0;
};

// The problem in words, lower case and without a final full stop, e.g. "its CRC-32 does not
// hold".
std::string describeSectionProblem(const SectionProblem& problem);

class ProgramMapSection {
  public:
    // The largest section (1021 + 3 bytes behind offset 9) fits in the first packet and five
    // continuation packets.
    static constexpr std::size_t kMaxPackets = 6;
    static constexpr std::size_t kCapacity =
        kSourcePacketSize + (kMaxPackets - 1) * kContinuationPayloadSize;

    enum class Verdict {
        Remark,    // the video entry reads 0x06: the buffer now holds the re-marked section
        Marked,    // the video entry already reads 0x24 and the CRC holds
        Unusable,  // see the problem
    };
    struct Assessment {
        Verdict verdict = Verdict::Unusable;
        SectionProblem problem;
        bool identifierChanges = false;  // Remark: "HEVC" becomes "HDMV"
    };

    // Offers a packet with the start bit, found at `offset` of the file, to open a section. It
    // is taken only when laid out as the muxer writes it: no adaptation field, pointer field 0,
    // table id 0x02, a section length of 13..1021. Otherwise nothing is collected and the
    // problem says why.
    SectionProblem open(const SourcePacket& packet, std::int64_t offset);
    // Offers the next packet of the section being collected; it must carry a payload only.
    // Otherwise nothing is taken and the problem says why.
    SectionProblem append(const SourcePacket& packet, std::int64_t offset);

    // For a complete section: finds the first entry of PID 0x1011 and judges it. With stream
    // type 0x06 the entry is re-marked (0x24, "HEVC" -> "HDMV") and the new CRC stored. A 0x24
    // entry whose CRC holds is marked already. Any other section must be one that a rewrite
    // left part way, whatever pieces of it reached the disk: its stored CRC, byte by byte, is
    // that of the section before the re-mark or after it. It is rewritten whole.
    // A muxer repeats one section over and over: one whose bytes (table id through CRC) equal
    // those of the section judged before is given that section's assessment and re-marked bytes
    // without computing a CRC again.
    Assessment remarkVideoEntry();

    // Packet j (0-based) of the rewritten section: the first one as collected; each later one
    // with its own TP_extra_header, the first packet's transport header with the start bit
    // cleared and its own continuity counter, then its part of the section. Section bytes
    // behind the CRC are 0xFF.
    void buildPacket(std::size_t j, std::uint8_t* out) const;

    // Where the re-marked stream type lies: the packet (0-based) and the offset in it.
    std::size_t typePacket() const;
    std::size_t typeOffsetInPacket() const;

    std::size_t packetCount() const { return m_packets; }
    // Packet j (0-based) as it was collected, before any re-mark.
    const std::uint8_t* collectedPacket(std::size_t j) const { return m_collected[j].data(); }
    std::int64_t packetOffset(std::size_t j) const { return m_offsets[j]; }
    bool collecting() const { return m_packets != 0; }
    bool complete() const { return collecting() && m_length >= sectionLength() + kSectionTail; }
    void clear() {
        m_packets = 0;
        m_length = 0;
    }

    // The section length of the collected section (low 12 bits at offsets 10-11).
    std::size_t sectionLength() const;

  private:
    struct EntryWalk {
        bool fits = true;       // every entry ends inside the section, before the CRC field
        std::size_t entry = 0;  // offset of the first entry of PID 0x1011; 0 when none
        std::size_t infoLength = 0;
    };
    EntryWalk walkEntries() const;
    // Whether the section is one this conversion writes, found as before, after, or part way
    // through its rebuild, and what the rebuild does with the video entry's identifier.
    enum class Rebuild { NotOurs, ToHdmv, KeepIdentifier };
    Rebuild judgeRebuild(const EntryWalk& walk, std::uint32_t stored);
    Assessment judge();
    std::uint32_t sectionCrc() const;
    void remember(const SourcePacket& packet, std::int64_t offset);

    // The section judged last: its bytes from the table id through the CRC field as collected
    // (up to `end` in the buffer), its assessment, and, for a re-mark, the buffer's bytes from
    // the table id to m_length after it. Every verdict is a function of exactly those collected
    // bytes.
    struct Judged {
        std::size_t end = 0;  // 0: none yet
        std::size_t length = 0;
        std::array<std::uint8_t, kCapacity> collected{};
        Assessment assessment;
        std::array<std::uint8_t, kCapacity> remarked{};
        std::size_t typeOffset = 0;
    };

    std::array<std::uint8_t, kCapacity> m_buffer{};
    std::size_t m_length = 0;
    std::size_t m_packets = 0;
    std::size_t m_typeOffset = 0;
    std::array<std::int64_t, kMaxPackets> m_offsets{};
    std::array<std::uint8_t, kMaxPackets> m_counters{};
    std::array<std::array<std::uint8_t, kExtraHeaderSize>, kMaxPackets> m_extraHeaders{};
    std::array<std::array<std::uint8_t, kSourcePacketSize>, kMaxPackets> m_collected{};
    Judged m_judged;
};

}  // namespace quorvel

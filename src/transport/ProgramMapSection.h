#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

class ProgramMapSection {
  public:
    // The largest section (1021 + 3 bytes behind offset 9) fits in the first packet and five
    // continuation packets.
    static constexpr std::size_t kMaxPackets = 6;
    static constexpr std::size_t kCapacity =
        kSourcePacketSize + (kMaxPackets - 1) * kContinuationPayloadSize;

    enum class Step {
        Ignored,     // the packet is not part of a section this class will rewrite
        Collecting,  // taken; the section needs more packets
        Complete,    // taken; the section is whole
    };

    // Offers the next packet on the program map PID, found at `offset` of the file.
    // A section is only taken when it is laid out as the muxer writes it: it opens on a packet
    // with the start bit, pointer field 0 and no adaptation field; table id 0x02; a section
    // length of 13..1021; continuation packets with a payload only. Anything else drops the
    // section being collected, so it is left alone.
    Step add(const SourcePacket& packet, std::int64_t offset);

    // For a complete section: re-marks the video entry (stream type 0x06 -> 0x24, "HEVC" ->
    // "HDMV") and stores the new CRC. False, and nothing to write, when there is no such entry,
    // when the entry walk would leave the section, or when the stored CRC fits neither the
    // section as it is nor the section with the entry already re-marked (the state that a rewrite
    // cut short between its packets leaves behind).
    bool remarkVideoEntry(const CrcTable& table);

    // Packet j (0-based) of the rewritten section: the first one as collected, each later one
    // with the first packet's 8 header bytes, start bit cleared and its own continuity counter.
    // Section bytes behind the CRC are 0xFF.
    void buildPacket(std::size_t j, std::uint8_t* out) const;

    // Where the re-marked stream type lies: the packet (0-based) and the offset in it.
    std::size_t typePacket() const;
    std::size_t typeOffsetInPacket() const;

    std::size_t packetCount() const { return m_packets; }
    std::int64_t packetOffset(std::size_t j) const { return m_offsets[j]; }
    bool collecting() const { return m_packets != 0; }
    void clear() {
        m_packets = 0;
        m_length = 0;
    }

    // The section length of the collected section (low 12 bits at offsets 10-11).
    std::size_t sectionLength() const;

  private:
    bool opensSection(const SourcePacket& packet) const;
    bool complete() const { return m_length >= sectionLength() + kSectionTail; }
    std::uint32_t sectionCrc(const CrcTable& table) const;

    std::array<std::uint8_t, kCapacity> m_buffer{};
    std::size_t m_length = 0;
    std::size_t m_packets = 0;
    std::size_t m_typeOffset = 0;
    std::array<std::int64_t, kMaxPackets> m_offsets{};
    std::array<std::uint8_t, kMaxPackets> m_counters{};
};

}  // namespace quorvel

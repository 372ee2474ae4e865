#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <utility>
#include <vector>

#include "shared/ByteString.h"

// Small builders for Blu-ray transport streams: 192-byte source packets, program association
// and program map sections with a correct CRC, and a stream that collects packets and knows
// where each one landed.
namespace quorvel::test {

inline constexpr std::uint16_t kTestPmtPid = 0x0100;
inline constexpr std::uint16_t kTestVideoPid = 0x1011;
inline constexpr std::uint16_t kTestAudioPid = 0x1100;
inline constexpr std::uint16_t kNullPid = 0x1FFF;

struct PacketHeader {
    std::uint16_t pid = kNullPid;
    bool start = false;
    int adaptationControl = 1;  // 1 payload only, 2 adaptation field only, 3 both
    int counter = 0;            // continuity counter, 0..15
    std::uint32_t arrival = 0;  // the TP_extra_header's 32 bits
};

// A 192-byte source packet: the header, then `body` from offset 8, then 0xFF up to the end.
ByteString sourcePacket(const PacketHeader& header, const ByteString& body = {});

// The PID of the 192-byte source packet that starts at `packet`.
inline std::uint16_t packetPid(const std::uint8_t* packet) {
    return static_cast<std::uint16_t>(((packet[5] & 0x1F) << 8) | packet[6]);
}

// A video packet whose payload starts with `payload`. With adaptation field control 3,
// `adaptationLength` is the adaptation field length (its bytes are 0xFF stuffing).
ByteString videoPacket(const PacketHeader& header, const ByteString& payload,
                       std::size_t adaptationLength = 0);

// The start of a video PES header, stream id `streamId` (0xE0 as the muxer writes it).
ByteString pesStart(std::uint8_t streamId = 0xE0);

struct StreamEntry {
    std::uint8_t streamType = 0x06;
    std::uint16_t pid = kTestVideoPid;
    ByteString descriptors;
};

// The registration descriptor the muxer gives its HEVC stream: tag 0x05, length, identifier,
// then `extra` bytes.
ByteString registrationDescriptor(const char* identifier = "HEVC", const ByteString& extra = {});

// Complete sections, table id through CRC.
ByteString patSection(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& programs);
ByteString pmtSection(const std::vector<StreamEntry>& entries, const ByteString& programInfo = {},
                      std::uint16_t programNumber = 1, std::uint16_t pcrPid = 0x1001);
// Sets the CRC field (the last 4 bytes) of a section to its CRC-32/MPEG-2.
void fixSectionCrc(ByteString& section);
// True when the CRC over the whole section, CRC field included, is 0.
bool sectionCrcValid(const ByteString& section);

// A section split into packets on `pid`: the first with the start bit and pointer field 0,
// the others carrying 184 section bytes each; stuffing 0xFF behind the section.
std::vector<ByteString> sectionPackets(const ByteString& section, std::uint16_t pid,
                                       int firstCounter = 0, std::uint32_t arrival = 0);

// Reassembles the section that begins at byte 9 of `packets[0]` and continues at byte 8 of the
// others, `sectionBytes` long (0 = as long as its section length says).
ByteString sectionFromPackets(const std::vector<ByteString>& packets, std::size_t sectionBytes = 0);

class StreamBuilder {
  public:
    // Appends one packet; returns its file offset.
    std::int64_t add(const ByteString& packet);
    // Appends packets one after the other; returns their offsets.
    std::vector<std::int64_t> add(const std::vector<ByteString>& packets);
    std::int64_t addPat(std::uint16_t pmtPid = kTestPmtPid);
    std::int64_t addPat(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& programs);
    std::vector<std::int64_t> addSection(const ByteString& section,
                                         std::uint16_t pid = kTestPmtPid);
    std::int64_t addVideo(const ByteString& payload, bool start = true, int adaptationControl = 1,
                          std::size_t adaptationLength = 0);
    std::int64_t addNull(std::size_t count = 1);

    // The next continuity counter on `pid` (each call advances it).
    int nextCounter(std::uint16_t pid);
    // Arrival stamps grow by this much per packet.
    std::uint32_t nextArrival();

    const ByteString& bytes() const { return m_bytes; }
    std::int64_t size() const { return m_flushed + static_cast<std::int64_t>(m_bytes.size()); }
    // Writes what has been built so far and forgets it; offsets keep counting. For streams too
    // large to hold in memory.
    void flushTo(std::ostream& out);

  private:
    ByteString m_bytes;
    std::int64_t m_flushed = 0;
    std::map<std::uint16_t, int> m_counters;
    std::uint32_t m_arrival = 0x1000;
};

}  // namespace quorvel::test

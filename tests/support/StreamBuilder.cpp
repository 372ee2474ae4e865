#include "support/StreamBuilder.h"

#include <algorithm>
#include <stdexcept>

#include "transport/Crc32Mpeg2.h"

namespace quorvel::test {

namespace {

constexpr std::size_t kPacketSize = 192;
constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kSync = 0x47;
constexpr std::uint32_t kArrivalStep = 0x2000;

void putBe16(ByteString& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// Table id, the syntax bits with section length, then `body` and room for the CRC.
ByteString wrapSection(std::uint8_t tableId, std::uint16_t idField, const ByteString& body) {
    ByteString section{tableId};
    const std::size_t length = 5 + body.size() + 4;  // id field, version, numbers; body; CRC
    putBe16(section, 0xB000 | static_cast<unsigned>(length));
    putBe16(section, idField);
    section.push_back(0xC1);  // version 0, current
    section.push_back(0x00);  // section number
    section.push_back(0x00);  // last section number
    section.insert(section.end(), body.begin(), body.end());
    section.insert(section.end(), 4, 0);
    fixSectionCrc(section);
    return section;
}

}  // namespace

ByteString sourcePacket(const PacketHeader& header, const ByteString& body) {
    if (body.size() > kPacketSize - kHeaderSize) throw std::invalid_argument("packet body too big");
    ByteString packet(kPacketSize, 0xFF);
    packet[0] = static_cast<std::uint8_t>(header.arrival >> 24);
    packet[1] = static_cast<std::uint8_t>(header.arrival >> 16);
    packet[2] = static_cast<std::uint8_t>(header.arrival >> 8);
    packet[3] = static_cast<std::uint8_t>(header.arrival);
    packet[4] = kSync;
    packet[5] = static_cast<std::uint8_t>((header.start ? 0x40 : 0) | ((header.pid >> 8) & 0x1F));
    packet[6] = static_cast<std::uint8_t>(header.pid);
    packet[7] =
        static_cast<std::uint8_t>(((header.adaptationControl & 3) << 4) | (header.counter & 0x0F));
    std::copy(body.begin(), body.end(), packet.begin() + kHeaderSize);
    return packet;
}

ByteString videoPacket(const PacketHeader& header, const ByteString& payload,
                       std::size_t adaptationLength) {
    ByteString body;
    if (header.adaptationControl == 3 || header.adaptationControl == 2) {
        body.push_back(static_cast<std::uint8_t>(adaptationLength));
        if (adaptationLength > 0) {
            body.push_back(0x00);  // adaptation flags
            body.insert(body.end(), adaptationLength - 1, 0xFF);
        }
    }
    body.insert(body.end(), payload.begin(), payload.end());
    if (body.size() > kPacketSize - kHeaderSize) body.resize(kPacketSize - kHeaderSize);
    return sourcePacket(header, body);
}

ByteString pesStart(std::uint8_t streamId) {
    return ByteString{0x00, 0x00, 0x01, streamId, 0x00, 0x00, 0x80,
                      0x80, 0x05, 0x21, 0x00,     0x01, 0x00, 0x01};
}

ByteString registrationDescriptor(const char* identifier, const ByteString& extra) {
    ByteString descriptor{0x05, 0x00};
    const ByteString id = asciiBytes(identifier);
    descriptor.insert(descriptor.end(), id.begin(), id.end());
    descriptor.insert(descriptor.end(), extra.begin(), extra.end());
    descriptor[1] = static_cast<std::uint8_t>(descriptor.size() - 2);
    return descriptor;
}

ByteString patSection(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& programs) {
    ByteString body;
    for (const auto& [number, pid] : programs) {
        putBe16(body, number);
        putBe16(body, 0xE000 | pid);
    }
    return wrapSection(0x00, 0x0001, body);
}

ByteString pmtSection(const std::vector<StreamEntry>& entries, const ByteString& programInfo,
                      std::uint16_t programNumber, std::uint16_t pcrPid) {
    ByteString body;
    putBe16(body, 0xE000 | pcrPid);
    putBe16(body, 0xF000 | static_cast<unsigned>(programInfo.size()));
    body.insert(body.end(), programInfo.begin(), programInfo.end());
    for (const StreamEntry& entry : entries) {
        body.push_back(entry.streamType);
        putBe16(body, 0xE000 | entry.pid);
        putBe16(body, 0xF000 | static_cast<unsigned>(entry.descriptors.size()));
        body.insert(body.end(), entry.descriptors.begin(), entry.descriptors.end());
    }
    return wrapSection(0x02, programNumber, body);
}

void fixSectionCrc(ByteString& section) {
    const std::uint32_t crc = crc32Mpeg2(section.data(), section.size() - 4);
    const std::size_t at = section.size() - 4;
    for (int i = 0; i < 4; ++i) {
        section[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
}

bool sectionCrcValid(const ByteString& section) {
    return crc32Mpeg2(section) == 0;
}

std::vector<ByteString> sectionPackets(const ByteString& section, std::uint16_t pid,
                                       int firstCounter, std::uint32_t arrival) {
    std::vector<ByteString> packets;
    ByteString first{0x00};  // pointer field
    const std::size_t firstPart = std::min(section.size(), kPacketSize - kHeaderSize - 1);
    first.insert(first.end(), section.begin(), section.begin() + static_cast<long>(firstPart));
    packets.push_back(sourcePacket({pid, true, 1, firstCounter & 0x0F, arrival}, first));
    int counter = firstCounter;
    for (std::size_t at = firstPart; at < section.size(); at += kPacketSize - kHeaderSize) {
        const std::size_t part = std::min(section.size() - at, kPacketSize - kHeaderSize);
        const ByteString body(section.begin() + static_cast<long>(at),
                              section.begin() + static_cast<long>(at + part));
        ++counter;
        arrival += kArrivalStep;
        packets.push_back(sourcePacket({pid, false, 1, counter & 0x0F, arrival}, body));
    }
    return packets;
}

ByteString sectionFromPackets(const std::vector<ByteString>& packets, std::size_t sectionBytes) {
    ByteString joined(packets.at(0).begin() + 9, packets.at(0).end());
    for (std::size_t i = 1; i < packets.size(); ++i) {
        joined.insert(joined.end(), packets[i].begin() + kHeaderSize, packets[i].end());
    }
    if (sectionBytes == 0) sectionBytes = 3 + (((joined[1] << 8) | joined[2]) & 0x0FFF);
    joined.resize(std::min(sectionBytes, joined.size()));
    return joined;
}

std::int64_t StreamBuilder::add(const ByteString& packet) {
    const std::int64_t offset = size();
    m_bytes.insert(m_bytes.end(), packet.begin(), packet.end());
    return offset;
}

std::vector<std::int64_t> StreamBuilder::add(const std::vector<ByteString>& packets) {
    std::vector<std::int64_t> offsets;
    for (const ByteString& packet : packets) offsets.push_back(add(packet));
    return offsets;
}

std::int64_t StreamBuilder::addPat(std::uint16_t pmtPid) {
    return addPat({{1, pmtPid}});
}

std::int64_t StreamBuilder::addPat(
    const std::vector<std::pair<std::uint16_t, std::uint16_t>>& programs) {
    ByteString body{0x00};
    const ByteString section = patSection(programs);
    body.insert(body.end(), section.begin(), section.end());
    return add(sourcePacket({0x0000, true, 1, nextCounter(0x0000), nextArrival()}, body));
}

std::vector<std::int64_t> StreamBuilder::addSection(const ByteString& section, std::uint16_t pid) {
    std::vector<ByteString> packets = sectionPackets(section, pid, 0, nextArrival());
    for (ByteString& packet : packets) {
        packet[7] = static_cast<std::uint8_t>((packet[7] & 0xF0) | nextCounter(pid));
    }
    return add(packets);
}

std::int64_t StreamBuilder::addVideo(const ByteString& payload, bool start, int adaptationControl,
                                     std::size_t adaptationLength) {
    const PacketHeader header{kTestVideoPid, start, adaptationControl, nextCounter(kTestVideoPid),
                              nextArrival()};
    return add(videoPacket(header, payload, adaptationLength));
}

std::int64_t StreamBuilder::addNull(std::size_t count) {
    const std::int64_t first = size();
    for (std::size_t i = 0; i < count; ++i) {
        add(sourcePacket({kNullPid, false, 1, 0, nextArrival()}, {}));
    }
    return first;
}

int StreamBuilder::nextCounter(std::uint16_t pid) {
    int& counter = m_counters[pid];
    const int value = counter;
    counter = (counter + 1) & 0x0F;
    return value;
}

std::uint32_t StreamBuilder::nextArrival() {
    m_arrival += kArrivalStep;
    return m_arrival;
}

void StreamBuilder::flushTo(std::ostream& out) {
    out.write(reinterpret_cast<const char*>(m_bytes.data()),
              static_cast<std::streamsize>(m_bytes.size()));
    m_flushed += static_cast<std::int64_t>(m_bytes.size());
    m_bytes.clear();
}

}  // namespace quorvel::test

#pragma once

// Byte builders and a job context for the navigation adjuster tests.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

#include "app/JobContext.h"
#include "app/StatusLog.h"
#include "fileio/BigEndian.h"
#include "navigation/ClipInfoAdjuster.h"
#include "shared/SharedState.h"
#include "support/TestSupport.h"

namespace quorvel::test::nav {

inline void append(ByteString& out, const ByteString& more) {
    out.insert(out.end(), more.begin(), more.end());
}

inline void putAt(ByteString& out, std::size_t offset, const ByteString& bytes) {
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
}

inline void put32(ByteString& out, std::size_t offset, std::uint32_t value) {
    putAt(out, offset, be32ToBytes(static_cast<std::int32_t>(value)));
}

inline void put16(ByteString& out, std::size_t offset, std::uint16_t value) {
    putAt(out, offset, be16ToBytes(static_cast<std::int16_t>(value)));
}

// `count` bytes of a recognisable, mostly non-zero pattern, so that a stray write shows up.
inline ByteString filler(std::size_t count, std::uint8_t seed) {
    ByteString bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + 1);
    }
    return bytes;
}

// The 60-byte UHD extension block: HDR form with the given values, or the non-HDR form.
inline ByteString uhdExtension(bool hdr, std::int16_t maxLum = 1000, std::int16_t minLum = 50,
                               std::int16_t maxCll = 1000, std::int16_t maxFall = 400) {
    ByteString block = {0x00, 0x00, 0x00, 0x38, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01,
                        0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x24,
                        0x00, 0x00, 0x00, 0x20, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};
    if (!hdr) {
        block.resize(60, 0x00);
        return block;
    }
    append(block, {0x33, 0xC2, 0x86, 0xC4, 0x1D, 0x4C, 0x0B, 0xB8, 0x84, 0xD0, 0x3E, 0x80, 0x3D,
                   0x13, 0x40, 0x42});
    append(block, be16ToBytes(maxLum));
    append(block, be16ToBytes(minLum));
    append(block, be16ToBytes(maxCll));
    append(block, be16ToBytes(maxFall));
    return block;
}

// The fixed 36-byte UHD index extension block.
inline ByteString uhdIndexBlock() {
    return {0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01,
            0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x0C,
            0x00, 0x00, 0x00, 0x08, 0x51, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
}

// A play item of a synthetic playlist.
struct PlayItem {
    std::uint8_t flags = 0x01;  // high nibble set: multi-angle
    std::uint8_t angles = 1;    // written at I+34 for a multi-angle item
    std::uint8_t videoStreams = 1;
    std::uint8_t codingType = 0x06;
    std::uint8_t format = 0x61;
    // Length after the length field; 0 means "just enough for the stream table plus some".
    std::uint16_t length = 0;
    // The clip it plays; further angles play the clips numbered after it.
    const char* clip = "00000";

    std::size_t tableOffset() const { return (flags & 0xF0) != 0 ? 36 + 10 * (angles - 1) : 34; }
};

struct Playlist {
    ByteString bytes;
    std::vector<std::size_t> items;   // I of each play item
    std::vector<std::size_t> tables;  // S of each play item
};

inline constexpr std::size_t kNavigationHeaderSize = 40;
inline constexpr std::size_t kPlayListAddress = 0x3A;

// Sets the length field of the block at `start` to cover the bytes up to `end`.
inline void closeBlock(ByteString& out, std::size_t start, std::size_t end) {
    put32(out, start, static_cast<std::uint32_t>(end - start - 4));
}

// Header ("MPLS0200", P = 0x3A), app info, play list with the given items and a mark block of 16
// bytes; `extension` (when not empty) is appended as extension data.
inline Playlist buildPlaylist(const std::vector<PlayItem>& items,
                              const ByteString& extension = {}) {
    Playlist pl;
    ByteString& b = pl.bytes;
    b = filler(kPlayListAddress + 10, 0x10);
    putAt(b, 0, asciiBytes("MPLS0200"));
    put32(b, 8, kPlayListAddress);
    put32(b, 16, 0);
    closeBlock(b, kNavigationHeaderSize, kPlayListAddress);
    put16(b, kPlayListAddress + 6, static_cast<std::uint16_t>(items.size()));
    for (const PlayItem& item : items) {
        const std::size_t start = b.size();
        const std::size_t table = start + item.tableOffset();
        const std::size_t length = item.length != 0 ? item.length : item.tableOffset() + 46;
        append(b, filler(2 + length, static_cast<std::uint8_t>(start)));
        put16(b, start, static_cast<std::uint16_t>(length));
        // The clip of the item, and of angle n the clip numbered n after it.
        const auto clipName = [&](std::size_t at, int angle) {
            char name[16];
            std::snprintf(name, sizeof name, "%05d", std::atoi(item.clip) + angle);
            if (at + 5 <= b.size()) putAt(b, at, asciiBytes(name));
        };
        clipName(start + 2, 0);
        b[start + 12] = item.flags;
        if ((item.flags & 0xF0) != 0) {
            b[start + 34] = item.angles;
            for (int angle = 1; angle < item.angles; ++angle) {
                clipName(start + 36 + 10 * (angle - 1), angle);
            }
        }
        if (table + 28 < b.size()) {
            b[table + 4] = item.videoStreams;
            b[table + 27] = item.codingType;
            b[table + 28] = item.format;
        }
        pl.items.push_back(start);
        pl.tables.push_back(table);
    }
    closeBlock(b, kPlayListAddress, b.size());
    put32(b, 12, static_cast<std::uint32_t>(b.size()));
    append(b, filler(16, 0xE0));
    closeBlock(b, b.size() - 16, b.size());
    if (!extension.empty()) {
        put32(b, 16, static_cast<std::uint32_t>(b.size()));
        append(b, extension);
    }
    return pl;
}

struct ClipStream {
    std::uint16_t pid = 0x1011;
    std::uint8_t codingType = 0x06;
    std::uint8_t format = 0x61;
    std::uint8_t infoLength = 0x15;
};

struct Clip {
    ByteString bytes;
    std::vector<std::size_t> entries;  // E of each stream entry
};

inline constexpr std::size_t kSequenceInfoAddress = 0x30;
inline constexpr std::size_t kProgramInfoAddress = 0x34;

// Header ("HDMV0200"), clip info, empty sequence info, program information (Q = 0x34) with the
// given streams, and empty CPI and clip mark blocks.
inline Clip buildClip(const std::vector<ClipStream>& streams) {
    Clip clip;
    ByteString& b = clip.bytes;
    b = filler(kProgramInfoAddress + 14, 0x20);
    putAt(b, 0, asciiBytes("HDMV0200"));
    put32(b, 8, kSequenceInfoAddress);
    put32(b, 12, kProgramInfoAddress);
    put32(b, 24, 0);
    closeBlock(b, kNavigationHeaderSize, kSequenceInfoAddress);
    closeBlock(b, kSequenceInfoAddress, kProgramInfoAddress);
    b[kProgramInfoAddress + 12] = static_cast<std::uint8_t>(streams.size());
    for (const ClipStream& s : streams) {
        const std::size_t entry = b.size();
        append(b, filler(3 + s.infoLength, static_cast<std::uint8_t>(entry)));
        put16(b, entry, s.pid);
        b[entry + 2] = s.infoLength;
        if (s.infoLength >= 1) b[entry + 3] = s.codingType;
        if (s.infoLength >= 2) b[entry + 4] = s.format;
        if (s.infoLength >= 4) b[entry + 6] = 0x00;
        clip.entries.push_back(entry);
    }
    closeBlock(b, kProgramInfoAddress, b.size());
    put32(b, 16, static_cast<std::uint32_t>(b.size()));
    put32(b, 20, static_cast<std::uint32_t>(b.size() + 4));
    append(b, ByteString(8, 0x00));
    return clip;
}

inline constexpr std::size_t kIndexesAddress = 0x4E;
inline constexpr std::size_t kIndexSize = 120;

// "INDX0200", app info and an Indexes block (120 bytes), then `extension` (when not empty) as
// extension data; cut to `size` bytes when that is shorter.
inline ByteString buildIndex(const ByteString& extension = {}, std::size_t size = SIZE_MAX) {
    ByteString b = filler(kIndexSize, 0x40);
    putAt(b, 0, asciiBytes("INDX0200"));
    put32(b, 8, kIndexesAddress);
    put32(b, 12, 0);
    closeBlock(b, kNavigationHeaderSize, kIndexesAddress);
    closeBlock(b, kIndexesAddress, kIndexSize);
    if (!extension.empty()) {
        put32(b, 12, static_cast<std::uint32_t>(b.size()));
        append(b, extension);
    }
    if (size < b.size()) b.resize(size);
    return b;
}

// "MOBJ0200" and a block of movie objects (290 bytes); cut to `size` bytes when that is shorter.
inline ByteString buildMovieObject(std::size_t size = SIZE_MAX) {
    ByteString b = filler(290, 0x50);
    putAt(b, 0, asciiBytes("MOBJ0200"));
    put32(b, 8, 0);
    closeBlock(b, kNavigationHeaderSize, b.size());
    b.resize(std::min<std::size_t>(size, b.size()));
    return b;
}

// A job context over fresh shared state and a recording window, as the driver hands it to the
// steps. The scan's results are set by the test.
struct Harness {
    RecordingWindow window;
    SharedState state;
    StatusLog log{state.statusText, window, [] { return LocalTime{12, 34, 56}; }};
    JobContext ctx{state, log, window};
    // The scan's HDR decision for the clip.
    bool isHdr = true;

    Harness() { state.uhdExtensionData = uhdExtension(true); }

    void setHdr(bool hdr) {
        isHdr = hdr;
        state.uhdExtensionData = uhdExtension(hdr);
    }

    // The job's clip information step, with the HDR decision of the scan's chosen track.
    bool adjustClip(const std::string& clpi) {
        return adjustClipInfo(ctx, clpi, isHdr, AdjustMode::Write,
                              " Checking/Adjusting CLPI file...")
            .accepted;
    }

    std::vector<std::string> lines() const { return maskTimes(splitLines(state.statusText)); }
    void clearLog() { state.statusText.clear(); }
};

}  // namespace quorvel::test::nav

// Compares two byte strings and, on a mismatch, shows where they first differ.
#define EXPECT_SAME_BYTES(expected, actual) \
    EXPECT_TRUE((expected) == (actual))     \
        << ::quorvel::test::describeFirstDifference((expected), (actual))

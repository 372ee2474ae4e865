#pragma once

// What a conversion must make of a muxer-written disc folder, worked out from the original bytes
// alone, so that the end-to-end runs do not lean on the code they check.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "shared/ByteString.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {

// One folder the end-to-end runs convert: a real fixture or a sample written by make-sample.
struct DiscCase {
    std::string name;           // test-name suffix
    std::string folder;         // holds BDMV/; empty when absent (the test skips)
    bool hdr = false;           // the analyser reports mastering-display metadata for its video
    uint16_t maxLuminance = 0;  // cd/m2
    uint16_t minLuminance = 0;  // 0.0001 cd/m2
    uint16_t maxCll = 0;
    uint16_t maxFall = 0;
    bool sectionsInOnePacket = true;  // every program map section fits in one packet
    std::size_t clips = 1;            // clips the playlist's title is split into
    bool is2160 = true;               // the analyser reports a 3840x2160 picture: a job converts it
};

// Test output names a case by its name.
inline void PrintTo(const DiscCase& disc, std::ostream* os) {
    *os << disc.name;
}

// The fixture folders (their HDR values read from the mediainfo.txt beside them) and the samples.
std::vector<DiscCase> allDiscCases();
// Those of allDiscCases that a job converts, and those it refuses (a picture other than 2160p).
std::vector<DiscCase> convertibleDiscCases();
std::vector<DiscCase> refusedDiscCases();
// The samples whose title is split into several clips.
std::vector<DiscCase> multiClipCases();
// The HDR values and the picture size of a media report, as the report states them.
void readHdrValues(const std::string& report, DiscCase& disc);
std::string samplesDir();

// The 18 lines of a first job over an unconverted folder, time prefixes as "[ts]".
std::vector<std::string> firstJobLog(bool hdr);
// The lines of a second job over the converted folder.
std::vector<std::string> secondJobLog(bool hdr);
// A first job with the stream left alone.
std::vector<std::string> skipStreamJobLog(bool hdr);

// Positions found by walking the navigation structures: the stream number table S of the
// playlist's first play item (of every play item), and the entry E of the clip's first HEVC
// stream.
std::size_t playlistStreamTable(const ByteString& mpls);
std::vector<std::size_t> playlistStreamTables(const ByteString& mpls);
// The first byte I of every play item, in order.
std::vector<std::size_t> playItems(const ByteString& mpls);
std::size_t clipVideoEntry(const ByteString& clpi);

// The names (five characters) of the clips the play items name, the further angles' clips
// included, in playlist order, each once.
std::vector<std::string> playlistClipNames(const ByteString& mpls);

// The tree paths of the files a conversion changes: the first playlist in name order, and the
// clip information and stream files of every clip it names. Names match whatever their case.
struct ConvertedFiles {
    std::string playlist;
    std::vector<std::string> clipInfos;
    std::vector<std::string> streams;
};
ConvertedFiles convertedFiles(const Tree& tree);

// The 60-byte block the playlist receives; HDR form with the given luminance values.
ByteString uhdPlaylistExtension(bool hdr, uint16_t maxLuminance, uint16_t minLuminance,
                                uint16_t maxCll, uint16_t maxFall);
ByteString uhdIndexExtension();

ByteString expectedIndex(const ByteString& original);
ByteString expectedMovieObject(const ByteString& original);
ByteString expectedPlaylist(const ByteString& original, const ByteString& extension);
ByteString expectedClipInfo(const ByteString& original, bool hdr);
// Program map sections that fit in their first packet are patched and re-checksummed; video
// PES starts are re-marked. Throws when a section spans packets (not modelled here).
ByteString expectedStream(const ByteString& original);

// The whole tree after a first job: the navigation files and every clip of the first playlist
// converted, their BACKUP copies equal to them, every other file as it was. Streams are
// converted when `withStream` holds and the case's sections fit one packet, otherwise left as
// they were.
Tree expectedTree(const Tree& original, const DiscCase& disc, bool withStream);

// Checks over a converted stream that hold for any section layout.
struct StreamCensus {
    int pesStartsE0 = 0;
    int pesStartsE1 = 0;
    int sections = 0;          // complete program map sections
    int sectionsCrcValid = 0;  // whose CRC-32/MPEG-2 holds
    int videoTypeHevc = 0;     // video entry stream type 0x06
    int videoTypeUhd = 0;      // video entry stream type 0x24
    int identifierHdmv = 0;    // video entry's first descriptor data "HDMV"
};
StreamCensus censusOf(const ByteString& stream);

uint32_t crc32Mpeg2Reference(const uint8_t* data, std::size_t size);

}  // namespace quorvel::test::e2e

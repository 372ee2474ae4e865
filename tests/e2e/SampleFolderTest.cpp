// The sample folders that scripts/make-sample writes must look to the outside tools, and byte
// for byte, like what a plain Blu-ray muxer writes for an HEVC stream; otherwise the end-to-end
// runs over them would prove nothing.

#include <gtest/gtest.h>

#include <regex>

#include "e2e/BlurayProbe.h"
#include "e2e/DiscExpectations.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {
namespace {

struct SampleVariant {
    std::string name;
    bool hdr;
    int packetsPerSection;
};

void PrintTo(const SampleVariant& variant, std::ostream* os) {
    *os << variant.name;
}

class SampleFolder : public ::testing::TestWithParam<SampleVariant> {
  protected:
    void SetUp() override {
        m_folder = samplesDir() + "/" + GetParam().name;
        if (!exists(m_folder + "/BDMV")) GTEST_SKIP() << "the build did not write " << m_folder;
    }
    std::string m_folder;
};

std::string text(const ByteString& bytes, std::size_t offset, std::size_t size) {
    return std::string(bytes.begin() + std::ptrdiff_t(offset),
                       bytes.begin() + std::ptrdiff_t(offset + size));
}

uint32_t be32(const ByteString& b, std::size_t at) {
    return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 |
           b.at(at + 3);
}

TEST_P(SampleFolder, NavigationFilesCarryTheMuxersHevcMarking) {
    const Tree tree = readTree(m_folder);
    const ByteString& index = tree.at("BDMV/index.bdmv");
    EXPECT_EQ(text(index, 0, 8), "INDX0200");
    EXPECT_EQ(be32(index, 12), 0u) << "no extension data yet";
    EXPECT_EQ(text(tree.at("BDMV/MovieObject.bdmv"), 0, 8), "MOBJ0200");
    EXPECT_EQ(be32(tree.at("BDMV/MovieObject.bdmv"), 8), 0u);

    const ByteString& mpls = tree.at("BDMV/PLAYLIST/00000.mpls");
    EXPECT_EQ(text(mpls, 0, 8), "MPLS0200");
    EXPECT_EQ(be32(mpls, 16), 0u);
    const std::size_t s = playlistStreamTable(mpls);
    EXPECT_EQ(s, 0x66u) << "one plain play item, as the muxer writes it";
    EXPECT_EQ(mpls.at(s + 4), 1) << "one primary video stream";
    EXPECT_EQ(mpls.at(s + 27), 0x06);
    EXPECT_EQ(mpls.at(s + 28), 0x61);

    const ByteString& clpi = tree.at("BDMV/CLIPINF/00000.clpi");
    EXPECT_EQ(text(clpi, 0, 8), "HDMV0200");
    const std::size_t e = clipVideoEntry(clpi);
    EXPECT_EQ(e, 0x106u);
    EXPECT_EQ(clpi.at(e + 3), 0x06);
    EXPECT_EQ(clpi.at(e + 4), 0x61);
    EXPECT_EQ(clpi.at(e + 6), 0x00);

    for (const char* name :
         {"index.bdmv", "MovieObject.bdmv", "PLAYLIST/00000.mpls", "CLIPINF/00000.clpi"}) {
        EXPECT_TRUE(tree.at(std::string("BDMV/BACKUP/") + name) ==
                    tree.at(std::string("BDMV/") + name))
            << name;
    }
}

TEST_P(SampleFolder, StreamHasValidSectionsAndVideoPesStarts) {
    const ByteString stream = readFile(m_folder + "/BDMV/STREAM/00000.m2ts");
    ASSERT_EQ(stream.size() % 192, 0u);
    // The program association section lists program 0 (the network PID) first.
    ASSERT_EQ(stream.at(5) & 0x1F, 0);
    ASSERT_EQ(stream.at(6), 0);
    EXPECT_EQ(stream.at(17), 0);
    EXPECT_EQ(stream.at(18), 0);
    EXPECT_EQ(crc32Mpeg2Reference(stream.data() + 9, 3 + (((stream[10] & 0x0F) << 8) | stream[11])),
              0u);

    const StreamCensus census = censusOf(stream);
    EXPECT_GT(census.sections, 1);
    EXPECT_EQ(census.sectionsCrcValid, census.sections);
    EXPECT_EQ(census.videoTypeHevc, census.sections);
    EXPECT_GT(census.pesStartsE0, 1);
    EXPECT_EQ(census.pesStartsE1, 0);

    // Count the packets of the first program map section.
    int packets = 0;
    for (std::size_t off = 0; off + 192 <= stream.size(); off += 192) {
        if (packetPid(stream.data() + off) != kTestPmtPid) continue;
        if ((stream[off + 5] & 0x40) && packets > 0) break;
        ++packets;
    }
    EXPECT_EQ(packets, GetParam().packetsPerSection);
}

TEST_P(SampleFolder, OutsideToolsReadIt) {
    const std::string stream = m_folder + "/BDMV/STREAM/00000.m2ts";
    const CommandResult media = runCommand({"mediainfo", stream});
    if (media.exitCode < 0) GTEST_SKIP() << "mediainfo is not installed";
    EXPECT_TRUE(std::regex_search(media.out, std::regex(R"(\nCodec ID\s*: 6\n)"))) << media.out;
    const bool hdrLines =
        std::regex_search(media.out, std::regex(R"(\nMastering display color primaries\s*: )")) &&
        std::regex_search(media.out, std::regex(R"(\nMastering display luminance\s*: min: 0.0050 )"
                                                R"(cd/m2, max: 1000 cd/m2\n)")) &&
        std::regex_search(media.out,
                          std::regex(R"(\nMaximum Content Light Level\s*: 1000 cd/m2\n)")) &&
        std::regex_search(media.out,
                          std::regex(R"(\nMaximum Frame-Average Light Level\s*: 400 cd/m2\n)"));
    EXPECT_EQ(hdrLines, GetParam().hdr) << media.out;

    const CommandResult probe = runCommand({"ffprobe", "-v", "error", "-show_entries",
                                            "stream=codec_name,id", "-of", "csv=p=0", stream});
    if (probe.exitCode >= 0) {
        // Listed once under its program and once on its own; nothing else.
        EXPECT_TRUE(std::regex_match(probe.out, std::regex(R"((hevc,0x1011\n\n?)+)")))
            << probe.out;
        EXPECT_EQ(probe.err, "");
    }

    const CommandResult titles = runCommand({"bd_list_titles", "-l", m_folder});
    if (titles.exitCode >= 0) {
        EXPECT_EQ(titles.exitCode, 0);
        EXPECT_TRUE(std::regex_search(titles.out, std::regex(R"(index:\s+1 .*V:1 )")))
            << titles.out;
    }
    const BlurayView view = readWithLibbluray(m_folder);
    if (view.available) {
        EXPECT_TRUE(view.opened);
        EXPECT_EQ(view.titles, 1);
        EXPECT_EQ(view.clipCodingType, 0x06);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, SampleFolder,
                         ::testing::Values(SampleVariant{"hdr", true, 1},
                                           SampleVariant{"sdr", false, 1},
                                           SampleVariant{"pmt3", true, 3}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvel::test::e2e

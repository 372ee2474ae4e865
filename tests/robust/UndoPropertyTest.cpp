// Property: whatever a stream holds, converting its disc and undoing the conversion gives back
// every byte, also when the stream held converted-looking packets (PES starts 00 00 01 E1,
// program map sections typed 0x24 "HDMV") before the first job.

#include <gtest/gtest.h>

#include <random>

#include "support/DiscBuilder.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"

namespace quorvel::test {
namespace {

const std::string kCli = QUORVEL_CLI_PATH;
constexpr int kSeeds = 24;
constexpr int kGroups = 12;

// A program map section of a random shape: the video as the muxer types it (0x06 "HEVC") or as
// a conversion would (0x24 "HDMV"), behind up to a few audio entries and program descriptors
// that make it span one to three packets.
ByteString randomSection(std::mt19937& random, bool converted) {
    std::vector<StreamEntry> entries;
    const int audioBefore = static_cast<int>(random() % 3);
    for (int k = 0; k < audioBefore; ++k) {
        entries.push_back({0x81, static_cast<std::uint16_t>(kTestAudioPid + k), {}});
    }
    entries.push_back({static_cast<std::uint8_t>(converted ? 0x24 : 0x06), kTestVideoPid,
                       registrationDescriptor(converted ? "HDMV" : "HEVC", {0x01, 0x02})});
    const int audioAfter = static_cast<int>(random() % 12);
    for (int k = 0; k < audioAfter; ++k) {
        entries.push_back({0x81, static_cast<std::uint16_t>(kTestAudioPid + 8 + k),
                           ByteString(random() % 24, 0x0A)});
    }
    return pmtSection(entries, ByteString(random() % 200, 0x0E));
}

ByteString randomStream(unsigned seed) {
    std::mt19937 random(seed);
    StreamBuilder stream;
    stream.addPat();
    // The first section decides what the job does to the others: a muxer's.
    stream.addSection(randomSection(random, false));
    for (int group = 0; group < kGroups; ++group) {
        const int kind = static_cast<int>(random() % 6);
        if (kind == 0) {
            stream.addSection(randomSection(random, random() % 4 == 0));
        } else if (kind == 1) {
            stream.addNull(1 + random() % 3);
        } else {
            // A video PES start, now and then one that reads converted already, with or without
            // an adaptation field before it.
            const std::uint8_t id = random() % 5 == 0 ? 0xE1 : 0xE0;
            const bool adaptation = random() % 3 == 0;
            stream.addVideo(pesStart(id), true, adaptation ? 3 : 1,
                            adaptation ? 1 + random() % 40 : 0);
            for (unsigned k = random() % 4; k > 0; --k) stream.addVideo({0x5A, 0x5A}, false);
        }
    }
    return stream.bytes();
}

TEST(UndoProperty, ConvertThenUndoGivesBackEveryByte) {
    TempDir dir;
    const CommandResult fake =
        runCommand({"python3", QUORVEL_SYNTHETIC_DISC, "analyser", dir / "analyser"});
    ASSERT_EQ(fake.exitCode, 0) << fake.err;
    const std::string path = "PATH=" + dir / "analyser" + ":" + std::getenv("PATH");
    int converted = 0;
    for (unsigned seed = 1; seed <= kSeeds; ++seed) {
        TempDir disc;
        TempDir records;
        makeDisc(disc.path());
        writeFile(disc / "BDMV/STREAM/00000.m2ts", randomStream(seed));
        const Tree original = readTree(disc.path());

        const CommandResult job = runCommand({kCli, "--undo-dir", records.path(), disc.path()}, {path});
        if (job.exitCode != 0) {
            // Refused before any change (a section the job cannot re-mark): nothing to undo.
            EXPECT_EQ(readTree(disc.path()), original) << "seed " << seed << "\n" << job.out;
            continue;
        }
        ++converted;
        const CommandResult undo =
            runCommand({kCli, "--undo", "--undo-dir", records.path(), disc.path()});
        EXPECT_EQ(undo.exitCode, 0) << "seed " << seed << "\n" << undo.out;
        const Tree restored = readTree(disc.path());
        EXPECT_EQ(restored.size(), original.size()) << "seed " << seed;
        for (const auto& [name, bytes] : original) {
            const auto found = restored.find(name);
            ASSERT_NE(found, restored.end()) << name;
            EXPECT_TRUE(found->second == bytes)
                << "seed " << seed << ": " << name << describeFirstDifference(bytes, found->second);
        }
    }
    EXPECT_GT(converted, kSeeds / 2) << "too few random streams were converted to tell anything";
}

}  // namespace
}  // namespace quorvel::test

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "M2tsHarness.h"
#include "platform/MappedWindow.h"
#include "platform/TestOs.h"
#include "transport/ProgramMapSection.h"
#include "transport/SourcePacket.h"
#include "transport/StreamCheck.h"

namespace quorvel {
namespace {

using namespace test;

const std::string kNoProgramMapLine =
    " - No usable program map section lists the video stream (PID 0x1011); the stream was left "
    "unchanged.";
const std::string kNoAssociationLine =
    " - No program association section names a program map; the stream was left unchanged.";

class M2tsAdjusterTest : public ::testing::Test {
  protected:
    std::string write(const StreamBuilder& stream) {
        test::writeFile(path, stream.bytes());
        return path;
    }

    M2tsHarness h;
    TempDir dir;
    std::string path = dir / "00000.m2ts";
};

TEST(SourcePacketView, FieldsAndClampedPayloadOffset) {
    ByteString bytes = videoPacket({0x1011, true, 3, 9, 0}, pesStart(), 7);
    const SourcePacket packet(bytes.data());
    EXPECT_EQ(packet.pid(), 0x1011);
    EXPECT_TRUE(packet.startBit());
    EXPECT_EQ(packet.adaptationControl(), 3);
    EXPECT_EQ(packet.continuityCounter(), 9);
    EXPECT_EQ(packet.payloadOffset(), 16u);
    bytes[8] = 200;  // an adaptation field longer than the packet
    EXPECT_EQ(packet.payloadOffset(), 192u);
    bytes[7] = 0x20;  // adaptation field only
    EXPECT_EQ(packet.payloadOffset(), 192u);
    EXPECT_EQ(pidAt(bytes, 5), 0x1011);
    EXPECT_EQ(pidAt(ByteString{0xFF, 0xE1, 0x00}, 1), 0x0100);
    EXPECT_EQ(pidAt(ByteString{0x01}, 0), kPidMask);  // outside the string
}

TEST_F(M2tsAdjusterTest, AMissingStreamFailsWithItsLineAndIsNeverCreated) {
    h.control.barWidth = 12.0f;
    h.control.percentText = "42.00%";
    EXPECT_FALSE(h.run(path));
    EXPECT_EQ(h.lines(),
              (std::vector<std::string>{" - Couldn't open the stream " + path +
                                        ": cannot open it for reading and writing (" +
                                        test::missingFileReason() + ")."}));
    EXPECT_FALSE(exists(path)) << "a missing stream is never created";
    // A failed open leaves the display alone.
    EXPECT_EQ(h.control.barWidth, 12.0f);
    EXPECT_EQ(h.control.percentText, "42.00%");
}

TEST_F(M2tsAdjusterTest, EmptyAndOneByteFilesAreScannedAtOnceAndNotConverted) {
    for (const ByteString& content : {ByteString{}, ByteString{0x47}}) {
        test::writeFile(path, content);
        h.control.barWidth = 0.0f;
        h.control.percentText = "0.00%";
        EXPECT_FALSE(h.run(path));
        EXPECT_EQ(h.lines().back(), kNoAssociationLine);
        EXPECT_EQ(h.control.barWidth, 3675.0f);
        EXPECT_EQ(h.control.percentText, "100.00%");
        EXPECT_EQ(test::readFile(path), content);
    }
}

TEST_F(M2tsAdjusterTest, OnePacketSectionIsReMarkedWithNewCrcAndStuffing) {
    StreamBuilder stream;
    stream.addPat();
    const std::int64_t pmt = stream.addSection(muxerPmt()).front();
    stream.addVideo(pesStart());
    const ByteString before = stream.bytes();
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString after = test::readFile(path);

    const ByteString packet = packetAt(after, pmt);
    const ByteString section = sectionFromPackets({packet});
    EXPECT_EQ(section[kVideoEntryInSection], 0x24);
    EXPECT_EQ(ByteString(section.begin() + kVideoEntryInSection + 7,
                         section.begin() + kVideoEntryInSection + 11),
              asciiBytes("HDMV"));
    EXPECT_TRUE(sectionCrcValid(section));
    for (std::size_t i = 9 + section.size(); i < 192; ++i) EXPECT_EQ(packet[i], 0xFF) << i;
    // Header untouched; only the type, the identifier and the CRC differ in the packet.
    const std::size_t entry = static_cast<std::size_t>(pmt) + 9 + kVideoEntryInSection;
    for (std::int64_t at : differingOffsets(before, after)) {
        const auto offset = static_cast<std::size_t>(at);
        const bool expected = offset == entry || (offset >= entry + 7 && offset < entry + 11) ||
                              (offset >= static_cast<std::size_t>(pmt) + 9 + section.size() - 4 &&
                               offset < static_cast<std::size_t>(pmt) + 9 + section.size()) ||
                              offset == static_cast<std::size_t>(stream.size()) - 192 + 11;
        EXPECT_TRUE(expected) << "unexpected change at " << offset;
    }
    EXPECT_TRUE(h.lines().empty());
}

TEST_F(M2tsAdjusterTest, OtherIdentifierOnlyChangesTypeAndCrc) {
    StreamBuilder stream;
    stream.addPat();
    const std::int64_t pmt = stream.addSection(muxerPmt("ABCD")).front();
    const ByteString before = stream.bytes();
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString after = test::readFile(path);
    const ByteString section = sectionFromPackets({packetAt(after, pmt)});
    EXPECT_EQ(section[kVideoEntryInSection], 0x24);
    EXPECT_EQ(ByteString(section.begin() + kVideoEntryInSection + 7,
                         section.begin() + kVideoEntryInSection + 11),
              asciiBytes("ABCD"));
    EXPECT_TRUE(sectionCrcValid(section));
    EXPECT_EQ(differingOffsets(before, after).size(), 5u);  // type + up to 4 CRC bytes
}

TEST_F(M2tsAdjusterTest, ProgramAssociationChoosesTheFirstNonZeroProgram) {
    StreamBuilder stream;
    stream.addPat({{0, 0x0010}, {1, 0x0100}});
    const std::int64_t nit = stream.addSection(muxerPmt(), 0x0010).front();
    const std::int64_t pmt = stream.addSection(muxerPmt(), 0x0100).front();
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString after = test::readFile(path);
    EXPECT_EQ(packetAt(after, nit), packetAt(stream.bytes(), nit));
    EXPECT_EQ(sectionFromPackets({packetAt(after, pmt)})[kVideoEntryInSection], 0x24);
}

TEST_F(M2tsAdjusterTest, ProgramMapBeforeTheAssociationIsPassedOver) {
    StreamBuilder stream;
    const std::int64_t early = stream.addSection(muxerPmt()).front();
    stream.addPat();
    const std::int64_t late = stream.addSection(muxerPmt()).front();
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString after = test::readFile(path);
    EXPECT_EQ(packetAt(after, early), packetAt(stream.bytes(), early));
    EXPECT_EQ(sectionFromPackets({packetAt(after, late)})[kVideoEntryInSection], 0x24);
}

TEST_F(M2tsAdjusterTest, TwoPacketSectionWithPacketsBetween) {
    // A second program's descriptors push the section into a second packet.
    const ByteString section = pmtSection({{0x06, kTestVideoPid, registrationDescriptor()},
                                           {0x81, kTestAudioPid, ByteString(190, 0x0A)}});
    std::vector<ByteString> parts = sectionPackets(section, kTestPmtPid, 4, 0x11111111);
    ASSERT_EQ(parts.size(), 2u);
    parts[1][0] = 0x22;  // its own arrival stamp
    StreamBuilder stream;
    stream.addPat();
    const std::int64_t first = stream.add(parts[0]);
    stream.addVideo(pesStart());
    stream.addNull(2);
    const std::int64_t second = stream.add(parts[1]);
    ASSERT_TRUE(h.run(write(stream)));

    const ByteString after = test::readFile(path);
    const ByteString p1 = packetAt(after, first);
    const ByteString p2 = packetAt(after, second);
    EXPECT_EQ(ByteString(p1.begin(), p1.begin() + 8),
              ByteString(parts[0].begin(), parts[0].begin() + 8));
    // Its own arrival stamp, the first packet's transport header with the start bit cleared and
    // its own continuity counter.
    ByteString header(parts[0].begin(), parts[0].begin() + 8);
    std::copy_n(parts[1].begin(), 4, header.begin());
    header[5] &= static_cast<std::uint8_t>(~0x40);
    header[7] = static_cast<std::uint8_t>((header[7] & 0xF0) | 5);
    EXPECT_EQ(ByteString(p2.begin(), p2.begin() + 8), header);
    const ByteString rebuilt = sectionFromPackets({p1, p2});
    EXPECT_EQ(rebuilt[kVideoEntryInSection], 0x24);
    EXPECT_TRUE(sectionCrcValid(rebuilt));
    EXPECT_EQ(ByteString(rebuilt.begin() + kVideoEntryInSection + 11, rebuilt.end() - 4),
              ByteString(section.begin() + kVideoEntryInSection + 11, section.end() - 4));
}

// A section of section length 368: 380 buffer bytes, three packets, the third carrying only the
// CRC. The video entry lies in the first packet.
ByteString threePacketSection() {
    const ByteString section = pmtSection({{0x06, kTestVideoPid, registrationDescriptor()},
                                           {0x81, kTestAudioPid, ByteString(339, 0x0A)}});
    EXPECT_EQ(section.size(), 371u);
    return section;
}

TEST_F(M2tsAdjusterTest, ThreePacketSectionGetsHeadersAndStuffing) {
    StreamBuilder stream;
    stream.addPat();
    const std::vector<std::int64_t> at = stream.addSection(threePacketSection());
    ASSERT_EQ(at.size(), 3u);
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString after = test::readFile(path);
    std::vector<ByteString> packets;
    for (std::int64_t offset : at) packets.push_back(packetAt(after, offset));
    for (std::size_t j = 1; j < 3; ++j) {
        // Each keeps its own arrival stamp; the transport header follows the first packet's.
        const ByteString before = packetAt(stream.bytes(), at[j]);
        EXPECT_EQ(ByteString(packets[j].begin(), packets[j].begin() + 4),
                  ByteString(before.begin(), before.begin() + 4));
        EXPECT_EQ(packets[j][4], packets[0][4]);
        EXPECT_EQ(packets[j][6], packets[0][6]);
        EXPECT_EQ(packets[j][5], packets[0][5] & ~0x40);
        EXPECT_EQ(packets[j][7] & 0x0F, packetAt(stream.bytes(), at[j])[7] & 0x0F);
    }
    const ByteString rebuilt = sectionFromPackets(packets);
    EXPECT_TRUE(sectionCrcValid(rebuilt));
    EXPECT_EQ(ByteString(packets[2].begin() + 8, packets[2].begin() + 12),
              ByteString(rebuilt.end() - 4, rebuilt.end()));
    EXPECT_EQ(ByteString(packets[2].begin() + 12, packets[2].end()), ByteString(180, 0xFF));
}

TEST_F(M2tsAdjusterTest, VideoStartsByAdaptationFieldControl) {
    StreamBuilder stream = convertibleStream();
    const std::int64_t plain = stream.addVideo(pesStart(), true, 1);
    const std::int64_t withField = stream.addVideo(pesStart(), true, 3, 7);
    const std::int64_t noStartBit = stream.addVideo(pesStart(), false, 1);
    const std::int64_t already = stream.addVideo(pesStart(0xE1), true, 1);
    const std::int64_t audioId = stream.addVideo(pesStart(0xC0), true, 1);
    // Adaptation field only, and the reserved value 0: the bytes at 8 are no payload.
    const std::int64_t fieldOnly =
        stream.add(sourcePacket({kTestVideoPid, true, 2, 0, 0}, pesStart()));
    const std::int64_t reserved =
        stream.add(sourcePacket({kTestVideoPid, true, 0, 0, 0}, pesStart()));
    // Fewer than four payload bytes behind the adaptation field.
    ByteString tight = videoPacket({kTestVideoPid, true, 3, 0, 0}, {}, 181);
    std::copy_n(pesStart().begin(), 2, tight.begin() + 190);
    const std::int64_t tooShort = stream.add(tight);
    const std::int64_t otherPid = stream.add(sourcePacket({0x1012, true, 1, 0, 0}, pesStart()));
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString after = test::readFile(path);

    std::set<std::int64_t> videoChanges = differingOffsets(stream.bytes(), after);
    videoChanges.erase(videoChanges.begin(), videoChanges.lower_bound(plain));
    EXPECT_EQ(videoChanges, (std::set<std::int64_t>{plain + 11, withField + 19, noStartBit + 11}));
    EXPECT_EQ(after[static_cast<std::size_t>(withField) + 16], 0x00);
    EXPECT_EQ(after[static_cast<std::size_t>(plain) + 11], 0xE1);
    (void)already, (void)audioId, (void)fieldOnly, (void)reserved, (void)tooShort, (void)otherPid;
}

TEST_F(M2tsAdjusterTest, IncompleteSectionAtEndOfFileIsNotWritten) {
    const ByteString section = pmtSection({{0x06, kTestVideoPid, registrationDescriptor()},
                                           {0x81, kTestAudioPid, ByteString(190, 0x0A)}});
    StreamBuilder stream;
    stream.addPat();
    const std::int64_t first = stream.add(sectionPackets(section, kTestPmtPid).front());
    EXPECT_FALSE(h.run(write(stream)));
    EXPECT_EQ(test::readFile(path), stream.bytes());
    EXPECT_EQ(h.lines(),
              (std::vector<std::string>{" - Couldn't re-mark the program map section at byte " +
                                            std::to_string(first) +
                                            ": the file ends before it is complete.",
                                        kNoProgramMapLine}));
}

TEST_F(M2tsAdjusterTest, WholePacketsAreAllExaminedAndAPartialTailNever) {
    StreamBuilder stream = convertibleStream();
    stream.addNull(3);
    const std::int64_t last = stream.addVideo(pesStart());
    ByteString content = stream.bytes();
    ASSERT_TRUE(h.run(write(stream)));
    EXPECT_EQ(test::readFile(path)[static_cast<std::size_t>(last) + 11], 0xE1);

    // The same with 100 bytes of a further video start behind: they stay as they are and the
    // file does not grow.
    const ByteString tail = videoPacket({kTestVideoPid, true, 1, 0, 0}, pesStart());
    content.insert(content.end(), tail.begin(), tail.begin() + 100);
    test::writeFile(path, content);
    ASSERT_TRUE(h.run(path));
    const ByteString after = test::readFile(path);
    ASSERT_EQ(after.size(), content.size());
    EXPECT_EQ(after[static_cast<std::size_t>(last) + 11], 0xE1);
    EXPECT_EQ(ByteString(after.end() - 100, after.end()),
              ByteString(tail.begin(), tail.begin() + 100));
    EXPECT_EQ(h.control.percentText, "100.00%");
}

TEST_F(M2tsAdjusterTest, SectionsThatCannotBeReMarkedAreLeftAloneReportedAndFailThePass) {
    StreamBuilder stream;
    stream.addPat();
    std::vector<std::int64_t> untouched;
    std::int64_t sections = 0;
    for (const MalformedSection& malformed : malformedSections()) {
        for (std::int64_t at : stream.add(malformed.packets)) untouched.push_back(at);
        sections += malformed.sections;
    }
    // A well-formed section after all of them is still re-marked, and the video behind it.
    const std::int64_t fine = stream.addSection(muxerPmt()).front();
    const std::int64_t video = stream.addVideo(pesStart());
    EXPECT_FALSE(h.run(write(stream)));

    const ByteString after = test::readFile(path);
    for (std::int64_t at : untouched) {
        EXPECT_EQ(packetAt(after, at), packetAt(stream.bytes(), at)) << "packet at " << at;
    }
    EXPECT_EQ(sectionFromPackets({packetAt(after, fine)})[kVideoEntryInSection], 0x24);
    EXPECT_EQ(after[static_cast<std::size_t>(video) + 11], 0xE1);
    EXPECT_EQ(
        h.lines(),
        (std::vector<std::string>{
            " - Couldn't re-mark the program map section at byte " +
                std::to_string(untouched.front()) + ": " + malformedSections().front().reason + ".",
            " - Couldn't re-mark " + std::to_string(sections) +
                " program map sections in all; they were left as they are."}));
}

// The stream as 188-byte transport packets: every source packet without its TP_extra_header.
ByteString withoutExtraHeaders(const ByteString& stream) {
    ByteString packets;
    for (std::size_t at = 0; at + 192 <= stream.size(); at += 192) {
        packets.insert(packets.end(), stream.begin() + static_cast<long>(at) + 4,
                       stream.begin() + static_cast<long>(at) + 192);
    }
    return packets;
}

TEST_F(M2tsAdjusterTest, StreamWithoutAMarkedVideoEntryIsLeftUnchanged) {
    StreamBuilder everyCrcBad;
    everyCrcBad.addPat();
    everyCrcBad.add(malformedSections().front().packets);
    everyCrcBad.addVideo(pesStart());
    everyCrcBad.add(malformedSections().front().packets);
    StreamBuilder mapElsewhere;
    mapElsewhere.addPat(0x0200);
    mapElsewhere.addSection(muxerPmt());
    mapElsewhere.addVideo(pesStart());
    StreamBuilder noAssociation;
    noAssociation.addSection(muxerPmt());
    noAssociation.addVideo(pesStart());
    StreamBuilder whole = convertibleStream();
    whole.addVideo(pesStart());
    whole.addNull(3);
    whole.addVideo(pesStart());

    const struct {
        const char* name;
        ByteString bytes;
        std::string lastLine;
    } cases[] = {
        {"EveryProgramMapCrcBad", everyCrcBad.bytes(), kNoProgramMapLine},
        {"AssociationNamesAPidWithoutProgramMap", mapElsewhere.bytes(), kNoProgramMapLine},
        {"NoProgramAssociation", noAssociation.bytes(), kNoAssociationLine},
        {"TransportPacketsOf188Bytes", withoutExtraHeaders(whole.bytes()), kNoAssociationLine},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(path, c.bytes);
        h.passLines.clear();
        EXPECT_FALSE(h.run(path));
        EXPECT_EQ(test::readFile(path), c.bytes);
        EXPECT_EQ(h.lines().back(), c.lastLine);
    }
}

TEST_F(M2tsAdjusterTest, PacketsWithoutTheSyncByteAreNeverExaminedOrWritten) {
    StreamBuilder stream = convertibleStream();
    ByteString unsynced = videoPacket({kTestVideoPid, true, 1, 0, 0}, pesStart());
    unsynced[4] = 0x00;
    const std::int64_t first = stream.add(unsynced);
    const std::int64_t video = stream.addVideo(pesStart());
    const std::int64_t second = stream.add(unsynced);
    EXPECT_TRUE(h.run(write(stream)));
    const ByteString after = test::readFile(path);
    EXPECT_EQ(packetAt(after, first), unsynced);
    EXPECT_EQ(packetAt(after, second), unsynced);
    EXPECT_EQ(after[static_cast<std::size_t>(video) + 11], 0xE1);
    EXPECT_EQ(h.lines().back(),
              " - Warning:  2 packets without the sync byte 0x47 were passed over, the first at "
              "byte " +
                  std::to_string(first) + ".");
}

TEST_F(M2tsAdjusterTest, WriteThatWouldGrowTheFileFailsInsteadOfGrowingIt) {
    // The file is cut short by someone else during the pass, at an event turn (one per packet),
    // before the video packet's write or after it has landed.
    const struct {
        const char* name;
        int turn;
        std::int64_t cutTo;  // packets
        bool cutBelowTheWrite;
    } cases[] = {
        {"CutBeforeTheWrite", 5, 10, true},
        {"CutAfterTheWriteLanded", 30, 25, false},
    };
    for (const auto& c : cases) {
        for (const bool writeBehind : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (writeBehind ? " write-behind" : " direct writes"));
            StreamBuilder stream = convertibleStream();
            stream.addNull(20);
            const std::int64_t video = stream.addVideo(pesStart());
            stream.addNull(20);
            write(stream);
            // The whole file in one read.
            M2tsScanOptions options = M2tsHarness::perPacket(64);
            options.mapFile = false;
            options.writeBehind = writeBehind;
            h.control.onProcessEvents = [&] {
                if (h.control.eventTurns == c.turn) {
                    ASSERT_NO_THROW(std::filesystem::resize_file(path, 192 * c.cutTo));
                }
            };
            h.control.eventTurns = 0;
            h.passLines.clear();
            EXPECT_FALSE(h.run(path, options));
            const std::int64_t at = c.cutBelowTheWrite ? video : 192 * c.cutTo;
            EXPECT_EQ(h.lines().back(), " - Couldn't write the stream at byte " +
                                                   std::to_string(at) +
                                                   ": the file has been cut short.");
            EXPECT_EQ(test::readFile(path).size(), static_cast<std::size_t>(192 * c.cutTo));
        }
    }
}

TEST_F(M2tsAdjusterTest, LinkOrFifoInPlaceOfTheStreamIsRefusedUntouched) {
    const std::string target = dir / "elsewhere.m2ts";
    StreamBuilder stream = convertibleStream();
    stream.addVideo(pesStart());
    test::writeFile(target, stream.bytes());
    const struct {
        const char* name;
        bool available;  // whether this system can make it
        std::function<bool(const std::string&)> make;
        const char* why;
    } cases[] = {
        {"SymbolicLink", test::os::linksAvailable(),
         [&](const std::string& p) {
             std::filesystem::create_symlink(target, p);
             return true;
         },
         "it is a symbolic link"},
        {"Fifo", test::os::fifosAvailable(),
         [](const std::string& p) { return test::os::makeFifo(p); },
         "it is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.available) continue;
        const std::string at = dir / (std::string(c.name) + ".m2ts");
        ASSERT_TRUE(c.make(at));
        EXPECT_FALSE(h.run(at));
        EXPECT_EQ(h.lines().back(),
                  " - Couldn't open the stream " + at + ": " + c.why + ".");
        EXPECT_EQ(test::readFile(target), stream.bytes());
    }
}

TEST_F(M2tsAdjusterTest, ProgressOverSeveralStreamsCountsTheStreamsBefore) {
    StreamBuilder stream = convertibleStream();
    stream.addNull(6);  // 8 packets, 1536 bytes
    write(stream);
    const struct {
        std::int64_t before;
        std::int64_t total;
        const char* secondTurn;  // after two packets
        const char* end;
    } cases[] = {
        {0, 0, "25.00%", "100.00%"},  // this stream alone
        {1536, 6144, "31.25%", "50.00%"},
        {4608, 6144, "81.25%", "100.00%"},
        // 31536 of 31537 bytes rounds to 100.00%, which only the whole may show.
        {30000, 31537, "96.34%", "99.99%"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.total);
        std::vector<std::string> texts;
        h.control.onProcessEvents = [&] {
            texts.push_back(h.control.percentText);
            h.control.timerTick = true;
        };
        M2tsScanOptions options = M2tsHarness::perPacket();
        options.progressBefore = c.before;
        options.progressTotal = c.total;
        ASSERT_TRUE(h.run(path, options));
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts[1], c.secondTurn);
        EXPECT_EQ(h.control.percentText, c.end);
        const double whole = c.total == 0 ? 1.0 : static_cast<double>(c.before + 1536) / c.total;
        EXPECT_FLOAT_EQ(h.control.barWidth, static_cast<float>(whole * 3675.0));
    }
}

TEST_F(M2tsAdjusterTest, SecondRunWritesNothing) {
    StreamBuilder stream;
    stream.addPat();
    stream.addSection(threePacketSection());
    stream.addVideo(pesStart());
    stream.addSection(muxerPmt());
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString once = test::readFile(path);
    ASSERT_NE(once, stream.bytes());
    const long long stamp = modificationTime(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(h.run(path));
    EXPECT_EQ(modificationTime(path), stamp);
    EXPECT_EQ(test::readFile(path), once);
}

StreamBuilder mixedStream() {
    StreamBuilder stream;
    stream.addPat();
    for (int i = 0; i < 6; ++i) {
        stream.addSection(i % 2 == 0 ? threePacketSection() : muxerPmt());
        stream.addVideo(pesStart());
        stream.addVideo({0x12, 0x34}, false);
        stream.addNull();
    }
    return stream;
}

TEST_F(M2tsAdjusterTest, AbortStopsAfterThePacketAndARerunCompletes) {
    const StreamBuilder stream = mixedStream();
    const std::string reference = dir / "reference.m2ts";
    test::writeFile(reference, stream.bytes());
    ASSERT_TRUE(h.run(reference));
    const ByteString complete = test::readFile(reference);

    write(stream);
    h.control.eventTurns = 0;
    h.control.onProcessEvents = [&] {
        if (h.control.eventTurns == 9) h.control.abortRequested = true;
    };
    EXPECT_FALSE(h.run(path));
    EXPECT_FALSE(os::fileHeldOpen(path));
    const ByteString partial = test::readFile(path);
    // The first nine packets are done, the rest untouched.
    const std::size_t stop = 9 * 192;
    EXPECT_EQ(ByteString(partial.begin(), partial.begin() + stop),
              ByteString(complete.begin(), complete.begin() + stop));
    EXPECT_EQ(ByteString(partial.begin() + stop, partial.end()),
              ByteString(stream.bytes().begin() + stop, stream.bytes().end()));

    h.control.abortRequested = false;
    h.control.onProcessEvents = nullptr;
    ASSERT_TRUE(h.run(path));
    EXPECT_EQ(test::readFile(path), complete)
        << describeFirstDifference(complete, test::readFile(path));
}

TEST_F(M2tsAdjusterTest, BufferedReadsGiveTheSameBytesAsTheMapping) {
    const StreamBuilder stream = mixedStream();
    ASSERT_TRUE(h.run(write(stream)));
    const ByteString mapped = test::readFile(path);
    // Reads of five packets split the three-packet sections across reads.
    M2tsScanOptions options = M2tsHarness::perPacket(5);
    options.mapFile = false;
    write(stream);
    ASSERT_TRUE(h.run(path, options));
    EXPECT_EQ(test::readFile(path), mapped);
    EXPECT_NE(mapped, stream.bytes());
    // Every write made in the scan's own thread, checked before the scan moves on.
    options = M2tsHarness::perPacket(5);
    options.writeBehind = false;
    write(stream);
    ASSERT_TRUE(h.run(path, options));
    EXPECT_EQ(test::readFile(path), mapped);
}

// Multi-packet sections whose video entry lies in their first, second or third packet, placed
// so that some of their packets straddle a 4 KiB page boundary.
StreamBuilder cutStream() {
    StreamBuilder stream;
    stream.addPat();
    for (std::size_t pad = 0; pad < 24; pad += 5) {
        stream.addNull(pad);
        stream.addSection(threePacketSection());
        stream.addVideo(pesStart());
        stream.addSection(
            pmtSection({{0x06, kTestVideoPid, registrationDescriptor()}}, ByteString(200, 0x0A)));
        stream.addSection(
            pmtSection({{0x06, kTestVideoPid, registrationDescriptor()}}, ByteString(380, 0x0A)));
    }
    return stream;
}

TEST_F(M2tsAdjusterTest, RunCutAfterAnyWriteIsCompletedByARerun) {
    // Made one by one, and on the writer thread, which makes the pieces that join inside one
    // page as one write.
    for (const bool writeBehind : {false, true}) {
        SCOPED_TRACE(writeBehind ? "write-behind" : "direct writes");
        M2tsScanOptions options = M2tsHarness::perPacket();
        options.writeBehind = writeBehind;
        const StreamBuilder stream = cutStream();
        const std::string reference = dir / "reference.m2ts";
        test::writeFile(reference, stream.bytes());
        std::size_t writes = 0;
        options.writeFault = [&](std::int64_t, std::size_t) {
            ++writes;
            return false;
        };
        ASSERT_TRUE(h.run(reference, options));
        const ByteString complete = test::readFile(reference);
        ASSERT_GT(writes, writeBehind ? 10u : 40u);

        for (std::size_t cut = 0; cut < writes; ++cut) {
            write(stream);
            std::size_t done = 0;
            options.writeFault = [&](std::int64_t, std::size_t) { return done++ >= cut; };
            // Which pieces the writer thread makes as one depends on how the writes fall into
            // its batches, so a run there may need no more writes than the cut allows.
            const bool ran = h.run(path, options);
            ASSERT_EQ(ran, done <= cut);
            options.writeFault = nullptr;
            ASSERT_TRUE(h.run(path, options));
            const ByteString after = test::readFile(path);
            ASSERT_EQ(after, complete) << "cut after " << cut << " writes\n"
                                       << describeFirstDifference(complete, after);
        }
    }
}

// A power cut keeps any subset of a rebuilt section's pieces, and a piece may end inside a
// field (at a packet or a page boundary). Every byte the rebuild changes is taken from before or
// after it, in every combination: the rerun completes each mix, and refuses a stored CRC that is
// neither.
TEST_F(M2tsAdjusterTest, AnyMixOfARebuiltSectionIsCompletedAndAStrangeCrcIsNot) {
    const ByteString audio(190, 0x0A);  // a second packet, with the CRC in it
    const struct {
        const char* name;
        ByteString videoDescriptors;
    } cases[] = {
        {"HEVC identifier", registrationDescriptor("HEVC", {0xFF, 0x00})},
        {"HDMV identifier", registrationDescriptor("HDMV", {0xFF, 0x00})},
        {"other identifier", registrationDescriptor("HEMC", {0xFF, 0x00})},
        {"no identifier", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamBuilder stream;
        stream.addPat();
        const ByteString section =
            pmtSection({{0x06, kTestVideoPid, c.videoDescriptors}, {0x81, kTestAudioPid, audio}});
        const std::vector<std::int64_t> at = stream.addSection(section);
        ASSERT_EQ(at.size(), 2u);
        stream.addVideo(pesStart());
        const ByteString before = stream.bytes();
        ASSERT_TRUE(h.run(write(stream)));
        const ByteString after = test::readFile(path);
        std::vector<std::size_t> changed;
        for (std::size_t k = 0; k < before.size(); ++k) {
            if (before[k] != after[k]) changed.push_back(k);
        }
        ASSERT_LE(changed.size(), 10u);

        M2tsScanOptions direct = M2tsHarness::perPacket();
        direct.writeBehind = false;  // hundreds of runs: no writer thread each time
        for (unsigned mask = 0; mask < (1u << changed.size()); ++mask) {
            ByteString mix = before;
            for (std::size_t b = 0; b < changed.size(); ++b) {
                if ((mask >> b & 1) != 0) mix[changed[b]] = after[changed[b]];
            }
            stream = StreamBuilder();
            stream.add(mix);
            ASSERT_TRUE(h.run(write(stream), direct)) << "mix " << mask;
            ASSERT_EQ(test::readFile(path), after) << "mix " << mask;
        }

        // The last CRC byte neither before nor after: the section is not one of ours.
        ByteString strange = before;
        // The first packet carries 183 section bytes, the second the rest from its byte 8.
        const std::size_t crcEnd = static_cast<std::size_t>(at[1]) + 8 + section.size() - 1 - 183;
        ASSERT_NE(before[crcEnd], after[crcEnd]);
        strange[crcEnd] = static_cast<std::uint8_t>(before[crcEnd] ^ after[crcEnd] ^ 0x5A);
        stream = StreamBuilder();
        stream.add(strange);
        EXPECT_FALSE(h.run(write(stream)));
        EXPECT_EQ(test::readFile(path), strange);
    }
}

// A muxer repeats its program map section; a copy whose section bytes equal the one judged
// before is given that verdict without a CRC. Each copy, judged in a stream of its own, must
// come out as it does among the repeats: same bytes written, same counts, same first offsets.
TEST_F(M2tsAdjusterTest, RepeatedSectionsAreJudgedAsEachWouldBeOnItsOwn) {
    const ByteString good = pmtSection({{0x06, kTestVideoPid, registrationDescriptor()},
                                        {0x81, kTestAudioPid, ByteString(190, 0x0A)}});
    ByteString marked = good;
    marked[kVideoEntryInSection] = 0x24;
    std::copy_n(asciiBytes("HDMV").begin(), 4, marked.begin() + kVideoEntryInSection + 7);
    fixSectionCrc(marked);
    const ByteString badCrc = withByte(good, good.size() - 1, good.back() ^ 0x01);
    // Stream type 0x24 under the old CRC: what a cut rewrite leaves, completed by the pass.
    const ByteString halfWritten = withByte(good, kVideoEntryInSection, 0x24);
    const ByteString otherType = withByte(good, kVideoEntryInSection, 0x1B);
    const struct {
        const char* name;
        std::vector<ByteString> sections;
        bool stuffingDiffers = false;  // the last copy's stuffing behind the CRC is not 0xFF
    } cases[] = {
        {"identical copies", {good, good, good, good, good}},
        {"identical copies with other stuffing", {good, good, good}, true},
        {"marked copies", {marked, marked, marked}},
        {"one copy with another CRC", {good, good, badCrc, good, good}},
        {"copies with another CRC in a row", {badCrc, badCrc, good, badCrc}},
        {"one copy half written", {good, halfWritten, halfWritten, good}},
        {"one copy with another stream type", {otherType, otherType, good, otherType}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StreamBuilder stream;
        stream.addPat();
        std::vector<std::vector<std::int64_t>> at;
        for (std::size_t k = 0; k < c.sections.size(); ++k) {
            std::vector<ByteString> packets =
                sectionPackets(c.sections[k], kTestPmtPid, stream.nextCounter(kTestPmtPid),
                               stream.nextArrival());
            if (c.stuffingDiffers && k + 1 == c.sections.size()) packets.back().back() = 0x00;
            at.push_back(stream.add(packets));
            stream.addVideo(pesStart());
        }
        const ByteString before = stream.bytes();

        StreamSurvey expected;
        std::vector<ByteString> expectedPackets;
        for (std::size_t k = 0; k < at.size(); ++k) {
            StreamBuilder alone;
            alone.addPat();
            std::vector<std::int64_t> aloneAt;
            for (std::int64_t offset : at[k]) aloneAt.push_back(alone.add(packetAt(before, offset)));
            const std::string alonePath = dir / "alone.m2ts";
            test::writeFile(alonePath, alone.bytes());
            StreamSurvey survey;
            ASSERT_TRUE(h.survey(alonePath, survey));
            h.run(alonePath);
            const ByteString written = test::readFile(alonePath);
            for (std::int64_t offset : aloneAt) expectedPackets.push_back(packetAt(written, offset));
            const auto first = [&](std::int64_t& field, std::int64_t count) {
                if (field < 0 && count > 0) field = at[k].front();
            };
            first(expected.firstSectionToRemark, survey.sectionsToRemark);
            first(expected.firstUnusableSection, survey.sectionsUnusable);
            if (expected.unusableReason.empty()) expected.unusableReason = survey.unusableReason;
            expected.sectionsToRemark += survey.sectionsToRemark;
            expected.identifiersToChange += survey.identifiersToChange;
            expected.sectionsMarked += survey.sectionsMarked;
            expected.sectionsUnusable += survey.sectionsUnusable;
        }

        StreamSurvey survey;
        ASSERT_TRUE(h.survey(write(stream), survey));
        EXPECT_EQ(survey.sectionsToRemark, expected.sectionsToRemark);
        EXPECT_EQ(survey.firstSectionToRemark, expected.firstSectionToRemark);
        EXPECT_EQ(survey.identifiersToChange, expected.identifiersToChange);
        EXPECT_EQ(survey.sectionsMarked, expected.sectionsMarked);
        EXPECT_EQ(survey.sectionsUnusable, expected.sectionsUnusable);
        EXPECT_EQ(survey.firstUnusableSection, expected.firstUnusableSection);
        EXPECT_EQ(survey.unusableReason, expected.unusableReason);

        EXPECT_EQ(h.run(path), expected.sectionsUnusable == 0);
        const ByteString after = test::readFile(path);
        std::size_t j = 0;
        for (const auto& offsets : at) {
            for (std::int64_t offset : offsets) {
                EXPECT_EQ(packetAt(after, offset), expectedPackets[j++]) << "packet at " << offset;
            }
        }
    }
}

TEST_F(M2tsAdjusterTest, FailedWriteEndsTheScanWithFalse) {
    for (const bool writeBehind : {true, false}) {
        SCOPED_TRACE(writeBehind ? "write-behind" : "direct writes");
        StreamBuilder stream;
        stream.addPat();
        stream.addNull(2);
        // The section's one piece is the pass's first write.
        const std::int64_t pmt = stream.addSection(muxerPmt()).front();
        stream.addVideo(pesStart());
        stream.addNull(3);
        stream.addVideo(pesStart());
        std::size_t tries = 0;
        M2tsScanOptions options;
        options.writeBehind = writeBehind;
        options.writeFault = [&](std::int64_t, std::size_t) {
            ++tries;
            return true;
        };
        EXPECT_FALSE(h.run(write(stream), options));
        const auto lines = h.lines();
        EXPECT_EQ(lines.back(),
                  " - Couldn't write the stream at byte " + std::to_string(pmt) + ".");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), lines.back()), 1) << "reported once";
        EXPECT_EQ(tries, 1u) << "nothing is written after the failed write";
        EXPECT_FALSE(os::fileHeldOpen(path));
        h.passLines.clear();
    }
}

TEST_F(M2tsAdjusterTest, ErrorFromAWindowHandlerStillClosesTheFile) {
    StreamBuilder stream = convertibleStream();
    stream.addNull(4);
    h.control.onProcessEvents = [] { throw std::runtime_error("handler failed"); };
    EXPECT_THROW(h.run(write(stream)), std::runtime_error);
    EXPECT_FALSE(os::fileHeldOpen(path));
    h.control.onProcessEvents = nullptr;
    EXPECT_TRUE(h.run(path));
}

TEST_F(M2tsAdjusterTest, ProgressOnTicksAndFullAtTheEnd) {
    StreamBuilder stream = convertibleStream();
    stream.addNull(6);
    write(stream);
    std::vector<std::string> texts;
    std::vector<float> widths;
    h.control.percentText = "x";
    h.control.onProcessEvents = [&] {
        texts.push_back(h.control.percentText);
        widths.push_back(h.control.barWidth);
        h.control.timerTick = true;
    };
    ASSERT_TRUE(h.run(path));
    // The tick of one turn shows at the next, with the packets scanned by then.
    EXPECT_EQ(texts, (std::vector<std::string>{"x", "25.00%", "37.50%", "50.00%", "62.50%",
                                               "75.00%", "87.50%", "100.00%"}));
    EXPECT_FLOAT_EQ(widths[1], 0.25f * 3675.0f);
    EXPECT_EQ(h.control.percentText, "100.00%");
    EXPECT_EQ(h.control.barWidth, 3675.0f);
    EXPECT_EQ(progressPercentText(0.0527), "5.27%");
    EXPECT_EQ(progressPercentText(0.0), "0.00%");
}

TEST_F(M2tsAdjusterTest, DefaultPacingYieldsByTimeNotPerPacket) {
    StreamBuilder stream = convertibleStream();
    stream.addNull(5000);
    ASSERT_TRUE(h.run(write(stream), M2tsScanOptions{}));
    EXPECT_LT(h.control.eventTurns, 10);
}

TEST_F(M2tsAdjusterTest, ShortReadEndsTheScanWithFalse) {
    StreamBuilder stream;
    stream.addNull(12);
    write(stream);
    h.control.onProcessEvents = [&] {
        if (h.control.eventTurns == 2) {
            ASSERT_NO_THROW(std::filesystem::resize_file(path, 192 * 6));
        }
    };
    M2tsScanOptions options = M2tsHarness::perPacket(4);
    options.mapFile = false;
    EXPECT_FALSE(h.run(path, options));
    EXPECT_EQ(h.lines().back(), " - Couldn't read the stream at byte 768.");
    EXPECT_EQ(test::readFile(path).size(), 192u * 6);
}

TEST_F(M2tsAdjusterTest, FileCutShortUnderTheMappingEndsTheScanWithFalse) {
    if (!platform::ReadFaultGuard().installed()) GTEST_SKIP() << "streams are read, not mapped";
    StreamBuilder stream = convertibleStream();
    stream.addNull(98);
    write(stream);
    h.control.onProcessEvents = [&] {
        if (h.control.eventTurns == 2) {
            ASSERT_NO_THROW(std::filesystem::resize_file(path, 192 * 10));
        }
    };
    // The bus error comes with the first packet whose PID lies in the vanished second page.
    EXPECT_FALSE(h.run(path));
    EXPECT_EQ(h.lines().back(), " - Couldn't read the stream at byte 4224.");
    EXPECT_EQ(test::readFile(path).size(), 192u * 10);
    // The handler is gone again: a later scan of a sound file works as before.
    write(stream);
    h.control.onProcessEvents = nullptr;
    EXPECT_TRUE(h.run(path));
}

TEST_F(M2tsAdjusterTest, SparseFileBeyondFourGigabytesIsPatchedAtTheRightOffsets) {
    const std::int64_t far = (4294967296LL / 192 + 1) * 192;  // first packet past 4 GiB
    StreamBuilder tail;
    tail.addPat();
    const std::int64_t pmt = far + tail.addSection(muxerPmt()).front();
    const std::int64_t video = far + tail.addVideo(pesStart());
    test::writeFileAt(path, far, tail.bytes());
    ASSERT_TRUE(h.run(path, M2tsScanOptions{}));
    const ByteString after = test::readFileAt(path, far, tail.bytes().size());
    EXPECT_EQ(sectionFromPackets({packetAt(after, pmt - far)})[kVideoEntryInSection], 0x24);
    EXPECT_EQ(after[static_cast<std::size_t>(video - far) + 11], 0xE1);
    EXPECT_TRUE(sectionCrcValid(sectionFromPackets({packetAt(after, pmt - far)})));
    EXPECT_LE(differingOffsets(tail.bytes(), after).size(), 10u);  // type, id, CRC, stream id
}

}  // namespace
}  // namespace quorvel

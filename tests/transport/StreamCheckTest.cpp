// The read-only looks at a stream: the survey of what a pass would change, and the check of the
// first program map section.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "M2tsHarness.h"
#include "platform/TestOs.h"
#include "transport/StreamCheck.h"

namespace quorvel {
namespace {

using namespace test;
using State = ProgramMapCheck::State;

// The muxer's program map with the video entry already converted.
ByteString markedPmt() {
    return pmtSection({{0x24, kTestVideoPid, registrationDescriptor("HDMV", {0xFF, 0x00})},
                       {0x81, kTestAudioPid, {}}});
}

// Video packets that differ between two copies of a stream.
std::size_t changedVideoPackets(const ByteString& before, const ByteString& after) {
    std::size_t changed = 0;
    for (std::size_t at = 0; at + 192 <= before.size(); at += 192) {
        const bool video = packetPid(before.data() + at) == kTestVideoPid;
        changed += video && !std::equal(before.begin() + static_cast<long>(at),
                                        before.begin() + static_cast<long>(at + 192),
                                        after.begin() + static_cast<long>(at));
    }
    return changed;
}

TEST(StreamSurvey, CountsWhatThePassThenChangesAndWritesNothing) {
    StreamBuilder stream;
    stream.addVideo(pesStart());  // before any program map: left alone
    stream.addPat();
    const std::int64_t pmt = stream.addSection(muxerPmt()).front();
    const std::int64_t pes = stream.addVideo(pesStart());
    stream.addVideo(pesStart());
    stream.addSection(pmtSection({{0x06, kTestVideoPid, registrationDescriptor()},
                                  {0x81, kTestAudioPid, ByteString(339, 0x0A)}}));
    stream.addSection(muxerPmt("ABCD"));
    stream.addSection(markedPmt());
    stream.addVideo(pesStart(0xE1));
    const MalformedSection malformed = malformedSections().front();
    const std::int64_t unusable = stream.add(malformed.packets).front();
    ByteString unsynced = videoPacket({kTestVideoPid, true, 1, 0, 0}, pesStart());
    unsynced[4] = 0x00;
    const std::int64_t withoutSync = stream.add(unsynced);
    stream.addVideo(pesStart());

    M2tsHarness h;
    TempDir dir;
    const std::string path = dir / "00000.m2ts";
    writeFile(path, stream.bytes());
    const long long stamp = modificationTime(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    StreamSurvey survey;
    ASSERT_TRUE(h.survey(path, survey, M2tsHarness::perPacket()));
    EXPECT_EQ(readFile(path), stream.bytes());
    EXPECT_EQ(modificationTime(path), stamp);
    EXPECT_TRUE(h.lines().empty());
    EXPECT_EQ(h.control.percentText, "100.00%");

    EXPECT_EQ(survey.size, stream.size());
    EXPECT_EQ(survey.sectionsToRemark, 3);
    EXPECT_EQ(survey.firstSectionToRemark, pmt);
    EXPECT_EQ(survey.identifiersToChange, 2);
    EXPECT_EQ(survey.sectionsMarked, 1);
    EXPECT_EQ(survey.sectionsUnusable, 1);
    EXPECT_EQ(survey.firstUnusableSection, unusable);
    EXPECT_EQ(survey.unusableReason, malformed.reason);
    EXPECT_EQ(survey.pesToRemark, 3);
    EXPECT_EQ(survey.firstPesToRemark, pes);
    EXPECT_EQ(survey.pesMarked, 1);
    EXPECT_EQ(survey.packetsWithoutSync, 1);
    EXPECT_EQ(survey.firstPacketWithoutSync, withoutSync);

    // The pass changes what the survey counted; a survey afterwards finds it all marked.
    EXPECT_FALSE(h.run(path));
    const ByteString after = readFile(path);
    EXPECT_EQ(changedVideoPackets(stream.bytes(), after), 3u);
    StreamSurvey again;
    ASSERT_TRUE(h.survey(path, again, M2tsHarness::perPacket()));
    EXPECT_EQ(again.sectionsToRemark, 0);
    EXPECT_EQ(again.sectionsMarked, survey.sectionsMarked + survey.sectionsToRemark);
    EXPECT_EQ(again.pesToRemark, 0);
    EXPECT_EQ(again.pesMarked, survey.pesMarked + survey.pesToRemark);
    EXPECT_EQ(again.sectionsUnusable, 1);
}

TEST(StreamSurvey, StopsOnAbortAndRefusesALink) {
    StreamBuilder stream = convertibleStream();
    stream.addNull(10);
    M2tsHarness h;
    TempDir dir;
    const std::string path = dir / "00000.m2ts";
    writeFile(path, stream.bytes());
    h.control.onProcessEvents = [&] {
        if (h.control.eventTurns == 3) h.control.abortRequested = true;
    };
    StreamSurvey survey;
    EXPECT_FALSE(h.survey(path, survey, M2tsHarness::perPacket()));
    EXPECT_EQ(h.control.eventTurns, 3);
    EXPECT_TRUE(h.lines().empty());
    EXPECT_EQ(survey.sectionsToRemark, 1);

    if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
    const std::string link = dir / "link.m2ts";
    std::filesystem::create_symlink(path, link);
    EXPECT_FALSE(h.survey(link, survey));
    EXPECT_EQ(h.lines(), std::vector<std::string>{" - Couldn't open the stream " + link +
                                                         ": it is a symbolic link."});
}

struct CheckCase {
    std::string name;
    std::function<void(const std::string& path)> make;
    State state;
    std::string reason;
    std::int64_t offset;
};

void PrintTo(const CheckCase& c, std::ostream* out) {
    *out << c.name;
}

void writeStream(const std::string& path, const StreamBuilder& stream) {
    writeFile(path, stream.bytes());
}

std::vector<CheckCase> checkCases() {
    std::vector<CheckCase> cases;
    const auto streamOf = [](std::vector<ByteString> packets, std::uint16_t pmtPid = kTestPmtPid) {
        return [packets, pmtPid](const std::string& path) {
            StreamBuilder stream;
            stream.addPat(pmtPid);
            stream.add(packets);
            writeStream(path, stream);
        };
    };
    const ByteString pmtPacket = sectionPackets(muxerPmt(), kTestPmtPid).front();
    const ByteString nullPacket = sourcePacket({kNullPid, false, 1, 0, 0});
    const ByteString video = videoPacket({kTestVideoPid, true, 1, 0, 0}, pesStart());

    cases.push_back({"Convertible", streamOf({pmtPacket}), State::Convertible, "", 192});
    cases.push_back({"AlreadyMarked", streamOf({sectionPackets(markedPmt(), kTestPmtPid).front()}),
                     State::AlreadyMarked, "", 192});
    cases.push_back({"BehindOtherPackets", streamOf({nullPacket, video, nullPacket, pmtPacket}),
                     State::Convertible, "", 4 * 192});
    for (const MalformedSection& malformed : malformedSections()) {
        cases.push_back(
            {malformed.name, streamOf(malformed.packets), State::Refused,
             "the program map section at byte 192 cannot be re-marked: " + malformed.reason, 192});
    }
    cases.push_back(
        {"SectionCutByTheEnd",
         streamOf({sectionPackets(pmtSection({{0x06, kTestVideoPid, {}},
                                              {0x81, kTestAudioPid, ByteString(190, 0x0A)}}),
                                  kTestPmtPid)
                       .front()}),
         State::Refused,
         "the program map section at byte 192 cannot be re-marked: the file ends "
         "before it is complete",
         192});
    cases.push_back({"AssociationNamesAnotherPid", streamOf({pmtPacket}, 0x0200), State::Refused,
                     "no program map section on PID 0x0200 follows", -1});
    cases.push_back({"NoAssociation", [=](const std::string& path) { writeFile(path, pmtPacket); },
                     State::Refused, "no program association section names a program map PID", -1});
    cases.push_back({"Empty", [](const std::string& path) { writeFile(path, {}); }, State::Refused,
                     "it holds no whole 192-byte source packet", -1});
    cases.push_back({"TransportPacketsOf188Bytes",
                     [=](const std::string& path) {
                         StreamBuilder stream = convertibleStream();
                         ByteString packets;
                         for (std::int64_t at = 0; at < stream.size(); at += 192) {
                             const ByteString packet = packetAt(stream.bytes(), at);
                             packets.insert(packets.end(), packet.begin() + 4, packet.end());
                         }
                         writeFile(path, packets);
                     },
                     State::Refused,
                     "it is not a stream of 192-byte source packets: its first packet has no sync "
                     "byte 0x47 at byte 4",
                     -1});
    cases.push_back({"ProgramMapBeyondTheLimit",
                     [=](const std::string& path) {
                         StreamBuilder head;
                         head.addPat();
                         writeStream(path, head);
                         const std::int64_t far = (kProgramMapCheckLimit / 192 + 1) * 192;
                         test::writeFileAt(path, far, ByteString(pmtPacket.begin(),
                                                                 pmtPacket.begin() + 192));
                     },
                     State::Refused,
                     "no program map section on PID 0x0100 follows in its first 64 MiB", -1});
    cases.push_back({"SymbolicLink",
                     [](const std::string& path) {
                         if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
                         std::filesystem::create_symlink(path + ".target", path);
                         StreamBuilder stream = convertibleStream();
                         writeStream(path + ".target", stream);
                     },
                     State::Refused, "it is a symbolic link", -1});
    cases.push_back({"Fifo",
                     [](const std::string& path) {
                         if (!test::os::fifosAvailable()) GTEST_SKIP() << "no FIFOs on this system";
                         ASSERT_TRUE(test::os::makeFifo(path));
                     },
                     State::Refused, "it is not a regular file", -1});
    cases.push_back({"Missing", [](const std::string&) {}, State::Refused,
                     "cannot open it for reading (" + test::missingFileReason() + ")", -1});
    return cases;
}

class FirstProgramMapCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(FirstProgramMapCheck, ReadsOnlyAsFarAsTheFirstSection) {
    const CheckCase& c = GetParam();
    TempDir dir;
    const std::string path = dir / "00000.m2ts";
    c.make(path);
    if (IsSkipped()) return;
    const ProgramMapCheck check = checkFirstProgramMap(path);
    EXPECT_EQ(check.state, c.state);
    EXPECT_EQ(check.reason, c.reason);
    EXPECT_EQ(check.offset, c.offset);
}

INSTANTIATE_TEST_SUITE_P(Streams, FirstProgramMapCheck, ::testing::ValuesIn(checkCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvel

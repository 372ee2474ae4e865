// The job's side of the undo record: what a job writes on it, before its changes, is enough to
// give the disc back its bytes from before the first job, whatever jobs ran over it and wherever
// they were cut.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <functional>

#include "app/ConversionDriver.h"
#include "navigation/NavigationTestSupport.h"
#include "platform/TestOs.h"
#include "support/DiscBuilder.h"
#include "support/RecordingHost.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"
#include "support/UndoReplay.h"

namespace quorvel {
namespace {

using test::RecordingHost;
using test::TempDir;
using test::Tree;
using test::readTree;
using Lines = std::vector<std::string>;

// The real steps, the analyser's report made up; `failWrite` n > 0 makes the n-th write of a
// stream pass fail as a full disk would, and so cuts the job there.
struct UndoSteps : RealJobSteps {
    StreamAttributes video{true, true, true, 3840, 2160, test::nav::uhdExtension(true), {}};
    int failWrite = 0;

    ScanResult scanStream(const std::string&, const std::string&, StopToken&) override {
        return {ScanOutcome::Collected, video, {}};
    }
    StreamPass UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                               StopToken& stop, ProgressSink& progress) override {
        M2tsScanOptions cut = options;
        auto writes = std::make_shared<int>(0);
        if (failWrite > 0) {
            cut.writeFault = [writes, n = failWrite](std::int64_t, std::size_t) {
                return ++*writes == n;
            };
        }
        return RealJobSteps::UHD_Adjust_M2TS(m2ts, cut, stop, progress);
    }
};

// The disc's stream(s) as a case wants them before the first job.
using StreamEdit = std::function<void(ByteString& stream)>;

// Video PES starts that read E1 already (every other one) and a program map packet whose bytes
// behind the section are not the 0xFF stuffing the rebuild writes.
void convertedLookingStarts(ByteString& stream) {
    bool flip = false;
    for (std::size_t at = 0; at + 192 <= stream.size(); at += 192) {
        std::uint8_t* p = stream.data() + at;
        if (test::packetPid(p) == test::kTestVideoPid && p[8] == 0 && p[9] == 0 && p[10] == 1) {
            if (flip) p[11] = 0xE1;
            flip = !flip;
        }
        if (test::packetPid(p) == test::kTestPmtPid) std::fill(p + 180, p + 192, 0x00);
    }
}

// A program map section that names the video "HDMV" already, and a second section behind the
// video, repeated as a muxer does.
void hdmvSectionsRepeated(ByteString& stream) {
    test::StreamBuilder builder;
    builder.addPat();
    const ByteString section = test::pmtSection(
        {test::StreamEntry{0x06, test::kTestVideoPid, test::registrationDescriptor("HDMV")}});
    for (int repeat = 0; repeat < 3; ++repeat) {
        builder.addSection(section);
        for (int k = 0; k < 20; ++k) builder.addVideo(k % 5 == 0 ? test::pesStart() : ByteString(16, 0x5A), k % 5 == 0);
    }
    stream = builder.bytes();
}

// Sections over three packets (a long program information loop ahead of the video entry), so
// that the changed bytes lie in continuation packets, interleaved with video.
void threePacketSections(ByteString& stream) {
    ByteString programInfo;
    for (int k = 0; k < 2; ++k) {
        programInfo.push_back(0x88);
        programInfo.push_back(200);
        programInfo.insert(programInfo.end(), 200, static_cast<std::uint8_t>(0x30 + k));
    }
    const ByteString section = test::pmtSection(
        {test::StreamEntry{0x06, test::kTestVideoPid, test::registrationDescriptor()}}, programInfo);
    test::StreamBuilder builder;
    builder.addPat();
    for (int repeat = 0; repeat < 3; ++repeat) {
        const std::vector<ByteString> packets = test::sectionPackets(section, test::kTestPmtPid, repeat * 3);
        for (const ByteString& packet : packets) {
            builder.add(packet);
            builder.addVideo(test::pesStart(), true);
        }
    }
    stream = builder.bytes();
}

struct UndoRecordJob : ::testing::Test {
    TempDir dir;
    TempDir state;
    RecordingHost window;
    UndoSteps* steps = nullptr;
    std::unique_ptr<ConversionDriver> core;

    // The state folder of this test (XDG_STATE_HOME on POSIX, LOCALAPPDATA on Windows), and the
    // one of the suite, given back after it.
    const std::string savedXdg = environment("XDG_STATE_HOME");
    const std::string savedLocal = environment("LOCALAPPDATA");

    static std::string environment(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    }
    static void useStateFolder(const std::string& xdg, const std::string& local) {
        test::os::setEnvironmentVariable("XDG_STATE_HOME", xdg);
        test::os::setEnvironmentVariable("LOCALAPPDATA", local);
    }
    void SetUp() override { useStateFolder(state.path() + "state", state.path() + "state"); }
    void TearDown() override { useStateFolder(savedXdg, savedLocal); }

    void makeDisc(int clips, const StreamEdit& edit = {}) {
        test::makeDisc(dir.path(), {.clips = clips});
        if (edit) {
            for (int k = 0; k < clips; ++k) {
                const std::string path = dir.path() + "BDMV/STREAM/0000" + std::to_string(k) + ".m2ts";
                ByteString bytes = test::readFile(path);
                edit(bytes);
                test::writeFile(path, bytes);
            }
        }
        window.source = dir.path();
        auto owned = std::make_unique<UndoSteps>();
        steps = owned.get();
        core = std::make_unique<ConversionDriver>(window, std::move(owned), [] { return LocalTime{9, 8, 7}; });
        window.core = core.get();
    }
    JobOutcome job(bool skipM2ts = false, int failWrite = 0) {
        window.skipM2ts = skipM2ts;
        steps->failWrite = failWrite;
        core->Command1_Click();
        return core->lastOutcome();
    }
    std::string record() const { return test::onlyRecordIn(undo::recordFolder({})); }
    Lines log() const { return test::maskTimes(window.lines()); }
    bool logged(const std::string& text) const {
        const Lines lines = log();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
};

// Every way the jobs over a disc can go: whatever ran, the record gives back the first bytes.
struct JobsCase {
    const char* name;
    int clips;
    StreamEdit edit;
    std::vector<std::pair<bool, int>> jobs;  // (Skip M2TS, the stream write that fails; 0: none)
};

class JobsThenReplay : public UndoRecordJob, public ::testing::WithParamInterface<JobsCase> {};

TEST_P(JobsThenReplay, GivesBackTheBytesFromBeforeTheFirstJob) {
    makeDisc(GetParam().clips, GetParam().edit);
    const Tree original = readTree(dir.path());
    for (const auto& [skip, failWrite] : GetParam().jobs) {
        EXPECT_EQ(job(skip, failWrite), failWrite > 0 ? JobOutcome::Failed : JobOutcome::Succeeded);
    }
    EXPECT_EQ(job(), JobOutcome::Succeeded);  // and a last one that completes the disc
    const Tree converted = readTree(dir.path());
    ASSERT_NE(converted, original);
    ASSERT_FALSE(record().empty());
    EXPECT_EQ(test::replayUndoRecord(record(), dir.path()), "");
    EXPECT_EQ(readTree(dir.path()), original);
    // Converting again gives the same bytes, and the record stays one.
    EXPECT_EQ(job(), JobOutcome::Succeeded);
    EXPECT_EQ(readTree(dir.path()), converted);
    EXPECT_FALSE(record().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, JobsThenReplay,
    ::testing::Values(
        JobsCase{"OneClip", 1, {}, {}},
        JobsCase{"ThreeClips", 3, {}, {}},
        JobsCase{"ConvertedLookingStartsAndStuffing", 1, convertedLookingStarts, {}},
        JobsCase{"HdmvSectionsRepeated", 1, hdmvSectionsRepeated, {}},
        JobsCase{"ThreePacketSections", 1, threePacketSections, {{false, 4}}},
        JobsCase{"SkipM2tsFirst", 2, {}, {{true, 0}}},
        JobsCase{"CutAtTheFirstStreamWrite", 1, {}, {{false, 1}}},
        JobsCase{"CutAtTheSecondStreamWrite", 2, convertedLookingStarts, {{false, 2}}},
        JobsCase{"CutTwice", 1, hdmvSectionsRepeated, {{false, 2}, {false, 5}}}),
    [](const auto& info) { return std::string(info.param.name); });

// The disc states that get no record, a record of the present state, or a refusal.
TEST_F(UndoRecordJob, RecordsOnlyWhatAJobChangesAndRefusesWhenItCannot) {
    // A disc converted before records existed: a job changes nothing and makes none.
    makeDisc(1);
    ASSERT_EQ(job(), JobOutcome::Succeeded);
    std::filesystem::remove(record());
    EXPECT_EQ(job(), JobOutcome::Succeeded);
    EXPECT_EQ(record(), "");

    // A partly converted disc without a record: a record of its present state, and a line.
    TempDir other;
    test::makeDisc(other.path(), {.clips = 1});
    window.source = other.path();
    ASSERT_EQ(job(true), JobOutcome::Succeeded);
    std::filesystem::remove(record());
    const Tree partly = readTree(other.path());
    EXPECT_EQ(job(), JobOutcome::Succeeded);
    EXPECT_TRUE(logged(" - No undo record was found for this partly converted disc: one was made of "
                       "its present state, and an undo gives back that state, not the disc as it "
                       "was made."));
    EXPECT_EQ(test::replayUndoRecord(record(), other.path()), "");
    EXPECT_EQ(readTree(other.path()), partly);

    // A record that cannot be written refuses the job before any change.
    TempDir third;
    test::makeDisc(third.path(), {.clips = 1});
    window.source = third.path();
    test::writeFile(state.path() + "blocked", {});
    useStateFolder(state.path() + "blocked", state.path() + "blocked");
    const Tree before = readTree(third.path());
    EXPECT_EQ(job(), JobOutcome::Failed);
    EXPECT_EQ(readTree(third.path()), before);
    const Lines lines = log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3].rfind(
                  " - Couldn't write the undo record " + undo::recordFolder({}) + "/", 0),
              0u)
        << lines[lines.size() - 3];
    EXPECT_EQ(lines[lines.size() - 2], "[ts] Failed. No file was changed.");
}

}  // namespace
}  // namespace quorvel

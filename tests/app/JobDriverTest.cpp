#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>

#include "app/Quorvel.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::RecordingWindow;
using test::TempDir;
using Lines = std::vector<std::string>;

// Steps that log like the real ones and return what the test says.
struct FakeSteps : JobSteps {
    bool scan = true, mpls = true, clpi = true, bdmv = true, m2ts = true;
    Lines calls;
    std::function<void(JobContext&)> duringM2ts;
    std::function<void(JobContext&)> duringMpls;

    bool GetMediaInfo(JobContext& ctx, const std::string& path) override {
        calls.push_back("scan " + path);
        ctx.log.Status(ctx.log.TimeStamp() + " Scanning source for UHD attributes...");
        return scan;
    }
    bool UHD_Adjust_MPLS(JobContext& ctx, const std::string& path) override {
        calls.push_back("mpls " + path);
        ctx.log.Status(ctx.log.TimeStamp() + " Checking/Adjusting MPLS file...");
        test::writeText(path, "patched playlist");
        if (duringMpls) duringMpls(ctx);
        return mpls;
    }
    bool UHD_Adjust_CLPI(JobContext&, const std::string& path) override {
        calls.push_back("clpi " + path);
        test::writeText(path, "patched clip");
        return clpi;
    }
    bool UHD_Adjust_BDMV(JobContext&, const std::string& index, const std::string& mobj) override {
        calls.push_back("bdmv " + index + " " + mobj);
        test::writeText(index, "patched index");
        test::writeText(mobj, "patched movie object");
        return bdmv;
    }
    bool UHD_Adjust_M2TS(JobContext& ctx, const std::string& path) override {
        calls.push_back("m2ts " + path);
        if (duringM2ts) duringM2ts(ctx);
        return m2ts;
    }
};

struct JobDriverTest : ::testing::Test {
    TempDir dir;
    RecordingWindow window;
    FakeSteps* steps = nullptr;
    std::unique_ptr<Quorvel> core;
    Lines captions;

    void SetUp() override {
        test::makeSkeletonDisc(dir.path());
        window.source = dir.path();
        auto owned = std::make_unique<FakeSteps>();
        steps = owned.get();
        core = std::make_unique<Quorvel>(window, std::move(owned), [] {
            return LocalTime{9, 8, 7};
        });
    }
    Lines log() const { return window.lines(); }
};

TEST_F(JobDriverTest, ASuccessfulJobRunsEveryStepInOrderOnTheFirstFiles) {
    core->Command1_Click();
    const std::string s = dir.path();
    EXPECT_EQ(steps->calls,
              (Lines{"scan " + s + "BDMV/STREAM", "mpls " + s + "BDMV/PLAYLIST/00000.mpls",
                     "clpi " + s + "BDMV/CLIPINF/00000.clpi",
                     "bdmv " + s + "BDMV/index.bdmv " + s + "BDMV/MovieObject.bdmv",
                     "m2ts " + s + "BDMV/STREAM/00000.m2ts"}));
    EXPECT_EQ(
        log(),
        (Lines{"========Job Started========", "[09:08:07] Scanning source for UHD attributes...",
               "[09:08:07] Checking/Adjusting MPLS file...", "[09:08:07] QUORVEL - SUCCESS",
               "=========Job Ended========="}));
    EXPECT_EQ(window.caption, "Convert It To UHD-BD");
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    EXPECT_FALSE(core->jobActive());
}

TEST_F(JobDriverTest, RefreshesEveryBackupCopyFromThePatchedFile) {
    core->Command1_Click();
    const std::string s = dir.path();
    for (const char* name :
         {"PLAYLIST/00000.mpls", "CLIPINF/00000.clpi", "index.bdmv", "MovieObject.bdmv"}) {
        EXPECT_EQ(test::readFile(s + "BDMV/BACKUP/" + name), test::readFile(s + "BDMV/" + name))
            << name;
    }
}

TEST_F(JobDriverTest, TheButtonReadsAbortWhileTheJobRuns) {
    steps->duringM2ts = [&](JobContext& ctx) { captions.push_back(ctx.window.buttonCaption()); };
    core->Command1_Click();
    EXPECT_EQ(captions, Lines{"Abort"});
}

TEST_F(JobDriverTest, AFailedScanStopsWithoutAnEndLine) {
    steps->scan = false;
    core->Command1_Click();
    EXPECT_EQ(log(), (Lines{"========Job Started========",
                            "[09:08:07] Scanning source for UHD attributes..."}));
    EXPECT_EQ(steps->calls.size(), 1u);
    EXPECT_EQ(window.caption, "Convert It To UHD-BD");
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Failed);
}

struct MissingFileCase {
    const char* file;
    const char* line;
    std::size_t callsMade;
};

class MissingFileTest : public JobDriverTest,
                        public ::testing::WithParamInterface<MissingFileCase> {};

TEST_P(MissingFileTest, LogsTheFailureLineThenTheEndLine) {
    std::remove((dir.path() + GetParam().file).c_str());
    core->Command1_Click();
    const Lines lines = log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2], std::string("[09:08:07]") + GetParam().line);
    EXPECT_EQ(lines.back(), "=========Job Ended=========");
    EXPECT_EQ(steps->calls.size(), GetParam().callsMade);
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Failed);
}

INSTANTIATE_TEST_SUITE_P(
    EachKindOfFile, MissingFileTest,
    ::testing::Values(
        MissingFileCase{"BDMV/PLAYLIST/00000.mpls", " Failed. Couldn't find MPLS file.", 1},
        MissingFileCase{"BDMV/CLIPINF/00000.clpi", " Failed. Couldn't find CLPI file.", 2},
        MissingFileCase{"BDMV/STREAM/00000.m2ts", " Failed. Couldn't find M2TS file.", 4}));

TEST_F(JobDriverTest, APlaylistFailureEndsTheJobWithoutALineOfItsOwn) {
    steps->mpls = false;
    core->Command1_Click();
    const Lines lines = log();
    EXPECT_EQ(lines[lines.size() - 2], "[09:08:07] Checking/Adjusting MPLS file...");
    EXPECT_EQ(lines.back(), "=========Job Ended=========");
    EXPECT_EQ(steps->calls.size(), 2u);
    // A failed step's file is not copied over its backup.
    EXPECT_EQ(test::readFile(dir / "BDMV/BACKUP/PLAYLIST/00000.mpls"), asciiBytes("MPLS0200"));
}

TEST_F(JobDriverTest, AClipInformationFailureEndsTheJobWithoutALineOfItsOwn) {
    steps->clpi = false;
    core->Command1_Click();
    const Lines lines = log();
    EXPECT_EQ(lines.back(), "=========Job Ended=========");
    EXPECT_EQ(lines[lines.size() - 2], "[09:08:07] Checking/Adjusting MPLS file...");
    EXPECT_EQ(steps->calls.size(), 3u);
}

TEST_F(JobDriverTest, AnIndexFailureIsReported) {
    steps->bdmv = false;
    core->Command1_Click();
    const Lines lines = log();
    EXPECT_EQ(lines[lines.size() - 2],
              "[09:08:07] Failed. Couldn't update index or MovieObject...");
    EXPECT_EQ(steps->calls.size(), 4u);
    EXPECT_EQ(test::readFile(dir / "BDMV/BACKUP/index.bdmv"), asciiBytes("INDX0200"));
}

TEST_F(JobDriverTest, AStreamFailureIsReported) {
    steps->m2ts = false;
    core->Command1_Click();
    const Lines lines = log();
    EXPECT_EQ(lines[lines.size() - 2], "[09:08:07] Failed. Couldn't update M2TS...");
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Failed);
}

TEST_F(JobDriverTest, SkipM2tsSucceedsWithoutTouchingTheStream) {
    window.skipM2ts = true;
    core->Command1_Click();
    EXPECT_EQ(steps->calls.size(), 4u);
    const Lines lines = log();
    EXPECT_EQ(lines[lines.size() - 2], "[09:08:07] QUORVEL - SUCCESS");
}

TEST_F(JobDriverTest, SkipM2tsStillNeedsAStreamFile) {
    window.skipM2ts = true;
    std::remove((dir / "BDMV/STREAM/00000.m2ts").c_str());
    core->Command1_Click();
    const Lines lines = log();
    EXPECT_EQ(lines[lines.size() - 2], "[09:08:07] Failed. Couldn't find M2TS file.");
}

TEST_F(JobDriverTest, AnAbortPressDuringTheStreamPassLogsTheThreeWarnings) {
    steps->duringM2ts = [&](JobContext& ctx) {
        core->Command1_Click();  // the press, handled inside the stream pass's yield
        captions.push_back(ctx.window.buttonCaption());
        EXPECT_TRUE(ctx.state.abortRequested);
        steps->m2ts = false;
    };
    const std::size_t linesBefore = log().size();
    core->Command1_Click();
    EXPECT_EQ(captions, Lines{"Convert It To UHD-BD"});
    const Lines lines = log();
    ASSERT_GE(lines.size(), linesBefore + 5);
    EXPECT_EQ(Lines(lines.end() - 5, lines.end()),
              (Lines{"[09:08:07] Job aborted by user.", " - Warning:  M2TS update not completed",
                     " - Warning:  M2TS format is not compliant",
                     " - Warning:  Restart job to complete.", "=========Job Ended========="}));
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Aborted);
}

TEST_F(JobDriverTest, APressAfterTheAbortPressDoesNotNestASecondJob) {
    steps->duringM2ts = [&](JobContext&) {
        core->Command1_Click();  // abort press
        core->Command1_Click();  // the caption is idle again, but the job has not ended
        EXPECT_TRUE(core->Form_QueryUnload()) << "closing under the aborted job is refused";
        steps->m2ts = false;
    };
    core->Command1_Click();
    const Lines lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "========Job Started========"), 1);
    EXPECT_EQ(steps->calls.size(), 5u);
    EXPECT_TRUE(window.boxes.empty());
    // Once the end line is written, a press starts a new job again, with the flag cleared.
    steps->duringM2ts = [&](JobContext& ctx) { EXPECT_FALSE(ctx.state.abortRequested); };
    steps->m2ts = true;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
}

TEST_F(JobDriverTest, AnAbortPressLogsNothingItself) {
    window.caption = "Abort";
    core->Command1_Click();
    EXPECT_TRUE(core->state().abortRequested);
    EXPECT_EQ(window.caption, "Convert It To UHD-BD");
    EXPECT_TRUE(window.logText.empty());
}

TEST_F(JobDriverTest, ClosingAsksOnlyWhileAJobRunsAndOnlyYesAborts) {
    EXPECT_FALSE(core->Form_QueryUnload());
    EXPECT_TRUE(window.boxes.empty());

    Lines answers;
    steps->duringM2ts = [&](JobContext& ctx) {
        window.nextAnswer = MessageBoxResult::No;
        EXPECT_TRUE(core->Form_QueryUnload());
        EXPECT_FALSE(ctx.state.abortRequested);
        window.nextAnswer = MessageBoxResult::Yes;
        EXPECT_TRUE(core->Form_QueryUnload());
        EXPECT_TRUE(ctx.state.abortRequested);
        steps->m2ts = false;
    };
    core->Command1_Click();
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.boxes[0].text, "Process executing.  Do you wish to abort?");
    EXPECT_EQ(window.boxes[0].title, "Confirm Abort");
    EXPECT_EQ(window.boxes[0].kind, MessageBoxKind::Question);
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Aborted);
    EXPECT_FALSE(core->Form_QueryUnload());
}

TEST_F(JobDriverTest, AMissingBackupFolderIsPassedOverSilently) {
    TempDir bare;
    test::makeSkeletonDisc(bare.path(), false);
    window.source = bare.path();
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    EXPECT_FALSE(test::exists(bare / "BDMV/BACKUP"));
    EXPECT_EQ(log().size(), 5u);
}

TEST_F(JobDriverTest, AReadOnlyBackupCopyIsReplaced) {
    const std::string copy = dir / "BDMV/BACKUP/PLAYLIST/00000.mpls";
    ASSERT_EQ(::chmod(copy.c_str(), 0444), 0);
    core->Command1_Click();
    EXPECT_EQ(test::readFile(copy), asciiBytes("patched playlist"));
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
}

TEST_F(JobDriverTest, AnUnwritableBackupFolderDoesNotStopTheJob) {
    // Replace the backup playlist folder by a plain file: neither delete nor copy can work.
    test::TempDir other;
    const std::string folder = dir / "BDMV/BACKUP/PLAYLIST";
    std::remove((folder + "/00000.mpls").c_str());
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
    test::writeText(folder, "not a folder");
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    EXPECT_EQ(test::readFile(folder), asciiBytes("not a folder"));
}

TEST_F(JobDriverTest, OnlyTheFirstPlaylistInCaseInsensitiveOrderIsPatched) {
    test::writeText(dir / "BDMV/PLAYLIST/00001.MPLS", "MPLS0200");
    test::writeText(dir / "BDMV/PLAYLIST/0000.Mpls", "MPLS0200");
    test::writeText(dir / "BDMV/BACKUP/PLAYLIST/00001.MPLS", "MPLS0200");
    core->Command1_Click();
    EXPECT_EQ(steps->calls[1], "mpls " + dir.path() + "BDMV/PLAYLIST/0000.Mpls");
    EXPECT_EQ(test::readFile(dir / "BDMV/BACKUP/PLAYLIST/00001.MPLS"), asciiBytes("MPLS0200"));
    EXPECT_EQ(test::readFile(dir / "BDMV/PLAYLIST/00000.mpls"), asciiBytes("MPLS0200"));
}

TEST_F(JobDriverTest, AnErrorNoStepTrapsEndsTheJobWhereItIs) {
    steps->duringMpls = [](JobContext&) { throw std::runtime_error("disk on fire"); };
    EXPECT_THROW(core->Command1_Click(), std::runtime_error);
    const Lines lines = log();
    EXPECT_EQ(lines.back(), "[09:08:07] Checking/Adjusting MPLS file...");
    EXPECT_FALSE(core->jobActive());
    EXPECT_EQ(steps->calls.size(), 2u);
}

TEST_F(JobDriverTest, TheSourceIsReadOnceAtTheStart) {
    TempDir other;
    test::makeSkeletonDisc(other.path());
    steps->duringMpls = [&](JobContext&) { window.source = other.path(); };
    core->Command1_Click();
    EXPECT_EQ(steps->calls.back(), "m2ts " + dir.path() + "BDMV/STREAM/00000.m2ts");
}

TEST_F(JobDriverTest, FoldersOfAnotherLetterCaseAreFound) {
    TempDir lower;
    test::makeDirs(lower / "bdmv/playlist");
    test::makeDirs(lower / "bdmv/clipinf");
    test::makeDirs(lower / "bdmv/stream");
    test::writeText(lower / "bdmv/INDEX.BDMV", "INDX0200");
    test::writeText(lower / "bdmv/MOVIEOBJECT.BDMV", "MOBJ0200");
    test::writeText(lower / "bdmv/playlist/00000.MPLS", "MPLS0200");
    test::writeText(lower / "bdmv/clipinf/00000.CLPI", "HDMV0200");
    test::writeText(lower / "bdmv/stream/00000.M2TS", "stream");
    window.source = lower.path();
    EXPECT_TRUE(Quorvel::srcVerified(lower.path()));
    core->Command1_Click();
    const std::string s = lower.path();
    EXPECT_EQ(steps->calls[0], "scan " + s + "bdmv/stream");
    EXPECT_EQ(steps->calls[3], "bdmv " + s + "bdmv/INDEX.BDMV " + s + "bdmv/MOVIEOBJECT.BDMV");
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
}

TEST_F(JobDriverTest, TimerTicksSetTheFlag) {
    EXPECT_FALSE(core->state().timerTick);
    core->Timer1_Timer();
    EXPECT_TRUE(core->state().timerTick);
}

}  // namespace
}  // namespace quorvel

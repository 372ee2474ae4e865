// The whole job through the driver on small discs in the muxer's layout, with the real plan, the
// real adjusters and the real stream pass; only the analyser is replaced, so that each case can
// say what it reports.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>

#include "app/ConversionDriver.h"
#include "support/RecordingHost.h"
#include "navigation/NavigationTestSupport.h"
#include "platform/TestOs.h"
#include "support/DiscBuilder.h"
#include "support/JobListing.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::RecordingHost;
using test::TempDir;
using Lines = std::vector<std::string>;
using test::Tree;
using test::readTree;

// The real steps, but a scan that reports a 3840x2160 HDR10 video (or what the test sets) without
// running the analyser. `calls` lists the scans and the steps that write.
struct ScriptedSteps : RealJobSteps {
    StreamAttributes video{true, true, true, 3840, 2160, test::nav::uhdExtension(true), {}};
    ScanOutcome outcome = ScanOutcome::Collected;
    bool streamPass = true;
    Lines calls;
    std::function<void()> duringM2ts;

    ScanResult scanStream(const std::string&, const std::string& m2ts, StopToken&) override {
        calls.push_back("scan " + m2ts);
        ScanResult scan{outcome, video, {}};
        if (outcome == ScanOutcome::Collected) {
            scan.lines = {{" - UHD and HDR attributes collected.", false},
                          {" - Scan completed.", false}};
        } else if (outcome == ScanOutcome::Failed) {
            scan.lines = {{" - Scan failed: the analyser ended with exit code 2.", false}};
        }
        return scan;
    }
    Adjustment UHD_Adjust_MPLS(const std::string& mpls, const ByteString& extension,
                               AdjustMode mode) override {
        if (mode == AdjustMode::Write) calls.push_back("mpls " + mpls);
        return RealJobSteps::UHD_Adjust_MPLS(mpls, extension, mode);
    }
    Adjustment UHD_Adjust_CLPI(const std::string& clpi, bool isHdr, AdjustMode mode) override {
        if (mode == AdjustMode::Write) calls.push_back("clpi " + clpi);
        return RealJobSteps::UHD_Adjust_CLPI(clpi, isHdr, mode);
    }
    Adjustment UHD_Adjust_BDMV(const std::string& index, const std::string& movieObject,
                               AdjustMode mode) override {
        if (mode == AdjustMode::Write) calls.push_back("bdmv");
        return RealJobSteps::UHD_Adjust_BDMV(index, movieObject, mode);
    }
    StreamPass UHD_Adjust_M2TS(const std::string& m2ts, const M2tsScanOptions& options,
                               StopToken& stop, ProgressSink& progress) override {
        calls.push_back("m2ts " + m2ts);
        if (duringM2ts) duringM2ts();
        if (!streamPass) return {StreamPass::Outcome::Aborted, {}};
        return RealJobSteps::UHD_Adjust_M2TS(m2ts, options, stop, progress);
    }
};

// How a small stream of makeDisc marks its video: PES starts still E0, already E1, and the
// stream type of the video entry of every program map section.
struct StreamMarks {
    int e0 = 0;
    int e1 = 0;
    std::vector<int> sectionTypes;
    bool operator==(const StreamMarks&) const = default;
};

StreamMarks marksOf(const ByteString& stream) {
    StreamMarks marks;
    for (std::size_t at = 0; at + 192 <= stream.size(); at += 192) {
        const std::uint8_t* p = stream.data() + at;
        const int pid = test::packetPid(p);
        if (pid == test::kTestVideoPid && p[8] == 0 && p[9] == 0 && p[10] == 1) {
            marks.e0 += p[11] == 0xE0;
            marks.e1 += p[11] == 0xE1;
        }
        if (pid == test::kTestPmtPid && (p[5] & 0x40) != 0) {
            const int programInfo = ((p[19] & 0x0F) << 8) | p[20];
            marks.sectionTypes.push_back(p[21 + programInfo]);
        }
    }
    return marks;
}

const Lines kStreamAndSuccess = {"[ts] Checking/Adjusting M2TS file...", "[ts] QUORVEL - SUCCESS",
                                 "=========Job Ended========="};

struct JobDriverTest : ::testing::Test {
    TempDir dir;
    RecordingHost window;
    ScriptedSteps* steps = nullptr;
    std::unique_ptr<ConversionDriver> core;

    void makeDisc(const test::DiscRecipe& recipe) {
        test::makeDisc(dir.path(), recipe);
        window.source = dir.path();
        auto owned = std::make_unique<ScriptedSteps>();
        steps = owned.get();
        core = std::make_unique<ConversionDriver>(window, std::move(owned), [] {
            return LocalTime{9, 8, 7};
        });
        window.core = core.get();
    }
    Lines log() const { return test::maskTimes(window.lines()); }
    // The log of the last job only.
    Lines lastJob() const {
        const Lines all = log();
        const auto start = std::find(all.rbegin(), all.rend(), "========Job Started========");
        return Lines(start.base() - 1, all.end());
    }
    Lines tail(std::size_t n) const {
        const Lines all = log();
        return Lines(all.end() - static_cast<std::ptrdiff_t>(std::min(n, all.size())), all.end());
    }
};

TEST_F(JobDriverTest, AJobConvertsEveryFileAndBackupAndASecondJobChangesNothing) {
    makeDisc({});
    using test::operator+;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    EXPECT_EQ(lastJob(), Lines{"========Job Started========"} + test::scanLines(true) +
                             test::firstJobNavigationLines() + kStreamAndSuccess);
    EXPECT_EQ(window.caption, "Convert It To UHD-BD");
    EXPECT_FALSE(core->jobActive());

    const Tree converted = readTree(dir.path());
    for (const char* name : {"index.bdmv", "MovieObject.bdmv", "PLAYLIST/00000.mpls",
                             "CLIPINF/00000.clpi"}) {
        EXPECT_EQ(converted.at(std::string("BDMV/BACKUP/") + name),
                  converted.at(std::string("BDMV/") + name))
            << name;
        EXPECT_EQ(ByteString(converted.at(std::string("BDMV/") + name).begin() + 4,
                             converted.at(std::string("BDMV/") + name).begin() + 8),
                  asciiBytes("0300"))
            << name;
    }
    EXPECT_EQ(marksOf(converted.at("BDMV/STREAM/00000.m2ts")), (StreamMarks{0, 4, {0x24}}));

    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    EXPECT_EQ(readTree(dir.path()), converted);
}

TEST_F(JobDriverTest, ASplitTitleConvertsEveryClipAndNamesTheFilesOfFurtherClips) {
    makeDisc({.clips = 3});
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);

    const Lines remarked = {" - Found HEVC stream...", "   -- Type marker adjusted to UHD-BD HEVC...",
                            "   -- Format marker adjusted to 2160p...",
                            "   -- Version marker adjusted to be 0300..."};
    using test::operator+;
    const Lines scanDone = {" - UHD and HDR attributes collected.", " - Scan completed."};
    const Lines expected =
        Lines{"========Job Started========", "[ts] Scanning source for UHD attributes..."} +
        scanDone + Lines{"[ts] Scanning 00001.m2ts for UHD attributes..."} + scanDone +
        Lines{"[ts] Scanning 00002.m2ts for UHD attributes..."} + scanDone +
        Lines{"[ts] Checking/Adjusting MPLS file..."} + remarked + remarked + remarked +
        Lines{"[ts] Checking/Adjusting CLPI file..."} + remarked +
        Lines{"[ts] Checking/Adjusting CLPI file 00001.clpi..."} + remarked +
        Lines{"[ts] Checking/Adjusting CLPI file 00002.clpi..."} + remarked +
        Lines{"[ts] Checking/Adjusting BDMV files...", " - Added UHD-BD extension...",
              " - Checked/Updated version in Index file...",
              " - Checked/Updated version in MovieObject file...",
              "[ts] Checking/Adjusting M2TS file...",
              "[ts] Checking/Adjusting M2TS file 00001.m2ts...",
              "[ts] Checking/Adjusting M2TS file 00002.m2ts...", "[ts] QUORVEL - SUCCESS",
              "=========Job Ended========="};
    EXPECT_EQ(log(), expected);
    EXPECT_EQ(window.percentText, "100.00%");

    const Tree converted = readTree(dir.path());
    for (const char* clip : {"00000", "00001", "00002"}) {
        const std::string clpi = std::string("CLIPINF/") + clip + ".clpi";
        EXPECT_EQ(converted.at("BDMV/BACKUP/" + clpi), converted.at("BDMV/" + clpi)) << clip;
        EXPECT_EQ(converted.at("BDMV/" + clpi)[4], '0');
        EXPECT_EQ(marksOf(converted.at(std::string("BDMV/STREAM/") + clip + ".m2ts")),
                  (StreamMarks{0, 4, {0x24}}))
            << clip;
    }
    core->Command1_Click();
    EXPECT_EQ(readTree(dir.path()), converted);
}

// A disc that a job must not touch: whatever is wrong with it, and wherever, the job says which
// file and why, ends as failed, and no byte of any file changes, BACKUP included.
struct RefusedCase {
    const char* name;
    int clips;
    std::function<void(const std::string& root, ScriptedSteps&)> damage;
    const char* line;  // what the refusal line says
};

class RefusedDisc : public JobDriverTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedDisc, ChangesNoFileAndSaysWhy) {
    makeDisc({.clips = GetParam().clips});
    GetParam().damage(dir.path(), *steps);
    if (IsSkipped()) return;
    const Tree before = readTree(dir.path());

    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Failed);
    EXPECT_EQ(readTree(dir.path()), before);
    const Lines lines = log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"[ts] Failed. No file was changed.", "=========Job Ended========="}));
    const bool said = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(GetParam().line) != std::string::npos;
    });
    EXPECT_TRUE(said) << "no line says \"" << GetParam().line << "\"";
    for (const std::string& call : steps->calls) EXPECT_EQ(call.rfind("scan ", 0), 0u) << call;
}

void truncateFile(const std::string& path, std::size_t size) {
    ByteString bytes = test::readFile(path);
    bytes.resize(size);
    test::writeFile(path, bytes);
}

void replaceWith(const std::string& path, const std::function<void(const std::string&)>& make) {
    std::remove(path.c_str());
    make(path);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFileAndReason, RefusedDisc,
    ::testing::Values(
        RefusedCase{"Video1080p", 1,
                    [](const std::string&, ScriptedSteps& s) {
                        s.video.is2160 = false;
                        s.video.width = 1920;
                        s.video.height = 1080;
                    },
                    "00000.m2ts: the analyser reports its video as 1920x1080, not 3840x2160"},
        RefusedCase{"PlaylistNotHevc", 1,
                    [](const std::string& root, ScriptedSteps&) {
                        test::writeFile(root + "BDMV/PLAYLIST/00000.mpls",
                                        test::nav::buildPlaylist({{.codingType = 0x1B}}).bytes);
                    },
                    "coding type 0x1B, not HEVC"},
        RefusedCase{"SecondClipMalformed", 2,
                    [](const std::string& root, ScriptedSteps&) {
                        truncateFile(root + "BDMV/CLIPINF/00001.clpi", 10);
                    },
                    "Cannot adjust clip information file"},
        RefusedCase{"ClipIsAFifo", 1,
                    [](const std::string& root, ScriptedSteps&) {
                        if (!test::os::fifosAvailable()) GTEST_SKIP() << "no FIFOs on this system";
                        replaceWith(root + "BDMV/CLIPINF/00000.clpi", [](const std::string& p) {
                            test::os::makeFifo(p);
                        });
                    },
                    "00000.clpi: it is not a regular file"},
        RefusedCase{"IndexTooShort", 1,
                    [](const std::string& root, ScriptedSteps&) {
                        truncateFile(root + "BDMV/index.bdmv", 10);
                    },
                    "shorter than its 16-byte header"},
        RefusedCase{"MovieObjectIsAFolder", 1,
                    [](const std::string& root, ScriptedSteps&) {
                        replaceWith(root + "BDMV/MovieObject.bdmv", test::makeDirs);
                    },
                    "MovieObject.bdmv: it is not a regular file"},
        RefusedCase{"IndexAndMovieObjectAreOneFile", 1,
                    [](const std::string& root, ScriptedSteps&) {
                        replaceWith(root + "BDMV/MovieObject.bdmv", [&](const std::string& p) {
                            std::filesystem::create_hard_link(root + "BDMV/index.bdmv", p);
                        });
                    },
                    "is the same file as"},
        RefusedCase{"StreamIsALink", 1,
                    [](const std::string& root, ScriptedSteps&) {
                        if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
                        const std::string stream = root + "BDMV/STREAM/00000.m2ts";
                        std::filesystem::rename(stream, root + "elsewhere.m2ts");
                        std::filesystem::create_symlink(root + "elsewhere.m2ts", stream);
                    },
                    "symbolic link"},
        RefusedCase{"StreamOf188BytePackets", 2,
                    [](const std::string& root, ScriptedSteps&) {
                        ByteString bytes = test::readFile(root + "BDMV/STREAM/00001.m2ts");
                        ByteString plain;
                        for (std::size_t at = 0; at + 192 <= bytes.size(); at += 192) {
                            plain.insert(plain.end(), bytes.begin() + at + 4,
                                         bytes.begin() + at + 192);
                        }
                        test::writeFile(root + "BDMV/STREAM/00001.m2ts", plain);
                    },
                    "Cannot adjust stream file"}),
    [](const auto& info) { return std::string(info.param.name); });

struct MissingCase {
    const char* file;
    const char* outcome;
};

class MissingFile : public JobDriverTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingFile, EndsTheJobWithItsFailureLineAndChangesNothing) {
    makeDisc({});
    std::remove((dir.path() + GetParam().file).c_str());
    const Tree before = readTree(dir.path());
    core->Command1_Click();
    EXPECT_EQ(tail(2), (Lines{std::string("[ts]") + GetParam().outcome,
                              "=========Job Ended========="}));
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Failed);
    EXPECT_EQ(readTree(dir.path()), before);
    EXPECT_TRUE(steps->calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    EachKindOfFile, MissingFile,
    ::testing::Values(MissingCase{"BDMV/PLAYLIST/00000.mpls", " Failed. Couldn't find MPLS file."},
                      MissingCase{"BDMV/CLIPINF/00000.clpi", " Failed. Couldn't find CLPI file."},
                      MissingCase{"BDMV/STREAM/00000.m2ts", " Failed. Couldn't find M2TS file."}));

TEST_F(JobDriverTest, AFailedOrStoppedScanChangesNothingAndSaysSo) {
    makeDisc({});
    const Tree before = readTree(dir.path());
    steps->outcome = ScanOutcome::Failed;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Failed);
    EXPECT_EQ(tail(3), (Lines{" - Scan failed: the analyser ended with exit code 2.",
                              "[ts] Failed. No file was changed.", "=========Job Ended========="}));

    steps->outcome = ScanOutcome::Aborted;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Aborted);
    EXPECT_EQ(tail(3), (Lines{" - Stopped before any file was changed.", "[ts] Job aborted by user.",
                              "=========Job Ended========="}));
    EXPECT_EQ(readTree(dir.path()), before);
}

TEST_F(JobDriverTest, AnAbortBetweenNavigationFilesStopsAfterTheFileAtHandAndARerunCompletes) {
    makeDisc({});
    TempDir reference;
    test::makeDisc(reference.path());
    {
        RecordingHost plain;
        plain.source = reference.path();
        ConversionDriver whole(plain, std::make_unique<ScriptedSteps>());
        plain.core = &whole;
        whole.Command1_Click();
        ASSERT_EQ(whole.lastOutcome(), JobOutcome::Succeeded);
    }
    // The press arrives once the playlist is written.
    window.onProcessEvents = [&] {
        if (test::readFile(dir / "BDMV/PLAYLIST/00000.mpls")[5] == '3' &&
            window.caption == "Abort") {
            core->Command1_Click();
        }
    };
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Aborted);
    EXPECT_EQ(tail(3), (Lines{"[ts] Job aborted by user.", " - Warning:  Restart job to complete.",
                              "=========Job Ended========="}));
    EXPECT_EQ(test::readFile(dir / "BDMV/CLIPINF/00000.clpi")[5], '2');

    window.onProcessEvents = nullptr;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    EXPECT_EQ(readTree(dir.path()), readTree(reference.path()));
}

TEST_F(JobDriverTest, AnAbortPressDuringTheStreamPassLogsTheThreeWarnings) {
    makeDisc({});
    Lines captions;
    steps->duringM2ts = [&] {
        core->Command1_Click();  // the press, handled inside the stream pass's yield
        captions.push_back(window.caption);
        EXPECT_TRUE(core->abortRequested());
        steps->streamPass = false;
    };
    core->Command1_Click();
    EXPECT_EQ(captions, Lines{"Convert It To UHD-BD"});
    EXPECT_EQ(tail(5),
              (Lines{"[ts] Job aborted by user.", " - Warning:  M2TS update not completed",
                     " - Warning:  M2TS format is not compliant",
                     " - Warning:  Restart job to complete.", "=========Job Ended========="}));
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Aborted);
}

TEST_F(JobDriverTest, APressAfterTheAbortPressDoesNotNestASecondJob) {
    makeDisc({});
    steps->duringM2ts = [&] {
        core->Command1_Click();  // abort press
        core->Command1_Click();  // the caption is idle again, but the job has not ended
        EXPECT_TRUE(core->Form_QueryUnload()) << "closing under the aborted job is refused";
        steps->streamPass = false;
    };
    core->Command1_Click();
    const Lines lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "========Job Started========"), 1);
    EXPECT_TRUE(window.boxes.empty());
    // Once the end line is written, a press starts a new job again, with the flag cleared.
    steps->duringM2ts = [&] { EXPECT_FALSE(core->abortRequested()); };
    steps->streamPass = true;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
}

TEST_F(JobDriverTest, AnAbortPressLogsNothingItself) {
    makeDisc({});
    window.caption = "Abort";
    core->Command1_Click();
    EXPECT_TRUE(core->abortRequested());
    EXPECT_EQ(window.caption, "Convert It To UHD-BD");
    EXPECT_TRUE(window.logText.empty());
}

TEST_F(JobDriverTest, ClosingAsksOnlyWhileAJobRunsAndOnlyYesAborts) {
    makeDisc({});
    EXPECT_FALSE(core->Form_QueryUnload());
    EXPECT_TRUE(window.boxes.empty());
    steps->duringM2ts = [&] {
        window.nextAnswer = MessageBoxResult::No;
        EXPECT_TRUE(core->Form_QueryUnload());
        EXPECT_FALSE(core->abortRequested());
        window.nextAnswer = MessageBoxResult::Yes;
        EXPECT_TRUE(core->Form_QueryUnload());
        EXPECT_TRUE(core->abortRequested());
        steps->streamPass = false;
    };
    core->Command1_Click();
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.boxes[0].text, "Process executing.  Do you wish to abort?");
    EXPECT_EQ(window.boxes[0].title, "Confirm Abort");
    EXPECT_EQ(window.boxes[0].kind, MessageBoxKind::Question);
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Aborted);
    EXPECT_FALSE(core->Form_QueryUnload());
}

// The BACKUP copies: replaced without being deleted first, never through the file itself.
struct BackupCase {
    const char* name;
    std::function<void(const std::string& root)> setup;
    std::function<void(const std::string& root, const Lines& log)> check;
};

void expectNoWarning(const Lines& log) {
    for (const std::string& line : log) EXPECT_EQ(line.find("Warning"), std::string::npos) << line;
}

class BackupRefresh : public JobDriverTest, public ::testing::WithParamInterface<BackupCase> {};

TEST_P(BackupRefresh, LeavesEveryFileWholeAndTellsWhatItCouldNotDo) {
    makeDisc({});
    GetParam().setup(dir.path());
    if (IsSkipped()) return;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    for (const char* name : {"index.bdmv", "MovieObject.bdmv", "PLAYLIST/00000.mpls",
                             "CLIPINF/00000.clpi"}) {
        EXPECT_EQ(test::readFile(dir / (std::string("BDMV/") + name))[5], '3') << name;
    }
    GetParam().check(dir.path(), log());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BackupRefresh,
    ::testing::Values(
        BackupCase{"BackupFolderIsALinkToItsOwnFolder",
                   [](const std::string& root) {
                       if (!test::os::linksAvailable()) GTEST_SKIP() << "no symbolic links on this system";
                       std::filesystem::remove_all(root + "BDMV/BACKUP");
                       std::filesystem::create_directory_symlink(".", root + "BDMV/BACKUP");
                   },
                   [](const std::string& root, const Lines& log) {
                       // Whatever a link leads to is left alone, the files themselves included.
                       for (const char* copy : {"PLAYLIST/00000.mpls", "CLIPINF/00000.clpi",
                                                "index.bdmv", "MovieObject.bdmv"}) {
                           const std::string warning =
                               " - Warning:  Couldn't refresh the BACKUP copy " + root +
                               "BDMV/BACKUP/" + copy + ": its folder " + root +
                               "BDMV/BACKUP is a symbolic link, so the copy is left alone.";
                           EXPECT_NE(std::find(log.begin(), log.end(), warning), log.end())
                               << warning;
                       }
                   }},
        BackupCase{"CopyNamedInAnotherCase",
                   [](const std::string& root) {
                       test::renameLetterCase(root + "BDMV/BACKUP/PLAYLIST/00000.mpls",
                                              root + "BDMV/BACKUP/PLAYLIST/00000.MPLS");
                   },
                   [](const std::string& root, const Lines&) {
                       EXPECT_EQ(test::listFilesRecursively(root + "BDMV/BACKUP/PLAYLIST"),
                                 Lines{"00000.MPLS"});
                       EXPECT_EQ(test::readFile(root + "BDMV/BACKUP/PLAYLIST/00000.MPLS"),
                                 test::readFile(root + "BDMV/PLAYLIST/00000.mpls"));
                   }},
        BackupCase{"CopyThatCannotBeReplaced",
                   [](const std::string& root) {
                       std::remove((root + "BDMV/BACKUP/CLIPINF/00000.clpi").c_str());
                       test::makeDirs(root + "BDMV/BACKUP/CLIPINF/00000.clpi/occupied");
                   },
                   [](const std::string& root, const Lines& log) {
                       const std::string warning = " - Warning:  Couldn't refresh the BACKUP copy " +
                                                   root + "BDMV/BACKUP/CLIPINF/00000.clpi: ";
                       EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
                           return l.rfind(warning, 0) == 0;
                       }));
                   }},
        BackupCase{"NoBackupFolder",
                   [](const std::string& root) {
                       std::filesystem::remove_all(root + "BDMV/BACKUP");
                   },
                   [](const std::string& root, const Lines& log) {
                       EXPECT_FALSE(test::exists(root + "BDMV/BACKUP"));
                       expectNoWarning(log);
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JobDriverTest, SkipM2tsConvertsTheNavigationFilesOfEveryClipAndNoStream) {
    makeDisc({.clips = 2});
    const Tree before = readTree(dir.path());
    window.skipM2ts = true;
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    const Tree after = readTree(dir.path());
    for (const char* stream : {"BDMV/STREAM/00000.m2ts", "BDMV/STREAM/00001.m2ts"}) {
        EXPECT_EQ(after.at(stream), before.at(stream));
    }
    EXPECT_NE(after.at("BDMV/CLIPINF/00001.clpi"), before.at("BDMV/CLIPINF/00001.clpi"));
}

TEST_F(JobDriverTest, OnlyTheFirstPlaylistIsConvertedAndTheLogSaysHowManyAreLeftAlone) {
    makeDisc({});
    const ByteString playlist = test::readFile(dir / "BDMV/PLAYLIST/00000.mpls");
    test::writeFile(dir / "BDMV/PLAYLIST/00001.MPLS", playlist);
    test::writeFile(dir / "BDMV/PLAYLIST/00002.mpls", playlist);
    core->Command1_Click();
    EXPECT_EQ(test::readFile(dir / "BDMV/PLAYLIST/00001.MPLS"), playlist);
    const Lines lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(), " - 2 other playlists were left alone."),
              lines.end());
}

TEST_F(JobDriverTest, TheSourceIsReadOnceAtTheStart) {
    makeDisc({});
    TempDir other;
    test::makeDisc(other.path());
    steps->duringM2ts = [&] { window.source = other.path(); };
    core->Command1_Click();
    EXPECT_EQ(steps->calls.back(), "m2ts " + dir.path() + "BDMV/STREAM/00000.m2ts");
}

// Where names are case-insensitive (Windows) they are found by any spelling as well; the job
// names each file by the spelling it has on disk, the one in its folder's listing, everywhere.
TEST_F(JobDriverTest, FoldersAndFilesOfAnotherLetterCaseAreFound) {
    makeDisc({});
    TempDir upper;
    test::makeDisc(upper.path(), {.backup = false});
    for (const auto& [from, to] : {std::pair{"BDMV/CLIPINF/00000.clpi", "BDMV/CLIPINF/00000.CLPI"},
                                   std::pair{"BDMV/STREAM/00000.m2ts", "BDMV/STREAM/00000.M2TS"},
                                   std::pair{"BDMV/STREAM", "BDMV/stream"}}) {
        ASSERT_NO_THROW(test::renameLetterCase(upper / from, upper / to));
    }
    window.source = upper.path();
    EXPECT_TRUE(ConversionDriver::srcVerified(upper.path()));
    core->Command1_Click();
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Succeeded);
    EXPECT_EQ(steps->calls.back(), "m2ts " + upper.path() + "BDMV/stream/00000.M2TS");
}

TEST_F(JobDriverTest, AnErrorInAStepIsAFailedJobNotTheEndOfTheProgram) {
    makeDisc({});
    steps->duringM2ts = [] { throw std::runtime_error("disk on fire"); };
    core->Command1_Click();
    EXPECT_EQ(tail(2), (Lines{"[ts] Failed. disk on fire", "=========Job Ended========="}));
    EXPECT_EQ(core->lastOutcome(), JobOutcome::Failed);
    EXPECT_FALSE(core->jobActive());
}

}  // namespace
}  // namespace quorvel

// quorvel-cli against hostile surroundings: an analyser that never ends or floods its pipe, a
// source folder that vanishes while the job runs, odd paths, symbolic links and files nobody may
// write. Each run must end with a clear line and an exit status, and leave no file harmed.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "platform/TestOs.h"
#include "support/ImmutableFile.h"
#include "support/TestSupport.h"

namespace quorvel::test {
namespace {

const std::string kCli = QUORVEL_CLI_PATH;

class CliRobustness : public ::testing::Test {
  protected:
    void SetUp() override {
        makeDirs(analyserFolder);
        const CommandResult made =
            runCommand({"python3", QUORVEL_SYNTHETIC_DISC, "disc", disc, "192000"});
        ASSERT_EQ(0, made.exitCode) << made.err;
        const CommandResult fake = runCommand({"python3", QUORVEL_SYNTHETIC_DISC, "analyser",
                                               dir / "report-source"});
        ASSERT_EQ(0, fake.exitCode) << fake.err;
    }

    // An analyser script: `body` runs first, then the synthetic report is printed.
    void writeAnalyser(const std::string& body, bool thenReport = true) {
        const ByteString report = readFile(dir / "report-source/mediainfo");
        std::string script = "#!/bin/sh\n" + body + "\n";
        if (thenReport) script += "exec " + dir / "report-source/mediainfo" + "\n";
        writeText(analyserFolder + "mediainfo", script);
        makeExecutable(analyserFolder + "mediainfo");
        (void)report;
    }

    CommandResult runCli(const std::string& source) {
        return runCommand({kCli, source}, {"PATH=" + analyserFolder + ":" + getenv("PATH")});
    }

    TempDir dir;
    std::string disc = dir / "disc/";
    std::string analyserFolder = dir / "analyser/";
};

TEST_F(CliRobustness, AnalyserThatNeverEndsIsStoppedBySigintWithStatusThree) {
    const std::string pidFile = dir / "analyser.pid";
    writeAnalyser("echo $$ > '" + pidFile + "'\nexec sleep 600", false);
    const auto before = readTree(disc);

    const std::string env = "PATH=" + analyserFolder + ":" + getenv("PATH");
    const std::string outPath = dir / "out.txt";
    os::ProgramOptions options;
    options.environment = {env};
    options.outputTo = outPath;  // standard error and input are the test's own
    os::Program cli({kCli, disc}, options);
    ASSERT_TRUE(cli.started());

    for (int waited = 0; waited < 1000 && !exists(pidFile); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cli.interrupt();
    // Still running after that, it is killed when `cli` goes.
    const std::optional<os::ProgramEnd> end = cli.waitFor(std::chrono::seconds(10));
    ASSERT_TRUE(end.has_value()) << "quorvel-cli did not end within 10 s of SIGINT";
    ASSERT_TRUE(end->exited);
    EXPECT_EQ(3, end->exitCode);

    const std::vector<std::string> lines = maskTimes(splitLines(
        std::string(reinterpret_cast<const char*>(readFile(outPath).data()),
                    readFile(outPath).size())));
    // An aborted scan reports no attributes: it has none it could trust.
    const std::vector<std::string> expected{
        "========Job Started========", "[ts] Scanning source for UHD attributes...",
        " - Stopped before any file was changed.", "[ts] Job aborted by user.",
        "=========Job Ended========="};
    EXPECT_EQ(expected, lines);
    // The analyser was ended with the job, not left behind.
    const long analyser = readProcessNumbers(pidFile).at(0);
    bool gone = false;
    for (int waited = 0; waited < 200 && !gone; ++waited) {
        gone = os::processEnded(analyser);
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "analyser " << analyser << " still runs";
    if (!gone) os::killProcess(analyser);
    EXPECT_EQ(before, readTree(disc));
}

TEST_F(CliRobustness, AnalyserFlooding100MegabytesStillGivesItsReport) {
    writeAnalyser("head -c 100000000 /dev/zero\nprintf '\\n'");
    const CommandResult run = runCli(disc);
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find(" - UHD and HDR attributes collected.")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(" QUORVEL - SUCCESS")) << run.out;
}

TEST_F(CliRobustness, SourceDeletedDuringTheScanFailsTheJobBeforeAnyWrite) {
    writeAnalyser("rm -rf '" + disc + "BDMV'");
    const CommandResult run = runCli(disc);
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    const auto lines = maskTimes(splitLines(run.out));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(0u, lines[lines.size() - 3].rfind(" - Cannot adjust ", 0)) << lines[lines.size() - 3];
    EXPECT_EQ("[ts] Failed. No file was changed.", lines[lines.size() - 2]);
    EXPECT_EQ("=========Job Ended=========", lines.back());
    EXPECT_FALSE(exists(disc + "BDMV"));
}

TEST_F(CliRobustness, PathWithSpacesQuotesAndNonAsciiIsConvertedAndPassedWhole) {
    const std::string odd = dir / "a disc 'with' \"quotes\" – ünïcødé ✓/";
    ASSERT_NO_THROW(std::filesystem::rename(disc, odd));
    // The analyser insists on getting the stream file as one argument.
    writeAnalyser("[ -f \"$1\" ] && [ $# -eq 1 ] || exit 2");
    const CommandResult run = runCli(odd);
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    const ByteString playlist = readFile(odd + "BDMV/PLAYLIST/00000.mpls");
    EXPECT_EQ("MPLS0300", std::string(playlist.begin(), playlist.begin() + 8));
}

// A file the job must not write: a stream that is a link, an index that is a dangling link, a
// playlist or a stream nobody may write. The job refuses before its first write, names the file,
// and no file of the disc, nor the link's target, changes; nothing is created.
struct RefusedFileCase {
    const char* name;
    const char* file;  // below the disc folder
    enum { LinkToOutside, DanglingLink, Immutable } kind;
    const char* reason;
};

class RefusedFile : public CliRobustness, public ::testing::WithParamInterface<RefusedFileCase> {};

TEST_P(RefusedFile, StopsTheJobBeforeAnyWrite) {
    writeAnalyser("");
    const std::string file = disc + GetParam().file;
    const std::string outside = dir / "outside";
    std::unique_ptr<ImmutableFile> locked;
    switch (GetParam().kind) {
        case RefusedFileCase::LinkToOutside:
            ASSERT_NO_THROW(std::filesystem::rename(file, outside));
            ASSERT_NO_THROW(std::filesystem::create_symlink(outside, file));
            break;
        case RefusedFileCase::DanglingLink:
            ASSERT_TRUE(std::filesystem::remove(file));
            ASSERT_NO_THROW(std::filesystem::create_symlink(outside, file));
            break;
        case RefusedFileCase::Immutable:
            locked = std::make_unique<ImmutableFile>(file);
            if (!locked->active()) GTEST_SKIP() << "this file system cannot make a file immutable";
            break;
    }
    const auto before = readTree(disc);
    const auto outsideBefore = exists(outside) ? readFile(outside) : ByteString{};

    const CommandResult run = runCli(disc);
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_EQ("", run.err);
    const auto lines = maskTimes(splitLines(run.out));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(std::string::npos, lines[lines.size() - 3].find(file + ": " + GetParam().reason))
        << lines[lines.size() - 3];
    EXPECT_EQ("[ts] Failed. No file was changed.", lines[lines.size() - 2]);
    EXPECT_EQ(before, readTree(disc));
    if (GetParam().kind == RefusedFileCase::DanglingLink) {
        EXPECT_FALSE(exists(outside)) << "the link's target was created";
    } else if (GetParam().kind == RefusedFileCase::LinkToOutside) {
        EXPECT_EQ(outsideBefore, readFile(outside));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedFile,
    ::testing::Values(
        RefusedFileCase{"LinkedStream", "BDMV/STREAM/00000.m2ts", RefusedFileCase::LinkToOutside,
                        "it is a symbolic link"},
        RefusedFileCase{"DanglingIndexLink", "BDMV/index.bdmv", RefusedFileCase::DanglingLink,
                        "it is a symbolic link"},
        RefusedFileCase{"ImmutablePlaylist", "BDMV/PLAYLIST/00000.mpls",
                        RefusedFileCase::Immutable, "cannot open it for reading and writing"},
        RefusedFileCase{"ImmutableStream", "BDMV/STREAM/00000.m2ts", RefusedFileCase::Immutable,
                        "cannot open it for reading and writing"}),
    [](const auto& info) { return std::string(info.param.name); });

// A link in place of a folder of the disc, or a working copy made of hard links. A link in place
// of a folder whose files the job changes, or a file with a name outside the disc, refuses the
// job and its check, and nothing changes inside or outside the disc folder. A link in place of
// a BACKUP folder leaves the copies there, and what the link leads to, alone; the rest converts.
struct ContainmentCase {
    const char* name;
    const char* moved;     // the folder below the disc folder put outside it; "": a hard-linked copy
    const char* linkName;  // the link in its place
    bool refused;
    const char* jobLine;   // logged by the job; "{disc}" stands for the disc folder
    const char* checkSays;
    const char* givenAs = "";  // appended to the disc folder on the command line
};

class Containment : public CliRobustness, public ::testing::WithParamInterface<ContainmentCase> {
  protected:
    CommandResult run(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{kCli};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return runCommand(argv, {"PATH=" + analyserFolder + ":" + getenv("PATH")});
    }
};

TEST_P(Containment, NothingOutsideTheDiscChanges) {
    const ContainmentCase& c = GetParam();
    writeAnalyser("");
    std::string source = disc;
    const std::string outside = dir / "outside";
    if (std::string(c.moved).empty()) {
        source = dir / "work/";
        const CommandResult copied = runCommand({"cp", "-al", disc, source});
        ASSERT_EQ(0, copied.exitCode) << copied.err;
    } else {
        ASSERT_NO_THROW(std::filesystem::rename(disc + c.moved, outside));
        ASSERT_NO_THROW(std::filesystem::create_symlink(outside, disc + c.linkName));
    }
    std::string line = c.jobLine;
    for (std::size_t at; (at = line.find("{disc}")) != std::string::npos;) {
        line.replace(at, 6, source);
    }
    const auto before = readTree(dir.path());
    const auto outsideBefore = exists(outside) ? readTree(outside + "/") : decltype(before){};

    const CommandResult check = run({"--check", source + c.givenAs});
    EXPECT_EQ(c.refused ? 1 : 4, check.exitCode) << check.out << check.err;
    EXPECT_NE(std::string::npos, check.out.find(c.checkSays)) << check.out;
    EXPECT_EQ(before, readTree(dir.path()));

    const CommandResult job = run({source + c.givenAs});
    EXPECT_EQ(c.refused ? 1 : 0, job.exitCode) << job.out << job.err;
    const auto lines = maskTimes(splitLines(job.out));
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << "\n" << job.out;
    if (c.refused) {
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ("[ts] Failed. No file was changed.", lines[lines.size() - 2]);
        EXPECT_EQ(before, readTree(dir.path()));
    } else {
        EXPECT_EQ(outsideBefore, readTree(outside + "/"));
        const ByteString playlist = readFile(source + "BDMV/PLAYLIST/00000.mpls");
        EXPECT_EQ("MPLS0300", std::string(playlist.begin(), playlist.begin() + 8));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Links, Containment,
    ::testing::Values(
        ContainmentCase{"Bdmv", "BDMV", "BDMV", true,
                        " - Cannot adjust folder {disc}BDMV: it is a symbolic link.",
                        "BDMV: it is a symbolic link", "BDMV/STREAM"},
        ContainmentCase{"Playlist", "BDMV/PLAYLIST", "BDMV/PLAYLIST", true,
                        " - Cannot adjust folder {disc}BDMV/PLAYLIST: it is a symbolic link.",
                        "BDMV/PLAYLIST: it is a symbolic link"},
        ContainmentCase{"ClipInfo", "BDMV/CLIPINF", "BDMV/CLIPINF", true,
                        " - Cannot adjust folder {disc}BDMV/CLIPINF: it is a symbolic link.",
                        "BDMV/CLIPINF: it is a symbolic link"},
        ContainmentCase{"Stream", "BDMV/STREAM", "BDMV/STREAM", true,
                        " - Cannot adjust folder {disc}BDMV/STREAM: it is a symbolic link.",
                        "BDMV/STREAM: it is a symbolic link"},
        ContainmentCase{"StreamInAnotherCase", "BDMV/STREAM", "BDMV/Stream", true,
                        " - Cannot adjust folder {disc}BDMV/Stream: it is a symbolic link.",
                        "BDMV/Stream: it is a symbolic link"},
        ContainmentCase{"Backup", "BDMV/BACKUP", "BDMV/BACKUP", false,
                        " - Warning:  Couldn't refresh the BACKUP copy {disc}BDMV/BACKUP/index.bdmv: "
                        "its folder {disc}BDMV/BACKUP is a symbolic link, so the copy is left "
                        "alone.",
                        "BDMV/BACKUP is a symbolic link: a job leaves the BACKUP copies in it alone"},
        ContainmentCase{"BackupPlaylist", "BDMV/BACKUP/PLAYLIST", "BDMV/BACKUP/PLAYLIST", false,
                        " - Warning:  Couldn't refresh the BACKUP copy "
                        "{disc}BDMV/BACKUP/PLAYLIST/00000.mpls: its folder "
                        "{disc}BDMV/BACKUP/PLAYLIST is a symbolic link, so the copy is left alone.",
                        "BDMV/BACKUP/PLAYLIST is a symbolic link"},
        ContainmentCase{"BackupClipInfo", "BDMV/BACKUP/CLIPINF", "BDMV/BACKUP/CLIPINF", false,
                        " - Warning:  Couldn't refresh the BACKUP copy "
                        "{disc}BDMV/BACKUP/CLIPINF/00000.clpi: its folder "
                        "{disc}BDMV/BACKUP/CLIPINF is a symbolic link, so the copy is left alone.",
                        "BDMV/BACKUP/CLIPINF is a symbolic link"},
        ContainmentCase{"HardLinkedWorkingCopy", "", "", true,
                        " - Cannot adjust stream file {disc}BDMV/STREAM/00000.m2ts: it has 2 names "
                        "(hard links); a change would show in all of them.",
                        "BDMV/index.bdmv: it has 2 names (hard links)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two processes on one disc: while a job or a check holds the disc (here inside the analyser),
// a job refuses at once with exit 1 and changes nothing, a check reports "busy", and a second
// check runs beside a first. A batch's other folder still converts.
struct ConcurrentCase {
    const char* name;
    bool holderIsJob;
    bool contenderIsJob;
    bool busy;
};

void PrintTo(const ConcurrentCase& row, std::ostream* os) {
    *os << row.name;
}

class Concurrent : public CliRobustness, public ::testing::WithParamInterface<ConcurrentCase> {};

TEST_P(Concurrent, OneJobPerDiscAtATime) {
    const std::string hold = dir / "hold";
    const std::string held = dir / "held";
    // Only the first analyser run waits, until the test lets it go.
    writeAnalyser("if mkdir '" + dir / "once" + "' 2>/dev/null; then touch '" + held +
                  "'; while [ -e '" + hold + "' ]; do sleep 0.05; done; fi");
    const std::string other = dir / "other/";
    ASSERT_EQ(0, runCommand({"cp", "-a", disc, other}).exitCode);
    writeText(hold, "");
    const std::vector<std::string> env{"PATH=" + analyserFolder + ":" + getenv("PATH")};
    std::vector<std::string> holderArgs{kCli, disc};
    if (!GetParam().holderIsJob) holderArgs.insert(holderArgs.begin() + 1, "--check");
    CommandResult holder;
    std::thread holding([&] { holder = runCommand(holderArgs, env); });
    for (int waited = 0; waited < 1000 && !exists(held); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto before = readTree(disc);

    const CommandResult contender = runCommand(
        GetParam().contenderIsJob ? std::vector<std::string>{kCli, disc, other}
                                  : std::vector<std::string>{kCli, "--check", disc},
        env);
    const CommandResult json = runCommand({kCli, "--check", "--json", disc}, env);
    const auto during = readTree(disc);
    std::filesystem::remove(hold);
    holding.join();
    ASSERT_TRUE(exists(held)) << "the holder never reached the analyser";
    EXPECT_EQ(before, during) << "the second process changed the disc";
    EXPECT_EQ(GetParam().holderIsJob ? 0 : 4, holder.exitCode) << holder.out << holder.err;

    const std::vector<std::string> lines = maskTimes(splitLines(contender.out));
    if (GetParam().contenderIsJob) {
        EXPECT_EQ(GetParam().busy ? 1 : 0, contender.exitCode) << contender.out << contender.err;
        const std::vector<std::string> refused{
            "========Job Started========",
            " - Cannot lock " + disc + "BDMV: another job or check is working on this disc.",
            "[ts] Failed. No file was changed.", "=========Job Ended========="};
        ASSERT_GE(lines.size(), 6u);
        EXPECT_EQ(GetParam().busy, std::vector<std::string>(lines.begin(), lines.begin() + 4) ==
                                       refused);
        EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
                  (std::vector<std::string>{
                      (GetParam().busy ? "busy         " : "converted    ") + disc,
                      "converted    " + other}));
    } else {
        EXPECT_EQ(GetParam().busy ? 1 : 4, contender.exitCode) << contender.out << contender.err;
        EXPECT_EQ(GetParam().busy, contender.out.rfind(disc + ": busy: a job is working on this "
                                                              "disc; check it again when the job "
                                                              "has ended\n", 0) == 0);
    }
    EXPECT_EQ(GetParam().busy && GetParam().holderIsJob,
              json.out.find("\"state\": \"busy\"") != std::string::npos) << json.out;
}

INSTANTIATE_TEST_SUITE_P(
    Holders, Concurrent,
    ::testing::Values(ConcurrentCase{"JobThenJob", true, true, true},
                      ConcurrentCase{"JobThenCheck", true, false, true},
                      ConcurrentCase{"CheckThenJob", false, true, true},
                      ConcurrentCase{"CheckThenCheck", false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A reader of the log that goes away early must not stop the job half-way.
TEST_F(CliRobustness, AClosedLogReaderDoesNotStopTheJob) {
    writeAnalyser("");
    const std::string status = dir / "status";
    const CommandResult run = runCommand(
        {"bash", "-c", "\"$0\" \"$1\" | head -n 3 >/dev/null; echo \"${PIPESTATUS[0]}\" > \"$2\"",
         kCli, disc, status},
        {"PATH=" + analyserFolder + ":" + getenv("PATH")});
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(asciiBytes("0\n"), readFile(status));
    const ByteString playlist = readFile(disc + "BDMV/PLAYLIST/00000.mpls");
    EXPECT_EQ("MPLS0300", std::string(playlist.begin(), playlist.begin() + 8));
    // A second job finds nothing left to do: the first one ran to its end.
    const auto converted = readTree(disc);
    EXPECT_EQ(0, runCli(disc).exitCode);
    EXPECT_EQ(converted, readTree(disc));
}

// SIGKILL leaves the job no moment to end the analyser itself; the analyser and what it started
// go with the job all the same, and the disc is as it was.
TEST_F(CliRobustness, AnalyserAndItsChildDieWithAJobKilledBySigkill) {
    const std::string pidFile = dir / "analyser.pids";
    writeAnalyser("sleep 600 &\necho $! >> '" + pidFile + "'\necho $$ >> '" + pidFile + "'\nwait",
                  false);
    const auto before = readTree(disc);
    const CommandResult run = runCommand(
        {"bash", "-c",
         "\"$0\" \"$1\" >/dev/null 2>&1 & cli=$!\n"
         "for i in $(seq 500); do\n"
         "  [ \"$(wc -l < \"$2\" 2>/dev/null)\" = 2 ] && break; sleep 0.02\n"
         "done\n"
         "kill -KILL $cli; wait $cli; exit 0",
         kCli, disc, pidFile},
        {"PATH=" + analyserFolder + ":" + getenv("PATH")});
    ASSERT_EQ(0, run.exitCode) << run.err;
    const std::vector<long> pids = readProcessNumbers(pidFile);
    ASSERT_EQ(2u, pids.size()) << "the analyser did not start its child";
    for (const long pid : pids) {
        // Whoever adopted it reaps it; until then a zombie counts as gone.
        const auto gone = [pid] { return os::processEnded(pid, true); };
        bool ended = gone();
        for (int waited = 0; waited < 500 && !ended; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ended = gone();
        }
        EXPECT_TRUE(ended) << "process " << pid << " outlived the killed job";
        if (!ended) os::killProcess(pid);
    }
    EXPECT_EQ(before, readTree(disc));
}

}  // namespace
}  // namespace quorvel::test

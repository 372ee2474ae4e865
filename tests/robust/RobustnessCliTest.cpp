// quorvel-cli against hostile surroundings: an analyser that never ends or floods its pipe, a
// source folder that vanishes while the job runs, odd paths, symbolic links and files nobody may
// write. Each run must end with a clear line and an exit status, and leave no file harmed.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "support/ImmutableFile.h"
#include "support/TestSupport.h"

extern char** environ;

namespace quorvel::test {
namespace {

const std::string kCli = QUORVEL_CLI_PATH;

// Every file below root with its bytes.
std::map<std::string, ByteString> snapshot(const std::string& root) {
    std::map<std::string, ByteString> files;
    for (const std::string& name : listFilesRecursively(root)) files[name] = readFile(root + name);
    return files;
}

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
        ::chmod((analyserFolder + "mediainfo").c_str(), 0755);
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
    const auto before = snapshot(disc);

    const std::string env = "PATH=" + analyserFolder + ":" + getenv("PATH");
    std::vector<std::string> envStrings{env};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("PATH=", 0) != 0) envStrings.push_back(*e);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    const std::string outPath = dir / "out.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args{const_cast<char*>(kCli.c_str()), disc.data(), nullptr};
    pid_t cli = 0;
    ASSERT_EQ(0, posix_spawn(&cli, kCli.c_str(), &actions, nullptr, args.data(), envp.data()));
    posix_spawn_file_actions_destroy(&actions);

    for (int waited = 0; waited < 1000 && !exists(pidFile); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(cli, SIGINT);
    int status = 0;
    bool ended = false;
    for (int waited = 0; waited < 1000 && !ended; ++waited) {
        ended = ::waitpid(cli, &status, WNOHANG) == cli;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        ::kill(cli, SIGKILL);
        ::waitpid(cli, &status, 0);
    }
    ASSERT_TRUE(ended) << "quorvel-cli did not end within 10 s of SIGINT";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(3, WEXITSTATUS(status));

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
    const ByteString pidText = readFile(pidFile);
    const pid_t analyser = std::stoi(std::string(pidText.begin(), pidText.end()));
    bool gone = false;
    for (int waited = 0; waited < 200 && !gone; ++waited) {
        gone = ::kill(analyser, 0) != 0;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone) << "analyser " << analyser << " still runs";
    if (!gone) ::kill(analyser, SIGKILL);
    EXPECT_EQ(before, snapshot(disc));
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
    ASSERT_EQ(0, ::rename(disc.c_str(), odd.c_str()));
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
            ASSERT_EQ(0, ::rename(file.c_str(), outside.c_str()));
            ASSERT_EQ(0, ::symlink(outside.c_str(), file.c_str()));
            break;
        case RefusedFileCase::DanglingLink:
            ASSERT_EQ(0, ::unlink(file.c_str()));
            ASSERT_EQ(0, ::symlink(outside.c_str(), file.c_str()));
            break;
        case RefusedFileCase::Immutable:
            locked = std::make_unique<ImmutableFile>(file);
            if (!locked->active()) GTEST_SKIP() << "this file system cannot make a file immutable";
            break;
    }
    const auto before = snapshot(disc);
    const auto outsideBefore = exists(outside) ? readFile(outside) : ByteString{};

    const CommandResult run = runCli(disc);
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_EQ("", run.err);
    const auto lines = maskTimes(splitLines(run.out));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(std::string::npos, lines[lines.size() - 3].find(file + ": " + GetParam().reason))
        << lines[lines.size() - 3];
    EXPECT_EQ("[ts] Failed. No file was changed.", lines[lines.size() - 2]);
    EXPECT_EQ(before, snapshot(disc));
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
    const auto converted = snapshot(disc);
    EXPECT_EQ(0, runCli(disc).exitCode);
    EXPECT_EQ(converted, snapshot(disc));
}

// SIGKILL leaves the job no moment to end the analyser itself; the analyser and what it started
// go with the job all the same, and the disc is as it was.
TEST_F(CliRobustness, AnalyserAndItsChildDieWithAJobKilledBySigkill) {
    const std::string pidFile = dir / "analyser.pids";
    writeAnalyser("sleep 600 &\necho $! >> '" + pidFile + "'\necho $$ >> '" + pidFile + "'\nwait",
                  false);
    const auto before = snapshot(disc);
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
    const ByteString pidText = readFile(pidFile);
    const std::vector<std::string> pids = splitLines(std::string(pidText.begin(), pidText.end()));
    ASSERT_EQ(2u, pids.size()) << "the analyser did not start its child";
    for (const std::string& line : pids) {
        const pid_t pid = std::stoi(line);
        // Whoever adopted it reaps it; until then a zombie counts as gone.
        const auto gone = [pid] {
            std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
            std::string text;
            if (::kill(pid, 0) != 0 || !std::getline(in, text)) return true;
            const std::size_t nameEnd = text.rfind(')');
            return nameEnd != std::string::npos && nameEnd + 2 < text.size() &&
                   text[nameEnd + 2] == 'Z';
        };
        bool ended = gone();
        for (int waited = 0; waited < 500 && !ended; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ended = gone();
        }
        EXPECT_TRUE(ended) << "process " << pid << " outlived the killed job";
        if (!ended) ::kill(pid, SIGKILL);
    }
    EXPECT_EQ(before, snapshot(disc));
}

}  // namespace
}  // namespace quorvel::test

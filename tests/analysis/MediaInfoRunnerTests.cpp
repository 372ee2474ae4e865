#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "analysis/MediaInfoRunner.h"
#include "analysis/ReportBuilder.h"
#include "platform/TestOs.h"
#include "support/StepControls.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::field;

// The runner with a scripted stop token, the analyser replaced by a script.
struct RunnerHarness {
    MediaInfoReport report;
    test::ScriptedControl control;
    std::string analyser;
    test::TempDir dir;

    // Writes an executable shell script that stands in for the analyser.
    void fakeAnalyser(const std::string& body, const std::string& name = "mediainfo") {
        const std::string path = dir / name;
        test::writeText(path, "#!/bin/sh\n" + body + "\n");
        test::makeExecutable(path);
        analyser = path;
    }
    // A data file the script can cat; returns its path quoted for the shell.
    std::string data(const std::string& name, const std::string& content) {
        test::writeText(dir / name, content);
        return "'" + dir / name + "'";
    }
    AnalyserRun run(const std::string& file = "/dev/null") { return RunMediaInfo(analyser, file, report, control); }
};

// Whether a process has ended. Our own child must be reaped by then (kill succeeds on a zombie).
// One of its children is reaped by whoever adopted it, so its zombie counts as ended, and it may
// take a moment to die of a forced kill already sent.
bool processGone(long pid, bool reapedByUs = true) {
    if (reapedByUs) return test::os::processEnded(pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        if (test::os::processEnded(pid, true)) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Neither the analyser nor its watcher is left running or unreaped: this test has no child.
bool noChildLeft() {
    return !test::os::hasChildProcess();
}

TEST(MediaInfoRunner, TwoCrLfLinesAndExitZeroAreParsedInOrder) {
    RunnerHarness h;
    h.fakeAnalyser("cat " +
                   h.data("report", test::withCrLf(field("ID", "7") + field("Codec ID", "36"))) +
                   "\nexit 0");
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.trackCount, 1);
    EXPECT_EQ(h.report.videoTrackIndex, 1);
    EXPECT_GE(h.control.eventTurns, 3);  // once per line and once per poll turn
}

TEST(MediaInfoRunner, LineArrivingInTwoWritesIsParsedOnceWhole) {
    RunnerHarness h;
    const std::string width = field("Width", "3 840 pixels");
    h.fakeAnalyser("cat " + h.data("id", field("ID", "1")) + "\nprintf '%s' '" +
                   width.substr(0, 3) + "'\nsleep 0.3\nprintf '%s\\n' '" +
                   width.substr(3, width.size() - 4) + "'");
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.tracks[1].width, 3840);
}

TEST(MediaInfoRunner, LastLineWithoutLineFeedIsParsedWhenTheOutputEnds) {
    RunnerHarness h;
    const std::string fall = field("Maximum Frame-Average Light Level", "400 cd/m2");
    h.fakeAnalyser("cat " + h.data("report", field("ID", "1") + fall.substr(0, fall.size() - 1)));
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.trackCount, 1);
    EXPECT_EQ(h.report.tracks[1].maxFall, 400);
}

TEST(MediaInfoRunner, HowTheRunEndedIsReported) {
    using Ending = AnalyserRun::Ending;
    struct Case {
        const char* script;  // after the report of two tracks; nullptr: no analyser at the path
        Ending ending;
        int exitCode;
        bool finished;
    };
    const Case cases[] = {
        {"exit 0", Ending::Exited, 0, true},
        {"exit 1", Ending::Exited, 1, true},
        {"exit 2", Ending::Exited, 2, false},
        {"kill -KILL $$", Ending::Exited, test::os::killedExitCode(), false},
        {nullptr, Ending::CouldNotStart, -1, false},
    };
    for (const Case& c : cases) {
        RunnerHarness h;
        const std::string label = c.script != nullptr ? c.script : "missing analyser";
        if (c.script != nullptr) {
            h.fakeAnalyser("cat " + h.data("report", field("ID", "1") + field("ID", "2")) + "\n" +
                           c.script);
        } else {
            h.analyser = h.dir / "no-such-analyser";
        }
        const AnalyserRun run = h.run();
        EXPECT_EQ(run.ending, c.ending) << label;
        EXPECT_EQ(run.exitCode, c.exitCode) << label;
        EXPECT_EQ(run.finished(), c.finished) << label;
        // Every line written is parsed, however the analyser ends.
        EXPECT_EQ(h.report.trackCount, c.script != nullptr ? 2 : 0) << label;
        EXPECT_TRUE(noChildLeft()) << label;
    }
}

TEST(MediaInfoRunner, StderrSharesThePipeAndStdinIsEmpty) {
    RunnerHarness h;
    h.fakeAnalyser("cat > '" + h.dir / "stdin" + "'\ncat " + h.data("report", field("ID", "5")) +
                   " >&2");
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.trackCount, 1);
    EXPECT_TRUE(test::readFile(h.dir / "stdin").empty());
}

// The analyser starts inside the stream's folder and gets the bare name as one argument, so any
// name works; only a full analyser path is run there, never a file of the disc.
TEST(MediaInfoRunner, RunsOnTheBareNameFromInsideTheStreamFolder) {
    struct Case {
        std::string folder;  // below the harness folder
        std::string name;
        std::string argument;  // what the analyser must get
    };
    const Case cases[] = {
        {"my disc/BDMV/STREAM", "00000 copy.m2ts", "00000 copy.m2ts"},
        {"bad\xff disc/BDMV/STREAM", "00000.m2ts", "00000.m2ts"},
        {"disc/BDMV/STREAM", "-v.m2ts", "./-v.m2ts"},
    };
    for (const Case& c : cases) {
        RunnerHarness h;
        test::makeDirs(h.dir / "tool folder");
        h.fakeAnalyser(
            "here=$(dirname \"$0\")\nprintf '%s' \"$#\" > \"$here/argc\"\n"
            "printf '%s' \"$1\" > \"$here/arg1\"\npwd -P > \"$here/folder\"\ncat " +
                h.data("report", field("ID", "3")),
            "tool folder/fake media info");
        test::makeDirs(h.dir / c.folder);
        EXPECT_TRUE(h.run(h.dir / c.folder + "/" + c.name).finished()) << c.name;
        EXPECT_EQ(test::readFile(h.dir / "tool folder/argc"), asciiBytes("1")) << c.name;
        EXPECT_EQ(test::readFile(h.dir / "tool folder/arg1"), asciiBytes(c.argument)) << c.name;
        const std::string real = std::filesystem::canonical(h.dir / c.folder).string();
        EXPECT_EQ(test::readFile(h.dir / "tool folder/folder"), asciiBytes(real + "\n"))
            << c.name;
        EXPECT_EQ(h.report.trackCount, 1) << c.name;
    }

    // An analyser path that is not a full path would name a file in the stream's folder.
    RunnerHarness h;
    test::makeDirs(h.dir / "disc/STREAM");
    h.fakeAnalyser("touch '" + h.dir / "planted-ran" + "'", "disc/STREAM/mediainfo");
    h.analyser = "mediainfo";
    EXPECT_EQ(h.run(h.dir / "disc/STREAM/00000.m2ts").ending, AnalyserRun::Ending::CouldNotStart);
    EXPECT_FALSE(test::exists(h.dir / "planted-ran"));
}

TEST(MediaInfoRunner, WaitingDoesNotSpin) {
    RunnerHarness h;
    h.fakeAnalyser("sleep 0.5");
    EXPECT_TRUE(h.run().finished());
    // About one turn per 10 ms of waiting; a spinning loop would make tens of thousands.
    EXPECT_LT(h.control.eventTurns, 200);
    EXPECT_GT(h.control.eventTurns, 5);
}

// Each script writes its own id, then those of the children it starts, to the file PIDS.
std::string withPidFile(std::string script, const std::string& pidFile) {
    for (std::size_t at = script.find("PIDS"); at != std::string::npos; at = script.find("PIDS"))
        script.replace(at, 4, "'" + pidFile + "'");
    return "echo $$ > '" + pidFile + "'\n" + script;
}

TEST(MediaInfoRunner, AbortEndsTheAnalyserAndEverythingItStarted) {
    const char* const scripts[] = {
        "exec sleep 30",
        // Ignores the polite request, so the forced kill has to follow.
        "trap '' TERM\nwhile :; do sleep 0.05; done",
        // A wrapper waiting for its own child.
        "sleep 30 &\necho $! >> PIDS\nwait",
        // A child that ignores the polite request and outlives the wrapper.
        "(trap '' TERM; while :; do sleep 0.05; done) &\necho $! >> PIDS\nwait",
    };
    for (const char* script : scripts) {
        RunnerHarness h;
        const std::string pidFile = h.dir / "pids";
        h.fakeAnalyser(
            withPidFile("cat " + h.data("report", field("ID", "1")) + "\n" + script, pidFile));
        h.control.onProcessEvents = [&] {
            if (h.control.eventTurns == 20) h.control.abortRequested = true;
        };
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(h.run().ending, AnalyserRun::Ending::Aborted) << script;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(h.control.eventTurns, 20) << "no further turn after the abort";
        const std::vector<long> pids = test::readProcessNumbers(pidFile);
        ASSERT_FALSE(pids.empty()) << script;
        EXPECT_TRUE(processGone(pids[0])) << script;
        for (std::size_t i = 1; i < pids.size(); ++i)
            EXPECT_TRUE(processGone(pids[i], false)) << script << ": child " << pids[i];
        EXPECT_TRUE(noChildLeft()) << script;
    }
}

TEST(MediaInfoRunner, ChildHoldingThePipeOpenDoesNotKeepTheRunWaiting) {
    const char* const holders[] = {
        "sleep 10",
        "while :; do echo noise; sleep 0.01; done",
    };
    for (const char* holder : holders) {
        RunnerHarness h;
        const std::string pidFile = h.dir / "pids";
        h.fakeAnalyser(withPidFile("(" + std::string(holder) + ") &\necho $! >> PIDS\ncat " +
                                       h.data("report", field("ID", "7")) + "\nexit 1",
                                   pidFile));
        const auto started = std::chrono::steady_clock::now();
        const AnalyserRun run = h.run();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << holder;
        EXPECT_EQ(run.ending, AnalyserRun::Ending::Exited) << holder;
        EXPECT_EQ(run.exitCode, 1) << holder;
        EXPECT_EQ(h.report.trackCount, 1) << holder;
        const std::vector<long> pids = test::readProcessNumbers(pidFile);
        ASSERT_EQ(pids.size(), 2u) << holder;
        EXPECT_TRUE(processGone(pids[1], false)) << holder << ": the holder outlived the run";
    }
}

TEST(MediaInfoRunner, ErrorInsideTheLoopStillEndsAndReapsTheChild) {
    RunnerHarness h;
    const std::string pidFile = h.dir / "pids";
    h.fakeAnalyser(
        withPidFile("cat " + h.data("report", field("ID", "1")) + "\nexec sleep 30", pidFile));
    h.control.onProcessEvents = [&] {
        if (h.report.trackCount == 1) throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(h.run(), std::runtime_error);
    EXPECT_TRUE(processGone(test::readProcessNumbers(pidFile).at(0)));
}

TEST(MediaInfoRunner, EnormousLineIsSkippedAndTheRestStillParsed) {
    RunnerHarness h;
    h.fakeAnalyser("head -c 3000000 /dev/zero | tr '\\000' x\nprintf '\\n'\ncat " +
                   h.data("report", field("ID", "9")));
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.trackCount, 1);
}

}  // namespace
}  // namespace quorvel

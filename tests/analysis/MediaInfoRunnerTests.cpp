#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
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

// Sets a variable of this process's environment (which the analyser inherits) for a scope.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : m_name(name) {
        test::os::setEnvironmentVariable(m_name, value);
    }
    ~ScopedVariable() { test::os::setEnvironmentVariable(m_name, std::nullopt); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    std::string m_name;
};

// The runner with a scripted stop token, the analyser replaced by the stand-in analyser (or, for
// what only a POSIX shell can show, by a script).
struct RunnerHarness {
    MediaInfoReport report;
    test::ScriptedControl control;
    std::string analyser;
    test::TempDir dir;

    // The stand-in analyser, printing `text` with CR LF line ends.
    void standIn(const std::string& text, const std::string& name = "mediainfo") {
        analyser = test::installStandInAnalyser(dir.path(), text, name);
    }
#ifndef _WIN32
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
#endif
    // The analyser never opens the file it is given; its folder must exist.
    AnalyserRun run(const std::string& file = {}) {
        return RunMediaInfo(analyser, file.empty() ? dir / "00000.m2ts" : file, report, control);
    }
};

#ifndef _WIN32
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
#endif

// Neither the analyser nor its watcher is left running or unreaped: this test has no child.
bool noChildLeft() {
    return !test::os::hasChildProcess();
}

TEST(MediaInfoRunner, TwoCrLfLinesAndExitZeroAreParsedInOrder) {
    RunnerHarness h;
    h.standIn(field("ID", "7") + field("Codec ID", "36"));
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.trackCount, 1);
    EXPECT_EQ(h.report.videoTrackIndex, 1);
    EXPECT_GE(h.control.eventTurns, 3);  // once per line and once per poll turn
}

#ifndef _WIN32
// Needs a pause between the two halves of a line, which a shell script can make.
TEST(MediaInfoRunner, LineArrivingInTwoWritesIsParsedOnceWhole) {
    RunnerHarness h;
    const std::string width = field("Width", "3 840 pixels");
    h.fakeAnalyser("cat " + h.data("id", field("ID", "1")) + "\nprintf '%s' '" +
                   width.substr(0, 3) + "'\nsleep 0.3\nprintf '%s\\n' '" +
                   width.substr(3, width.size() - 4) + "'");
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.tracks[1].width, 3840);
}
#endif

TEST(MediaInfoRunner, LastLineWithoutLineFeedIsParsedWhenTheOutputEnds) {
    RunnerHarness h;
    const std::string fall = field("Maximum Frame-Average Light Level", "400 cd/m2");
    h.standIn(field("ID", "1") + fall.substr(0, fall.size() - 1));
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.trackCount, 1);
    EXPECT_EQ(h.report.tracks[1].maxFall, 400);
}

TEST(MediaInfoRunner, HowTheRunEndedIsReported) {
    using Ending = AnalyserRun::Ending;
    struct Case {
        const char* label;
        const char* exitStatus;  // the stand-in's; nullptr: see `script`
        const char* script;      // a POSIX script's last line; both nullptr: no analyser there
        Ending ending;
        int exitCode;
        bool finished;
    };
    const Case cases[] = {
        {"exit 0", "0", nullptr, Ending::Exited, 0, true},
        {"exit 1", "1", nullptr, Ending::Exited, 1, true},
        {"exit 2", "2", nullptr, Ending::Exited, 2, false},
#ifndef _WIN32
        // A process cannot be killed by a signal on Windows; the runner's own forced end is
        // covered by the abort test.
        {"killed", nullptr, "kill -KILL $$", Ending::Exited, test::os::killedExitCode(), false},
#endif
        {"missing analyser", nullptr, nullptr, Ending::CouldNotStart, -1, false},
    };
    const std::string twoTracks = field("ID", "1") + field("ID", "2");
    for (const Case& c : cases) {
        RunnerHarness h;
        std::optional<ScopedVariable> exitStatus;
        if (c.exitStatus != nullptr) {
            h.standIn(twoTracks);
            exitStatus.emplace("QUORVEL_STAND_IN_EXIT", c.exitStatus);
        } else if (c.script != nullptr) {
#ifndef _WIN32
            h.fakeAnalyser("cat " + h.data("report", twoTracks) + "\n" + c.script);
#endif
        } else {
            h.analyser = h.dir / test::programFileName("no-such-analyser");
        }
        const bool ran = c.ending != Ending::CouldNotStart;
        const AnalyserRun run = h.run();
        EXPECT_EQ(run.ending, c.ending) << c.label;
        EXPECT_EQ(run.exitCode, c.exitCode) << c.label;
        EXPECT_EQ(run.finished(), c.finished) << c.label;
        // Every line written is parsed, however the analyser ends.
        EXPECT_EQ(h.report.trackCount, ran ? 2 : 0) << c.label;
        EXPECT_TRUE(noChildLeft()) << c.label;
    }
}

TEST(MediaInfoRunner, StderrSharesThePipeAndStdinIsEmpty) {
    {
        RunnerHarness h;
        h.standIn(field("ID", "5"));
        const ScopedVariable toStderr("QUORVEL_STAND_IN_STDERR", "1");
        EXPECT_TRUE(h.run().finished());
        EXPECT_EQ(h.report.trackCount, 1);
    }
#ifndef _WIN32
    RunnerHarness h;
    h.fakeAnalyser("cat > '" + h.dir / "stdin" + "'\ncat " + h.data("report", field("ID", "5")));
    EXPECT_TRUE(h.run().finished());
    EXPECT_TRUE(test::readFile(h.dir / "stdin").empty());
#endif
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
        {"disc/BDMV/STREAM", "-v.m2ts", "./-v.m2ts"},
#ifndef _WIN32
        // A name that is not UTF-8 exists only where names are bytes.
        {"bad\xff disc/BDMV/STREAM", "00000.m2ts", "00000.m2ts"},
#endif
    };
    for (const Case& c : cases) {
        RunnerHarness h;
        test::makeDirs(h.dir / "tool folder");
        h.analyser = test::installStandInAnalyser(h.dir / "tool folder", field("ID", "3"),
                                                  "fake media info");
        const ScopedVariable record("QUORVEL_STAND_IN_RECORD", h.dir / "record");
        test::makeDirs(h.dir / c.folder);
        EXPECT_TRUE(h.run(h.dir / c.folder + "/" + c.name).finished()) << c.name;
        const ByteString bytes = test::readFile(h.dir / "record");
        const std::vector<std::string> recorded =
            test::splitLines(std::string(bytes.begin(), bytes.end()));
        ASSERT_EQ(recorded.size(), 3u) << c.name;
        EXPECT_EQ(recorded[0], "1") << c.name;
        EXPECT_EQ(recorded[1], c.argument) << c.name;
        EXPECT_TRUE(std::filesystem::equivalent(test::pathFromUtf8(recorded[2]),
                                                test::pathFromUtf8(h.dir / c.folder)))
            << c.name << ": ran in " << recorded[2];
        EXPECT_EQ(h.report.trackCount, 1) << c.name;
    }

    // An analyser path that is not a full path would name a file in the stream's folder.
    RunnerHarness h;
    test::makeDirs(h.dir / "disc/STREAM");
    test::installStandInAnalyser(h.dir / "disc/STREAM", field("ID", "3"));
    const ScopedVariable record("QUORVEL_STAND_IN_RECORD", h.dir / "planted-ran");
    h.analyser = test::programFileName("mediainfo");
    EXPECT_EQ(h.run(h.dir / "disc/STREAM/00000.m2ts").ending, AnalyserRun::Ending::CouldNotStart);
    EXPECT_FALSE(test::exists(h.dir / "planted-ran"));
}

TEST(MediaInfoRunner, WaitingDoesNotSpin) {
    RunnerHarness h;
    h.standIn(field("ID", "1"));
    const ScopedVariable sleep("QUORVEL_STAND_IN_SLEEP_MS", "500");
    EXPECT_TRUE(h.run().finished());
    // About one turn per 10 ms of waiting; a spinning loop would make tens of thousands.
    EXPECT_LT(h.control.eventTurns, 200);
    EXPECT_GT(h.control.eventTurns, 5);
}

// The user stops the job while the analyser works: the run ends at once, without another turn,
// and leaves no process behind.
void expectAbortEndsTheRun(RunnerHarness& h, const std::string& label) {
    h.control.onProcessEvents = [&] {
        if (h.control.eventTurns == 20) h.control.abortRequested = true;
    };
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(h.run().ending, AnalyserRun::Ending::Aborted) << label;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << label;
    EXPECT_EQ(h.control.eventTurns, 20) << label << ": no further turn after the abort";
    EXPECT_TRUE(noChildLeft()) << label;
}

#ifndef _WIN32
// Each script writes its own id, then those of the children it starts, to the file PIDS.
std::string withPidFile(std::string script, const std::string& pidFile) {
    for (std::size_t at = script.find("PIDS"); at != std::string::npos; at = script.find("PIDS"))
        script.replace(at, 4, "'" + pidFile + "'");
    return "echo $$ > '" + pidFile + "'\n" + script;
}
#endif

TEST(MediaInfoRunner, AbortEndsTheAnalyserAndEverythingItStarted) {
    {
        RunnerHarness h;
        h.standIn(field("ID", "1"));
        const ScopedVariable sleep("QUORVEL_STAND_IN_SLEEP_MS", "30000");
        expectAbortEndsTheRun(h, "an analyser still working");
    }
#ifndef _WIN32
    // What the analyser starts in turn, and a polite request ignored: POSIX signals and
    // process groups (a Job Object ends its members at once on Windows).
    const char* const scripts[] = {
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
        expectAbortEndsTheRun(h, script);
        const std::vector<long> pids = test::readProcessNumbers(pidFile);
        ASSERT_FALSE(pids.empty()) << script;
        EXPECT_TRUE(processGone(pids[0])) << script;
        for (std::size_t i = 1; i < pids.size(); ++i)
            EXPECT_TRUE(processGone(pids[i], false)) << script << ": child " << pids[i];
    }
#endif
}

#ifndef _WIN32
// A child left behind by the analyser, holding the pipe open: POSIX process groups.
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
#endif

TEST(MediaInfoRunner, ErrorInsideTheLoopStillEndsAndReapsTheChild) {
    RunnerHarness h;
    h.standIn(field("ID", "1"));
    const ScopedVariable sleep("QUORVEL_STAND_IN_SLEEP_MS", "30000");
    h.control.onProcessEvents = [&] {
        if (h.report.trackCount == 1) throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(h.run(), std::runtime_error);
    EXPECT_TRUE(noChildLeft());
}

TEST(MediaInfoRunner, EnormousLineIsSkippedAndTheRestStillParsed) {
    RunnerHarness h;
    h.standIn(std::string(3000000, 'x') + "\n" + field("ID", "9"));
    EXPECT_TRUE(h.run().finished());
    EXPECT_EQ(h.report.trackCount, 1);
}

}  // namespace
}  // namespace quorvel

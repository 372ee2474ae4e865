#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

#include "analysis/MediaInfoRunner.h"
#include "analysis/ReportBuilder.h"
#include "app/JobContext.h"
#include "support/TestSupport.h"

namespace quorvel {
namespace {

using test::field;

// A job context around a recording window, with the analyser replaced by a script.
struct RunnerHarness {
    SharedState state;
    test::RecordingWindow window;
    StatusLog log{state.statusText, window};
    JobContext ctx{state, log, window};
    test::TempDir dir;

    // Writes an executable shell script that stands in for the analyser.
    void fakeAnalyser(const std::string& body, const std::string& name = "mediainfo") {
        const std::string path = dir / name;
        test::writeText(path, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        state.mediaInfoPath = path;
    }
    // A data file the script can cat; returns its path quoted for the shell.
    std::string data(const std::string& name, const std::string& content) {
        test::writeText(dir / name, content);
        return "'" + dir / name + "'";
    }
    bool run(const std::string& file = "/dev/null") { return RunMediaInfo(ctx, file); }
};

// Whether a process id no longer names a process, zombie included (kill succeeds on a zombie).
bool processGone(long pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
}

long readPid(const std::string& path) {
    const ByteString bytes = test::readFile(path);
    return std::stol(std::string(bytes.begin(), bytes.end()));
}

TEST(MediaInfoRunner, TwoCrLfLinesAndExitZeroAreParsedInOrder) {
    RunnerHarness h;
    h.fakeAnalyser("cat " +
                   h.data("report", test::withCrLf(field("ID", "7") + field("Codec ID", "36"))) +
                   "\nexit 0");
    EXPECT_TRUE(h.run());
    EXPECT_EQ(h.state.mediaTrackCount, 1);
    EXPECT_EQ(h.state.mediaTracks[1].trackId, 7);
    EXPECT_EQ(h.state.mediaTracks[1].codecId, "36");
    EXPECT_EQ(h.state.videoTrackIndex, 1);
    EXPECT_GE(h.window.eventTurns, 3);  // once per line and once per poll turn
}

TEST(MediaInfoRunner, LineArrivingInTwoWritesIsParsedOnceWhole) {
    RunnerHarness h;
    const std::string width = field("Width", "3 840 pixels");
    h.fakeAnalyser("cat " + h.data("id", field("ID", "1")) + "\nprintf '%s' '" +
                   width.substr(0, 3) + "'\nsleep 0.3\nprintf '%s\\n' '" +
                   width.substr(3, width.size() - 4) + "'");
    EXPECT_TRUE(h.run());
    EXPECT_EQ(h.state.mediaTracks[1].width, 3840);
}

TEST(MediaInfoRunner, LastLineWithoutLineFeedIsNotPassedOn) {
    RunnerHarness h;
    const std::string height = field("Height", "2 160 pixels");
    h.fakeAnalyser("cat " +
                   h.data("report", field("ID", "1") + height.substr(0, height.size() - 1)));
    EXPECT_TRUE(h.run());
    EXPECT_EQ(h.state.mediaTrackCount, 1);
    EXPECT_EQ(h.state.mediaTracks[1].height, 0);
}

TEST(MediaInfoRunner, ExitCodeDecidesTheResult) {
    {
        RunnerHarness h;
        h.fakeAnalyser("exit 1");
        EXPECT_TRUE(h.run());
        EXPECT_EQ(h.state.mediaTrackCount, 0);
        EXPECT_EQ(h.state.mediaTracks.size(), 1u);
    }
    {
        RunnerHarness h;
        h.fakeAnalyser("cat " + h.data("report", field("ID", "1") + field("ID", "2")) + "\nexit 2");
        EXPECT_FALSE(h.run());
        EXPECT_EQ(h.state.mediaTrackCount, 2);  // every line was still parsed
    }
    {
        RunnerHarness h;
        h.fakeAnalyser("kill -KILL $$");
        EXPECT_FALSE(h.run());
    }
}

TEST(MediaInfoRunner, MissingAnalyserGivesFalse) {
    RunnerHarness h;
    h.state.mediaInfoPath = h.dir / "no-such-analyser";
    EXPECT_FALSE(h.run());
    EXPECT_EQ(h.state.mediaTrackCount, 0);
}

TEST(MediaInfoRunner, StderrSharesThePipeAndStdinIsEmpty) {
    RunnerHarness h;
    h.fakeAnalyser("cat > '" + h.dir / "stdin" + "'\ncat " + h.data("report", field("ID", "5")) +
                   " >&2");
    EXPECT_TRUE(h.run());
    EXPECT_EQ(h.state.mediaTracks[1].trackId, 5);
    EXPECT_TRUE(test::readFile(h.dir / "stdin").empty());
}

TEST(MediaInfoRunner, PathsWithSpacesStayOneArgumentEach) {
    RunnerHarness h;
    test::makeDirs(h.dir / "tool folder");
    h.fakeAnalyser(
        "here=$(dirname \"$0\")\nprintf '%s' \"$#\" > \"$here/argc\"\n"
        "printf '%s' \"$1\" > \"$here/arg1\"\ncat " +
            h.data("report", field("ID", "3")),
        "tool folder/fake media info");
    const std::string file = h.dir / "my disc/BDMV/STREAM/00000 copy.m2ts";
    EXPECT_TRUE(h.run(file));
    EXPECT_EQ(test::readFile(h.dir / "tool folder/argc"), asciiBytes("1"));
    EXPECT_EQ(test::readFile(h.dir / "tool folder/arg1"), asciiBytes(file));
    EXPECT_EQ(h.state.mediaTracks[1].trackId, 3);
}

TEST(MediaInfoRunner, WaitingDoesNotSpin) {
    RunnerHarness h;
    h.fakeAnalyser("sleep 0.5");
    EXPECT_TRUE(h.run());
    // About one turn per 10 ms of waiting; a spinning loop would make tens of thousands.
    EXPECT_LT(h.window.eventTurns, 200);
    EXPECT_GT(h.window.eventTurns, 5);
}

TEST(MediaInfoRunner, AbortTerminatesTheChildAndLeavesNoZombie) {
    // The second script ignores the polite request, so the forced kill has to follow.
    for (const char* wait : {"exec sleep 30", "trap '' TERM\nwhile :; do sleep 0.05; done"}) {
        RunnerHarness h;
        const std::string pidFile = h.dir / "pid";
        h.fakeAnalyser("echo $$ > '" + pidFile + "'\ncat " + h.data("report", field("ID", "1")) +
                       "\n" + wait);
        h.window.onProcessEvents = [&] {
            if (h.window.eventTurns == 20) h.state.abortRequested = true;
        };
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(h.run());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        const int turnsAtReturn = h.window.eventTurns;
        EXPECT_EQ(turnsAtReturn, 20) << "no further turn after the abort";
        EXPECT_TRUE(processGone(readPid(pidFile))) << wait;
    }
}

TEST(MediaInfoRunner, ErrorInsideTheLoopStillEndsAndReapsTheChild) {
    RunnerHarness h;
    const std::string pidFile = h.dir / "pid";
    h.fakeAnalyser("echo $$ > '" + pidFile + "'\ncat " + h.data("report", field("ID", "1")) +
                   "\nexec sleep 30");
    h.window.onProcessEvents = [&] {
        if (h.state.mediaTrackCount == 1) throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(h.run(), std::runtime_error);
    EXPECT_TRUE(processGone(readPid(pidFile)));
}

TEST(MediaInfoRunner, EnormousLineIsSkippedAndTheRestStillParsed) {
    RunnerHarness h;
    h.fakeAnalyser("head -c 3000000 /dev/zero | tr '\\000' x\nprintf '\\n'\ncat " +
                   h.data("report", field("ID", "9")));
    EXPECT_TRUE(h.run());
    EXPECT_EQ(h.state.mediaTrackCount, 1);
    EXPECT_EQ(h.state.mediaTracks[1].trackId, 9);
}

}  // namespace
}  // namespace quorvel

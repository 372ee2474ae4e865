#include "analysis/MediaInfoRunner.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "analysis/LineSplitter.h"
#include "analysis/MediaInfoParser.h"
#include "fileio/FileSystem.h"
#include "platform/ChildProcess.h"

namespace quorvel {

using platform::ChildProcess;

namespace {

// One read takes at most this much of the analyser's output.
constexpr std::size_t kReadChunk = 65000;
// How long a poll turn waits for output (or for the analyser to end) before the stop token is
// asked (and the front end gets its turn): short enough to keep a window live, long enough not
// to spin a core.
constexpr std::chrono::milliseconds kPollWait{10};
constexpr std::chrono::milliseconds kNoWait{0};
// Exit codes of a finished analysis.
constexpr int kExitCompleted = 0;
constexpr int kExitCompletedWithRemarks = 1;

AnalyserRun ended(AnalyserRun::Ending how, int exitCode = -1) {
    return AnalyserRun{how, exitCode};
}

// The folder of `file` (empty when it names none) and the argument that names the file from
// inside that folder. A name that begins with '-' gets "./" before it, so that it cannot be
// taken for an option.
std::pair<std::string, std::string> folderAndName(const std::string& file) {
    const std::size_t slash = file.find_last_of(fs::kSeparators);
    std::string folder = slash == std::string::npos ? std::string{} : file.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    if (!name.empty() && name.front() == '-') name = std::string(".") + fs::kSeparator + name;
    return {std::move(folder), std::move(name)};
}

// Reads the analyser's output into the parser line by line, asking whether to stop after each
// line. Once a stop is asked for, no further line is parsed.
class ReportReader {
  public:
    ReportReader(MediaInfoReport& report, StopToken& stop)
        : m_report(report), m_stop(stop), m_buffer(kReadChunk) {}

    // One read, after waiting up to a poll turn for output.
    ChildProcess::ReadResult readSome(ChildProcess& child) {
        std::size_t count = 0;
        return readUpTo(child, m_buffer.size(), kPollWait, count);
    }

    // Reads what is waiting in the pipe at this moment and nothing more, without waiting.
    ChildProcess::ReadResult readWaiting(ChildProcess& child) {
        ChildProcess::ReadResult result = ChildProcess::ReadResult::NothingYet;
        std::size_t count = 0;
        for (std::size_t waiting = child.waitingBytes(); waiting > 0 && !aborted();
             waiting -= count) {
            result = readUpTo(child, std::min(waiting, m_buffer.size()), kNoWait, count);
            if (result != ChildProcess::ReadResult::Data) break;
        }
        return result;
    }

    // The output has ended: the text after the last line feed is a line too.
    void finish() {
        m_splitter.finish();
        parsePendingLines();
    }

    // Asks the token (which may let the front end run) and remembers the answer.
    bool askStop() {
        if (m_stop.stopRequested()) m_stopped = true;
        return m_stopped;
    }
    // The last answer: a stop once asked for holds for the rest of the run.
    bool aborted() const { return m_stopped; }

  private:
    ChildProcess::ReadResult readUpTo(ChildProcess& child, std::size_t limit,
                                      std::chrono::milliseconds wait, std::size_t& count) {
        const ChildProcess::ReadResult result = child.read(m_buffer.data(), limit, count, wait);
        if (result == ChildProcess::ReadResult::Data) {
            m_splitter.feed(std::string_view(m_buffer.data(), count));
            parsePendingLines();
        }
        return result;
    }

    void parsePendingLines() {
        while (!aborted() && m_splitter.nextLine(m_line)) {
            ParseMediaInfoLine(m_report, m_line);
            askStop();
        }
    }

    MediaInfoReport& m_report;
    StopToken& m_stop;
    bool m_stopped = false;
    std::vector<char> m_buffer;
    LineSplitter m_splitter;
    std::string m_line;
};

}  // namespace

bool AnalyserRun::finished() const {
    return ending == Ending::Exited &&
           (exitCode == kExitCompleted || exitCode == kExitCompletedWithRemarks);
}

AnalyserRun RunMediaInfo(const std::string& mediaInfoPath, const std::string& file,
                         MediaInfoReport& report, StopToken& stop) {
    using ReadResult = ChildProcess::ReadResult;
    // Its destructor ends whatever is left of the analyser's process group on every way out.
    ChildProcess child;
    // From inside the stream's folder the analyser opens the file by its bare name, which works
    // for any name the file system holds; a full path whose folders are not valid UTF-8 is one
    // it cannot open.
    const auto [folder, name] = folderAndName(file);
    if (!child.start(mediaInfoPath, {name}, folder)) {
        return ended(AnalyserRun::Ending::CouldNotStart);
    }

    ReportReader reader(report, stop);
    bool outputOpen = true;
    for (;;) {
        if (outputOpen) {
            const ReadResult result = reader.readSome(child);
            if (reader.aborted()) return ended(AnalyserRun::Ending::Aborted);
            // A pipe that cannot be read would leave the analyser blocked on a full pipe for
            // ever; its report is incomplete anyway.
            if (result == ReadResult::Failed) return ended(AnalyserRun::Ending::OutputUnreadable);
            if (result == ReadResult::EndOfData) outputOpen = false;
        } else {
            // The output has closed; the analyser is about to end.
            child.waitForExit(kPollWait);
        }

        // The stop wins even over an analyser that has just ended: the user asked the job to
        // stop, so it must not go on to patch the disc.
        if (reader.askStop()) return ended(AnalyserRun::Ending::Aborted);

        const std::optional<int> code = child.exitCode();
        if (!code) continue;
        // The analyser has ended, so all it wrote is in the pipe now. Something it started may
        // hold the pipe open or go on writing: only the bytes waiting at this moment are read.
        const ReadResult last = reader.readWaiting(child);
        if (reader.aborted()) return ended(AnalyserRun::Ending::Aborted);
        if (last == ReadResult::Failed) return ended(AnalyserRun::Ending::OutputUnreadable);
        reader.finish();
        if (reader.aborted()) return ended(AnalyserRun::Ending::Aborted);
        child.terminate();
        return ended(AnalyserRun::Ending::Exited, *code);
    }
}

}  // namespace quorvel

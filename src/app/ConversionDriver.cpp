#include "app/ConversionDriver.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "analysis/MediaInfoLocator.h"
#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

// Clears the running flag however the job ends, an error that ends the program included.
class ActiveJob {
  public:
    explicit ActiveJob(bool& flag) : m_flag(flag) { m_flag = true; }
    ~ActiveJob() { m_flag = false; }
    ActiveJob(const ActiveJob&) = delete;
    ActiveJob& operator=(const ActiveJob&) = delete;

  private:
    bool& m_flag;
};

}  // namespace

ConversionDriver::ConversionDriver(JobHost& host, std::unique_ptr<JobSteps> steps,
                                   LocalClock clock)
    : m_host(host),
      m_steps(steps ? std::move(steps) : std::make_unique<RealJobSteps>()),
      m_clock(std::move(clock)) {}

bool ConversionDriver::Form_Load(const std::string& programFolder) {
    m_mediaInfoPath = locateMediaInfo(programFolder);
    if (m_mediaInfoPath.empty()) {
        m_host.showMessageBox("Error:  MEDIAINFO.EXE was not found in the path.",
                              "Cannot Run QUORVEL", MessageBoxKind::Plain);
        m_host.endProgram();
        return false;
    }
    return true;
}

void ConversionDriver::Command1_Click() {
    if (m_host.buttonCaption() == kAbortCaption) {
        m_abortRequested = true;
        m_host.setButtonCaption(kIdleCaption);
        return;
    }
    // After an abort press the caption is idle again while the aborted job still finishes its
    // current step; a second job nested inside the first would patch the same files twice.
    if (m_jobActive) return;

    ActiveJob active(m_jobActive);
    m_lastOutcome = JobOutcome::None;
    // The source is read once: a Browse during the job must not send its later steps to
    // another disc.
    const std::string source = m_host.sourcePath();

    Status(kJobStartedLine);
    m_abortRequested = false;
    m_host.setButtonCaption(kAbortCaption);

    try {
        PipelineOptions options = PipelineOptions::job(!m_host.skipM2tsTicked());
        options.undoDir = m_undoFolder;
        m_lastOutcome = runJob(pipelineHost(), source, options);
    } catch (const std::exception& error) {
        // Whatever went wrong, the log says so and the job ends like every other failed job.
        Status(TimeStamp() + " Failed. " + error.what());
        m_lastOutcome = JobOutcome::Failed;
    }
    Status(kJobEndedLine);
    m_host.setButtonCaption(kIdleCaption);
}

SourceCheck ConversionDriver::checkSource(const std::string& source, bool withStreams) {
    if (m_jobActive) return SourceCheck{source, SourceCheck::State::Aborted, {}, {}, {}, {}};
    ActiveJob active(m_jobActive);
    m_abortRequested = false;
    m_host.setButtonCaption(kAbortCaption);
    SourceCheck check;
    try {
        check = runCheck(pipelineHost(), source, withStreams);
        if (check.state != SourceCheck::State::NotBluRay && check.state != SourceCheck::State::Busy) {
            const RecordLookup found = findUndoRecord(source, m_undoFolder);
            // An unconverted copy of a converted disc shares its identity; the record found
            // elsewhere is the other copy's.
            if (found.outcome == RecordLookup::Outcome::Found &&
                (found.writtenHere || check.state != SourceCheck::State::Unconverted)) {
                check.undoRecord = found.path;
            }
        }
    } catch (const std::exception& error) {
        check = SourceCheck{source, SourceCheck::State::Refused, {}, {}, {}, {}};
        check.refusals.push_back({source, error.what(), ""});
    }
    m_host.setButtonCaption(kIdleCaption);
    return check;
}

UndoOutcome ConversionDriver::undoSource(const std::string& source) {
    if (m_jobActive) return UndoOutcome::Busy;
    ActiveJob active(m_jobActive);
    Status(kUndoStartedLine);
    m_abortRequested = false;
    m_host.setButtonCaption(kAbortCaption);
    UndoOutcome outcome = UndoOutcome::Failed;
    try {
        outcome = runUndo(m_host, m_clock, source, m_undoFolder);
    } catch (const std::exception& error) {
        Status(TimeStamp() + " Failed. " + error.what());
    }
    Status(kUndoEndedLine);
    m_host.setButtonCaption(kIdleCaption);
    return outcome;
}

UndoCheck ConversionDriver::checkUndoSource(const std::string& source) {
    try {
        return checkUndo(source, m_undoFolder);
    } catch (const std::exception& error) {
        UndoCheck check;
        check.source = source;
        check.state = UndoCheck::State::Refused;
        check.plan.refusals.push_back({source, error.what(), ""});
        return check;
    }
}

bool ConversionDriver::Form_QueryUnload() {
    if (m_host.buttonCaption() != kAbortCaption) {
        // An aborted job that has not written its end line yet still holds the disc files.
        return m_jobActive;
    }
    if (m_host.showMessageBox("Process executing.  Do you wish to abort?", "Confirm Abort",
                              MessageBoxKind::Question) == MessageBoxResult::Yes) {
        m_abortRequested = true;
    }
    return true;
}

void ConversionDriver::Timer1_Timer() {
    m_timerTick = true;
}

bool ConversionDriver::srcVerified(const std::string& path) {
    try {
        const BluRayLayout layout(path);
        // A link in place of one of its folders makes it no less a disc folder: the job names the
        // link when it refuses it, rather than calling the folder no disc at all.
        const std::vector<std::string> folders = layout.changedFolders();
        if (std::any_of(folders.begin(), folders.end(), [](const std::string& folder) {
                return !fs::linkBelowDisc(folder).empty();
            })) {
            return true;
        }
        return !fs::firstFileMatching(layout.clipInfoFolder(), BluRayLayout::kClipInfoExtension)
                    .empty() &&
               !fs::firstFileMatching(layout.playlistFolder(), BluRayLayout::kPlaylistExtension)
                    .empty() &&
               !fs::firstFileMatching(layout.streamFolder(), BluRayLayout::kStreamExtension)
                    .empty() &&
               !fs::firstFileMatching(layout.bdmvFolder(), BluRayLayout::kNavigationExtension)
                    .empty();
    } catch (...) {
        return false;
    }
}

std::string ConversionDriver::sourceFromSelection(std::string picked) {
    if (picked.empty()) return picked;
    // One form in every path the job logs: a Windows path may come with '\\' between names.
    std::replace_if(picked.begin(), picked.end(), fs::isSeparator, fs::kSeparator);
    // "BDMV//" names the BDMV folder as "BDMV/" does.
    while (picked.size() > 1 && picked.back() == fs::kSeparator &&
           picked[picked.size() - 2] == fs::kSeparator) {
        picked.pop_back();
    }
    // "STREAM/." and "STREAM/./" name the STREAM folder too.
    while (fs::endsWithIgnoreCase(picked, "/.") || fs::endsWithIgnoreCase(picked, "/./")) {
        picked.resize(picked.size() - (picked.back() == '.' ? 1 : 2));
    }
    if (picked.back() != fs::kSeparator) picked += fs::kSeparator;
    if (fs::endsWithIgnoreCase(picked, "/BDMV/")) picked.resize(picked.size() - 5);
    if (fs::endsWithIgnoreCase(picked, "/BDMV/STREAM/")) picked.resize(picked.size() - 12);
    return picked;
}

std::optional<std::string> untrappedError(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "An unexpected error ended the program.";
    }
    return std::nullopt;
}

}  // namespace quorvel

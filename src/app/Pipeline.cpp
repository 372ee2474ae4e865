#include "app/Pipeline.h"

#include "app/ConversionDriver.h"
#include "app/JobPlan.h"
#include "app/UndoJournal.h"
#include "fileio/DiscLock.h"
#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

constexpr const char* kNothingChangedLine = " Failed. No file was changed.";
constexpr const char* kAbortedLine = " Job aborted by user.";
constexpr const char* kRestartWarning = " - Warning:  Restart job to complete.";
constexpr const char* kPlaylistHeading = " Checking/Adjusting MPLS file...";
constexpr const char* kBdmvHeading = " Checking/Adjusting BDMV files...";
// The progress timer's interval while a stream is read through.
constexpr int kStreamPassTickMs = 500;

class Run {
  public:
    Run(const PipelineHost& with, const PipelineOptions& options, const std::string& source)
        : m_steps(with.steps),
          m_host(with.host),
          m_mediaInfoPath(with.mediaInfoPath),
          m_clock(with.clock),
          m_options(options),
          m_layout(source) {
        m_check.source = source;
    }

    JobOutcome run();
    SourceCheck& record() { return m_check; }

  private:
    bool isJob() const { return m_options.mode == AdjustMode::Write; }

    // The only place where the steps' results become log lines. The check logs nothing.
    void log(const std::string& line) {
        if (isJob()) m_host.logLine(line);
    }
    void logTimed(const std::string& text) {
        if (isJob()) m_host.logLine(timeStampOf(m_clock()) + text);
    }
    void log(const LogLines& lines) {
        for (const LogLine& line : lines) line.timed ? logTimed(line.text) : log(line.text);
    }

    // The one place where a refusal is decided: the job logs its line, the check lists it.
    void refuse(const Refusal& refusal) {
        if (isJob()) {
            if (!refusal.line.empty()) log(refusal.line);
        } else {
            m_check.refusals.push_back(refusal);
        }
    }

    // Lets the front end run, then tells whether the user asked the job to stop. Asked only
    // where stopping leaves every file whole.
    bool stopAtSafePoint() { return m_host.stopRequested(); }

    JobOutcome failed(const std::string& outcomeLine) {
        logTimed(outcomeLine);
        return JobOutcome::Failed;
    }
    JobOutcome abortedBeforeWriting() {
        log(" - Stopped before any file was changed.");
        logTimed(kAbortedLine);
        return JobOutcome::Aborted;
    }
    JobOutcome abortedAfterWriting() {
        logTimed(kAbortedLine);
        log(kRestartWarning);
        return JobOutcome::Aborted;
    }

    JobOutcome scanTitle();
    JobOutcome writeNavigation();
    JobOutcome convertStreams(UndoJournal& journal);
    JobOutcome surveyStreams(bool& someConverted);
    void refreshBackup(const std::string& file, const std::string& backupFolder);

    JobSteps& m_steps;
    JobHost& m_host;
    const std::string& m_mediaInfoPath;
    const LocalClock& m_clock;
    PipelineOptions m_options;
    BluRayLayout m_layout;
    Title m_title;
    SourceCheck m_check;
};

JobOutcome Run::run() {
    // Held until the run ends, from before the title is read: a second job would patch the same
    // fields, and a check would report a disc half way through.
    const DiscLock lock(m_layout.bdmvFolder(),
                        isJob() ? DiscLock::Kind::Exclusive : DiscLock::Kind::Shared);
    if (lock.busy()) {
        log(" - Cannot lock " + lock.path() + ": another job or check is working on this disc.");
        failed(kNothingChangedLine);
        return JobOutcome::Busy;
    }
    m_title = readTitle(m_layout);
    if (!m_title.readable()) {
        for (const Refusal& problem : m_title.problems) refuse(problem);
        return failed(m_title.failureLine);
    }

    const JobOutcome scanned = scanTitle();
    if (scanned != JobOutcome::Succeeded) return scanned;

    const JobPlan plan = planJob(m_steps, m_layout, m_title, m_options.withStreams);
    for (const Refusal& refusal : plan.refusals) refuse(refusal);
    if (isJob()) {
        if (!plan.accepted()) return failed(kNothingChangedLine);
        if (stopAtSafePoint()) return abortedBeforeWriting();
        // What the job changes goes on the undo record before the first write.
        UndoJournal journal(m_layout, m_options.undoDir,
                            [this](const std::string& line) { log(line); });
        std::string refusal;
        if (!journal.recordNavigation(m_title, plan.changes,
                                      someNavigationConverted(m_title, m_layout, plan.changes),
                                      refusal)) {
            log(refusal);
            return failed(kNothingChangedLine);
        }
        const JobOutcome written = writeNavigation();
        if (written != JobOutcome::Succeeded) return written;
        if (m_options.withStreams) {
            const JobOutcome converted = convertStreams(journal);
            if (converted != JobOutcome::Succeeded) return converted;
        }
        logTimed(" QUORVEL - SUCCESS");
        return JobOutcome::Succeeded;
    }

    // The check records what the writes would be.
    m_check.changes = plan.changes;
    noteLinkedBackups(m_check, m_layout);
    if (plan.accepted()) addStaleCopies(m_check, m_layout, m_title);
    bool someConverted = someNavigationConverted(m_title, m_layout, plan.changes);
    if (plan.accepted() && m_options.withStreams) {
        const JobOutcome surveyed = surveyStreams(someConverted);
        if (surveyed != JobOutcome::Succeeded) return surveyed;
    }
    if (!m_check.refusals.empty()) return JobOutcome::Failed;
    if (m_check.changes.empty()) {
        m_check.state = SourceCheck::State::Converted;
    } else {
        m_check.state = someConverted ? SourceCheck::State::PartlyConverted
                                      : SourceCheck::State::Unconverted;
    }
    return JobOutcome::Succeeded;
}

// Analyses the stream of every clip. The playlist's block comes from the first clip's scan; each
// clip's dynamic range byte from its own.
JobOutcome Run::scanTitle() {
    for (std::size_t k = 0; k < m_title.clips.size(); ++k) {
        TitleClip& clip = m_title.clips[k];
        logTimed(clipStepHeading(ClipStep::Scan, m_title, k));
        ScanResult scan = m_steps.scanStream(m_mediaInfoPath, clip.stream, m_host);
        log(scan.lines);
        clip.attributes = std::move(scan.attributes);
        switch (scan.outcome) {
            case ScanOutcome::Collected:
                break;
            case ScanOutcome::Aborted:
                return abortedBeforeWriting();
            case ScanOutcome::Failed:
                if (m_options.onFailure == PipelineOptions::OnFailure::StopAtFirst) {
                    return failed(kNothingChangedLine);
                }
                refuse(streamRefusal(clip.stream, clip.attributes.failure));
                continue;
        }
        if (isJob() && stopAtSafePoint()) return abortedBeforeWriting();
    }
    return m_check.refusals.empty() ? JobOutcome::Succeeded : JobOutcome::Failed;
}

// The navigation files, each followed by its BACKUP copy. A stop requested in between is honoured
// after the file at hand is complete; a rerun then completes the rest.
JobOutcome Run::writeNavigation() {
    logTimed(kPlaylistHeading);
    const Adjustment playlist =
        m_steps.UHD_Adjust_MPLS(m_title.playlist, m_title.uhdExtension(), AdjustMode::Write);
    log(playlist.lines);
    if (!playlist.accepted) return failed(" Failed. Couldn't update MPLS file...");
    if (m_title.otherPlaylists > 0) {
        log(m_title.otherPlaylists == 1
                ? " - 1 other playlist was left alone."
                : " - " + std::to_string(m_title.otherPlaylists) +
                      " other playlists were left alone.");
    }
    refreshBackup(m_title.playlist, m_layout.backupPlaylistFolder());
    if (stopAtSafePoint()) return abortedAfterWriting();

    for (std::size_t k = 0; k < m_title.clips.size(); ++k) {
        const TitleClip& clip = m_title.clips[k];
        logTimed(clipStepHeading(ClipStep::ClipInfo, m_title, k));
        const Adjustment clipInfo =
            m_steps.UHD_Adjust_CLPI(clip.clipInfo, clip.attributes.isHdr, AdjustMode::Write);
        log(clipInfo.lines);
        if (!clipInfo.accepted) return failed(" Failed. Couldn't update CLPI file...");
        refreshBackup(clip.clipInfo, m_layout.backupClipInfoFolder());
        if (stopAtSafePoint()) return abortedAfterWriting();
    }

    const std::string index = m_layout.indexFile();
    const std::string movieObject = m_layout.movieObjectFile();
    logTimed(kBdmvHeading);
    const Adjustment bdmv = m_steps.UHD_Adjust_BDMV(index, movieObject, AdjustMode::Write);
    log(bdmv.lines);
    if (!bdmv.accepted) return failed(" Failed. Couldn't update index or MovieObject...");
    refreshBackup(index, m_layout.backupFolder());
    refreshBackup(movieObject, m_layout.backupFolder());
    return JobOutcome::Succeeded;
}

// Every clip's stream, one percentage over all of them.
JobOutcome Run::convertStreams(UndoJournal& journal) {
    M2tsScanOptions options;
    options.progressTotal = m_title.streamBytes();
    for (std::size_t k = 0; k < m_title.clips.size(); ++k) {
        const TitleClip& clip = m_title.clips[k];
        logTimed(clipStepHeading(ClipStep::Stream, m_title, k));
        m_host.setTickInterval(kStreamPassTickMs);
        options.undo = &journal.streamSink(clip.stream, fs::fileSize(clip.stream));
        const StreamPass pass = m_steps.UHD_Adjust_M2TS(clip.stream, options, m_host, m_host);
        log(pass.lines);
        options.progressBefore += fs::fileSize(clip.stream);
        if (pass.outcome == StreamPass::Outcome::Failed) {
            return failed(" Failed. Couldn't update M2TS...");
        }
        if (pass.outcome == StreamPass::Outcome::Aborted ||
            (k + 1 < m_title.clips.size() && stopAtSafePoint())) {
            logTimed(kAbortedLine);
            log(" - Warning:  M2TS update not completed");
            log(" - Warning:  M2TS format is not compliant");
            log(kRestartWarning);
            return JobOutcome::Aborted;
        }
    }
    return JobOutcome::Succeeded;
}

// The check reads every stream through and counts what its conversion would change.
JobOutcome Run::surveyStreams(bool& someConverted) {
    M2tsScanOptions options;
    options.progressTotal = m_title.streamBytes();
    for (const TitleClip& clip : m_title.clips) {
        StreamSurvey survey;
        m_host.setTickInterval(kStreamPassTickMs);
        const StreamPass pass = m_steps.surveyM2ts(clip.stream, survey, options, m_host, m_host);
        if (pass.outcome == StreamPass::Outcome::Aborted) return JobOutcome::Aborted;
        if (pass.outcome == StreamPass::Outcome::Failed) {
            refuse(streamRefusal(clip.stream, "the stream cannot be read through"));
            continue;
        }
        options.progressBefore += survey.size;
        someConverted = addStreamChanges(m_check, clip.stream, survey) || someConverted;
    }
    return JobOutcome::Succeeded;
}

// A BACKUP copy that cannot be refreshed does not stop the job, but the log says so: the copy
// still holds the unconverted file. A disc without the BACKUP folder is still a disc.
void Run::refreshBackup(const std::string& file, const std::string& backupFolder) {
    const fs::CopyResult copy = fs::refreshCopy(file, backupFolder);
    if (copy.outcome == fs::CopyResult::Outcome::Failed ||
        copy.outcome == fs::CopyResult::Outcome::Linked) {
        log(" - Warning:  Couldn't refresh the BACKUP copy " + copy.copyPath + ": " +
            copy.reason + ".");
    }
}

}  // namespace

JobOutcome runJob(const PipelineHost& with, const std::string& source, bool withStreams) {
    return runJob(with, source, PipelineOptions::job(withStreams));
}

JobOutcome runJob(const PipelineHost& with, const std::string& source,
                  const PipelineOptions& options) {
    Run run(with, options, source);
    return run.run();
}

SourceCheck runCheck(const PipelineHost& with, const std::string& source, bool withStreams) {
    if (!ConversionDriver::srcVerified(source)) {
        SourceCheck check;
        check.source = source;
        check.state = SourceCheck::State::NotBluRay;
        return check;
    }
    Run run(with, PipelineOptions::check(withStreams), source);
    const JobOutcome outcome = run.run();
    SourceCheck check = std::move(run.record());
    switch (outcome) {
        case JobOutcome::Busy:
            check.state = SourceCheck::State::Busy;
            break;
        case JobOutcome::Aborted:
            check.state = SourceCheck::State::Aborted;
            break;
        case JobOutcome::Failed:
            check.state = SourceCheck::State::Refused;
            break;
        default:
            break;
    }
    return check;
}

}  // namespace quorvel

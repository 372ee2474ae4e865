#include "app/ConversionDriver.h"

#include <algorithm>
#include <exception>

#include "analysis/MediaInfoLocator.h"
#include "app/JobPlan.h"
#include "fileio/DiscLock.h"
#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

constexpr const char* kNothingChangedLine = " Failed. No file was changed.";
constexpr const char* kAbortedLine = " Job aborted by user.";
constexpr const char* kRestartWarning = " - Warning:  Restart job to complete.";

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

ConversionDriver::ConversionDriver(WindowOperations& window, std::unique_ptr<JobSteps> steps,
                                   LocalClock clock)
    : m_window(window),
      m_steps(steps ? std::move(steps) : std::make_unique<RealJobSteps>()),
      m_log(m_state.statusText, window, std::move(clock)),
      m_context{m_state, m_log, window} {}

bool ConversionDriver::Form_Load(const std::string& programFolder) {
    m_state.mediaInfoPath = locateMediaInfo(programFolder);
    if (m_state.mediaInfoPath.empty()) {
        m_window.showMessageBox("Error:  MEDIAINFO.EXE was not found in the path.",
                                "Cannot Run QUORVEL", MessageBoxKind::Plain);
        m_window.endProgram();
        return false;
    }
    return true;
}

void ConversionDriver::Command1_Click() {
    if (m_window.buttonCaption() == kAbortCaption) {
        m_state.abortRequested = true;
        m_window.setButtonCaption(kIdleCaption);
        return;
    }
    // After an abort press the caption is idle again while the aborted job still finishes its
    // current step; a second job nested inside the first would patch the same files twice.
    if (m_jobActive) return;

    ActiveJob active(m_jobActive);
    m_lastOutcome = JobOutcome::None;
    // The source is read once: a Browse during the job must not send its later steps to
    // another disc.
    const std::string source = m_window.sourcePath();

    Status(kJobStartedLine);
    m_state.abortRequested = false;
    m_window.setButtonCaption(kAbortCaption);

    try {
        m_lastOutcome = runJob(source);
    } catch (const std::exception& error) {
        // Whatever went wrong, the log says so and the job ends like every other failed job.
        m_lastOutcome = failed(std::string(" Failed. ") + error.what());
    }
    Status(kJobEndedLine);
    m_window.setButtonCaption(kIdleCaption);
}

// The job: read the title, analyse its streams, check every file it will change, and only then
// write. Every way out logs its outcome as the last line before the end frame.
JobOutcome ConversionDriver::runJob(const std::string& source) {
    const BluRayLayout layout(source);
    // Held until the job ends, from before the title is read: a second job would patch the same
    // fields, and a check would report a disc half way through.
    const DiscLock lock(layout.bdmvFolder(), DiscLock::Kind::Exclusive);
    if (lock.busy()) {
        Status(" - Cannot lock " + lock.path() +
               ": another job or check is working on this disc.");
        failed(kNothingChangedLine);
        return JobOutcome::Busy;
    }
    Title title = readTitle(layout);
    for (const Refusal& problem : title.problems) {
        if (!problem.line.empty()) Status(problem.line);
    }
    if (!title.readable()) return failed(title.failureLine);

    const JobOutcome scanned = scanTitle(title);
    if (scanned != JobOutcome::Succeeded) return scanned;

    const bool withStreams = !m_window.skipM2tsTicked();
    const JobPlan plan = planJob(m_context, layout, title, withStreams);
    for (const Refusal& refusal : plan.refusals) Status(refusal.line);
    if (!plan.accepted()) return failed(kNothingChangedLine);
    if (abortAtSafePoint()) return abortedBeforeWriting();

    const JobOutcome written = writeTitle(layout, title);
    if (written != JobOutcome::Succeeded) return written;
    if (withStreams) {
        const JobOutcome converted = convertStreams(title);
        if (converted != JobOutcome::Succeeded) return converted;
    }
    logWithTime(" QUORVEL - SUCCESS");
    return JobOutcome::Succeeded;
}

// Analyses the stream of every clip. The playlist's block comes from the first clip's scan; each
// clip's dynamic range byte from its own.
JobOutcome ConversionDriver::scanTitle(Title& title) {
    for (std::size_t k = 0; k < title.clips.size(); ++k) {
        TitleClip& clip = title.clips[k];
        switch (m_steps->scanStream(m_context, clip.stream,
                                    clipStepHeading(ClipStep::Scan, title, k), clip.attributes)) {
            case ScanOutcome::Collected:
                break;
            case ScanOutcome::Aborted:
                return abortedBeforeWriting();
            case ScanOutcome::Failed:
                return failed(kNothingChangedLine);
        }
        if (abortAtSafePoint()) return abortedBeforeWriting();
    }
    return JobOutcome::Succeeded;
}

// The navigation files, each followed by its BACKUP copy. A stop requested in between is honoured
// after the file at hand is complete; a rerun then completes the rest.
JobOutcome ConversionDriver::writeTitle(const BluRayLayout& layout, const Title& title) {
    const auto abortedAfterWriting = [this] {
        logWithTime(kAbortedLine);
        Status(kRestartWarning);
        return JobOutcome::Aborted;
    };

    if (!m_steps->UHD_Adjust_MPLS(m_context, title.playlist)) {
        return failed(" Failed. Couldn't update MPLS file...");
    }
    if (title.otherPlaylists > 0) {
        Status(title.otherPlaylists == 1
                   ? " - 1 other playlist was left alone."
                   : " - " + std::to_string(title.otherPlaylists) +
                         " other playlists were left alone.");
    }
    refreshBackup(title.playlist, layout.backupPlaylistFolder());
    if (abortAtSafePoint()) return abortedAfterWriting();

    for (std::size_t k = 0; k < title.clips.size(); ++k) {
        const TitleClip& clip = title.clips[k];
        if (!m_steps->UHD_Adjust_CLPI(m_context, clip.clipInfo, clip.attributes.isHdr,
                                      clipStepHeading(ClipStep::ClipInfo, title, k))) {
            return failed(" Failed. Couldn't update CLPI file...");
        }
        refreshBackup(clip.clipInfo, layout.backupClipInfoFolder());
        if (abortAtSafePoint()) return abortedAfterWriting();
    }

    const std::string index = layout.indexFile();
    const std::string movieObject = layout.movieObjectFile();
    if (!m_steps->UHD_Adjust_BDMV(m_context, index, movieObject)) {
        return failed(" Failed. Couldn't update index or MovieObject...");
    }
    refreshBackup(index, layout.backupFolder());
    refreshBackup(movieObject, layout.backupFolder());
    return JobOutcome::Succeeded;
}

// Every clip's stream, one percentage over all of them.
JobOutcome ConversionDriver::convertStreams(const Title& title) {
    M2tsScanOptions options;
    options.progressTotal = title.streamBytes();
    for (std::size_t k = 0; k < title.clips.size(); ++k) {
        const TitleClip& clip = title.clips[k];
        const bool done = m_steps->UHD_Adjust_M2TS(
            m_context, clip.stream, clipStepHeading(ClipStep::Stream, title, k), options);
        options.progressBefore += fs::fileSize(clip.stream);
        if (!done && !m_state.abortRequested) return failed(" Failed. Couldn't update M2TS...");
        if (!done || (k + 1 < title.clips.size() && abortAtSafePoint())) {
            logWithTime(kAbortedLine);
            Status(" - Warning:  M2TS update not completed");
            Status(" - Warning:  M2TS format is not compliant");
            Status(kRestartWarning);
            return JobOutcome::Aborted;
        }
    }
    return JobOutcome::Succeeded;
}

bool ConversionDriver::abortAtSafePoint() {
    m_window.processPendingEvents();
    return m_state.abortRequested;
}

JobOutcome ConversionDriver::failed(const std::string& outcomeLine) {
    logWithTime(outcomeLine);
    return JobOutcome::Failed;
}

JobOutcome ConversionDriver::abortedBeforeWriting() {
    Status(" - Stopped before any file was changed.");
    logWithTime(kAbortedLine);
    return JobOutcome::Aborted;
}

// A BACKUP copy that cannot be refreshed does not stop the job, but the log says so: the copy
// still holds the unconverted file. A disc without the BACKUP folder is still a disc.
void ConversionDriver::refreshBackup(const std::string& file, const std::string& backupFolder) {
    const fs::CopyResult copy = fs::refreshCopy(file, backupFolder);
    if (copy.outcome == fs::CopyResult::Outcome::Failed ||
        copy.outcome == fs::CopyResult::Outcome::Linked) {
        Status(" - Warning:  Couldn't refresh the BACKUP copy " + copy.copyPath + ": " +
               copy.reason + ".");
    }
}

SourceCheck ConversionDriver::checkSource(const std::string& source, bool withStreams) {
    if (m_jobActive) return SourceCheck{source, SourceCheck::State::Aborted, {}, {}, {}};
    ActiveJob active(m_jobActive);
    m_state.abortRequested = false;
    m_window.setButtonCaption(kAbortCaption);
    SourceCheck check;
    try {
        check = quorvel::checkSource(m_context, *m_steps, source, withStreams);
    } catch (const std::exception& error) {
        check = SourceCheck{source, SourceCheck::State::Refused, {}, {}, {}};
        check.refusals.push_back({source, error.what(), ""});
    }
    m_window.setButtonCaption(kIdleCaption);
    return check;
}

bool ConversionDriver::Form_QueryUnload() {
    if (m_window.buttonCaption() != kAbortCaption) {
        // An aborted job that has not written its end line yet still holds the disc files.
        return m_jobActive;
    }
    if (m_window.showMessageBox("Process executing.  Do you wish to abort?", "Confirm Abort",
                                MessageBoxKind::Question) == MessageBoxResult::Yes) {
        m_state.abortRequested = true;
    }
    return true;
}

void ConversionDriver::Timer1_Timer() {
    m_state.timerTick = true;
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
    // "STREAM/." and "STREAM/./" name the STREAM folder too.
    while (fs::endsWithIgnoreCase(picked, "/.") || fs::endsWithIgnoreCase(picked, "/./")) {
        picked.resize(picked.size() - (picked.back() == '.' ? 1 : 2));
    }
    if (picked.back() != fs::kSeparator) picked += fs::kSeparator;
    if (fs::endsWithIgnoreCase(picked, "/BDMV/")) picked.resize(picked.size() - 5);
    if (fs::endsWithIgnoreCase(picked, "/BDMV/STREAM/")) picked.resize(picked.size() - 12);
    return picked;
}

void ConversionDriver::logWithTime(const std::string& text) {
    Status(TimeStamp() + text);
}

}  // namespace quorvel

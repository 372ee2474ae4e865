#include "app/Quorvel.h"

#include "analysis/MediaInfoLocator.h"
#include "app/BluRayLayout.h"
#include "fileio/FileSystem.h"
#include "transport/Crc32Mpeg2.h"

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

// Replaces the BACKUP duplicate of a patched navigation file. Failures are not the job's
// concern: a disc without a BACKUP folder is still a disc, and nothing is logged.
void refreshBackup(const std::string& patched, const std::string& backup) {
    fs::deleteFile(backup);
    fs::copyFileOver(patched, backup);
}

}  // namespace

Quorvel::Quorvel(WindowOperations& window, std::unique_ptr<JobSteps> steps, LocalClock clock)
    : m_window(window),
      m_steps(steps ? std::move(steps) : std::make_unique<RealJobSteps>()),
      m_log(m_state.statusText, window, std::move(clock)),
      m_context{m_state, m_log, window} {}

bool Quorvel::Form_Load(const std::string& programFolder) {
    buildCrcTable(m_state.crcTable);
    m_state.mediaInfoPath = locateMediaInfo(programFolder);
    if (m_state.mediaInfoPath.empty()) {
        m_window.showMessageBox("Error:  MEDIAINFO.EXE was not found in the path.",
                                "Cannot Run QUORVEL", MessageBoxKind::Plain);
        m_window.endProgram();
        return false;
    }
    return true;
}

void Quorvel::Command1_Click() {
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
    // The source is read once: a Browse during the job must not send later steps to another disc.
    const std::string source = m_window.sourcePath();

    Status(kJobStartedLine);
    m_state.abortRequested = false;
    m_window.setButtonCaption(kAbortCaption);

    const BluRayLayout layout(source);
    if (!m_steps->GetMediaInfo(m_context, layout.streamFolderPath())) {
        m_window.setButtonCaption(kIdleCaption);
        m_lastOutcome = m_state.abortRequested ? JobOutcome::Aborted : JobOutcome::Failed;
        return;
    }

    m_lastOutcome = runJob(source);
    Status(kJobEndedLine);
    m_window.setButtonCaption(kIdleCaption);
}

JobOutcome Quorvel::runJob(const std::string& source) {
    const BluRayLayout layout(source);

    const std::string playlistFolder = layout.playlistFolder();
    const std::string playlist =
        fs::firstFileMatching(playlistFolder, BluRayLayout::kPlaylistExtension);
    if (playlist.empty()) {
        logWithTime(" Failed. Couldn't find MPLS file.");
        return JobOutcome::Failed;
    }
    if (!m_steps->UHD_Adjust_MPLS(m_context, playlistFolder + playlist)) return JobOutcome::Failed;
    refreshBackup(playlistFolder + playlist, layout.backupPlaylistFolder() + playlist);

    const std::string clipFolder = layout.clipInfoFolder();
    const std::string clip = fs::firstFileMatching(clipFolder, BluRayLayout::kClipInfoExtension);
    if (clip.empty()) {
        logWithTime(" Failed. Couldn't find CLPI file.");
        return JobOutcome::Failed;
    }
    if (!m_steps->UHD_Adjust_CLPI(m_context, clipFolder + clip)) return JobOutcome::Failed;
    refreshBackup(clipFolder + clip, layout.backupClipInfoFolder() + clip);

    const std::string index = layout.indexFile();
    const std::string movieObject = layout.movieObjectFile();
    if (!m_steps->UHD_Adjust_BDMV(m_context, index, movieObject)) {
        logWithTime(" Failed. Couldn't update index or MovieObject...");
        return JobOutcome::Failed;
    }
    const std::string backupIndex = layout.backupIndexFile();
    const std::string backupMovieObject = layout.backupMovieObjectFile();
    fs::deleteFile(backupIndex);
    fs::deleteFile(backupMovieObject);
    fs::copyFileOver(index, backupIndex);
    fs::copyFileOver(movieObject, backupMovieObject);

    const std::string streamFolder = layout.streamFolder();
    const std::string stream = fs::firstFileMatching(streamFolder, BluRayLayout::kStreamExtension);
    if (stream.empty()) {
        logWithTime(" Failed. Couldn't find M2TS file.");
        return JobOutcome::Failed;
    }
    if (m_window.skipM2tsTicked()) {
        logWithTime(" QUORVEL - SUCCESS");
        return JobOutcome::Succeeded;
    }
    if (m_steps->UHD_Adjust_M2TS(m_context, streamFolder + stream)) {
        logWithTime(" QUORVEL - SUCCESS");
        return JobOutcome::Succeeded;
    }
    if (m_state.abortRequested) {
        logWithTime(" Job aborted by user.");
        Status(" - Warning:  M2TS update not completed");
        Status(" - Warning:  M2TS format is not compliant");
        Status(" - Warning:  Restart job to complete.");
        return JobOutcome::Aborted;
    }
    logWithTime(" Failed. Couldn't update M2TS...");
    return JobOutcome::Failed;
}

bool Quorvel::Form_QueryUnload() {
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

void Quorvel::Timer1_Timer() {
    m_state.timerTick = true;
}

bool Quorvel::srcVerified(const std::string& path) {
    try {
        const BluRayLayout layout(path);
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

std::string Quorvel::sourceFromSelection(std::string picked) {
    if (picked.empty()) return picked;
    if (picked.back() != fs::kSeparator) picked += fs::kSeparator;
    if (fs::endsWithIgnoreCase(picked, "/BDMV/")) picked.resize(picked.size() - 5);
    if (fs::endsWithIgnoreCase(picked, "/BDMV/STREAM/")) picked.resize(picked.size() - 12);
    return picked;
}

void Quorvel::logWithTime(const std::string& text) {
    Status(TimeStamp() + text);
}

}  // namespace quorvel

#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "app/JobHost.h"
#include "app/JobSteps.h"
#include "app/Pipeline.h"
#include "app/SourceCheck.h"
#include "app/StatusLog.h"
#include "app/Undo.h"

namespace quorvel {

inline constexpr const char* kIdleCaption = "Convert It To UHD-BD";
inline constexpr const char* kAbortCaption = "Abort";
inline constexpr const char* kJobStartedLine = "========Job Started========";
inline constexpr const char* kJobEndedLine = "=========Job Ended=========";

// The program's logic behind its window: start-up, the conversion job, the close check and the
// timer. It reaches the front end only through JobHost, so the Qt window and the command line
// drive the very same code. It owns the abort flag and the timer tick that the host's
// StopToken and ProgressSink answer from.
class ConversionDriver {
  public:
    explicit ConversionDriver(JobHost& host, std::unique_ptr<JobSteps> steps = nullptr,
                              LocalClock clock = systemLocalTime);

    ConversionDriver(const ConversionDriver&) = delete;
    ConversionDriver& operator=(const ConversionDriver&) = delete;

    // Start-up: finds the analyser. Without an analyser it shows the start-up message, asks the
    // front end to end the program and returns false.
    bool Form_Load(const std::string& programFolder);

    // A press of the convert/abort button: starts a job, or requests the abort of the running one.
    void Command1_Click();
    // Looks at a disc folder (ending with a separator) the way a job would and tells what a job
    // would change, without writing anything or logging. While it runs, the button reads
    // "Abort" and a press stops it.
    SourceCheck checkSource(const std::string& source, bool withStreams);

    // Where undo records are kept and looked for (the command line's --undo-dir); empty: the
    // user's state folder.
    void setUndoFolder(std::string folder) { m_undoFolder = std::move(folder); }
    const std::string& undoFolder() const { return m_undoFolder; }
    // Restores the disc folder `source` (ending with a separator) from its undo record, with the
    // undo's own log between its heading lines. Needs no analyser.
    UndoOutcome undoSource(const std::string& source);
    // What an undo of `source` would restore, without writing or logging anything.
    UndoCheck checkUndoSource(const std::string& source);

    // A close request. Returns true when the window must stay open.
    bool Form_QueryUnload();
    // A tick of the 500 ms timer.
    void Timer1_Timer();

    // Whether the four kinds of Blu-ray files are present under `path` (ending with a separator).
    static bool srcVerified(const std::string& path);
    // A folder the user picked, turned into the source folder: every separator written as '/'
    // (Windows' '\\' too), one trailing separator, and a picked BDMV or BDMV/STREAM folder
    // becomes the folder that holds BDMV.
    static std::string sourceFromSelection(std::string picked);

    void Status(const std::string& stext) { m_host.logLine(stext); }
    std::string TimeStamp() const { return timeStampOf(m_clock()); }

    // Set by an abort press or the close confirmation; the host's stopRequested answers it.
    bool abortRequested() const { return m_abortRequested; }
    // Whether the timer ticked since the progress was last shown; the asking uses the tick up.
    bool takeTimerTick() { return std::exchange(m_timerTick, false); }
    bool timerTick() const { return m_timerTick; }
    const std::string& mediaInfoPath() const { return m_mediaInfoPath; }
    // True from the start of a job until it has written its end line (or stopped).
    bool jobActive() const { return m_jobActive; }
    JobOutcome lastOutcome() const { return m_lastOutcome; }

  private:
    PipelineHost pipelineHost() { return {*m_steps, m_host, m_mediaInfoPath, m_clock}; }

    JobHost& m_host;
    std::unique_ptr<JobSteps> m_steps;
    LocalClock m_clock;
    bool m_abortRequested = false;
    bool m_timerTick = false;
    // Full path of the analyser executable.
    std::string m_mediaInfoPath;
    bool m_jobActive = false;
    JobOutcome m_lastOutcome = JobOutcome::None;
    std::string m_undoFolder;
};

// Runs a window's handler (a button press) and returns the text of an error that no step trapped,
// or nothing. The windows' event loops let no exception through: the error ends the program there.
std::optional<std::string> untrappedError(const std::function<void()>& handler);

}  // namespace quorvel

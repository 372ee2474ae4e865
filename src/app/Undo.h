#pragma once

#include <string>
#include <vector>

#include "app/JobHost.h"
#include "app/StatusLog.h"
#include "fileio/UndoRestore.h"

// Undoing a conversion: every file the job changed gets back the bytes it had before the first
// job, from the undo record the job wrote before it changed anything.
namespace quorvel {

inline constexpr const char* kUndoStartedLine = "========Undo Started========";
inline constexpr const char* kUndoEndedLine = "=========Undo Ended=========";

// The record of a disc, found in the record folder by the disc's identity.
struct RecordLookup {
    enum class Outcome { Found, None, Ambiguous };
    Outcome outcome = Outcome::None;
    std::string path;                  // Found: the record's file
    bool writtenHere = false;          // Found: written for this very folder path
    std::vector<std::string> matches;  // Ambiguous: every record that matches
    std::string folder;                // where the records were looked for
};
// By the disc's identity first; failing that, a record written for this very folder path, so
// that a disc whose stream something else changed since is refused by name rather than found to
// have no record. `folder`: the record folder asked for (--undo-dir), empty for the user's state
// folder.
RecordLookup findUndoRecord(const std::string& source, const std::string& folder);

// How an undo of one disc ended.
enum class UndoOutcome { Restored, NothingToUndo, Refused, Failed, Aborted, Busy };

// The undo of the disc folder `source` (ending with a separator), with its log through `host`:
// its own heading lines and, as the last line, its outcome.
UndoOutcome runUndo(JobHost& host, const LocalClock& clock, const std::string& source,
                    const std::string& folder);

// What an undo of `source` would do, found out the undo's way without writing anything.
struct UndoCheck {
    enum class State { NothingToUndo, WouldRestore, Restored, Refused, NotBluRay, Busy };
    std::string source;
    State state = State::NothingToUndo;
    std::string record;  // the record's path, when there is one
    undo::UndoPlan plan;
};
UndoCheck checkUndo(const std::string& source, const std::string& folder);

}  // namespace quorvel

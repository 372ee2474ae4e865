#pragma once

#include <string>
#include <vector>

#include "app/SourceCheck.h"
#include "app/Undo.h"

// What the command line prints for its check mode, as text for people and as JSON for scripts.
namespace quorvel::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitAborted = 3;
inline constexpr int kExitWouldChange = 4;

// The exit status of a run over several folders, from each folder's own: the first of 3
// (stopped), 2 (not a Blu-ray folder), 1 (failed or refused) and 4 (a check would change it)
// that any folder has, else 0.
int worstExitStatus(const std::vector<int>& statuses);

// 0 when no folder needs a change, 4 when a job would change one, 1 when a job would refuse one
// or was working on one, 2 when one is not a Blu-ray folder; the first of 3 (stopped), 2, 1, 4
// that applies wins.
int checkExitStatus(const std::vector<SourceCheck>& checks);

// For each folder: its state, then what a job would change (file, field, offset, before and
// after; a BACKUP copy to be written anew, one line each) or why it would refuse; file names
// relative to the folder.
std::string checkReportText(const std::vector<SourceCheck>& checks);

// The same facts as one JSON document:
// {"exitStatus": N, "sources": [{"path", "state", "refusals": [{"file", "reason"}],
//   "notes": [...], "changes": [{"file", "field", "offset", "count", "before", "after"}]}]}
// with byte values as lower-case hexadecimal strings and files relative to the folder. A text that
// is not valid UTF-8 (a folder or file name, or a line that holds one) has its bad bytes written
// as \xNN, and a field of the same name with "Hex" appended beside it holding its exact bytes in
// hexadecimal ("pathHex", "reasonHex", "notesHex" for all the notes, ...).
std::string checkReportJson(const std::vector<SourceCheck>& checks);

// --undo --check: 0 when no folder has anything to restore (or no record), 4 when an undo would
// restore one, 1 when it would refuse one or a job is working on one, 2 for a folder that is not
// a Blu-ray folder; the first of 3, 2, 1, 4 that applies wins.
int undoCheckExitStatus(const std::vector<UndoCheck>& checks);

// For each folder: whether an undo would restore it, and then each file it would write back
// (how many fields, how many appended bytes it would cut off), or why it would refuse.
std::string undoCheckReportText(const std::vector<UndoCheck>& checks);

// The same facts as one JSON document: the exit status, and for each folder its path, state
// (nothing-to-undo, would-restore, restored, refused, not-blu-ray, busy), record, refusals and
// the files an undo would write back.
std::string undoCheckReportJson(const std::vector<UndoCheck>& checks);

// A value as the text report shows it: quoted text for a printable marker, hexadecimal bytes
// for a short field, a size for a block.
std::string describeValue(const ByteString& bytes);

}  // namespace quorvel::cli

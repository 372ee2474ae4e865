#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fileio/UndoRecord.h"
#include "shared/Refusal.h"
#include "shared/StepControl.h"

// Undoing a conversion from its record: every file the job changed gets back the bytes it had
// before the first job.
namespace quorvel::undo {

// Reads a record from its start, handing each entry to the visitor: readRecord over the record's
// file, or any other source of entries.
using RecordReading = std::function<ReadResult(RecordVisitor&)>;

// What an undo would write to one file.
struct UndoFile {
    std::string path;                  // relative to the disc folder
    std::int64_t fieldsToRestore = 0;  // recorded changes that hold their converted bytes
    std::int64_t bytesToCut = 0;       // appended bytes still at the end of the file
    bool rewritten = false;            // a BACKUP copy written anew with its original bytes
    bool removed = false;              // a BACKUP copy the job created, to be removed
};

// The undo's plan for a disc, made before anything is written. Every recorded field must hold
// its original or its converted bytes, every other byte of a navigation file its original one,
// each file must have its original length or that plus the appended block, and a BACKUP copy
// must be its original or a copy of its file in such a state: those are the states a cut job or
// a cut undo leaves. Anything else means something else changed the file since the conversion,
// and refuses the whole undo.
struct UndoPlan {
    RecordHeader header;
    std::vector<Refusal> refusals;
    std::vector<UndoFile> files;  // only the files that still differ from their originals
    bool accepted() const { return refusals.empty(); }
};

// `source` is the disc folder, ending with a separator.
UndoPlan planUndo(const std::string& source, const RecordReading& read);

// Writes back the original bytes of an accepted plan's files, each made durable before the next:
// the streams first, then the navigation files, then the BACKUP copies. A write cut short by a
// kill or a power cut leaves the files in the plan's states, so the undo run again completes it.
// Asks `stop` between writes.
struct RestoreResult {
    enum class Outcome { Restored, Stopped, Failed };
    Outcome outcome = Outcome::Restored;
    std::string file;  // Failed: the file concerned, relative
    std::string why;
    std::vector<std::string> restored;  // the files written back, relative, in order
};
RestoreResult restoreFiles(const std::string& source, const RecordReading& read,
                           const UndoPlan& plan, StopToken& stop);

}  // namespace quorvel::undo

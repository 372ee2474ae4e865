#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/JobHost.h"
#include "app/StatusLog.h"
#include "shared/ByteString.h"
#include "shared/Refusal.h"

// Undoing a conversion: every file the job changed gets back the bytes it had before the first
// job, from the undo record the job wrote before it changed anything.
namespace quorvel {

inline constexpr const char* kUndoStartedLine = "========Undo Started========";
inline constexpr const char* kUndoEndedLine = "=========Undo Ended=========";

// One change a conversion made to a file, as the record keeps it. A change at or past the file's
// original length is (part of) the block the conversion appended.
struct RecordedChange {
    std::int64_t offset = 0;
    ByteString original;
    ByteString converted;
};

// One file a conversion changed, as the record keeps it.
struct RecordedFile {
    std::string relativePath;  // from the disc folder, '/' separated
    std::int64_t originalLength = 0;
    // The original length plus the block the conversion appended (equal when it appended none).
    std::int64_t convertedLength = 0;
};

// The record of one disc as the undo reads it: a few files, and their changes visited one at a
// time, since a stream's may be millions.
class RecordedDisc {
  public:
    virtual ~RecordedDisc() = default;
    virtual const std::vector<RecordedFile>& files() const = 0;
    // Calls `visit` for every change of files()[file] until it returns false. False when the
    // record cannot be read (then `why` says why).
    virtual bool forEachChange(std::size_t file,
                               const std::function<bool(const RecordedChange&)>& visit,
                               std::string& why) const = 0;
};

// What an undo would write to one file.
struct UndoFile {
    std::string relativePath;
    std::int64_t fieldsToRestore = 0;  // recorded changes that hold their converted bytes
    std::int64_t bytesToCut = 0;       // appended bytes still at the end of the file
};

// The undo's plan for a disc: every recorded file checked before any is written. Each change
// must hold its original or its converted bytes and each file must have its original or its
// converted length: those are the states a cut job or a cut undo leaves. Anything else means
// something else changed the file since, and refuses the whole undo.
struct UndoPlan {
    std::vector<Refusal> refusals;
    std::vector<UndoFile> files;  // only the files that still differ from their originals
    bool accepted() const { return refusals.empty(); }
};

UndoPlan planUndo(const std::string& source, const RecordedDisc& record);

// Writes back the original bytes of every file of an accepted plan, each file made durable
// before the next: streams first, navigation files and their BACKUP copies after. Any write may
// be cut (a kill, a power cut): the files are then still in the plan's states, and the undo run
// again completes them. Asks `stop` between writes; false (with `why`) on the first failure.
struct RestoreResult {
    enum class Outcome { Restored, Stopped, Failed };
    Outcome outcome = Outcome::Restored;
    std::string file;  // Failed: the file concerned
    std::string why;
    std::vector<std::string> restored;  // the files written back, relative
};
RestoreResult restoreFiles(const std::string& source, const RecordedDisc& record,
                           const UndoPlan& plan, StopToken& stop);

// The record of a disc, found in the record folder by the disc's identity.
struct RecordLookup {
    enum class Outcome { Found, None, Ambiguous, Unreadable };
    Outcome outcome = Outcome::None;
    std::string path;                 // Found, Unreadable: the record's file
    std::vector<std::string> matches; // Ambiguous: every record that matches
    std::string why;                  // Unreadable: why
};

// The record side of the undo, so that the undo is tested on records of any content.
class UndoRecords {
  public:
    virtual ~UndoRecords() = default;
    // `folder`: the record folder asked for (--undo-dir), empty for the user's state folder.
    virtual RecordLookup find(const std::string& source, const std::string& folder) = 0;
    virtual std::unique_ptr<RecordedDisc> open(const std::string& record, std::string& why) = 0;
    // Removes the record durably; false with `why` when it cannot.
    virtual bool remove(const std::string& record, std::string& why) = 0;
    // Removes the temporary records a cut job or undo left in the folder.
    virtual void removeLeftovers(const std::string& folder) = 0;
};

// The records in their folder on the disk.
std::unique_ptr<UndoRecords> makeUndoRecords();

// How an undo of one disc ended.
enum class UndoOutcome { Restored, NothingToUndo, Refused, Failed, Aborted, Busy };

// The undo of the disc folder `source` (ending with a separator), with its log through `host`:
// its own heading lines and, as the last line, its outcome.
UndoOutcome runUndo(JobHost& host, const LocalClock& clock, UndoRecords& records,
                    const std::string& source, const std::string& folder);

// What an undo of `source` would do, found out the undo's way without writing anything.
struct UndoCheck {
    enum class State { NothingToUndo, WouldRestore, Restored, Refused, NotBluRay, Busy };
    std::string source;
    State state = State::NothingToUndo;
    std::string record;  // the record's path, when there is one
    UndoPlan plan;
};
UndoCheck checkUndo(UndoRecords& records, const std::string& source, const std::string& folder);

}  // namespace quorvel

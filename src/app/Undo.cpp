#include "app/Undo.h"

#include "app/BluRayLayout.h"
#include "app/ConversionDriver.h"
#include "fileio/DiscLock.h"
#include "fileio/FileSystem.h"
#include "platform/Folder.h"

namespace quorvel {

namespace {

constexpr const char* kNothingChangedLine = " Failed. No file was changed.";
constexpr const char* kAbortedLine = " Undo aborted by user.";
constexpr const char* kRerunWarning = " - Warning:  Run the undo again to complete it.";

undo::RecordReading readingOf(const std::string& record) {
    return [record](undo::RecordVisitor& visitor) { return undo::readRecord(record, visitor); };
}

// A record that a job was cut while creating leaves with no whole header: nothing was written
// to the disc after it, and no undo can read it. The disc's own such leftovers go with its undo.
void removeLeftoverRecords(const std::string& folder, const std::string& identity) {
    const platform::Folder dir = platform::Folder::open(folder);
    if (!dir.isOpen()) return;
    const std::string prefix = identity + "-";
    for (const std::string& name : dir.names()) {
        if (name.rfind(prefix, 0) != 0 || !fs::endsWithIgnoreCase(name, undo::kRecordExtension)) {
            continue;
        }
        class Nothing final : public undo::RecordVisitor {} nothing;
        const std::string path = folder + fs::kSeparator + name;
        if (undo::readRecord(path, nothing).outcome ==
            undo::ReadResult::Outcome::NotARecord) {
            fs::removeFile(path, nullptr);
        }
    }
}

// The records written for the folder path `source`, whatever the disc's identity now: their
// names end as the record of any disc at that path does.
std::vector<undo::FoundRecord> recordsWrittenFor(const std::string& folder,
                                                 const std::string& source) {
    std::vector<undo::FoundRecord> found;
    const std::string anyName = undo::recordFileName("", source);
    const platform::Folder dir = platform::Folder::open(folder);
    if (!dir.isOpen()) return found;
    for (const std::string& name : dir.names()) {
        if (name.size() <= anyName.size() ||
            name.compare(name.size() - anyName.size(), anyName.size(), anyName) != 0) {
            continue;
        }
        undo::RecordHeader header;
        const std::string path = folder + fs::kSeparator + name;
        if (undo::readHeader(path, header) && undo::sameDiscPath(header.discPath, source)) {
            found.push_back({path, header.discPath});
        }
    }
    return found;
}

// Whether an undo of the folder path `source` began with the record at `path`: a disc moved after
// converting, whose undo was cut after its last file was restored.
bool undoBegunFor(const std::string& path, const std::string& source) {
    struct UndoBegun final : undo::RecordVisitor {
        const std::string& source;
        bool seen = false;
        explicit UndoBegun(const std::string& folder) : source(folder) {}
        bool undoBegun(const std::string& discPath) override {
            seen = undo::sameDiscPath(discPath, source);
            return !seen;
        }
    } visitor(source);
    undo::readRecord(path, visitor);
    return visitor.seen;
}

class UndoRun {
  public:
    UndoRun(JobHost& host, const LocalClock& clock) : m_host(host), m_clock(clock) {}

    void log(const std::string& line) { m_host.logLine(line); }
    void logTimed(const std::string& text) { m_host.logLine(timeStampOf(m_clock()) + text); }
    UndoOutcome ended(UndoOutcome outcome, const char* line) {
        logTimed(line);
        return outcome;
    }

  private:
    JobHost& m_host;
    const LocalClock& m_clock;
};

}  // namespace

RecordLookup findUndoRecord(const std::string& source, const std::string& folder) {
    RecordLookup lookup;
    lookup.folder = undo::recordFolder(folder);
    if (lookup.folder.empty()) return lookup;
    const std::string identity = undo::discIdentity(source);
    std::vector<undo::FoundRecord> found = undo::findRecords(lookup.folder, identity);
    if (found.empty()) found = recordsWrittenFor(lookup.folder, source);
    if (found.empty()) return lookup;
    if (const undo::FoundRecord* picked = undo::pickRecord(found, source)) {
        lookup.outcome = RecordLookup::Outcome::Found;
        lookup.path = picked->path;
        lookup.writtenHere =
            undo::sameDiscPath(picked->discPath, source) || undoBegunFor(picked->path, source);
        return lookup;
    }
    lookup.outcome = RecordLookup::Outcome::Ambiguous;
    for (const undo::FoundRecord& record : found) {
        lookup.matches.push_back(record.path + " (written for " + record.discPath + ")");
    }
    return lookup;
}

UndoOutcome runUndo(JobHost& host, const LocalClock& clock, const std::string& source,
                    const std::string& folder) {
    UndoRun run(host, clock);
    const BluRayLayout layout(source);
    // Held until the undo ends: a job or a check would meet a disc half restored.
    const DiscLock lock(layout.bdmvFolder(), DiscLock::Kind::Exclusive);
    if (lock.busy()) {
        run.log(" - Cannot lock " + lock.path() + ": another job or check is working on this disc.");
        run.ended(UndoOutcome::Busy, kNothingChangedLine);
        return UndoOutcome::Busy;
    }
    run.logTimed(" Looking for the undo record...");
    const RecordLookup found = findUndoRecord(source, folder);
    switch (found.outcome) {
        case RecordLookup::Outcome::None:
            run.log(" - No undo record for this disc in " + found.folder +
                    ": there is nothing to undo.");
            return run.ended(UndoOutcome::NothingToUndo, kNothingChangedLine);
        case RecordLookup::Outcome::Ambiguous:
            run.log(" - Undo refused: several undo records match this disc, and none was written "
                    "for this folder:");
            for (const std::string& match : found.matches) run.log(" -   " + match);
            return run.ended(UndoOutcome::Refused, kNothingChangedLine);
        case RecordLookup::Outcome::Found:
            break;
    }
    run.log(" - Undo record: " + found.path);

    run.logTimed(" Checking every recorded file...");
    const undo::RecordReading reading = readingOf(found.path);
    const undo::UndoPlan plan = undo::planUndo(source, reading);
    for (const Refusal& refusal : plan.refusals) run.log(refusal.line);
    if (!plan.accepted()) return run.ended(UndoOutcome::Refused, kNothingChangedLine);
    if (host.stopRequested()) {
        run.log(" - Stopped before any file was changed.");
        return run.ended(UndoOutcome::Aborted, kAbortedLine);
    }

    if (plan.files.empty() && !found.writtenHere) {
        // A copy of the disc that was never converted shares its identity with the converted
        // one; the record is the other copy's and stays.
        run.log(" - This disc holds its original bytes; the undo record found was written for "
                "another folder and is left alone: there is nothing to undo.");
        return run.ended(UndoOutcome::NothingToUndo, kNothingChangedLine);
    }
    if (plan.files.empty()) {
        run.log(" - Every recorded file holds its original bytes already.");
    } else {
        if (!found.writtenHere) {
            // The disc was moved after converting. Noted before the first file changes, so that
            // a rerun of a cut undo still knows the record as this disc's, even with every file
            // restored. Without the note the undo is as safe; only such a rerun would leave the
            // record behind, as another copy's.
            undo::RecordWriter writer;
            std::string why;
            if (!writer.openExisting(found.path, &why) ||
                !writer.addUndoBegun(undo::withoutFinalSeparators(source), &why) ||
                !writer.flush(&why)) {
                run.log(" - Warning:  Couldn't add to the undo record " + found.path + ": " + why +
                        ".");
            }
        }
        run.logTimed(" Restoring the original files...");
        const undo::RestoreResult restored = undo::restoreFiles(source, reading, plan, host);
        for (const std::string& file : restored.restored) run.log(" - Restored " + file);
        if (restored.outcome != undo::RestoreResult::Outcome::Restored) {
            const bool stopped = restored.outcome == undo::RestoreResult::Outcome::Stopped;
            if (stopped) {
                run.logTimed(kAbortedLine);
            } else {
                run.logTimed(" Failed. Couldn't restore " + restored.file + ": " + restored.why +
                             ".");
            }
            run.log(kRerunWarning);
            return stopped ? UndoOutcome::Aborted : UndoOutcome::Failed;
        }
    }
    // Last: until every file is back on the disk, a rerun needs the record.
    std::string why;
    if (fs::removeFile(found.path, &why)) {
        run.log(" - Removed the undo record.");
    } else {
        run.log(" - Warning:  Couldn't remove the undo record " + found.path + ": " + why + ".");
    }
    removeLeftoverRecords(found.folder, undo::discIdentity(source));
    run.logTimed(" QUORVEL - SUCCESS");
    return UndoOutcome::Restored;
}

UndoCheck checkUndo(const std::string& source, const std::string& folder) {
    UndoCheck check;
    check.source = source;
    if (!ConversionDriver::srcVerified(source)) {
        check.state = UndoCheck::State::NotBluRay;
        return check;
    }
    const BluRayLayout layout(source);
    const DiscLock lock(layout.bdmvFolder(), DiscLock::Kind::Shared);
    if (lock.busy()) {
        check.state = UndoCheck::State::Busy;
        return check;
    }
    const RecordLookup found = findUndoRecord(source, folder);
    switch (found.outcome) {
        case RecordLookup::Outcome::None:
            check.state = UndoCheck::State::NothingToUndo;
            return check;
        case RecordLookup::Outcome::Ambiguous: {
            std::string listed;
            for (const std::string& match : found.matches) {
                listed += (listed.empty() ? "" : "; ") + match;
            }
            check.state = UndoCheck::State::Refused;
            check.plan.refusals.push_back(
                {{}, "several undo records match this disc, and none was written for this "
                     "folder: " + listed, ""});
            return check;
        }
        case RecordLookup::Outcome::Found:
            break;
    }
    check.record = found.path;
    check.plan = undo::planUndo(source, readingOf(found.path));
    if (!check.plan.accepted()) {
        check.state = UndoCheck::State::Refused;
    } else if (check.plan.files.empty() && !found.writtenHere) {
        check.state = UndoCheck::State::NothingToUndo;
        check.record.clear();
    } else {
        check.state = check.plan.files.empty() ? UndoCheck::State::Restored
                                               : UndoCheck::State::WouldRestore;
    }
    return check;
}

}  // namespace quorvel

#include "app/Undo.h"

#include <algorithm>

#include "app/BluRayLayout.h"
#include "app/ConversionDriver.h"
#include "fileio/DiscLock.h"
#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

constexpr const char* kNothingChangedLine = " Failed. No file was changed.";
constexpr const char* kAbortedLine = " Undo aborted by user.";
constexpr const char* kRerunWarning = " - Warning:  Run the undo again to complete it.";
// A stop request is asked for after this many changes of a stream: any moment between two
// writes is safe, the question costs a little.
constexpr std::int64_t kChangesBetweenStopChecks = 4096;

Refusal fileRefusal(const RecordedFile& file, const std::string& source, std::string reason) {
    std::string line = " - Undo refused: " + file.relativePath + ": " + reason + ".";
    return {source + file.relativePath, std::move(reason), std::move(line)};
}

bool isStream(const RecordedFile& file) {
    return fs::endsWithIgnoreCase(file.relativePath, BluRayLayout::kStreamExtension);
}

// Reads `size` bytes at `offset`; short (or empty) when the file ends before them.
ByteString bytesAt(const platform::File& file, std::int64_t offset, std::size_t size,
                   std::string& why) {
    ByteString bytes(size);
    const platform::Transfer read = file.readAt(bytes.data(), size, offset);
    if (read.failed()) why = read.reason;
    bytes.resize(read.done);
    return bytes;
}

// How one file stands against its record.
UndoFile inspect(const std::string& source, const RecordedDisc& record, std::size_t index,
                 std::vector<Refusal>& refusals) {
    const RecordedFile& recorded = record.files()[index];
    UndoFile found{recorded.relativePath, 0, 0};
    std::string why;
    const platform::File file =
        fs::openRegularFile(source + recorded.relativePath, platform::File::Access::Read, &why);
    if (!file.isOpen()) {
        refusals.push_back(fileRefusal(recorded, source, why));
        return found;
    }
    const std::int64_t size = file.size(&why);
    if (size < 0) {
        refusals.push_back(fileRefusal(recorded, source, "cannot tell its length (" + why + ")"));
        return found;
    }
    if (size != recorded.originalLength && size != recorded.convertedLength) {
        refusals.push_back(fileRefusal(
            recorded, source,
            "changed since the conversion: it is " + std::to_string(size) +
                " bytes long, neither its original " + std::to_string(recorded.originalLength) +
                " nor its converted " + std::to_string(recorded.convertedLength) + " bytes"));
        return found;
    }
    found.bytesToCut = size - recorded.originalLength;
    std::string problem;
    const bool read = record.forEachChange(index, [&](const RecordedChange& change) {
        const bool appended = change.offset >= recorded.originalLength;
        if (appended && size == recorded.originalLength) return true;  // cut off already
        const ByteString& expected = appended ? change.converted : change.original;
        const ByteString now = bytesAt(file, change.offset, expected.size(), why);
        if (!why.empty()) {
            problem = "cannot read it (" + why + ")";
            return false;
        }
        if (now == expected) return true;
        if (!appended && now == change.converted) {
            ++found.fieldsToRestore;
            return true;
        }
        problem = "changed since the conversion: the " + std::to_string(expected.size()) +
                  " bytes at " + std::to_string(change.offset) +
                  " hold neither their original nor their converted value";
        return false;
    }, why);
    if (!read && problem.empty()) problem = "its undo record cannot be read (" + why + ")";
    if (!problem.empty()) refusals.push_back(fileRefusal(recorded, source, problem));
    return found;
}

// Streams first: the navigation files name the disc, and a rerun of a cut undo finds them as
// they were for as long as possible.
std::vector<std::size_t> restoreOrder(const std::vector<RecordedFile>& files) {
    std::vector<std::size_t> order(files.size());
    for (std::size_t k = 0; k < files.size(); ++k) order[k] = k;
    std::stable_partition(order.begin(), order.end(),
                          [&](std::size_t k) { return isStream(files[k]); });
    return order;
}

}  // namespace

UndoPlan planUndo(const std::string& source, const RecordedDisc& record) {
    UndoPlan plan;
    for (std::size_t k = 0; k < record.files().size(); ++k) {
        const std::size_t refusals = plan.refusals.size();
        UndoFile file = inspect(source, record, k, plan.refusals);
        if (plan.refusals.size() == refusals && (file.fieldsToRestore > 0 || file.bytesToCut > 0)) {
            plan.files.push_back(std::move(file));
        }
    }
    return plan;
}

RestoreResult restoreFiles(const std::string& source, const RecordedDisc& record,
                           const UndoPlan& plan, StopToken& stop) {
    RestoreResult result;
    const auto fail = [&](const std::string& file, std::string why) {
        result.outcome = RestoreResult::Outcome::Failed;
        result.file = file;
        result.why = std::move(why);
        return result;
    };
    for (const std::size_t index : restoreOrder(record.files())) {
        const RecordedFile& recorded = record.files()[index];
        const bool planned = std::any_of(plan.files.begin(), plan.files.end(),
                                         [&](const UndoFile& f) {
                                             return f.relativePath == recorded.relativePath;
                                         });
        if (!planned) continue;
        if (stop.stopRequested()) {
            result.outcome = RestoreResult::Outcome::Stopped;
            return result;
        }
        std::string why;
        platform::File file = fs::openRegularFile(source + recorded.relativePath,
                                                  platform::File::Access::ReadWrite, &why);
        if (!file.isOpen()) return fail(recorded.relativePath, why);
        std::int64_t visited = 0;
        bool stopped = false;
        std::string problem;
        const bool read = record.forEachChange(index, [&](const RecordedChange& change) {
            if (++visited % kChangesBetweenStopChecks == 0 && stop.stopRequested()) {
                stopped = true;
                return false;
            }
            // The appended block goes with the truncation below.
            if (change.offset >= recorded.originalLength) return true;
            if (bytesAt(file, change.offset, change.original.size(), why) == change.original) {
                return true;
            }
            const platform::Transfer written =
                file.writeAt(change.original.data(), change.original.size(), change.offset);
            if (written.failed() || written.done != change.original.size()) {
                problem = written.failed() ? written.reason : platform::inputOutputErrorText();
                return false;
            }
            return true;
        }, why);
        if (!problem.empty()) return fail(recorded.relativePath, problem);
        if (!read && !stopped) return fail(recorded.relativePath, "the undo record: " + why);
        if (!file.truncate(recorded.originalLength, &why) || !file.flushToDisk(&why)) {
            return fail(recorded.relativePath, why);
        }
        if (stopped) {
            result.outcome = RestoreResult::Outcome::Stopped;
            return result;
        }
        result.restored.push_back(recorded.relativePath);
    }
    return result;
}

namespace {

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

// The lines that say which records match a disc when it cannot tell them apart.
void logMatches(UndoRun& run, const RecordLookup& found) {
    run.log(" - Several undo records match this disc, and none was written for this folder:");
    for (const std::string& match : found.matches) run.log(" -   " + match);
    run.log(" - Undo each copy from its own folder, or move the records of the others away.");
}

std::string folderOf(const std::string& path) {
    const std::size_t cut = path.find_last_of(fs::kSeparators);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace

UndoOutcome runUndo(JobHost& host, const LocalClock& clock, UndoRecords& records,
                    const std::string& source, const std::string& folder) {
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
    const RecordLookup found = records.find(source, folder);
    switch (found.outcome) {
        case RecordLookup::Outcome::None:
            run.log(" - No undo record was found for this disc: there is nothing to undo.");
            return run.ended(UndoOutcome::NothingToUndo, kNothingChangedLine);
        case RecordLookup::Outcome::Ambiguous:
            logMatches(run, found);
            return run.ended(UndoOutcome::Refused, kNothingChangedLine);
        case RecordLookup::Outcome::Unreadable:
            run.log(" - Couldn't read the undo record " + found.path + ": " + found.why + ".");
            return run.ended(UndoOutcome::Failed, kNothingChangedLine);
        case RecordLookup::Outcome::Found:
            break;
    }
    run.log(" - Undo record: " + found.path);
    std::string why;
    const std::unique_ptr<RecordedDisc> record = records.open(found.path, why);
    if (!record) {
        run.log(" - Couldn't read the undo record " + found.path + ": " + why + ".");
        return run.ended(UndoOutcome::Failed, kNothingChangedLine);
    }

    run.logTimed(" Checking every recorded file...");
    const UndoPlan plan = planUndo(source, *record);
    for (const Refusal& refusal : plan.refusals) run.log(refusal.line);
    if (!plan.accepted()) return run.ended(UndoOutcome::Refused, kNothingChangedLine);
    if (host.stopRequested()) {
        run.log(" - Stopped before any file was changed.");
        return run.ended(UndoOutcome::Aborted, kAbortedLine);
    }

    if (plan.files.empty()) {
        run.log(" - Every recorded file holds its original bytes already.");
    } else {
        run.logTimed(" Restoring the original files...");
        const RestoreResult restored = restoreFiles(source, *record, plan, host);
        for (const std::string& file : restored.restored) run.log(" - Restored " + file);
        if (restored.outcome != RestoreResult::Outcome::Restored) {
            if (restored.outcome == RestoreResult::Outcome::Stopped) {
                run.logTimed(kAbortedLine);
            } else {
                run.logTimed(" Failed. Couldn't restore " + restored.file + ": " + restored.why +
                             ".");
            }
            run.log(kRerunWarning);
            return restored.outcome == RestoreResult::Outcome::Stopped ? UndoOutcome::Aborted
                                                                       : UndoOutcome::Failed;
        }
    }
    // Last: until every file is back on the disk, a rerun needs the record.
    if (!records.remove(found.path, why)) {
        run.log(" - Warning:  Couldn't remove the undo record " + found.path + ": " + why + ".");
    } else {
        run.log(" - Removed the undo record.");
    }
    records.removeLeftovers(folderOf(found.path));
    run.logTimed(" QUORVEL - SUCCESS");
    return UndoOutcome::Restored;
}

UndoCheck checkUndo(UndoRecords& records, const std::string& source, const std::string& folder) {
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
    const RecordLookup found = records.find(source, folder);
    const auto refuse = [&](std::string reason) {
        check.state = UndoCheck::State::Refused;
        check.plan.refusals.push_back({found.path, reason, ""});
        return check;
    };
    switch (found.outcome) {
        case RecordLookup::Outcome::None:
            check.state = UndoCheck::State::NothingToUndo;
            return check;
        case RecordLookup::Outcome::Ambiguous: {
            std::string listed;
            for (const std::string& match : found.matches) listed += (listed.empty() ? "" : ", ") + match;
            return refuse("several undo records match this disc, none written for this folder: " +
                          listed);
        }
        case RecordLookup::Outcome::Unreadable:
            return refuse("the undo record cannot be read (" + found.why + ")");
        case RecordLookup::Outcome::Found:
            break;
    }
    check.record = found.path;
    std::string why;
    const std::unique_ptr<RecordedDisc> record = records.open(found.path, why);
    if (!record) return refuse("the undo record cannot be read (" + why + ")");
    check.plan = planUndo(source, *record);
    if (!check.plan.accepted()) {
        check.state = UndoCheck::State::Refused;
    } else {
        check.state = check.plan.files.empty() ? UndoCheck::State::Restored
                                               : UndoCheck::State::WouldRestore;
    }
    return check;
}

}  // namespace quorvel
